#include <gtest/gtest.h>

#include <span>

#include "sandbox_core/netfilter/filter.h"

namespace sandbox::netfilter {
namespace {

using Kind = FilterParseError::Kind;
using V = FilterVerdict;

FilterList parse_ok(const std::vector<std::string>& entries) {
  auto r = parse_filter_list(entries);
  EXPECT_TRUE(r.has_value()) << r.error().message();
  return r ? *r : FilterList{};
}

TEST(FilterText, TrimsUnicodeWhiteSpaceAndLowersAsciiOnly) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {" \t\r\n\v\fx y\t", "x y"},
      {"\xe2\x80\xa8\xc2\x85x\xe2\x81\x9f\xe1\x9a\x80", "x"},  // U+2028 U+0085 / U+205F U+1680
      {"\xe2\x80\x80\xe2\x80\x8ax\xe2\x80\xaf\xe2\x80\xa9", "x"},
      {"\xe2\x80\x8bx\xe2\x80\x8b", "\xe2\x80\x8bx\xe2\x80\x8b"},  // U+200B is not White_Space
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(trim_white_space(c.in), c.out);
  }
  EXPECT_EQ(ascii_lower("AbC.\xc3\x84Z"), "abc.\xc3\x84z");
}

// A parsed list as text, blocks first: "address/prefix" as written, "=name", "*.suffix".
std::string describe(const FilterList& list) {
  std::string out;
  for (const auto& b : list.blocks) out += " " + to_string(b.address) + "/" + std::to_string(b.prefix);
  for (const auto& n : list.names) out += (n.kind == NamePattern::Kind::Exact ? " =" : " *.") + n.text;
  return out.empty() ? out : out.substr(1);
}

TEST(FilterParse, EntriesBecomeBlocksOrNamesInOrderAndBlankOnesAreSkipped) {
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"10.0.0.0/8"}, "10.0.0.0/8"},
      {{"10.1.2.3/8"}, "10.1.2.3/8"},  // host bits kept as written
      {{" 10.0.0.0 /8"}, "10.0.0.0/8"}, {{"10.0.0.0/+8"}, "10.0.0.0/8"},
      {{"10.0.0.0/008"}, "10.0.0.0/8"}, {{"0.0.0.0/0"}, "0.0.0.0/0"},
      {{"1.2.3.4"}, "1.2.3.4/32"},      {{"2001:db8::1"}, "2001:db8::1/128"},
      {{"::/0"}, "::/0"},               {{"::ffff:1.2.3.4/96"}, "::ffff:1.2.3.4/96"},
      {{"\xc2\xa0" "Example.COM\xe3\x80\x80"}, "=example.com"},
      {{"*.Example.com"}, "*.example.com"}, {{"example.com."}, "=example.com."},
      {{"example.com:443"}, "=example.com:443"}, {{"foo/24"}, "=foo/24"},
      {{"010.0.0.1"}, "=010.0.0.1"},    {{"010.0.0.0/8"}, "=010.0.0.0/8"},
      {{"[::1]"}, "=[::1]"},            {{"", "   ", "\xe2\x80\x83"}, ""},
      {{"b.test", "2.2.2.2", "", "a.test", "1.1.1.1"}, "2.2.2.2/32 1.1.1.1/32 =b.test =a.test"},
  };
  for (const auto& [entries, want] : cases) {
    SCOPED_TRACE(entries[0]);
    EXPECT_EQ(describe(parse_ok(entries)), want);
  }
}

TEST(FilterParse, RejectsMisplacedWildcardsAndBadPrefixesOfAddresses) {
  // Each entry with the text its message shows: trimmed, and lower-cased for wildcards.
  using Shown = std::pair<const char*, const char*>;
  const Shown wildcards[] = {{"*.", "*."}, {"*", "*"}, {"*.*.com", "*.*.com"},
                             {"a*.com", "a*.com"}, {" A*.COM ", "a*.com"},
                             {"*example.com", "*example.com"}, {"a.*.com", "a.*.com"},
                             {"Host.*/8", "host.*/8"}};
  const Shown prefixes[] = {{"10.0.0.0/33", "10.0.0.0/33"}, {"fe80::/200", "fe80::/200"},
                            {"::/129", "::/129"}, {"10.0.0.0/abc", "10.0.0.0/abc"},
                            {"10.0.0.0/ 8", "10.0.0.0/ 8"}, {" 10.0.0.0/256 ", "10.0.0.0/256"},
                            {"10.0.0.0/", "10.0.0.0/"}, {"10.0.0.0/-8", "10.0.0.0/-8"},
                            {"10.0.0.0/+", "10.0.0.0/+"}, {"10.0.0.0/8/9", "10.0.0.0/8/9"}};
  for (auto [kind, list, prefix] :
       {std::tuple{Kind::BadWildcard, std::span<const Shown>(wildcards), "bad wildcard pattern: "},
        std::tuple{Kind::CidrPrefixOutOfRange, std::span<const Shown>(prefixes),
                   "CIDR prefix out of range: "}}) {
    for (auto [entry, shown] : list) {
      SCOPED_TRACE(entry);
      auto r = parse_filter_list({"ok.test", entry, "*"});  // first failure wins
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().kind, kind);
      EXPECT_EQ(r.error().message(), prefix + std::string(shown));
    }
  }
}

TEST(FilterMatch, WildcardNeedsALabelAndTrailingDotsAreIgnoredOnTheHostOnly) {
  std::vector<NamePattern> wildcard = parse_ok({"*.example.com"}).names;
  std::vector<NamePattern> exact = parse_ok({"example.com"}).names;
  std::vector<NamePattern> dotted = parse_ok({"example.com."}).names;
  struct Case {
    const char* host;
    bool wildcard, exact, dotted;
  } cases[] = {
      {"X.EXAMPLE.COM.", true, false, false},
      {"a.b.example.com", true, false, false},
      {"example.com", false, true, false},
      {"EXAMPLE.com...", false, true, false},
      {".example.com", false, false, false},
      {"xexample.com", false, false, false},
      {"example.com.evil.test", false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(match_names(wildcard, c.host), c.wildcard);
    EXPECT_EQ(match_names(exact, c.host), c.exact);
    EXPECT_EQ(match_names(dotted, c.host), c.dotted);
  }
}

TEST(FilterMatch, BlocksCompareOnlyPrefixBitsWithinOneFamily) {
  struct Case {
    const char* entry;
    const char* ip;
    bool in;
  } cases[] = {
      {"10.1.2.3/8", "10.255.0.1", true},      {"10.1.2.3/8", "11.0.0.0", false},
      {"100.64.0.0/10", "100.127.255.255", true}, {"100.64.0.0/10", "100.128.0.0", false},
      {"0.0.0.0/0", "255.255.255.255", true},  {"0.0.0.0/0", "::1", false},
      {"0.0.0.0/0", "::ffff:1.2.3.4", false},  {"::/0", "2001:db8::1", true},
      {"::/0", "1.2.3.4", false},              {"10.0.0.0/8", "::ffff:10.1.1.1", false},
      {"1.2.3.4", "1.2.3.4", true},            {"1.2.3.4", "1.2.3.5", false},
      {"2001:db8::/33", "2001:db8:7fff::1", true}, {"2001:db8::/33", "2001:db8:8000::", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.entry) + " contains " + c.ip);
    EXPECT_EQ(address_in_blocks(parse_ok({c.entry}).blocks, *parse_ip(c.ip)), c.in);
  }
}

// IPv6 forms that lead to an IPv4 address (mapped, NAT64 and its local-use /48, 6to4,
// compatible) are denied by that address; a deny entry in mapped form denies the plain
// address and its other forms.
TEST(FilterMatch, DenyBlocksCatchEveryFormOfADeniedIpv4Address) {
  const char* md = "169.254.169.254";
  const char* mapped = "::ffff:169.254.169.254";
  struct Case {
    const char* entry;
    const char* ip;
    bool denied;
  } cases[] = {
      {md, mapped, true},           {"10.0.0.0/8", "::ffff:10.9.8.7", true},
      {md, "::169.254.169.254", true}, {md, "64:ff9b::a9fe:a9fe", true},
      {md, "64:ff9b:1:ab::a9fe:a9fe", true}, {md, "2002:a9fe:a9fe::", true},
      {md, "::ffff:169.254.169.253", false}, {mapped, md, true},
      {mapped, "64:ff9b::a9fe:a9fe", true},  {"::ffff:10.0.0.0/104", "10.1.2.3", true},
      {"::ffff:10.0.0.0/104", "11.1.2.3", false}, {"::/0", "192.0.2.1", false},
      {"::/0", "2001:db8::1", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.entry) + " denies " + c.ip);
    EXPECT_EQ(address_in_deny_blocks(parse_ok({c.entry}).blocks, *parse_ip(c.ip)), c.denied);
  }
}

TEST(FilterCheck, VerdictsFollowDenyFirstThenAllow) {
  using Allow = std::optional<std::vector<std::string>>;
  struct Case {
    std::vector<std::string> deny;
    Allow allow;
    const char* host;
    V verdict;
  } cases[] = {
      // No allow list, nothing denied: everything passes.
      {{}, std::nullopt, "anything.test", V::Allow},
      {{}, std::nullopt, "10.0.0.1", V::Allow},
      // Deny wins over a matching allow entry.
      {{"*.example.com"}, Allow{{"api.example.com"}}, "api.example.com", V::DeniedByDenyList},
      {{"10.0.0.0/8"}, Allow{{"10.0.0.0/8"}}, "10.1.1.1", V::DeniedByDenyList},
      // Deny names are not consulted for an address, deny blocks not for a name.
      {{"10.0.0.1"}, std::nullopt, "ten.test", V::Allow},
      {{"ten.test"}, std::nullopt, "10.0.0.1", V::Allow},
      // Allow side stays family-strict.
      {{}, Allow{{"10.0.0.0/8"}}, "10.1.1.1", V::Allow},
      {{}, Allow{{"10.0.0.0/8"}}, "::ffff:10.1.1.1", V::NotInAllowList},
      {{}, Allow{{"0.0.0.0/0"}}, "example.com", V::NotInAllowList},
      // Allow names never admit an address.
      {{}, Allow{{"example.com", "*.example.com"}}, "10.0.0.1", V::NotInAllowList},
      // Present but empty (only blank entries): nothing is admitted.
      {{}, Allow{{"  "}}, "example.com", V::NotInAllowList},
      // Names: case and trailing dots through check_host.
      {{}, Allow{{"*.example.com"}}, "X.EXAMPLE.COM.", V::Allow},
      // Text that only starts with an address, or is bracketed, is a name.
      {{"10.0.0.1"}, Allow{{"10.0.0.1.nip.test"}}, "10.0.0.1.nip.test", V::Allow},
      {{"::1"}, Allow{{"[::1]"}}, "[::1]", V::Allow},
      {{"010.0.0.1"}, std::nullopt, "010.0.0.1", V::DeniedByDenyList},
      {{}, Allow{{"*.example.com", "example.com"}}, "evil.com:1@127.0.0.1", V::NotInAllowList},
      // A trailing space makes a name (SOCKS5 domains carry it); the entry is trimmed.
      {{}, Allow{{"127.0.0.1 "}}, "127.0.0.1 ", V::NotInAllowList},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    NetworkFilter f;
    f.deny = parse_ok(c.deny);
    if (c.allow) f.allow = parse_ok(*c.allow);
    EXPECT_EQ(check_host(f, c.host), c.verdict);
    if (auto ip = parse_ip(c.host)) {
      EXPECT_EQ(check_address(f, *ip), c.verdict);
    }
  }
}

}  // namespace
}  // namespace sandbox::netfilter
