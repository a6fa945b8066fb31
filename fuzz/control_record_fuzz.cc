// The sandbox init's request parser: whatever the bytes and the descriptor count, it
// accepts only a request whose every string lies inside the buffer, NUL-terminated, in
// the counts its header gives, with argv and envp null-terminated. Byte 0 of an input is
// the descriptor count (mod 5); the rest is the message.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "sandbox_core/launch/control_record.h"

using namespace sandbox::launch_detail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size - 1 > kControlMaxBytes) return 0;
  const int fds = data[0] % 5;
  std::vector<char> buf(data + 1, data + size);
  static char* slots[kControlMaxStrings + 2];
  ControlRequest h;
  ExecView v;
  if (parse_control_request(buf.data(), buf.size(), fds, &h, slots,
                            sizeof slots / sizeof slots[0], &v) != 0) {
    return 0;
  }
  FUZZ_CHECK(h.id != 0 && h.strings_bytes == buf.size() - sizeof h);
  if (h.kind == kControlSignal) {
    FUZZ_CHECK(fds == 0 && h.signal >= 1 && h.signal <= 64);
    return 0;
  }
  FUZZ_CHECK(h.kind == kControlExec && fds == kControlExecFds);
  const char* lo = buf.data() + sizeof h;
  const char* hi = buf.data() + buf.size();
  auto inside = [&](const char* s) {
    return s >= lo && s < hi && std::memchr(s, '\0', static_cast<size_t>(hi - s)) != nullptr;
  };
  FUZZ_CHECK(inside(v.cwd) && v.candidate_count == h.candidates);
  for (uint32_t i = 0; i < h.candidates; ++i) FUZZ_CHECK(inside(v.candidates[i]));
  for (uint32_t i = 0; i < h.argc; ++i) FUZZ_CHECK(inside(v.argv[i]));
  FUZZ_CHECK(v.argv[h.argc] == nullptr);
  for (uint32_t i = 0; i < h.envc; ++i) FUZZ_CHECK(inside(v.envp[i]));
  FUZZ_CHECK(v.envp[h.envc] == nullptr);
  return 0;
}
