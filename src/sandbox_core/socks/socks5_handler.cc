// The body of each "socks5-proxy-conn" thread: handshake with exact-length reads,
// admission with its events, the replies and the hand-over to the pump. Never throws or
// reports upwards.
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

// Ends with the client closed by the caller's owner unless the tunnel opened.
Result<void, IoError> serve(const netfilter::NetworkFilter& filter, UniqueFd& client) {
  const int fd = client.get();
  SANDBOX_TRY(proxy::set_io_timeouts(fd, proxy::kHandshakeTimeout));

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
    return {};
  }
  SANDBOX_TRY(send_all(fd, kSelectNoAuth));

  auto head_bytes = read_array<4>(fd);
  if (!head_bytes) return fail(std::move(head_bytes).error());
  auto head = decode_request_head(*head_bytes);
  if (!head) return fail(std::move(head).error());
  if (head->command != kCommandConnect) {
    send_socks_reply(fd, Reply::CommandNotSupported);
    client.reset();
    return {};
  }

  std::string host;
  switch (head->address_type) {
    case kAtypIpv4: {
      auto b = read_array<4>(fd);
      if (!b) return fail(std::move(b).error());
      host = ipv4_host(*b);
      break;
    }
    case kAtypIpv6: {
      auto b = read_array<16>(fd);
      if (!b) return fail(std::move(b).error());
      host = ipv6_host(*b);
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
      host = std::move(*text);
      break;
    }
    default:
      send_socks_reply(fd, Reply::AddressTypeNotSupported);
      client.reset();
      return {};
  }
  auto port_bytes = read_array<2>(fd);
  if (!port_bytes) return fail(std::move(port_bytes).error());
  const uint16_t port = decode_port(*port_bytes);

  auto admission = netfilter::admit_destination(filter, host, port);
  Reply refusal = Reply::NotAllowed;
  switch (admission.kind) {
    case Outcome::DeniedByDenyList:
      SOCKS_EVENT(Level::Warn, ("message", "host", "port"), "socks5 DENIED (deny-list)", host,
                  port);
      break;
    case Outcome::NotInAllowList:
      SOCKS_EVENT(Level::Warn, ("message", "host", "port"), "socks5 DENIED (not in allow-list)",
                  host, port);
      break;
    case Outcome::ResolveFailed:
      SOCKS_EVENT(Level::Warn, ("message", "host", "port"),
                  "socks5 resolve failed: " + admission.error.text(), host, port);
      refusal = Reply::GeneralFailure;
      break;
    case Outcome::ResolvedToDenyListed:
      SOCKS_EVENT(Level::Warn, ("message", "host", "port", "resolved"),
                  "socks5 DENIED: resolves into a deny-listed address", host, port,
                  netfilter::to_string(admission.address.ip));
      break;
    case Outcome::ResolvedToInternal:
      SOCKS_EVENT(Level::Warn, ("message", "host", "port", "resolved"),
                  "socks5 DENIED: resolves into an internal range", host, port,
                  netfilter::to_string(admission.address.ip));
      break;
    case Outcome::Admitted:
      break;
  }
  if (admission.kind != Outcome::Admitted) {
    send_socks_reply(fd, refusal);
    client.reset();
    return {};
  }

  SOCKS_EVENT(Level::Debug, ("message", "host", "port"), "socks5 ALLOW, opening upstream", host,
              port);
  auto upstream = proxy::connect_with_timeout(admission.address, proxy::kUpstreamConnectTimeout);
  if (!upstream) {
    SOCKS_EVENT(Level::Warn, ("message", "host", "port"),
                "socks5 upstream connect failed: " + upstream.error().text(), host, port);
    send_socks_reply(fd, Reply::ConnectionRefused);
    client.reset();
    return {};
  }
  SANDBOX_TRY(send_all(fd, encode_reply(Reply::Succeeded)));
  SANDBOX_TRY(proxy::set_io_timeouts(fd, std::chrono::seconds(0)));
  proxy::pump_tunnel(std::move(client), std::move(*upstream));
  return {};
}

}  // namespace

void send_socks_reply(int fd, Reply rep) { (void)send_all(fd, encode_reply(rep)); }

void handle_socks_connection(std::shared_ptr<const netfilter::NetworkFilter> filter,
                             UniqueFd client) {
  auto outcome = serve(*filter, client);
  if (!outcome) {
    client.reset();
    SOCKS_EVENT(Level::Debug, ("message"), "socks5 connection ended: " + outcome.error().text());
  }
}

}  // namespace sandbox::socks
