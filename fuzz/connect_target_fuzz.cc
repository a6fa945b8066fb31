// CONNECT targets and request lines from arbitrary bytes: parse_connect_target and
// parse_port, split_request_line and the white-space helpers they rely on.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "sandbox_core/base/quoted.h"
#include "sandbox_core/http/http.h"

using namespace sandbox;
using namespace sandbox::proxy;
using namespace sandbox::http;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (auto target = parse_connect_target(text)) {
    // The canonical spelling of the result parses back to the same target.
    const bool bracketed = !text.empty() && text.front() == '[';
    FUZZ_CHECK(!bracketed || target->host.find(']') == std::string::npos);
    const std::string again = bracketed ? "[" + target->host + "]:" + std::to_string(target->port)
                                        : target->host + ":" + std::to_string(target->port);
    auto reparsed = parse_connect_target(again);
    FUZZ_CHECK(reparsed && *reparsed == *target);
    // The host is a piece of the input, never longer than it.
    FUZZ_CHECK(target->host.size() < text.size());
    FUZZ_CHECK(text.find(target->host) != std::string_view::npos);
  }
  if (auto port = parse_port(text)) {
    FUZZ_CHECK(!text.empty());
    FUZZ_CHECK(parse_port(std::to_string(*port)) == port);
  }

  if (is_valid_utf8(text)) {
    std::string_view trimmed = trim_end_white_space(text);
    FUZZ_CHECK(text.substr(0, trimmed.size()) == trimmed);
    FUZZ_CHECK(is_valid_utf8(trimmed));
    if (auto line = split_request_line(text)) {
      for (std::string_view token : {line->method, line->target}) {
        FUZZ_CHECK(!token.empty());
        FUZZ_CHECK(token.data() >= text.data() &&
                   token.data() + token.size() <= text.data() + text.size());
        FUZZ_CHECK(is_valid_utf8(token));
        size_t pos = 0;
        while (pos < token.size()) FUZZ_CHECK(!is_unicode_white_space(decode_utf8(token, pos)));
      }
      FUZZ_CHECK(line->method.data() < line->target.data());
    }
    (void)is_connect_method(text);
  }
  return 0;
}
