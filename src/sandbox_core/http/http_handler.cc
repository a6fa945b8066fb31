// The body of each "allow-list-proxy-conn" thread: head reading, admission with its
// events, responses and the hand-over to the pump. Never throws or reports upwards; the
// thread ends after refusing, failing or handing the sockets over.
#include <sys/socket.h>

#include <cstring>
#include <optional>

#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/events/event.h"
#include "sandbox_core/netfilter/admission.h"
#include "sandbox_core/http/http.h"
#include "sandbox_core/proxy/net.h"
#include "sandbox_core/proxy/proxy.h"

namespace sandbox::http {
namespace {

#define PROXY_EVENT(LEVEL, FIELDS, ...) \
  SANDBOX_EVENT(LEVEL, "sandbox_core::proxy", "sandbox_core::proxy::http", FIELDS, __VA_ARGS__)

using events::Level;
using proxy::connect_with_timeout;
using proxy::kHandshakeTimeout;
using proxy::kUpstreamConnectTimeout;
using proxy::pump_tunnel;
using proxy::set_io_timeouts;

IoError head_too_large() { return IoError::custom(kHeadTooLarge); }

// Strips the line ending for the length bound.
size_t content_length(std::string_view line) {
  size_t n = line.size();
  if (n > 0 && line[n - 1] == '\n') {
    --n;
    if (n > 0 && line[n - 1] == '\r') --n;
  }
  return n;
}

using Outcome = netfilter::AdmissionOutcome::Kind;

// Each admission outcome to its event and answer: the one table of this protocol. Nothing
// for an admitted destination (the client stays open for the tunnel); otherwise how the
// handler ends. A refusal gets its 403 and the client is closed. A failed resolution gets
// no response at all: the handler ends with the resolver's error, like every other error
// before the tunnel.
std::optional<Result<void, IoError>> end_unless_admitted(netfilter::AdmissionOutcome& admission,
                                                         const std::string& host, uint16_t port,
                                                         UniqueFd& client) {
  switch (admission.kind) {
    case Outcome::DeniedByDenyList:
      PROXY_EVENT(Level::Warn, ("message", "host", "port"), "proxy DENIED (deny-list)", host,
                  port);
      send_forbidden(std::move(client), deny_list_body(host));
      return Result<void, IoError>();
    case Outcome::NotInAllowList:
      PROXY_EVENT(Level::Warn, ("message", "host", "port"), "proxy DENIED (not in allow-list)",
                  host, port);
      send_forbidden(std::move(client), allow_list_body(host));
      return Result<void, IoError>();
    case Outcome::ResolveFailed:
      return Result<void, IoError>(fail(std::move(admission.error)));
    case Outcome::ResolvedToDenyListed: {
      const std::string ip = netfilter::to_string(admission.address.ip);
      PROXY_EVENT(Level::Warn, ("message", "host", "port", "resolved"),
                  "proxy DENIED: resolves into a deny-listed address", host, port, ip);
      send_forbidden(std::move(client), deny_listed_address_body(host, ip));
      return Result<void, IoError>();
    }
    case Outcome::ResolvedToInternal: {
      const std::string ip = netfilter::to_string(admission.address.ip);
      PROXY_EVENT(Level::Warn, ("message", "host", "port", "resolved"),
                  "proxy DENIED: resolves into an internal range", host, port, ip);
      send_forbidden(std::move(client), internal_address_body(host, ip));
      return Result<void, IoError>();
    }
    case Outcome::Admitted:
      PROXY_EVENT(Level::Debug, ("message", "host", "port"), "proxy ALLOW, opening upstream",
                  host, port);
      return std::nullopt;
  }
  client.reset();  // not reached; an unknown outcome must never open a tunnel
  return Result<void, IoError>();
}

// Sockets the handler still owns are closed by their destructors on every early return.
Result<void, IoError> serve(const netfilter::NetworkFilter& filter, UniqueFd& client) {
  SANDBOX_TRY(set_io_timeouts(client.get(), kHandshakeTimeout));
  // Reads through the client's own descriptor, used only while `client` is still held.
  HeadReader reader(client.get());

  std::string line;
  auto got = reader.read_line(line);
  if (!got) return fail(std::move(got).error());
  if (!*got) return fail(IoError::custom("client closed before sending request"));
  if (!is_valid_utf8(line)) return fail(IoError::custom("stream did not contain valid UTF-8"));
  PROXY_EVENT(Level::Debug, ("message", "request_line"), "proxy got request",
              trim_end_white_space(line));

  auto request = split_request_line(line);
  if (!request) return fail(IoError::custom("malformed request line"));
  if (!is_connect_method(request->method)) {
    (void)send_all(client.get(), kResponseMethodNotAllowed);
    client.reset();
    return {};
  }
  const std::string target(request->target);
  SANDBOX_TRY(skip_request_headers(reader));
  auto dest = proxy::parse_connect_target(target);
  if (!dest) return fail(IoError::custom("bad CONNECT target"));
  const std::string& host = dest->host;
  const uint16_t port = dest->port;

  auto admission = netfilter::admit_destination(filter, host, port, [&] {
    PROXY_EVENT(Level::Debug, ("message", "host", "port"), "proxy ALLOW (name), resolving", host,
                port);
  });
  if (auto ended = end_unless_admitted(admission, host, port, client)) return std::move(*ended);

  auto upstream = connect_with_timeout(admission.address, kUpstreamConnectTimeout);
  if (!upstream) {
    PROXY_EVENT(Level::Warn, ("message", "host", "port"),
                "proxy upstream connect failed: " + upstream.error().text(), host, port);
    (void)send_all(client.get(), kResponseBadGateway);
    client.reset();
    return {};
  }

  SANDBOX_TRY(send_all(client.get(), kResponseTunnelOpen));
  SANDBOX_TRY(set_io_timeouts(client.get(), std::chrono::seconds(0)));
  // Bytes the client sent right behind the head (a TLS ClientHello, say) already sit in
  // the reader's buffer; they belong to the tunnel and must go first.
  if (!reader.buffered().empty())
    SANDBOX_TRY(send_all(upstream->get(), reader.buffered()));
  pump_tunnel(std::move(client), std::move(*upstream));
  return {};
}

}  // namespace

Result<bool, IoError> HeadReader::fill() {
  pos_ = 0;
  len_ = 0;
  for (;;) {
    ssize_t n = ::recv(fd_, buf_, sizeof buf_, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(IoError::last());
    }
    len_ = static_cast<size_t>(n);
    return n > 0;
  }
}

Result<bool, IoError> HeadReader::read_line(std::string& line) {
  line.clear();
  for (;;) {
    if (pos_ == len_) {
      auto more = fill();
      if (!more) return fail(std::move(more).error());
      if (!*more) break;  // end of stream
    }
    const char* start = buf_ + pos_;
    const void* lf = std::memchr(start, '\n', len_ - pos_);
    size_t take = lf ? static_cast<size_t>(static_cast<const char*>(lf) - start) + 1 : len_ - pos_;
    line.append(start, take);
    pos_ += take;
    head_bytes_ += take;
    if (head_bytes_ > kMaxHead) return fail(head_too_large());
    if (lf) {
      if (content_length(line) > kMaxHeadLine) return fail(head_too_large());
      return true;
    }
    // An open line may still end in CR LF, hence the extra byte.
    if (line.size() > kMaxHeadLine + 1) return fail(head_too_large());
  }
  if (line.size() > kMaxHeadLine) return fail(head_too_large());
  return !line.empty();
}

Result<void, IoError> skip_request_headers(HeadReader& reader) {
  std::string line;
  for (;;) {
    auto got = reader.read_line(line);
    if (!got) return fail(std::move(got).error());
    if (!*got || line == "\r\n" || line == "\n") return {};
  }
}

void send_forbidden(UniqueFd client, std::string_view body) {
  (void)send_all(client.get(), forbidden_response(body));
  client.reset();
}

void handle_http_connection(proxy::FilterRef filter, UniqueFd client) {
  auto outcome = serve(*filter, client);
  if (!outcome) {
    client.reset();
    PROXY_EVENT(Level::Debug, ("message"), "proxy connection ended: " + outcome.error().text());
  }
}

namespace {
void report_accept_failure(const IoError& error) {
  PROXY_EVENT(Level::Warn, ("message"), "allow-list proxy accept failed: " + error.text());
}
}  // namespace

const proxy::ProxyKind kHttpProxy{"allow-list-proxy", "allow-list-proxy-conn",
                                  &handle_http_connection, &report_accept_failure};

}  // namespace sandbox::http
