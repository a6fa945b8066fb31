// Pure parts of the HTTP CONNECT proxy: request-line tokens, the fixed
// responses and 403 bodies. No I/O; safe on arbitrary input.
#include <string>

#include "sandbox_core/base/text.h"
#include "sandbox_core/http/http.h"

namespace sandbox::http {

std::optional<RequestLine> split_request_line(std::string_view line) {
  std::string_view tokens[2];
  size_t found = 0;
  size_t pos = 0;
  while (pos < line.size() && found < 2) {
    size_t start = pos;
    if (is_unicode_white_space(decode_utf8(line, pos))) continue;
    size_t end = pos;
    while (pos < line.size()) {
      if (is_unicode_white_space(decode_utf8(line, pos))) break;
      end = pos;
    }
    tokens[found++] = line.substr(start, end - start);
  }
  if (found < 2) return std::nullopt;
  return RequestLine{tokens[0], tokens[1]};
}

bool is_connect_method(std::string_view method) {
  constexpr std::string_view kConnect = "CONNECT";
  if (method.size() != kConnect.size()) return false;
  for (size_t i = 0; i < method.size(); ++i) {
    char c = method[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != kConnect[i]) return false;
  }
  return true;
}

std::string forbidden_response(std::string_view body) {
  std::string out = "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: ";
  out += std::to_string(body.size());
  out += "\r\nConnection: close\r\n\r\n";
  out += body;
  return out;
}

std::string deny_list_body(std::string_view host) {
  return std::string(host) + " is blocked by the sandbox network deny-list\n";
}

std::string allow_list_body(std::string_view host) {
  return std::string(host) + " is not in the sandbox network allow-list\n";
}

std::string deny_listed_address_body(std::string_view host, std::string_view ip) {
  return std::string(host) + " resolves to a deny-listed address (" + std::string(ip) + ")\n";
}

std::string internal_address_body(std::string_view host, std::string_view ip) {
  return std::string(host) + " resolves to a disallowed internal address (" + std::string(ip) +
         ")\n";
}

}  // namespace sandbox::http
