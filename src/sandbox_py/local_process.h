// LocalProcess: the Python handle of one spawned child.
#pragma once

#include <string>

#include "sandbox_core/launch/sandbox_child.h"
#include "sandbox_core/launch/supervision.h"
#include "sandbox_py/errors.h"

namespace sandbox::py {

// The type object, created on first use and kept for the process; NULL with an error set
// if creating it fails.
PyObject* local_process_type();

// Where the child's output goes instead of being kept: descriptors owned by the handle
// (close-on-exec duplicates of the caller's), written to by its reads and its collect.
struct ForwardFds {
  UniqueFd stdout_fd;
  UniqueFd stderr_fd;
};

// A new LocalProcess owning `child` and `forward`. On failure the child record is disposed
// of (which kills and reaps it) and the error is returned.
Outcome new_local_process(SandboxChild child, Deadline deadline, std::string backend,
                          ForwardFds forward = {}, OutputBound bound = {});

// Notes where the data of a large bytes object starts in its page, so that collected
// output can later be moved into such objects page by page. Once, at import.
void learn_bytes_page_offset();

}  // namespace sandbox::py
