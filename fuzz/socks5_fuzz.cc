// The SOCKS5 handshake on arbitrary client bytes, over a socket pair, with the fake
// resolver of fuzz_support.h. The reply is a prefix of: a method selection, then at most
// one 10-byte reply with a code from the fixed set; success never (nothing listens).
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "sandbox_core/socks/socks5.h"

using namespace sandbox;

namespace {

bool g_isolated = false;

bool known_failure(uint8_t rep) {
  using socks::Reply;
  for (Reply r : {Reply::GeneralFailure, Reply::NotAllowed, Reply::ConnectionRefused,
                  Reply::CommandNotSupported, Reply::AddressTypeNotSupported})
    if (rep == static_cast<uint8_t>(r)) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_isolated = fuzzing::set_up_handler_target("socks5_fuzz");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto filter = fuzzing::handler_filter();
  const std::string reply = fuzzing::drive_fuzz_input(data, size, [](UniqueFd client) {
    socks::handle_socks_connection(filter, std::move(client));
  });

  if (reply.empty()) return 0;
  FUZZ_CHECK(reply.size() == 2 || reply.size() == 12);
  FUZZ_CHECK(reply[0] == 5);
  const auto method = static_cast<uint8_t>(reply[1]);
  FUZZ_CHECK(method == socks::kMethodNoAuth || method == 0xFF);
  if (method == 0xFF) FUZZ_CHECK(reply.size() == 2);
  if (reply.size() == 12) {
    FUZZ_CHECK(reply[2] == 5 && reply[4] == 0 && reply[5] == socks::kAtypIpv4);
    const auto rep = static_cast<uint8_t>(reply[3]);
    FUZZ_CHECK(known_failure(rep) || (!g_isolated && rep == 0));
    for (size_t i = 6; i < 12; ++i) FUZZ_CHECK(reply[i] == 0);
  }
  return 0;
}
