// LocalProcess: the Python handle of one spawned child.
#pragma once

#include "sandbox_py/errors.h"

#include <string>

#include "sandbox_core/launch/sandbox_child.h"
#include "sandbox_core/launch/supervision.h"

namespace sandbox::py {

// The type object, created on first use and kept for the process; NULL with an error set
// if creating it fails.
PyObject* local_process_type();

// A new LocalProcess owning `child`. On failure the child record is disposed of (which
// kills and reaps it) and the error is returned.
Outcome new_local_process(SandboxChild child, Deadline deadline, std::string backend);

}  // namespace sandbox::py
