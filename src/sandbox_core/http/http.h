// The HTTP CONNECT proxy: pure request-head parsing and responses, the bounded head
// reader, and the connection handler run by each "allow-list-proxy-conn" thread. The
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
#include "sandbox_core/base/unique_fd.h"
#include "sandbox_core/netfilter/filter.h"
#include "sandbox_core/proxy/net.h"
#include "sandbox_core/proxy/proxy.h"

namespace sandbox::http {

inline constexpr std::string_view kResponseTunnelOpen = "HTTP/1.1 200 Connection Established\r\n\r\n";
inline constexpr std::string_view kResponseMethodNotAllowed =
    "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n";
inline constexpr std::string_view kResponseBadGateway =
    "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// Head bounds: a line's content (line ending excluded) and the whole head (request
// line, header lines and the blank line, line endings included). Past either the
// handler ends with "request head too large" and sends nothing.
inline constexpr size_t kHeadReaderBuffer = 8192;
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
bool is_unicode_white_space(long scalar);
std::string_view trim_end_white_space(std::string_view text);
bool is_valid_utf8(std::string_view text);

std::string forbidden_response(std::string_view body);
std::string deny_list_body(std::string_view host);
std::string allow_list_body(std::string_view host);
std::string deny_listed_address_body(std::string_view host, std::string_view ip);
std::string internal_address_body(std::string_view host, std::string_view ip);

// Buffered line reader over a socket that the caller keeps open (not owned), enforcing
// the head bounds. Blocking; retries interrupted reads.
class HeadReader {
 public:
  explicit HeadReader(int fd) : fd_(fd) {}

  // Replaces `line` with the next line, its line feed included; a final line cut by end
  // of stream comes without one. False at end of stream with nothing read.
  Result<bool, IoError> read_line(std::string& line);
  // Bytes received past the last line returned: what the client sent early.
  std::string_view buffered() const { return {buf_ + pos_, len_ - pos_}; }

 private:
  Result<bool, IoError> fill();

  int fd_;
  char buf_[kHeadReaderBuffer];
  size_t pos_ = 0;
  size_t len_ = 0;
  size_t head_bytes_ = 0;
};

// Discards header lines up to a blank line ("\r\n" or "\n") or end of stream.
Result<void, IoError> skip_request_headers(HeadReader& reader);

// Writes the 403 response with `body` (write errors ignored) and closes the client.
void send_forbidden(UniqueFd client, std::string_view body);

// Serves one client: refuses (403/405/502, or closes without a response) or opens the
// tunnel and hands both sockets to the pump. Never reports to the caller; failures are
// diagnostic events only.
void handle_http_connection(proxy::FilterRef filter, UniqueFd client);

// The HTTP CONNECT proxy's kind for the listener runtime.
extern const proxy::ProxyKind kHttpProxy;

}  // namespace sandbox::http
