// The body of each "socks5-proxy-conn" thread: handshake with exact-length reads,
// admission with its events, the replies and the hand-over to the pump. Never throws or
// reports upwards.
#include <optional>
#include <string>

#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/events/event.h"
#include "sandbox_core/netfilter/admission.h"
#include "sandbox_core/proxy/net.h"
#include "sandbox_core/proxy/proxy.h"
#include "sandbox_core/socks/socks5.h"

namespace sandbox::socks {
namespace {

#define SOCKS_EVENT(LEVEL, FIELDS, ...) \
  SANDBOX_EVENT(LEVEL, "sandbox_core::socks", "sandbox_core::socks", FIELDS, __VA_ARGS__)

using events::Level;
using Outcome = netfilter::AdmissionOutcome::Kind;

template <size_t N>
Result<std::array<std::byte, N>, IoError> read_array(int fd) {
  std::array<std::byte, N> out{};
  SANDBOX_TRY(read_exact(fd, out));
  return out;
}

struct Destination {
  std::string host;
  uint16_t port = 0;
};

// Greeting, method selection and request, up to the destination. Nothing when the client
// was already answered (05 FF, REP 7 or REP 8) and closed; an error ends the connection
// without a reply.
Result<std::optional<Destination>, IoError> read_destination(UniqueFd& client) {
  const int fd = client.get();
  auto greeting = read_array<2>(fd);
  if (!greeting) return fail(std::move(greeting).error());
  auto nmethods = decode_greeting_head(*greeting);
  if (!nmethods) return fail(std::move(nmethods).error());
  std::array<std::byte, 255> methods{};
  std::span<std::byte> offered(methods.data(), *nmethods);
  SANDBOX_TRY(read_exact(fd, offered));
  if (!offers_no_auth(offered)) {
    (void)send_all(fd, kNoAcceptableMethod);
    client.reset();
    return std::optional<Destination>();
  }
  SANDBOX_TRY(send_all(fd, kSelectNoAuth));

  auto head_bytes = read_array<4>(fd);
  if (!head_bytes) return fail(std::move(head_bytes).error());
  auto head = decode_request_head(*head_bytes);
  if (!head) return fail(std::move(head).error());
  if (head->command != kCommandConnect) {
    send_socks_reply(fd, Reply::CommandNotSupported);
    client.reset();
    return std::optional<Destination>();
  }

  Destination dest;
  switch (head->address_type) {
    case kAtypIpv4: {
      auto b = read_array<4>(fd);
      if (!b) return fail(std::move(b).error());
      dest.host = ipv4_host(*b);
      break;
    }
    case kAtypIpv6: {
      auto b = read_array<16>(fd);
      if (!b) return fail(std::move(b).error());
      dest.host = ipv6_host(*b);
      break;
    }
    case kAtypDomain: {
      auto len = read_array<1>(fd);
      if (!len) return fail(std::move(len).error());
      std::array<std::byte, 255> raw{};
      std::span<std::byte> name(raw.data(), static_cast<size_t>((*len)[0]));
      SANDBOX_TRY(read_exact(fd, name));
      auto text = domain_host(name);
      if (!text) return fail(std::move(text).error());
      dest.host = std::move(*text);
      break;
    }
    default:
      send_socks_reply(fd, Reply::AddressTypeNotSupported);
      client.reset();
      return std::optional<Destination>();
  }
  auto port_bytes = read_array<2>(fd);
  if (!port_bytes) return fail(std::move(port_bytes).error());
  dest.port = decode_port(*port_bytes);
  return std::optional<Destination>(std::move(dest));
}

// Each admission outcome to its event and reply: the one table of this protocol. Nothing
// for an admitted destination; otherwise the refusal's reply code.
std::optional<Reply> refusal_for(const netfilter::AdmissionOutcome& admission,
                                 const Destination& dest) {
  const std::string& host = dest.host;
  const uint16_t port = dest.port;
  switch (admission.kind) {
    case Outcome::DeniedByDenyList:
      SOCKS_EVENT(Level::Warn, ("message", "host", "port"), "socks5 DENIED (deny-list)", host,
                  port);
      return Reply::NotAllowed;
    case Outcome::NotInAllowList:
      SOCKS_EVENT(Level::Warn, ("message", "host", "port"), "socks5 DENIED (not in allow-list)",
                  host, port);
      return Reply::NotAllowed;
    case Outcome::ResolveFailed:
      SOCKS_EVENT(Level::Warn, ("message", "host", "port"),
                  "socks5 resolve failed: " + admission.error.text(), host, port);
      return Reply::GeneralFailure;
    case Outcome::ResolvedToDenyListed:
      SOCKS_EVENT(Level::Warn, ("message", "host", "port", "resolved"),
                  "socks5 DENIED: resolves into a deny-listed address", host, port,
                  netfilter::to_string(admission.address.ip));
      return Reply::NotAllowed;
    case Outcome::ResolvedToInternal:
      SOCKS_EVENT(Level::Warn, ("message", "host", "port", "resolved"),
                  "socks5 DENIED: resolves into an internal range", host, port,
                  netfilter::to_string(admission.address.ip));
      return Reply::NotAllowed;
    case Outcome::Admitted:
      SOCKS_EVENT(Level::Debug, ("message", "host", "port"), "socks5 ALLOW, opening upstream",
                  host, port);
      return std::nullopt;
  }
  return Reply::NotAllowed;  // not reached; an unknown outcome must never open a tunnel
}

// The upstream connect and the hand-over to the pump; every failure reply is sent here.
Result<void, IoError> open_tunnel(UniqueFd& client, const Destination& dest,
                                  const netfilter::SocketAddress& to) {
  const int fd = client.get();
  auto upstream = proxy::connect_with_timeout(to, proxy::kUpstreamConnectTimeout);
  if (!upstream) {
    SOCKS_EVENT(Level::Warn, ("message", "host", "port"),
                "socks5 upstream connect failed: " + upstream.error().text(), dest.host,
                dest.port);
    send_socks_reply(fd, Reply::ConnectionRefused);
    client.reset();
    return {};
  }
  SANDBOX_TRY(send_all(fd, encode_reply(Reply::Succeeded)));
  SANDBOX_TRY(proxy::set_io_timeouts(fd, std::chrono::seconds(0)));
  proxy::pump_tunnel(std::move(client), std::move(*upstream));
  return {};
}

// Handshake, admission, tunnel. Ends with the client closed by the caller's owner unless
// it was answered here or went to the pump.
Result<void, IoError> serve(const netfilter::NetworkFilter& filter, UniqueFd& client) {
  SANDBOX_TRY(proxy::set_io_timeouts(client.get(), proxy::kHandshakeTimeout));
  auto dest = read_destination(client);
  if (!dest) return fail(std::move(dest).error());
  if (!*dest) return {};

  const auto admission = netfilter::admit_destination(filter, (*dest)->host, (*dest)->port);
  if (auto refusal = refusal_for(admission, **dest)) {
    send_socks_reply(client.get(), *refusal);
    client.reset();
    return {};
  }
  return open_tunnel(client, **dest, admission.address);
}

}  // namespace

void send_socks_reply(int fd, Reply rep) { (void)send_all(fd, encode_reply(rep)); }

void handle_socks_connection(proxy::FilterRef filter, UniqueFd client) {
  auto outcome = serve(*filter, client);
  if (!outcome) {
    client.reset();
    SOCKS_EVENT(Level::Debug, ("message"), "socks5 connection ended: " + outcome.error().text());
  }
}

namespace {
void report_accept_failure(const IoError& error) {
  SOCKS_EVENT(Level::Warn, ("message"), "socks5 proxy accept failed: " + error.text());
}
}  // namespace

const proxy::ProxyKind kSocks5Proxy{"socks5-proxy", "socks5-proxy-conn", &handle_socks_connection,
                                    &report_accept_failure};

}  // namespace sandbox::socks
