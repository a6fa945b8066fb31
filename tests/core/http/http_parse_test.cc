// Pure parts of the HTTP proxy.
#include <gtest/gtest.h>

#include "sandbox_core/http/http.h"

namespace sandbox::http {
namespace {

using proxy::ConnectTarget;
using proxy::parse_connect_target;

TEST(ConnectTarget, ParsesHostAndPortOrNothing) {
  const std::pair<const char*, ConnectTarget> cases[] = {
      {"example.com:443", {"example.com", 443}},
      {"[::1]:443", {"::1", 443}},
      {"[not-checked]:80", {"not-checked", 80}},
      {"::1:443", {"::1", 443}},  // unbracketed: split at the last colon
      {":443", {"", 443}},
      {"h:+443", {"h", 443}},
      {"h:0", {"h", 0}},
      {"h:65535", {"h", 65535}},
      {"h:00080", {"h", 80}},
      {"evil.com:1@127.0.0.1:2", {"evil.com:1@127.0.0.1", 2}},
  };
  for (const auto& [target, want] : cases) EXPECT_EQ(parse_connect_target(target), want) << target;
  for (const char* bad :
       {"example.com", "h:", "h:-1", "h:+", "h:65536", "h:99999999999999999999", "h:44a", "h: 44",
        "[::1]", "[::1]:", "[::1]443", "[::1:443", "[[::1]]:1", "[::1]x:1", "h:0x50", "h:800000"})
    EXPECT_EQ(parse_connect_target(bad), std::nullopt) << bad;
}

TEST(RequestLine, SplitsOnRunsOfUnicodeWhiteSpaceAndKnowsConnect) {
  for (const char* line : {"CONNECT a:1 HTTP/1.1\r\n", "  \tCONNECT   a:1\n", "CONNECT a:1",
                           "CONNECT\xC2\xA0"
                           "a:1\xE2\x80\x83x\r\n"}) {  // NBSP, EM SPACE
    SCOPED_TRACE(line);
    auto got = split_request_line(line);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->method, "CONNECT");
    EXPECT_EQ(got->target, "a:1");
  }
  for (const char* bad : {"CONNECT\r\n", " \r\n", ""}) EXPECT_FALSE(split_request_line(bad)) << bad;
  EXPECT_EQ(trim_end_white_space("CONNECT a:1 HTTP/1.1 \xE3\x80\x80\r\n"), "CONNECT a:1 HTTP/1.1");
  // The method ignores ASCII case only.
  for (const char* m : {"CONNECT", "connect", "cOnNeCt"}) EXPECT_TRUE(is_connect_method(m)) << m;
  for (const char* m : {"GET", "CONNECTX", "CONNEC", "", "CONNECT\xC4\xB0"})
    EXPECT_FALSE(is_connect_method(m)) << m;
}

}  // namespace
}  // namespace sandbox::http
