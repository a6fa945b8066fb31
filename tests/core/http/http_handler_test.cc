// The CONNECT handler driven directly on a socketpair: each outcome's exact response and
// event, and no refusal ever connects.
#include "proxy/proxy_test_support.h"
#include "sandbox_core/base/io_error.h"
#include "sandbox_core/http/http.h"

namespace sandbox::http {
namespace {

using namespace sandbox::testing;

TEST(HttpConnectHandler, AnswersEachRequestWithItsExactResponseAndEventAndRefusalsNeverConnect) {
  FakeResolver resolver(
      {{"svc6.test", {"::1"}}, {"mapped.test", {"::ffff:127.0.0.1"}}, {"0", {"0.0.0.0"}}});
  const std::vector<std::string> lo = {"127.0.0.0/8", "::1"};
  UniqueFd upstream = listen_on(loopback(0));
  EchoServer echo;
  const std::string port = std::to_string(bound_port(upstream.get()));
  const std::string up = "127.0.0.1:" + std::to_string(echo.port());
  const std::string refused = "127.0.0.1:" + std::to_string(closed_port());
  std::string big_head;
  for (int i = 0; i < 70; ++i) big_head += "X-Pad: " + std::string(1000, 'p') + "\r\n";
  // A CONNECT for `target` and what follows its request line.
  auto connect = [](const std::string& target, const std::string& rest = "\r\n") {
    return "CONNECT " + target + " HTTP/1.1\r\n" + rest;
  };
  const HandlerCase cases[] = {
      {"deny-listed name",
       std::nullopt,
       {"internal.test"},
       connect("internal.test:" + port, "Host: internal.test\r\n\r\n"),
       forbidden("internal.test is blocked by the sandbox network deny-list\n"),
       {"proxy DENIED (deny-list)", "internal.test", port, "in the deny list"}},
      {"lower-case method, bracketed IPv6",
       Allow{{"example.org"}},
       {},
       "connect [::1]:" + port + " HTTP/1.1\r\n\r\n",
       forbidden("::1 is not in the sandbox network allow-list\n"),
       {"proxy DENIED (not in allow-list)", "::1", port, "not in the allow list"}},
      {"allowed name in an internal range",
       Allow{{"*.test"}},
       {},
       connect("mapped.test:" + port),
       forbidden("mapped.test resolves to a disallowed internal address (::ffff:127.0.0.1)\n"),
       {"proxy DENIED: resolves into an internal range", "mapped.test", port, "::ffff:127.0.0.1",
        "resolves to an internal address (::ffff:127.0.0.1)"}},
      {"name resolving into a deny block",
       std::nullopt,
       {"::1"},
       connect("svc6.test:" + port),
       forbidden("svc6.test resolves to a deny-listed address (::1)\n"),
       {"proxy DENIED: resolves into a deny-listed address", "svc6.test", port, "::1",
        "resolves to a deny-listed address (::1)"}},
      // Unspecified destinations reach this host's loopback: refused as internal past a
      // loopback deny list, however spelled.
      {"unspecified address",
       std::nullopt,
       lo,
       connect("0.0.0.0:" + port),
       forbidden("0.0.0.0 resolves to a disallowed internal address (0.0.0.0)\n"),
       {"proxy DENIED: resolves into an internal range", "0.0.0.0", port, "0.0.0.0",
        "resolves to an internal address (0.0.0.0)"}},
      {"unspecified as 0",
       std::nullopt,
       lo,
       connect("0:" + port),
       forbidden("0 resolves to a disallowed internal address (0.0.0.0)\n"),
       {"proxy DENIED: resolves into an internal range", "0", port, "0.0.0.0",
        "resolves to an internal address (0.0.0.0)"}},
      {"unspecified IPv6",
       std::nullopt,
       lo,
       connect("[::]:" + port),
       forbidden(":: resolves to a disallowed internal address (::)\n"),
       {"proxy DENIED: resolves into an internal range", "::", port,
        "::", "resolves to an internal address (::)"}},
      {"unspecified, mapped",
       std::nullopt,
       lo,
       connect("[::ffff:0.0.0.0]:" + port),
       forbidden("::ffff:0.0.0.0 resolves to a disallowed internal address (::ffff:0.0.0.0)\n"),
       {"proxy DENIED: resolves into an internal range"}},
      {"unspecified, mapped and short",
       Allow{{"0.0.0.0/0", "::/0"}},
       {},
       connect("[::ffff:0:0]:" + port),
       forbidden("::ffff:0:0 resolves to a disallowed internal address (::ffff:0.0.0.0)\n"),
       {"proxy DENIED: resolves into an internal range"}},
      {"unspecified, deny list first",
       std::nullopt,
       {"0.0.0.0"},
       connect("0.0.0.0:" + port),
       forbidden("0.0.0.0 is blocked by the sandbox network deny-list\n"),
       {"proxy DENIED (deny-list)", "0.0.0.0", port, "in the deny list"}},
      {"not CONNECT",
       std::nullopt,
       {},
       "GET http://127.0.0.1:" + port + "/ HTTP/1.1\r\n\r\n",
       "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n",
       {"proxy got request", "GET http://127.0.0.1:" + port + "/ HTTP/1.1"}},
      {"upstream refuses",
       std::nullopt,
       {},
       connect(refused),
       "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
       {"proxy upstream connect failed: " + os_error_text(ECONNREFUSED), "127.0.0.1",
        refused.substr(10)}},
      // Bytes the head reader already buffered must reach the upstream.
      {"early bytes behind the head",
       Allow{{"127.0.0.1"}},
       {},
       connect(up, "Host: x\r\n\r\nhello"),
       kTunnelOpen + "hello[eof]",
       {"proxy ALLOW, opening upstream", "127.0.0.1", std::to_string(echo.port())}},
      {"head ended by end of stream",
       std::nullopt,
       {},
       connect(up, "Host: x\r\n"),
       kTunnelOpen + "[eof]",
       {"proxy ALLOW (name), resolving", "127.0.0.1", std::to_string(echo.port())}},
      {"header line at the bound",
       std::nullopt,
       {"internal.test"},
       connect("internal.test:" + port, "X: " + std::string(8189, 'a') + "\r\n\r\n"),
       forbidden("internal.test is blocked by the sandbox network deny-list\n"),
       {"proxy DENIED (deny-list)"}},
      {"no port",
       std::nullopt,
       {},
       connect("internal.test"),
       "",
       {"proxy connection ended: bad CONNECT target"}},
      {"invalid UTF-8",
       std::nullopt,
       {},
       connect("\xff:1"),
       "",
       {"proxy connection ended: stream did not contain valid UTF-8"}},
      {"unresolvable name",
       std::nullopt,
       {},
       connect("nowhere.test:" + port),
       "",
       {"proxy DENIED: resolve failed: " + kUnresolved, "nowhere.test", port,
        "could not resolve"}},
      // A NUL must not cut the name short on its way to the resolver.
      {"NUL in an allowed name",
       Allow{{"*.allowed.test"}},
       {},
       connect("evil.test" + std::string(1, '\0') + ".allowed.test:" + port),
       "",
       {"proxy DENIED: resolve failed: nul byte found in provided data",
        "evil.test" + std::string(1, '\0') + ".allowed.test", port, "could not resolve"}},
      {"line over the bound",
       std::nullopt,
       {},
       connect("internal.test:" + port, "X: " + std::string(8190, 'a') + "\r\n\r\n"),
       "",
       {"proxy connection ended: request head too large"}},
      {"head over the bound",
       std::nullopt,
       {},
       connect("internal.test:" + port, big_head + "\r\n"),
       "",
       {"proxy connection ended: request head too large"}},
  };
  expect_handled(&handle_http_connection, "sandbox_core::proxy", upstream.get(), cases);
}

}  // namespace
}  // namespace sandbox::http
