// Socket helpers shared by both proxies: the upstream connect with a deadline, the
// handshake time-outs and the host:port form of a destination or proxy endpoint. Called from
// connection threads and from the stop sequence.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sandbox_core/base/io_error.h"
#include "sandbox_core/base/result.h"
#include "sandbox_core/base/unique_fd.h"
#include "sandbox_core/netfilter/ip_address.h"

namespace sandbox::proxy {

inline constexpr std::chrono::seconds kHandshakeTimeout{30};
inline constexpr std::chrono::seconds kUpstreamConnectTimeout{15};
inline constexpr std::chrono::milliseconds kWakeUpConnectTimeout{50};

// Opens a close-on-exec, blocking TCP connection to `addr`, giving up after `timeout`
// (non-blocking connect and poll). A time-out reads "connection timed out".
Result<UniqueFd, IoError> connect_with_timeout(const netfilter::SocketAddress& addr,
                                               std::chrono::milliseconds timeout);

struct ConnectTarget {
  std::string host;  // brackets of an IPv6 target removed, not validated
  uint16_t port = 0;
  bool operator==(const ConnectTarget&) const = default;
};

// "host:port" (split at the last colon) or "[host]:port"; the port is an optional '+'
// and decimal digits up to 65535. Nothing for a missing or malformed port.
std::optional<ConnectTarget> parse_connect_target(std::string_view target);
std::optional<uint16_t> parse_port(std::string_view text);

// SO_RCVTIMEO and SO_SNDTIMEO on `fd`; a zero duration removes them.
Result<void, IoError> set_io_timeouts(int fd, std::chrono::seconds timeout);

}  // namespace sandbox::proxy
