// The exception table of the module: every error value and every C++ exception that
// reaches an entry point is turned into a Python exception here and nowhere else.
#include "sandbox_py/errors.h"

#include <cstring>
#include <string>

namespace sandbox::py {
namespace {

// Written once, with the interpreter lock held; lives for the process.
PyObject* g_internal_error = nullptr;

constexpr const char kInternalErrorDoc[] =
    "An internal failure of ventra.sandbox._native (a broken invariant or an OS thread\n"
    "that could not start). Derived from BaseException so that `except Exception`\n"
    "does not swallow it.";

PyObject* exception_for(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Runtime:
      return PyExc_RuntimeError;
    case ErrorKind::Value:
      return PyExc_ValueError;
    case ErrorKind::Type:
      return PyExc_TypeError;
    case ErrorKind::Overflow:
      return PyExc_OverflowError;
    case ErrorKind::Import:
      return PyExc_ImportError;
    case ErrorKind::Internal:
    case ErrorKind::Raised:
      break;
  }
  return nullptr;
}

void set_message(PyObject* type, const std::string& message) {
  PyObject* text =
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
  if (text == nullptr) return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

}  // namespace

PyObject* internal_error_type() {
  if (g_internal_error == nullptr) {
    g_internal_error = PyErr_NewExceptionWithDoc("ventra.sandbox._native.InternalError",
                                                 kInternalErrorDoc, PyExc_BaseException, nullptr);
  }
  return g_internal_error;
}

BindError from_io_error(std::string_view prefix, const IoError& error) {
  return BindError{ErrorKind::Runtime, std::string(prefix) + ": " + error.text()};
}

BindError from_sandbox_error(const SandboxError& error, std::string_view prefix) {
  return BindError{ErrorKind::Runtime, std::string(prefix) + error.message()};
}

BindError from_filter_error(std::string_view prefix, const netfilter::FilterParseError& error) {
  return BindError{ErrorKind::Value, std::string(prefix) + ": " + error.message()};
}

BindError from_filter_error(std::string_view allow_prefix, std::string_view deny_prefix,
                            const netfilter::FilterBuildError& error) {
  const bool allow = error.list == netfilter::FilterBuildError::List::Allow;
  return from_filter_error(allow ? allow_prefix : deny_prefix, error.error);
}

void raise(const BindError& error) {
  if (error.kind == ErrorKind::Raised) return;
  if (error.kind == ErrorKind::Internal) {
    detail::raise_internal(error.message.c_str());
    return;
  }
  set_message(exception_for(error.kind), error.message);
}

namespace detail {

void raise_internal(const char* what) noexcept {
  // Building the message may itself fail; the type is still raised then.
  try {
    PyObject* type = internal_error_type();
    if (type == nullptr) return;
    set_message(type, what);
  } catch (...) {
    PyErr_NoMemory();
  }
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal(e.what());
  } catch (...) {
    raise_internal("unknown internal failure");
  }
}

}  // namespace detail

namespace {

PyObject* module_getattr(PyObject* module, PyObject* name) {
  return guard([&]() -> Outcome {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "InternalError") == 0) {
      PyObject* type = internal_error_type();
      if (type == nullptr) return raised();
      Py_INCREF(type);
      return type;
    }
    PyObject* module_name = PyModule_GetNameObject(module);
    if (module_name == nullptr) return raised();
    PyErr_Format(PyExc_AttributeError, "module '%U' has no attribute '%S'", module_name, name);
    Py_DECREF(module_name);
    return raised();
  });
}

}  // namespace

PyMethodDef kModuleGetattrDef = {"__getattr__", module_getattr, METH_O,
                                 "__getattr__($module, name, /)\n--\n\n"
                                 "Resolves InternalError, created on first use."};

}  // namespace sandbox::py
