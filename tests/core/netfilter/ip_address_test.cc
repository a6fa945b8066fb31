#include <gtest/gtest.h>
#include <netinet/in.h>

#include "sandbox_core/netfilter/ip_address.h"

namespace sandbox::netfilter {
namespace {

TEST(IpAddressText, Ipv4GrammarIsStrict) {
  struct Case {
    const char* text;
    bool ok;
  } cases[] = {
      {"0.0.0.0", true},     {"255.255.255.255", true}, {"1.2.3.4", true},
      {"010.0.0.1", false},  {"00.0.0.0", false},       {"1.2.3", false},
      {"1.2.3.4.5", false},  {"256.0.0.1", false},      {"1.2.3.0004", false},
      {" 1.2.3.4", false},   {"1.2.3.4 ", false},       {"1.2.3.", false},
      {"1..2.3", false},     {"+1.2.3.4", false},       {"0x1.2.3.4", false},
      {"", false},           {"1.2.3.4/8", false},      {"1.2.3.-4", false},
      // Spellings a C library reads as 127.0.0.1: to the filter they are names.
      {"2130706433", false}, {"0x7f000001", false},     {"127.1", false},
      {"0177.0.0.1", false}, {"127.0.0.1.", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto ip = parse_ipv4(c.text);
    ASSERT_EQ(ip.has_value(), c.ok);
    EXPECT_EQ(parse_ip(c.text), ip);
    if (c.ok) {
      EXPECT_EQ(to_string(*ip), c.text);
    }
  }
  EXPECT_EQ(parse_ipv4("1.2.3.4"), IpAddress::v4(1, 2, 3, 4));
}

TEST(IpAddressText, Ipv6ParsesAndPrintsInCanonicalForm) {
  struct Case {
    const char* text;
    const char* canonical;
  } cases[] = {
      {"::", "::"},
      {"2001:DB8::1", "2001:db8::1"},
      {"2001:0db8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
      {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
      {"::2:3:4:5:6:7:8", "0:2:3:4:5:6:7:8"},
      {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},
      {"1:0:2:3:4:5:6:7", "1:0:2:3:4:5:6:7"},
      {"::FFFF:a00:1", "::ffff:10.0.0.1"},
      {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto ip = parse_ipv6(c.text);
    ASSERT_TRUE(ip.has_value());
    EXPECT_FALSE(ip->is_v4());
    EXPECT_EQ(to_string(*ip), c.canonical);
    EXPECT_EQ(parse_ipv6(to_string(*ip)), ip);
  }
}

TEST(IpAddressText, Ipv6RejectsMalformedBracketedAndZonedText) {
  const char* cases[] = {
      "",          ":",           ":::",        "1:::2",           "1::2::3",
      ":1::",      "1::2:",       "1:2:3:4:5:6:7", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7:8::",
      "::1:2:3:4:5:6:7:8", "12345::", "g::",     "[::1]",           "fe80::1%en0",
      "::ffff:010.0.0.1", "::1.2.3.4:5", "1.2.3.4::", "::ffff:1.2.3", " ::1",
      "1:2:3:4:5:6:7:1.2.3.4", "1.2.3.4",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parse_ipv6(text).has_value());
  }
}

TEST(IpAddress, MappedV4OnlyForFfffPrefix) {
  EXPECT_EQ(parse_ip("::ffff:1.2.3.4")->mapped_v4(), IpAddress::v4(1, 2, 3, 4));
  EXPECT_FALSE(parse_ip("::1.2.3.4")->mapped_v4().has_value());
  EXPECT_FALSE(parse_ip("1::ffff:1.2.3.4")->mapped_v4().has_value());
  EXPECT_FALSE(IpAddress::v4(1, 2, 3, 4).mapped_v4().has_value());
}

TEST(IpAddress, EmbeddedV4ComesFromEachFormsOwnBits) {
  const std::pair<const char*, const char*> cases[] = {
      {"::ffff:1.2.3.4", "1.2.3.4"},         {"64:ff9b::102:304", "1.2.3.4"},
      {"64:ff9b:1:ab:cd::102:304", "1.2.3.4"}, {"2002:102:304:5::6", "1.2.3.4"},
      {"::1.2.3.4", "1.2.3.4"},              {"::2", "0.0.0.2"},
      {"::", nullptr},                       {"::1", nullptr},
      {"64:ff9b::1:102:304", nullptr},       {"64:ff9b:2::102:304", nullptr},
      {"2003:102:304::", nullptr},           {"::1:102:304", nullptr},
      {"1.2.3.4", nullptr},                  {"2001:db8::102:304", nullptr},
  };
  for (const auto& [text, v4] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(parse_ip(text)->embedded_v4(), v4 ? parse_ipv4(v4) : std::nullopt);
  }
}

TEST(SocketAddressConversion, RoundTripsThroughSockaddr) {
  for (const char* text : {"127.0.0.1", "::1", "2001:db8::7"}) {
    SCOPED_TRACE(text);
    SocketAddress addr{*parse_ip(text), 8443};
    sockaddr_storage ss;
    socklen_t len = to_sockaddr(addr, ss);
    EXPECT_EQ(len, addr.ip.is_v4() ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    EXPECT_EQ(from_sockaddr(reinterpret_cast<sockaddr*>(&ss), len), addr);
    EXPECT_FALSE(from_sockaddr(reinterpret_cast<sockaddr*>(&ss), len - 1).has_value());
  }
  EXPECT_EQ(to_string(SocketAddress{IpAddress::v4(1, 2, 3, 4), 80}), "1.2.3.4:80");
  EXPECT_EQ(to_string(SocketAddress{*parse_ip("::1"), 443}), "[::1]:443");
}

}  // namespace
}  // namespace sandbox::netfilter
