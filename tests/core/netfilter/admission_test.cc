#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <new>

#include "sandbox_core/netfilter/admission.h"

namespace sandbox::netfilter {
namespace {

using namespace std::chrono_literals;
using Outcome = AdmissionOutcome::Kind;

SocketAddress sa(const char* ip, uint16_t port) { return SocketAddress{*parse_ip(ip), port}; }

// Drives the process-wide cache with a fake clock and a scripted resolver.
class FakeDns : public ::testing::Test {
 protected:
  void SetUp() override {
    cache().clear_for_testing();
    cache().set_clock_for_testing([this] { return now_.load(); });
    cache().set_lookup_for_testing(
        [this](const std::string& host, uint16_t port) -> Result<std::vector<SocketAddress>, IoError> {
          std::lock_guard lock(mutex_);
          ++lookups_;
          auto it = answers_.find(host);
          if (it == answers_.end()) return fail(IoError::custom("no such test host"));
          std::vector<SocketAddress> out;
          for (const auto& ip : it->second) out.push_back(sa(ip.c_str(), port));
          return out;
        });
  }
  void TearDown() override {
    cache().set_critical_section_hook_for_testing(nullptr);
    cache().set_clock_for_testing(nullptr);
    cache().set_lookup_for_testing(nullptr);
    cache().clear_for_testing();
  }
  static DnsCache& cache() { return DnsCache::instance(); }
  void answer(const std::string& host, std::vector<std::string> ips) {
    std::lock_guard lock(mutex_);
    answers_[host] = std::move(ips);
  }
  void advance(DnsCache::Clock::duration d) { now_ = now_.load() + d; }
  int lookups() {
    std::lock_guard lock(mutex_);
    return lookups_;
  }

  std::atomic<DnsCache::Clock::time_point> now_{DnsCache::Clock::time_point(std::chrono::hours(1000))};
  std::mutex mutex_;
  std::map<std::string, std::vector<std::string>> answers_;
  int lookups_ = 0;
};

TEST(InternalAddress, RangesAtTheirEdges) {
  const std::pair<const char*, bool> cases[] = {
      {"0.0.0.0", true}, {"0.0.0.1", false}, {"9.255.255.255", false}, {"10.0.0.0", true},
      {"10.255.255.255", true}, {"11.0.0.0", false}, {"100.63.255.255", false},
      {"100.64.0.1", true}, {"100.127.255.255", true}, {"100.128.0.1", false},
      {"127.0.0.1", true}, {"127.255.255.255", true}, {"128.0.0.0", false},
      {"169.254.169.254", true}, {"169.255.0.0", false}, {"172.15.255.255", false},
      {"172.16.0.0", true}, {"172.31.255.255", true}, {"172.32.0.0", false},
      {"192.168.0.1", true}, {"192.169.0.0", false}, {"223.255.255.255", false},
      {"224.0.0.1", true}, {"239.255.255.255", true}, {"240.0.0.1", false},
      {"255.255.255.254", false}, {"255.255.255.255", true}, {"::ffff:10.0.0.1", true},
      {"::ffff:169.254.169.254", true}, {"::ffff:8.8.8.8", false}, {"::", true}, {"::1", true},
      {"::2", false}, {"::10.0.0.1", true}, {"::8.8.8.8", false}, {"::1:a00:1", false},
      {"64:ff9b::a00:1", true}, {"64:ff9b::808:808", false}, {"64:ff9b::1:7f00:1", false},
      {"64:ff9b:1:ffff::7f00:1", true}, {"64:ff9b:2::7f00:1", false}, {"64:ff9a::7f00:1", false},
      {"2002:7f00:1::", true}, {"2002:808:808::1", false}, {"2003:7f00:1::", false},
      {"ff02::1", true},
      {"fe80::1", true}, {"febf::1", true}, {"fec0::1", false}, {"fc00::1", true},
      {"fdff::1", true}, {"fe00::1", false}, {"2001:db8::1", false},
  };
  for (const auto& [ip, internal] : cases) {
    SCOPED_TRACE(ip);
    EXPECT_EQ(is_internal_address(*parse_ip(ip)), internal);
  }
}

TEST_F(FakeDns, LiteralsNeverReachResolverOrCache) {
  EXPECT_EQ(*resolve_destination("10.0.0.1", 80), sa("10.0.0.1", 80));
  EXPECT_EQ(*resolve_destination("::ffff:1.2.3.4", 443), sa("::ffff:1.2.3.4", 443));
  EXPECT_EQ(lookups(), 0);
  EXPECT_EQ(cache().size_for_testing(), 0u);
}

TEST_F(FakeDns, KeyFoldsCaseButSeparatesPorts) {
  answer("Example.COM", {"192.0.2.1"});
  answer("example.com", {"192.0.2.2"});
  EXPECT_EQ(*resolve_destination("Example.COM", 443), sa("192.0.2.1", 443));
  EXPECT_EQ(*resolve_destination("example.com", 443), sa("192.0.2.1", 443));
  EXPECT_EQ(lookups(), 1);
  EXPECT_EQ(*resolve_destination("example.com", 80), sa("192.0.2.2", 80));
  EXPECT_EQ(lookups(), 2);
  EXPECT_EQ(cache().size_for_testing(), 2u);
}

TEST_F(FakeDns, EntryIsUsedUpToButNotAtItsExpiry) {
  answer("a.test", {"192.0.2.1"});
  ASSERT_TRUE(resolve_destination("a.test", 1).has_value());
  answer("a.test", {"192.0.2.9"});
  advance(DnsCache::kTtl - 1ns);
  EXPECT_EQ(*resolve_destination("a.test", 1), sa("192.0.2.1", 1));
  EXPECT_EQ(lookups(), 1);
  advance(1ns);  // exactly at the expiry instant
  EXPECT_EQ(*resolve_destination("a.test", 1), sa("192.0.2.9", 1));
  EXPECT_EQ(lookups(), 2);
  // The replacement lives 60 s from its own resolution.
  advance(DnsCache::kTtl - 1ns);
  EXPECT_EQ(*resolve_destination("a.test", 1), sa("192.0.2.9", 1));
  EXPECT_EQ(lookups(), 2);
  EXPECT_EQ(cache().size_for_testing(), 1u);
}

TEST_F(FakeDns, FirstAnswerWinsAndFailuresAreNotCached) {
  answer("multi.test", {"2001:db8::5", "192.0.2.1"});
  EXPECT_EQ(*resolve_destination("multi.test", 22), sa("2001:db8::5", 22));
  answer("empty.test", {});
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(resolve_destination("empty.test", 22).error().text(), "DNS returned no addresses");
    EXPECT_EQ(resolve_destination("missing.test", 22).error().text(), "no such test host");
  }
  EXPECT_EQ(lookups(), 5);
  EXPECT_EQ(cache().size_for_testing(), 1u);
}

TEST_F(FakeDns, InsertAtTheBoundSweepsExpiredEntriesOrClearsALiveTable) {
  answer("x.test", {"192.0.2.1"});
  for (uint16_t port = 0; port < 1000; ++port) ASSERT_TRUE(resolve_destination("x.test", port));
  advance(30s);
  for (uint16_t port = 1000; port < 1023; ++port) ASSERT_TRUE(resolve_destination("x.test", port));
  // Below the threshold nothing is swept, even with stale entries around.
  advance(30s);  // the first 1000 expire exactly now
  ASSERT_TRUE(resolve_destination("x.test", 1023));
  EXPECT_EQ(cache().size_for_testing(), DnsCache::kSweepThreshold);
  ASSERT_TRUE(resolve_destination("x.test", 1024));
  EXPECT_EQ(cache().size_for_testing(), 23u + 1u + 1u);

  cache().clear_for_testing();  // now a full table of live entries
  for (uint16_t port = 0; port < DnsCache::kSweepThreshold; ++port) {
    ASSERT_TRUE(resolve_destination("x.test", port));
  }
  EXPECT_EQ(cache().size_for_testing(), DnsCache::kSweepThreshold);
  ASSERT_TRUE(resolve_destination("x.test", 9999));
  EXPECT_EQ(cache().size_for_testing(), 1u);
}

TEST_F(FakeDns, FailedCriticalSectionLeavesResolutionWorking) {
  answer("a.test", {"192.0.2.1"});
  cache().set_critical_section_hook_for_testing([] { throw std::bad_alloc(); });
  EXPECT_EQ(*resolve_destination("a.test", 1), sa("192.0.2.1", 1));
  cache().set_critical_section_hook_for_testing(nullptr);
  EXPECT_TRUE(cache().unusable_for_testing());
  EXPECT_EQ(*resolve_destination("a.test", 1), sa("192.0.2.1", 1));
  EXPECT_EQ(lookups(), 2);  // no cache hit from then on
  EXPECT_EQ(cache().size_for_testing(), 0u);
}

TEST_F(FakeDns, LookupRunsWithoutTheCacheLock) {
  answer("cached.test", {"192.0.2.1"});
  ASSERT_TRUE(resolve_destination("cached.test", 1));
  std::promise<void> started, release;
  std::future<void> lookup_started = started.get_future();
  std::shared_future<void> released = release.get_future().share();
  cache().set_lookup_for_testing(
      [&started, released](const std::string&, uint16_t port) -> Result<std::vector<SocketAddress>, IoError> {
        started.set_value();
        // Bounded wait: a held lock shows as a failure here instead of a hang.
        if (released.wait_for(30s) != std::future_status::ready) {
          return fail(IoError::custom("lookup was never released"));
        }
        return std::vector<SocketAddress>{sa("192.0.2.7", port)};
      });
  auto slow = std::async(std::launch::async, [] { return resolve_destination("slow.test", 1); });
  lookup_started.wait();  // the other thread is now inside its lookup
  EXPECT_EQ(*resolve_destination("cached.test", 1), sa("192.0.2.1", 1));
  release.set_value();
  EXPECT_EQ(*slow.get(), sa("192.0.2.7", 1));
}

// Every branch of the admission sequence once; which texts are addresses, which names and
// blocks match, and which addresses are internal are proven on the filter and above.
TEST_F(FakeDns, AdmissionSequence) {
  using L = std::vector<std::string>;
  const std::optional<L> open;
  const L md{"169.254.169.254"};
  struct Case {
    std::string what;
    L deny;
    std::optional<L> allow;
    std::string host;
    std::string resolves_to;  // empty: no answer scripted
    Outcome outcome;
    bool looked_up;
  } cases[] = {
      {"denied name", {"*.internal.test"}, open, "API.Internal.TEST.", "127.0.0.1",
       Outcome::DeniedByDenyList, false},
      {"not allowed name", {}, L{"ok.test"}, "other.test", "192.0.2.1", Outcome::NotInAllowList,
       false},
      {"denied literal", md, open, "::ffff:a9fe:a9fe", "", Outcome::DeniedByDenyList, false},
      {"names never admit a literal", {}, L{"*.test"}, md[0], "", Outcome::NotInAllowList, false},
      {"allowed internal literal", {}, L{"127.0.0.1"}, "127.0.0.1", "", Outcome::Admitted, false},
      {"open egress admits metadata", {}, open, "md.test", md[0], Outcome::Admitted, true},
      {"resolution failure", {}, open, "gone.test", "", Outcome::ResolveFailed, true},
      {"name resolving into deny block", md, open, "md.test", md[0],
       Outcome::ResolvedToDenyListed, true},
      {"name resolving to NAT64 of deny", md, open, "nat64.test", "64:ff9b::a9fe:a9fe",
       Outcome::ResolvedToDenyListed, true},
      {"deny block beats allow block", {"10.0.0.0/8"}, L{"svc.test", "10.0.0.0/8"}, "svc.test",
       "10.9.9.9", Outcome::ResolvedToDenyListed, true},
      {"allowed name to private", {}, L{"svc.test"}, "svc.test", "10.1.2.3",
       Outcome::ResolvedToInternal, true},
      {"allow block exempts", {}, L{"svc.test", "10.0.0.0/8"}, "svc.test", "10.1.2.3",
       Outcome::Admitted, true},
      {"v4 block does not exempt v6 loopback", {}, L{"*.test", "127.0.0.0/8"}, "v6.test", "::1",
       Outcome::ResolvedToInternal, true},
      // Unlike the deny side, the exemption is family-strict: no mapped or embedded form.
      {"v4 block does not exempt a mapped answer", {}, L{"*.test", "127.0.0.0/8"}, "m.test",
       "::ffff:127.0.0.1", Outcome::ResolvedToInternal, true},
      {"allowed name to public", {}, L{"svc.test"}, "svc.test", "192.0.2.10", Outcome::Admitted,
       true},
      // Texts a CONNECT target or a SOCKS5 domain may carry that are not addresses are
      // names, judged by their answers.
      {"address with a zone index", {"fe80::/10"}, open, "fe80::1%lo", "fe80::1",
       Outcome::ResolvedToDenyListed, true},
      {"numeric spelling under a loopback deny block", {"127.0.0.0/8"}, open, "0x7f.1",
       "127.0.0.1", Outcome::ResolvedToDenyListed, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what + ": " + c.host);
    cache().clear_for_testing();
    const int before = lookups();
    if (!c.resolves_to.empty()) answer(c.host, {c.resolves_to});
    NetworkFilter f;
    f.deny = *parse_filter_list(c.deny);
    if (c.allow) f.allow = *parse_filter_list(*c.allow);
    bool name_admitted = false;
    AdmissionOutcome out =
        admit_destination(f, c.host, 8443, [&] { name_admitted = lookups() == before; });
    EXPECT_EQ(out.kind, c.outcome);
    EXPECT_EQ(lookups() - before, c.looked_up ? 1 : 0);
    // Reported exactly when the name passed, and before the resolver was asked.
    EXPECT_EQ(name_admitted, c.outcome != Outcome::DeniedByDenyList &&
                                 c.outcome != Outcome::NotInAllowList);
    if (c.outcome == Outcome::ResolveFailed) {
      EXPECT_EQ(out.error.text(), "no such test host");
    }
    if (name_admitted && c.outcome != Outcome::ResolveFailed) {
      const std::string& ip = c.resolves_to.empty() ? c.host : c.resolves_to;
      EXPECT_EQ(out.address, sa(ip.c_str(), 8443));
    }
  }
}

// The real resolver, on names that never leave the machine.
TEST(RealResolver, LocalhostIsCachedAndNumericSpellingsNeverAdmitLoopback) {
  DnsCache& cache = DnsCache::instance();
  cache.clear_for_testing();
  auto r = resolve_destination("LocalHost", 8080);
  ASSERT_TRUE(r.has_value()) << r.error().text();
  EXPECT_EQ(r->port, 8080);
  EXPECT_TRUE(r->ip == IpAddress::v4(127, 0, 0, 1) || r->ip == *parse_ip("::1")) << to_string(*r);
  EXPECT_EQ(cache.size_for_testing(), 1u);
  NetworkFilter f;
  f.allow = *parse_filter_list({"localhost", "127.0.0.0/8", "::1"});
  EXPECT_EQ(admit_destination(f, "localhost", 8080).kind, Outcome::Admitted);
  // glibc reads these as 127.0.0.1 without asking any name server.
  const std::vector<std::string> spellings = {"2130706433", "0x7f.0.0.1", "0177.0.0.1", "127.1"};
  f.allow = *parse_filter_list(spellings);
  for (const std::string& s : spellings) {
    SCOPED_TRACE(s);
    const Outcome kind = admit_destination(f, s, 80).kind;
    EXPECT_TRUE(kind == Outcome::ResolvedToInternal || kind == Outcome::ResolveFailed)
        << static_cast<int>(kind);
  }
  cache.clear_for_testing();
}

}  // namespace
}  // namespace sandbox::netfilter
