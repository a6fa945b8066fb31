// The registry's one table and its mutex; never held across anything but the table.
#include "sandbox_core/proxy/registry.h"

#include <mutex>
#include <vector>

namespace sandbox::proxy {
namespace {

struct Registry {
  std::mutex mutex;
  std::vector<LiveProxy> live;  // guarded by mutex
};

Registry& registry() {
  static Registry* table = new Registry;  // never destroyed: detached threads read it
  return *table;
}

}  // namespace

void register_live_proxy(LiveProxy proxy) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.live.push_back(std::move(proxy));
}

void unregister_live_proxy(const std::shared_ptr<LoopShared>& loop) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::erase_if(r.live, [&](const LiveProxy& p) { return p.loop == loop; });
}

std::optional<LiveProxy> find_live_proxy(const netfilter::SocketAddress& address) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  for (const auto& p : r.live)
    if (p.address == address && !p.loop->stop.load(std::memory_order_seq_cst)) return p;
  return std::nullopt;
}

}  // namespace sandbox::proxy
