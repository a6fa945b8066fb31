// IP addresses and socket addresses as the filter and the proxies see them, with the
// strict text grammars: dotted-decimal IPv4 (exactly four parts, no leading zeros) and
// RFC 4291 IPv6 text without brackets or zone index.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sandbox::netfilter {

struct IpAddress {
  enum class Family : uint8_t { V4 = 0, V6 = 1 };
  Family family = Family::V4;
  // Network byte order; IPv4 uses the first 4 bytes.
  std::array<uint8_t, 16> bytes{};

  static IpAddress v4(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
  static IpAddress v6(const std::array<uint8_t, 16>& b);
  bool is_v4() const { return family == Family::V4; }
  size_t size() const { return is_v4() ? 4 : 16; }
  // The IPv4 address embedded in an IPv4-mapped IPv6 address (::ffff:a.b.c.d).
  std::optional<IpAddress> mapped_v4() const;
  // The IPv4 address an IPv6 address carries in a form that can lead to that IPv4 host:
  // IPv4-mapped (::ffff:0:0/96), NAT64 (64:ff9b::/96, local-use 64:ff9b:1::/48), 6to4
  // (2002::/16) and IPv4-compatible (::/96 but :: and ::1). The policy judges these by the
  // IPv4 address; nothing for an IPv4 address or any other IPv6 address.
  std::optional<IpAddress> embedded_v4() const;
  bool operator==(const IpAddress&) const = default;
};

std::optional<IpAddress> parse_ipv4(std::string_view text);
std::optional<IpAddress> parse_ipv6(std::string_view text);
// IPv4 first, then IPv6; the whole text must be consumed.
std::optional<IpAddress> parse_ip(std::string_view text);
// Dotted decimal, or RFC 5952 (lower-case, longest zero run compressed, ::ffff:a.b.c.d).
std::string to_string(const IpAddress& ip);

struct SocketAddress {
  IpAddress ip;
  uint16_t port = 0;
  bool operator==(const SocketAddress&) const = default;
};

// Fills `out` (sockaddr_in or sockaddr_in6 with flow info and scope id 0); returns its length.
socklen_t to_sockaddr(const SocketAddress& addr, sockaddr_storage& out);
std::optional<SocketAddress> from_sockaddr(const sockaddr* sa, socklen_t len);
// "a.b.c.d:port" or "[v6]:port".
std::string to_string(const SocketAddress& addr);

}  // namespace sandbox::netfilter
