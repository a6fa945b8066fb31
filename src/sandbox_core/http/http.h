// The HTTP CONNECT proxy: pure request-head parsing and responses, the incremental head
// reader the poll loop drives, and the handler run by each "allow-list-proxy-conn" thread. The
// parsers take any bytes (they are fuzzed); the handler works on any connected socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "sandbox_core/base/io_error.h"
#include "sandbox_core/base/result.h"
#include "sandbox_core/base/text.h"
#include "sandbox_core/base/unique_fd.h"
#include "sandbox_core/netfilter/filter.h"
#include "sandbox_core/proxy/net.h"
#include "sandbox_core/proxy/proxy.h"

namespace sandbox::http {

inline constexpr std::string_view kResponseTunnelOpen =
    "HTTP/1.1 200 Connection Established\r\n\r\n";
inline constexpr std::string_view kResponseMethodNotAllowed =
    "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n";
inline constexpr std::string_view kResponseBadGateway =
    "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// Head bounds: a line's content (line ending excluded) and the whole head (request
// line, header lines and the blank line, line endings included). Past either the
// handler ends with "request head too large" and sends nothing.
inline constexpr size_t kMaxHeadLine = 8192;
inline constexpr size_t kMaxHead = 65536;
inline constexpr std::string_view kHeadTooLarge = "request head too large";

struct RequestLine {
  std::string_view method;
  std::string_view target;
};
// The first two tokens separated by runs of Unicode white space; `line` must be valid
// UTF-8. Nothing when there are fewer than two tokens.
std::optional<RequestLine> split_request_line(std::string_view line);
// Exactly "CONNECT" under ASCII case folding.
bool is_connect_method(std::string_view method);

std::string forbidden_response(std::string_view body);
std::string deny_list_body(std::string_view host);
std::string allow_list_body(std::string_view host);
std::string deny_listed_address_body(std::string_view host, std::string_view ip);
std::string internal_address_body(std::string_view host, std::string_view ip);

// Reads a request head as it arrives (pure; any bytes): the request line, then, for a
// CONNECT, header lines up to a blank line or end of stream, which it discards. Ready
// after the request line alone when it is no well-formed CONNECT (the handler answers
// that), so a client waiting for its 405 gets it. Fails past the head bounds with
// "request head too large", and at end of stream before any byte with "client closed
// before sending request". Keeps at most one line.
class HttpHeadReader final : public proxy::HeadReader {
 public:
  Step feed(std::string_view bytes) override;
  // The request line, its line ending included (none when end of stream cut it).
  const std::string& request_line() const { return request_line_; }
  // Bytes received behind the head: what the client sent early, for the tunnel.
  const std::string& early() const { return early_; }

 private:
  Step line_complete(std::string_view rest);

  bool in_headers_ = false;
  std::string line_;  // the line being read
  std::string request_line_;
  std::string early_;
  size_t head_bytes_ = 0;
};

// The HTTP CONNECT proxy's head reader for the runtime.
std::unique_ptr<proxy::HeadReader> new_http_head_reader();

// Writes the 403 response with `body` (write errors ignored) and closes the client.
void send_forbidden(UniqueFd client, std::string_view body);

// Serves one client whose head `head` (an HttpHeadReader) has read: refuses (403/405/502,
// or closes without a response) or opens the tunnel and hands both sockets, and `slot`,
// to the pump. Never reports to the caller; failures are diagnostic events only.
void serve_http_head(proxy::FilterRef filter, UniqueFd client,
                     std::unique_ptr<proxy::HeadReader> head, proxy::ConnectionSlot slot);

// The whole exchange on one blocking client: its head, then serve_http_head.
void handle_http_connection(proxy::FilterRef filter, UniqueFd client);

// The HTTP CONNECT proxy's kind for the listener runtime.
extern const proxy::ProxyKind kHttpProxy;

}  // namespace sandbox::http
