// The protocol-neutral listener runtime: start sequence, accept loop and stop sequence.
// The accept thread owns the listener; once it accepts a connection it serves it itself and a pooled
// thread, renamed, becomes the accept thread. The stop sequence runs on whichever thread
// destroys the handle and never waits for a proxy thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "sandbox_core/base/platform.h"
#include "sandbox_core/proxy/net.h"
#include "sandbox_core/proxy/proxy.h"
#include "sandbox_core/proxy/registry.h"

namespace sandbox::proxy {
namespace {

constexpr int kListenBacklog = 128;
constexpr auto kExhaustionPause = std::chrono::milliseconds(100);

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

void pause_unless_stopping(const std::atomic<bool>& stop) {
  constexpr auto kStep = std::chrono::milliseconds(10);
  for (auto slept = std::chrono::milliseconds(0); slept < kExhaustionPause; slept += kStep) {
    if (stop.load(std::memory_order_seq_cst)) return;
    std::this_thread::sleep_for(kStep);
  }
}

// What the accepting thread owns. It passes from thread to thread: the thread that
// accepts a connection serves it itself (no hand-over before the first byte is read)
// and a pooled thread takes the context over and accepts the next one.
struct AcceptContext {
  const ProxyKind* kind;
  UniqueFd listener;
  std::shared_ptr<std::atomic<bool>> stop;
  FilterRef filter;
  bool exhausted = false;  // one WARN per episode of resource exhaustion
};

void accept_loop(AcceptContext ctx) {
  const ProxyKind& kind = *ctx.kind;
  for (;;) {
    int fd = accept_cloexec(ctx.listener.get());
    if (fd < 0) {
      int code = errno;
      if (ctx.stop->load(std::memory_order_seq_cst)) return;
      if (is_transient_accept_error(code)) continue;
      if (is_exhaustion_error(code)) {
        if (!ctx.exhausted) kind.report_accept_failure(IoError::from_errno(code));
        ctx.exhausted = true;
        pause_unless_stopping(*ctx.stop);
        continue;
      }
      kind.report_accept_failure(IoError::from_errno(code));
      return;
    }
    UniqueFd client(fd);
    ctx.exhausted = false;
    if (ctx.stop->load(std::memory_order_seq_cst)) return;  // closes the wake-up connection

    FilterRef filter = ctx.filter;
    // Shared so that it comes back here if no thread can take it.
    auto next = std::make_shared<AcceptContext>(std::move(ctx));
    if (!run_proxy_pooled(kind.accept_thread_name, [next] { accept_loop(std::move(*next)); })) {
      // No thread to accept next: this one goes on accepting, and the client is closed,
      // as when a connection thread cannot start.
      ctx = std::move(*next);
      continue;
    }
    next.reset();  // the next accepting thread's now
    set_current_thread_name(kind.connection_thread_name);
    kind.handler(std::move(filter), std::move(client));
    return;
  }
}

}  // namespace

Result<std::unique_ptr<ProxyHandle>, IoError> start_proxy(const ProxyKind& kind,
                                                          netfilter::NetworkFilter filter) {
  UniqueFd listener(socket_cloexec(AF_INET, SOCK_STREAM, SocketMode::Blocking));
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

  auto stop = std::make_shared<std::atomic<bool>>(false);
  auto shared_filter = std::make_shared<const netfilter::NetworkFilter>(std::move(filter));
  LiveProxy entry{*local, &kind, shared_filter, stop};
  auto thread = start_thread(kind.accept_thread_name,
                             [ctx = AcceptContext{&kind, std::move(listener), stop,
                                                  std::move(shared_filter)}]() mutable {
                               accept_loop(std::move(ctx));
                             });
  if (!thread) return fail(std::move(thread).error());
  register_live_proxy(std::move(entry));
  return std::make_unique<ProxyHandle>(*local, std::move(stop), std::move(*thread));
}

void serve_as_live_proxy(const LiveProxy& proxy, UniqueFd client) {
  // As if the proxy's own accept thread had taken it: a thread that cannot start closes
  // the client, as there.
  (void)run_proxy_pooled(proxy.kind->connection_thread_name,
                   [handler = proxy.kind->handler, f = proxy.filter, c = std::move(client)]() mutable {
                     handler(std::move(f), std::move(c));
                   });
}

ProxyHandle::ProxyHandle(netfilter::SocketAddress local_addr,
                         std::shared_ptr<std::atomic<bool>> stop_flag, ThreadHandle accept_thread)
    : local_addr_(local_addr),
      stop_flag_(std::move(stop_flag)),
      accept_thread_(std::move(accept_thread)) {}

ProxyHandle::~ProxyHandle() {
  stop_flag_->store(true, std::memory_order_seq_cst);
  unregister_live_proxy(stop_flag_);
  // The accept thread sees the flag once this connection wakes it; if it cannot connect
  // the thread is either gone already or exits at the next connection it accepts.
  (void)connect_with_timeout(local_addr_, kWakeUpConnectTimeout);
  if (accept_thread_) {
    accept_thread_->detach();
    accept_thread_.reset();
  }
}

}  // namespace sandbox::proxy
