// The two-thread byte pump of an open tunnel: the connection thread itself carries
// client to upstream, one pooled thread upstream to client. Both share the two sockets,
// which stay open until both directions have finished. Pump threads outlive the proxy's
// stop and report nothing.
//
// Where the system can, bytes move socket -> pipe -> socket with splice and never pass
// through user space; the pipe exists only while data flows, so an idle tunnel holds no
// pipe and no buffer. Elsewhere, and where splice is refused, a heap buffer of 32 KiB
// taken at the first byte carries them.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <ctime>
#include <memory>
#include <optional>

#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/base/platform.h"
#include "sandbox_core/base/sigpipe.h"
#include "sandbox_core/base/thread.h"
#include "sandbox_core/proxy/net.h"
#include "sandbox_core/proxy/proxy.h"

namespace sandbox::proxy {
namespace {

constexpr size_t kPumpChunk = 32768;
// Asked of each splice into the pipe; the pipe's own capacity bounds what one call moves.
constexpr size_t kSpliceAsk = 1 << 20;
// A burst of kBulkBurst or more is bulk: its pipe grows to 1 MiB, so each pair of
// splices moves more (about a quarter more throughput here). Enlarged pipes count against
// the user's pipe budget (for an unprivileged user, once that is spent, every new pipe
// of the user gets a single page), so at most kMaxBigPipes of ours are big at once.
constexpr size_t kBulkBurst = 16384;
// A direction that has received nothing for this long is idle and gives its pipe back.
constexpr int kQuietAfterMs = 100;
constexpr int kBigPipeBytes = 1 << 20;
constexpr int kMaxBigPipes = 16;
std::atomic<int> g_big_pipes{0};

// A pipe of the splice path, counted while it is big.
class SplicePipe {
 public:
  SplicePipe() = default;
  SplicePipe(const SplicePipe&) = delete;
  SplicePipe& operator=(const SplicePipe&) = delete;
  ~SplicePipe() { reset(); }

  bool open() {
    auto made = make_pipe();
    if (!made) return false;
    pipe_ = std::move(*made);
    return true;
  }
  bool is_open() const { return static_cast<bool>(pipe_.read); }
  int read_end() const { return pipe_.read.get(); }
  int write_end() const { return pipe_.write.get(); }

  void grow_if_bulk(size_t burst) {
    if (big_ || burst < kBulkBurst) return;
    if (g_big_pipes.fetch_add(1, std::memory_order_relaxed) < kMaxBigPipes &&
        set_pipe_capacity(pipe_.write.get(), kBigPipeBytes)) {
      big_ = true;
      return;
    }
    g_big_pipes.fetch_sub(1, std::memory_order_relaxed);
  }

  void reset() {
    pipe_ = Pipe{};
    if (big_) g_big_pipes.fetch_sub(1, std::memory_order_relaxed);
    big_ = false;
  }

 private:
  Pipe pipe_;
  bool big_ = false;
};

enum class Flow : uint8_t {
  Done,     // end of stream passed on, or an error: the direction is over
  Refused,  // splice cannot serve this pair (nothing consumed): copy instead
};

// True when `fd` turns readable within `ms` (or is already).
bool readable_within(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, ms);
  } while (r < 0 && errno == EINTR);
  return r != 0;  // an error: let the next splice report it
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
  std::optional<SigpipeHeld> sigpipe;  // from the first burst on
  // Closed while the tunnel is idle. Whenever it is closed nothing has been taken from
  // the source that was not passed on, so handing over to the copy loop loses nothing.
  SplicePipe pipe;
  for (;;) {
    if (!pipe.is_open()) {
      ssize_t peek = await_data(source);
      if (peek == 0) {
        // Half-close: the peer may still be sending the other way.
        (void)::shutdown(destination, SHUT_WR);
        return Flow::Done;
      }
      if (peek < 0) return errno == ENOTSOCK ? Flow::Refused : Flow::Done;
      if (!pipe.open()) return Flow::Refused;  // out of descriptors, say: copy instead
      if (!sigpipe) sigpipe.emplace();
    }
    ssize_t n = splice_bytes(source, pipe.write_end(), kSpliceAsk, SpliceMore::No);
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
      ssize_t m = splice_bytes(pipe.read_end(), destination, left, SpliceMore::No);
      if (m > 0) {
        left -= static_cast<size_t>(m);
        continue;
      }
      if (m < 0 && errno == EINTR) continue;
      if (m < 0 && errno == EPIPE) sigpipe->note_epipe();
      if (m < 0 && (errno == EINVAL || errno == ENOSYS)) {
        // The destination takes no splice: hand on what is in the pipe, then copy.
        return flush_by_copy(pipe.read_end(), destination, left) ? Flow::Refused : Flow::Done;
      }
      return Flow::Done;  // an error, or a write of 0 bytes ("failed to write whole buffer")
    }
    pipe.grow_if_bulk(static_cast<size_t>(n));
    // Keep the pipe through the short gaps of a flow; a tunnel that has gone quiet
    // gives it back and waits without one.
    if (!readable_within(source, kQuietAfterMs)) pipe.reset();
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

void pump_direction(int source, int destination) {
  if (!splice_available() || splice_direction(source, destination) == Flow::Refused)
    copy_loop(source, destination);
}

}  // namespace

void copy_direction(UniqueFd source, UniqueFd destination) {
  pump_direction(source.get(), destination.get());
  destination.reset();
  source.reset();
}

void pump_tunnel(UniqueFd client, UniqueFd upstream, ConnectionSlot slot) {
  // Both directions hold the two sockets; whichever finishes last closes them (and gives
  // the slot back), so a socket stays open until both directions have finished. Shared
  // rather than duplicated: two descriptors fewer to make and close per tunnel.
  struct Ends {
    UniqueFd client, upstream;
    ConnectionSlot slot;
  };
  auto ends = std::make_shared<Ends>(Ends{std::move(client), std::move(upstream), std::move(slot)});
  // A direction whose thread cannot be had does not run.
  (void)run_proxy_pooled("proxy-pump-u2c", [ends]() mutable {
    pump_direction(ends->upstream.get(), ends->client.get());
    ends.reset();
  });
  // The calling connection thread is done with the handshake and becomes the other
  // direction: one thread less per tunnel, same names as seen from outside.
  set_current_thread_name("proxy-pump-c2u");
  pump_direction(ends->client.get(), ends->upstream.get());
}

Result<void, IoError> open_tunnel(UniqueFd& client, const netfilter::SocketAddress& to,
                                  const TunnelReplies& replies, std::string_view early,
                                  ConnectionSlot& slot,
                                  const std::function<void(const IoError&)>& connect_failed) {
  auto upstream = connect_with_timeout(to, kUpstreamConnectTimeout);
  if (!upstream) {
    connect_failed(upstream.error());
    (void)send_all(client.get(), replies.unreachable);
    client.reset();
    return {};
  }
  SANDBOX_TRY(send_all(client.get(), replies.opened));
  // Bytes the client sent right behind its head (a TLS ClientHello, say) came in with it;
  // they belong to the tunnel and must go first.
  if (!early.empty()) SANDBOX_TRY(send_all(upstream->get(), early));
  pump_tunnel(std::move(client), std::move(*upstream), std::move(slot));
  return {};
}

}  // namespace sandbox::proxy
