// Method definitions of the module-level functions, registered by module.cc in order.
#pragma once

#include "sandbox_py/errors.h"

namespace sandbox::py {

extern PyMethodDef kAvailableBackendsDef;   // inspection.cc
extern PyMethodDef kDefaultFsAllowlistDef;  // inspection.cc
extern PyMethodDef kProxyEnvVarsDef;        // inspection.cc
extern PyMethodDef kProgramCandidatesDef;   // inspection.cc
extern PyMethodDef kSandboxViewDef;         // inspection.cc
extern PyMethodDef kSpawnDef;               // spawn.cc
// Not in __all__: the logging bridge's native half and the entry check of the package's
// helpers (event_bridge.cc).
extern PyMethodDef kWaitEventsDef;
extern PyMethodDef kTakeEventsDef;
extern PyMethodDef kNeverMatchingDef;

// From the backend rows, without probing (inspection.cc); new references, or null with an
// exception set. BACKEND_KINDS: the kinds as available_backends() lists them, in its
// order. WAITS_FOR_SANDBOX, FENCED_BACKENDS: every name spawn accepts for a kind whose
// launch waits for a whole sandbox, and for one that fences a filtered policy.
PyObject* backend_kinds();
PyObject* names_waiting_for_sandbox();
PyObject* names_fencing();

// The logging bridge (event_bridge.cc). The event queue becomes the events' sink before
// the first call that can emit; the taking thread of ventra.sandbox._events starts once
// a proxy runs. Both idempotent; interpreter lock held.
void install_event_queue();
void start_event_bridge();

// METH_VARARGS | METH_KEYWORDS functions stored in a PyMethodDef.
using KeywordFunction = PyObject* (*)(PyObject*, PyObject*, PyObject*);
inline PyCFunction as_cfunction(KeywordFunction fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

}  // namespace sandbox::py
