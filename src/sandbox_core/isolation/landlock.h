// Landlock, the second file-system layer of userns-lite: the kernel's ABI version, the
// access masks by ABI, and the ruleset a launch prepares. The constants are spelled out
// here because the C library headers of older distributions stop at ABI 2.
#pragma once

#include <cstdint>

#include "sandbox_core/base/io_error.h"
#include "sandbox_core/base/result.h"
#include "sandbox_core/base/unique_fd.h"

namespace sandbox::isolation {

namespace landlock {
inline constexpr uint64_t kExecute = 1ULL << 0;
inline constexpr uint64_t kWriteFile = 1ULL << 1;
inline constexpr uint64_t kReadFile = 1ULL << 2;
inline constexpr uint64_t kReadDir = 1ULL << 3;
inline constexpr uint64_t kRemoveDir = 1ULL << 4;
inline constexpr uint64_t kRemoveFile = 1ULL << 5;
inline constexpr uint64_t kMakeChar = 1ULL << 6;
inline constexpr uint64_t kMakeDir = 1ULL << 7;
inline constexpr uint64_t kMakeReg = 1ULL << 8;
inline constexpr uint64_t kMakeSock = 1ULL << 9;
inline constexpr uint64_t kMakeFifo = 1ULL << 10;
inline constexpr uint64_t kMakeBlock = 1ULL << 11;
inline constexpr uint64_t kMakeSym = 1ULL << 12;
inline constexpr uint64_t kRefer = 1ULL << 13;     // ABI 2
inline constexpr uint64_t kTruncate = 1ULL << 14;  // ABI 3
inline constexpr uint64_t kIoctlDev = 1ULL << 15;  // ABI 5

inline constexpr int kRulePathBeneath = 1;
inline constexpr uint32_t kCreateRulesetVersion = 1;

struct RulesetAttr {
  uint64_t handled_access_fs;
};
struct PathBeneathAttr {
  uint64_t allowed_access;
  int32_t parent_fd;
} __attribute__((packed));
}  // namespace landlock

// The ABI the kernel offers, probed once; 0 when Landlock is missing or disabled.
int landlock_abi();

// Every file-system right the given ABI knows, and the subsets rules grant.
uint64_t landlock_handled(int abi);
uint64_t landlock_read_only(int abi);   // read and execute
uint64_t landlock_read_write(int abi);  // everything
// The rights that apply to a file (not a directory): rules on files may grant no other.
uint64_t landlock_file_rights(int abi);

// A new ruleset handling every right of `abi`; rules are added in the child.
Result<UniqueFd, IoError> landlock_ruleset(int abi);

}  // namespace sandbox::isolation
