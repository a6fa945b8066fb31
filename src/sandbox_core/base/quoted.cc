#include "sandbox_core/base/quoted.h"

#include <cstdio>

namespace sandbox {

namespace {

// Code points shown escaped: controls, separators other than the plain space, format
// characters that would hide or reorder text, private-use and non-characters.
bool printable(long cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp <= 0xA0) || cp == 0xAD) return false;
  if (cp == 0x034F || cp == 0x061C || cp == 0x115F || cp == 0x1160 || cp == 0x1680 ||
      cp == 0x180E || cp == 0x3000 || cp == 0x3164 || cp == 0xFEFF || cp == 0xFFA0)
    return false;
  if (cp >= 0x0600 && cp <= 0x0605) return false;
  if (cp >= 0x2000 && cp <= 0x200F) return false;
  if (cp >= 0x2028 && cp <= 0x202F) return false;
  if (cp >= 0x205F && cp <= 0x206F) return false;
  if (cp >= 0xD800 && cp <= 0xF8FF) return false;  // surrogates, private use
  if (cp >= 0xFDD0 && cp <= 0xFDEF) return false;
  if ((cp & 0xFFFE) == 0xFFFE) return false;
  if (cp >= 0xFFF0 && cp <= 0xFFFB) return false;
  if (cp >= 0xE0000) return false;  // tags, variation selectors supplement, private use
  return true;
}

}  // namespace

std::string quoted_form(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  size_t pos = 0;
  while (pos < text.size()) {
    size_t start = pos;
    long cp = decode_utf8(text, pos);
    switch (cp) {
      case '\t':
        out += "\\t";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\0':
        out += "\\0";
        continue;
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      default:
        break;
    }
    if (cp < 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD for a byte that is not UTF-8
    } else if (printable(cp)) {
      out.append(text.substr(start, pos - start));
    } else {
      char buf[32];
      std::snprintf(buf, sizeof buf, "\\u{%lx}", cp);
      out += buf;
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace sandbox
