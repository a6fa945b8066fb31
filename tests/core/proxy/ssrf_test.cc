// Adversarial destinations through both proxies over real loopback listeners: numeric
// spellings, mapped and compatible IPv6, trailing dots and case, localhost variants,
// allowed names that resolve inward, CONNECT target tricks, long and NUL-bearing names.
// Names resolve only through a recording fake resolver, and "reached" is what a loopback
// upstream actually accepted. Every address a case could be wrongly admitted to is a
// loopback one, so even a failing case sends nothing off this host; the other internal
// ranges are checked on the admission sequence alone.
#include <netinet/in.h>

#include "proxy/proxy_test_support.h"

namespace sandbox::proxy {
namespace {

using netfilter::IpAddress;
using Kind = netfilter::AdmissionOutcome::Kind;
using testing::Allow;
using testing::forbidden;
using testing::host_port;

// Listeners on 127.0.0.1:P and [::1]:P that only count what reached them. A proxy replies
// only after its connect returned, and the kernel queues the connection before that, so
// draining the queue after the reply sees every connection the proxy made.
class RecordingUpstream {
 public:
  RecordingUpstream() {
    for (int attempt = 0; attempt < 50 && !v6_; ++attempt) {
      v4_ = listen_on({IpAddress::v4(127, 0, 0, 1), 0});
      port_ = testing::bound_port(v4_.get());
      v6_ = listen_on({*netfilter::parse_ip("::1"), port_});
    }
  }
  uint16_t port() const { return port_; }
  bool ready() const { return v4_.valid() && v6_.valid(); }
  // Connections accepted since the last call.
  size_t reached() {
    size_t n = 0;
    for (int fd : {v4_.get(), v6_.get()})
      while (UniqueFd c{::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)}) ++n;
    return n;
  }

 private:
  static UniqueFd listen_on(const netfilter::SocketAddress& at) {
    sockaddr_storage ss{};
    socklen_t len = netfilter::to_sockaddr(at, ss);
    UniqueFd fd(::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    int one = 1;
    if (ss.ss_family == AF_INET6) ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(fd.get(), 64) != 0)
      return UniqueFd();
    return fd;
  }
  UniqueFd v4_, v6_;
  uint16_t port_ = 0;
};

struct Proxies {
  Proxies(Allow allow, std::vector<std::string> deny = {})
      : http(testing::start_proxy(testing::Kind::Http, allow, deny)),
        socks(testing::start_proxy(testing::Kind::Socks, allow, deny)) {}
  std::unique_ptr<ProxyHandle> http, socks;
};

// Everything the HTTP proxy answers to one CONNECT for `target`, up to end of stream.
std::string http_exchange(const Proxies& p, const std::string& target) {
  UniqueFd fd = testing::connect_tcp(testing::loopback(p.http->local_addr().port));
  EXPECT_TRUE(testing::send_text(fd.get(), "CONNECT " + target + " HTTP/1.1\r\nHost: x\r\n\r\n"));
  return testing::read_to_end(fd.get());
}

// The request's REP code, or -1 when the proxy closed without a reply.
int socks_exchange(const Proxies& p, const std::string& host, uint16_t port, int atyp = 3) {
  UniqueFd fd = testing::connect_tcp(testing::loopback(p.socks->local_addr().port));
  EXPECT_TRUE(testing::send_text(fd.get(), testing::socks_request(host, port, atyp)));
  std::string got = testing::read_to_end(fd.get());
  if (got.size() < 12) return -1;
  EXPECT_EQ(got.substr(0, 2), testing::raw({5, 0}));
  return static_cast<uint8_t>(got[3]);
}

constexpr int kRepFailure = 1, kRepNotAllowed = 2;

// How both proxies must refuse one host: by name (no lookup) or on its answer `ip`.
enum class Refusal { NotAllowed, DenyListed, Internal, ResolvesDenied };
struct NamedCase {
  std::string host;
  Refusal refusal;
  std::string ip = "";
};

std::string expected_http(const NamedCase& c) {
  switch (c.refusal) {
    case Refusal::NotAllowed: return forbidden(c.host + " is not in the sandbox network allow-list\n");
    case Refusal::DenyListed: return forbidden(c.host + " is blocked by the sandbox network deny-list\n");
    case Refusal::Internal:
      return forbidden(c.host + " resolves to a disallowed internal address (" + c.ip + ")\n");
    case Refusal::ResolvesDenied:
      return forbidden(c.host + " resolves to a deny-listed address (" + c.ip + ")\n");
  }
  return "";
}

class SsrfDestinations : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(upstream.ready()); }

  // Each host through HTTP CONNECT and SOCKS5 ATYP 3: the exact refusal, the resolver
  // asked exactly when the refusal depends on an answer, and nothing reached.
  void run(const Proxies& proxies, testing::FakeResolver& resolver,
           const std::vector<NamedCase>& cases) {
    for (const auto& c : cases) {
      SCOPED_TRACE("host \"" + c.host + "\"");
      const bool looked_up = c.refusal == Refusal::Internal || c.refusal == Refusal::ResolvesDenied;
      const testing::Lookups expected =
          looked_up ? testing::Lookups{{c.host, upstream.port()}} : testing::Lookups{};
      EXPECT_EQ(http_exchange(proxies, host_port(c.host, upstream.port())), expected_http(c));
      EXPECT_EQ(resolver.take(), expected);
      EXPECT_EQ(socks_exchange(proxies, c.host, upstream.port()), kRepNotAllowed);
      EXPECT_EQ(resolver.take(), expected);
      EXPECT_EQ(upstream.reached(), 0u) << "an internal address was reached";
    }
  }
  RecordingUpstream upstream;
};

// Numeric spellings that a C library would read as 127.0.0.1 are names here: they never
// match an address block, and their answers are judged like any other name's.
TEST_F(SsrfDestinations, NumericSpellingsAreNamesResolvedAndRefusedWhenTheyPointInward) {
  const std::vector<std::string> spellings = {
      "2130706433", "0x7f.0.0.1", "0177.0.0.1", "127.1",        "0x7f000001", "017700000001",
      "127.0.1",    "0x7F.1",     "127.0.0.1.", "127.000.0.01", "0127.0.0.1"};
  std::map<std::string, std::string> table{{"127.0.0.1 ", "127.0.0.1"}};
  for (const auto& s : spellings) table[s] = "127.0.0.1";
  testing::FakeResolver resolver(table);
  std::vector<NamedCase> by_name, by_block, deny_loop;
  for (const auto& s : spellings) {
    // An exact entry with a trailing dot matches nothing: refused by name.
    by_name.push_back({s, s.back() == '.' ? Refusal::NotAllowed : Refusal::Internal, "127.0.0.1"});
    // They are not addresses, so an address block never admits them.
    by_block.push_back({s, Refusal::NotAllowed});
    // Open egress with loopback deny-listed: caught on the resolved address.
    deny_loop.push_back({s, Refusal::ResolvesDenied, "127.0.0.1"});
  }
  run(Proxies(spellings), resolver, by_name);
  run(Proxies(std::vector<std::string>{"127.0.0.0/8", "*.example.com"}), resolver, by_block);
  run(Proxies(std::nullopt, {"127.0.0.0/8", "::1"}), resolver, deny_loop);
  // SOCKS5 carries the trailing space that a CONNECT token cannot; the allow entry
  // "127.0.0.1 " is trimmed into the block 127.0.0.1, which does not admit the name.
  EXPECT_EQ(socks_exchange(Proxies(std::vector<std::string>{"127.0.0.1 "}), "127.0.0.1 ",
                           upstream.port()),
            kRepNotAllowed);
  EXPECT_TRUE(resolver.take().empty());
  EXPECT_EQ(upstream.reached(), 0u);
}

TEST_F(SsrfDestinations, NumericSpellingsThroughTheRealResolverNeverReachLoopback) {
  // glibc reads these as 127.0.0.1 without asking any name server.
  netfilter::DnsCache::instance().clear_for_testing();
  const std::vector<std::string> spellings = {"2130706433", "0x7f.0.0.1", "0177.0.0.1", "127.1"};
  Proxies proxies(spellings);
  for (const auto& s : spellings) {
    SCOPED_TRACE(s);
    const std::string http = http_exchange(proxies, host_port(s, upstream.port()));
    EXPECT_TRUE(http.empty() || http == expected_http({s, Refusal::Internal, "127.0.0.1"})) << http;
    const int rep = socks_exchange(proxies, s, upstream.port());
    EXPECT_TRUE(rep == kRepFailure || rep == kRepNotAllowed) << rep;
    EXPECT_EQ(upstream.reached(), 0u);
  }
  netfilter::DnsCache::instance().clear_for_testing();
}

// Regression: an IPv4 deny entry must also catch the IPv4-mapped IPv6 form.
TEST_F(SsrfDestinations, MappedAndCompatibleIpv6NeverSlipPastLoopbackRules) {
  testing::FakeResolver resolver({{"mapped.test", "::ffff:127.0.0.1"},
                                  {"mapped-hex.test", "::ffff:7f00:1"},
                                  {"v6-loop.test", "::1"},
                                  {"any4.test", "0.0.0.0"},
                                  {"any6.test", "::"}});
  const std::vector<std::string> literals = {"::ffff:127.0.0.1", "::ffff:7f00:1",
                                             "::ffff:127.0.0.2", "0:0:0:0:0:ffff:7f00:1"};
  // An IPv4 allow block never admits a mapped address (the allow side is family-strict),
  // and a compatible address is no IPv4 address either; allowed names answering with
  // loopback in any spelling are internal.
  std::vector<NamedCase> allow_block = {
      {"::127.0.0.1", Refusal::NotAllowed},
      {"::1", Refusal::NotAllowed},
      {"mapped.test", Refusal::Internal, "::ffff:127.0.0.1"},
      {"mapped-hex.test", Refusal::Internal, "::ffff:127.0.0.1"},
      {"v6-loop.test", Refusal::Internal, "::1"},
      {"any4.test", Refusal::Internal, "0.0.0.0"},
      {"any6.test", Refusal::Internal, "::"}};
  // Open egress, IPv4 loopback deny-listed: the mapped form is denied too, as a literal
  // and as a name's answer.
  std::vector<NamedCase> deny_v4 = {{"mapped.test", Refusal::ResolvesDenied, "::ffff:127.0.0.1"},
                                    {"mapped-hex.test", Refusal::ResolvesDenied, "::ffff:127.0.0.1"}};
  for (const auto& l : literals) {
    allow_block.push_back({l, Refusal::NotAllowed});
    deny_v4.push_back({l, Refusal::DenyListed});
  }
  for (auto& [proxies, cases] :
       {std::pair{Proxies(std::vector<std::string>{"127.0.0.0/8", "*.test"}), allow_block},
        std::pair{Proxies(std::nullopt, {"127.0.0.0/8"}), deny_v4}}) {
    run(proxies, resolver, cases);
    for (const auto& l : literals) {  // the same literals as raw SOCKS5 addresses (ATYP 4)
      SCOPED_TRACE(l);
      EXPECT_EQ(socks_exchange(proxies, l, upstream.port(), 4), kRepNotAllowed);
      EXPECT_EQ(upstream.reached(), 0u);
    }
  }
}

// Judged on the admission sequence alone: nothing may ever be sent towards these.
TEST(SsrfAdmission, InternalAndMetadataAnswersAreRefusedInEveryForm) {
  const char* const internal[] = {
      "0.0.0.0",   "10.1.2.3",  "100.64.0.1", "100.127.255.255", "127.255.255.254",
      "169.254.1.1", "172.16.5.4", "172.31.255.255", "192.168.1.1", "224.0.0.1",
      "239.255.255.250", "255.255.255.255", "::", "::1", "fe80::1", "febf::1", "fc00::1",
      "fdff::1", "ff02::1", "::ffff:10.0.0.1", "::ffff:192.168.0.1", "::ffff:0.0.0.0"};
  std::map<std::string, std::string> table{{"meta.test", "169.254.169.254"},
                                           {"meta-mapped.test", "::ffff:169.254.169.254"},
                                           {"meta-hex.test", "::ffff:a9fe:a9fe"}};
  for (const char* ip : internal) table[std::string("h-") + ip + ".corp.example"] = ip;
  testing::FakeResolver resolver(table);
  // Names allowed by pattern that resolve into any internal range.
  const auto by_pattern = testing::make_filter(std::vector<std::string>{"*.corp.example"});
  for (const char* ip : internal) {
    SCOPED_TRACE(ip);
    auto outcome = netfilter::admit_destination(by_pattern, std::string("h-") + ip + ".corp.example", 443);
    EXPECT_EQ(outcome.kind, Kind::ResolvedToInternal);
    EXPECT_EQ(netfilter::to_string(outcome.address.ip), netfilter::to_string(*netfilter::parse_ip(ip)));
  }
  // The metadata address in every form, under its deny entry and under a names-only allow list.
  const auto open = testing::make_filter(std::nullopt, {"169.254.169.254"});
  const auto allow = testing::make_filter(std::vector<std::string>{"*.test", "*.example.com"});
  struct Case {
    const char* host;
    Kind open_outcome, allow_outcome;
  } cases[] = {
      {"169.254.169.254", Kind::DeniedByDenyList, Kind::NotInAllowList},
      {"::ffff:169.254.169.254", Kind::DeniedByDenyList, Kind::NotInAllowList},
      {"::ffff:a9fe:a9fe", Kind::DeniedByDenyList, Kind::NotInAllowList},
      {"meta.test", Kind::ResolvedToDenyListed, Kind::ResolvedToInternal},
      {"meta-mapped.test", Kind::ResolvedToDenyListed, Kind::ResolvedToInternal},
      {"meta-hex.test", Kind::ResolvedToDenyListed, Kind::ResolvedToInternal},
      {"META.test.", Kind::ResolveFailed, Kind::ResolveFailed},  // the table is exact text
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(netfilter::admit_destination(open, c.host, 80).kind, c.open_outcome);
    EXPECT_EQ(netfilter::admit_destination(allow, c.host, 80).kind, c.allow_outcome);
  }
}

TEST_F(SsrfDestinations, TrailingDotsCaseAndLocalhostVariantsNeverReachLoopback) {
  const std::map<std::string, std::string> table = {
      {"localhost", "127.0.0.1"},   {"LOCALHOST", "127.0.0.1"},
      {"localhost.", "127.0.0.1"},  {"LocalHost..", "::1"},
      {"foo.localhost", "127.0.0.1"}, {"localhost.localdomain", "127.0.0.1"},
      {"ip6-localhost", "::1"},     {"api.internal.test", "127.0.0.1"},
      {"API.Internal.TEST.", "::ffff:127.0.0.1"}, {"x.y.internal.test", "127.0.0.1"}};
  testing::FakeResolver resolver(table);
  std::vector<NamedCase> denied, allowed;
  for (const auto& [host, ip] : table) {
    // Deny by name, no allow list: the name step refuses every spelling before any lookup.
    if (host != "localhost.localdomain" && host != "ip6-localhost")
      denied.push_back({host, Refusal::DenyListed});
    // Allowed by name: every variant resolves inward and is refused.
    if (host != "api.internal.test" && host != "x.y.internal.test")
      allowed.push_back({host, Refusal::Internal, ip});
  }
  // Not covered by the patterns: refused by name.
  for (const char* host : {"ip6-loopback", "localhost.localdomain.evil", "internal.test", "xinternal.test"})
    allowed.push_back({host, Refusal::NotAllowed});
  run(Proxies(std::nullopt, {"localhost", "*.localhost", "*.internal.test"}), resolver, denied);
  run(Proxies(std::vector<std::string>{"localhost", "*.localhost", "localhost.localdomain",
                                       "ip6-localhost", "*.internal.test"}),
      resolver, allowed);
}

TEST_F(SsrfDestinations, ConnectTargetTricksNeverReachLoopback) {
  const std::string p = std::to_string(upstream.port());
  testing::FakeResolver resolver({{"evil.com:" + p + "@127.0.0.1", "127.0.0.1"},
                                  {"127.0.0.1:" + p, "127.0.0.1"},
                                  {"[::1", "::1"},
                                  {"fe80::1%lo", "fe80::1"},
                                  {"evil.com", "127.0.0.1"}});
  auto not_allowed = [](const std::string& h) { return expected_http({h, Refusal::NotAllowed}); };
  auto denied = [](const std::string& h) { return expected_http({h, Refusal::DenyListed}); };
  auto resolves_denied = [](const std::string& h, const std::string& ip) {
    return expected_http({h, Refusal::ResolvesDenied, ip});
  };
  struct Case {
    std::string target;
    std::string names_only;  // allow list of names only; "" = closed without a response
    std::string deny_loop;   // no allow list, loopback deny-listed
  };
  const std::vector<Case> cases = {
      {"[127.0.0.1]:" + p, not_allowed("127.0.0.1"), denied("127.0.0.1")},
      {"[::1]:" + p, not_allowed("::1"), denied("::1")},
      {"[::ffff:7f00:1]:" + p, not_allowed("::ffff:7f00:1"), denied("::ffff:7f00:1")},
      {"[::ffff:127.0.0.1]:" + p, not_allowed("::ffff:127.0.0.1"), denied("::ffff:127.0.0.1")},
      {"::1:" + p, not_allowed("::1"), denied("::1")},  // unbracketed: last colon
      {"evil.com:" + p + "@127.0.0.1:" + p, not_allowed("evil.com:" + p + "@127.0.0.1"),
       resolves_denied("evil.com:" + p + "@127.0.0.1", "127.0.0.1")},
      {"127.0.0.1:" + p + ":" + p, not_allowed("127.0.0.1:" + p),
       resolves_denied("127.0.0.1:" + p, "127.0.0.1")},
      // A name (zone index): judged by its answer.
      {"[fe80::1%lo]:" + p, not_allowed("fe80::1%lo"), resolves_denied("fe80::1%lo", "fe80::1")},
      {"EVIL.COM.:" + p, not_allowed("EVIL.COM."), ""},  // the resolver table is exact
  };
  Proxies names_only(std::vector<std::string>{"*.example.com", "example.com"});
  Proxies deny_loop(std::nullopt, {"127.0.0.0/8", "::1", "fe80::/10"});
  auto check = [&](const std::string& target, const std::string& names, const std::string& deny) {
    SCOPED_TRACE("CONNECT " + target);
    EXPECT_EQ(http_exchange(names_only, target), names);
    EXPECT_EQ(http_exchange(deny_loop, target), deny);
    resolver.take();
    EXPECT_EQ(upstream.reached(), 0u) << "an internal address was reached";
  };
  for (const auto& c : cases) check(c.target, c.names_only, c.deny_loop);
  // Malformed targets are closed without a response ("]" must be followed by ":").
  for (const std::string& t : std::vector<std::string>{"[[::1]]:" + p, "[::1]x:" + p, "[::1]:", "[::1]" + p,
                               "[127.0.0.1:" + p, "127.0.0.1", "127.0.0.1:", "127.0.0.1:-" + p,
                               "127.0.0.1:" + p + "0000", "127.0.0.1:0x50"})
    check(t, "", "");
}

// The control for every "not reached" above: an allow block does admit, and the
// upstream counts it.
TEST_F(SsrfDestinations, AllowBlocksStillAdmitLoopbackSoTheBatteryCanSeeAReach) {
  testing::FakeResolver resolver({{"db.corp.test", "127.0.0.1"}, {"db6.corp.test", "::1"}});
  Proxies proxies(std::vector<std::string>{"*.corp.test", "127.0.0.0/8", "::1"});
  for (const std::string host : {"db.corp.test", "db6.corp.test", "127.0.0.1", "::1"}) {
    SCOPED_TRACE(host);
    auto http = testing::open_tunnel(testing::Kind::Http, proxies.http->local_addr().port, host,
                                     upstream.port());
    EXPECT_TRUE(http.valid());
    EXPECT_EQ(upstream.reached(), 1u);
    auto socks = testing::open_tunnel(testing::Kind::Socks, proxies.socks->local_addr().port, host,
                                      upstream.port(), 3);
    EXPECT_TRUE(socks.valid());
    EXPECT_EQ(upstream.reached(), 1u);
  }
}

TEST_F(SsrfDestinations, SocksNamesOfTheFullLengthAreReadWhole) {
  const std::string suffix = ".allowed.test";
  std::string longest(255 - suffix.size(), 'a');
  for (size_t i = 63; i < longest.size(); i += 64) longest[i] = '.';
  longest += suffix;
  ASSERT_EQ(longest.size(), 255u);
  testing::FakeResolver resolver({{longest, "127.0.0.1"}, {longest.substr(0, 254), "127.0.0.1"}});
  Proxies proxies(std::vector<std::string>{"*.allowed.test"});
  EXPECT_EQ(socks_exchange(proxies, longest, upstream.port()), kRepNotAllowed);
  // All 255 bytes, and the port after them, reached the resolver.
  EXPECT_EQ(resolver.take(), (testing::Lookups{{longest, upstream.port()}}));
  EXPECT_EQ(socks_exchange(proxies, std::string(255, 'b'), upstream.port()), kRepNotAllowed);
  EXPECT_TRUE(resolver.take().empty());
  // A length byte promising more than is sent: the proxy waits, then the client gives up.
  UniqueFd fd = testing::connect_tcp(testing::loopback(proxies.socks->local_addr().port));
  ASSERT_TRUE(testing::send_text(fd.get(), testing::raw({5, 1, 0, 5, 1, 0, 3, 255}) +
                                               longest.substr(0, 100)));
  ::shutdown(fd.get(), SHUT_WR);
  EXPECT_EQ(testing::read_to_end(fd.get()), testing::raw({5, 0}));
  EXPECT_TRUE(resolver.take().empty());
  EXPECT_EQ(upstream.reached(), 0u);
}

// Regression: a NUL byte must not cut a name short on its way to the resolver.
TEST_F(SsrfDestinations, NulBytesInNamesNeverReachTheResolverOrLoopback) {
  const std::string nul_name("evil.test\0.allowed.test", 23);
  testing::FakeResolver resolver({{"evil.test", "127.0.0.1"}, {nul_name, "127.0.0.1"}});
  for (const Allow& allow : {Allow{{"*.allowed.test"}}, Allow{}}) {
    SCOPED_TRACE(allow ? "allowed by pattern" : "no allow list");
    Proxies proxies(allow);
    EXPECT_EQ(http_exchange(proxies, host_port(nul_name, upstream.port())), "");
    EXPECT_EQ(socks_exchange(proxies, nul_name, upstream.port()), kRepFailure);
    EXPECT_EQ(socks_exchange(proxies, std::string("localhost\0", 10), upstream.port()),
              allow ? kRepNotAllowed : kRepFailure);
    EXPECT_TRUE(resolver.take().empty());
    EXPECT_EQ(upstream.reached(), 0u);
  }
}

}  // namespace
}  // namespace sandbox::proxy
