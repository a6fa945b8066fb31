#include "sandbox_core/base/io_error.h"

#include <cstring>

namespace sandbox {

std::string os_error_text(int code) {
  char buf[256];
  // GNU strerror_r may return a static string instead of filling buf.
  const char* desc = ::strerror_r(code, buf, sizeof buf);
  std::string out = desc ? desc : "Unknown error";
  out += " (os error ";
  out += std::to_string(code);
  out += ")";
  return out;
}

std::string IoError::text() const { return message.empty() ? os_error_text(code) : message; }

IoError IoError::annotated(std::string_view suffix) const {
  std::string t = text();
  t.append(suffix);
  return IoError{code, std::move(t)};
}

}  // namespace sandbox
