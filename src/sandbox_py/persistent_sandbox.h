// PersistentSandbox: the Python handle of one persistent sandbox, and open_sandbox().
#pragma once

#include "sandbox_py/errors.h"

namespace sandbox::py {

PyObject* persistent_sandbox_type();
extern PyMethodDef kOpenSandboxDef;

}  // namespace sandbox::py
