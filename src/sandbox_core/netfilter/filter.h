// Allow/deny entries: parsing into blocks and name patterns, and the matching rules.
// Pure functions over immutable data; a NetworkFilter is read by many threads at once.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sandbox_core/base/result.h"
#include "sandbox_core/base/text.h"
#include "sandbox_core/netfilter/ip_address.h"

namespace sandbox::netfilter {

struct CidrBlock {
  IpAddress address;  // as written; host bits beyond the prefix are kept
  uint8_t prefix = 0;
  bool operator==(const CidrBlock&) const = default;
};

struct NamePattern {
  enum class Kind : uint8_t { Exact, Wildcard } kind = Kind::Exact;
  std::string text;  // Exact: the lower-cased name; Wildcard: the suffix after "*."
  bool operator==(const NamePattern&) const = default;
};

struct FilterList {
  std::vector<CidrBlock> blocks;
  std::vector<NamePattern> names;
};

struct NetworkFilter {
  FilterList deny;
  std::optional<FilterList> allow;  // absent: anything not denied is allowed
};

enum class FilterVerdict : uint8_t { Allow = 0, DeniedByDenyList = 1, NotInAllowList = 2 };

struct FilterParseError {
  enum class Kind : uint8_t { BadWildcard, CidrPrefixOutOfRange } kind = Kind::BadWildcard;
  std::string entry;  // BadWildcard: trimmed + lower-cased; CidrPrefixOutOfRange: trimmed
  // "bad wildcard pattern: {}" / "CIDR prefix out of range: {}"
  std::string message() const;
};

// ASCII-only lower-casing.
std::string ascii_lower(std::string_view text);

Result<FilterList, FilterParseError> parse_filter_list(const std::vector<std::string>& entries);
Result<NamePattern, FilterParseError> parse_name_pattern(std::string_view text);

// Entries that parse but can never match a destination. The filter keeps them, inert.
enum class InertEntry : uint8_t {
  Empty,         // blank
  Scheme,        // "https://example.org"
  Path,          // "example.org/simple"
  Port,          // "example.org:443"
  NotAnAddress,  // "300.1.1.1", "010.0.0.1", "1.2.3": no host name ends in an all-digit label
  NotAHostName,  // white space, controls, '@', brackets, ':' outside an IPv6 literal, ...
  TrailingDot,   // "example.org.": hosts are compared without their trailing dots
};
// Why `entry` (as given, untrimmed) can never match, or nothing for an entry that can
// match and for one that does not parse (the parser reports that one).
std::optional<InertEntry> never_matches(std::string_view entry);
std::string_view inert_entry_reason(InertEntry why);
// "entry {quoted entry} can never match: {reason}"
std::string never_matches_message(std::string_view entry, InertEntry why);

struct FilterBuildError {
  enum class List : uint8_t { Allow, Deny } list;
  FilterParseError error;
};
// The one way a NetworkFilter is made: the allow list (absent when `allow` is nothing;
// whether an empty one is absent is the caller's mode rule), then the deny list. Emits a
// WARN event "{allow|deny} list: entry ... can never match: ..." for each inert entry.
Result<NetworkFilter, FilterBuildError> build_filter(
    const std::optional<std::vector<std::string>>& allow, const std::vector<std::string>& deny);

FilterVerdict check_host(const NetworkFilter& filter, std::string_view host);
FilterVerdict check_address(const NetworkFilter& filter, const IpAddress& ip);
bool match_names(const std::vector<NamePattern>& patterns, std::string_view host);
// Family-strict block walk (the allow side).
bool address_in_blocks(const std::vector<CidrBlock>& blocks, const IpAddress& ip);
// Deny-side walk: also tests the IPv4 address that an IPv6 address embeds
// (IpAddress::embedded_v4), so a deny-listed IPv4 block cannot be bypassed by spelling it
// ::ffff:a.b.c.d or through NAT64, 6to4 or compatible forms; and an IPv6 entry in mapped
// form (prefix of 96 or more under ::ffff:0:0/96) also denies the plain IPv4 address.
bool address_in_deny_blocks(const std::vector<CidrBlock>& blocks, const IpAddress& ip);
bool address_explicitly_allowed(const NetworkFilter& filter, const IpAddress& ip);

}  // namespace sandbox::netfilter
