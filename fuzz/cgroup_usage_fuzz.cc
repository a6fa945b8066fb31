// The control groups' counter files: any bytes parse to a figure or to none, never crash,
// and a figure that parsed is the text's own number (it prints back the same).
#include <cstddef>
#include <cstdint>
#include <string>

#include "sandbox_core/isolation/cgroup_usage.h"

using namespace sandbox::isolation;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto v = parse_counter(text)) {
    std::string back = std::to_string(*v);
    if (text != back && text != back + "\n") __builtin_trap();
  }
  for (const char* key : {"oom_kill", "user_usec", "system_usec", "user", "system"})
    (void)parse_keyed(text, key);
  (void)parse_io_stat(text);
  (void)parse_blkio_service_bytes(text);
  return 0;
}
