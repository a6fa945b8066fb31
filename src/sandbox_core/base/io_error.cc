#include "sandbox_core/base/io_error.h"

#include <cstring>

#if defined(__GLIBC__) && defined(SANDBOX_PORTABLE_FALLBACKS)
// g++ always defines _GNU_SOURCE, which hides glibc's XSI strerror_r behind this name.
extern "C" int __xpg_strerror_r(int code, char* buf, size_t len) noexcept;
#endif

namespace sandbox {

namespace {

// XSI strerror_r fills buf and returns 0, or an error number, usually with an "Unknown
// error" text written all the same; GNU's returns the text, perhaps a static string.
[[maybe_unused]] const char* strerror_text(int rc, const char* buf) {
  return rc == 0 || buf[0] != '\0' ? buf : nullptr;
}
[[maybe_unused]] const char* strerror_text(const char* text, const char*) { return text; }

const char* describe(int code, char* buf, size_t len) {
  buf[0] = '\0';
#if defined(__GLIBC__) && defined(SANDBOX_PORTABLE_FALLBACKS)
  return strerror_text(::__xpg_strerror_r(code, buf, len), buf);
#else
  return strerror_text(::strerror_r(code, buf, len), buf);
#endif
}

}  // namespace

std::string os_error_text(int code) {
  char buf[256];
  const char* desc = describe(code, buf, sizeof buf);
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
