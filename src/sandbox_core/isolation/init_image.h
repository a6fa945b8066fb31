// The sandbox init's image in a sealed memfd, created once per process and kept open
// (close-on-exec) for its life. Both Linux backends run it as pid 1 of the sandbox.
#pragma once

#include "sandbox_core/base/io_error.h"
#include "sandbox_core/base/result.h"

namespace sandbox::isolation {

// The descriptor, or why it could not be made (the same error every later call).
Result<int, IoError> sandbox_init_fd();

// argv[0] of the init, as the sandbox's own `ps` shows pid 1.
inline constexpr const char* kInitName = "ventra-sandbox-init";

}  // namespace sandbox::isolation
