// The incremental head reader (run by the poll loop) and the body of each
// "allow-list-proxy-conn" thread: admission with its events, responses and the hand-over
// to the pump. Never throws or reports upwards; the
// thread ends after refusing, failing or handing the sockets over.
#include <sys/socket.h>

#include <cstring>
#include <optional>

#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/base/text.h"
#include "sandbox_core/events/event.h"
#include "sandbox_core/http/http.h"
#include "sandbox_core/netfilter/admission.h"
#include "sandbox_core/proxy/net.h"
#include "sandbox_core/proxy/proxy.h"

namespace sandbox::http {
namespace {

#define PROXY_EVENT(LEVEL, FIELDS, ...) \
  SANDBOX_EVENT(LEVEL, "sandbox_core::proxy", "sandbox_core::proxy::http", FIELDS, __VA_ARGS__)

using events::Level;

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
// handler ends. A refusal gets its 403 and the client is closed. A failed resolution is
// a refusal too, but gets no response at all: the client's connection is closed.
std::optional<Result<void, IoError>> end_unless_admitted(netfilter::AdmissionOutcome& admission,
                                                         const std::string& host, uint16_t port,
                                                         UniqueFd& client) {
  switch (admission.kind) {
    case Outcome::DeniedByDenyList:
      PROXY_EVENT(Level::Warn, ("message", "host", "port", "reason"), "proxy DENIED (deny-list)",
                  host, port, netfilter::refusal_reason(admission));
      send_forbidden(std::move(client), deny_list_body(host));
      return Result<void, IoError>();
    case Outcome::NotInAllowList:
      PROXY_EVENT(Level::Warn, ("message", "host", "port", "reason"),
                  "proxy DENIED (not in allow-list)", host, port,
                  netfilter::refusal_reason(admission));
      send_forbidden(std::move(client), allow_list_body(host));
      return Result<void, IoError>();
    case Outcome::ResolveFailed:
      PROXY_EVENT(Level::Warn, ("message", "host", "port", "reason"),
                  "proxy DENIED: resolve failed: " + admission.error.text(), host, port,
                  netfilter::refusal_reason(admission));
      client.reset();
      return Result<void, IoError>();
    case Outcome::ResolvedToDenyListed: {
      const std::string ip = netfilter::to_string(admission.address.ip);
      PROXY_EVENT(Level::Warn, ("message", "host", "port", "resolved", "reason"),
                  "proxy DENIED: resolves into a deny-listed address", host, port, ip,
                  netfilter::refusal_reason(admission));
      send_forbidden(std::move(client), deny_listed_address_body(host, ip));
      return Result<void, IoError>();
    }
    case Outcome::ResolvedToInternal: {
      const std::string ip = netfilter::to_string(admission.address.ip);
      PROXY_EVENT(Level::Warn, ("message", "host", "port", "resolved", "reason"),
                  "proxy DENIED: resolves into an internal range", host, port, ip,
                  netfilter::refusal_reason(admission));
      send_forbidden(std::move(client), internal_address_body(host, ip));
      return Result<void, IoError>();
    }
    case Outcome::Admitted:
      PROXY_EVENT(Level::Debug, ("message", "host", "port"), "proxy ALLOW, opening upstream", host,
                  port);
      return std::nullopt;
  }
  client.reset();  // not reached; an unknown outcome must never open a tunnel
  return Result<void, IoError>();
}

// Sockets the handler still owns are closed by their destructors on every early return.
Result<void, IoError> serve(const netfilter::NetworkFilter& filter, UniqueFd& client,
                            const HttpHeadReader& head, proxy::ConnectionSlot& slot) {
  const std::string& line = head.request_line();
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
  auto dest = proxy::parse_connect_target(request->target);
  if (!dest) return fail(IoError::custom("bad CONNECT target"));
  const std::string& host = dest->host;
  const uint16_t port = dest->port;

  auto admission = netfilter::admit_destination(filter, host, port, [&] {
    PROXY_EVENT(Level::Debug, ("message", "host", "port"), "proxy ALLOW (name), resolving", host,
                port);
  });
  if (auto ended = end_unless_admitted(admission, host, port, client)) return std::move(*ended);

  return proxy::open_tunnel(client, admission.address, {kResponseTunnelOpen, kResponseBadGateway},
                            head.early(), slot, [&](const IoError& error) {
                              PROXY_EVENT(Level::Warn, ("message", "host", "port"),
                                          "proxy upstream connect failed: " + error.text(), host,
                                          port);
                            });
}

void report_ended(const IoError& error) {
  PROXY_EVENT(Level::Debug, ("message"), "proxy connection ended: " + error.text());
}

}  // namespace

proxy::HeadReader::Step HttpHeadReader::feed(std::string_view bytes) {
  if (bytes.empty()) {  // end of stream
    if (!in_headers_ && line_.empty()) {
      return fail_with(IoError::custom("client closed before sending request"));
    }
    if (line_.size() > kMaxHeadLine) return fail_with(head_too_large());
    // A final line cut by end of stream counts as complete; it also ends the head.
    if (!in_headers_) request_line_ = std::move(line_);
    return Step::Ready;
  }
  while (!bytes.empty()) {
    const size_t lf = bytes.find('\n');
    const size_t take = lf == std::string_view::npos ? bytes.size() : lf + 1;
    line_.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    head_bytes_ += take;
    if (head_bytes_ > kMaxHead) return fail_with(head_too_large());
    if (lf == std::string_view::npos) {
      // An open line may still end in CR LF, hence the extra byte.
      if (line_.size() > kMaxHeadLine + 1) return fail_with(head_too_large());
      return Step::NeedMore;
    }
    if (content_length(line_) > kMaxHeadLine) return fail_with(head_too_large());
    if (Step step = line_complete(bytes); step != Step::NeedMore) return step;
  }
  return Step::NeedMore;
}

proxy::HeadReader::Step HttpHeadReader::line_complete(std::string_view rest) {
  if (!in_headers_) {
    request_line_ = std::move(line_);
    line_.clear();
    // Anything but a well-formed CONNECT is answered (or dropped) on its request line.
    auto request = is_valid_utf8(request_line_) ? split_request_line(request_line_) : std::nullopt;
    if (!request || !is_connect_method(request->method)) return Step::Ready;
    in_headers_ = true;
    return Step::NeedMore;
  }
  const bool blank = line_ == "\r\n" || line_ == "\n";
  line_.clear();
  if (!blank) return Step::NeedMore;
  early_ = std::string(rest);
  return Step::Ready;
}

std::unique_ptr<proxy::HeadReader> new_http_head_reader() {
  return std::make_unique<HttpHeadReader>();
}

void send_forbidden(UniqueFd client, std::string_view body) {
  (void)send_all(client.get(), forbidden_response(body));
  client.reset();
}

void serve_http_head(proxy::FilterRef filter, UniqueFd client,
                     std::unique_ptr<proxy::HeadReader> head, proxy::ConnectionSlot slot) {
  auto outcome = serve(*filter, client, static_cast<const HttpHeadReader&>(*head), slot);
  if (!outcome) {
    client.reset();
    report_ended(outcome.error());
  }
}

void handle_http_connection(proxy::FilterRef filter, UniqueFd client) {
  proxy::serve_blocking(kHttpProxy, std::move(filter), std::move(client));
}

namespace {
void report_accept_failure(const IoError& error) {
  PROXY_EVENT(Level::Warn, ("message"), "allow-list proxy accept failed: " + error.text());
}
void report_over_cap(size_t cap) {
  PROXY_EVENT(
      Level::Warn, ("message"),
      "allow-list proxy at its limit of " + std::to_string(cap) + " connections: closed a new one");
}
}  // namespace

const proxy::ProxyKind kHttpProxy{
    "allow-list-proxy", "allow-list-proxy-conn", "http",        &new_http_head_reader,
    &serve_http_head,   &report_accept_failure,  &report_ended, &report_over_cap};

}  // namespace sandbox::http
