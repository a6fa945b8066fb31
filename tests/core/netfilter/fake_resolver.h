// The process-wide DNS cache on a clock that moves only when told, with names resolving
// only through a table (exact text) while the fake lives; queries that reach the table
// are counted.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "sandbox_core/netfilter/admission.h"

namespace sandbox::testing {

inline const std::string kUnresolved =
    "failed to lookup address information: Name does not resolve";

class FakeResolver {
 public:
  using Table = std::map<std::string, std::vector<std::string>>;
  explicit FakeResolver(Table table = {}) : table_(std::move(table)) {
    cache().clear_for_testing();
    cache().set_clock_for_testing([this] { return now_.load(); });
    cache().set_lookup_for_testing(
        [this](const std::string& host,
               uint16_t port) -> Result<std::vector<netfilter::SocketAddress>, IoError> {
          ++lookups_;
          std::lock_guard lock(mutex_);
          auto it = table_.find(host);
          if (it == table_.end()) return fail(IoError::custom(kUnresolved));
          std::vector<netfilter::SocketAddress> out;
          for (const auto& ip : it->second) out.push_back({*netfilter::parse_ip(ip), port});
          return out;
        });
  }
  ~FakeResolver() {
    cache().set_critical_section_hook_for_testing(nullptr);
    cache().set_clock_for_testing(nullptr);
    cache().set_lookup_for_testing(nullptr);
    cache().clear_for_testing();
  }

  static netfilter::DnsCache& cache() { return netfilter::DnsCache::instance(); }
  void answer(const std::string& host, std::vector<std::string> ips) {
    std::lock_guard lock(mutex_);
    table_[host] = std::move(ips);
  }
  void advance(netfilter::DnsCache::Clock::duration d) { now_ = now_.load() + d; }
  size_t lookups() const { return lookups_; }

 private:
  std::atomic<netfilter::DnsCache::Clock::time_point> now_{
      netfilter::DnsCache::Clock::time_point(std::chrono::hours(1000))};
  std::mutex mutex_;
  Table table_;
  std::atomic<size_t> lookups_{0};
};

}  // namespace sandbox::testing
