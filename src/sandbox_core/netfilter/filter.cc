// Allow/deny entry parsing and matching. Pure code over immutable data: connection threads
// call the matchers concurrently without locks, so nothing here keeps state.
#include "sandbox_core/netfilter/filter.h"

#include <algorithm>

namespace sandbox::netfilter {

namespace {

// Length of the Unicode White_Space character encoded at the start of `s`, or 0.
size_t white_space_prefix(std::string_view s) {
  if (s.empty()) return 0;
  auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char c = b(0);
  if ((c >= 0x09 && c <= 0x0d) || c == 0x20) return 1;
  if (c == 0xc2 && s.size() >= 2 && (b(1) == 0x85 || b(1) == 0xa0)) return 2;
  if (s.size() < 3) return 0;
  if (c == 0xe1 && b(1) == 0x9a && b(2) == 0x80) return 3;  // U+1680
  if (c == 0xe2 && b(1) == 0x80 &&
      ((b(2) >= 0x80 && b(2) <= 0x8a) || b(2) == 0xa8 || b(2) == 0xa9 || b(2) == 0xaf)) {
    return 3;  // U+2000..U+200A, U+2028, U+2029, U+202F
  }
  if (c == 0xe2 && b(1) == 0x81 && b(2) == 0x9f) return 3;  // U+205F
  if (c == 0xe3 && b(1) == 0x80 && b(2) == 0x80) return 3;  // U+3000
  return 0;
}

// Length of the White_Space character encoded at the end of `s`, or 0. UTF-8 is
// self-synchronising, so testing the last one, two and three bytes is exact.
size_t white_space_suffix(std::string_view s) {
  for (size_t n = 1; n <= 3 && n <= s.size(); ++n) {
    if (white_space_prefix(s.substr(s.size() - n)) == n) return n;
  }
  return 0;
}

// The prefix part of "addr/prefix": an unsigned decimal in 0..255, one leading '+' and
// leading zeros accepted, nothing else (no spaces, no '-').
std::optional<unsigned> parse_prefix(std::string_view text) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > 255) return std::nullopt;
  }
  return value;
}

bool block_contains(const CidrBlock& block, const IpAddress& ip) {
  if (block.address.family != ip.family) return false;
  unsigned prefix = std::min<unsigned>(block.prefix, static_cast<unsigned>(ip.size()) * 8);
  unsigned whole = prefix / 8;
  for (unsigned i = 0; i < whole; ++i) {
    if (block.address.bytes[i] != ip.bytes[i]) return false;
  }
  unsigned rest = prefix % 8;
  if (rest == 0) return true;
  auto mask = static_cast<uint8_t>(0xff << (8 - rest));
  return (block.address.bytes[whole] & mask) == (ip.bytes[whole] & mask);
}

}  // namespace

std::string FilterParseError::message() const {
  switch (kind) {
    case Kind::BadWildcard:
      return "bad wildcard pattern: " + entry;
    case Kind::CidrPrefixOutOfRange:
      return "CIDR prefix out of range: " + entry;
  }
  return entry;
}

std::string_view trim_white_space(std::string_view text) {
  while (size_t n = white_space_prefix(text)) text.remove_prefix(n);
  while (size_t n = white_space_suffix(text)) text.remove_suffix(n);
  return text;
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

Result<NamePattern, FilterParseError> parse_name_pattern(std::string_view text) {
  std::string lowered = ascii_lower(trim_white_space(text));
  auto bad = [&] {
    return fail(FilterParseError{FilterParseError::Kind::BadWildcard, lowered});
  };
  std::string_view view = lowered;
  if (view.substr(0, 2) == "*.") {
    std::string_view rest = view.substr(2);
    if (rest.empty() || rest.find('*') != std::string_view::npos) return bad();
    return NamePattern{NamePattern::Kind::Wildcard, std::string(rest)};
  }
  if (view.find('*') != std::string_view::npos) return bad();
  return NamePattern{NamePattern::Kind::Exact, lowered};
}

Result<FilterList, FilterParseError> parse_filter_list(const std::vector<std::string>& entries) {
  FilterList list;
  for (const std::string& raw : entries) {
    std::string_view entry = trim_white_space(raw);
    if (entry.empty()) continue;

    if (size_t slash = entry.find('/'); slash != std::string_view::npos) {
      auto address = parse_ip(trim_white_space(entry.substr(0, slash)));
      if (address) {
        // An address with an unusable prefix is refused rather than kept as a name that
        // matches nothing: a typo in a deny list must not silently disable the rule.
        auto prefix = parse_prefix(entry.substr(slash + 1));
        if (!prefix || *prefix > address->size() * 8) {
          return fail(FilterParseError{FilterParseError::Kind::CidrPrefixOutOfRange,
                                       std::string(entry)});
        }
        list.blocks.push_back(CidrBlock{*address, static_cast<uint8_t>(*prefix)});
        continue;
      }
    }

    if (auto address = parse_ip(entry)) {
      list.blocks.push_back(CidrBlock{*address, static_cast<uint8_t>(address->size() * 8)});
      continue;
    }

    auto pattern = parse_name_pattern(entry);
    if (!pattern) return fail(std::move(pattern).error());
    list.names.push_back(std::move(*pattern));
  }
  return list;
}

bool match_names(const std::vector<NamePattern>& patterns, std::string_view host) {
  while (!host.empty() && host.back() == '.') host.remove_suffix(1);
  std::string normalised = ascii_lower(host);
  std::string_view h = normalised;
  for (const NamePattern& p : patterns) {
    if (p.kind == NamePattern::Kind::Exact) {
      if (h == p.text) return true;
      continue;
    }
    const std::string& suffix = p.text;
    // At least one label character, then '.', then the suffix: "x.example.com" hits,
    // ".example.com" and "xexample.com" do not.
    if (h.size() >= suffix.size() + 2 && h.ends_with(suffix) &&
        h[h.size() - suffix.size() - 1] == '.') {
      return true;
    }
  }
  return false;
}

bool address_in_blocks(const std::vector<CidrBlock>& blocks, const IpAddress& ip) {
  return std::any_of(blocks.begin(), blocks.end(),
                     [&](const CidrBlock& b) { return block_contains(b, ip); });
}

namespace {

// An IPv4 address against the deny blocks: its own family's blocks, and IPv6 blocks written
// in mapped form (::ffff:169.254.169.254, or a prefix of 96 or more under ::ffff:0:0/96),
// which name IPv4 addresses. A shorter IPv6 block (::/0, say) denies IPv6 only.
bool v4_in_deny_blocks(const std::vector<CidrBlock>& blocks, const IpAddress& v4) {
  if (address_in_blocks(blocks, v4)) return true;
  IpAddress mapped = IpAddress::v6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff});
  std::copy_n(v4.bytes.begin(), 4, mapped.bytes.begin() + 12);
  return std::any_of(blocks.begin(), blocks.end(), [&](const CidrBlock& b) {
    return b.prefix >= 96 && b.address.mapped_v4() && block_contains(b, mapped);
  });
}

}  // namespace

bool address_in_deny_blocks(const std::vector<CidrBlock>& blocks, const IpAddress& ip) {
  if (ip.is_v4()) return v4_in_deny_blocks(blocks, ip);
  if (address_in_blocks(blocks, ip)) return true;
  // A dual-stack socket connecting to ::ffff:a.b.c.d reaches a.b.c.d, and a NAT64, 6to4 or
  // compatible address can lead to its IPv4 address too.
  auto v4 = ip.embedded_v4();
  return v4 && v4_in_deny_blocks(blocks, *v4);
}

bool address_explicitly_allowed(const NetworkFilter& filter, const IpAddress& ip) {
  return filter.allow && address_in_blocks(filter.allow->blocks, ip);
}

FilterVerdict check_address(const NetworkFilter& filter, const IpAddress& ip) {
  if (address_in_deny_blocks(filter.deny.blocks, ip)) return FilterVerdict::DeniedByDenyList;
  if (!filter.allow) return FilterVerdict::Allow;
  // Allow-side matching stays family-strict; name patterns never admit an address.
  return address_in_blocks(filter.allow->blocks, ip) ? FilterVerdict::Allow
                                                     : FilterVerdict::NotInAllowList;
}

FilterVerdict check_host(const NetworkFilter& filter, std::string_view host) {
  if (auto ip = parse_ip(host)) return check_address(filter, *ip);
  if (match_names(filter.deny.names, host)) return FilterVerdict::DeniedByDenyList;
  if (!filter.allow) return FilterVerdict::Allow;
  return match_names(filter.allow->names, host) ? FilterVerdict::Allow
                                                : FilterVerdict::NotInAllowList;
}

}  // namespace sandbox::netfilter
