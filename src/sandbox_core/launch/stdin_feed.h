// A regular file handed over as a child's standard input goes through a pipe that a host
// thread fills: a file descriptor in the child could be reopened through /proc/self/fd
// for writing, a pipe only into itself. The thread is owned by the child's record.
#pragma once

#include <memory>

#include "sandbox_core/base/io_error.h"
#include "sandbox_core/base/result.h"
#include "sandbox_core/base/unique_fd.h"
#include "sandbox_core/launch/sandbox_child.h"

namespace sandbox {

// Copies `file` (from its current offset to its end) into `pipe_write`, on a thread named
// "sandbox-stdin". The thread ends at the file's end, when the child's end of the pipe is
// gone, or when the resource is destroyed, which waits for it.
Result<std::unique_ptr<ChildResource>, IoError> start_stdin_feed(UniqueFd file,
                                                                 UniqueFd pipe_write);

}  // namespace sandbox
