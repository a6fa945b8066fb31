// The incremental reader of the greeting and request (run by the poll loop) and the body
// of each "socks5-proxy-conn" thread: admission with its events, the replies and the
// hand-over to the pump. Never throws or
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

std::span<const std::byte> bytes_of(std::string_view s, size_t from, size_t n) {
  return {reinterpret_cast<const std::byte*>(s.data()) + from, n};
}

std::string reply_text(std::span<const std::byte> bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

struct Destination {
  const std::string& host;
  uint16_t port = 0;
};

// Each admission outcome to its event and reply: the one table of this protocol. Nothing
// for an admitted destination; otherwise the refusal's reply code.
std::optional<Reply> refusal_for(const netfilter::AdmissionOutcome& admission,
                                 const Destination& dest) {
  const std::string& host = dest.host;
  const uint16_t port = dest.port;
  switch (admission.kind) {
    case Outcome::DeniedByDenyList:
      SOCKS_EVENT(Level::Warn, ("message", "host", "port", "reason"), "socks5 DENIED (deny-list)",
                  host, port, netfilter::refusal_reason(admission));
      return Reply::NotAllowed;
    case Outcome::NotInAllowList:
      SOCKS_EVENT(Level::Warn, ("message", "host", "port", "reason"),
                  "socks5 DENIED (not in allow-list)", host, port,
                  netfilter::refusal_reason(admission));
      return Reply::NotAllowed;
    case Outcome::ResolveFailed:
      SOCKS_EVENT(Level::Warn, ("message", "host", "port", "reason"),
                  "socks5 resolve failed: " + admission.error.text(), host, port,
                  netfilter::refusal_reason(admission));
      return Reply::GeneralFailure;
    case Outcome::ResolvedToDenyListed:
      SOCKS_EVENT(Level::Warn, ("message", "host", "port", "resolved", "reason"),
                  "socks5 DENIED: resolves into a deny-listed address", host, port,
                  netfilter::to_string(admission.address.ip), netfilter::refusal_reason(admission));
      return Reply::NotAllowed;
    case Outcome::ResolvedToInternal:
      SOCKS_EVENT(Level::Warn, ("message", "host", "port", "resolved", "reason"),
                  "socks5 DENIED: resolves into an internal range", host, port,
                  netfilter::to_string(admission.address.ip), netfilter::refusal_reason(admission));
      return Reply::NotAllowed;
    case Outcome::Admitted:
      SOCKS_EVENT(Level::Debug, ("message", "host", "port"), "socks5 ALLOW, opening upstream", host,
                  port);
      return std::nullopt;
  }
  return Reply::NotAllowed;  // not reached; an unknown outcome must never open a tunnel
}

// Admission and tunnel. Ends with the client closed by the caller's owner unless it was
// answered here or went to the pump.
Result<void, IoError> serve(const netfilter::NetworkFilter& filter, UniqueFd& client,
                            const Socks5HeadReader& head, proxy::ConnectionSlot& slot) {
  const Destination dest{head.host(), head.port()};
  const auto admission = netfilter::admit_destination(filter, dest.host, dest.port);
  if (auto refusal = refusal_for(admission, dest)) {
    send_socks_reply(client.get(), *refusal);
    client.reset();
    return {};
  }
  static const std::string opened = reply_text(encode_reply(Reply::Succeeded));
  static const std::string refused = reply_text(encode_reply(Reply::ConnectionRefused));
  return proxy::open_tunnel(client, admission.address, {opened, refused}, head.early(), slot,
                            [&](const IoError& error) {
                              SOCKS_EVENT(Level::Warn, ("message", "host", "port"),
                                          "socks5 upstream connect failed: " + error.text(),
                                          dest.host, dest.port);
                            });
}

void report_ended(const IoError& error) {
  SOCKS_EVENT(Level::Debug, ("message"), "socks5 connection ended: " + error.text());
}

}  // namespace

void send_socks_reply(int fd, Reply rep) { (void)send_all(fd, encode_reply(rep)); }

proxy::HeadReader::Step Socks5HeadReader::feed(std::string_view bytes) {
  if (bytes.empty()) ended_ = true;
  buf_.append(bytes);
  Step step = parse();
  // The request must be whole before the stream ends; a short one is a short read.
  if (step == Step::NeedMore && ended_) return fail_with(IoError::custom(kFillWholeBuffer));
  return step;
}

proxy::HeadReader::Step Socks5HeadReader::parse() {
  if (!greeted_) {
    if (buf_.size() < 2) return Step::NeedMore;
    auto nmethods = decode_greeting_head(bytes_of(buf_, 0, 2).first<2>());
    if (!nmethods) return fail_with(std::move(nmethods).error());
    const size_t greeting = 2 + *nmethods;
    if (buf_.size() < greeting) return Step::NeedMore;
    if (!offers_no_auth(bytes_of(buf_, 2, *nmethods))) {
      reply_ = reply_text(kNoAcceptableMethod);
      return Step::Close;
    }
    reply_ = reply_text(kSelectNoAuth);
    buf_.erase(0, greeting);
    greeted_ = true;
  }
  if (buf_.size() < 4) return Step::NeedMore;
  auto head = decode_request_head(bytes_of(buf_, 0, 4).first<4>());
  if (!head) return fail_with(std::move(head).error());
  if (head->command != kCommandConnect) {
    reply_ += reply_text(encode_reply(Reply::CommandNotSupported));
    return Step::Close;
  }
  size_t address = 0;  // bytes of the address field, its length byte included
  switch (head->address_type) {
    case kAtypIpv4:
      address = 4;
      break;
    case kAtypIpv6:
      address = 16;
      break;
    case kAtypDomain:
      if (buf_.size() < 5) return Step::NeedMore;
      address = 1 + static_cast<uint8_t>(buf_[4]);
      break;
    default:
      reply_ += reply_text(encode_reply(Reply::AddressTypeNotSupported));
      return Step::Close;
  }
  const size_t request = 4 + address + 2;
  if (buf_.size() < request) return Step::NeedMore;
  switch (head->address_type) {
    case kAtypIpv4:
      host_ = ipv4_host(bytes_of(buf_, 4, 4).first<4>());
      break;
    case kAtypIpv6:
      host_ = ipv6_host(bytes_of(buf_, 4, 16).first<16>());
      break;
    default: {
      auto text = domain_host(bytes_of(buf_, 5, address - 1));
      if (!text) return fail_with(std::move(text).error());
      host_ = std::move(*text);
    }
  }
  port_ = decode_port(bytes_of(buf_, 4 + address, 2).first<2>());
  early_ = buf_.substr(request);
  buf_.clear();
  return Step::Ready;
}

std::unique_ptr<proxy::HeadReader> new_socks5_head_reader() {
  return std::make_unique<Socks5HeadReader>();
}

void serve_socks_head(proxy::FilterRef filter, UniqueFd client,
                      std::unique_ptr<proxy::HeadReader> head, proxy::ConnectionSlot slot) {
  auto outcome = serve(*filter, client, static_cast<const Socks5HeadReader&>(*head), slot);
  if (!outcome) {
    client.reset();
    report_ended(outcome.error());
  }
}

void handle_socks_connection(proxy::FilterRef filter, UniqueFd client) {
  proxy::serve_blocking(kSocks5Proxy, std::move(filter), std::move(client));
}

namespace {
void report_accept_failure(const IoError& error) {
  SOCKS_EVENT(Level::Warn, ("message"), "socks5 proxy accept failed: " + error.text());
}
void report_over_cap(size_t cap) {
  SOCKS_EVENT(
      Level::Warn, ("message"),
      "socks5 proxy at its limit of " + std::to_string(cap) + " connections: closed a new one");
}
}  // namespace

const proxy::ProxyKind kSocks5Proxy{
    "socks5-proxy",    "socks5-proxy-conn",    "socks5h",     &new_socks5_head_reader,
    &serve_socks_head, &report_accept_failure, &report_ended, &report_over_cap};

}  // namespace sandbox::socks
