// Small text predicates shared by the entry grammar and both proxies' wire parsers: UTF-8
// decoding, Unicode White_Space, and the unsigned decimal numbers of prefixes and ports.
// Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace sandbox {

// Decodes one UTF-8 scalar at `pos`, advancing it; returns -1 (and advances one byte)
// for an invalid or truncated sequence, overlong forms and surrogates included.
long decode_utf8(std::string_view text, size_t& pos);
bool is_valid_utf8(std::string_view text);

// The Unicode White_Space property (tab to carriage return, space, U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F, U+3000).
bool is_unicode_white_space(long scalar);
// `text` without its leading and trailing White_Space; bytes that are not valid UTF-8
// count as text.
std::string_view trim_white_space(std::string_view text);
std::string_view trim_end_white_space(std::string_view text);

// An optional '+' and decimal digits only (leading zeros allowed), at most `max`.
std::optional<uint32_t> parse_decimal(std::string_view text, uint32_t max);

}  // namespace sandbox
