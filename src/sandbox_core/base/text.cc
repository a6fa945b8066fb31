#include "sandbox_core/base/text.h"

namespace sandbox {

long decode_utf8(std::string_view s, size_t& pos) {
  const auto b0 = static_cast<unsigned char>(s[pos]);
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  int len;
  long cp;
  long min;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    ++pos;
    return -1;
  }
  if (pos + len > s.size()) {
    ++pos;
    return -1;
  }
  for (int i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(s[pos + i]);
    if ((b & 0xC0) != 0x80) {
      ++pos;
      return -1;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return -1;
  }
  pos += len;
  return cp;
}

bool is_valid_utf8(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size())
    if (decode_utf8(text, pos) < 0) return false;
  return true;
}

bool is_unicode_white_space(long c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view trim_end_white_space(std::string_view text) {
  size_t end = 0;  // end of the last scalar that is not White_Space
  size_t pos = 0;
  while (pos < text.size()) {
    long c = decode_utf8(text, pos);
    if (!is_unicode_white_space(c)) end = pos;
  }
  return text.substr(0, end);
}

std::string_view trim_white_space(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t next = pos;
    if (!is_unicode_white_space(decode_utf8(text, next))) break;
    pos = next;
  }
  return trim_end_white_space(text.substr(pos));
}

std::optional<uint32_t> parse_decimal(std::string_view text, uint32_t max) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > max) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

}  // namespace sandbox
