// The quoted form of a caller-supplied name inside a message: double quotes, a backslash
// before '"' and '\', \t \r \n \0 for those controls, \u{hex} for other non-printables.
// A single quote is not escaped.
#pragma once

#include <string>
#include <string_view>

namespace sandbox {

// `text` is UTF-8; a byte that does not start a valid sequence becomes U+FFFD.
std::string quoted_form(std::string_view text);

// Decodes one UTF-8 scalar at `pos`, advancing it; returns -1 (and advances one byte)
// for an invalid or truncated sequence, overlong forms and surrogates included.
long decode_utf8(std::string_view text, size_t& pos);

}  // namespace sandbox
