// Argument conversion in one place, so every entry point reports a wrong argument with
// the same texts. Interpreter lock held throughout.
#include "sandbox_py/convert.h"

#include <limits>

namespace sandbox::py {
namespace {

Converted<std::string> utf8_of(PyObject* str) {
  PyRef bytes(PyUnicode_AsUTF8String(str));
  if (!bytes) return raised();
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) return raised();
  return std::string(data, static_cast<size_t>(size));
}

std::string attr_text(PyObject* obj, const char* attr) {
  PyRef value(PyObject_GetAttrString(obj, attr));
  if (!value || !PyUnicode_Check(value.get())) {
    PyErr_Clear();
    return {};
  }
  auto text = utf8_of(value.get());
  if (!text) {
    PyErr_Clear();
    return {};
  }
  return std::move(*text);
}

std::string plural(size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

}  // namespace

std::string type_name(PyObject* obj) {
  std::string name = attr_text(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__");
  return name.empty() ? std::string("object") : name;
}

BindError conversion_error(PyObject* obj, std::string_view target) {
  return BindError{ErrorKind::Type, "'" + type_name(obj) + "' object cannot be converted to '" +
                                        std::string(target) + "'"};
}

BindError for_argument(std::string_view name, BindError error) {
  if (error.kind == ErrorKind::Type) {
    error.message = "argument '" + std::string(name) + "': " + error.message;
  }
  return error;
}

Converted<std::string> to_text(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return fail(conversion_error(obj, "PyString"));
  return utf8_of(obj);
}

Converted<std::optional<std::string>> optional_text(PyObject* obj, std::string_view name) {
  if (obj == nullptr || obj == Py_None) return std::optional<std::string>();
  auto text = to_text(obj);
  if (!text) return fail(for_argument(name, std::move(text).error()));
  return std::optional<std::string>(std::move(*text));
}

Converted<std::vector<std::string>> to_text_list(PyObject* obj) {
  // A str is a sequence of characters; taking it as a list would run "ls" as "l", "s".
  if (PyUnicode_Check(obj)) return type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) return fail(conversion_error(obj, "Sequence"));
  PyRef iter(PyObject_GetIter(obj));
  if (!iter) return raised();
  std::vector<std::string> items;
  while (PyRef item{PyIter_Next(iter.get())}) {
    auto text = to_text(item.get());
    if (!text) return fail(std::move(text).error());
    items.push_back(std::move(*text));
  }
  if (PyErr_Occurred()) return raised();
  return items;
}

Converted<std::map<std::string, std::string>> to_text_map(PyObject* obj) {
  if (!PyDict_Check(obj)) return fail(conversion_error(obj, "PyDict"));
  // Own a snapshot of the items: a str subclass's conversion could mutate the dict.
  PyRef items(PyDict_Items(obj));
  if (!items) return raised();
  std::map<std::string, std::string> map;
  Py_ssize_t n = PyList_Size(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PyList_GetItem(items.get(), i);  // borrowed from the snapshot
    if (pair == nullptr) return raised();
    auto key = to_text(PyTuple_GetItem(pair, 0));
    if (!key) return fail(std::move(key).error());
    auto value = to_text(PyTuple_GetItem(pair, 1));
    if (!value) return fail(std::move(value).error());
    map.insert_or_assign(std::move(*key), std::move(*value));
  }
  return map;
}

Converted<bool> to_bool(PyObject* obj) {
  if (PyBool_Check(obj)) return obj == Py_True;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  std::string module = attr_text(type, "__module__");
  std::string name = attr_text(type, "__name__");
  if (module == "numpy" && (name == "bool_" || name == "bool")) {
    if (!PyObject_HasAttrString(type, "__bool__")) {
      return type_error("object of type '" + module + "." + name +
                        "' does not define a '__bool__' conversion");
    }
    int truth = PyObject_IsTrue(obj);
    if (truth < 0) return raised();
    return truth == 1;
  }
  return fail(conversion_error(obj, "PyBool"));
}

Converted<uint32_t> to_u32(PyObject* obj) {
  PyRef index(PyNumber_Index(obj));
  if (!index) return raised();
  long value = PyLong_AsLong(index.get());
  if (value == -1 && PyErr_Occurred()) return raised();
  if (value < 0 || static_cast<unsigned long>(value) > std::numeric_limits<uint32_t>::max()) {
    return overflow_error("out of range integral type conversion attempted");
  }
  return static_cast<uint32_t>(value);
}

Converted<int> to_fd_number(PyObject* obj) {
  auto value = to_u32(obj);
  if (!value) return fail(std::move(value).error());
  if (*value > static_cast<uint32_t>(std::numeric_limits<int>::max())) {
    return overflow_error("out of range integral type conversion attempted");
  }
  return static_cast<int>(*value);
}

Converted<uint64_t> to_u64(PyObject* obj) {
  PyRef index(PyNumber_Index(obj));
  if (!index) return raised();
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return raised();
  return static_cast<uint64_t>(value);
}

Result<void, BindError> parse_arguments(std::string_view function,
                                        std::span<const char* const> names, size_t required,
                                        PyObject* args, PyObject* kwargs,
                                        std::span<PyObject*> out) {
  const std::string fn = std::string(function) + "()";
  for (auto& slot : out) slot = nullptr;
  const size_t nargs = args != nullptr ? static_cast<size_t>(PyTuple_Size(args)) : 0;
  if (nargs > names.size()) {
    std::string takes = names.size() == required
                            ? plural(required, "positional argument")
                            : "from " + std::to_string(required) + " to " +
                                  std::to_string(names.size()) + " positional arguments";
    return type_error(fn + " takes " + takes + " but " + std::to_string(nargs) +
                      (nargs == 1 ? " was" : " were") + " given");
  }
  for (size_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) return type_error(fn + " keywords must be strings");
      auto name = utf8_of(key);
      if (!name) return fail(std::move(name).error());
      size_t i = 0;
      while (i < names.size() && *name != names[i]) ++i;
      if (i == names.size()) {
        return type_error(fn + " got an unexpected keyword argument '" + *name + "'");
      }
      if (out[i] != nullptr) {
        return type_error(fn + " got multiple values for argument '" + *name + "'");
      }
      out[i] = value;
    }
  }

  std::vector<const char*> missing;
  for (size_t i = 0; i < required; ++i) {
    if (out[i] == nullptr) missing.push_back(names[i]);
  }
  if (!missing.empty()) {
    std::string list;
    for (size_t i = 0; i < missing.size(); ++i) {
      if (i > 0 && i + 1 < missing.size()) list += ", ";
      if (i > 0 && i + 1 == missing.size()) list += missing.size() > 2 ? ", and " : " and ";
      list += "'" + std::string(missing[i]) + "'";
    }
    return type_error(fn + " missing " + plural(missing.size(), "required positional argument") +
                      ": " + list);
  }
  return {};
}

}  // namespace sandbox::py
