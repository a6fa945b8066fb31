// Filter entry lists: parse_filter_list on arbitrary entries, then check_host and
// check_address with arbitrary hosts. Input lines before "[allow]" are deny entries, lines
// after it allow entries (the allow list is then present), lines after "[hosts]" hosts.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "sandbox_core/netfilter/filter.h"
#include "sandbox_core/netfilter/ip_address.h"

using namespace sandbox;
using namespace sandbox::netfilter;

namespace {

bool valid_verdict(FilterVerdict v) {
  return v == FilterVerdict::Allow || v == FilterVerdict::DeniedByDenyList ||
         v == FilterVerdict::NotInAllowList;
}

// What the parser promises about any list it returns.
void check_list(const FilterList& list) {
  for (const CidrBlock& b : list.blocks) {
    FUZZ_CHECK(b.prefix <= (b.address.is_v4() ? 32 : 128));
    // A block re-parses to itself from its canonical text (host bits kept as written).
    auto again = parse_filter_list({to_string(b.address) + "/" + std::to_string(b.prefix)});
    FUZZ_CHECK(again && again->blocks.size() == 1 && again->blocks[0] == b);
  }
  for (const NamePattern& n : list.names) {
    FUZZ_CHECK(ascii_lower(n.text) == n.text);
    FUZZ_CHECK(trim_white_space(n.text).size() == n.text.size() ||
               n.kind == NamePattern::Kind::Wildcard);
    if (n.kind == NamePattern::Kind::Wildcard) {
      FUZZ_CHECK(!n.text.empty() && n.text.find('*') == std::string::npos);
    } else {
      FUZZ_CHECK(n.text.find('*') == std::string::npos);
    }
  }
}

void check_one_host(const NetworkFilter& filter, const std::string& host) {
  const FilterVerdict v = check_host(filter, host);
  FUZZ_CHECK(valid_verdict(v));
  if (auto ip = parse_ip(host)) {
    // An IP literal is judged exactly as its address.
    FUZZ_CHECK(v == check_address(filter, *ip));
    FUZZ_CHECK(valid_verdict(check_address(filter, *ip)));
    if (!filter.allow) FUZZ_CHECK(v != FilterVerdict::NotInAllowList);
    if (address_in_blocks(filter.deny.blocks, *ip))
      FUZZ_CHECK(v == FilterVerdict::DeniedByDenyList);
    if (address_explicitly_allowed(filter, *ip)) FUZZ_CHECK(v != FilterVerdict::NotInAllowList);
    // The deny-side walk never admits less than the family-strict one, nor an address
    // whose embedded IPv4 address (mapped, NAT64, 6to4, compatible) is deny-listed.
    if (address_in_blocks(filter.deny.blocks, *ip))
      FUZZ_CHECK(address_in_deny_blocks(filter.deny.blocks, *ip));
    if (auto v4 = ip->embedded_v4(); v4 && address_in_blocks(filter.deny.blocks, *v4))
      FUZZ_CHECK(v == FilterVerdict::DeniedByDenyList);
  } else {
    // Deny wins over allow; an absent allow list admits every name not denied.
    if (match_names(filter.deny.names, host))
      FUZZ_CHECK(v == FilterVerdict::DeniedByDenyList);
    else if (!filter.allow)
      FUZZ_CHECK(v == FilterVerdict::Allow);
    else
      FUZZ_CHECK((v == FilterVerdict::Allow) == match_names(filter.allow->names, host));
    // Trailing dots and ASCII case of the host never change the verdict.
    std::string variant = host;
    for (char& c : variant)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    variant += '.';
    if (!parse_ip(variant)) FUZZ_CHECK(check_host(filter, variant) == v);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> deny, allow, hosts;
  bool have_allow = false;
  std::vector<std::string>* section = &deny;
  for (std::string& line : fuzzing::split_lines(text)) {
    if (line == "[allow]") {
      section = &allow;
      have_allow = true;
    } else if (line == "[hosts]") {
      section = &hosts;
    } else {
      section->push_back(std::move(line));
    }
  }

  NetworkFilter filter;
  auto parsed_deny = parse_filter_list(deny);
  if (!parsed_deny) {
    FUZZ_CHECK(!parsed_deny.error().message().empty());
    return 0;
  }
  check_list(*parsed_deny);
  filter.deny = std::move(*parsed_deny);
  if (have_allow) {
    auto parsed_allow = parse_filter_list(allow);
    if (!parsed_allow) return 0;
    check_list(*parsed_allow);
    filter.allow = std::move(*parsed_allow);
  }

  for (const std::string& host : hosts) check_one_host(filter, host);
  // Every entry, taken as a host, too: the lists' own texts are the likeliest near-misses.
  for (const std::string& entry : deny) check_one_host(filter, entry);
  return 0;
}
