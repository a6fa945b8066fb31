// SOCKS5 message decoding and encoding. Pure; safe on arbitrary bytes.
#include <algorithm>

#include "sandbox_core/base/text.h"
#include "sandbox_core/netfilter/ip_address.h"
#include "sandbox_core/socks/socks5.h"

namespace sandbox::socks {

ReplyBytes encode_reply(Reply rep) {
  ReplyBytes out{};
  out[0] = std::byte{kVersion};
  out[1] = static_cast<std::byte>(rep);
  out[3] = std::byte{kAtypIpv4};
  return out;
}

Result<uint8_t, IoError> decode_greeting_head(std::span<const std::byte, 2> head) {
  if (head[0] != std::byte{kVersion})
    return fail(IoError::custom("socks5: bad version in greeting"));
  return static_cast<uint8_t>(head[1]);
}

bool offers_no_auth(std::span<const std::byte> methods) {
  return std::find(methods.begin(), methods.end(), std::byte{kMethodNoAuth}) != methods.end();
}

Result<RequestHead, IoError> decode_request_head(std::span<const std::byte, 4> head) {
  if (head[0] != std::byte{kVersion})
    return fail(IoError::custom("socks5: bad version in request"));
  return RequestHead{static_cast<uint8_t>(head[1]), static_cast<uint8_t>(head[3])};
}

std::string ipv4_host(std::span<const std::byte, 4> b) {
  return netfilter::to_string(
      netfilter::IpAddress::v4(static_cast<uint8_t>(b[0]), static_cast<uint8_t>(b[1]),
                               static_cast<uint8_t>(b[2]), static_cast<uint8_t>(b[3])));
}

std::string ipv6_host(std::span<const std::byte, 16> b) {
  std::array<uint8_t, 16> raw{};
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<uint8_t>(b[i]);
  return netfilter::to_string(netfilter::IpAddress::v6(raw));
}

Result<std::string, IoError> domain_host(std::span<const std::byte> bytes) {
  std::string text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (!is_valid_utf8(text)) return fail(IoError::custom("socks5: non-utf8 domain"));
  return text;
}

uint16_t decode_port(std::span<const std::byte, 2> b) {
  return static_cast<uint16_t>((static_cast<unsigned>(b[0]) << 8) | static_cast<unsigned>(b[1]));
}

}  // namespace sandbox::socks
