// Upstream connect, socket time-outs and host:port parsing. No state; any thread may
// call these.
#include "sandbox_core/proxy/net.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "sandbox_core/base/platform.h"
#include "sandbox_core/base/text.h"

namespace sandbox::proxy {

std::optional<uint16_t> parse_port(std::string_view text) {
  auto port = parse_decimal(text, 65535);
  if (!port) return std::nullopt;
  return static_cast<uint16_t>(*port);
}

std::optional<ConnectTarget> parse_connect_target(std::string_view target) {
  std::string_view host;
  std::string_view port_text;
  if (!target.empty() && target.front() == '[') {
    size_t close = target.find(']', 1);
    if (close == std::string_view::npos) return std::nullopt;
    host = target.substr(1, close - 1);
    std::string_view rest = target.substr(close + 1);
    if (rest.size() < 2 || rest.front() != ':') return std::nullopt;
    port_text = rest.substr(1);
  } else {
    size_t colon = target.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    host = target.substr(0, colon);
    port_text = target.substr(colon + 1);
  }
  auto port = parse_port(port_text);
  if (!port) return std::nullopt;
  return ConnectTarget{std::string(host), *port};
}

Result<UniqueFd, IoError> connect_with_timeout(const netfilter::SocketAddress& addr,
                                               std::chrono::milliseconds timeout) {
  sockaddr_storage ss{};
  socklen_t len = netfilter::to_sockaddr(addr, ss);
  UniqueFd fd(socket_cloexec(ss.ss_family, SOCK_STREAM, SocketMode::NonBlocking));
  if (!fd) return fail(IoError::last());

  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&ss), len) != 0) {
    // EINTR on a non-blocking connect leaves it in progress, like EINPROGRESS.
    if (errno != EINPROGRESS && errno != EINTR) return fail(IoError::last());
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return fail(IoError::custom("connection timed out", ETIMEDOUT));
      pollfd p{fd.get(), POLLOUT, 0};
      int rc = ::poll(&p, 1, static_cast<int>(left.count()));
      if (rc < 0) {
        if (errno == EINTR) continue;
        return fail(IoError::last());
      }
      if (rc == 0) continue;  // the deadline check above reports the time-out
      break;
    }
    int err = 0;
    socklen_t err_len = sizeof err;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &err_len) != 0)
      return fail(IoError::last());
    if (err != 0) return fail(IoError::from_errno(err));
  }

  // The socket was made here with no status flag but O_NONBLOCK: no need to read them.
  if (::fcntl(fd.get(), F_SETFL, 0) != 0) return fail(IoError::last());
  return fd;
}

Result<void, IoError> set_io_timeouts(int fd, std::chrono::seconds timeout) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout.count());
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return fail(IoError::last());
  if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return fail(IoError::last());
  return {};
}

}  // namespace sandbox::proxy
