// SOCKS5: the handler driven on a socketpair, which also covers the wire decoding and the
// ten-byte replies. The listener and pump are covered with the HTTP proxy's in
// proxy/runtime_test.
#include "sandbox_core/socks/socks5.h"

#include "proxy/proxy_test_support.h"

namespace sandbox::socks {
namespace {

using namespace sandbox::testing;

TEST(Socks5Handshake, RepliesAndEventsForEachRequestAndRefusalsNeverConnect) {
  std::string longest(255 - std::string(".allowed.test").size(), 'a');
  for (size_t i = 63; i < longest.size(); i += 64) longest[i] = '.';
  longest += ".allowed.test";
  const std::string nul_name("evil.test\0.allowed.test", 23);
  FakeResolver resolver({{"svc6.test", {"::1"}},
                         {"ok.test", {"127.0.0.1"}},
                         {longest, {"127.0.0.1"}},
                         {"0", {"0.0.0.0"}}});
  const std::vector<std::string> lo = {"127.0.0.0/8", "::1"};
  UniqueFd upstream = listen_on(loopback(0));
  EchoServer echo;
  const uint16_t up = bound_port(upstream.get()), refused = closed_port();
  const std::string port = std::to_string(up);
  const std::string hello = raw({5, 1, 0}), selected = raw({5, 0});
  const Allow only_org = Allow{{"example.org"}};
  const HandlerCase cases[] = {
      {"IPv4 not in allow list, no-auth offered second",
       only_org,
       {},
       raw({5, 2, 2, 0}) + socks_request("127.0.0.1", up, 1),
       selected + socks_reply(2),
       {"socks5 DENIED (not in allow-list)", "127.0.0.1", port, "not in the allow list"}},
      {"no acceptable method", std::nullopt, {}, raw({5, 1, 2}), raw({5, 0xff}), {}},
      {"bad greeting version",
       std::nullopt,
       {},
       raw({4, 1, 0}),
       "",
       {"socks5 connection ended: socks5: bad version in greeting"}},
      {"bad request version",
       std::nullopt,
       {},
       hello + raw({4, 1, 0, 1}),
       selected,
       {"socks5 connection ended: socks5: bad version in request"}},
      {"BIND",
       std::nullopt,
       {},
       hello + raw({5, 2, 0, 1, 127, 0, 0, 1, up >> 8, up & 0xff}),
       selected + socks_reply(7),
       {}},
      {"ATYP 2", std::nullopt, {}, hello + raw({5, 1, 0, 2}), selected + socks_reply(8), {}},
      {"literal sent as domain, deny-listed",
       std::nullopt,
       {"127.0.0.0/8"},
       hello + socks_request("127.0.0.1", up),
       selected + socks_reply(2),
       {"socks5 DENIED (deny-list)", "127.0.0.1", port, "in the deny list"}},
      {"IPv6 address",
       only_org,
       {},
       hello + socks_request("::1", up, 4),
       selected + socks_reply(2),
       {"socks5 DENIED (not in allow-list)", "::1", port, "not in the allow list"}},
      {"domain kept verbatim",
       only_org,
       {},
       hello + socks_request("Ex.coM ", up),
       selected + socks_reply(2),
       {"socks5 DENIED (not in allow-list)", "Ex.coM ", port, "not in the allow list"}},
      {"name resolving into a deny-listed block",
       std::nullopt,
       {"::1"},
       hello + socks_request("svc6.test", up),
       selected + socks_reply(2),
       {"socks5 DENIED: resolves into a deny-listed address", "svc6.test", port, "::1",
        "resolves to a deny-listed address (::1)"}},
      // Unspecified destinations reach this host's loopback: refused as internal past a
      // loopback deny list, in every address type and spelling.
      {"unspecified IPv4",
       std::nullopt,
       lo,
       hello + socks_request("0.0.0.0", up, 1),
       selected + socks_reply(2),
       {"socks5 DENIED: resolves into an internal range", "0.0.0.0", port, "0.0.0.0",
        "resolves to an internal address (0.0.0.0)"}},
      {"unspecified IPv6",
       std::nullopt,
       lo,
       hello + socks_request("::", up, 4),
       selected + socks_reply(2),
       {"socks5 DENIED: resolves into an internal range", "::", port,
        "::", "resolves to an internal address (::)"}},
      {"unspecified, mapped",
       std::nullopt,
       lo,
       hello + socks_request("::ffff:0:0", up, 4),
       selected + socks_reply(2),
       {"socks5 DENIED: resolves into an internal range", "::ffff:0.0.0.0", port, "::ffff:0.0.0.0",
        "resolves to an internal address (::ffff:0.0.0.0)"}},
      {"unspecified as the domain 0",
       std::nullopt,
       lo,
       hello + socks_request("0", up),
       selected + socks_reply(2),
       {"socks5 DENIED: resolves into an internal range", "0", port, "0.0.0.0",
        "resolves to an internal address (0.0.0.0)"}},
      {"unspecified as a domain, mapped",
       Allow{{"::/0"}},
       {},
       hello + socks_request("::ffff:0:0", up),
       selected + socks_reply(2),
       {"socks5 DENIED: resolves into an internal range", "::ffff:0:0", port, "::ffff:0.0.0.0",
        "resolves to an internal address (::ffff:0.0.0.0)"}},
      {"unspecified, not in the allow list first",
       only_org,
       lo,
       hello + socks_request("0.0.0.0", up, 1),
       selected + socks_reply(2),
       {"socks5 DENIED (not in allow-list)", "0.0.0.0", port, "not in the allow list"}},
      {"unresolvable name",
       std::nullopt,
       {},
       hello + socks_request("nowhere.test", up),
       selected + socks_reply(1),
       {"socks5 resolve failed: " + kUnresolved, "nowhere.test", port, "could not resolve"}},
      {"upstream refuses",
       std::nullopt,
       {},
       hello + socks_request("127.0.0.1", refused, 1),
       selected + socks_reply(5),
       {"socks5 upstream connect failed: " + os_error_text(ECONNREFUSED), "127.0.0.1",
        std::to_string(refused)}},
      {"allowed name of the full length, in an internal range",
       Allow{{"*.allowed.test"}},
       {},
       hello + socks_request(longest, up),
       selected + socks_reply(2),
       {"socks5 DENIED: resolves into an internal range", longest, port, "127.0.0.1",
        "resolves to an internal address (127.0.0.1)"}},
      {"domain shorter than its length byte",
       std::nullopt,
       {},
       hello + raw({5, 1, 0, 3, 255}) + longest.substr(0, 100),
       selected,
       {"socks5 connection ended: failed to fill whole buffer"}},
      // A NUL must not cut the name short on its way to the resolver.
      {"NUL in an allowed name",
       Allow{{"*.allowed.test"}},
       {},
       hello + socks_request(nul_name, up),
       selected + socks_reply(1),
       {"socks5 resolve failed: nul byte found in provided data", nul_name, port,
        "could not resolve"}},
      {"non-UTF-8 domain",
       std::nullopt,
       {},
       hello + socks_request("\xff", up),
       selected,
       {"socks5 connection ended: socks5: non-utf8 domain"}},
      {"admitted, data sent with the request",
       Allow{{"ok.test", "127.0.0.1"}},
       {},
       hello + socks_request("ok.test", echo.port()) + "early",
       selected + socks_reply(0) + "early[eof]",
       {"socks5 ALLOW, opening upstream", "ok.test", std::to_string(echo.port())}},
  };
  expect_handled(&handle_socks_connection, "sandbox_core::socks", upstream.get(), cases);
}

}  // namespace
}  // namespace sandbox::socks
