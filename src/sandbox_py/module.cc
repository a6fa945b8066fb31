// Entry point of ventra.sandbox._native: creates the module once per process, in the
// first interpreter that imports it, and registers the functions and classes in order.
#include <atomic>
#include <cstdint>
#include <string_view>

#include "sandbox_core/backend/backend.h"
#include "sandbox_core/base/platform.h"
#include "sandbox_core/launch/launch.h"
#include "sandbox_py/allow_list_proxy.h"
#include "sandbox_py/backend_info.h"
#include "sandbox_py/errors.h"
#include "sandbox_py/functions.h"
#include "sandbox_py/local_process.h"

namespace sandbox::py {
namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Process-wide, written once: the first writer wins.
std::atomic<int64_t> g_owner_interpreter{-1};
PyObject* g_module = nullptr;

// Appends `name` to __all__ (creating it first if needed) and sets the attribute.
bool add_to_module(PyObject* module, const char* name, PyObject* value) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  if (dict == nullptr) return false;
  PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
  if (all == nullptr) {
    PyObject* fresh = PyList_New(0);
    if (fresh == nullptr) return false;
    int rc = PyDict_SetItemString(dict, "__all__", fresh);
    Py_DECREF(fresh);
    if (rc < 0) return false;
    all = fresh;  // kept alive by the module dict
  }
  PyObject* text = PyUnicode_FromString(name);
  if (text == nullptr) return false;
  int rc = PyList_Append(all, text);
  Py_DECREF(text);
  return rc == 0 && PyObject_SetAttrString(module, name, value) == 0;
}

bool add_function(PyObject* module, PyObject* module_name, PyMethodDef* def, bool listed) {
  PyObject* fn = PyCMethod_New(def, module, module_name, nullptr);
  if (fn == nullptr) return false;
  bool ok = listed ? add_to_module(module, def->ml_name, fn)
                   : PyObject_SetAttrString(module, def->ml_name, fn) == 0;
  Py_DECREF(fn);
  return ok;
}

bool add_text(PyObject* module, const char* name, std::string_view value) {
  PyObject* text = PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
  if (text == nullptr) return false;
  bool ok = add_to_module(module, name, text);
  Py_DECREF(text);
  return ok;
}

bool add_owned(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  bool ok = add_to_module(module, name, value);
  Py_DECREF(value);
  return ok;
}

bool add_class(PyObject* module, const char* name, PyObject* type) {
  return type != nullptr && add_to_module(module, name, type);
}

bool init_module(PyObject* module) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return false;
  bool ok = add_function(module, module_name, &kAvailableBackendsDef, true) &&
            add_function(module, module_name, &kDefaultFsAllowlistDef, true) &&
            add_function(module, module_name, &kProxyEnvVarsDef, true) &&
            add_function(module, module_name, &kSpawnDef, true) &&
            add_function(module, module_name, &kProgramCandidatesDef, true) &&
            add_function(module, module_name, &kSandboxViewDef, true) &&
            add_text(module, "DEFAULT_PATH", DEFAULT_CHILD_PATH) &&
            add_text(module, "DEFAULT_BACKEND", backend_row(kDefaultBackend).listed_name) &&
            add_owned(module, "BACKEND_KINDS", backend_kinds()) &&
            add_owned(module, "WAITS_FOR_SANDBOX", names_waiting_for_sandbox()) &&
            add_owned(module, "FENCED_BACKENDS", names_fencing()) &&
            add_class(module, "LocalProcess", local_process_type()) &&
            add_class(module, "BackendInfo", backend_info_type()) &&
            add_class(module, "AllowListProxy", allow_list_proxy_type()) &&
            // Not in __all__: resolves InternalError lazily.
            add_function(module, module_name, &kModuleGetattrDef, false) &&
            add_function(module, module_name, &kWaitEventsDef, false) &&
            add_function(module, module_name, &kTakeEventsDef, false) &&
            add_function(module, module_name, &kNeverMatchingDef, false);
  Py_DECREF(module_name);
  return ok;
}

PyObject* create_module() {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return nullptr;
  }
  int64_t expected = -1;
  if (!g_owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    // Children, proxies and type objects are process-wide; one interpreter owns them.
    PyErr_SetString(PyExc_ImportError,
                    "ventra.sandbox._native does not support sub-interpreters: it is already "
                    "loaded in another interpreter of this process");
    return nullptr;
  }
  if (g_module != nullptr) {
    Py_INCREF(g_module);
    return g_module;
  }
  PyObject* module = PyModule_Create2(&g_module_def, 3);
  if (module == nullptr) return nullptr;
  learn_bytes_page_offset();
  raise_open_files_limit();
  if (!init_module(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  g_module = module;
  Py_INCREF(g_module);
  return module;
}

}  // namespace
}  // namespace sandbox::py

PyMODINIT_FUNC PyInit__native() {
  try {
    return sandbox::py::create_module();
  } catch (...) {
    sandbox::py::detail::raise_current_exception();
    return nullptr;
  }
}
