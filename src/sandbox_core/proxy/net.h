// Socket helpers shared by both proxies: the upstream connect with a deadline and the
// handshake time-outs. Called from connection threads and from the stop sequence.
#pragma once

#include <chrono>

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

// SO_RCVTIMEO and SO_SNDTIMEO on `fd`; a zero duration removes them.
Result<void, IoError> set_io_timeouts(int fd, std::chrono::seconds timeout);

}  // namespace sandbox::proxy
