// The two-thread byte pump of an open tunnel: the connection thread itself carries
// client to upstream, one pooled thread upstream to client. Both share the two sockets,
// which stay open until both directions have finished. Pump threads outlive the proxy's
// stop and report nothing.
//
// Where the system can, bytes move socket -> pipe -> socket with splice and never pass
// through user space; the pipe exists only while data flows, so an idle tunnel holds no
// pipe and no buffer. Elsewhere, and where splice is refused, a heap buffer of 32 KiB
// taken at the first byte carries them.
//
// A tunnel never outlives both of its uses. A direction that breaks (a reset, an error)
// shuts the other down at once; one that ends cleanly passes the half-close on, and the
// other direction may then go on for as long as it moves bytes, but not past
// kHalfClosedIdle of silence: a client that died leaves no tunnel waiting for an
// upstream that never speaks again.
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
std::atomic<int> g_half_closed_idle_ms{static_cast<int>(kHalfClosedIdle.count())};

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
  Ended,    // end of stream passed on: the other direction may go on
  Broken,   // an error (or a half-closed tunnel gone quiet): the tunnel is over
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
// stream) or -1 with errno, EINTR retried; no pipe held while idle. Once `other_done`,
// a source quiet for the half-closed idle time gives -1 with ETIMEDOUT (so after one to
// two such times in all: a wake-up per idle time is all an idle tunnel costs).
ssize_t await_data(int source, const std::atomic<bool>& other_done) {
  for (;;) {
    if (!readable_within(source, g_half_closed_idle_ms.load(std::memory_order_relaxed))) {
      if (!other_done.load(std::memory_order_acquire)) continue;
      errno = ETIMEDOUT;
      return -1;
    }
    char probe;
    ssize_t n = ::recv(source, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return n;
  }
}

// Empties what the pipe holds into `destination` by plain writes (splice refused it).
bool flush_by_copy(int pipe_read, int destination, size_t left, uint64_t& moved) {
  std::byte buf[4096];
  while (left > 0) {
    ssize_t n = ::read(pipe_read, buf, sizeof buf < left ? sizeof buf : left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    if (!send_all(destination, std::span<const std::byte>(buf, static_cast<size_t>(n))))
      return false;
    moved += static_cast<uint64_t>(n);
    left -= static_cast<size_t>(n);
  }
  return true;
}

// `moved` counts what reached the destination; a plain local, added up once per write.
Flow splice_direction(int source, int destination, uint64_t& moved,
                      const std::atomic<bool>& other_done) {
  std::optional<SigpipeHeld> sigpipe;  // from the first burst on
  // Closed while the tunnel is idle. Whenever it is closed nothing has been taken from
  // the source that was not passed on, so handing over to the copy loop loses nothing.
  SplicePipe pipe;
  for (;;) {
    if (!pipe.is_open()) {
      ssize_t peek = await_data(source, other_done);
      if (peek == 0) {
        // Half-close: the peer may still be sending the other way.
        (void)::shutdown(destination, SHUT_WR);
        return Flow::Ended;
      }
      if (peek < 0) return errno == ENOTSOCK ? Flow::Refused : Flow::Broken;
      if (!pipe.open()) return Flow::Refused;  // out of descriptors, say: copy instead
      if (!sigpipe) sigpipe.emplace();
    }
    ssize_t n = splice_bytes(source, pipe.write_end(), kSpliceAsk, SpliceMore::No);
    if (n == 0) {
      (void)::shutdown(destination, SHUT_WR);
      return Flow::Ended;
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EINVAL || errno == ENOSYS) return Flow::Refused;
      return Flow::Broken;
    }
    for (size_t left = static_cast<size_t>(n); left > 0;) {
      ssize_t m = splice_bytes(pipe.read_end(), destination, left, SpliceMore::No);
      if (m > 0) {
        left -= static_cast<size_t>(m);
        moved += static_cast<uint64_t>(m);
        continue;
      }
      if (m < 0 && errno == EINTR) continue;
      if (m < 0 && errno == EPIPE) sigpipe->note_epipe();
      if (m < 0 && (errno == EINVAL || errno == ENOSYS)) {
        // The destination takes no splice: hand on what is in the pipe, then copy.
        return flush_by_copy(pipe.read_end(), destination, left, moved) ? Flow::Refused
                                                                        : Flow::Broken;
      }
      return Flow::Broken;  // an error, or a write of 0 bytes ("failed to write whole buffer")
    }
    pipe.grow_if_bulk(static_cast<size_t>(n));
    // Keep the pipe through the short gaps of a flow; a tunnel that has gone quiet
    // gives it back and waits without one.
    if (!readable_within(source, kQuietAfterMs)) pipe.reset();
  }
}

Flow copy_loop(int source, int destination, uint64_t& moved,
               const std::atomic<bool>& other_done) {
  // Taken at the first byte: an idle tunnel holds no buffer. Not zero-filled: only what a
  // receive wrote is ever sent.
  std::unique_ptr<std::byte[]> buf;
  for (;;) {
    if (!buf) {
      ssize_t peek = await_data(source, other_done);
      if (peek == 0) {
        (void)::shutdown(destination, SHUT_WR);
        return Flow::Ended;
      }
      if (peek < 0 && errno != ENOTSOCK) return Flow::Broken;
      buf.reset(new std::byte[kPumpChunk]);
    }
    ssize_t n = ::recv(source, buf.get(), kPumpChunk, 0);
    if (n == 0) {
      (void)::shutdown(destination, SHUT_WR);
      return Flow::Ended;
    }
    if (n < 0) {
      // A host interpreter installs its handlers without SA_RESTART; a signal that lands
      // on this thread must not cut the tunnel short.
      if (errno == EINTR) continue;
      return Flow::Broken;
    }
    if (!send_all(destination, std::span<const std::byte>(buf.get(), static_cast<size_t>(n))))
      return Flow::Broken;
    moved += static_cast<uint64_t>(n);
  }
}

// The bytes that reached the destination. Marks `done` at the end; a broken direction
// shuts the destination both ways, which ends the other direction's wait on it.
uint64_t pump_direction(int source, int destination, const std::atomic<bool>& other_done,
                        std::atomic<bool>& done) {
  uint64_t moved = 0;
  Flow flow = splice_available() ? splice_direction(source, destination, moved, other_done)
                                 : Flow::Refused;
  if (flow == Flow::Refused) flow = copy_loop(source, destination, moved, other_done);
  done.store(true, std::memory_order_release);
  if (flow == Flow::Broken) (void)::shutdown(destination, SHUT_RDWR);
  return moved;
}

}  // namespace

void set_half_closed_idle_for_testing(std::chrono::milliseconds idle) {
  g_half_closed_idle_ms.store(static_cast<int>(idle.count()), std::memory_order_relaxed);
}

void copy_direction(UniqueFd source, UniqueFd destination) {
  const std::atomic<bool> never{false};
  std::atomic<bool> done{false};
  (void)pump_direction(source.get(), destination.get(), never, done);
  destination.reset();
  source.reset();
}

void pump_tunnel(UniqueFd client, UniqueFd upstream, ConnectionSlot slot, EgressNoteRef note) {
  // Both directions hold the two sockets; whichever finishes last closes them (and gives
  // the slot back), so a socket stays open until both directions have finished. Shared
  // rather than duplicated: two descriptors fewer to make and close per tunnel.
  struct Ends {
    UniqueFd client, upstream;
    ConnectionSlot slot;
    EgressNoteRef note;  // logged when the last direction lets go
    std::atomic<bool> up_done{false}, down_done{false};
  };
  if (note) note->tunnel_opened();
  auto ends = std::make_shared<Ends>();
  ends->client = std::move(client);
  ends->upstream = std::move(upstream);
  ends->slot = std::move(slot);
  ends->note = std::move(note);
  // A direction whose thread cannot be had does not run.
  (void)run_proxy_pooled("proxy-pump-u2c", [ends]() mutable {
    const uint64_t down =
        pump_direction(ends->upstream.get(), ends->client.get(), ends->up_done, ends->down_done);
    if (ends->note) ends->note->add_down(down);
    ends.reset();
  });
  // The calling connection thread is done with the handshake and becomes the other
  // direction: one thread less per tunnel, same names as seen from outside.
  set_current_thread_name("proxy-pump-c2u");
  const uint64_t up =
      pump_direction(ends->client.get(), ends->upstream.get(), ends->down_done, ends->up_done);
  if (ends->note) ends->note->add_up(up);
}

Result<void, IoError> open_tunnel(UniqueFd& client, const netfilter::SocketAddress& to,
                                  const TunnelReplies& replies, std::string_view early,
                                  ConnectionSlot& slot,
                                  const std::function<void(const IoError&)>& connect_failed,
                                  const EgressNoteRef& note) {
  auto upstream = connect_with_timeout(to, kUpstreamConnectTimeout);
  if (!upstream) {
    connect_failed(upstream.error());
    note_failure(note, "upstream connect failed: " + upstream.error().text());
    (void)send_all(client.get(), replies.unreachable);
    client.reset();
    return {};
  }
  SANDBOX_TRY(send_all(client.get(), replies.opened));
  // Bytes the client sent right behind its head (a TLS ClientHello, say) came in with it;
  // they belong to the tunnel and must go first.
  if (!early.empty()) SANDBOX_TRY(send_all(upstream->get(), early));
  if (note) note->add_up(early.size());
  pump_tunnel(std::move(client), std::move(*upstream), std::move(slot), note);
  return {};
}

}  // namespace sandbox::proxy
