// The binding layer's one error vocabulary and the guard around every entry point.
// Entered only by threads holding the interpreter lock (bodies may drop it inside).
// Nothing here may let a C++ exception cross into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <cxxabi.h>

#include <exception>
#include <new>
#include <string>
#include <utility>

#include "sandbox_core/base/io_error.h"
#include "sandbox_core/base/result.h"
#include "sandbox_core/netfilter/filter.h"
#include "sandbox_core/spec/sandbox_spec.h"

namespace sandbox::py {

// How an error leaves the module; the single mapping to Python types lives in errors.cc.
enum class ErrorKind : uint8_t {
  Raised,    // a Python exception is already set (conversion helpers, allocation)
  Runtime,   // RuntimeError: failures of native work
  Value,     // ValueError: invalid argument values
  Type,      // TypeError: wrong argument types or arity
  Overflow,  // OverflowError: out-of-range numbers
  Import,    // ImportError: a second interpreter
  Internal,  // InternalError: a broken invariant or a thread that cannot start
};

struct BindError {
  ErrorKind kind = ErrorKind::Raised;
  std::string message;
};

// Every entry point body returns a new reference or the error to raise.
using Outcome = Result<PyObject*, BindError>;

inline Unexpected<BindError> raised() { return fail(BindError{ErrorKind::Raised, {}}); }
inline Unexpected<BindError> runtime_error(std::string m) {
  return fail(BindError{ErrorKind::Runtime, std::move(m)});
}
inline Unexpected<BindError> value_error(std::string m) {
  return fail(BindError{ErrorKind::Value, std::move(m)});
}
inline Unexpected<BindError> type_error(std::string m) {
  return fail(BindError{ErrorKind::Type, std::move(m)});
}
inline Unexpected<BindError> overflow_error(std::string m) {
  return fail(BindError{ErrorKind::Overflow, std::move(m)});
}
inline Unexpected<BindError> internal_error(std::string m) {
  return fail(BindError{ErrorKind::Internal, std::move(m)});
}

// Core errors with the operation prefix owned by the calling entry point.
BindError from_io_error(std::string_view prefix, const IoError& error);  // Runtime
// Runtime "{prefix}{}": "spawn: " for launches, "sandbox: " for a persistent sandbox.
BindError from_sandbox_error(const SandboxError& error, std::string_view prefix = "spawn: ");
BindError from_filter_error(std::string_view prefix, const netfilter::FilterParseError& error);
// The error of the list that failed, behind that list's prefix.
BindError from_filter_error(std::string_view allow_prefix, std::string_view deny_prefix,
                            const netfilter::FilterBuildError& error);

// Sets the Python exception for `error` (no-op for Raised).
void raise(const BindError& error);

// The dedicated exception type for internal failures, derived from BaseException and
// created on first use: ventra.sandbox._native.InternalError. NULL with an error set
// only if creating it fails.
PyObject* internal_error_type();

// Module-level __getattr__ (PEP 562) that makes InternalError reachable as a module
// attribute without creating it at import.
extern PyMethodDef kModuleGetattrDef;

namespace detail {
void raise_internal(const char* what) noexcept;
void raise_current_exception() noexcept;
}  // namespace detail

// Runs `body` (returning Outcome) and converts its error or anything it throws into a
// raised Python exception; returns NULL in that case.
// Not noexcept: a thread that asks for the interpreter lock while the interpreter is
// finalizing is ended by CPython with pthread_exit, whose forced unwinding must pass.
template <class F>
PyObject* guard(F&& body) {
  try {
    Outcome r = body();
    if (r) {
      PyObject* obj = *r;
      if (obj == nullptr && !PyErr_Occurred()) {
        detail::raise_internal("entry point returned NULL without an exception");
      }
      return obj;
    }
    raise(r.error());
    if (!PyErr_Occurred()) detail::raise_internal("error reported without an exception");
    return nullptr;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    detail::raise_current_exception();
    return nullptr;
  }
}

// For deallocators: an internal failure is reported through PyErr_WriteUnraisable and an
// exception that was already set when the deallocator started survives it.
template <class F>
void guard_dealloc(PyObject* context, F&& body) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  try {
    body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    detail::raise_current_exception();
    PyErr_WriteUnraisable(context);
  }
  PyErr_Restore(type, value, traceback);
}

// Releases the interpreter lock for its lifetime. Declare it before taking any lock of
// ours so that ours is released first and the interpreter lock is re-taken last.
class AllowThreads {
 public:
  AllowThreads() noexcept : state_(PyEval_SaveThread()) {}
  // May end the thread by unwinding (see guard), so it must not be noexcept.
  ~AllowThreads() noexcept(false) { PyEval_RestoreThread(state_); }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace sandbox::py
