// The SOCKS5 proxy (no authentication, CONNECT only, IPv4/domain/IPv6): pure decoding
// and encoding of the wire messages, and the handler run by each "socks5-proxy-conn"
// thread. The decoders take any bytes (they are fuzzed); the handler works on any
// connected socket.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "sandbox_core/base/io_error.h"
#include "sandbox_core/base/result.h"
#include "sandbox_core/base/unique_fd.h"
#include "sandbox_core/netfilter/filter.h"
#include "sandbox_core/proxy/proxy.h"

namespace sandbox::socks {

inline constexpr uint8_t kVersion = 5;
inline constexpr uint8_t kMethodNoAuth = 0;
inline constexpr uint8_t kCommandConnect = 1;
inline constexpr uint8_t kAtypIpv4 = 1;
inline constexpr uint8_t kAtypDomain = 3;
inline constexpr uint8_t kAtypIpv6 = 4;

// The only codes ever sent.
enum class Reply : uint8_t {
  Succeeded = 0,
  GeneralFailure = 1,
  NotAllowed = 2,
  ConnectionRefused = 5,
  CommandNotSupported = 7,
  AddressTypeNotSupported = 8,
};

using MethodSelection = std::array<std::byte, 2>;
inline constexpr MethodSelection kSelectNoAuth{std::byte{5}, std::byte{0}};
inline constexpr MethodSelection kNoAcceptableMethod{std::byte{5}, std::byte{0xFF}};

// VER, REP, RSV 0, ATYP 1, bound address 0.0.0.0 port 0 (never reported).
using ReplyBytes = std::array<std::byte, 10>;
ReplyBytes encode_reply(Reply rep);

// VER NMETHODS -> NMETHODS, or "socks5: bad version in greeting".
Result<uint8_t, IoError> decode_greeting_head(std::span<const std::byte, 2> head);
bool offers_no_auth(std::span<const std::byte> methods);

struct RequestHead {
  uint8_t command = 0;
  uint8_t address_type = 0;
};
// VER CMD RSV ATYP; "socks5: bad version in request" when VER is not 5.
Result<RequestHead, IoError> decode_request_head(std::span<const std::byte, 4> head);

// Host texts: dotted decimal, RFC 5952 text, or the domain bytes as received (valid
// UTF-8 required: "socks5: non-utf8 domain").
std::string ipv4_host(std::span<const std::byte, 4> bytes);
std::string ipv6_host(std::span<const std::byte, 16> bytes);
Result<std::string, IoError> domain_host(std::span<const std::byte> bytes);
uint16_t decode_port(std::span<const std::byte, 2> bytes);

// Writes the 10-byte reply completely; a write error is ignored.
void send_socks_reply(int fd, Reply rep);

// Reads the greeting, answers it (05 00, or 05 FF and close), then reads the request up
// to the destination (pure; any bytes). A request the proxy does not serve is answered
// and closed (REP 7, REP 8); a wrong version, a non-UTF-8 domain or an end of stream
// before the request is whole fails with the error the handler reports. Keeps at most
// one read's bytes.
class Socks5HeadReader final : public proxy::HeadReader {
 public:
  Step feed(std::string_view bytes) override;
  const std::string& host() const { return host_; }
  uint16_t port() const { return port_; }
  // Bytes received behind the request, for the tunnel.
  const std::string& early() const { return early_; }

 private:
  Step parse();

  bool greeted_ = false;
  bool ended_ = false;
  std::string buf_;
  std::string host_;
  uint16_t port_ = 0;
  std::string early_;
};

std::unique_ptr<proxy::HeadReader> new_socks5_head_reader();

// Serves one client whose request `head` (a Socks5HeadReader) has read; owns `client`
// and closes it on every path except the tunnel, where both sockets and `slot` pass to
// the pump. Failures are diagnostic events only.
void serve_socks_head(proxy::FilterRef filter, UniqueFd client,
                      std::unique_ptr<proxy::HeadReader> head, proxy::ConnectionSlot slot);

// The whole exchange on one blocking client: its head, then serve_socks_head.
void handle_socks_connection(proxy::FilterRef filter, UniqueFd client);

// The SOCKS5 proxy's kind for the listener runtime.
extern const proxy::ProxyKind kSocks5Proxy;

}  // namespace sandbox::socks
