// The spawn dictionary, read once for spawn() and for a persistent sandbox's creation.
#pragma once

#include <string>

#include "sandbox_core/launch/supervision.h"
#include "sandbox_core/spec/sandbox_spec.h"
#include "sandbox_py/convert.h"
#include "sandbox_py/local_process.h"

namespace sandbox::py {

struct SpawnSpecRead {
  SandboxSpec spec;  // stdin_fd points at `stdin_fd`
  ForwardFds forward;
  OutputBound bound;
  UniqueFd stdin_fd;
  std::string backend;
};

// Reads and validates `dict` key by key in the documented order (see spawn's help).
Converted<SpawnSpecRead> read_spawn_spec(PyObject* dict);

}  // namespace sandbox::py
