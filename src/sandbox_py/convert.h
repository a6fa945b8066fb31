// Conversion of Python arguments into C++ values, with the module's fixed TypeError and
// OverflowError texts, and CPython-style positional-or-keyword argument parsing.
// Called with the interpreter lock held; failures are returned, never thrown.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sandbox_py/errors.h"

namespace sandbox::py {

// Owns one strong reference.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* owned) noexcept : obj_(owned) {}
  PyRef(PyRef&& o) noexcept : obj_(o.release()) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(obj_);
      obj_ = o.release();
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  static PyRef borrowed(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return PyRef(obj);
  }
  PyObject* get() const noexcept { return obj_; }
  PyObject* release() noexcept {
    PyObject* o = obj_;
    obj_ = nullptr;
    return o;
  }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

template <class T>
using Converted = Result<T, BindError>;

// The type's __name__ ("int", "NoneType"), or "object" if it cannot be read.
std::string type_name(PyObject* obj);

// TypeError "'{type}' object cannot be converted to '{target}'".
BindError conversion_error(PyObject* obj, std::string_view target);

// Prefixes a TypeError with "argument '{name}': "; other errors pass unchanged.
BindError for_argument(std::string_view name, BindError error);

// A str (or subclass), as UTF-8. Anything else: the conversion error with "PyString".
Converted<std::string> to_text(PyObject* obj);
// An optional str argument: nullopt when omitted (NULL) or None; errors name `name`.
Converted<std::optional<std::string>> optional_text(PyObject* obj, std::string_view name);
// A sequence of str that is not itself a str ("Can't extract `str` to `Vec`").
Converted<std::vector<std::string>> to_text_list(PyObject* obj);
// A dict (or subclass) whose keys and values are all str.
Converted<std::map<std::string, std::string>> to_text_map(PyObject* obj);
// A Python bool; numpy's boolean scalar goes through its bool conversion.
Converted<bool> to_bool(PyObject* obj);
// Integers through the index conversion. u32 refuses values outside 0..2^32-1 with
// "out of range integral type conversion attempted"; u64 keeps the interpreter's texts.
Converted<uint32_t> to_u32(PyObject* obj);
Converted<uint64_t> to_u64(PyObject* obj);
// A descriptor number: an integer in 0..INT_MAX, refused outside it like to_u32. Whether
// it is open is the caller's check.
Converted<int> to_fd_number(PyObject* obj);

// Positional-or-keyword parameters `names`, of which the first `required` must be given.
// Fills `out` with borrowed references (NULL for an omitted optional parameter); the
// TypeErrors name `function` and the offending argument as CPython does.
Result<void, BindError> parse_arguments(std::string_view function,
                                        std::span<const char* const> names, size_t required,
                                        PyObject* args, PyObject* kwargs, std::span<PyObject*> out);

}  // namespace sandbox::py
