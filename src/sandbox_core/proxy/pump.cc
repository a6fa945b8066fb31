// The two-thread byte pump of an open tunnel: the connection thread itself carries
// client to upstream, one pooled thread upstream to client. Each owns one descriptor of
// each socket, so a socket stays open until both directions have finished. Pump
// threads outlive the proxy's stop and report nothing.
//
// Where the system can, bytes move socket -> pipe -> socket with splice and never pass
// through user space; the pipe exists only while data flows, so an idle tunnel holds no
// pipe and no buffer. Elsewhere, and where splice is refused, a heap buffer of 32 KiB
// taken at the first byte carries them.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <ctime>
#include <memory>

#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/base/platform.h"
#include "sandbox_core/base/thread.h"
#include "sandbox_core/proxy/proxy.h"

namespace sandbox::proxy {
namespace {

constexpr size_t kPumpChunk = 32768;
// Asked of each splice into the pipe; the pipe's own capacity bounds what one call moves.
constexpr size_t kSpliceAsk = 1 << 20;

enum class Flow : uint8_t {
  Done,     // end of stream passed on, or an error: the direction is over
  Refused,  // splice cannot serve this pair (nothing consumed): copy instead
};

// A splice into a socket whose peer is gone raises SIGPIPE on the calling thread (there
// is no MSG_NOSIGNAL for it). Pump threads run with it blocked, so it only waits; take it
// off here so a pooled thread carries nothing pending into its next role.
void drop_pending_sigpipe() {
  sigset_t pipe_only;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  sigset_t pending;
  if (::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
    int sig = 0;
    (void)::sigwait(&pipe_only, &sig);
  }
}

bool readable_now(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

// Waits for the first byte of a burst without taking it: 1 (data waits), 0 (end of
// stream) or -1 with errno, EINTR retried. One call, and no pipe held while idle.
ssize_t await_data(int source) {
  for (;;) {
    char probe;
    ssize_t n = ::recv(source, &probe, 1, MSG_PEEK);
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

// Empties what the pipe holds into `destination` by plain writes (splice refused it).
bool flush_by_copy(int pipe_read, int destination, size_t left) {
  std::byte buf[4096];
  while (left > 0) {
    ssize_t n = ::read(pipe_read, buf, sizeof buf < left ? sizeof buf : left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (!send_all(destination, std::span<const std::byte>(buf, static_cast<size_t>(n))))
      return false;
    left -= static_cast<size_t>(n);
  }
  return true;
}

Flow splice_direction(int source, int destination) {
  // Empty while the tunnel is idle. Whenever it is empty nothing has been taken from the
  // source that was not passed on, so handing over to the copy loop loses nothing.
  Pipe pipe;
  for (;;) {
    if (!pipe.read) {
      ssize_t peek = await_data(source);
      if (peek == 0) {
        // Half-close: the peer may still be sending the other way.
        (void)::shutdown(destination, SHUT_WR);
        return Flow::Done;
      }
      if (peek < 0) return errno == ENOTSOCK ? Flow::Refused : Flow::Done;
      auto made = make_pipe();
      if (!made) return Flow::Refused;  // out of descriptors, say: this burst is copied
      pipe = std::move(*made);
    }
    ssize_t n = splice_bytes(source, pipe.write.get(), kSpliceAsk, SpliceMore::No);
    if (n == 0) {
      (void)::shutdown(destination, SHUT_WR);
      return Flow::Done;
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EINVAL || errno == ENOSYS) return Flow::Refused;
      return Flow::Done;
    }
    for (size_t left = static_cast<size_t>(n); left > 0;) {
      ssize_t m = splice_bytes(pipe.read.get(), destination, left, SpliceMore::No);
      if (m > 0) {
        left -= static_cast<size_t>(m);
        continue;
      }
      if (m < 0 && errno == EINTR) continue;
      if (m < 0 && errno == EPIPE) drop_pending_sigpipe();
      if (m < 0 && (errno == EINVAL || errno == ENOSYS)) {
        // The destination takes no splice: hand on what is in the pipe, then copy.
        return flush_by_copy(pipe.read.get(), destination, left) ? Flow::Refused : Flow::Done;
      }
      return Flow::Done;  // an error, or a write of 0 bytes ("failed to write whole buffer")
    }
    // Keep the pipe only while more is waiting; an idle tunnel holds none.
    if (!readable_now(source)) pipe = Pipe{};
  }
}

void copy_loop(int source, int destination) {
  // Taken at the first byte: an idle tunnel holds no buffer. Not zero-filled: only what a
  // receive wrote is ever sent.
  std::unique_ptr<std::byte[]> buf;
  for (;;) {
    if (!buf) {
      ssize_t peek = await_data(source);
      if (peek == 0) {
        (void)::shutdown(destination, SHUT_WR);
        return;
      }
      if (peek < 0 && errno != ENOTSOCK) return;
      buf.reset(new std::byte[kPumpChunk]);
    }
    ssize_t n = ::recv(source, buf.get(), kPumpChunk, 0);
    if (n == 0) {
      (void)::shutdown(destination, SHUT_WR);
      return;
    }
    if (n < 0) {
      // A host interpreter installs its handlers without SA_RESTART; a signal that lands
      // on this thread must not cut the tunnel short.
      if (errno == EINTR) continue;
      return;
    }
    if (!send_all(destination, std::span<const std::byte>(buf.get(), static_cast<size_t>(n))))
      return;
  }
}

}  // namespace

void copy_direction(UniqueFd source, UniqueFd destination) {
  if (!splice_available() || splice_direction(source.get(), destination.get()) == Flow::Refused)
    copy_loop(source.get(), destination.get());
  destination.reset();
  source.reset();
}

void pump_tunnel(UniqueFd client, UniqueFd upstream) {
  auto client_dup = dup_cloexec(client.get());
  if (!client_dup) return;
  auto upstream_dup = dup_cloexec(upstream.get());
  if (!upstream_dup) return;

  // A direction whose thread cannot be had closes its descriptors and does not run.
  (void)run_pooled("proxy-pump-u2c",
                   [s = std::move(upstream), d = std::move(*client_dup)]() mutable {
                     copy_direction(std::move(s), std::move(d));
                   });
  // The calling connection thread is done with the handshake and becomes the other
  // direction: one thread less per tunnel, same names as seen from outside.
  set_current_thread_name("proxy-pump-c2u");
  copy_direction(std::move(client), std::move(*upstream_dup));
}

}  // namespace sandbox::proxy
