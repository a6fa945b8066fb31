// Landlock ABI probe and masks. Any thread; the probe runs once.
#include "sandbox_core/isolation/landlock.h"

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>

#include "sandbox_core/isolation/syscalls.h"

namespace sandbox::isolation {

int landlock_abi() {
  static const int abi = [] {
    long v = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, landlock::kCreateRulesetVersion);
    return v < 0 ? 0 : static_cast<int>(v);
  }();
  return abi;
}

uint64_t landlock_handled(int abi) {
  using namespace landlock;
  uint64_t all = (kMakeSym << 1) - 1;  // ABI 1: bits 0..12
  if (abi >= 2) all |= kRefer;
  if (abi >= 3) all |= kTruncate;
  if (abi >= 5) all |= kIoctlDev;
  return all;
}

uint64_t landlock_read_only(int abi) {
  (void)abi;
  using namespace landlock;
  return kExecute | kReadFile | kReadDir;
}

uint64_t landlock_read_write(int abi) { return landlock_handled(abi); }

uint64_t landlock_file_rights(int abi) {
  using namespace landlock;
  return (kExecute | kWriteFile | kReadFile | kTruncate | kIoctlDev) & landlock_handled(abi);
}

Result<UniqueFd, IoError> landlock_ruleset(int abi) {
  landlock::RulesetAttr attr{landlock_handled(abi)};
  long fd = ::syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0);
  if (fd < 0) return fail(IoError::last());
  return UniqueFd(static_cast<int>(fd));
}

}  // namespace sandbox::isolation

#else

namespace sandbox::isolation {
int landlock_abi() { return 0; }
uint64_t landlock_handled(int) { return 0; }
uint64_t landlock_read_only(int) { return 0; }
uint64_t landlock_read_write(int) { return 0; }
uint64_t landlock_file_rights(int) { return 0; }
Result<UniqueFd, IoError> landlock_ruleset(int) { return fail(IoError::from_errno(ENOSYS)); }
}  // namespace sandbox::isolation

#endif
