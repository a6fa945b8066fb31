// A refusal through either proxy never opens an upstream connection, over real loopback
// listeners. Names resolve only through a recording fake resolver, and "reached" is what
// a loopback upstream actually accepted. Every address a case could be wrongly admitted to
// is a loopback one, so even a failing case sends nothing off this host.
#include <netinet/in.h>

#include "proxy/proxy_test_support.h"

namespace sandbox::proxy {
namespace {

using netfilter::IpAddress;
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

// The request's REP code, or -1 when the proxy closed without a reply. Literals go as
// ATYP 1 or 4, names as ATYP 3.
int socks_exchange(const Proxies& p, const std::string& host, uint16_t port) {
  UniqueFd fd = testing::connect_tcp(testing::loopback(p.socks->local_addr().port));
  EXPECT_TRUE(testing::send_text(fd.get(), testing::socks_request(host, port, 0)));
  std::string got = testing::read_to_end(fd.get());
  if (got.size() < 12) return -1;
  EXPECT_EQ(got.substr(0, 2), testing::raw({5, 0}));
  return static_cast<uint8_t>(got[3]);
}

constexpr int kRepFailure = 1, kRepNotAllowed = 2;

// The answers each refusal gets: HTTP's exact bytes ("" = closed without a response) and
// the SOCKS5 reply code (-1 = closed without a reply).
struct RefusalCase {
  const char* what;
  Allow allow;
  std::vector<std::string> deny;
  std::string host;
  std::string http;
  int rep;
  bool looked_up;
};

// Whatever the admission outcome, a refusal is answered before any upstream connection is
// made; the control shows that an admitted destination is counted where it arrives. Which
// destinations each rule refuses is proven on the admission sequence itself (netfilter
// tests); the handler tables map every outcome to its answer.
TEST(SsrfDestinations, RefusalsNeverConnectWhileAnAllowBlockDoes) {
  RecordingUpstream upstream;
  ASSERT_TRUE(upstream.ready());
  testing::FakeResolver resolver(
      {{"svc.test", "127.0.0.1"}, {"svc6.test", "::1"}, {"mapped.test", "::ffff:127.0.0.1"}});
  const std::vector<RefusalCase> refusals = {
      {"deny-listed name", std::nullopt, {"svc.test"}, "svc.test",
       forbidden("svc.test is blocked by the sandbox network deny-list\n"), kRepNotAllowed, false},
      {"deny-listed literal", std::nullopt, {"127.0.0.0/8"}, "127.0.0.1",
       forbidden("127.0.0.1 is blocked by the sandbox network deny-list\n"), kRepNotAllowed, false},
      {"not in the allow list", Allow{{"other.test"}}, {}, "::1",
       forbidden("::1 is not in the sandbox network allow-list\n"), kRepNotAllowed, false},
      {"resolves into a deny block", std::nullopt, {"::1"}, "svc6.test",
       forbidden("svc6.test resolves to a deny-listed address (::1)\n"), kRepNotAllowed, true},
      {"resolves inward", Allow{{"*.test"}}, {}, "mapped.test",
       forbidden("mapped.test resolves to a disallowed internal address (::ffff:127.0.0.1)\n"),
       kRepNotAllowed, true},
      {"does not resolve", std::nullopt, {}, "gone.test", "", kRepFailure, true},
  };
  for (const auto& c : refusals) {
    SCOPED_TRACE(c.what);
    Proxies proxies(c.allow, c.deny);
    const testing::Lookups expected =
        c.looked_up ? testing::Lookups{{c.host, upstream.port()}} : testing::Lookups{};
    EXPECT_EQ(http_exchange(proxies, host_port(c.host, upstream.port())), c.http);
    EXPECT_EQ(resolver.take(), expected);
    EXPECT_EQ(socks_exchange(proxies, c.host, upstream.port()), c.rep);
    EXPECT_EQ(resolver.take(), expected);
    EXPECT_EQ(upstream.reached(), 0u) << "a refused destination was connected to";
  }
  Proxies proxies(std::vector<std::string>{"*.test", "127.0.0.0/8", "::1"});
  for (const std::string host : {"svc.test", "svc6.test", "127.0.0.1", "::1"}) {
    SCOPED_TRACE(host);
    auto http = testing::open_tunnel(testing::Kind::Http, proxies.http->local_addr().port, host,
                                     upstream.port());
    EXPECT_TRUE(http.valid());
    EXPECT_EQ(upstream.reached(), 1u);
    auto socks = testing::open_tunnel(testing::Kind::Socks, proxies.socks->local_addr().port, host,
                                      upstream.port());
    EXPECT_TRUE(socks.valid());
    EXPECT_EQ(upstream.reached(), 1u);
  }
}

}  // namespace
}  // namespace sandbox::proxy
