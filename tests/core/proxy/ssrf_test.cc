// Adversarial destinations through both proxies over real loopback listeners: numeric
// spellings, mapped and compatible IPv6, trailing dots and case, localhost variants,
// allowed names that resolve inward, CONNECT target tricks, long and NUL-bearing names.
// Names resolve only through a recording fake resolver, and "reached" is what a loopback
// upstream actually accepted. Every address a case could be wrongly admitted to is a
// loopback one, so even a failing case sends nothing off this host; the other internal
// ranges are checked on the admission sequence alone.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <map>
#include <mutex>

#include "proxy/proxy_test_support.h"

namespace sandbox::proxy {
namespace {

using netfilter::AdmissionOutcome;
using netfilter::IpAddress;
using netfilter::SocketAddress;
using Kind = AdmissionOutcome::Kind;
using Allow = std::optional<std::vector<std::string>>;

// Lookups are answered from the table (exact text) and every query is recorded.
class RecordingResolver {
 public:
  explicit RecordingResolver(std::map<std::string, std::string> table) : table_(std::move(table)) {
    auto& cache = netfilter::DnsCache::instance();
    cache.clear_for_testing();
    cache.set_lookup_for_testing([this](const std::string& host, uint16_t port)
                                     -> Result<std::vector<SocketAddress>, IoError> {
      std::lock_guard lock(mutex_);
      seen_.emplace_back(host, port);
      auto it = table_.find(host);
      if (it == table_.end())
        return fail(IoError::custom("failed to lookup address information: Name does not resolve"));
      return std::vector<SocketAddress>{{*netfilter::parse_ip(it->second), port}};
    });
  }
  RecordingResolver(const RecordingResolver&) = delete;
  ~RecordingResolver() {
    auto& cache = netfilter::DnsCache::instance();
    cache.set_lookup_for_testing(nullptr);
    cache.clear_for_testing();
  }
  // Queries so far, emptied by the call; the cache is cleared so that every case asks anew.
  std::vector<std::pair<std::string, uint16_t>> take() {
    netfilter::DnsCache::instance().clear_for_testing();
    std::lock_guard lock(mutex_);
    return std::exchange(seen_, {});
  }

 private:
  std::map<std::string, std::string> table_;
  std::mutex mutex_;
  std::vector<std::pair<std::string, uint16_t>> seen_;
};

// Listeners on 127.0.0.1:P and [::1]:P that only count what reached them. A proxy replies
// only after its connect returned, and the kernel queues the connection before that, so
// draining the queue after the reply sees every connection the proxy made.
class RecordingUpstream {
 public:
  RecordingUpstream() {
    for (int attempt = 0; attempt < 50 && !v6_; ++attempt) {
      v4_ = listen_on({IpAddress::v4(127, 0, 0, 1), 0});
      port_ = bound_port(v4_.get());
      v6_ = listen_on({*netfilter::parse_ip("::1"), port_});
    }
  }
  uint16_t port() const { return port_; }
  bool ready() const { return v4_.valid() && v6_.valid(); }
  // Connections accepted since the last call.
  size_t reached() {
    size_t n = 0;
    for (int fd : {v4_.get(), v6_.get()}) {
      while (UniqueFd c{::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC)}) ++n;
    }
    return n;
  }

 private:
  static UniqueFd listen_on(const SocketAddress& at) {
    sockaddr_storage ss{};
    socklen_t len = netfilter::to_sockaddr(at, ss);
    UniqueFd fd(::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    int one = 1;
    if (ss.ss_family == AF_INET6) ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(fd.get(), 64) != 0)
      return UniqueFd();
    return fd;
  }
  static uint16_t bound_port(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    return netfilter::from_sockaddr(reinterpret_cast<sockaddr*>(&ss), len)->port;
  }
  UniqueFd v4_, v6_;
  uint16_t port_ = 0;
};

struct Proxies {
  Proxies(Allow allow, std::vector<std::string> deny = {})
      : http(*start_http_proxy(testing::make_filter(allow, deny))),
        socks(*start_socks5_proxy(testing::make_filter(allow, deny))) {}
  uint16_t http_port() const { return http->local_addr().port; }
  uint16_t socks_port() const { return socks->local_addr().port; }
  std::unique_ptr<ProxyHandle> http, socks;
};

// Everything the HTTP proxy answers to one CONNECT for `target`, up to end of stream.
std::string http_exchange(uint16_t proxy_port, const std::string& target) {
  UniqueFd fd = testing::connect_tcp(testing::loopback(proxy_port));
  EXPECT_TRUE(testing::send_text(fd.get(), "CONNECT " + target + " HTTP/1.1\r\nHost: x\r\n\r\n"));
  return testing::read_to_end(fd.get());
}

std::string with_port(const std::string& host, uint16_t port) {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// Greeting and request in one write; returns the request's REP code, or -1 when the proxy
// closed without a reply.
int socks_exchange(uint16_t proxy_port, uint8_t atyp, const std::string& address, uint16_t port) {
  std::string msg = testing::as_text(testing::bytes({5, 1, 0, 5, 1, 0, atyp}));
  if (atyp == 3) msg += static_cast<char>(address.size());
  msg += address;
  msg += static_cast<char>(port >> 8);
  msg += static_cast<char>(port & 0xff);
  UniqueFd fd = testing::connect_tcp(testing::loopback(proxy_port));
  EXPECT_TRUE(testing::send_text(fd.get(), msg));
  std::string got = testing::read_to_end(fd.get());
  if (got.size() < 12) return -1;
  EXPECT_EQ(got.substr(0, 2), testing::as_text(testing::bytes({5, 0})));
  return static_cast<uint8_t>(got[3]);
}

std::string raw_ip(const std::string& text) {
  IpAddress ip = *netfilter::parse_ip(text);
  return std::string(reinterpret_cast<const char*>(ip.bytes.data()), ip.size());
}

std::string forbidden(const std::string& body) {
  return "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}
std::string not_allowed(const std::string& host) {
  return forbidden(host + " is not in the sandbox network allow-list\n");
}
std::string deny_listed(const std::string& host) {
  return forbidden(host + " is blocked by the sandbox network deny-list\n");
}
std::string resolves_internal(const std::string& host, const std::string& ip) {
  return forbidden(host + " resolves to a disallowed internal address (" + ip + ")\n");
}
std::string resolves_denied(const std::string& host, const std::string& ip) {
  return forbidden(host + " resolves to a deny-listed address (" + ip + ")\n");
}

constexpr int kRepFailure = 1, kRepNotAllowed = 2;

// One destination named as a host text, through both proxies (HTTP CONNECT and SOCKS5
// ATYP 3), with the expected answers and whether the resolver may be asked.
struct NamedCase {
  std::string host;
  std::string http_response;  // "" = closed without a response
  int socks_rep;
  bool looked_up;
};

void run_named_cases(Proxies& proxies, RecordingUpstream& upstream, RecordingResolver& resolver,
                     const std::vector<NamedCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE("host \"" + c.host + "\"");
    EXPECT_EQ(http_exchange(proxies.http_port(), with_port(c.host, upstream.port())),
              c.http_response);
    auto http_lookups = resolver.take();
    EXPECT_EQ(socks_exchange(proxies.socks_port(), 3, c.host, upstream.port()), c.socks_rep);
    auto socks_lookups = resolver.take();
    const std::vector<std::pair<std::string, uint16_t>> expected =
        c.looked_up ? std::vector<std::pair<std::string, uint16_t>>{{c.host, upstream.port()}}
                    : std::vector<std::pair<std::string, uint16_t>>{};
    EXPECT_EQ(http_lookups, expected);
    EXPECT_EQ(socks_lookups, expected);
    EXPECT_EQ(upstream.reached(), 0u) << "an internal address was reached";
  }
}

// Numeric spellings that a C library would read as 127.0.0.1 are names here: they never
// match an address block, and their answers are judged like any other name's.
const std::vector<std::string> kNumericSpellings = {
    "2130706433", "0x7f.0.0.1", "0177.0.0.1", "127.1",        "0x7f000001", "017700000001",
    "127.0.1",    "0x7F.1",     "127.0.0.1.", "127.000.0.01", "127.0.0.1 ", "0127.0.0.1"};

TEST(SsrfDestinations, NumericSpellingsAreNamesResolvedAndRefusedWhenTheyPointInward) {
  RecordingUpstream upstream;
  ASSERT_TRUE(upstream.ready());
  std::map<std::string, std::string> table;
  for (const auto& s : kNumericSpellings) table[s] = "127.0.0.1";
  RecordingResolver resolver(table);
  {
    // Allowed by name: resolved through the resolver, then refused as internal. (The
    // entry "127.0.0.1 " would be trimmed into an address block, so it stays out.)
    std::vector<std::string> names;
    for (const auto& s : kNumericSpellings)
      if (s.back() != ' ') names.push_back(s);
    Proxies proxies(names);
    std::vector<NamedCase> cases;
    for (const auto& s : kNumericSpellings) {
      if (s.back() == ' ') continue;  // a CONNECT token cannot carry the space
      if (s.back() == '.') {
        // An exact entry with a trailing dot matches nothing: refused by name.
        cases.push_back({s, not_allowed(s), kRepNotAllowed, false});
        continue;
      }
      cases.push_back({s, resolves_internal(s, "127.0.0.1"), kRepNotAllowed, true});
    }
    run_named_cases(proxies, upstream, resolver, cases);
  }
  {
    // An address block never admits them: they are not addresses, so the name step
    // refuses them before any lookup.
    Proxies proxies(std::vector<std::string>{"127.0.0.0/8", "*.example.com"});
    std::vector<NamedCase> cases;
    for (const auto& s : kNumericSpellings) {
      if (s.back() == ' ') continue;
      cases.push_back({s, not_allowed(s), kRepNotAllowed, false});
    }
    run_named_cases(proxies, upstream, resolver, cases);
  }
  {
    // Open egress with loopback deny-listed: caught on the resolved address.
    Proxies proxies(std::nullopt, {"127.0.0.0/8", "::1"});
    std::vector<NamedCase> cases;
    for (const auto& s : kNumericSpellings) {
      if (s.back() == ' ') continue;
      cases.push_back({s, resolves_denied(s, "127.0.0.1"), kRepNotAllowed, true});
    }
    run_named_cases(proxies, upstream, resolver, cases);
  }
  // SOCKS5 carries the trailing space that CONNECT cannot.
  Proxies proxies(std::vector<std::string>{"127.0.0.1 "});  // trimmed: the block 127.0.0.1
  EXPECT_EQ(socks_exchange(proxies.socks_port(), 3, "127.0.0.1 ", upstream.port()), kRepNotAllowed);
  EXPECT_TRUE(resolver.take().empty());
  EXPECT_EQ(upstream.reached(), 0u);
}

TEST(SsrfDestinations, NumericSpellingsThroughTheRealResolverNeverReachLoopback) {
  // glibc reads these as 127.0.0.1 without asking any name server.
  RecordingUpstream upstream;
  ASSERT_TRUE(upstream.ready());
  netfilter::DnsCache::instance().clear_for_testing();
  const std::vector<std::string> spellings = {"2130706433", "0x7f.0.0.1", "0177.0.0.1", "127.1"};
  Proxies proxies(spellings);
  for (const auto& s : spellings) {
    SCOPED_TRACE(s);
    const std::string http = http_exchange(proxies.http_port(), with_port(s, upstream.port()));
    EXPECT_TRUE(http.empty() || http == resolves_internal(s, "127.0.0.1")) << http;
    const int rep = socks_exchange(proxies.socks_port(), 3, s, upstream.port());
    EXPECT_TRUE(rep == kRepFailure || rep == kRepNotAllowed) << rep;
    EXPECT_EQ(upstream.reached(), 0u);
  }
  netfilter::DnsCache::instance().clear_for_testing();
}

TEST(SsrfDestinations, MappedAndCompatibleIpv6NeverSlipPastLoopbackRules) {
  RecordingUpstream upstream;
  ASSERT_TRUE(upstream.ready());
  RecordingResolver resolver({{"mapped.test", "::ffff:127.0.0.1"},
                              {"mapped-hex.test", "::ffff:7f00:1"},
                              {"v6-loop.test", "::1"},
                              {"any4.test", "0.0.0.0"},
                              {"any6.test", "::"}});
  const std::vector<std::string> literals = {"::ffff:127.0.0.1", "::ffff:7f00:1",
                                             "::ffff:127.0.0.2", "0:0:0:0:0:ffff:7f00:1"};
  {
    // An IPv4 allow block never admits a mapped address (the allow side is family-strict),
    // and a compatible address is no IPv4 address either.
    Proxies proxies(std::vector<std::string>{"127.0.0.0/8", "*.test"});
    std::vector<NamedCase> cases;
    for (const auto& l : literals) cases.push_back({l, not_allowed(l), kRepNotAllowed, false});
    cases.push_back({"::127.0.0.1", not_allowed("::127.0.0.1"), kRepNotAllowed, false});
    cases.push_back({"::1", not_allowed("::1"), kRepNotAllowed, false});
    // Allowed names answering with loopback in any spelling: internal.
    cases.push_back({"mapped.test", resolves_internal("mapped.test", "::ffff:127.0.0.1"),
                     kRepNotAllowed, true});
    cases.push_back({"mapped-hex.test", resolves_internal("mapped-hex.test", "::ffff:127.0.0.1"),
                     kRepNotAllowed, true});
    cases.push_back({"v6-loop.test", resolves_internal("v6-loop.test", "::1"), kRepNotAllowed, true});
    cases.push_back({"any4.test", resolves_internal("any4.test", "0.0.0.0"), kRepNotAllowed, true});
    cases.push_back({"any6.test", resolves_internal("any6.test", "::"), kRepNotAllowed, true});
    run_named_cases(proxies, upstream, resolver, cases);
    // The same literals as raw SOCKS5 addresses (ATYP 4).
    for (const auto& l : literals) {
      SCOPED_TRACE(l);
      EXPECT_EQ(socks_exchange(proxies.socks_port(), 4, raw_ip(l), upstream.port()), kRepNotAllowed);
      EXPECT_EQ(upstream.reached(), 0u);
    }
  }
  {
    // Open egress, IPv4 loopback deny-listed: the mapped form is denied too, as a literal
    // and as a name's answer.
    Proxies proxies(std::nullopt, {"127.0.0.0/8"});
    std::vector<NamedCase> cases;
    for (const auto& l : literals) cases.push_back({l, deny_listed(l), kRepNotAllowed, false});
    cases.push_back({"mapped.test", resolves_denied("mapped.test", "::ffff:127.0.0.1"),
                     kRepNotAllowed, true});
    cases.push_back({"mapped-hex.test", resolves_denied("mapped-hex.test", "::ffff:127.0.0.1"),
                     kRepNotAllowed, true});
    run_named_cases(proxies, upstream, resolver, cases);
    for (const auto& l : literals) {
      SCOPED_TRACE(l);
      EXPECT_EQ(socks_exchange(proxies.socks_port(), 4, raw_ip(l), upstream.port()), kRepNotAllowed);
      EXPECT_EQ(upstream.reached(), 0u);
    }
  }
}

TEST(SsrfDestinations, MetadataAddressInEveryFormIsRefusedByItsDenyEntry) {
  // Judged on the admission sequence alone: nothing may ever be sent towards it.
  RecordingResolver resolver({{"meta.test", "169.254.169.254"},
                              {"meta-mapped.test", "::ffff:169.254.169.254"},
                              {"meta-hex.test", "::ffff:a9fe:a9fe"}});
  const auto open = testing::make_filter(std::nullopt, {"169.254.169.254"});
  const auto allow = testing::make_filter(std::vector<std::string>{"*.test", "*.example.com"});
  struct Case {
    const char* host;
    Kind open_outcome;   // deny entry, no allow list
    Kind allow_outcome;  // allow list by name only
  };
  const Case cases[] = {
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

TEST(SsrfDestinations, AllowedNamesResolvingIntoAnyInternalRangeAreRefused) {
  // Non-loopback ranges: admission sequence only, so no packet can leave for them.
  const char* const internal[] = {
      "0.0.0.0",   "10.1.2.3",  "100.64.0.1", "100.127.255.255", "127.255.255.254",
      "169.254.1.1", "172.16.5.4", "172.31.255.255", "192.168.1.1", "224.0.0.1",
      "239.255.255.250", "255.255.255.255", "::", "::1", "fe80::1", "febf::1", "fc00::1",
      "fdff::1", "ff02::1", "::ffff:10.0.0.1", "::ffff:192.168.0.1", "::ffff:0.0.0.0"};
  std::map<std::string, std::string> table;
  for (const char* ip : internal) table[std::string("h-") + ip + ".corp.example"] = ip;
  RecordingResolver resolver(table);
  const auto by_pattern = testing::make_filter(std::vector<std::string>{"*.corp.example"});
  for (const auto& [host, ip] : table) {
    SCOPED_TRACE(host);
    auto outcome = netfilter::admit_destination(by_pattern, host, 443);
    EXPECT_EQ(outcome.kind, Kind::ResolvedToInternal);
    EXPECT_EQ(netfilter::to_string(outcome.address.ip), netfilter::to_string(*netfilter::parse_ip(ip)));
  }
}

TEST(SsrfDestinations, TrailingDotsCaseAndLocalhostVariantsNeverReachLoopback) {
  RecordingUpstream upstream;
  ASSERT_TRUE(upstream.ready());
  RecordingResolver resolver({{"localhost", "127.0.0.1"},
                              {"LOCALHOST", "127.0.0.1"},
                              {"localhost.", "127.0.0.1"},
                              {"LocalHost..", "::1"},
                              {"foo.localhost", "127.0.0.1"},
                              {"localhost.localdomain", "127.0.0.1"},
                              {"ip6-localhost", "::1"},
                              {"api.internal.test", "127.0.0.1"},
                              {"API.Internal.TEST.", "::ffff:127.0.0.1"},
                              {"x.y.internal.test", "127.0.0.1"}});
  {
    // Deny by name, no allow list: the name step refuses every spelling before any lookup.
    Proxies proxies(std::nullopt, {"localhost", "*.localhost", "*.internal.test"});
    run_named_cases(proxies, upstream, resolver,
                    {{"localhost", deny_listed("localhost"), kRepNotAllowed, false},
                     {"LOCALHOST", deny_listed("LOCALHOST"), kRepNotAllowed, false},
                     {"localhost.", deny_listed("localhost."), kRepNotAllowed, false},
                     {"LocalHost..", deny_listed("LocalHost.."), kRepNotAllowed, false},
                     {"foo.localhost", deny_listed("foo.localhost"), kRepNotAllowed, false},
                     {"api.internal.test", deny_listed("api.internal.test"), kRepNotAllowed, false},
                     {"API.Internal.TEST.", deny_listed("API.Internal.TEST."), kRepNotAllowed, false},
                     {"x.y.internal.test", deny_listed("x.y.internal.test"), kRepNotAllowed, false}});
  }
  {
    // Allowed by name: every variant resolves inward and is refused.
    Proxies proxies(std::vector<std::string>{"localhost", "*.localhost", "localhost.localdomain",
                                             "ip6-localhost", "*.internal.test"});
    run_named_cases(
        proxies, upstream, resolver,
        {{"localhost", resolves_internal("localhost", "127.0.0.1"), kRepNotAllowed, true},
         {"LOCALHOST", resolves_internal("LOCALHOST", "127.0.0.1"), kRepNotAllowed, true},
         {"localhost.", resolves_internal("localhost.", "127.0.0.1"), kRepNotAllowed, true},
         {"LocalHost..", resolves_internal("LocalHost..", "::1"), kRepNotAllowed, true},
         {"foo.localhost", resolves_internal("foo.localhost", "127.0.0.1"), kRepNotAllowed, true},
         {"localhost.localdomain", resolves_internal("localhost.localdomain", "127.0.0.1"),
          kRepNotAllowed, true},
         {"ip6-localhost", resolves_internal("ip6-localhost", "::1"), kRepNotAllowed, true},
         {"API.Internal.TEST.", resolves_internal("API.Internal.TEST.", "::ffff:127.0.0.1"),
          kRepNotAllowed, true},
         // Not covered by the patterns: refused by name.
         {"ip6-loopback", not_allowed("ip6-loopback"), kRepNotAllowed, false},
         {"localhost.localdomain.evil", not_allowed("localhost.localdomain.evil"), kRepNotAllowed,
          false},
         {"internal.test", not_allowed("internal.test"), kRepNotAllowed, false},
         {"xinternal.test", not_allowed("xinternal.test"), kRepNotAllowed, false}});
  }
}

TEST(SsrfDestinations, ConnectTargetTricksNeverReachLoopback) {
  RecordingUpstream upstream;
  ASSERT_TRUE(upstream.ready());
  const std::string p = std::to_string(upstream.port());
  RecordingResolver resolver({{"evil.com:" + p + "@127.0.0.1", "127.0.0.1"},
                              {"127.0.0.1:" + p, "127.0.0.1"},
                              {"[::1", "::1"},
                              {"fe80::1%lo", "fe80::1"},
                              {"evil.com", "127.0.0.1"}});
  struct Case {
    std::string target;
    std::string names_only;  // allow list of names only
    std::string deny_loop;   // no allow list, loopback deny-listed
  };
  const std::string closed;  // closed without a response
  const std::vector<Case> cases = {
      {"[127.0.0.1]:" + p, not_allowed("127.0.0.1"), deny_listed("127.0.0.1")},
      {"[::1]:" + p, not_allowed("::1"), deny_listed("::1")},
      {"[::ffff:7f00:1]:" + p, not_allowed("::ffff:7f00:1"), deny_listed("::ffff:7f00:1")},
      {"[::ffff:127.0.0.1]:" + p, not_allowed("::ffff:127.0.0.1"), deny_listed("::ffff:127.0.0.1")},
      {"::1:" + p, not_allowed("::1"), deny_listed("::1")},  // unbracketed: last colon
      {"evil.com:" + p + "@127.0.0.1:" + p, not_allowed("evil.com:" + p + "@127.0.0.1"),
       resolves_denied("evil.com:" + p + "@127.0.0.1", "127.0.0.1")},
      {"127.0.0.1:" + p + ":" + p, not_allowed("127.0.0.1:" + p),
       resolves_denied("127.0.0.1:" + p, "127.0.0.1")},
      {"[[::1]]:" + p, closed, closed},  // "]" must be followed by ":"
      {"[::1]x:" + p, closed, closed},
      {"[::1]:", closed, closed},
      {"[::1]" + p, closed, closed},
      {"[127.0.0.1:" + p, closed, closed},
      {"127.0.0.1", closed, closed},
      {"127.0.0.1:", closed, closed},
      {"127.0.0.1:-" + p, closed, closed},
      {"127.0.0.1:" + p + "0000", closed, closed},
      {"127.0.0.1:0x50", closed, closed},
      // A name (zone index): judged by its answer.
      {"[fe80::1%lo]:" + p, not_allowed("fe80::1%lo"), resolves_denied("fe80::1%lo", "fe80::1")},
      {"EVIL.COM.:" + p, not_allowed("EVIL.COM."), closed},       // resolver table is exact
  };
  Proxies names_only(std::vector<std::string>{"*.example.com", "example.com"});
  Proxies deny_loop(std::nullopt, {"127.0.0.0/8", "::1", "fe80::/10"});
  for (const auto& c : cases) {
    SCOPED_TRACE("CONNECT " + c.target);
    EXPECT_EQ(http_exchange(names_only.http_port(), c.target), c.names_only);
    EXPECT_EQ(http_exchange(deny_loop.http_port(), c.target), c.deny_loop);
    resolver.take();
    EXPECT_EQ(upstream.reached(), 0u) << "an internal address was reached";
  }
}

TEST(SsrfDestinations, AllowBlocksStillAdmitLoopbackSoTheBatteryCanSeeAReach) {
  // The control for every "not reached" above: an allow block does admit, and the
  // upstream counts it.
  RecordingUpstream upstream;
  ASSERT_TRUE(upstream.ready());
  RecordingResolver resolver({{"db.corp.test", "127.0.0.1"}, {"db6.corp.test", "::1"}});
  Proxies proxies(std::vector<std::string>{"*.corp.test", "127.0.0.0/8", "::1"});
  const std::string ok = "HTTP/1.1 200 Connection Established\r\n\r\n";
  for (const std::string host : {"db.corp.test", "db6.corp.test", "127.0.0.1", "::1"}) {
    SCOPED_TRACE(host);
    UniqueFd fd = testing::connect_tcp(testing::loopback(proxies.http_port()));
    ASSERT_TRUE(testing::send_text(fd.get(), "CONNECT " + with_port(host, upstream.port()) +
                                                 " HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(testing::read_n(fd.get(), ok.size()), ok);
    EXPECT_EQ(upstream.reached(), 1u);
    UniqueFd s = testing::connect_tcp(testing::loopback(proxies.socks_port()));
    std::string msg = testing::as_text(testing::bytes({5, 1, 0, 5, 1, 0, 3}));
    msg += static_cast<char>(host.size()) + host;
    msg += static_cast<char>(upstream.port() >> 8);
    msg += static_cast<char>(upstream.port() & 0xff);
    ASSERT_TRUE(testing::send_text(s.get(), msg));
    EXPECT_EQ(testing::read_n(s.get(), 12),
              testing::as_text(testing::bytes({5, 0, 5, 0, 0, 1, 0, 0, 0, 0, 0, 0})));
    EXPECT_EQ(upstream.reached(), 1u);
  }
}

TEST(SsrfDestinations, SocksNamesOfTheFullLengthAreReadWhole) {
  RecordingUpstream upstream;
  ASSERT_TRUE(upstream.ready());
  const std::string suffix = ".allowed.test";
  std::string longest(255 - suffix.size(), 'a');
  for (size_t i = 63; i < longest.size(); i += 64) longest[i] = '.';
  longest += suffix;
  ASSERT_EQ(longest.size(), 255u);
  const std::string other = std::string(255, 'b');
  RecordingResolver resolver({{longest, "127.0.0.1"}, {longest.substr(0, 254), "127.0.0.1"}});
  Proxies proxies(std::vector<std::string>{"*.allowed.test"});
  EXPECT_EQ(socks_exchange(proxies.socks_port(), 3, longest, upstream.port()), kRepNotAllowed);
  // All 255 bytes, and the port after them, reached the resolver.
  EXPECT_EQ(resolver.take(), (std::vector<std::pair<std::string, uint16_t>>{{longest, upstream.port()}}));
  EXPECT_EQ(socks_exchange(proxies.socks_port(), 3, other, upstream.port()), kRepNotAllowed);
  EXPECT_TRUE(resolver.take().empty());
  // A length byte promising more than is sent: the proxy waits, then the client gives up.
  {
    UniqueFd fd = testing::connect_tcp(testing::loopback(proxies.socks_port()));
    std::string msg = testing::as_text(testing::bytes({5, 1, 0, 5, 1, 0, 3, 255}));
    msg += longest.substr(0, 100);
    ASSERT_TRUE(testing::send_text(fd.get(), msg));
    ::shutdown(fd.get(), SHUT_WR);
    EXPECT_EQ(testing::read_to_end(fd.get()), testing::as_text(testing::bytes({5, 0})));
  }
  EXPECT_TRUE(resolver.take().empty());
  EXPECT_EQ(upstream.reached(), 0u);
}

TEST(SsrfDestinations, NulBytesInNamesNeverReachTheResolverOrLoopback) {
  RecordingUpstream upstream;
  ASSERT_TRUE(upstream.ready());
  const std::string nul_name("evil.test\0.allowed.test", 23);
  RecordingResolver resolver({{"evil.test", "127.0.0.1"}, {nul_name, "127.0.0.1"}});
  for (const Allow& allow : {Allow{{"*.allowed.test"}}, Allow{}}) {
    SCOPED_TRACE(allow ? "allowed by pattern" : "no allow list");
    Proxies proxies(allow);
    EXPECT_EQ(http_exchange(proxies.http_port(), with_port(nul_name, upstream.port())), "");
    EXPECT_EQ(socks_exchange(proxies.socks_port(), 3, nul_name, upstream.port()), kRepFailure);
    const std::string nul_tail("localhost\0", 10);
    EXPECT_EQ(socks_exchange(proxies.socks_port(), 3, nul_tail, upstream.port()),
              allow ? kRepNotAllowed : kRepFailure);
    EXPECT_TRUE(resolver.take().empty());
    EXPECT_EQ(upstream.reached(), 0u);
  }
}

}  // namespace
}  // namespace sandbox::proxy
