// The shared listener runtime: start sequence, accept loop and stop sequence. The accept
// thread owns the listener; once it accepts a connection it serves it itself and a pooled
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
#include "sandbox_core/events/event.h"
#include "sandbox_core/proxy/http.h"
#include "sandbox_core/proxy/net.h"
#include "sandbox_core/proxy/proxy.h"
#include "sandbox_core/socks/socks5.h"

namespace sandbox::proxy {
namespace {

using FilterRef = std::shared_ptr<const netfilter::NetworkFilter>;
using Handler = void (*)(FilterRef, UniqueFd);

enum class Protocol : uint8_t { Http, Socks5 };

struct ProxyKind {
  Protocol protocol;
  const char* accept_thread_name;
  const char* connection_thread_name;
  Handler handler;
};

constexpr int kListenBacklog = 128;
constexpr auto kExhaustionPause = std::chrono::milliseconds(100);

void report_accept_failure(Protocol protocol, const IoError& error) {
  if (protocol == Protocol::Http) {
    SANDBOX_EVENT(events::Level::Warn, "sandbox_core::proxy", "sandbox_core::proxy::server",
                  ("message"), "allow-list proxy accept failed: " + error.text());
  } else {
    SANDBOX_EVENT(events::Level::Warn, "sandbox_core::socks", "sandbox_core::proxy::server",
                  ("message"), "socks5 proxy accept failed: " + error.text());
  }
}

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
        if (!ctx.exhausted) report_accept_failure(kind.protocol, IoError::from_errno(code));
        ctx.exhausted = true;
        pause_unless_stopping(*ctx.stop);
        continue;
      }
      report_accept_failure(kind.protocol, IoError::from_errno(code));
      return;
    }
    UniqueFd client(fd);
    ctx.exhausted = false;
    if (ctx.stop->load(std::memory_order_seq_cst)) return;  // closes the wake-up connection

    FilterRef filter = ctx.filter;
    // Shared so that it comes back here if no thread can take it.
    auto next = std::make_shared<AcceptContext>(std::move(ctx));
    if (!run_pooled(kind.accept_thread_name, [next] { accept_loop(std::move(*next)); })) {
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

// The proxies of this process by listening address, so a connection that reaches one by
// another way (the network fence of a sandbox) can be served without a second hop.
struct LocalProxy {
  netfilter::SocketAddress address;
  const ProxyKind* kind;
  FilterRef filter;
  std::shared_ptr<std::atomic<bool>> stop;
};

struct LocalProxies {
  std::mutex mutex;
  std::vector<LocalProxy> live;  // guarded by mutex
};

LocalProxies& local_proxies() {
  static LocalProxies* table = new LocalProxies;  // never destroyed: detached threads read it
  return *table;
}

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
  LocalProxy entry{*local, &kind, shared_filter, stop};
  auto thread = start_thread(kind.accept_thread_name,
                             [ctx = AcceptContext{&kind, std::move(listener), stop,
                                                  std::move(shared_filter)}]() mutable {
                               accept_loop(std::move(ctx));
                             });
  if (!thread) return fail(std::move(thread).error());
  {
    LocalProxies& table = local_proxies();
    std::lock_guard lock(table.mutex);
    table.live.push_back(std::move(entry));
  }
  return std::make_unique<ProxyHandle>(*local, std::move(stop), std::move(*thread));
}

void handle_http(FilterRef filter, UniqueFd client) {
  handle_http_connection(std::move(filter), std::move(client));
}
void handle_socks(FilterRef filter, UniqueFd client) {
  socks::handle_socks_connection(std::move(filter), std::move(client));
}

constexpr ProxyKind kHttpProxy{Protocol::Http, "allow-list-proxy", "allow-list-proxy-conn",
                               &handle_http};
constexpr ProxyKind kSocks5Proxy{Protocol::Socks5, "socks5-proxy", "socks5-proxy-conn",
                                 &handle_socks};

}  // namespace

bool serve_as_local_proxy(const netfilter::SocketAddress& endpoint, UniqueFd& client) {
  const ProxyKind* kind = nullptr;
  FilterRef filter;
  {
    LocalProxies& table = local_proxies();
    std::lock_guard lock(table.mutex);
    for (const auto& p : table.live) {
      if (p.address == endpoint && !p.stop->load(std::memory_order_seq_cst)) {
        kind = p.kind;
        filter = p.filter;
        break;
      }
    }
  }
  if (kind == nullptr) return false;
  // As if the proxy's own accept thread had taken it: a thread that cannot start closes
  // the client, as there.
  (void)run_pooled(kind->connection_thread_name,
                   [handler = kind->handler, f = std::move(filter), c = std::move(client)]() mutable {
                     handler(std::move(f), std::move(c));
                   });
  return true;
}

ProxyHandle::ProxyHandle(netfilter::SocketAddress local_addr,
                         std::shared_ptr<std::atomic<bool>> stop_flag, ThreadHandle accept_thread)
    : local_addr_(local_addr),
      stop_flag_(std::move(stop_flag)),
      accept_thread_(std::move(accept_thread)) {}

ProxyHandle::~ProxyHandle() {
  stop_flag_->store(true, std::memory_order_seq_cst);
  {
    LocalProxies& table = local_proxies();
    std::lock_guard lock(table.mutex);
    std::erase_if(table.live, [&](const LocalProxy& p) { return p.stop == stop_flag_; });
  }
  // The accept thread sees the flag once this connection wakes it; if it cannot connect
  // the thread is either gone already or exits at the next connection it accepts.
  (void)connect_with_timeout(local_addr_, kWakeUpConnectTimeout);
  if (accept_thread_) {
    accept_thread_->detach();
    accept_thread_.reset();
  }
}

Result<std::unique_ptr<ProxyHandle>, IoError> start_http_proxy(netfilter::NetworkFilter filter) {
  return start_proxy(kHttpProxy, std::move(filter));
}

Result<std::unique_ptr<ProxyHandle>, IoError> start_socks5_proxy(
    netfilter::NetworkFilter filter) {
  return start_proxy(kSocks5Proxy, std::move(filter));
}

}  // namespace sandbox::proxy
