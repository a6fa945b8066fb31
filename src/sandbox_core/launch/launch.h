// Process launch shared by every backend: command assembly, the cleared environment plus
// the backend's defaults, and the launch itself. Runs on the spawning thread; it returns
// once the program has been executed (or the child's failure has been reported).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sandbox_core/base/result.h"
#include "sandbox_core/launch/sandbox_child.h"
#include "sandbox_core/spec/sandbox_spec.h"

namespace sandbox {

inline constexpr std::string_view DEFAULT_CHILD_PATH =
    "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

// Message of the Io error for a NUL byte in the program, an argument, the environment or
// the working directory; raised before any process exists.
inline constexpr std::string_view kNulByteMessage = "nul byte found in provided data";

// Ordered (name, value) pairs, each added only when the caller's env lacks the name.
using EnvDefaults = std::vector<std::pair<std::string, std::string>>;

// "sh" "-c" input; interpreter "-c" input; or argv unchanged. May be empty (Argv only).
std::vector<std::string> build_command(const SandboxSpec& spec);

// Limits applied inside the child by child_limits_hook; 0 means "not set".
struct ChildLimits {
  uint64_t fsize_bytes = 0;  // RLIMIT_FSIZE, soft and hard
  uint64_t cpu_seconds = 0;  // RLIMIT_CPU, soft and hard
};

// Captured in the parent from the SandboxSpec: the file-size limit, and
// max(1, timeout_seconds * cpu_milli / 1000) CPU-seconds when both are non-zero. A product
// at or above 2^64 saturates to UINT64_MAX before the division instead of wrapping.
ChildLimits child_limits(uint64_t ephemeral_storage_bytes, uint64_t timeout_seconds,
                         uint32_t cpu_milli);

// Starts `program` with `args` as the leader of a new process group: stdin from the null
// device, stdout/stderr to pipes (or the null device when not captured), working
// directory spec.host_dir(), environment exactly spec.env plus the missing defaults. A
// program without "/" is searched in the child's own PATH. Failures inside the child
// come back as Io errors after the half-started child has been reaped.
Result<SandboxChild, SandboxError> launch_child(const std::string& program,
                                                const std::vector<std::string>& args,
                                                const EnvDefaults& env_defaults,
                                                const SandboxSpec& spec);

}  // namespace sandbox
