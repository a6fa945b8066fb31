// SandboxCommand: the Python handle of one command in a persistent sandbox.
#pragma once

#include <memory>

#include "sandbox_core/backend/persistent.h"
#include "sandbox_py/errors.h"

namespace sandbox::py {

PyObject* sandbox_command_type();
// A new SandboxCommand owning `command`.
Outcome new_sandbox_command(std::unique_ptr<SandboxCommand> command);

}  // namespace sandbox::py
