// NamespaceSetup::run(): the namespace set-up, executed in the child right after clone()
// while it may still share the parent's memory. Async-signal-safe system calls on data
// the parent prepared, nothing else: no allocation, locks, logging or exceptions. Built
// with -fno-exceptions; a test checks its undefined symbols. Ids change through raw
// system calls: the C library's wrappers would signal the parent's threads.
#include "sandbox_core/isolation/namespaces.h"

#if defined(__linux__)
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/seccomp.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sandbox_core/isolation/landlock.h"
#include "sandbox_core/isolation/syscalls.h"

#ifndef PR_CAP_AMBIENT
#define PR_CAP_AMBIENT 47
#define PR_CAP_AMBIENT_CLEAR_ALL 4
#endif

namespace sandbox::isolation {
namespace {

using namespace launch_detail;

// The detail of kStepIdMap records.
enum IdStep : int32_t { kDenySetgroups, kUidMap, kGidMap, kBecomeUnprivileged, kNewUserNamespace };

int fail_at(ChildReport& r, int32_t step, int32_t detail = -1) noexcept {
  int err = errno;
  r.step = step;
  r.detail = detail;
  return err != 0 ? err : EIO;
}

bool write_file(const char* path, const char* text) noexcept {
  int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t len = std::strlen(text);
  bool ok = ::write(fd, text, len) == static_cast<ssize_t>(len);
  int err = errno;
  ::close(fd);
  errno = err;
  return ok;
}

// Directories made for mount points belong to the child's ids, as they would in a user
// namespace of its own: a root caller's child (`owner`) keeps writing under its /tmp.
bool make_dirs(const MountStep& m, long owner, long group) noexcept {
  for (size_t i = 0; i < m.dir_count; ++i) {
    if (::mkdir(m.dirs[i], 0755) == 0) {
      if (owner >= 0 &&
          ::syscall(SYS_fchownat, AT_FDCWD, m.dirs[i], owner, group, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    } else if (errno != EEXIST) {
      return false;
    }
  }
  return true;
}

bool set_attr(const char* path, uint64_t set, unsigned flags) noexcept {
  sys::MountAttr attr{set, 0, 0, 0};
  return ::syscall(SYS_mount_setattr, AT_FDCWD, path, flags, &attr, sizeof attr) == 0;
}

bool close_keeping_errno(int fd, bool ok) noexcept {
  int err = errno;
  ::close(fd);
  errno = err;
  return ok;
}

// A detached copy of the bind's source: the parent's, or one made here; a read-write
// source is walked without following any link.
int source_tree(const MountStep& m) noexcept {
  if (m.tree >= 0) return ::fcntl(m.tree, F_DUPFD_CLOEXEC, 0);
  constexpr unsigned kClone = sys::kOpenTreeClone | sys::kOpenTreeCloexec | sys::kAtRecursive;
  if (!m.no_links) return static_cast<int>(::syscall(SYS_open_tree, AT_FDCWD, m.source, kClone));
  sys::OpenHow how{O_PATH | O_CLOEXEC, 0, sys::kResolveNoSymlinks | sys::kResolveNoMagiclinks};
  int at = static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, m.source, &how, sizeof how));
  if (at < 0) return -1;
  int tree = static_cast<int>(::syscall(SYS_open_tree, at, "", kClone | sys::kAtEmptyPath));
  return close_keeping_errno(at, true) ? tree : -1;
}

bool attach(int tree, const MountStep& m) noexcept {
  if (tree < 0) return false;
  bool ok =
      ::syscall(SYS_move_mount, tree, "", AT_FDCWD, m.target, sys::kMoveMountFromEmptyPath) == 0;
  return close_keeping_errno(tree, ok);
}

bool make_mount_point(const MountStep& m, long owner = -1, long group = -1) noexcept {
  if (!make_dirs(m, owner, group)) return false;
  if (!m.file) return true;
  int fd = ::open(m.target, O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  return fd >= 0 && close_keeping_errno(fd, true);
}

bool exists(const char* path) noexcept {
  int fd = ::open(path, O_PATH | O_CLOEXEC);
  return fd >= 0 && close_keeping_errno(fd, true);
}

bool mount_step(const MountStep& m) noexcept {
  constexpr uint64_t kLocked = sys::kMountAttrRdonly | sys::kMountAttrNosuid | sys::kMountAttrNodev;
  switch (m.kind) {
    case MountStep::Kind::Symlink:
      return ::symlink(m.source, m.target) == 0 || errno == EEXIST;
    case MountStep::Kind::Dir:
      return true;  // made as the mount point
    case MountStep::Kind::Cgroup:
      // cgroup2 in the child's cgroup namespace shows only its own group; where that
      // cannot be mounted, nothing at all.
      if (m.data != nullptr &&
          ::mount("cgroup2", m.target, "cgroup2", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC,
                  nullptr) == 0) {
        return true;
      }
      return ::mount("tmpfs", m.target, "tmpfs", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC,
                     "mode=0555") == 0;
    case MountStep::Kind::Bind: {
      bool ok = m.tree >= 0 || m.no_links
                    ? attach(source_tree(m), m)
                    : ::mount(m.source, m.target, nullptr, MS_BIND | MS_REC, nullptr) == 0;
      // Recursively, so no submount of a read-only path stays writable.
      return ok && (!m.read_only || set_attr(m.target, kLocked, sys::kAtRecursive));
    }
    case MountStep::Kind::Sysfs:
      // Only a sysfs mounted in the sandbox's network namespace lists its own interfaces;
      // where the kernel refuses one, the host's read-only.
      if (::mount("sysfs", m.target, "sysfs", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC,
                  nullptr) == 0) {
        return true;
      }
      return ::mount(m.source, m.target, nullptr, MS_BIND | MS_REC, nullptr) == 0 &&
             set_attr(m.target, kLocked, sys::kAtRecursive);
    case MountStep::Kind::Tmpfs:
      return ::mount(m.source, m.target, "tmpfs",
                     MS_NOSUID | MS_NODEV | (m.read_only ? MS_RDONLY : 0), m.data) == 0;
    case MountStep::Kind::Proc:
      return ::mount(m.source, m.target, "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0;
    case MountStep::Kind::Devpts:
      return ::mount(m.source, m.target, "devpts", MS_NOSUID | MS_NOEXEC, m.data) == 0;
  }
  return false;
}

// An optional step is tried first: a missing target is the only failure it may skip.
bool apply(const MountStep& m, long owner = -1, long group = -1) noexcept {
  if (!m.optional) return make_mount_point(m, owner, group) && mount_step(m);
  if (mount_step(m)) return true;
  return errno == ENOENT && !exists(m.target);
}

}  // namespace

// The containment order. Each step's failure names itself through describe().
int NamespaceSetup::run(ChildReport& r) const noexcept {
  if (int err = map_ids(r)) return err;
  // Not at clone: the child joins the sandbox's control groups only after it, and the
  // namespace's root must be that group, not the caller's.
  if (own_cgroup_namespace_ && ::syscall(SYS_unshare, CLONE_NEWCGROUP) != 0) {
    return fail_at(r, kStepCgroupNamespace);
  }
  if (options_.root == RootMode::Own) {
    if (int err = enter_own_root(r)) return err;
  } else if (options_.root == RootMode::Staged) {
    if (int err = stage_binds(r)) return err;
  }
  if (int err = raise_loopback(r)) return err;
  if (int err = open_fence(r)) return err;
  if (int err = drop_identity(r)) return err;
  if (!options_.harden) return 0;
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return fail_at(r, kStepNoNewPrivs);
  if (int err = restrict_files(r)) return err;
  if (int err = drop_capabilities(r)) return err;
  return install_seccomp(r);
}

// The caller's ids inside; setgroups must be denied before an unprivileged gid map.
int NamespaceSetup::map_ids(ChildReport& r) const noexcept {
  if (uid_map_ == nullptr) return 0;
  if (!write_file("/proc/self/setgroups", "deny") && errno != ENOENT)
    return fail_at(r, kStepIdMap, kDenySetgroups);
  if (!write_file("/proc/self/uid_map", uid_map_)) return fail_at(r, kStepIdMap, kUidMap);
  if (!write_file("/proc/self/gid_map", gid_map_)) return fail_at(r, kStepIdMap, kGidMap);
  return 0;
}

int NamespaceSetup::enter_own_root(ChildReport& r) const noexcept {
  // Nothing mounted here may propagate back to the host.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return fail_at(r, kStepPivot);
  // The new root is a tmpfs over /tmp in this mount namespace only; after the pivot
  // the old root, host /tmp included, is reachable under /.old for the binds.
  if (::mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0 ||
      ::mkdir("/tmp/.old", 0700) != 0 || ::chdir("/tmp") != 0 ||
      ::syscall(SYS_pivot_root, ".", ".old") != 0 || ::chdir("/") != 0) {
    return fail_at(r, kStepPivot);
  }
  for (size_t i = 0; i < mount_count_; ++i) {
    if (!apply(mounts_[i], host_uid_, host_gid_))
      return fail_at(r, kStepMount, static_cast<int32_t>(i));
  }
  // The host's root goes away entirely; the sandbox's root becomes read-only.
  if (::umount2("/.old", MNT_DETACH) != 0 || ::rmdir("/.old") != 0 ||
      !set_attr("/", sys::kMountAttrRdonly | sys::kMountAttrNosuid | sys::kMountAttrNodev, 0)) {
    return fail_at(r, kStepPivot);
  }
  if (::chdir(work_dir_) != 0) return fail_at(r, kStepChdirInside);
  return 0;
}

// Every source is opened before the stage covers its directory, where a source may live.
int NamespaceSetup::stage_binds(ChildReport& r) const noexcept {
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return fail_at(r, kStepPivot);
  int trees[kMaxStageSteps];
  const size_t count = mount_count_ < kMaxStageSteps ? mount_count_ : kMaxStageSteps;
  for (size_t i = 1; i < count; ++i) {
    trees[i] = mounts_[i].kind == MountStep::Kind::Bind ? source_tree(mounts_[i]) : -1;
    if (trees[i] < 0 && mounts_[i].kind == MountStep::Kind::Bind) {
      return fail_at(r, kStepMount, static_cast<int32_t>(i));
    }
  }
  if (!apply(mounts_[0])) return fail_at(r, kStepMount, 0);
  for (size_t i = 1; i < count; ++i) {
    const MountStep& m = mounts_[i];
    bool ok =
        m.kind == MountStep::Kind::Bind ? make_mount_point(m) && attach(trees[i], m) : apply(m);
    if (!ok) return fail_at(r, kStepMount, static_cast<int32_t>(i));
  }
  return 0;
}

int NamespaceSetup::raise_loopback(ChildReport& r) const noexcept {
  if (!options_.new_network) return 0;
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return fail_at(r, kStepNetwork);
  ifreq ifr;
  std::memset(&ifr, 0, sizeof ifr);
  std::memcpy(ifr.ifr_name, "lo", 3);
  ifr.ifr_flags = IFF_UP | IFF_RUNNING | IFF_LOOPBACK;
  bool ok = ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
  if (!close_keeping_errno(s, ok)) return fail_at(r, kStepNetwork);
  return 0;
}

// Sockets stay in the namespace they were created in, even once the parent holds them:
// these listeners are the only way out of this network namespace.
int NamespaceSetup::open_fence(ChildReport& r) const noexcept {
  if (listener_count_ == 0) return 0;
  int fds[kMaxFenceListeners];
  size_t count = 0;
  for (size_t i = 0; i < listener_count_ && i < kMaxFenceListeners; ++i) {
    const FenceListener& l = listeners_[i];
    int fd = ::socket(l.address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(fd, reinterpret_cast<const sockaddr*>(&l.address), l.length) != 0 ||
        ::listen(fd, 128) != 0) {
      return fail_at(r, kStepFence, static_cast<int32_t>(i));
    }
    fds[count++] = fd;
  }
  alignas(cmsghdr) char control[CMSG_SPACE(kMaxFenceListeners * sizeof(int))];
  std::memset(control, 0, sizeof control);
  char byte = 0;
  iovec iov{&byte, 1};
  msghdr msg;
  std::memset(&msg, 0, sizeof msg);
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = CMSG_SPACE(count * sizeof(int));
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(count * sizeof(int));
  std::memcpy(CMSG_DATA(c), fds, count * sizeof(int));
  if (::sendmsg(fence_socket_, &msg, MSG_NOSIGNAL) != 1) return fail_at(r, kStepFence);
  return 0;
}

// A root caller's child: its privileged set-up is done, so it becomes the unprivileged
// ids on the host (losing every capability there) and, for userns-lite, root of a user
// namespace of its own that owns none of the namespaces it lives in.
int NamespaceSetup::drop_identity(ChildReport& r) const noexcept {
  if (identity_ != Identity::Unprivileged) return 0;
  const long uid = host_uid_, gid = host_gid_;
  if (::syscall(SYS_setgroups, 0, nullptr) != 0 || ::syscall(SYS_setresgid, gid, gid, gid) != 0 ||
      ::syscall(SYS_setresuid, uid, uid, uid) != 0 ||
      // The id change made it undumpable: its /proc files, the maps below, would be root's.
      ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0) != 0) {
    return fail_at(r, kStepIdMap, kBecomeUnprivileged);
  }
  if (inner_map_ == nullptr) return 0;
  if (::syscall(SYS_unshare, CLONE_NEWUSER) != 0) return fail_at(r, kStepIdMap, kNewUserNamespace);
  if (!write_file("/proc/self/setgroups", "deny")) return fail_at(r, kStepIdMap, kDenySetgroups);
  if (!write_file("/proc/self/uid_map", inner_map_)) return fail_at(r, kStepIdMap, kUidMap);
  if (!write_file("/proc/self/gid_map", inner_gid_map_)) return fail_at(r, kStepIdMap, kGidMap);
  return 0;
}

int NamespaceSetup::restrict_files(ChildReport& r) const noexcept {
  if (landlock_ruleset_ < 0) return 0;
  for (size_t i = 0; i < landlock_rule_count_; ++i) {
    int fd = ::open(landlock_rules_[i].path, O_PATH | O_CLOEXEC);
    if (fd < 0) return fail_at(r, kStepLandlock, static_cast<int32_t>(i));
    landlock::PathBeneathAttr attr{landlock_rules_[i].access, fd};
    long rc =
        ::syscall(SYS_landlock_add_rule, landlock_ruleset_, landlock::kRulePathBeneath, &attr, 0);
    if (!close_keeping_errno(fd, rc == 0))
      return fail_at(r, kStepLandlock, static_cast<int32_t>(i));
  }
  if (::syscall(SYS_landlock_restrict_self, landlock_ruleset_, 0) != 0)
    return fail_at(r, kStepLandlock);
  return 0;
}

// Nothing left in the bounding or ambient sets, so no later exec (as root inside, say)
// gains a capability; then none held now either.
int NamespaceSetup::drop_capabilities(ChildReport& r) const noexcept {
  for (int cap = 0; cap <= last_cap_; ++cap) {
    if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno != EINVAL)
      return fail_at(r, kStepCapabilities);
  }
  if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
    return fail_at(r, kStepCapabilities);
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2];
  std::memset(data, 0, sizeof data);
  if (::syscall(SYS_capset, &header, data) != 0) return fail_at(r, kStepCapabilities);
  return 0;
}

// Last: it refuses the mount calls the set-up above needed.
int NamespaceSetup::install_seccomp(ChildReport& r) const noexcept {
  if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &seccomp_, 0, 0) != 0)
    return fail_at(r, kStepSeccomp);
  return 0;
}

}  // namespace sandbox::isolation

#endif
