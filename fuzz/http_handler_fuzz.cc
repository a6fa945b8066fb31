// The HTTP CONNECT handler on arbitrary client bytes, over a socket pair, with the fake
// resolver of fuzz_support.h. Whatever the client sends, the reply is empty or one
// complete response of the fixed set, and no tunnel opens (nothing listens anywhere the
// filter admits).
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "sandbox_core/http/http.h"

using namespace sandbox;

namespace {

bool g_isolated = false;

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_isolated = fuzzing::set_up_handler_target("http_handler_fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto filter = fuzzing::handler_filter();
  const std::string reply = fuzzing::drive_fuzz_input(
      data, size, [](UniqueFd client) { http::handle_http_connection(filter, std::move(client)); });

  if (reply.empty()) return 0;
  if (reply == http::kResponseMethodNotAllowed || reply == http::kResponseBadGateway) return 0;
  if (starts_with(reply, "HTTP/1.1 403 Forbidden\r\n")) {
    FUZZ_CHECK(reply.find("\r\n\r\n") != std::string::npos);
    return 0;
  }
  // A tunnel can only open where something listens, and in the private namespace
  // nothing does.
  if (!g_isolated && reply == http::kResponseTunnelOpen) return 0;
  std::fprintf(stderr, "unexpected reply: %s\n", reply.c_str());
  FUZZ_CHECK(false);
  return 0;
}
