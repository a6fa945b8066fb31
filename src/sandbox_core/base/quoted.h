// The quoted form of a caller-supplied name inside a message: double quotes, a backslash
// before '"' and '\', \t \r \n \0 for those controls, \u{hex} for other non-printables.
// A single quote is not escaped.
#pragma once

#include <string>
#include <string_view>

#include "sandbox_core/base/text.h"

namespace sandbox {

// `text` is UTF-8; a byte that does not start a valid sequence becomes U+FFFD.
std::string quoted_form(std::string_view text);

}  // namespace sandbox
