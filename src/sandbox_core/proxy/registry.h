// The registry of this process's live proxies, by listening address, so that a
// connection reaching one by another way (a sandbox's network fence) can be served by
// that proxy without a second hop. Lifetime: an entry is added when a proxy's accept
// thread has started and removed first thing in its ProxyHandle's destructor; the table
// itself is never destroyed, because detached proxy threads may consult it while the
// process exits. Safe from any thread.
#pragma once

#include <atomic>
#include <memory>
#include <optional>

#include "sandbox_core/netfilter/ip_address.h"
#include "sandbox_core/proxy/proxy.h"

namespace sandbox::proxy {

struct LiveProxy {
  netfilter::SocketAddress address;
  const ProxyKind* kind;
  FilterRef filter;
  std::shared_ptr<std::atomic<bool>> stop;  // identifies the proxy; set when it stops
};

void register_live_proxy(LiveProxy proxy);
void unregister_live_proxy(const std::shared_ptr<std::atomic<bool>>& stop);
// The running proxy listening at `address`, if any.
std::optional<LiveProxy> find_live_proxy(const netfilter::SocketAddress& address);

// Serves `client` as if `proxy`'s listener had accepted it: on a pooled thread with its
// connection thread name, its handler and its filter.
void serve_as_live_proxy(const LiveProxy& proxy, UniqueFd client);

}  // namespace sandbox::proxy
