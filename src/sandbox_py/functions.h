// Method definitions of the module-level functions, registered by module.cc in order.
#pragma once

#include "sandbox_py/errors.h"

namespace sandbox::py {

extern PyMethodDef kAvailableBackendsDef;   // inspection.cc
extern PyMethodDef kDefaultFsAllowlistDef;  // inspection.cc
extern PyMethodDef kProxyEnvVarsDef;        // inspection.cc
extern PyMethodDef kProgramCandidatesDef;   // inspection.cc
extern PyMethodDef kSpawnDef;               // spawn.cc

// METH_VARARGS | METH_KEYWORDS functions stored in a PyMethodDef.
using KeywordFunction = PyObject* (*)(PyObject*, PyObject*, PyObject*);
inline PyCFunction as_cfunction(KeywordFunction fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

}  // namespace sandbox::py
