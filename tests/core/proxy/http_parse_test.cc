// Pure parts of the HTTP proxy and the proxy environment variables.
#include <gtest/gtest.h>

#include "sandbox_core/proxy/http.h"
#include "sandbox_core/proxy/proxy.h"

namespace sandbox::proxy {
namespace {

TEST(ConnectTarget, ParsesHostAndPortOrNothing) {
  struct Case {
    std::string target;
    std::optional<ConnectTarget> want;
  } cases[] = {
      {"example.com:443", ConnectTarget{"example.com", 443}},
      {"[::1]:443", ConnectTarget{"::1", 443}},
      {"[not-checked]:80", ConnectTarget{"not-checked", 80}},
      {"::1:443", ConnectTarget{"::1", 443}},  // unbracketed: split at the last colon
      {":443", ConnectTarget{"", 443}},
      {"h:+443", ConnectTarget{"h", 443}},
      {"h:0", ConnectTarget{"h", 0}},
      {"h:65535", ConnectTarget{"h", 65535}},
      {"h:00080", ConnectTarget{"h", 80}},
      {"example.com", std::nullopt},
      {"h:", std::nullopt},
      {"h:-1", std::nullopt},
      {"h:+", std::nullopt},
      {"h:65536", std::nullopt},
      {"h:99999999999999999999", std::nullopt},
      {"h:44a", std::nullopt},
      {"h: 44", std::nullopt},
      {"[::1]", std::nullopt},
      {"[::1]:", std::nullopt},
      {"[::1]443", std::nullopt},
      {"[::1:443", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    EXPECT_EQ(parse_connect_target(c.target), c.want);
  }
}

TEST(RequestLine, SplitsOnRunsOfUnicodeWhiteSpace) {
  struct Case {
    std::string line;
    std::optional<std::pair<std::string, std::string>> want;
  } cases[] = {
      {"CONNECT a:1 HTTP/1.1\r\n", std::pair{"CONNECT", "a:1"}},
      {"  \tCONNECT   a:1\n", std::pair{"CONNECT", "a:1"}},
      {"CONNECT\xC2\xA0" "a:1\xE2\x80\x83x\r\n", std::pair{"CONNECT", "a:1"}},  // NBSP, EM SPACE
      {"CONNECT a:1", std::pair{"CONNECT", "a:1"}},
      {"CONNECT\r\n", std::nullopt},
      {" \r\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    auto got = split_request_line(c.line);
    ASSERT_EQ(got.has_value(), c.want.has_value());
    if (got) {
      EXPECT_EQ(got->method, c.want->first);
      EXPECT_EQ(got->target, c.want->second);
    }
  }
  EXPECT_EQ(trim_end_white_space("CONNECT a:1 HTTP/1.1 \xE3\x80\x80\r\n"), "CONNECT a:1 HTTP/1.1");
}

TEST(RequestLine, ConnectMethodIgnoresAsciiCaseOnly) {
  for (const char* m : {"CONNECT", "connect", "Connect", "cOnNeCt"}) EXPECT_TRUE(is_connect_method(m)) << m;
  for (const char* m : {"GET", "CONNECTX", "CONNEC", "", "CONNECT\xC4\xB0"})
    EXPECT_FALSE(is_connect_method(m)) << m;
}

TEST(HttpResponses, ForbiddenCarriesTheBodyLength) {
  EXPECT_EQ(forbidden_response(deny_list_body("example.com")),
            "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: 56\r\n"
            "Connection: close\r\n\r\nexample.com is blocked by the sandbox network deny-list\n");
  EXPECT_EQ(allow_list_body("::1").size(), 45u);
  EXPECT_EQ(deny_listed_address_body("m.test", "169.254.169.254"),
            "m.test resolves to a deny-listed address (169.254.169.254)\n");
  EXPECT_EQ(kResponseTunnelOpen.size(), 39u);
  EXPECT_EQ(kResponseMethodNotAllowed.size(), 54u);
  EXPECT_EQ(kResponseBadGateway.size(), 66u);
}

TEST(ProxyEnv, EightVariablesInFixedOrder) {
  auto names = [](const std::vector<ProxyEnvVar>& vars) {
    std::vector<std::string> out;
    for (const auto& v : vars) out.push_back(std::string(v.name) + "=" + v.value);
    return out;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(names(build_proxy_env("http://127.0.0.1:1", "socks5h://127.0.0.1:2")),
            (V{"HTTPS_PROXY=http://127.0.0.1:1", "HTTP_PROXY=http://127.0.0.1:1",
               "https_proxy=http://127.0.0.1:1", "http_proxy=http://127.0.0.1:1",
               "ALL_PROXY=socks5h://127.0.0.1:2", "all_proxy=socks5h://127.0.0.1:2",
               "NO_PROXY=127.0.0.1,localhost", "no_proxy=127.0.0.1,localhost"}));
  auto no_socks = build_proxy_env("not a url", std::nullopt);
  EXPECT_EQ(no_socks[4].value, "not a url");
  EXPECT_EQ(no_socks[5].value, "not a url");
  auto empty_socks = build_proxy_env("h", "");
  EXPECT_EQ(empty_socks[4].value, "");
  EXPECT_EQ(empty_socks[5].value, "");
}

}  // namespace
}  // namespace sandbox::proxy
