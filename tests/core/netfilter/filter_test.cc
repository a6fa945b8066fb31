#include "sandbox_core/netfilter/filter.h"

#include <gtest/gtest.h>

#include <span>

#include "support/capture_sink.h"

namespace sandbox::netfilter {
namespace {

using Kind = FilterParseError::Kind;
using V = FilterVerdict;

FilterList parse_ok(const std::vector<std::string>& entries) {
  auto r = parse_filter_list(entries);
  EXPECT_TRUE(r.has_value()) << r.error().message();
  return r ? *r : FilterList{};
}

// A parsed list as text, blocks first: "address/prefix" as written, "=name", "*.suffix".
std::string describe(const FilterList& list) {
  std::string out;
  for (const auto& b : list.blocks)
    out += " " + to_string(b.address) + "/" + std::to_string(b.prefix);
  for (const auto& n : list.names)
    out += (n.kind == NamePattern::Kind::Exact ? " =" : " *.") + n.text;
  return out.empty() ? out : out.substr(1);
}

TEST(FilterParse, EntriesBecomeBlocksOrNamesInOrderAndBlankOnesAreSkipped) {
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"10.0.0.0/8"}, "10.0.0.0/8"},
      {{"10.1.2.3/8"}, "10.1.2.3/8"},  // host bits kept as written
      {{" 10.0.0.0 /8"}, "10.0.0.0/8"},
      {{"10.0.0.0/+8"}, "10.0.0.0/8"},
      {{"10.0.0.0/008"}, "10.0.0.0/8"},
      {{"0.0.0.0/0"}, "0.0.0.0/0"},
      {{"1.2.3.4"}, "1.2.3.4/32"},
      {{"2001:db8::1"}, "2001:db8::1/128"},
      {{"::/0"}, "::/0"},
      {{"::ffff:1.2.3.4/96"}, "::ffff:1.2.3.4/96"},
      // Unicode White_Space is trimmed, and only ASCII is lower-cased.
      {{"\xc2\xa0"
        "Example.COM\xe3\x80\x80"},
       "=example.com"},
      {{" \t\r\n\v\fx y\t"}, "=x y"},
      {{"\xe2\x80\xa8\xc2\x85x\xe2\x81\x9f\xe1\x9a\x80"}, "=x"},  // U+2028 U+0085 / U+205F U+1680
      {{"\xe2\x80\x80\xe2\x80\x8ax\xe2\x80\xaf\xe2\x80\xa9"}, "=x"},  // U+2000 U+200A U+202F U+2029
      {{"\xe2\x80\x8bx\xe2\x80\x8b"}, "=\xe2\x80\x8bx\xe2\x80\x8b"},  // U+200B is not White_Space
      {{"AbC.\xc3\x84Z"}, "=abc.\xc3\x84z"},
      {{"*.Example.com"}, "*.example.com"},
      {{"example.com."}, "=example.com."},
      {{"010.0.0.1"}, "=010.0.0.1"},
      {{"010.0.0.0/8"}, "=010.0.0.0/8"},
      {{"[::1]"}, "=[::1]"},
      {{"", "   ", "\xe2\x80\x83"}, ""},
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
  const Shown wildcards[] = {{"*.", "*."},
                             {"*", "*"},
                             {"*.*.com", "*.*.com"},
                             {" A*.COM ", "a*.com"},
                             {"*example.com", "*example.com"},
                             {"a.*.com", "a.*.com"},
                             {"Host.*/8", "host.*/8"}};
  const Shown prefixes[] = {{"10.0.0.0/33", "10.0.0.0/33"},   {"::/129", "::/129"},
                            {"10.0.0.0/abc", "10.0.0.0/abc"}, {" 10.0.0.0/256 ", "10.0.0.0/256"},
                            {"10.0.0.0/", "10.0.0.0/"},       {"10.0.0.0/-8", "10.0.0.0/-8"},
                            {"10.0.0.0/+", "10.0.0.0/+"},     {"10.0.0.0/8/9", "10.0.0.0/8/9"}};
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

// Entries that parse but can never match are kept as names (callers rely on [""] admitting
// nothing) and named with the reason; valid ones are not.
TEST(FilterParse, EntriesThatCanNeverMatchAreNamedWithTheirReason) {
  using I = InertEntry;
  const std::pair<const char*, std::optional<I>> cases[] = {
      {"", I::Empty},
      {" \t", I::Empty},
      {"https://example.org/", I::Scheme},
      {"*.https://x", I::Scheme},
      {"example.org/simple", I::Path},
      {"010.0.0.0/8", I::NotAnAddress},
      {"example.org:443", I::Port},
      {"*.example.org:443", I::Port},
      {"300.1.1.1", I::NotAnAddress},
      {"010.0.0.1", I::NotAnAddress},
      {"1.2.3", I::NotAnAddress},
      {"1.2.3.4.", I::NotAnAddress},
      {"*.10.1", I::NotAnAddress},
      {"0", I::NotAnAddress},
      {"exa mple.org", I::NotAHostName},
      {"a\x01"
       "b",
       I::NotAHostName},
      {"u@example.org", I::NotAHostName},
      {"[::1]", I::NotAHostName},
      {"[::1]:443", I::NotAHostName},
      {"host:", I::NotAHostName},
      {"a:b:c", I::NotAHostName},
      {"x\xc2\xa0y", I::NotAHostName},
      {"example.org.", I::TrailingDot},
      // Valid blocks, addresses, names and wildcards, as before.
      {"10.0.0.0/8", std::nullopt},
      {"::ffff:1.2.3.4", std::nullopt},
      {"2001:db8::/32", std::nullopt},
      {" Example.ORG ", std::nullopt},
      {"*.example.org", std::nullopt},
      {"_srv.x-y.example", std::nullopt},
      {"b\xc3\xbc"
       "cher.example",
       std::nullopt},
      {"10.0.0.1.nip.test", std::nullopt},
      {"1a.2b", std::nullopt},
      // The parser's own errors are its to report.
      {"a*.com", std::nullopt},
      {"10.0.0.0/33", std::nullopt},
  };
  for (const auto& [entry, why] : cases) {
    SCOPED_TRACE(entry);
    EXPECT_EQ(never_matches(entry), why);
  }
  EXPECT_EQ(never_matches_message("example.org:443", I::Port),
            "entry \"example.org:443\" can never match: it has a port; entries match every port");
}

TEST(FilterParse, TheBuilderKeepsInertEntriesAndWarnsOncePerEntry) {
  testing::CaptureScope capture;
  auto built = build_filter(std::vector<std::string>{"", "ok.test", "ok.test:443"},
                            {"https://x/", "10.0.0.0/8"});
  ASSERT_TRUE(built.has_value());
  EXPECT_EQ(describe(*built->allow), "=ok.test =ok.test:443");
  EXPECT_EQ(describe(built->deny), "10.0.0.0/8 =https://x/");
  std::vector<std::string> seen;
  for (const auto& e : capture.sink().events()) {
    EXPECT_EQ(e.level, events::Level::Warn);
    EXPECT_EQ(e.target, "sandbox_core::netfilter");
    seen.push_back(e.values[0] + " | " + e.values[1]);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "allow list: entry \"\" can never match: it is empty | ",
                      "allow list: entry \"ok.test:443\" can never match: it has a port; entries "
                      "match every port | ok.test:443",
                      "deny list: entry \"https://x/\" can never match: it has a scheme; write "
                      "the bare host name | https://x/"}));
  // The allow list is judged first; an absent one is not parsed.
  auto bad = build_filter(std::vector<std::string>{"a*.com"}, {"*"});
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().list, FilterBuildError::List::Allow);
  auto deny_only = build_filter(std::nullopt, {"*"});
  ASSERT_FALSE(deny_only.has_value());
  EXPECT_EQ(deny_only.error().list, FilterBuildError::List::Deny);
}

// Each entry against an address: as an allow block (one family only) and as a deny block.
// IPv6 forms that lead to an IPv4 address (mapped, NAT64 and its local-use /48, 6to4,
// compatible) are denied by that address; a deny entry in mapped form denies the plain
// address and its other forms.
TEST(FilterMatch, BlocksCompareOnlyPrefixBitsAndDenyBlocksCatchEveryFormOfAnIpv4Address) {
  const char* md = "169.254.169.254";
  const char* mapped = "::ffff:169.254.169.254";
  struct Case {
    const char* entry;
    const char* ip;
    bool in, denied;
  } cases[] = {
      {"10.1.2.3/8", "10.255.0.1", true, true},
      {"10.1.2.3/8", "11.0.0.0", false, false},
      {"100.64.0.0/10", "100.127.255.255", true, true},
      {"100.64.0.0/10", "100.128.0.0", false, false},
      {"0.0.0.0/0", "255.255.255.255", true, true},
      {"0.0.0.0/0", "::1", false, false},
      {"::/0", "2001:db8::1", true, true},
      {"::/0", "1.2.3.4", false, false},
      {"1.2.3.4", "1.2.3.4", true, true},
      {"1.2.3.4", "1.2.3.5", false, false},
      {"2001:db8::/33", "2001:db8:7fff::1", true, true},
      {"2001:db8::/33", "2001:db8:8000::", false, false},
      {"10.0.0.0/8", "::ffff:10.1.1.1", false, true},
      {md, "::169.254.169.254", false, true},
      {md, "64:ff9b::a9fe:a9fe", false, true},
      {md, "64:ff9b:1:ab::a9fe:a9fe", false, true},
      {md, "2002:a9fe:a9fe::", false, true},
      {md, "::ffff:169.254.169.253", false, false},
      {mapped, md, false, true},
      {mapped, "64:ff9b::a9fe:a9fe", false, true},
      {"::ffff:10.0.0.0/104", "10.1.2.3", false, true},
      {"::ffff:10.0.0.0/104", "11.1.2.3", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.entry) + " against " + c.ip);
    const auto blocks = parse_ok({c.entry}).blocks;
    EXPECT_EQ(address_in_blocks(blocks, *parse_ip(c.ip)), c.in);
    EXPECT_EQ(address_in_deny_blocks(blocks, *parse_ip(c.ip)), c.denied);
  }
}

TEST(FilterCheck, VerdictsFollowDenyFirstThenAllow) {
  using Allow = std::optional<std::vector<std::string>>;
  const Allow wildcard{{"*.example.com"}}, exact{{"example.com"}};
  const Allow all{{"*.example.com", "example.com", "example.com."}};
  struct Case {
    std::vector<std::string> deny;
    Allow allow;
    const char* host;
    V verdict;
  } cases[] = {
      // Deny wins over a matching allow entry.
      {{"*.example.com"}, Allow{{"api.example.com"}}, "api.example.com", V::DeniedByDenyList},
      {{"10.0.0.0/8"}, Allow{{"10.0.0.0/8"}}, "10.1.1.1", V::DeniedByDenyList},
      // Deny names are not consulted for an address, deny blocks not for a name.
      {{"10.0.0.1"}, std::nullopt, "ten.test", V::Allow},
      {{"ten.test"}, std::nullopt, "10.0.0.1", V::Allow},
      // Allow blocks stay family-strict and never admit a name, allow names never an address.
      {{}, Allow{{"10.0.0.0/8"}}, "10.1.1.1", V::Allow},
      {{}, Allow{{"10.0.0.0/8"}}, "::ffff:10.1.1.1", V::NotInAllowList},
      {{}, Allow{{"0.0.0.0/0"}}, "example.com", V::NotInAllowList},
      {{}, Allow{{"example.com", "*.example.com"}}, "10.0.0.1", V::NotInAllowList},
      // Present but empty (only blank entries): nothing is admitted.
      {{}, Allow{{"  "}}, "example.com", V::NotInAllowList},
      // A wildcard needs a label; trailing dots are ignored on the host only.
      {{}, wildcard, "X.EXAMPLE.COM.", V::Allow},
      {{}, wildcard, "a.b.example.com", V::Allow},
      {{}, exact, "EXAMPLE.com...", V::Allow},
      {{}, Allow{{"*.example.com", "example.com."}}, "example.com", V::NotInAllowList},
      {{}, Allow{{"example.com", "example.com."}}, "a.b.example.com", V::NotInAllowList},
      {{}, all, ".example.com", V::NotInAllowList},
      {{}, all, "xexample.com", V::NotInAllowList},
      {{}, all, "example.com.evil.test", V::NotInAllowList},
      // Text that only starts with an address, or is bracketed, is a name.
      {{"10.0.0.1"}, Allow{{"10.0.0.1.nip.test"}}, "10.0.0.1.nip.test", V::Allow},
      {{"::1"}, Allow{{"[::1]"}}, "[::1]", V::Allow},
      {{"010.0.0.1"}, std::nullopt, "010.0.0.1", V::DeniedByDenyList},
      // A trailing space makes a name (SOCKS5 domains carry it); the entry is trimmed.
      {{}, Allow{{"127.0.0.1 "}}, "127.0.0.1 ", V::NotInAllowList},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    NetworkFilter f;
    f.deny = parse_ok(c.deny);
    if (c.allow) f.allow = parse_ok(*c.allow);
    EXPECT_EQ(check_host(f, c.host), c.verdict);
  }
}

}  // namespace
}  // namespace sandbox::netfilter
