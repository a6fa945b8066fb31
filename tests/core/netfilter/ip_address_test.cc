#include "sandbox_core/netfilter/ip_address.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

namespace sandbox::netfilter {
namespace {

// Text outside the strict grammars is a name to the filter: among it, the IPv4 spellings
// from "2130706433" to "127.0.0.1." are ones a C library reads as 127.0.0.1.
TEST(IpAddressText, GrammarsAreStrictAndRejectBracketsAndZones) {
  for (const char* text : {"0.0.0.0", "255.255.255.255", "1.2.3.4"}) {
    auto ip = parse_ipv4(text);
    ASSERT_TRUE(ip.has_value()) << text;
    EXPECT_EQ(parse_ip(text), ip);
    EXPECT_EQ(to_string(*ip), text);
  }
  for (const char* text : {"010.0.0.1",
                           "00.0.0.0",
                           "1.2.3",
                           "1.2.3.4.5",
                           "256.0.0.1",
                           "1.2.3.0004",
                           " 1.2.3.4",
                           "1.2.3.4 ",
                           "1.2.3.",
                           "1..2.3",
                           "+1.2.3.4",
                           "0x1.2.3.4",
                           "",
                           "1.2.3.4/8",
                           "1.2.3.-4",
                           "2130706433",
                           "0x7f000001",
                           "127.1",
                           "0177.0.0.1",
                           "127.0.0.1.",
                           ":",
                           ":::",
                           "1:::2",
                           "1::2::3",
                           ":1::",
                           "1::2:",
                           "1:2:3:4:5:6:7",
                           "1:2:3:4:5:6:7:8:9",
                           "1:2:3:4:5:6:7:8::",
                           "::1:2:3:4:5:6:7:8",
                           "12345::",
                           "g::",
                           "[::1]",
                           "fe80::1%en0",
                           "::ffff:010.0.0.1",
                           "::1.2.3.4:5",
                           "1.2.3.4::",
                           "::ffff:1.2.3",
                           " ::1",
                           "1:2:3:4:5:6:7:1.2.3.4"})
    EXPECT_FALSE(parse_ip(text)) << text;
}

TEST(IpAddressText, Ipv6ParsesAndPrintsInCanonicalForm) {
  const std::pair<const char*, const char*> cases[] = {
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
  for (const auto& [text, canonical] : cases) {
    SCOPED_TRACE(text);
    auto ip = parse_ipv6(text);
    ASSERT_TRUE(ip.has_value());
    EXPECT_FALSE(ip->is_v4());
    EXPECT_EQ(to_string(*ip), canonical);
    EXPECT_EQ(parse_ipv6(to_string(*ip)), ip);
  }
}

// Only ::ffff:a.b.c.d is mapped; every form with an IPv4 address inside is embedded.
TEST(IpAddress, MappedAndEmbeddedV4ComeFromEachFormsOwnBits) {
  struct Case {
    const char* text;
    const char* embedded;
    bool mapped;
  } cases[] = {
      {"::ffff:1.2.3.4", "1.2.3.4", true},
      {"64:ff9b::102:304", "1.2.3.4", false},
      {"64:ff9b:1:ab:cd::102:304", "1.2.3.4", false},
      {"2002:102:304:5::6", "1.2.3.4", false},
      {"::1.2.3.4", "1.2.3.4", false},
      {"::2", "0.0.0.2", false},
      {"::", nullptr, false},
      {"::1", nullptr, false},
      {"64:ff9b::1:102:304", nullptr, false},
      {"64:ff9b:2::102:304", nullptr, false},
      {"2003:102:304::", nullptr, false},
      {"::1:102:304", nullptr, false},
      {"1.2.3.4", nullptr, false},
      {"2001:db8::102:304", nullptr, false},
      {"1::ffff:1.2.3.4", nullptr, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const IpAddress ip = *parse_ip(c.text);
    EXPECT_EQ(ip.embedded_v4(), c.embedded ? parse_ipv4(c.embedded) : std::nullopt);
    EXPECT_EQ(ip.mapped_v4(), c.mapped ? ip.embedded_v4() : std::nullopt);
  }
}

// Round trips are checked on every address of FuzzCorpus.ip_text; here a short length.
TEST(SocketAddressConversion, ShortSockaddrIsRejected) {
  for (const char* text : {"127.0.0.1", "::1"}) {
    SocketAddress addr{*parse_ip(text), 8443};
    sockaddr_storage ss;
    socklen_t len = to_sockaddr(addr, ss);
    EXPECT_EQ(len, addr.ip.is_v4() ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    EXPECT_FALSE(from_sockaddr(reinterpret_cast<sockaddr*>(&ss), len - 1).has_value()) << text;
  }
}

}  // namespace
}  // namespace sandbox::netfilter
