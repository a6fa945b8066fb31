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

TEST_F(FakeDns, NulByteFailsWithoutLookup) {
  const std::string host("evil.test\0.allowed.test", 23);
  answer("evil.test", {"192.0.2.1"});
  auto r = resolve_destination(host, 443);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().text(), "nul byte found in provided data");

  NetworkFilter f;
  f.allow = *parse_filter_list({"*.allowed.test"});
  AdmissionOutcome out = admit_destination(f, host, 443);
  EXPECT_EQ(out.kind, Outcome::ResolveFailed);
  EXPECT_EQ(out.error.text(), "nul byte found in provided data");
  EXPECT_EQ(lookups(), 0);
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

// Numeric spellings that a C library would read as 127.0.0.1; to the filter they are names.
const char* const kNumericSpellings[] = {"2130706433", "0x7f.0.0.1",   "0177.0.0.1", "127.1",
                                         "0x7f000001", "017700000001", "127.0.1",    "0x7F.1",
                                         "127.0.0.1.", "127.000.0.01", "0127.0.0.1"};

// Every admission fact, proven once here; the proxies only map outcomes to their answers.
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
  };
  std::vector<Case> cases = {
      {"open egress admits loopback", {}, open, "lo.test", "127.0.0.1", Outcome::Admitted, true},
      {"open egress admits metadata", {}, open, "md.test", md[0], Outcome::Admitted, true},
      {"allowed name to private", {}, L{"svc.test"}, "svc.test", "10.1.2.3",
       Outcome::ResolvedToInternal, true},
      {"allow block exempts", {}, L{"svc.test", "10.0.0.0/8"}, "svc.test", "10.1.2.3",
       Outcome::Admitted, true},
      {"allowed name to public", {}, L{"svc.test"}, "svc.test", "192.0.2.10", Outcome::Admitted, true},
      {"allowed name to metadata", {}, L{"*.test"}, "md.test", md[0], Outcome::ResolvedToInternal,
       true},
      {"allowed name to unspecified", {}, L{"*.test"}, "any4.test", "0.0.0.0",
       Outcome::ResolvedToInternal, true},
      {"allowed name to v6 loopback", {}, L{"*.test"}, "v6.test", "::1",
       Outcome::ResolvedToInternal, true},
      {"allowed name to v6 unspecified", {}, L{"*.test"}, "any6.test", "::",
       Outcome::ResolvedToInternal, true},
      {"allowed name to unique local", {}, L{"*.test"}, "ula.test", "fd00::5",
       Outcome::ResolvedToInternal, true},
      {"v4 block does not exempt v6 loopback", {}, L{"*.test", "127.0.0.0/8"}, "v6.test", "::1",
       Outcome::ResolvedToInternal, true},
      {"mapped private is internal", {}, L{"svc.test"}, "svc.test", "::ffff:10.0.0.1",
       Outcome::ResolvedToInternal, true},
      {"mapped public is not", {}, L{"svc.test"}, "svc.test", "::ffff:192.0.2.1", Outcome::Admitted,
       true},
      {"v4 block does not exempt mapped", {}, L{"svc.test", "10.0.0.0/8"}, "svc.test",
       "::ffff:10.0.0.1", Outcome::ResolvedToInternal, true},
      {"v4 block does not admit a mapped literal", {}, L{"127.0.0.0/8"}, "::ffff:127.0.0.1", "",
       Outcome::NotInAllowList, false},
      {"v4 block does not admit a compatible literal", {}, L{"127.0.0.0/8"}, "::127.0.0.1", "",
       Outcome::NotInAllowList, false},
      {"name resolving into deny block", md, open, "md.test", md[0], Outcome::ResolvedToDenyListed,
       true},
      {"name resolving to mapped deny", md, open, "md.test", "::ffff:169.254.169.254",
       Outcome::ResolvedToDenyListed, true},
      {"deny block beats allow block", {"10.0.0.0/8"}, L{"svc.test", "10.0.0.0/8"}, "svc.test",
       "10.9.9.9", Outcome::ResolvedToDenyListed, true},
      {"denied literal", md, open, md[0], "", Outcome::DeniedByDenyList, false},
      {"denied mapped literal", md, open, "::ffff:169.254.169.254", "", Outcome::DeniedByDenyList,
       false},
      {"denied mapped hex literal", md, open, "::ffff:a9fe:a9fe", "", Outcome::DeniedByDenyList,
       false},
      {"names never admit a literal", {}, L{"*.test"}, md[0], "", Outcome::NotInAllowList, false},
      {"denied name", {"*.bad.test"}, open, "x.bad.test", "192.0.2.1", Outcome::DeniedByDenyList,
       false},
      {"denied name, any case and trailing dots", {"*.internal.test"}, open, "API.Internal.TEST.",
       "127.0.0.1", Outcome::DeniedByDenyList, false},
      {"allowed name, any case and trailing dots", {}, L{"localhost"}, "LocalHost..", "::1",
       Outcome::ResolvedToInternal, true},
      {"not allowed name", {}, L{"ok.test"}, "other.test", "192.0.2.1", Outcome::NotInAllowList, false},
      {"allowed internal literal", {}, L{"127.0.0.1"}, "127.0.0.1", "", Outcome::Admitted, false},
      // A trailing space makes a name (SOCKS5 domains carry it); the allow entry is trimmed
      // into an address block, which never admits a name.
      {"address with a trailing space", {}, L{"127.0.0.1 "}, "127.0.0.1 ", "127.0.0.1",
       Outcome::NotInAllowList, false},
      // Texts a CONNECT target may leave behind are names, judged by their answers.
      {"userinfo-looking name", {}, L{"*.example.com", "example.com"}, "evil.com:1@127.0.0.1",
       "127.0.0.1", Outcome::NotInAllowList, false},
      {"userinfo-looking name resolving inward", {"127.0.0.0/8"}, open, "evil.com:1@127.0.0.1",
       "127.0.0.1", Outcome::ResolvedToDenyListed, true},
      {"address with a zone index", {"fe80::/10"}, open, "fe80::1%lo", "fe80::1",
       Outcome::ResolvedToDenyListed, true},
      {"resolution failure", {}, open, "gone.test", "", Outcome::ResolveFailed, true},
      // IPv6 forms that carry an IPv4 address are judged by it: NAT64 (64:ff9b::/96 and the
      // local-use 64:ff9b:1::/48), 6to4 (2002::/16) and IPv4-compatible (::/96).
      {"NAT64 of metadata is internal", {}, L{"*.test"}, "nat64.test", "64:ff9b::a9fe:a9fe",
       Outcome::ResolvedToInternal, true},
      {"local-use NAT64 of private is internal", {}, L{"*.test"}, "nat64.test",
       "64:ff9b:1::a00:1", Outcome::ResolvedToInternal, true},
      {"6to4 of loopback is internal", {}, L{"*.test"}, "6to4.test", "2002:7f00:1::1",
       Outcome::ResolvedToInternal, true},
      {"compatible private is internal", {}, L{"*.test"}, "compat.test", "::10.0.0.1",
       Outcome::ResolvedToInternal, true},
      {"v4 block does not exempt NAT64", {}, L{"*.test", "169.254.0.0/16"}, "nat64.test",
       "64:ff9b::a9fe:a9fe", Outcome::ResolvedToInternal, true},
      {"NAT64 of public is not internal", {}, L{"*.test"}, "nat64.test", "64:ff9b::c000:20a",
       Outcome::Admitted, true},
      {"6to4 of public is not internal", {}, L{"*.test"}, "6to4.test", "2002:c000:20a::1",
       Outcome::Admitted, true},
      {"name resolving to NAT64 of deny", md, open, "nat64.test", "64:ff9b::a9fe:a9fe",
       Outcome::ResolvedToDenyListed, true},
      {"name resolving to local-use NAT64 of deny", md, open, "nat64.test",
       "64:ff9b:1:ab::a9fe:a9fe", Outcome::ResolvedToDenyListed, true},
      {"name resolving to 6to4 of deny", md, open, "6to4.test", "2002:a9fe:a9fe::",
       Outcome::ResolvedToDenyListed, true},
      {"name resolving to compatible deny", md, open, "compat.test", "::169.254.169.254",
       Outcome::ResolvedToDenyListed, true},
      {"denied NAT64 literal", md, open, "64:ff9b::a9fe:a9fe", "", Outcome::DeniedByDenyList,
       false},
      {"denied 6to4 literal", md, open, "2002:a9fe:a9fe:1::1", "", Outcome::DeniedByDenyList,
       false},
      {"denied compatible literal", md, open, "::169.254.169.254", "", Outcome::DeniedByDenyList,
       false},
      // A deny entry in mapped form also denies the plain IPv4 address, and so its other forms.
      {"mapped deny entry, plain literal", {"::ffff:169.254.169.254"}, open, md[0], "",
       Outcome::DeniedByDenyList, false},
      {"mapped deny entry, name to plain", {"::ffff:169.254.169.254"}, open, "md.test", md[0],
       Outcome::ResolvedToDenyListed, true},
      {"mapped deny entry, name to NAT64", {"::ffff:169.254.169.254"}, open, "nat64.test",
       "64:ff9b::a9fe:a9fe", Outcome::ResolvedToDenyListed, true},
      {"mapped deny block, name to plain", {"::ffff:10.0.0.0/104"}, open, "svc.test", "10.1.2.3",
       Outcome::ResolvedToDenyListed, true},
      {"mapped deny block stops at its prefix", {"::ffff:10.0.0.0/104"}, open, "svc.test",
       "11.1.2.3", Outcome::Admitted, true},
      {"a short v6 deny block leaves IPv4 alone", {"::/0"}, open, "svc.test", "192.0.2.1",
       Outcome::Admitted, true},
  };
  for (const std::string s : kNumericSpellings) {
    // An exact entry with a trailing dot matches nothing: refused by name.
    const bool dotted = s.back() == '.';
    cases.push_back({"numeric spelling allowed by name", {}, L{s}, s, "127.0.0.1",
                     dotted ? Outcome::NotInAllowList : Outcome::ResolvedToInternal, !dotted});
    cases.push_back({"numeric spelling under an address block", {},
                     L{"127.0.0.0/8", "*.example.com"}, s, "127.0.0.1", Outcome::NotInAllowList,
                     false});
    cases.push_back({"numeric spelling under a loopback deny block", {"127.0.0.0/8", "::1"}, open,
                     s, "127.0.0.1", Outcome::ResolvedToDenyListed, true});
  }
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
    if (c.outcome == Outcome::Admitted || c.outcome == Outcome::ResolvedToInternal ||
        c.outcome == Outcome::ResolvedToDenyListed) {
      const std::string& ip = c.resolves_to.empty() ? c.host : c.resolves_to;
      EXPECT_EQ(out.address, sa(ip.c_str(), 8443));
    }
  }
}

// The real resolver, on a name that never leaves the machine.
TEST(RealResolver, LocalhostResolvesToLoopbackAndIsCached) {
  DnsCache& cache = DnsCache::instance();
  cache.clear_for_testing();
  auto r = resolve_destination("LocalHost", 8080);
  ASSERT_TRUE(r.has_value()) << r.error().text();
  EXPECT_EQ(r->port, 8080);
  EXPECT_TRUE(r->ip == IpAddress::v4(127, 0, 0, 1) || r->ip == *parse_ip("::1"))
      << to_string(*r);
  EXPECT_EQ(cache.size_for_testing(), 1u);

  NetworkFilter f;
  f.allow = *parse_filter_list({"localhost"});
  EXPECT_EQ(admit_destination(f, "localhost", 8080).kind, Outcome::ResolvedToInternal);
  f.allow = *parse_filter_list({"localhost", "127.0.0.0/8", "::1"});
  EXPECT_EQ(admit_destination(f, "localhost", 8080).kind, Outcome::Admitted);
  cache.clear_for_testing();
}

TEST(RealResolver, NumericSpellingsAllowedByNameNeverAdmitLoopback) {
  // glibc reads these as 127.0.0.1 without asking any name server.
  DnsCache::instance().clear_for_testing();
  NetworkFilter f;
  f.allow = *parse_filter_list({kNumericSpellings[0], kNumericSpellings[1], kNumericSpellings[2],
                                kNumericSpellings[3]});
  for (const char* s : {kNumericSpellings[0], kNumericSpellings[1], kNumericSpellings[2],
                        kNumericSpellings[3]}) {
    SCOPED_TRACE(s);
    const Outcome kind = admit_destination(f, s, 80).kind;
    EXPECT_TRUE(kind == Outcome::ResolvedToInternal || kind == Outcome::ResolveFailed)
        << static_cast<int>(kind);
  }
  DnsCache::instance().clear_for_testing();
}

}  // namespace
}  // namespace sandbox::netfilter
