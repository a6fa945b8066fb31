// The seccomp filter both Linux backends install after set-up, written as a table of
// refused calls and compiled to classic BPF once per process. userns-lite loads it
// itself; bubblewrap receives it through bwrap's --seccomp descriptor.
#pragma once

#include <cstdint>
#include <span>

#include "sandbox_core/base/io_error.h"
#include "sandbox_core/base/result.h"
#include "sandbox_core/base/unique_fd.h"

#if defined(__linux__)
#include <linux/filter.h>
#endif

namespace sandbox::isolation {

// One refused call: the call, and up to two tests on its arguments' low 32 bits that
// must all hold for the refusal (none: always refused).
struct ArgTest {
  enum class Op : uint8_t { None, HasBits, In, NotIn } op = Op::None;
  uint8_t arg = 0;
  uint32_t values[4] = {};
  uint8_t count = 0;
};

struct RefusedCall {
  const char* name;
  long nr;
  int error;  // EPERM; ENOSYS where callers should fall back (clone3)
  ArgTest tests[2];
};

// The table, in the order the filter tests it.
std::span<const RefusedCall> refused_calls();

#if defined(__linux__)
// The compiled program (built on first use, then shared read-only).
std::span<const sock_filter> seccomp_program();
#endif

// A pipe whose read end yields the program's bytes, as bwrap's --seccomp wants them.
Result<UniqueFd, IoError> seccomp_program_pipe();

}  // namespace sandbox::isolation
