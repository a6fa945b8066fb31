// The registry of this process's live proxies, by listening address, so that a
// connection reaching one by another way (a sandbox's network fence) can be served by
// that proxy without a second hop. Lifetime: an entry is added when a proxy's poll
// loop has started and removed first thing in its ProxyHandle's destructor; the table
// itself is never destroyed, because detached proxy threads may consult it while the
// process exits. Safe from any thread.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sandbox_core/base/platform.h"
#include "sandbox_core/netfilter/ip_address.h"
#include "sandbox_core/proxy/proxy.h"

namespace sandbox::proxy {

// What a proxy's handle, its poll loop, the registry and every slot it gave out share.
struct LoopShared {
  WakeFd wake;
  std::atomic<bool> stop{false};
  std::atomic<size_t> open{0};  // connections holding a slot
  size_t cap = kDefaultMaxConnections;
  std::string url;
  std::mutex mutex;
  // Guarded by mutex: clients handed over by the fence, each with the fence's slot.
  std::vector<std::pair<UniqueFd, ConnectionSlot>> inbox;
};

struct LiveProxy {
  netfilter::SocketAddress address;
  std::shared_ptr<LoopShared> loop;  // identifies the proxy; its stop flag, its inbox
};

void register_live_proxy(LiveProxy proxy);
void unregister_live_proxy(const std::shared_ptr<LoopShared>& loop);
// The running proxy listening at `address`, if any.
std::optional<LiveProxy> find_live_proxy(const netfilter::SocketAddress& address);

}  // namespace sandbox::proxy
