#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <new>
#include <thread>

#include "netfilter/fake_resolver.h"

namespace sandbox::netfilter {
namespace {

using namespace std::chrono_literals;
using Outcome = AdmissionOutcome::Kind;

SocketAddress sa(const char* ip, uint16_t port) { return SocketAddress{*parse_ip(ip), port}; }

struct FakeDns : ::testing::Test, testing::FakeResolver {};

TEST(InternalAddress, RangesAtTheirEdges) {
  const std::pair<const char*, bool> cases[] = {
      {"0.0.0.0", true},
      {"0.0.0.1", false},
      {"9.255.255.255", false},
      {"10.0.0.0", true},
      {"10.255.255.255", true},
      {"11.0.0.0", false},
      {"100.63.255.255", false},
      {"100.64.0.1", true},
      {"100.127.255.255", true},
      {"100.128.0.1", false},
      {"127.0.0.1", true},
      {"127.255.255.255", true},
      {"128.0.0.0", false},
      {"169.254.169.254", true},
      {"169.255.0.0", false},
      {"172.15.255.255", false},
      {"172.16.0.0", true},
      {"172.31.255.255", true},
      {"172.32.0.0", false},
      {"192.168.0.1", true},
      {"192.169.0.0", false},
      {"223.255.255.255", false},
      {"224.0.0.1", true},
      {"239.255.255.255", true},
      {"240.0.0.1", false},
      {"255.255.255.254", false},
      {"255.255.255.255", true},
      // Embedded IPv4 forms are judged by that address; which forms embed one: ip_address_test.
      {"::ffff:10.0.0.1", true},
      {"64:ff9b::a00:1", true},
      {"2002:808:808::1", false},
      {"::", true},
      {"::1", true},
      {"::2", false},
      {"ff02::1", true},
      {"fe80::1", true},
      {"febf::1", true},
      {"fec0::1", false},
      {"fc00::1", true},
      {"fdff::1", true},
      {"fe00::1", false},
      {"2001:db8::1", false},
  };
  for (const auto& [ip, internal] : cases) {
    SCOPED_TRACE(ip);
    EXPECT_EQ(is_internal_address(*parse_ip(ip)), internal);
  }
}

// Names are keyed without ASCII case (ports apart: the race test below); a lookup's first
// answer is the one kept, and failures are never cached.
TEST_F(FakeDns, FirstAnswerIsUsedUpToButNotAtItsExpiryAndFailuresAreNotCached) {
  answer("a.test", {"2001:db8::5", "192.0.2.1"});
  EXPECT_EQ(*resolve_destination("a.test", 1), sa("2001:db8::5", 1));
  answer("a.test", {"192.0.2.9"});
  advance(DnsCache::kTtl - 1ns);
  EXPECT_EQ(*resolve_destination("A.Test", 1), sa("2001:db8::5", 1));
  advance(1ns);  // exactly at the expiry instant
  EXPECT_EQ(*resolve_destination("a.test", 1), sa("192.0.2.9", 1));
  // The replacement lives 60 s from its own resolution.
  advance(DnsCache::kTtl - 1ns);
  EXPECT_EQ(*resolve_destination("a.test", 1), sa("192.0.2.9", 1));
  EXPECT_EQ(lookups(), 2u);
  answer("empty.test", {});
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(resolve_destination("empty.test", 22).error().text(), "DNS returned no addresses");
    EXPECT_EQ(resolve_destination("missing.test", 22).error().text(), testing::kUnresolved);
  }
  EXPECT_EQ(lookups(), 6u);
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
  for (uint16_t port = 0; port < DnsCache::kSweepThreshold; ++port)
    ASSERT_TRUE(resolve_destination("x.test", port));
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
  EXPECT_EQ(lookups(), 2u);  // no cache hit from then on
  EXPECT_EQ(cache().size_for_testing(), 0u);
}

TEST_F(FakeDns, LookupRunsWithoutTheCacheLock) {
  answer("cached.test", {"192.0.2.1"});
  ASSERT_TRUE(resolve_destination("cached.test", 1));
  std::promise<void> started, release;
  auto released = release.get_future().share();
  cache().set_lookup_for_testing(
      [&started, released](const std::string&,
                           uint16_t port) -> Result<std::vector<SocketAddress>, IoError> {
        started.set_value();
        // Bounded wait: a held lock shows as a failure here instead of a hang.
        if (released.wait_for(30s) != std::future_status::ready)
          return fail(IoError::custom("hung"));
        return std::vector<SocketAddress>{sa("192.0.2.7", port)};
      });
  auto slow = std::async(std::launch::async, [] { return resolve_destination("slow.test", 1); });
  started.get_future().wait();  // the other thread is now inside its lookup
  EXPECT_EQ(*resolve_destination("cached.test", 1), sa("192.0.2.1", 1));
  release.set_value();
  EXPECT_EQ(*slow.get(), sa("192.0.2.7", 1));
}

// Lookups, hits, expiry and sweeps past the table bound racing on many threads (the suite
// also runs under ThreadSanitizer): every answer stays the one for its own name and port.
TEST_F(FakeDns, RacingLookupsAndSweepsKeepAnswersRight) {
  constexpr int kNames = 250, kPorts = 5;  // more keys than the sweep bound
  static_assert(kNames * kPorts > DnsCache::kSweepThreshold);
  auto ip_of = [](int n) { return "192.0.2." + std::to_string(n); };
  for (int n = 0; n < kNames; ++n) {
    answer("h" + std::to_string(n) + ".test", {ip_of(n)});
    answer("h" + std::to_string(n) + ".TEST", {ip_of(n)});
  }
  std::atomic<int> wrong{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 3000; ++i) {
        const int n = (i * 7 + t * 131) % kNames;
        const auto port = static_cast<uint16_t>(1 + (i + t) % kPorts);
        const bool missing = i % 97 == 0;
        const std::string name = missing ? "missing" : "h" + std::to_string(n);
        auto r = resolve_destination(name + (i % 2 ? ".TEST" : ".test"), port);
        if (r.has_value() == missing || (r && *r != sa(ip_of(n).c_str(), port))) ++wrong;
      }
    });
  }
  std::thread clock([&] {
    for (; !done; std::this_thread::yield()) advance(7s);  // entries expire every few steps
  });
  for (auto& th : threads) th.join();
  done = true;
  clock.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_LE(cache().size_for_testing(), DnsCache::kSweepThreshold);
  EXPECT_FALSE(cache().unusable_for_testing());
}

// Every branch of the admission sequence once; which texts are addresses, which names and
// blocks match, and which addresses are internal are proven on the filter and above.
TEST_F(FakeDns, AdmissionSequence) {
  using L = std::vector<std::string>;
  const std::optional<L> open;
  const L md{"169.254.169.254"};
  const L lo{"127.0.0.0/8", "::1"};
  struct Case {
    std::string what;
    L deny;
    std::optional<L> allow;
    std::string host;
    std::string resolves_to;  // empty: no answer scripted
    Outcome outcome;
  } cases[] = {
      {"denied name",
       {"*.internal.test"},
       open,
       "API.Internal.TEST.",
       "",
       Outcome::DeniedByDenyList},
      {"not allowed name", {}, L{"ok.test"}, "other.test", "", Outcome::NotInAllowList},
      {"allowed internal literal", {}, L{"127.0.0.1"}, "127.0.0.1", "", Outcome::Admitted},
      {"open egress admits metadata", {}, open, "md.test", md[0], Outcome::Admitted},
      {"resolution failure", {}, open, "gone.test", "", Outcome::ResolveFailed},
      {"name resolving into deny block", md, open, "md.test", md[0], Outcome::ResolvedToDenyListed},
      {"name resolving to NAT64 of deny", md, open, "nat64.test", "64:ff9b::a9fe:a9fe",
       Outcome::ResolvedToDenyListed},
      {"deny block beats allow block",
       {"10.0.0.0/8"},
       L{"svc.test", "10.0.0.0/8"},
       "svc.test",
       "10.9.9.9",
       Outcome::ResolvedToDenyListed},
      {"allowed name to private",
       {},
       L{"svc.test"},
       "svc.test",
       "10.1.2.3",
       Outcome::ResolvedToInternal},
      {"allow block exempts",
       {},
       L{"svc.test", "10.0.0.0/8"},
       "svc.test",
       "10.1.2.3",
       Outcome::Admitted},
      // Unlike the deny side, the exemption is family-strict: no mapped or embedded form.
      {"v4 block does not exempt a mapped answer",
       {},
       L{"*.test", "127.0.0.0/8"},
       "m.test",
       "::ffff:127.0.0.1",
       Outcome::ResolvedToInternal},
      {"allowed name to public", {}, L{"svc.test"}, "svc.test", "192.0.2.10", Outcome::Admitted},
      // Unspecified destinations reach this host's loopback: refused at the internal step in
      // both modes, however spelled; earlier refusals keep their outcome.
      {"unspecified literal past a loopback deny", lo, open, "0.0.0.0", "",
       Outcome::ResolvedToInternal},
      {"unspecified IPv6 past a loopback deny", lo, open, "::", "", Outcome::ResolvedToInternal},
      {"mapped unspecified", lo, open, "::ffff:0.0.0.0", "", Outcome::ResolvedToInternal},
      {"mapped unspecified, short", lo, open, "::ffff:0:0", "", Outcome::ResolvedToInternal},
      {"name 0 resolving to it", lo, open, "0", "0.0.0.0", Outcome::ResolvedToInternal},
      {"unspecified even allowed by block",
       {},
       L{"0.0.0.0/0", "::/0"},
       "0.0.0.0",
       "",
       Outcome::ResolvedToInternal},
      {"allowed name resolving to ::",
       {},
       L{"svc.test", "::/0"},
       "svc.test",
       "::",
       Outcome::ResolvedToInternal},
      {"unspecified deny-listed first",
       {"0.0.0.0"},
       open,
       "0.0.0.0",
       "",
       Outcome::DeniedByDenyList},
      {"unspecified not in the allow list first",
       {},
       L{"svc.test"},
       "::",
       "",
       Outcome::NotInAllowList},
      {"name resolving into a deny block first",
       {"0.0.0.0"},
       open,
       "0",
       "0.0.0.0",
       Outcome::ResolvedToDenyListed},
      {"rest of 0.0.0.0/8 unchanged", lo, open, "0.0.0.1", "", Outcome::Admitted},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what + ": " + c.host);
    cache().clear_for_testing();
    const size_t before = lookups();
    if (!c.resolves_to.empty()) answer(c.host, {c.resolves_to});
    NetworkFilter f;
    f.deny = *parse_filter_list(c.deny);
    if (c.allow) f.allow = *parse_filter_list(*c.allow);
    bool name_admitted = false;
    AdmissionOutcome out =
        admit_destination(f, c.host, 8443, [&] { name_admitted = lookups() == before; });
    EXPECT_EQ(out.kind, c.outcome);
    // Reported exactly when the name passed, and before the resolver was asked, which only
    // names reach.
    EXPECT_EQ(name_admitted,
              c.outcome != Outcome::DeniedByDenyList && c.outcome != Outcome::NotInAllowList);
    EXPECT_EQ(lookups() - before, name_admitted && !parse_ip(c.host) ? 1u : 0u);
    if (c.outcome == Outcome::ResolveFailed) {
      EXPECT_EQ(out.error.text(), testing::kUnresolved);
    } else if (name_admitted) {
      EXPECT_EQ(out.address, sa((c.resolves_to.empty() ? c.host : c.resolves_to).c_str(), 8443));
    }
  }
}

}  // namespace
}  // namespace sandbox::netfilter
