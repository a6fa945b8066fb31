// The protocol-neutral listener runtime: start sequence, poll loop and stop sequence.
// One poll loop per proxy owns the listener and every client whose request head is not
// complete yet: it accepts and reads what arrives, so an idle or slow client costs a
// descriptor, never a thread, and never delays another. A complete head is served by the
// thread that ran the loop while the loop moves on to a pooled thread. The stop sequence
// runs on whichever thread destroys the handle and never waits for a proxy thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/base/platform.h"
#include "sandbox_core/events/bridge.h"
#include "sandbox_core/proxy/net.h"
#include "sandbox_core/proxy/proxy.h"
#include "sandbox_core/proxy/registry.h"

namespace sandbox::proxy {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kListenBacklog = 128;
constexpr auto kExhaustionPause = std::chrono::milliseconds(100);
// Received per read of a head; what a reader keeps is bounded by its protocol.
constexpr size_t kHeadChunk = 16384;
// Accepted per wake-up, so a flood of connects cannot starve the heads already in.
constexpr int kAcceptsPerRound = 64;

// Linux reports pending network errors of the new connection through accept(2); those
// say nothing about the listener.
bool is_transient_accept_error(int code) {
  switch (code) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
#ifdef ENONET  // Linux only
    case ENONET:
#endif
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return true;
    default:
      return false;
  }
}

// Running out of descriptors or memory passes once connections close; giving up would
// cut the session's egress for good.
bool is_exhaustion_error(int code) {
  return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM;
}

// Gives the slot back, and `outer` with it, when the last holder lets go.
class SlotHold {
 public:
  SlotHold(std::shared_ptr<LoopShared> loop, ConnectionSlot outer)
      : loop_(std::move(loop)), outer_(std::move(outer)) {
    loop_->open.fetch_add(1, std::memory_order_relaxed);
  }
  SlotHold(const SlotHold&) = delete;
  SlotHold& operator=(const SlotHold&) = delete;
  ~SlotHold() { loop_->open.fetch_sub(1, std::memory_order_relaxed); }

 private:
  std::shared_ptr<LoopShared> loop_;
  ConnectionSlot outer_;
};

struct PendingHead {
  UniqueFd client;
  std::unique_ptr<HeadReader> reader;
  Clock::time_point deadline;
  ConnectionSlot slot;
};

// What the poll loop owns for its whole life.
struct LoopContext {
  const ProxyKind* kind;
  UniqueFd listener;
  std::shared_ptr<LoopShared> shared;
  FilterRef filter;
};

class PollLoop {
 public:
  explicit PollLoop(LoopContext ctx) : ctx_(std::move(ctx)), kind_(*ctx_.kind) {}

  const ProxyKind& kind() const { return kind_; }
  const LoopContext& context() const { return ctx_; }

  // Runs rounds until the proxy stops (nothing) or a round completed a head, which the
  // caller is to serve: the first complete head of a round is kept for the caller, any
  // further one goes to a pooled connection thread.
  std::optional<PendingHead> run() {
    events::ProxyScope scope(ctx_.shared->url);
    std::vector<pollfd> fds;
    for (;;) {
      if (stopping()) return std::nullopt;
      const Clock::time_point now = Clock::now();
      const bool listening = ctx_.listener && now >= paused_until_;
      fds.clear();
      fds.push_back({ctx_.shared->wake.poll_fd(), POLLIN, 0});
      fds.push_back({listening ? ctx_.listener.get() : -1, POLLIN, 0});
      for (const auto& p : pending_) fds.push_back({p.client.get(), POLLIN, 0});
      int rc = ::poll(fds.data(), fds.size(), timeout_ms(now));
      if (rc < 0 && errno != EINTR) {
        // Nothing else is wrong with the loop (EINVAL past the descriptor limit, say):
        // wait for the deadlines and the listener's pause, then try again.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (stopping()) return std::nullopt;
      // Lowered before the inbox is read: a hand-over after this raises it anew.
      if (rc > 0 && fds[0].revents != 0) ctx_.shared->wake.clear();
      if (rc > 0) {
        // Heads first, by index, before the vector grows.
        for (size_t i = pending_.size(); i-- > 0;)
          if (fds[i + 2].revents != 0) read_head(i);
        if (fds[1].fd >= 0 && fds[1].revents != 0) accept_some();
      }
      take_inbox();
      expire(Clock::now());
      if (kept_) return std::exchange(kept_, std::nullopt);
    }
  }

  // Serves `head` on a pooled connection thread. A thread that cannot start closes the
  // client, its head and its slot with the body.
  void hand_over(PendingHead p) {
    (void)run_proxy_pooled(kind_.connection_thread_name,
                           [serve = kind_.serve, shared = ctx_.shared, filter = ctx_.filter,
                            client = std::move(p.client), reader = std::move(p.reader),
                            slot = std::move(p.slot)]() mutable {
                             events::ProxyScope scope(shared->url);
                             serve(std::move(filter), std::move(client), std::move(reader),
                                   std::move(slot));
                           });
  }

 private:
  bool stopping() const { return ctx_.shared->stop.load(std::memory_order_seq_cst); }

  int timeout_ms(Clock::time_point now) const {
    Clock::time_point next = Clock::time_point::max();
    for (const auto& p : pending_) next = std::min(next, p.deadline);
    if (ctx_.listener && paused_until_ > now) next = std::min(next, paused_until_);
    if (next == Clock::time_point::max()) return -1;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::clamp<int64_t>(ms, 0, 60000));
  }

  // A new client joins under the cap, or is closed at once.
  void admit(UniqueFd client, ConnectionSlot outer = nullptr) {
    LoopShared& shared = *ctx_.shared;
    if (shared.open.load(std::memory_order_relaxed) >= shared.cap) {
      client.reset();
      kind_.report_over_cap(shared.cap);
      return;
    }
    ConnectionSlot slot = std::make_shared<SlotHold>(ctx_.shared, std::move(outer));
    pending_.push_back(PendingHead{std::move(client), kind_.new_head_reader(),
                                   Clock::now() + kHandshakeTimeout, std::move(slot)});
    // A client usually sends its head right behind its connect: read what is there now
    // rather than after another round of poll.
    read_head(pending_.size() - 1);
  }

  void accept_some() {
    // Once a head is kept, the round ends soon: what else waits is found by the next poll.
    for (int i = 0; i < kAcceptsPerRound && !kept_; ++i) {
      int fd = accept_cloexec(ctx_.listener.get(), AcceptWait::No);
      if (fd >= 0) {
        exhausted_ = false;
        admit(UniqueFd(fd));
        continue;
      }
      const int code = errno;
      if (code == EAGAIN || code == EWOULDBLOCK) return;
      if (is_transient_accept_error(code)) continue;
      if (is_exhaustion_error(code)) {
        if (!exhausted_) kind_.report_accept_failure(IoError::from_errno(code));
        exhausted_ = true;
        paused_until_ = Clock::now() + kExhaustionPause;
        return;
      }
      // The listener is unusable: its port refuses from now on; clients already in (and
      // any the fence hands over) are still served until the proxy stops.
      kind_.report_accept_failure(IoError::from_errno(code));
      ctx_.listener.reset();
      return;
    }
  }

  void take_inbox() {
    std::vector<std::pair<UniqueFd, ConnectionSlot>> arrived;
    {
      std::lock_guard lock(ctx_.shared->mutex);
      arrived.swap(ctx_.shared->inbox);
    }
    for (auto& [client, outer] : arrived) admit(std::move(client), std::move(outer));
  }

  void read_head(size_t i) {
    PendingHead& p = pending_[i];
    char* buf = chunk_.get();
    ssize_t n = ::recv(p.client.get(), buf, kHeadChunk, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      end(i, IoError::last());
      return;
    }
    const HeadReader::Step step = p.reader->feed(std::string_view(buf, static_cast<size_t>(n)));
    // The replies are a few bytes on a socket that has sent nothing yet: they fit its
    // send buffer whatever the peer reads, so this does not wait.
    if (std::string reply = p.reader->take_reply(); !reply.empty()) {
      auto sent = send_all(p.client.get(), reply);
      if (!sent && step != HeadReader::Step::Close) {
        end(i, std::move(sent).error());
        return;
      }
    }
    switch (step) {
      case HeadReader::Step::NeedMore:
        return;
      case HeadReader::Step::Close:
        remove(i);
        return;
      case HeadReader::Step::Failed:
        end(i, p.reader->error());
        return;
      case HeadReader::Step::Ready:
        hand_over(i);
        return;
    }
  }

  void hand_over(size_t i) {
    PendingHead p = std::move(pending_[i]);
    remove(i);
    if (!kept_) {
      kept_ = std::move(p);
      return;
    }
    hand_over(std::move(p));
  }

  // `error` is a copy: it may come from the reader that remove() destroys.
  void end(size_t i, IoError error) {
    remove(i);
    kind_.report_ended(error);
  }

  void remove(size_t i) {
    if (i + 1 != pending_.size()) pending_[i] = std::move(pending_.back());
    pending_.pop_back();
  }

  // One deadline for the whole head, however the client spreads its bytes.
  void expire(Clock::time_point now) {
    for (size_t i = pending_.size(); i-- > 0;) {
      if (pending_[i].deadline <= now)
        end(i, IoError::custom("request head not complete within 30 s", ETIMEDOUT));
    }
  }

  LoopContext ctx_;
  const ProxyKind& kind_;
  std::vector<PendingHead> pending_;
  Clock::time_point paused_until_{};
  bool exhausted_ = false;           // one WARN per episode of resource exhaustion
  std::optional<PendingHead> kept_;  // the first head completed in this round
  // Off the stack: every thread that carries the loop would keep these pages, and most of
  // them go on to carry a tunnel for as long as it lasts.
  std::unique_ptr<char[]> chunk_ = std::make_unique_for_overwrite<char[]>(kHeadChunk);
};

// Runs the poll loop on the calling thread. When a round completes a head, the loop moves
// on to a pooled thread (named for the loop) and this thread serves the head itself, so
// the client's answer waits for no second thread to be woken and scheduled; the loop's
// own wake-up is off that path. One hand-off per client either way, and the loop never
// waits on a serve (resolution, a 15 s connect).
void run_loop(std::unique_ptr<PollLoop> loop) {
  for (;;) {
    std::optional<PendingHead> head = loop->run();
    if (!head) return;  // stopping: the loop, its listener and its heads end here
    const ProxyKind& kind = loop->kind();
    FilterRef filter = loop->context().filter;
    std::shared_ptr<LoopShared> shared = loop->context().shared;
    // Shared so that the loop comes back here if no thread could be had for it.
    auto carrier = std::make_shared<std::unique_ptr<PollLoop>>(std::move(loop));
    if (!run_proxy_pooled(kind.accept_thread_name,
                          [carrier]() mutable { run_loop(std::move(*carrier)); })) {
      loop = std::move(*carrier);
      loop->hand_over(std::move(*head));
      continue;
    }
    carrier.reset();
    set_current_thread_name(kind.connection_thread_name);
    events::ProxyScope scope(shared->url);
    kind.serve(std::move(filter), std::move(head->client), std::move(head->reader),
               std::move(head->slot));
    return;
  }
}

// How a head read over a blocking socket ended, when it did not fail.
enum class HeadEnd : uint8_t { Ready, Closed };

Result<HeadEnd, IoError> read_head_blocking(int fd, HeadReader& reader) {
  char buf[kHeadChunk];
  for (;;) {
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(IoError::last());
    }
    const HeadReader::Step step = reader.feed(std::string_view(buf, static_cast<size_t>(n)));
    if (std::string reply = reader.take_reply(); !reply.empty()) {
      auto sent = send_all(fd, reply);
      if (!sent && step != HeadReader::Step::Close) return fail(std::move(sent).error());
    }
    switch (step) {
      case HeadReader::Step::NeedMore:
        // Every reader decides at end of stream; this one did not.
        if (n == 0) return fail(IoError::custom(kFillWholeBuffer));
        continue;
      case HeadReader::Step::Ready:
        return HeadEnd::Ready;
      case HeadReader::Step::Close:
        return HeadEnd::Closed;
      case HeadReader::Step::Failed:
        return fail(reader.error());
    }
  }
}

}  // namespace

void serve_blocking(const ProxyKind& kind, FilterRef filter, UniqueFd client) {
  std::unique_ptr<HeadReader> head = kind.new_head_reader();
  // The time-outs guard the reads of the head; what follows only writes a few bytes to a
  // socket that has queued next to nothing (a reply, then the tunnel), as on the loop's
  // path, which never sets them.
  auto got = [&]() -> Result<HeadEnd, IoError> {
    SANDBOX_TRY(set_io_timeouts(client.get(), kHandshakeTimeout));
    SANDBOX_ASSIGN_OR_RETURN(HeadEnd end, read_head_blocking(client.get(), *head));
    SANDBOX_TRY(set_io_timeouts(client.get(), std::chrono::seconds(0)));
    return end;
  }();
  if (!got) {
    client.reset();
    kind.report_ended(got.error());
    return;
  }
  if (*got == HeadEnd::Ready)
    kind.serve(std::move(filter), std::move(client), std::move(head), nullptr);
}

Result<std::unique_ptr<ProxyHandle>, IoError> start_proxy(const ProxyKind& kind,
                                                          netfilter::NetworkFilter filter,
                                                          size_t max_connections) {
  SANDBOX_ASSIGN_OR_RETURN(WakeFd wake, WakeFd::create());
  // Non-blocking: the loop accepts only what poll announced, and a connection that went
  // away in between must not hold it.
  UniqueFd listener(socket_cloexec(AF_INET, SOCK_STREAM, SocketMode::NonBlocking));
  if (!listener) return fail(IoError::last());
  int one = 1;
  if (::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
    return fail(IoError::last());
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = 0;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0)
    return fail(IoError::last());
  if (::listen(listener.get(), kListenBacklog) != 0) return fail(IoError::last());

  sockaddr_storage bound{};
  socklen_t bound_len = sizeof bound;
  if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &bound_len) != 0)
    return fail(IoError::last());
  auto local = netfilter::from_sockaddr(reinterpret_cast<const sockaddr*>(&bound), bound_len);
  if (!local) return fail(IoError::from_errno(EAFNOSUPPORT));

  auto shared = std::make_shared<LoopShared>();
  shared->wake = std::move(wake);
  shared->cap = std::max<size_t>(max_connections, 1);
  shared->url = std::string(kind.scheme) + "://" + netfilter::to_string(*local);
  auto shared_filter = std::make_shared<const netfilter::NetworkFilter>(std::move(filter));
  LoopContext ctx{&kind, std::move(listener), shared, shared_filter};
  SANDBOX_ASSIGN_OR_RETURN(ThreadHandle thread,
                           start_thread(kind.accept_thread_name, [ctx = std::move(ctx)]() mutable {
                             run_loop(std::make_unique<PollLoop>(std::move(ctx)));
                           }));
  register_live_proxy(LiveProxy{*local, shared});
  std::string url = shared->url;
  return std::make_unique<ProxyHandle>(*local, std::move(url), std::move(shared),
                                       std::move(thread));
}

bool serve_as_local_proxy(const netfilter::SocketAddress& endpoint, UniqueFd& client,
                          ConnectionSlot outer) {
  auto live = find_live_proxy(endpoint);
  if (!live) return false;
  {
    std::lock_guard lock(live->loop->mutex);
    live->loop->inbox.emplace_back(std::move(client), std::move(outer));
  }
  live->loop->wake.notify();
  return true;
}

ProxyHandle::ProxyHandle(netfilter::SocketAddress local_addr, std::string url,
                         std::shared_ptr<LoopShared> loop, ThreadHandle accept_thread)
    : local_addr_(local_addr),
      url_(std::move(url)),
      loop_(std::move(loop)),
      accept_thread_(std::move(accept_thread)) {}

ProxyHandle::~ProxyHandle() {
  loop_->stop.store(true, std::memory_order_seq_cst);
  unregister_live_proxy(loop_);
  // The loop wakes, sees the flag and ends, closing the listener and the clients whose
  // heads were not complete; connections already handed over run on.
  loop_->wake.notify();
  if (accept_thread_) {
    accept_thread_->detach();
    accept_thread_.reset();
  }
}

}  // namespace sandbox::proxy
