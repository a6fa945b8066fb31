// The newer Linux calls the isolation code makes through syscall(), with the numbers and
// argument layouts spelled out once: older C library headers lack them, and the child
// code may not pull in headers that conflict with <sys/mount.h>. The numbers are shared by
// every architecture the sandbox supports.
#pragma once

#include <sys/syscall.h>

#include <cstdint>

#ifndef SYS_open_tree
#define SYS_open_tree 428
#endif
#ifndef SYS_move_mount
#define SYS_move_mount 429
#endif
#ifndef SYS_fsopen
#define SYS_fsopen 430
#endif
#ifndef SYS_fsconfig
#define SYS_fsconfig 431
#endif
#ifndef SYS_fsmount
#define SYS_fsmount 432
#endif
#ifndef SYS_fspick
#define SYS_fspick 433
#endif
#ifndef SYS_clone3
#define SYS_clone3 435
#endif
#ifndef SYS_openat2
#define SYS_openat2 437
#endif
#ifndef SYS_mount_setattr
#define SYS_mount_setattr 442
#endif
#ifndef SYS_landlock_create_ruleset
#define SYS_landlock_create_ruleset 444
#endif
#ifndef SYS_landlock_add_rule
#define SYS_landlock_add_rule 445
#endif
#ifndef SYS_landlock_restrict_self
#define SYS_landlock_restrict_self 446
#endif
#ifndef SYS_fchmodat2
#define SYS_fchmodat2 452
#endif

namespace sandbox::isolation::sys {

inline constexpr unsigned kOpenTreeClone = 1, kOpenTreeCloexec = 02000000;
inline constexpr unsigned kAtEmptyPath = 0x1000, kAtRecursive = 0x8000;
inline constexpr unsigned kMoveMountFromEmptyPath = 0x4;
inline constexpr uint64_t kMountAttrRdonly = 0x1, kMountAttrNosuid = 0x2, kMountAttrNodev = 0x4,
                          kMountAttrIdmap = 0x100000;
inline constexpr uint64_t kResolveNoMagiclinks = 0x02, kResolveNoSymlinks = 0x04;

struct MountAttr {
  uint64_t attr_set, attr_clr, propagation, userns_fd;
};
struct OpenHow {
  uint64_t flags, mode, resolve;
};

}  // namespace sandbox::isolation::sys
