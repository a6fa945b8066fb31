#include "sandbox_core/base/fd_io.h"

#include <fcntl.h>
#include <unistd.h>

#include "sandbox_core/base/platform.h"

namespace sandbox {

Result<void, IoError> read_exact(int fd, std::span<std::byte> buf) {
  size_t done = 0;
  while (done < buf.size()) {
    ssize_t n = ::read(fd, buf.data() + done, buf.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(IoError::last());
    }
    if (n == 0) return fail(IoError::custom(kFillWholeBuffer));
    done += static_cast<size_t>(n);
  }
  return {};
}

namespace {

template <class Op>
Result<void, IoError> write_loop(std::span<const std::byte> buf, Op op) {
  size_t done = 0;
  while (done < buf.size()) {
    ssize_t n = op(buf.data() + done, buf.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(IoError::last());
    }
    if (n == 0) return fail(IoError::custom(kWriteWholeBuffer));
    done += static_cast<size_t>(n);
  }
  return {};
}

std::span<const std::byte> bytes_of(std::string_view text) {
  return std::as_bytes(std::span<const char>(text.data(), text.size()));
}

}  // namespace

Result<void, IoError> write_all(int fd, std::span<const std::byte> buf) {
  return write_loop(buf, [fd](const std::byte* p, size_t n) { return ::write(fd, p, n); });
}

Result<void, IoError> write_all(int fd, std::string_view text) {
  return write_all(fd, bytes_of(text));
}

Result<void, IoError> send_all(int fd, std::span<const std::byte> buf) {
  return write_loop(buf, [fd](const std::byte* p, size_t n) { return send_nosignal(fd, p, n); });
}

Result<void, IoError> send_all(int fd, std::string_view text) {
  return send_all(fd, bytes_of(text));
}

Result<UniqueFd, IoError> dup_cloexec(int fd) {
  int d = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (d < 0) return fail(IoError::last());
  return UniqueFd(d);
}

Result<Pipe, IoError> make_pipe() {
  int fds[2];
  if (pipe_cloexec(fds) != 0) return fail(IoError::last());
  return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace sandbox
