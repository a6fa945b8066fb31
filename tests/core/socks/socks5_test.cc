// SOCKS5: pure wire decoding and the handler driven on a socketpair (replies, refusals,
// events). The listener and pump are covered with the HTTP proxy's in proxy/runtime_test.
#include "proxy/proxy_test_support.h"
#include "sandbox_core/socks/socks5.h"

namespace sandbox::socks {
namespace {

using testing::Allow;
using testing::raw;
using testing::socks_reply;

// Fixed-extent views over test bytes, as the decoders take them.
template <size_t N>
std::span<const std::byte, N> fixed(const std::string& s) {
  return std::span<const std::byte, N>(reinterpret_cast<const std::byte*>(s.data()), N);
}
std::span<const std::byte> view(const std::string& s) {
  return {reinterpret_cast<const std::byte*>(s.data()), s.size()};
}

TEST(Socks5Wire, DecodesFieldsAndEncodesTenByteReplies) {
  for (Reply rep : {Reply::Succeeded, Reply::GeneralFailure, Reply::NotAllowed,
                    Reply::ConnectionRefused, Reply::CommandNotSupported,
                    Reply::AddressTypeNotSupported}) {
    auto b = encode_reply(rep);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.data()), b.size()),
              socks_reply(static_cast<int>(rep)));
  }
  EXPECT_EQ(decode_greeting_head(fixed<2>(raw({4, 1}))).error().text(),
            "socks5: bad version in greeting");
  EXPECT_EQ(decode_request_head(fixed<4>(raw({6, 1, 0, 1}))).error().text(),
            "socks5: bad version in request");
  EXPECT_TRUE(offers_no_auth(view(raw({2, 1, 0}))));
  EXPECT_FALSE(offers_no_auth(view(raw({2, 1}))));
  EXPECT_FALSE(offers_no_auth({}));
  EXPECT_EQ(ipv6_host(fixed<16>(raw({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}))), "::1");
  EXPECT_EQ(ipv6_host(fixed<16>(raw({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 1}))),
            "::ffff:10.0.0.1");
  EXPECT_EQ(ipv6_host(fixed<16>(raw({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1}))),
            "2001:db8::1:0:0:1");
  EXPECT_EQ(ipv4_host(fixed<4>(raw({10, 0, 0, 1}))), "10.0.0.1");
  EXPECT_EQ(*domain_host(view("Ex.coM ")), "Ex.coM ");  // verbatim
  EXPECT_EQ(*domain_host({}), "");
  EXPECT_EQ(domain_host(view("a\xc3")).error().text(), "socks5: non-utf8 domain");
  EXPECT_EQ(decode_port(fixed<2>(raw({0x01, 0xbb}))), 443);
}

// The request alone, without the greeting that socks_request puts in front.
std::string request(const std::string& host, uint16_t port, int atyp = 3) {
  return testing::socks_request(host, port, atyp).substr(3);
}

TEST(Socks5Handshake, RepliesAndEventsForEachRequest) {
  testing::FakeResolver resolver({{"example.org", "10.0.0.5"},
                                  {"meta.test", "169.254.169.254"},
                                  {"ok.test", "127.0.0.1"}});
  testing::EchoServer echo;
  const uint16_t refused = testing::closed_port();
  const std::string hello = raw({5, 1, 0}), selected = raw({5, 0});
  const Allow only_org = Allow{{"example.org"}};
  struct Case {
    const char* name;
    Allow allow;
    std::vector<std::string> deny;
    std::string input;
    std::string output;
    std::vector<std::string> event;  // message, then the other values; empty: no event
  } cases[] = {
      {"IPv4 not in allow list", only_org, {}, hello + request("127.0.0.1", 80, 1),
       selected + socks_reply(2), {"socks5 DENIED (not in allow-list)", "127.0.0.1", "80"}},
      {"no-auth offered second", only_org, {}, raw({5, 2, 2, 0}) + request("127.0.0.1", 80, 1),
       selected + socks_reply(2), {"socks5 DENIED (not in allow-list)"}},
      {"no acceptable method", std::nullopt, {}, raw({5, 1, 2}), raw({5, 0xff}), {}},
      {"no methods", std::nullopt, {}, raw({5, 0}), raw({5, 0xff}), {}},
      {"bad greeting version", std::nullopt, {}, raw({4, 1, 0}), "",
       {"socks5 connection ended: socks5: bad version in greeting"}},
      {"bad request version", std::nullopt, {}, hello + raw({4, 1, 0, 1}), selected,
       {"socks5 connection ended: socks5: bad version in request"}},
      {"BIND", std::nullopt, {}, hello + raw({5, 2, 0, 1, 1, 2, 3, 4, 0, 80}),
       selected + socks_reply(7), {}},
      {"UDP ASSOCIATE", std::nullopt, {}, hello + raw({5, 3, 0, 1}), selected + socks_reply(7), {}},
      {"address type 2", std::nullopt, {}, hello + raw({5, 1, 0, 2}), selected + socks_reply(8), {}},
      {"literal sent as domain, deny-listed", std::nullopt, {"10.0.0.0/8"},
       hello + request("10.0.0.1", 443), selected + socks_reply(2),
       {"socks5 DENIED (deny-list)", "10.0.0.1", "443"}},
      {"literal sent as domain, not allowed", only_org, {}, hello + request("10.0.0.1", 1),
       selected + socks_reply(2), {"socks5 DENIED (not in allow-list)", "10.0.0.1", "1"}},
      {"IPv6 text form", only_org, {}, hello + request("::1", 22, 4), selected + socks_reply(2),
       {"socks5 DENIED (not in allow-list)", "::1", "22"}},
      {"allowed name in an internal range", only_org, {}, hello + request("example.org", 443),
       selected + socks_reply(2),
       {"socks5 DENIED: resolves into an internal range", "example.org", "443", "10.0.0.5"}},
      {"name resolving into a deny-listed block", std::nullopt, {"169.254.169.254"},
       hello + request("meta.test", 80), selected + socks_reply(2),
       {"socks5 DENIED: resolves into a deny-listed address", "meta.test", "80",
        "169.254.169.254"}},
      {"unresolvable name", std::nullopt, {}, hello + request("nowhere.test", 443),
       selected + socks_reply(1),
       {"socks5 resolve failed: failed to lookup address information: Name does not resolve",
        "nowhere.test", "443"}},
      {"upstream refuses", std::nullopt, {}, hello + request("127.0.0.1", refused, 1),
       selected + socks_reply(5),
       {"socks5 upstream connect failed: " + os_error_text(ECONNREFUSED), "127.0.0.1",
        std::to_string(refused)}},
      {"non-UTF-8 domain", std::nullopt, {}, hello + request("\xff", 80), selected,
       {"socks5 connection ended: socks5: non-utf8 domain"}},
      {"closed after method selection", std::nullopt, {}, hello, selected,
       {"socks5 connection ended: failed to fill whole buffer"}},
      {"admitted, data sent with the request", Allow{{"ok.test", "127.0.0.1"}}, {},
       hello + request("ok.test", echo.port()) + "early",
       selected + socks_reply(0) + "early[eof]",
       {"socks5 ALLOW, opening upstream", "ok.test", std::to_string(echo.port())}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::CaptureScope capture;
    EXPECT_EQ(testing::drive_handler(&handle_socks_connection, c.allow, c.deny, c.input), c.output);
    if (c.event.empty()) {
      EXPECT_TRUE(capture.sink().events().empty());
      continue;
    }
    auto events = capture.sink().with_message(c.event[0]);
    ASSERT_EQ(events.size(), 1u);
    const auto& ev = events[0];
    EXPECT_EQ(ev.target, "sandbox_core::socks");
    const bool debug = c.event[0].starts_with("socks5 connection ended") ||
                       c.event[0].starts_with("socks5 ALLOW");
    EXPECT_EQ(ev.level, debug ? events::Level::Debug : events::Level::Warn);
    EXPECT_EQ(ev.fields[0], "message");
    if (c.event.size() == 1) continue;
    std::vector<std::string> want_fields = {"message", "host", "port", "resolved"};
    want_fields.resize(c.event.size());
    EXPECT_EQ(ev.fields, want_fields);
    EXPECT_EQ(ev.values, c.event);
  }
  EXPECT_EQ(resolver.take(), (testing::Lookups{{"example.org", 443}, {"meta.test", 80},
                                               {"nowhere.test", 443}, {"ok.test", echo.port()}}));
}

}  // namespace
}  // namespace sandbox::socks
