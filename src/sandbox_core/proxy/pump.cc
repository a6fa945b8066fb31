// The two-thread byte pump of an open tunnel: the connection thread itself carries
// client to upstream, one more thread upstream to client. Each owns one descriptor of
// each socket, so a socket stays open until both directions have finished. Pump
// threads outlive the proxy's stop and report nothing.
#include <sys/socket.h>

#include <cerrno>
#include <cstddef>

#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/base/platform.h"
#include "sandbox_core/proxy/proxy.h"

namespace sandbox::proxy {
namespace {
constexpr size_t kPumpChunk = 32768;
}  // namespace

void copy_direction(UniqueFd source, UniqueFd destination) {
  std::byte buf[kPumpChunk] = {};
  for (;;) {
    ssize_t n = ::recv(source.get(), buf, sizeof buf, 0);
    if (n == 0) {
      // Half-close: the peer may still be sending the other way.
      (void)::shutdown(destination.get(), SHUT_WR);
      break;
    }
    if (n < 0) {
      // A host interpreter installs its handlers without SA_RESTART; a signal that lands
      // on this thread must not cut the tunnel short.
      if (errno == EINTR) continue;
      break;
    }
    if (!send_all(destination.get(), std::span<const std::byte>(buf, static_cast<size_t>(n))))
      break;
  }
  destination.reset();
  source.reset();
}

void pump_tunnel(UniqueFd client, UniqueFd upstream) {
  auto client_dup = dup_cloexec(client.get());
  if (!client_dup) return;
  auto upstream_dup = dup_cloexec(upstream.get());
  if (!upstream_dup) return;

  // A direction whose thread cannot start closes its descriptors and does not run.
  (void)spawn_detached("proxy-pump-u2c",
                       [s = std::move(upstream), d = std::move(*client_dup)]() mutable {
                         copy_direction(std::move(s), std::move(d));
                       });
  // The calling connection thread is done with the handshake and becomes the other
  // direction: one thread start less per tunnel, same names as seen from outside.
  set_current_thread_name("proxy-pump-c2u");
  copy_direction(std::move(client), std::move(*upstream_dup));
}

}  // namespace sandbox::proxy
