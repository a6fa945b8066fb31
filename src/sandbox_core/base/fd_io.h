// Small blocking I/O helpers over raw descriptors. Reads and writes retry EINTR;
// socket sends never raise SIGPIPE (send_nosignal on every send).
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "sandbox_core/base/io_error.h"
#include "sandbox_core/base/result.h"
#include "sandbox_core/base/unique_fd.h"

namespace sandbox {

inline constexpr std::string_view kFillWholeBuffer = "failed to fill whole buffer";
inline constexpr std::string_view kWriteWholeBuffer = "failed to write whole buffer";

// Reads exactly buf.size() bytes; an early end of stream is "failed to fill whole buffer".
Result<void, IoError> read_exact(int fd, std::span<std::byte> buf);
// Writes every byte with write(2); a write of 0 bytes is "failed to write whole buffer".
Result<void, IoError> write_all(int fd, std::span<const std::byte> buf);
Result<void, IoError> write_all(int fd, std::string_view text);
// Same as write_all for sockets, sending without SIGPIPE.
Result<void, IoError> send_all(int fd, std::span<const std::byte> buf);
Result<void, IoError> send_all(int fd, std::string_view text);

// Close-on-exec duplicate at the lowest free number not below 3.
Result<UniqueFd, IoError> dup_cloexec(int fd);

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};
// Both ends close-on-exec.
Result<Pipe, IoError> make_pipe();

}  // namespace sandbox
