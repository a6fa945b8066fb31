// The fence's relay: endpoint parsing, the "network-fence" accept thread and, per
// connection, either this process's own proxy at that endpoint or a pooled thread named
// "fence-relay" that connects to the host endpoint and becomes the tunnel's pump.
// Threads never touch Python and report nothing.
#include "sandbox_core/proxy/fence.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <optional>
#include <string>

#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/base/platform.h"
#include "sandbox_core/proxy/net.h"
#include "sandbox_core/proxy/proxy.h"
#include "sandbox_core/proxy/proxy_env.h"
#include "sandbox_core/proxy/registry.h"

namespace sandbox::proxy {
namespace {

bool is_loopback(const netfilter::IpAddress& ip) {
  if (ip.is_v4()) return ip.bytes[0] == 127;
  return ip == netfilter::IpAddress::v6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
}

std::optional<netfilter::SocketAddress> loopback_endpoint(std::string_view url) {
  size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return std::nullopt;
  std::string_view rest = url.substr(scheme + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (size_t at = rest.rfind('@'); at != std::string_view::npos) rest.remove_prefix(at + 1);
  auto target = parse_connect_target(rest);
  if (!target || target->port == 0) return std::nullopt;
  std::string host = target->host == "localhost" ? "127.0.0.1" : target->host;
  auto ip = netfilter::parse_ip(host);
  if (!ip || !is_loopback(*ip)) return std::nullopt;
  return netfilter::SocketAddress{*ip, target->port};
}

}  // namespace

std::vector<netfilter::SocketAddress> fence_endpoints(
    const std::map<std::string, std::string>& env) {
  std::vector<netfilter::SocketAddress> out;
  for (const ProxyRow& row : kProxyRows) {
    for (const char* name : row.url_variables) {
      auto it = env.find(name);
      if (it == env.end()) continue;
      auto endpoint = loopback_endpoint(it->second);
      if (endpoint && std::find(out.begin(), out.end(), *endpoint) == out.end())
        out.push_back(*endpoint);
    }
  }
  return out;
}

size_t fence_share(const std::vector<size_t>& proxy_caps) {
  size_t cap = kDefaultMaxConnections;
  for (size_t c : proxy_caps) cap = std::min(cap, c);
  size_t share = cap / 4;
  struct rlimit rl;
  if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) {
    share = std::min<size_t>(share, rl.rlim_cur / 8);
  }
  return std::max<size_t>(share, 1);
}

struct NetworkFence::State {
  std::vector<UniqueFd> listeners;
  std::vector<netfilter::SocketAddress> endpoints;
  // Per endpoint, the proxy of this process that listened there when the fence started:
  // only that proxy ever serves it, and once it has closed, nothing does.
  std::vector<std::optional<LiveProxy>> owners;
  Pipe wake;
  std::atomic<bool> stop{false};
  // Connections holding a FenceSlot; apart, so they do not keep the listeners open.
  std::shared_ptr<std::atomic<size_t>> open = std::make_shared<std::atomic<size_t>>(0);
  size_t share = 1;  // fence_share() of the owners
  std::shared_ptr<EgressLog> run_log;  // the run's record of its connections
  std::vector<const char*> protocols;  // per endpoint: its proxy's scheme, "tcp" if none
};

namespace {

// A connection's place in the sandbox's share, given back with its last holder.
class FenceSlot {
 public:
  explicit FenceSlot(std::shared_ptr<std::atomic<size_t>> open) : open_(std::move(open)) {
    open_->fetch_add(1, std::memory_order_relaxed);
  }
  FenceSlot(const FenceSlot&) = delete;
  FenceSlot& operator=(const FenceSlot&) = delete;
  ~FenceSlot() { open_->fetch_sub(1, std::memory_order_relaxed); }

 private:
  std::shared_ptr<std::atomic<size_t>> open_;
};

// A connection the fence closed unanswered goes into the run's record with the reason:
// the proxy never saw it, so the destination is the endpoint it came to.
void note_refused(const NetworkFence::State& st, size_t i, std::string reason) {
  if (!st.run_log) return;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  EgressEntry e;
  e.time_ns = int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
  e.protocol = st.protocols[i];
  e.host = e.address = netfilter::to_string(st.endpoints[i].ip);
  e.port = st.endpoints[i].port;
  e.verdict = EgressVerdict::Refused;
  e.reason = std::move(reason);
  st.run_log->add(e);
}

void relay(UniqueFd client, netfilter::SocketAddress endpoint, ConnectionSlot slot) {
  auto upstream = connect_with_timeout(endpoint, kUpstreamConnectTimeout);
  if (!upstream) return;  // the client sees its connection closed, as with no listener
  pump_tunnel(std::move(client), std::move(*upstream), std::move(slot));
}

void serve(const std::shared_ptr<NetworkFence::State>& st) {
  std::vector<pollfd> fds;
  for (const auto& l : st->listeners) fds.push_back({l.get(), POLLIN, 0});
  fds.push_back({st->wake.read.get(), POLLIN, 0});
  while (!st->stop.load(std::memory_order_acquire)) {
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (size_t i = 0; i + 1 < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      int fd = accept_cloexec(fds[i].fd);
      if (fd < 0) continue;  // transient, or exhaustion that passes: poll again
      UniqueFd client(fd);
      if (st->open->load(std::memory_order_relaxed) >= st->share) {
        note_refused(*st, i, "the sandbox holds " + std::to_string(st->share) +
                                 " connections through its fence already, the most it may");
        continue;
      }
      ConnectionSlot slot = std::make_shared<FenceSlot>(st->open);
      // A proxy of this process serves the connection itself, exactly as if it had come
      // through its listener; any other endpoint gets the bytes relayed.
      if (const auto& owner = st->owners[i]) {
        // Closed: refused, even if something else listens on its port by now. While it
        // runs, no other proxy can hold its address.
        if (owner->loop->stop.load(std::memory_order_seq_cst)) {
          note_refused(*st, i, "its proxy has closed");
          continue;
        }
        (void)serve_as_local_proxy(st->endpoints[i], client, std::move(slot), st->run_log);
        continue;
      }
      (void)run_proxy_pooled("fence-relay",
                             [c = std::move(client), e = st->endpoints[i],
                              slot = std::move(slot)]() mutable {
                               relay(std::move(c), e, std::move(slot));
                             });
    }
  }
}

}  // namespace

Result<std::unique_ptr<NetworkFence>, IoError> NetworkFence::start(
    std::vector<UniqueFd> listeners, std::vector<netfilter::SocketAddress> endpoints,
    std::shared_ptr<EgressLog> run_log) {
  std::unique_ptr<NetworkFence> fence(new NetworkFence);
  auto st = std::make_shared<State>();
  st->run_log = std::move(run_log);
  st->listeners = std::move(listeners);
  st->endpoints = std::move(endpoints);
  std::vector<size_t> caps;
  for (const auto& e : st->endpoints) {
    st->owners.push_back(find_live_proxy(e));
    const auto& owner = st->owners.back();
    if (owner) caps.push_back(owner->loop->cap);
    st->protocols.push_back(!owner                                ? "tcp"
                            : owner->loop->url.starts_with("socks5h://") ? "socks5h"
                                                                  : "http");
  }
  st->share = fence_share(caps);
  auto wake = make_pipe();
  if (!wake) return fail(wake.error());
  st->wake = std::move(*wake);
  auto thread = start_thread("network-fence", [st] { serve(st); });
  if (!thread) return fail(thread.error());
  fence->state_ = std::move(st);
  fence->thread_ = std::move(*thread);
  return fence;
}

NetworkFence::~NetworkFence() {
  if (!state_) return;
  state_->stop.store(true, std::memory_order_release);
  char byte = 1;
  (void)!::write(state_->wake.write.get(), &byte, 1);
  thread_.join();
}

}  // namespace sandbox::proxy
