// The quoted form of arbitrary bytes: always one double-quoted, valid UTF-8 token with no
// raw control character, and for valid UTF-8 input the escapes decode back to the input.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "fuzz_support.h"
#include "sandbox_core/base/quoted.h"

using namespace sandbox;

namespace {

void append_utf8(std::string& out, unsigned long cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Reverses the escapes; nothing when the text is not a well-formed quoted form.
std::optional<std::string> unquote(std::string_view q) {
  if (q.size() < 2 || q.front() != '"' || q.back() != '"') return std::nullopt;
  q = q.substr(1, q.size() - 2);
  std::string out;
  for (size_t i = 0; i < q.size(); ++i) {
    char c = q[i];
    if (c == '"') return std::nullopt;  // an unescaped quote inside
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i == q.size()) return std::nullopt;
    switch (q[i]) {
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case 'n':
        out += '\n';
        break;
      case '0':
        out += '\0';
        break;
      case '"':
        out += '"';
        break;
      case '\\':
        out += '\\';
        break;
      case 'u': {
        if (i + 1 >= q.size() || q[i + 1] != '{') return std::nullopt;
        size_t close = q.find('}', i + 2);
        if (close == std::string_view::npos || close == i + 2 || close - i - 2 > 6)
          return std::nullopt;
        unsigned long cp = 0;
        for (size_t j = i + 2; j < close; ++j) {
          char h = q[j];
          if (h >= '0' && h <= '9')
            cp = cp * 16 + static_cast<unsigned long>(h - '0');
          else if (h >= 'a' && h <= 'f')
            cp = cp * 16 + static_cast<unsigned long>(h - 'a' + 10);
          else
            return std::nullopt;  // lower-case hex only
        }
        append_utf8(out, cp);
        i = close;
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return out;
}

bool valid_utf8(std::string_view s, bool& has_control) {
  size_t pos = 0;
  while (pos < s.size()) {
    long cp = decode_utf8(s, pos);
    if (cp < 0) return false;
    if (cp < 0x20 || cp == 0x7F) has_control = true;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string quoted = quoted_form(text);

  bool has_control = false;
  FUZZ_CHECK(valid_utf8(quoted, has_control));
  FUZZ_CHECK(!has_control);
  auto back = unquote(quoted);
  FUZZ_CHECK(back.has_value());

  bool input_control = false;
  if (valid_utf8(text, input_control)) FUZZ_CHECK(*back == text);

  // decode_utf8 always advances, by one to four bytes, and never past the end.
  size_t pos = 0;
  while (pos < text.size()) {
    size_t before = pos;
    long cp = decode_utf8(text, pos);
    FUZZ_CHECK(pos > before && pos - before <= 4 && pos <= text.size());
    FUZZ_CHECK(cp >= -1 && cp <= 0x10FFFF);
    if (cp < 0) FUZZ_CHECK(pos == before + 1);
  }
  return 0;
}
