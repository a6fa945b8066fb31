// Allow/deny entry parsing and matching. Pure code over immutable data: connection threads
// call the matchers concurrently without locks, so nothing here keeps state.
#include "sandbox_core/netfilter/filter.h"

#include <algorithm>

#include "sandbox_core/base/quoted.h"
#include "sandbox_core/base/text.h"
#include "sandbox_core/events/event.h"

namespace sandbox::netfilter {

namespace {

// The prefix part of "addr/prefix": an unsigned decimal in 0..255, one leading '+' and
// leading zeros accepted, nothing else (no spaces, no '-').
std::optional<unsigned> parse_prefix(std::string_view text) { return parse_decimal(text, 255); }

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

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

Result<NamePattern, FilterParseError> parse_name_pattern(std::string_view text) {
  std::string lowered = ascii_lower(trim_white_space(text));
  auto bad = [&] { return fail(FilterParseError{FilterParseError::Kind::BadWildcard, lowered}); };
  std::string_view view = lowered;
  if (view.substr(0, 2) == "*.") {
    std::string_view rest = view.substr(2);
    if (rest.empty() || rest.find('*') != std::string_view::npos) return bad();
    return NamePattern{NamePattern::Kind::Wildcard, std::string(rest)};
  }
  if (view.find('*') != std::string_view::npos) return bad();
  return NamePattern{NamePattern::Kind::Exact, lowered};
}

namespace {

// The block a trimmed, non-blank entry names, nothing when it is a name, or the error of
// an address with an unusable prefix.
Result<std::optional<CidrBlock>, FilterParseError> entry_block(std::string_view entry) {
  if (size_t slash = entry.find('/'); slash != std::string_view::npos) {
    if (auto address = parse_ip(trim_white_space(entry.substr(0, slash)))) {
      // An address with an unusable prefix is refused rather than kept as a name that
      // matches nothing: a typo in a deny list must not silently disable the rule.
      auto prefix = parse_prefix(entry.substr(slash + 1));
      if (!prefix || *prefix > address->size() * 8) {
        return fail(
            FilterParseError{FilterParseError::Kind::CidrPrefixOutOfRange, std::string(entry)});
      }
      return std::optional<CidrBlock>(CidrBlock{*address, static_cast<uint8_t>(*prefix)});
    }
  }
  if (auto address = parse_ip(entry))
    return std::optional<CidrBlock>(CidrBlock{*address, static_cast<uint8_t>(address->size() * 8)});
  return std::optional<CidrBlock>();
}

bool is_digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Letters, digits, '-', '_' and '.', and any non-ASCII scalar that is not white space
// (internationalised names as UTF-8).
bool is_host_name_text(std::string_view s) {
  size_t pos = 0;
  while (pos < s.size()) {
    const auto c = static_cast<unsigned char>(s[pos]);
    if (c >= 0x80) {
      if (is_unicode_white_space(decode_utf8(s, pos))) return false;
      continue;
    }
    ++pos;
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_' || c == '.';
    if (!ok) return false;
  }
  return true;
}

// The last label is all digits: an address that failed the strict grammar (300.1.1.1,
// 010.0.0.1, 1.2.3), which no DNS name can be.
bool ends_in_digit_label(std::string_view name) {
  while (!name.empty() && name.back() == '.') name.remove_suffix(1);
  size_t dot = name.rfind('.');
  return is_digits(dot == std::string_view::npos ? name : name.substr(dot + 1));
}

}  // namespace

Result<FilterList, FilterParseError> parse_filter_list(const std::vector<std::string>& entries) {
  FilterList list;
  for (const std::string& raw : entries) {
    std::string_view entry = trim_white_space(raw);
    if (entry.empty()) continue;
    auto block = entry_block(entry);
    if (!block) return fail(std::move(block).error());
    if (*block) {
      list.blocks.push_back(**block);
      continue;
    }
    auto pattern = parse_name_pattern(entry);
    if (!pattern) return fail(std::move(pattern).error());
    list.names.push_back(std::move(*pattern));
  }
  return list;
}

std::optional<InertEntry> never_matches(std::string_view raw) {
  const std::string_view entry = trim_white_space(raw);
  if (entry.empty()) return InertEntry::Empty;
  auto block = entry_block(entry);
  if (!block || *block || !parse_name_pattern(entry)) return std::nullopt;
  std::string_view name = entry.starts_with("*.") ? entry.substr(2) : entry;
  if (name.find("://") != std::string_view::npos) return InertEntry::Scheme;
  const size_t slash = name.find('/');
  if (slash != std::string_view::npos) {
    const std::string_view host = name.substr(0, slash);
    const bool dotted_digits = !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
      return c == '.' || (c >= '0' && c <= '9');
    });
    return dotted_digits ? InertEntry::NotAnAddress : InertEntry::Path;
  }
  const size_t colon = name.find(':');
  if (colon != std::string_view::npos && colon > 0 && name.rfind(':') == colon &&
      is_digits(name.substr(colon + 1)) && is_host_name_text(name.substr(0, colon))) {
    return InertEntry::Port;
  }
  if (!is_host_name_text(name)) return InertEntry::NotAHostName;
  if (ends_in_digit_label(name)) return InertEntry::NotAnAddress;
  // Hosts are compared without their trailing dots; entries are kept as written.
  if (name.ends_with('.')) return InertEntry::TrailingDot;
  return std::nullopt;
}

std::string_view inert_entry_reason(InertEntry why) {
  switch (why) {
    case InertEntry::Empty:
      return "it is empty";
    case InertEntry::Scheme:
      return "it has a scheme; write the bare host name";
    case InertEntry::Path:
      return "it has a path; write the bare host name";
    case InertEntry::Port:
      return "it has a port; entries match every port";
    case InertEntry::NotAnAddress:
      return "it is not an IP address, and no host name ends in an all-digit label";
    case InertEntry::NotAHostName:
      return "it has characters that no host name has";
    case InertEntry::TrailingDot:
      return "it ends with a dot; write the name without it";
  }
  return "it can never match";
}

std::string never_matches_message(std::string_view entry, InertEntry why) {
  return "entry " + quoted_form(entry) +
         " can never match: " + std::string(inert_entry_reason(why));
}

namespace {

void warn_inert_entries(const std::vector<std::string>& entries, const char* list) {
  if (!events::enabled(events::Level::Warn)) return;
  for (const std::string& entry : entries) {
    if (auto why = never_matches(entry)) {
      SANDBOX_EVENT(events::Level::Warn, "sandbox_core::netfilter", "sandbox_core::netfilter",
                    ("message", "entry"),
                    std::string(list) + ": " + never_matches_message(entry, *why), entry);
    }
  }
}

}  // namespace

Result<NetworkFilter, FilterBuildError> build_filter(
    const std::optional<std::vector<std::string>>& allow, const std::vector<std::string>& deny) {
  NetworkFilter filter;
  // The allow list first: with both lists bad, its error is the one reported.
  if (allow) {
    auto list = parse_filter_list(*allow);
    if (!list) {
      return fail(FilterBuildError{FilterBuildError::List::Allow, std::move(list).error()});
    }
    filter.allow = std::move(*list);
  }
  auto list = parse_filter_list(deny);
  if (!list) return fail(FilterBuildError{FilterBuildError::List::Deny, std::move(list).error()});
  filter.deny = std::move(*list);
  // Inert entries are kept (callers may rely on an allow list of [""] admitting nothing),
  // but each is named, so a deny list that fails open does not do so in silence.
  if (allow) warn_inert_entries(*allow, "allow list");
  warn_inert_entries(deny, "deny list");
  return filter;
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
