// Strict text grammars for IP addresses and conversions to and from socket addresses.
// Pure functions; called from any thread. The parsers are hand-written because the
// accepted grammar (no leading zeros, no zone, nothing trailing) must not depend on libc.
#include "sandbox_core/netfilter/ip_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <vector>

namespace sandbox::netfilter {

IpAddress IpAddress::v4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  IpAddress ip;
  ip.family = Family::V4;
  ip.bytes[0] = a;
  ip.bytes[1] = b;
  ip.bytes[2] = c;
  ip.bytes[3] = d;
  return ip;
}

IpAddress IpAddress::v6(const std::array<uint8_t, 16>& b) {
  IpAddress ip;
  ip.family = Family::V6;
  ip.bytes = b;
  return ip;
}

std::optional<IpAddress> IpAddress::mapped_v4() const {
  if (is_v4()) return std::nullopt;
  for (size_t i = 0; i < 10; ++i) {
    if (bytes[i] != 0) return std::nullopt;
  }
  if (bytes[10] != 0xff || bytes[11] != 0xff) return std::nullopt;
  return v4(bytes[12], bytes[13], bytes[14], bytes[15]);
}

std::optional<IpAddress> IpAddress::embedded_v4() const {
  if (is_v4()) return std::nullopt;
  if (auto mapped = mapped_v4()) return mapped;
  const auto& b = bytes;
  auto zero = [&b](size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
      if (b[i] != 0) return false;
    return true;
  };
  const IpAddress last32 = v4(b[12], b[13], b[14], b[15]);
  if (b[0] == 0x00 && b[1] == 0x64 && b[2] == 0xff && b[3] == 0x9b) {
    // NAT64 well-known prefix 64:ff9b::/96 (RFC 6052): the IPv4 address is the last 32 bits.
    if (zero(4, 12)) return last32;
    // Local-use 64:ff9b:1::/48 (RFC 8215). The operator picks the translator's prefix inside
    // it, of any RFC 6052 length, and each length puts the IPv4 address elsewhere. We take
    // the last 32 bits: the /96 embedding that the well-known prefix uses and that NAT64
    // gateways and DNS64 resolvers default to. A translator set up with a shorter prefix
    // there is not recognised; deny its prefix by block if you run one.
    if (b[4] == 0x00 && b[5] == 0x01) return last32;
  }
  // 6to4 (RFC 3056): bits 16-47 are the IPv4 address of the site's router, to which a host
  // with 6to4 connectivity sends the packets, encapsulated in IPv4.
  if (b[0] == 0x20 && b[1] == 0x02) return v4(b[2], b[3], b[4], b[5]);
  // IPv4-compatible ::a.b.c.d (RFC 4291, deprecated but still routed by some stacks). :: and
  // ::1 are the unspecified and loopback addresses, not 0.0.0.0 and 0.0.0.1.
  if (zero(0, 12) && !(zero(12, 15) && b[15] <= 1)) return last32;
  return std::nullopt;
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Colon-separated groups of one to four hex digits; the last piece may be a dotted IPv4
// tail (two groups) when `allow_v4_tail`. Every piece must be non-empty.
bool parse_groups(std::string_view text, bool allow_v4_tail, std::vector<uint16_t>& out) {
  size_t start = 0;
  while (true) {
    size_t colon = text.find(':', start);
    bool last = colon == std::string_view::npos;
    std::string_view piece = text.substr(start, last ? std::string_view::npos : colon - start);
    if (piece.empty()) return false;
    if (last && allow_v4_tail && piece.find('.') != std::string_view::npos) {
      auto v4 = parse_ipv4(piece);
      if (!v4) return false;
      out.push_back(static_cast<uint16_t>(v4->bytes[0] << 8 | v4->bytes[1]));
      out.push_back(static_cast<uint16_t>(v4->bytes[2] << 8 | v4->bytes[3]));
      return true;
    }
    if (piece.size() > 4) return false;
    unsigned value = 0;
    for (char c : piece) {
      int h = hex_value(c);
      if (h < 0) return false;
      value = value << 4 | static_cast<unsigned>(h);
    }
    out.push_back(static_cast<uint16_t>(value));
    if (out.size() > 8) return false;
    if (last) return true;
    start = colon + 1;
  }
}

}  // namespace

std::optional<IpAddress> parse_ipv4(std::string_view text) {
  uint8_t parts[4];
  size_t pos = 0;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    size_t begin = pos;
    unsigned value = 0;
    while (pos < text.size() && is_digit(text[pos]) && pos - begin < 3) {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
    }
    size_t len = pos - begin;
    if (len == 0 || value > 255) return std::nullopt;
    if (len > 1 && text[begin] == '0') return std::nullopt;  // "010" is not an address
    parts[i] = static_cast<uint8_t>(value);
  }
  if (pos != text.size()) return std::nullopt;  // also catches a fourth digit
  return IpAddress::v4(parts[0], parts[1], parts[2], parts[3]);
}

std::optional<IpAddress> parse_ipv6(std::string_view text) {
  std::vector<uint16_t> head, tail;
  head.reserve(8);
  tail.reserve(8);
  size_t gap = text.find("::");
  if (gap == std::string_view::npos) {
    if (!parse_groups(text, true, head) || head.size() != 8) return std::nullopt;
  } else {
    std::string_view before = text.substr(0, gap);
    std::string_view after = text.substr(gap + 2);
    if (!before.empty() && !parse_groups(before, false, head)) return std::nullopt;
    if (!after.empty() && !parse_groups(after, true, tail)) return std::nullopt;
    // "::" stands for at least one group of zeros.
    if (head.size() + tail.size() > 7) return std::nullopt;
  }
  std::array<uint8_t, 16> b{};
  for (size_t i = 0; i < head.size(); ++i) {
    b[2 * i] = static_cast<uint8_t>(head[i] >> 8);
    b[2 * i + 1] = static_cast<uint8_t>(head[i] & 0xff);
  }
  size_t offset = 8 - tail.size();
  for (size_t i = 0; i < tail.size(); ++i) {
    b[2 * (offset + i)] = static_cast<uint8_t>(tail[i] >> 8);
    b[2 * (offset + i) + 1] = static_cast<uint8_t>(tail[i] & 0xff);
  }
  return IpAddress::v6(b);
}

std::optional<IpAddress> parse_ip(std::string_view text) {
  if (auto v4 = parse_ipv4(text)) return v4;
  return parse_ipv6(text);
}

std::string to_string(const IpAddress& ip) {
  if (ip.is_v4()) {
    std::string out;
    for (int i = 0; i < 4; ++i) {
      if (i) out += '.';
      out += std::to_string(ip.bytes[i]);
    }
    return out;
  }
  // glibc's inet_ntop already writes the RFC 5952 form, ::ffff:a.b.c.d included.
  char buf[INET6_ADDRSTRLEN];
  in6_addr addr;
  std::memcpy(&addr, ip.bytes.data(), 16);
  if (!::inet_ntop(AF_INET6, &addr, buf, sizeof buf)) return {};
  return buf;
}

socklen_t to_sockaddr(const SocketAddress& addr, sockaddr_storage& out) {
  std::memset(&out, 0, sizeof out);
  if (addr.ip.is_v4()) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(addr.port);
    std::memcpy(&sin.sin_addr, addr.ip.bytes.data(), 4);
    std::memcpy(&out, &sin, sizeof sin);
    return sizeof sin;
  }
  sockaddr_in6 sin6{};
  sin6.sin6_family = AF_INET6;
  sin6.sin6_port = htons(addr.port);
  std::memcpy(&sin6.sin6_addr, addr.ip.bytes.data(), 16);
  std::memcpy(&out, &sin6, sizeof sin6);
  return sizeof sin6;
}

std::optional<SocketAddress> from_sockaddr(const sockaddr* sa, socklen_t len) {
  if (sa == nullptr || len < static_cast<socklen_t>(sizeof(sa_family_t))) return std::nullopt;
  if (sa->sa_family == AF_INET && len >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    sockaddr_in sin;
    std::memcpy(&sin, sa, sizeof sin);
    SocketAddress out;
    out.ip.family = IpAddress::Family::V4;
    std::memcpy(out.ip.bytes.data(), &sin.sin_addr, 4);
    out.port = ntohs(sin.sin_port);
    return out;
  }
  if (sa->sa_family == AF_INET6 && len >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    sockaddr_in6 sin6;
    std::memcpy(&sin6, sa, sizeof sin6);
    SocketAddress out;
    out.ip.family = IpAddress::Family::V6;
    std::memcpy(out.ip.bytes.data(), &sin6.sin6_addr, 16);
    out.port = ntohs(sin6.sin6_port);
    return out;
  }
  return std::nullopt;
}

std::string to_string(const SocketAddress& addr) {
  std::string host = to_string(addr.ip);
  if (!addr.ip.is_v4()) host = "[" + host + "]";
  return host + ":" + std::to_string(addr.port);
}

}  // namespace sandbox::netfilter
