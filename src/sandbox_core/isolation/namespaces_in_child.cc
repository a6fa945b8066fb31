// NamespaceSetup::run(): the namespace set-up, executed in the child right after clone()
// while it may still share the parent's memory. Async-signal-safe system calls on data
// the parent prepared, nothing else: no allocation, locks, logging or exceptions. Built
// with -fno-exceptions; a test checks its undefined symbols.
#include "sandbox_core/isolation/namespaces.h"

#if defined(__linux__)
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/seccomp.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sandbox_core/isolation/landlock.h"

#ifndef SYS_mount_setattr
#define SYS_mount_setattr 442
#endif
#ifndef SYS_landlock_add_rule
#define SYS_landlock_add_rule 445
#endif
#ifndef SYS_landlock_restrict_self
#define SYS_landlock_restrict_self 446
#endif
#ifndef PR_CAP_AMBIENT
#define PR_CAP_AMBIENT 47
#define PR_CAP_AMBIENT_CLEAR_ALL 4
#endif

namespace sandbox::isolation {
namespace {

using namespace launch_detail;

constexpr unsigned kMountAttrRdonly = 0x1, kMountAttrNosuid = 0x2, kMountAttrNodev = 0x4;
constexpr unsigned kAtRecursive = 0x8000;
struct MountAttr {
  uint64_t attr_set, attr_clr, propagation, userns_fd;
};

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

bool make_dirs(const MountStep& m) noexcept {
  for (size_t i = 0; i < m.dir_count; ++i) {
    if (::mkdir(m.dirs[i], 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool set_attr(const char* path, uint64_t set, unsigned flags) noexcept {
  MountAttr attr{set, 0, 0, 0};
  return ::syscall(SYS_mount_setattr, AT_FDCWD, path, flags, &attr, sizeof attr) == 0;
}

bool apply(const MountStep& m) noexcept {
  if (!make_dirs(m)) return false;
  switch (m.kind) {
    case MountStep::Kind::Symlink:
      return ::symlink(m.source, m.target) == 0 || errno == EEXIST;
    case MountStep::Kind::Bind: {
      if (m.file) {
        int fd = ::open(m.target, O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        ::close(fd);
      }
      if (::mount(m.source, m.target, nullptr, MS_BIND | MS_REC, nullptr) != 0) return false;
      // Recursively, so no submount of a read-only path stays writable.
      return !m.read_only || set_attr(m.target, kMountAttrRdonly | kMountAttrNosuid | kMountAttrNodev,
                                      kAtRecursive);
    }
    case MountStep::Kind::Tmpfs:
      return ::mount(m.source, m.target, "tmpfs", MS_NOSUID | MS_NODEV, m.data) == 0;
    case MountStep::Kind::Proc:
      return ::mount(m.source, m.target, "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0;
    case MountStep::Kind::Devpts:
      return ::mount(m.source, m.target, "devpts", MS_NOSUID | MS_NOEXEC, m.data) == 0;
  }
  return false;
}

}  // namespace

int NamespaceSetup::run(ChildReport& r) const noexcept {
  // The caller's ids inside; setgroups must be denied before an unprivileged gid map.
  if (!write_file("/proc/self/setgroups", "deny") && errno != ENOENT) return fail_at(r, kStepIdMap, 0);
  if (!write_file("/proc/self/uid_map", uid_map_)) return fail_at(r, kStepIdMap, 1);
  if (!write_file("/proc/self/gid_map", gid_map_)) return fail_at(r, kStepIdMap, 2);

  if (options_.own_root) {
    // Nothing mounted here may propagate back to the host.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return fail_at(r, kStepPivot);
    // The new root is a tmpfs over /tmp in this mount namespace only; after the pivot
    // the old root, host /tmp included, is reachable under /.old for the binds.
    if (::mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0 ||
        ::mkdir("/tmp/.old", 0700) != 0 || ::chdir("/tmp") != 0 ||
        ::syscall(SYS_pivot_root, ".", ".old") != 0 || ::chdir("/") != 0) {
      return fail_at(r, kStepPivot);
    }
    for (size_t i = 0; i < mounts_.size(); ++i) {
      if (!apply(mounts_[i])) return fail_at(r, kStepMount, static_cast<int32_t>(i));
    }
    // The host's root goes away entirely; the sandbox's root becomes read-only.
    if (::umount2("/.old", MNT_DETACH) != 0 || ::rmdir("/.old") != 0 ||
        !set_attr("/", kMountAttrRdonly | kMountAttrNosuid | kMountAttrNodev, 0)) {
      return fail_at(r, kStepPivot);
    }
    if (::chdir(work_dir_) != 0) return fail_at(r, kStepChdirInside);
  }

  if (options_.new_network) {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return fail_at(r, kStepNetwork);
    ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::memcpy(ifr.ifr_name, "lo", 3);
    ifr.ifr_flags = IFF_UP | IFF_RUNNING | IFF_LOOPBACK;
    int rc = ::ioctl(s, SIOCSIFFLAGS, &ifr);
    int err = errno;
    ::close(s);
    errno = err;
    if (rc != 0) return fail_at(r, kStepNetwork);
  }

  if (!listeners_.empty()) {
    // Sockets stay in the namespace they were created in, even once the parent holds
    // them: these listeners are the only way out of this network namespace.
    constexpr size_t kMax = 16;
    int fds[kMax];
    size_t count = 0;
    for (size_t i = 0; i < listeners_.size() && i < kMax; ++i) {
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
    alignas(cmsghdr) char control[CMSG_SPACE(kMax * sizeof(int))];
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
  }

  if (options_.harden) {
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return fail_at(r, kStepNoNewPrivs);
    if (landlock_ruleset_ >= 0) {
      for (size_t i = 0; i < landlock_rules_.size(); ++i) {
        int fd = ::open(landlock_rules_[i].path, O_PATH | O_CLOEXEC);
        if (fd < 0) return fail_at(r, kStepLandlock, static_cast<int32_t>(i));
        landlock::PathBeneathAttr attr{landlock_rules_[i].access, fd};
        long rc = ::syscall(SYS_landlock_add_rule, landlock_ruleset_, landlock::kRulePathBeneath, &attr, 0);
        int err = errno;
        ::close(fd);
        errno = err;
        if (rc != 0) return fail_at(r, kStepLandlock, static_cast<int32_t>(i));
      }
      if (::syscall(SYS_landlock_restrict_self, landlock_ruleset_, 0) != 0) return fail_at(r, kStepLandlock);
    }
    // Nothing left in the bounding or ambient sets, so no later exec (as root inside,
    // say) gains a capability; then none held now either.
    for (int cap = 0; cap <= last_cap_; ++cap) {
      if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno != EINVAL) return fail_at(r, kStepCapabilities);
    }
    if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
      return fail_at(r, kStepCapabilities);
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2];
    std::memset(data, 0, sizeof data);
    if (::syscall(SYS_capset, &header, data) != 0) return fail_at(r, kStepCapabilities);
    // Last: it refuses the mount calls the set-up above needed.
    if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &seccomp_, 0, 0) != 0) return fail_at(r, kStepSeccomp);
  }
  return 0;
}

}  // namespace sandbox::isolation

#endif
