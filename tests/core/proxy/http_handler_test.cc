// The CONNECT handler driven directly on a socketpair: exact responses, refusals and the
// diagnostic events with their fields.
#include "proxy/proxy_test_support.h"
#include "sandbox_core/base/io_error.h"
#include "sandbox_core/proxy/http.h"

namespace sandbox::proxy {
namespace {

using testing::Allow;
using testing::forbidden;

TEST(HttpConnectHandler, AnswersEachRequestWithItsExactResponseAndEvent) {
  testing::FakeResolver resolver(
      {{"example.org", "10.0.0.5"}, {"meta.test", "169.254.169.254"}, {"evil.test", "127.0.0.1"}});
  testing::EchoServer echo;
  const std::string up = "127.0.0.1:" + std::to_string(echo.port());
  const std::string refused = "127.0.0.1:" + std::to_string(testing::closed_port());
  const std::string open = testing::kTunnelOpen;
  std::string big_head;
  for (int i = 0; i < 70; ++i) big_head += "X-Pad: " + std::string(1000, 'p') + "\r\n";
  struct Case {
    const char* name;
    Allow allow;
    std::vector<std::string> deny;
    std::string request;
    std::string response;
    std::vector<std::string> event;  // message, then the other field values in order
  } cases[] = {
      {"deny-listed name", std::nullopt, {"example.com"},
       "CONNECT example.com:443 HTTP/1.1\r\nHost: example.com:443\r\n\r\n",
       "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: 56\r\n"
       "Connection: close\r\n\r\nexample.com is blocked by the sandbox network deny-list\n",
       {"proxy DENIED (deny-list)", "example.com", "443"}},
      {"lower-case method, bracketed IPv6", Allow{{"example.org"}}, {},
       "connect [::1]:443 HTTP/1.1\r\n\r\n",
       "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: 45\r\n"
       "Connection: close\r\n\r\n::1 is not in the sandbox network allow-list\n",
       {"proxy DENIED (not in allow-list)", "::1", "443"}},
      {"allowed name in an internal range", Allow{{"example.org"}}, {},
       "CONNECT example.org:8443 HTTP/1.1\r\n\r\n",
       forbidden("example.org resolves to a disallowed internal address (10.0.0.5)\n"),
       {"proxy DENIED: resolves into an internal range", "example.org", "8443", "10.0.0.5"}},
      {"name resolving into a deny-listed block", std::nullopt, {"169.254.169.254"},
       "CONNECT meta.test:80 HTTP/1.1\r\n\r\n",
       forbidden("meta.test resolves to a deny-listed address (169.254.169.254)\n"),
       {"proxy DENIED: resolves into a deny-listed address", "meta.test", "80",
        "169.254.169.254"}},
      {"not CONNECT", std::nullopt, {}, "GET http://example.com/ HTTP/1.1\r\n\r\n",
       "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n",
       {"proxy got request", "GET http://example.com/ HTTP/1.1"}},
      {"upstream refuses", std::nullopt, {}, "CONNECT " + refused + " HTTP/1.1\r\n\r\n",
       "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
       {"proxy upstream connect failed: " + os_error_text(ECONNREFUSED), "127.0.0.1",
        refused.substr(10)}},
      // Bytes the head reader already buffered must reach the upstream.
      {"early bytes behind the head", Allow{{"127.0.0.1"}}, {},
       "CONNECT " + up + " HTTP/1.1\r\nHost: x\r\n\r\nhello", open + "hello[eof]",
       {"proxy ALLOW, opening upstream", "127.0.0.1", std::to_string(echo.port())}},
      {"head ended by end of stream", std::nullopt, {}, "CONNECT " + up + " HTTP/1.1\r\nHost: x\r\n",
       open + "[eof]", {"proxy ALLOW (name), resolving", "127.0.0.1", std::to_string(echo.port())}},
      {"header line at the bound", std::nullopt, {"example.com"},
       "CONNECT example.com:1 HTTP/1.1\r\nX: " + std::string(8189, 'a') + "\r\n\r\n",
       forbidden("example.com is blocked by the sandbox network deny-list\n"),
       {"proxy DENIED (deny-list)"}},
      {"no port", std::nullopt, {}, "CONNECT example.com HTTP/1.1\r\n\r\n", "",
       {"proxy connection ended: bad CONNECT target"}},
      {"one token", std::nullopt, {}, "CONNECT\r\n\r\n", "",
       {"proxy connection ended: malformed request line"}},
      {"nothing sent", std::nullopt, {}, "", "",
       {"proxy connection ended: client closed before sending request"}},
      {"invalid UTF-8", std::nullopt, {}, "CONNECT \xff:1 HTTP/1.1\r\n\r\n", "",
       {"proxy connection ended: stream did not contain valid UTF-8"}},
      {"unresolvable name", std::nullopt, {}, "CONNECT nowhere.test:443 HTTP/1.1\r\n\r\n", "",
       {"proxy connection ended: failed to lookup address information: Name does not resolve"}},
      // A NUL must not cut the name short on its way to the resolver.
      {"NUL in an allowed name", Allow{{"*.allowed.test"}}, {},
       "CONNECT evil.test" + std::string(1, '\0') + ".allowed.test:443 HTTP/1.1\r\n\r\n", "",
       {"proxy connection ended: nul byte found in provided data"}},
      {"line over the bound", std::nullopt, {},
       "CONNECT example.com:1 HTTP/1.1\r\nX: " + std::string(8190, 'a') + "\r\n\r\n", "",
       {"proxy connection ended: request head too large"}},
      {"head over the bound", std::nullopt, {},
       "CONNECT example.com:1 HTTP/1.1\r\n" + big_head + "\r\n", "",
       {"proxy connection ended: request head too large"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::CaptureScope capture;
    EXPECT_EQ(testing::drive_handler(&handle_http_connection, c.allow, c.deny, c.request),
              c.response);
    const bool warn = c.event[0].starts_with("proxy DENIED") || c.event[0].starts_with("proxy upstream");
    testing::expect_one_event(capture.sink(), "sandbox_core::proxy",
                              warn ? events::Level::Warn : events::Level::Debug, c.event);
  }
  // Name-level refusals and literals never reach the resolver.
  EXPECT_EQ(resolver.take(), (testing::Lookups{{"example.org", 8443}, {"meta.test", 80},
                                               {"nowhere.test", 443}}));
}

}  // namespace
}  // namespace sandbox::proxy
