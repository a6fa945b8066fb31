// The egress proxies' runtime, which knows no protocol: loopback listeners with one
// accept thread each, one thread per connection running the kind's handler, and a
// two-thread byte pump per tunnel. Destroying a ProxyHandle runs the stop sequence (stop
// flag, 50 ms wake-up connection, no join).
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sandbox_core/base/io_error.h"
#include "sandbox_core/base/result.h"
#include "sandbox_core/base/thread.h"
#include "sandbox_core/base/unique_fd.h"
#include "sandbox_core/netfilter/filter.h"

namespace sandbox::proxy {

using FilterRef = std::shared_ptr<const netfilter::NetworkFilter>;

// What the runtime needs of a protocol; each protocol defines its kind beside its handler.
struct ProxyKind {
  const char* accept_thread_name;
  const char* connection_thread_name;
  // Serves one accepted client on its connection thread; owns `client`, never reports.
  void (*handler)(FilterRef filter, UniqueFd client);
  // The event for an accept failure that ends the listener or starts an exhaustion episode.
  void (*report_accept_failure)(const IoError& error);
};

// Parked pool threads of the proxies carry this name between bodies.
inline constexpr const char* kPoolIdleName = "proxy-pool-idle";

// run_pooled with the proxies' idle name: every thread the runtime starts goes through it.
template <class F>
bool run_proxy_pooled(const char* name, F&& body) {
  return run_pooled(kPoolIdleName, name, std::forward<F>(body));
}

class ProxyHandle {
 public:
  ProxyHandle(netfilter::SocketAddress local_addr, std::shared_ptr<std::atomic<bool>> stop_flag,
              ThreadHandle accept_thread);
  ProxyHandle(const ProxyHandle&) = delete;
  ProxyHandle& operator=(const ProxyHandle&) = delete;
  ~ProxyHandle();

  const netfilter::SocketAddress& local_addr() const { return local_addr_; }

 private:
  netfilter::SocketAddress local_addr_;
  std::shared_ptr<std::atomic<bool>> stop_flag_;
  std::optional<ThreadHandle> accept_thread_;
};

// Listens on 127.0.0.1 at a port the system chooses and starts the accept thread.
Result<std::unique_ptr<ProxyHandle>, IoError> start_proxy(const ProxyKind& kind,
                                                          netfilter::NetworkFilter filter);

// Pumps the tunnel in both directions: upstream to client on a new detached thread
// "proxy-pump-u2c", client to upstream on the calling thread, which renames itself
// "proxy-pump-c2u" and returns only when that direction has finished. Called last by
// a connection thread. Each direction copies until end of stream (passed on as a write
// shutdown) or an error, then closes its own two descriptors; nothing is reported.
void pump_tunnel(UniqueFd client, UniqueFd upstream);

// One pump direction, run on the calling thread; takes over both descriptors.
void copy_direction(UniqueFd source, UniqueFd destination);

}  // namespace sandbox::proxy
