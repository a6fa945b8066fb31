// The resolver cache under many concurrent readers and writers, meant to run under
// ThreadSanitizer as well as in the plain build: lookups, hits, sweeps past the table
// bound, a moving clock and clears all race, and every answer stays the right one.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "sandbox_core/netfilter/admission.h"

namespace sandbox::netfilter {
namespace {

// The fake answer encodes the name's number, so a mixed-up entry shows.
IpAddress answer_for(int n) { return IpAddress::v4(192, 0, 2 + (n >> 8 & 1), n & 0xff); }

TEST(ResolverCacheConcurrency, RacingLookupsSweepsAndClearsKeepAnswersRight) {
  auto& cache = DnsCache::instance();
  cache.clear_for_testing();
  std::atomic<int64_t> ticks{0};
  const auto origin = DnsCache::Clock::now();
  cache.set_clock_for_testing([&] { return origin + std::chrono::seconds(ticks.load()); });
  std::atomic<int> lookups{0};
  cache.set_lookup_for_testing(
      [&](const std::string& host, uint16_t port) -> Result<std::vector<SocketAddress>, IoError> {
        lookups.fetch_add(1);
        if (host.starts_with("missing")) return fail(IoError::custom("no such test host"));
        const int n = std::stoi(host.substr(1, host.find('.') - 1));
        return std::vector<SocketAddress>{{answer_for(n), port}};
      });

  constexpr int kThreads = 6;
  // More distinct keys than the sweep bound, so inserts sweep and clear while others read.
  constexpr int kNames = 400;
  constexpr int kPorts = 3;
  static_assert(kNames * kPorts > DnsCache::kSweepThreshold);
  std::atomic<int> wrong{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 3000; ++i) {
        const int n = (i * 7 + t * 131) % kNames;
        const uint16_t port = static_cast<uint16_t>(1 + (i + t) % kPorts);
        if (i % 97 == 0) {
          if (resolve_destination("missing" + std::to_string(i) + ".test", port)) wrong++;
          continue;
        }
        std::string host = "h" + std::to_string(n) + (i % 2 ? ".TEST" : ".test");
        auto r = resolve_destination(host, port);
        if (!r || r->ip != answer_for(n) || r->port != port) wrong.fetch_add(1);
      }
    });
  }
  std::thread clock([&] {
    while (!done.load()) {
      ticks.fetch_add(7);  // entries expire every few steps
      std::this_thread::yield();
    }
  });
  std::thread clearer([&] {
    for (int i = 0; i < 20 && !done.load(); ++i) {
      cache.clear_for_testing();
      (void)cache.size_for_testing();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  for (auto& th : threads) th.join();
  done.store(true);
  clock.join();
  clearer.join();

  EXPECT_EQ(wrong.load(), 0);
  EXPECT_GT(lookups.load(), 0);
  EXPECT_LE(cache.size_for_testing(), DnsCache::kSweepThreshold);
  EXPECT_FALSE(cache.unusable_for_testing());
  cache.set_lookup_for_testing(nullptr);
  cache.set_clock_for_testing(nullptr);
  cache.clear_for_testing();
}

}  // namespace
}  // namespace sandbox::netfilter
