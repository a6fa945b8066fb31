// The strict IPv4/IPv6 text grammars against glibc's inet_pton and inet_ntop as oracles.
// Both IPv4 grammars are the same (four decimal parts, 0-255, no leading zeros), so they
// must agree on every text. For IPv6, inet_pton also follows RFC 4291, and neither
// accepts brackets or a zone index; they must agree on every text too. to_string is
// RFC 5952, which inet_ntop also produces except for the deprecated IPv4-compatible form
// (::a.b.c.d), where only a round trip is checked.
#include <arpa/inet.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "sandbox_core/netfilter/ip_address.h"

using namespace sandbox;
using namespace sandbox::netfilter;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  // inet_pton reads a C string; a text with a NUL is never an address to us.
  const bool has_nul = text.find('\0') != std::string_view::npos;
  const std::string c_text(text);

  const auto v4 = parse_ipv4(text);
  unsigned char buf4[4];
  const bool pton4 = !has_nul && inet_pton(AF_INET, c_text.c_str(), buf4) == 1;
  FUZZ_CHECK(v4.has_value() == pton4);
  if (v4) {
    FUZZ_CHECK(v4->is_v4() && std::memcmp(v4->bytes.data(), buf4, 4) == 0);
    FUZZ_CHECK(to_string(*v4) == text);  // the strict form is the canonical form
  }

  const auto v6 = parse_ipv6(text);
  unsigned char buf6[16];
  const bool pton6 = !has_nul && inet_pton(AF_INET6, c_text.c_str(), buf6) == 1;
  if (v6.has_value() != pton6) {
    std::fprintf(stderr, "ipv6 disagreement on \"%s\": ours %d, inet_pton %d\n", c_text.c_str(),
                 v6.has_value(), pton6);
    std::abort();
  }
  if (v6) {
    FUZZ_CHECK(!v6->is_v4() && std::memcmp(v6->bytes.data(), buf6, 16) == 0);
    const std::string ours = to_string(*v6);
    FUZZ_CHECK(parse_ipv6(ours) == v6);
    const bool compatible =
        std::all_of(v6->bytes.begin(), v6->bytes.begin() + 12, [](uint8_t b) { return b == 0; });
    if (!compatible) {
      char out[INET6_ADDRSTRLEN];
      FUZZ_CHECK(inet_ntop(AF_INET6, buf6, out, sizeof out) != nullptr);
      if (ours != out) {
        std::fprintf(stderr, "to_string \"%s\" but inet_ntop \"%s\"\n", ours.c_str(), out);
        std::abort();
      }
    }
    if (auto m = v6->mapped_v4()) FUZZ_CHECK(std::memcmp(m->bytes.data(), buf6 + 12, 4) == 0);
  }

  // parse_ip is IPv4 first, then IPv6.
  const auto any = parse_ip(text);
  FUZZ_CHECK(any == (v4 ? v4 : v6));
  if (any) {
    sockaddr_storage ss{};
    SocketAddress sa{*any, 8080};
    socklen_t len = to_sockaddr(sa, ss);
    auto back = from_sockaddr(reinterpret_cast<const sockaddr*>(&ss), len);
    FUZZ_CHECK(back && *back == sa);
  }
  return 0;
}
