// The built-in filesystem allow-list, reported as-is to callers; fixed for every host
// and backend.
#pragma once

#include <array>
#include <string_view>

namespace sandbox {

inline constexpr std::array<std::string_view, 9> kDefaultReadOnlyPaths = {
    "/usr", "/bin", "/sbin", "/lib", "/lib64", "/etc", "/proc", "/sys", "/dev"};

inline constexpr std::array<std::string_view, 6> kDefaultReadWritePaths = {
    "/tmp", "/dev/shm", "/dev/null", "/dev/zero", "/dev/full", "/dev/tty"};

}  // namespace sandbox
