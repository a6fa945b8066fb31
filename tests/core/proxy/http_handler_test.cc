// The CONNECT handler driven directly on a socketpair: exact responses, refusals and the
// diagnostic events with their fields.
#include <sys/socket.h>

#include "proxy/proxy_test_support.h"
#include "sandbox_core/base/io_error.h"
#include "sandbox_core/proxy/http.h"

namespace sandbox::proxy {
namespace {

using testing::CaptureScope;

// Sends `request`, ends the client's write side, runs the handler to completion on this
// thread and returns everything the client received up to end of stream.
std::string exchange(std::shared_ptr<const netfilter::NetworkFilter> filter,
                     const std::string& request) {
  int sv[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  UniqueFd client(sv[0]);
  testing::set_recv_timeout(client.get(), 20);
  EXPECT_TRUE(testing::send_text(client.get(), request));
  ::shutdown(client.get(), SHUT_WR);
  handle_http_connection(std::move(filter), UniqueFd(sv[1]));
  return testing::read_to_end(client.get());
}

TEST(HttpConnectHandler, AnswersEachRequestWithItsExactResponseAndEvent) {
  testing::FakeResolver resolver({{"example.org", "10.0.0.5"},
                                  {"meta.test", "169.254.169.254"}});
  testing::EchoServer echo;
  const std::string up = "127.0.0.1:" + std::to_string(echo.port());
  const std::string refused = "127.0.0.1:" + std::to_string(testing::closed_port());
  using Allow = std::optional<std::vector<std::string>>;
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
       forbidden_response("example.com is blocked by the sandbox network deny-list\n"),
       {"proxy DENIED (deny-list)", "example.com", "443"}},
      {"lower-case method, bracketed IPv6", Allow{{"example.org"}}, {},
       "connect [::1]:443 HTTP/1.1\r\n\r\n",
       "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: 45\r\n"
       "Connection: close\r\n\r\n::1 is not in the sandbox network allow-list\n",
       {"proxy DENIED (not in allow-list)", "::1", "443"}},
      {"allowed name in an internal range", Allow{{"example.org"}}, {},
       "CONNECT example.org:443 HTTP/1.1\r\n\r\n",
       forbidden_response("example.org resolves to a disallowed internal address (10.0.0.5)\n"),
       {"proxy DENIED: resolves into an internal range", "example.org", "443", "10.0.0.5"}},
      {"name resolving into a deny-listed block", std::nullopt, {"169.254.169.254"},
       "CONNECT meta.test:80 HTTP/1.1\r\n\r\n",
       forbidden_response("meta.test resolves to a deny-listed address (169.254.169.254)\n"),
       {"proxy DENIED: resolves into a deny-listed address", "meta.test", "80",
        "169.254.169.254"}},
      {"not CONNECT", std::nullopt, {}, "GET http://example.com/ HTTP/1.1\r\n\r\n",
       "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n",
       {"proxy got request", "GET http://example.com/ HTTP/1.1"}},
      {"upstream refuses", std::nullopt, {}, "CONNECT " + refused + " HTTP/1.1\r\n\r\n",
       "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
       {"proxy upstream connect failed: " + os_error_text(ECONNREFUSED), "127.0.0.1",
        refused.substr(10)}},
      {"early bytes behind the head", Allow{{"127.0.0.1"}}, {},
       "CONNECT " + up + " HTTP/1.1\r\nHost: x\r\n\r\nhello",
       std::string(kResponseTunnelOpen) + "hello[eof]",
       {"proxy ALLOW, opening upstream", "127.0.0.1", std::to_string(echo.port())}},
      {"head ended by end of stream", std::nullopt, {}, "CONNECT " + up + " HTTP/1.1\r\nHost: x\r\n",
       std::string(kResponseTunnelOpen) + "[eof]",
       {"proxy ALLOW (name), resolving", "127.0.0.1", std::to_string(echo.port())}},
      {"header line at the bound", std::nullopt, {"example.com"},
       "CONNECT example.com:1 HTTP/1.1\r\nX: " + std::string(8189, 'a') + "\r\n\r\n",
       forbidden_response(deny_list_body("example.com")), {"proxy DENIED (deny-list)"}},
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
      {"line over the bound", std::nullopt, {},
       "CONNECT example.com:1 HTTP/1.1\r\nX: " + std::string(8190, 'a') + "\r\n\r\n", "",
       {"proxy connection ended: request head too large"}},
      {"head over the bound", std::nullopt, {},
       "CONNECT example.com:1 HTTP/1.1\r\n" + [] {
         std::string h;
         for (int i = 0; i < 70; ++i) h += "X-Pad: " + std::string(1000, 'p') + "\r\n";
         return h;
       }() + "\r\n",
       "", {"proxy connection ended: request head too large"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CaptureScope capture;
    EXPECT_EQ(exchange(testing::shared_filter(c.allow, c.deny), c.request), c.response);
    auto events = testing::wait_for_events(capture.sink(), c.event[0]);
    ASSERT_EQ(events.size(), 1u);
    const auto& ev = events[0];
    EXPECT_EQ(ev.target, "sandbox_core::proxy");
    EXPECT_EQ(ev.level, c.event[0].starts_with("proxy DENIED") ||
                                c.event[0].starts_with("proxy upstream")
                            ? events::Level::Warn
                            : events::Level::Debug);
    EXPECT_EQ(ev.fields[0], "message");
    for (size_t i = 1; i < c.event.size(); ++i) EXPECT_EQ(ev.values.at(i), c.event[i]);
  }
  // Name-level refusals and literals never reach the resolver; two names did.
  EXPECT_EQ(resolver.calls(), 3);  // example.org, meta.test, nowhere.test
}

TEST(HttpConnectHandler, EventFieldsAreNamedInOrder) {
  testing::FakeResolver resolver({{"example.org", "10.0.0.5"}});
  CaptureScope capture;
  (void)exchange(testing::shared_filter(std::vector<std::string>{"example.org"}),
                 "CONNECT example.org:8443 HTTP/1.1\r\n\r\n");
  using V = std::vector<std::string>;
  auto fields = [&](const std::string& m) {
    auto evs = capture.sink().with_message(m);
    return evs.empty() ? V{} : evs[0].fields;
  };
  EXPECT_EQ(fields("proxy got request"), (V{"message", "request_line"}));
  EXPECT_EQ(fields("proxy ALLOW (name), resolving"), (V{"message", "host", "port"}));
  EXPECT_EQ(fields("proxy DENIED: resolves into an internal range"),
            (V{"message", "host", "port", "resolved"}));
}

}  // namespace
}  // namespace sandbox::proxy
