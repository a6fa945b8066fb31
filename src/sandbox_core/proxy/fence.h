// The network fence of a filtered policy: the proxy endpoints the child's proxy
// variables name are the child's only way out. Listening sockets created inside the
// child's network namespace (by NamespaceSetup) are served here, in the host's, by one
// "network-fence" thread that relays each connection to the same address and port on
// the host, where the session's AllowListProxy decides as for any client. The fence
// filters nothing itself. It fails closed: an endpoint whose proxy of this process has
// closed is refused, whatever listens on its port later. It stops with the run.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sandbox_core/base/result.h"
#include "sandbox_core/base/thread.h"
#include "sandbox_core/base/unique_fd.h"
#include "sandbox_core/launch/sandbox_child.h"
#include "sandbox_core/netfilter/ip_address.h"

namespace sandbox::proxy {

// The loopback endpoints named by the proxy URL variables (kProxyRows), each once,
// in that order: "scheme://[user@]host:port[/...]" whose host is a loopback
// address (or "localhost", taken as 127.0.0.1). Other values are ignored.
std::vector<netfilter::SocketAddress> fence_endpoints(
    const std::map<std::string, std::string>& env);

// The connections one sandbox may hold open through its fence at a time, all of its
// endpoints together: a quarter of the smallest cap among the proxies of this process it
// reaches (kDefaultMaxConnections for others), and at most an eighth of the process's
// descriptor limit, since each costs the host up to two. Past it, a new connection is
// closed at once (and the run's log says why), so the rest stays for other sandboxes and
// the host itself. A connection gives its place back when its tunnel ends, which a dead
// client's does too (see pump_tunnel). A caller
// raises it with the proxies' `max_connections` and the process's RLIMIT_NOFILE.
size_t fence_share(const std::vector<size_t>& proxy_caps);

class NetworkFence final : public ChildResource {
 public:
  // Starts the relay thread over `listeners` (one per endpoint, in the same order). Each
  // connection a proxy of this process serves records its decision in `run_log` too.
  static Result<std::unique_ptr<NetworkFence>, IoError> start(
      std::vector<UniqueFd> listeners, std::vector<netfilter::SocketAddress> endpoints,
      std::shared_ptr<EgressLog> run_log = nullptr);
  // Stops accepting and joins the relay thread; relays already open end when the
  // sandbox's end of them closes.
  ~NetworkFence() override;

  struct State;  // shared with the relay thread

 private:
  NetworkFence() = default;
  std::shared_ptr<State> state_;
  ThreadHandle thread_;
};

}  // namespace sandbox::proxy
