// SOCKS5: pure wire decoding, the handler driven on a socketpair (replies, refusals,
// events), and the proxy through its loopback listener.
#include <sys/socket.h>

#include "proxy/proxy_test_support.h"
#include "sandbox_core/socks/socks5.h"

namespace sandbox::socks {
namespace {

using testing::as_text;
using testing::bytes;
using testing::CaptureScope;

std::string reply(int rep) { return as_text(bytes({5, rep, 0, 1, 0, 0, 0, 0, 0, 0})); }

TEST(Socks5Wire, DecodesFieldsAndEncodesTenByteReplies) {
  for (Reply rep : {Reply::Succeeded, Reply::GeneralFailure, Reply::NotAllowed,
                    Reply::ConnectionRefused, Reply::CommandNotSupported,
                    Reply::AddressTypeNotSupported}) {
    auto b = encode_reply(rep);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.data()), b.size()),
              reply(static_cast<int>(rep)));
  }
  auto g = bytes({4, 1});
  EXPECT_EQ(decode_greeting_head(std::span<const std::byte, 2>(g.data(), 2)).error().text(),
            "socks5: bad version in greeting");
  auto r = bytes({6, 1, 0, 1});
  EXPECT_EQ(decode_request_head(std::span<const std::byte, 4>(r.data(), 4)).error().text(),
            "socks5: bad version in request");
  EXPECT_TRUE(offers_no_auth(bytes({2, 1, 0})));
  EXPECT_FALSE(offers_no_auth(bytes({2, 1})));
  EXPECT_FALSE(offers_no_auth({}));

  struct V6 {
    std::vector<std::byte> raw;
    std::string text;
  } v6[] = {
      {bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), "::1"},
      {bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 1}), "::ffff:10.0.0.1"},
      {bytes({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1}), "2001:db8::1:0:0:1"},
  };
  for (const auto& c : v6) EXPECT_EQ(ipv6_host(std::span<const std::byte, 16>(c.raw.data(), 16)), c.text);
  auto v4 = bytes({10, 0, 0, 1});
  EXPECT_EQ(ipv4_host(std::span<const std::byte, 4>(v4.data(), 4)), "10.0.0.1");
  EXPECT_EQ(*domain_host(bytes({'E', 'x', '.', 'c', 'o', 'M', ' '})), "Ex.coM ");  // verbatim
  EXPECT_EQ(*domain_host({}), "");
  EXPECT_EQ(domain_host(bytes({'a', 0xc3})).error().text(), "socks5: non-utf8 domain");
  auto port = bytes({0x01, 0xbb});
  EXPECT_EQ(decode_port(std::span<const std::byte, 2>(port.data(), 2)), 443);
}

// Sends `input`, half-closes, runs the handler on this thread, returns all received.
std::string exchange(std::shared_ptr<const netfilter::NetworkFilter> filter,
                     const std::string& input) {
  int sv[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  UniqueFd client(sv[0]);
  testing::set_recv_timeout(client.get(), 20);
  EXPECT_TRUE(testing::send_text(client.get(), input));
  ::shutdown(client.get(), SHUT_WR);
  handle_socks_connection(std::move(filter), UniqueFd(sv[1]));
  return testing::read_to_end(client.get());
}

std::string request_v4(int a, int b, int c, int d, uint16_t port) {
  return as_text(bytes({5, 1, 0, 1, a, b, c, d, port >> 8, port & 0xff}));
}
std::string request_domain(const std::string& host, uint16_t port) {
  return as_text(bytes({5, 1, 0, 3, int(host.size())})) + host +
         as_text(bytes({port >> 8, port & 0xff}));
}

TEST(Socks5Handshake, RepliesAndEventsForEachRequest) {
  testing::FakeResolver resolver({{"example.org", "10.0.0.5"},
                                  {"meta.test", "169.254.169.254"},
                                  {"ok.test", "127.0.0.1"}});
  testing::EchoServer echo;
  const uint16_t refused = testing::closed_port();
  const std::string hello = as_text(bytes({5, 1, 0}));
  const std::string selected = as_text(bytes({5, 0}));
  using Allow = std::optional<std::vector<std::string>>;
  const Allow only_org = Allow{{"example.org"}};
  struct Case {
    const char* name;
    Allow allow;
    std::vector<std::string> deny;
    std::string input;
    std::string output;
    std::vector<std::string> event;  // message, then the other values; empty: no event
  } cases[] = {
      {"IPv4 not in allow list", only_org, {}, hello + request_v4(127, 0, 0, 1, 80),
       selected + reply(2), {"socks5 DENIED (not in allow-list)", "127.0.0.1", "80"}},
      {"no-auth offered second", only_org, {},
       as_text(bytes({5, 2, 2, 0})) + request_v4(127, 0, 0, 1, 80), selected + reply(2),
       {"socks5 DENIED (not in allow-list)"}},
      {"no acceptable method", std::nullopt, {}, as_text(bytes({5, 1, 2})),
       as_text(bytes({5, 0xff})), {}},
      {"no methods", std::nullopt, {}, as_text(bytes({5, 0})), as_text(bytes({5, 0xff})), {}},
      {"bad greeting version", std::nullopt, {}, as_text(bytes({4, 1, 0})), "",
       {"socks5 connection ended: socks5: bad version in greeting"}},
      {"bad request version", std::nullopt, {}, hello + as_text(bytes({4, 1, 0, 1})), selected,
       {"socks5 connection ended: socks5: bad version in request"}},
      {"BIND", std::nullopt, {}, hello + as_text(bytes({5, 2, 0, 1, 1, 2, 3, 4, 0, 80})),
       selected + reply(7), {}},
      {"UDP ASSOCIATE", std::nullopt, {}, hello + as_text(bytes({5, 3, 0, 1})),
       selected + reply(7), {}},
      {"address type 2", std::nullopt, {}, hello + as_text(bytes({5, 1, 0, 2})),
       selected + reply(8), {}},
      {"literal sent as domain, deny-listed", std::nullopt, {"10.0.0.0/8"},
       hello + request_domain("10.0.0.1", 443), selected + reply(2),
       {"socks5 DENIED (deny-list)", "10.0.0.1", "443"}},
      {"literal sent as domain, not allowed", only_org, {}, hello + request_domain("10.0.0.1", 1),
       selected + reply(2), {"socks5 DENIED (not in allow-list)", "10.0.0.1", "1"}},
      {"IPv6 text form", only_org, {},
       hello + as_text(bytes({5, 1, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 22})),
       selected + reply(2), {"socks5 DENIED (not in allow-list)", "::1", "22"}},
      {"allowed name in an internal range", only_org, {}, hello + request_domain("example.org", 443),
       selected + reply(2),
       {"socks5 DENIED: resolves into an internal range", "example.org", "443", "10.0.0.5"}},
      {"name resolving into a deny-listed block", std::nullopt, {"169.254.169.254"},
       hello + request_domain("meta.test", 80), selected + reply(2),
       {"socks5 DENIED: resolves into a deny-listed address", "meta.test", "80",
        "169.254.169.254"}},
      {"unresolvable name", std::nullopt, {}, hello + request_domain("nowhere.test", 443),
       selected + reply(1),
       {"socks5 resolve failed: failed to lookup address information: Name does not resolve",
        "nowhere.test", "443"}},
      {"upstream refuses", std::nullopt, {}, hello + request_v4(127, 0, 0, 1, refused),
       selected + reply(5),
       {"socks5 upstream connect failed: " + os_error_text(ECONNREFUSED), "127.0.0.1",
        std::to_string(refused)}},
      {"non-UTF-8 domain", std::nullopt, {}, hello + request_domain("\xff", 80), selected,
       {"socks5 connection ended: socks5: non-utf8 domain"}},
      {"closed after method selection", std::nullopt, {}, hello, selected,
       {"socks5 connection ended: failed to fill whole buffer"}},
      {"admitted, data sent with the request", Allow{{"ok.test", "127.0.0.1"}}, {},
       hello + request_domain("ok.test", echo.port()) + "early", selected + reply(0) + "early[eof]",
       {"socks5 ALLOW, opening upstream", "ok.test", std::to_string(echo.port())}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CaptureScope capture;
    EXPECT_EQ(exchange(testing::shared_filter(c.allow, c.deny), c.input), c.output);
    auto all = capture.sink().events();
    if (c.event.empty()) {
      EXPECT_TRUE(all.empty());
      continue;
    }
    auto events = capture.sink().with_message(c.event[0]);
    ASSERT_EQ(events.size(), 1u);
    const auto& ev = events[0];
    EXPECT_EQ(ev.target, "sandbox_core::socks");
    bool debug = c.event[0].starts_with("socks5 connection ended") ||
                 c.event[0].starts_with("socks5 ALLOW");
    EXPECT_EQ(ev.level, debug ? events::Level::Debug : events::Level::Warn);
    EXPECT_EQ(ev.fields[0], "message");
    if (c.event.size() > 1) {
      std::vector<std::string> want_fields = {"message", "host", "port", "resolved"};
      want_fields.resize(c.event.size());
      EXPECT_EQ(ev.fields, want_fields);
      EXPECT_EQ(ev.values, c.event);
    }
  }
  EXPECT_EQ(resolver.calls(), 4);  // example.org, meta.test, nowhere.test, ok.test
}

std::unique_ptr<proxy::ProxyHandle> start_socks(std::optional<std::vector<std::string>> allow) {
  auto p = proxy::start_socks5_proxy(testing::make_filter(std::move(allow)));
  EXPECT_TRUE(p.has_value());
  return p ? std::move(*p) : nullptr;
}

TEST(Socks5Proxy, LocalhostByNameCarriesLargeDataAndHalfClose) {
  // The real resolver, for localhost only; the upstream listens where it points.
  netfilter::DnsCache::instance().clear_for_testing();
  auto local = netfilter::resolve_destination("localhost", 0);
  ASSERT_TRUE(local.has_value());
  testing::EchoServer echo(local->ip);
  auto proxy = start_socks(std::nullopt);
  auto fd = testing::connect_tcp(testing::loopback(proxy->local_addr().port));
  ASSERT_TRUE(testing::send_text(fd.get(), as_text(bytes({5, 1, 0})) +
                                               request_domain("localhost", echo.port())));
  ASSERT_EQ(testing::read_n(fd.get(), 12), as_text(bytes({5, 0})) + reply(0));
  const std::string payload = testing::pattern(3 << 18, 2);
  EXPECT_TRUE(testing::round_trip(fd.get(), payload) == payload + "[eof]");
}

TEST(Socks5Proxy, StopLeavesTunnelsRunningAndClosesThePort) {
  testing::EchoServer echo;
  auto proxy = start_socks({{"127.0.0.1"}});
  const uint16_t port = proxy->local_addr().port;
  auto tunnel = testing::open_socks_tunnel(port, echo.addr());
  ASSERT_TRUE(tunnel.valid());
  EXPECT_TRUE(testing::wait_for_thread("socks5-proxy"));
  EXPECT_TRUE(testing::wait_for_thread("proxy-pump-c2u"));
  proxy.reset();
  EXPECT_TRUE(testing::wait_until_refused(port));
  EXPECT_EQ(testing::round_trip(tunnel.get(), "after stop"), "after stop[eof]");
}

TEST(Socks5Proxy, AcceptRecoversFromDescriptorExhaustionWithOneWarning) {
  testing::expect_child_succeeds([] {
    return testing::accept_exhaustion_child(&proxy::start_socks5_proxy,
                                            "socks5 proxy accept failed: ",
                                            as_text(bytes({5, 1, 0})), 2);
  });
}

TEST(Socks5Load, ThousandConcurrentTunnelsKeepEveryByte) {
  testing::EchoServer echo;
  auto proxy = start_socks({{"127.0.0.1"}});
  const uint16_t port = proxy->local_addr().port;
  testing::exercise_many_tunnels([&] { return testing::open_socks_tunnel(port, echo.addr()); },
                                 1000);
}

}  // namespace
}  // namespace sandbox::socks
