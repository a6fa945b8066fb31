// Parent side of the namespace set-up: turns the layout into mount steps, the Landlock
// rules and the fence's addresses into the plain data the child reads, and receives the
// fence's listeners afterwards. Runs on the spawning thread.
#include "sandbox_core/isolation/namespaces.h"

#if defined(__linux__)
#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "sandbox_core/base/quoted.h"
#include "sandbox_core/isolation/landlock.h"
#include "sandbox_core/isolation/seccomp.h"

namespace sandbox::isolation {
namespace {

// Where the sandbox's root is assembled before the pivot; a tmpfs mounted over it in the
// child's own mount namespace, so the host's directory is never written.
constexpr const char* kOldRoot = "/.old";

// The devices of the minimal /dev, bound from the host's.
constexpr const char* kDevices[] = {"null", "zero", "full", "random", "urandom", "tty"};

// "/a/b/c" -> "/a", "/a/b" (and "/a/b/c" when `self` is set).
std::vector<std::string> prefixes(const std::string& path, bool self) {
  std::vector<std::string> out;
  for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1)) {
    out.push_back(path.substr(0, at));
  }
  if (self) out.push_back(path);
  return out;
}

// The child reads these after it has put its passed descriptors in place.
Result<UniqueFd, IoError> above_passed(UniqueFd fd) {
  if (fd.get() >= kSetupFdFloor) return fd;
  int d = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, kSetupFdFloor);
  if (d < 0) return fail(IoError::last());
  return UniqueFd(d);
}

MountStep step(MountStep::Kind kind, const char* source, const char* target,
               const char* data = nullptr) {
  MountStep m;
  m.kind = kind;
  m.source = source;
  m.target = target;
  m.data = data;
  return m;
}

}  // namespace

NamespaceSetup::~NamespaceSetup() = default;

const char* NamespaceSetup::keep(std::string s) { return strings_.emplace_back(std::move(s)).c_str(); }

Result<std::unique_ptr<NamespaceSetup>, IoError> NamespaceSetup::prepare(const SandboxSpec& spec,
                                                                         Options options) {
  std::unique_ptr<NamespaceSetup> setup(new NamespaceSetup);
  NamespaceSetup& s = *setup;
  s.flags_ = CLONE_NEWUSER;
  if (options.own_root) s.flags_ |= CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWIPC | CLONE_NEWUTS;
  if (options.new_network) s.flags_ |= CLONE_NEWNET;

  // The caller's own ids inside: files written in the work directory are the caller's.
  s.uid_map_ = s.keep(std::to_string(::geteuid()) + " " + std::to_string(::geteuid()) + " 1\n");
  s.gid_map_ = s.keep(std::to_string(::getegid()) + " " + std::to_string(::getegid()) + " 1\n");

  auto add_mount = [&](MountStep step, const std::string& label, bool create_self) {
    std::vector<const char*>& dirs = s.dir_lists_.emplace_back();
    for (auto& d : prefixes(step.target, create_self && !step.file)) dirs.push_back(s.keep(d));
    step.dirs = dirs.data();
    step.dir_count = dirs.size();
    s.mounts_.push_back(step);
    s.mount_labels_.push_back(label);
  };
  const int abi = options.harden ? landlock_abi() : 0;
  auto add_rule = [&](const std::string& path, uint64_t access) {
    if (abi > 0) s.landlock_rules_.push_back({s.keep(path), access});
  };
  const uint64_t ro = landlock_read_only(abi), rw = landlock_read_write(abi),
                 file = landlock_file_rights(abi);

  if (options.own_root) {
    using Kind = LayoutEntry::Kind;
    // Listing the root shows only the sandbox's own entries.
    add_rule("/", landlock::kReadDir);
    for (const LayoutEntry& e : sandbox_layout(spec)) {
      const char* target = s.keep(e.path);
      const std::string q = quoted_form(e.path);
      switch (e.kind) {
        case Kind::ReadOnly:
        case Kind::ReadWrite: {
          bool read_only = e.kind == Kind::ReadOnly;
          MountStep m = step(MountStep::Kind::Bind, s.keep(kOldRoot + e.path), target);
          m.file = !e.directory;
          m.read_only = read_only;
          add_mount(m, "bind " + q + (read_only ? " read-only" : ""), true);
          uint64_t access = read_only ? ro : rw;
          add_rule(e.path, e.directory ? access : access & file);
          break;
        }
        case Kind::Symlink: {
          MountStep m = step(MountStep::Kind::Symlink, s.keep(e.link), target);
          add_mount(m, "link " + q, false);
          break;
        }
        case Kind::Proc:
          add_mount(step(MountStep::Kind::Proc, "proc", target), "mount a fresh proc on " + q, true);
          add_rule(e.path, ro & ~landlock::kExecute);
          break;
        case Kind::Tmpfs: {
          std::string data = "mode=1777";
          if (e.size_bytes != 0) data += ",size=" + std::to_string(e.size_bytes);
          MountStep m = step(MountStep::Kind::Tmpfs, "tmpfs", target, s.keep(data));
          add_mount(m, "mount a private tmpfs on " + q, true);
          add_rule(e.path, rw);
          break;
        }
        case Kind::Dev: {
          MountStep dev = step(MountStep::Kind::Tmpfs, "tmpfs", target, "mode=0755");
          add_mount(dev, "mount the minimal /dev", true);
          add_rule(e.path, landlock::kReadDir);
          for (const char* name : kDevices) {
            std::string path = e.path + "/" + name;
            MountStep m = step(MountStep::Kind::Bind, s.keep(std::string(kOldRoot) + "/dev/" + name),
                        s.keep(path));
            m.file = true;
            add_mount(m, "bind the device " + quoted_form(path), true);
            add_rule(path, file);
          }
          std::string pts = e.path + "/pts";
          MountStep p = step(MountStep::Kind::Devpts, "devpts", s.keep(pts),
                      "newinstance,ptmxmode=0666,mode=620");
          add_mount(p, "mount a private devpts", true);
          add_rule(pts, rw);
          const std::pair<const char*, const char*> links[] = {
              {"pts/ptmx", "ptmx"}, {"/proc/self/fd", "fd"}, {"/proc/self/fd/0", "stdin"},
              {"/proc/self/fd/1", "stdout"}, {"/proc/self/fd/2", "stderr"}};
          for (auto [text, name] : links) {
            std::string path = e.path + "/" + name;
            add_mount(step(MountStep::Kind::Symlink, s.keep(text), s.keep(path)),
                      "link " + quoted_form(path), false);
          }
          break;
        }
      }
    }
    s.work_dir_ = s.keep(normalized_path(spec.host_dir()));
  }

  if (abi > 0 && !s.landlock_rules_.empty()) {
    auto ruleset = landlock_ruleset(abi);
    if (!ruleset) return fail(ruleset.error());
    auto high = above_passed(std::move(*ruleset));
    if (!high) return fail(high.error());
    s.ruleset_owner_ = std::move(*high);
    s.landlock_ruleset_ = s.ruleset_owner_.get();
  }

  if (!options.fence.empty()) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) != 0) {
      return fail(IoError::last());
    }
    s.fence_parent_.reset(pair[0]);
    auto high = above_passed(UniqueFd(pair[1]));
    if (!high) return fail(high.error());
    s.fence_child_ = std::move(*high);
    s.fence_socket_ = s.fence_child_.get();
    for (const auto& addr : options.fence) {
      FenceListener l{};
      l.length = netfilter::to_sockaddr(addr, l.address);
      s.listeners_.push_back(l);
    }
  }

  if (options.harden) {
    auto program = seccomp_program();
    s.seccomp_.len = static_cast<unsigned short>(program.size());
    s.seccomp_.filter = const_cast<sock_filter*>(program.data());
    static const int last_cap = [] {
      int last = 40;  // the child ignores EINVAL for numbers past the last
      if (FILE* f = std::fopen("/proc/sys/kernel/cap_last_cap", "r")) {
        if (std::fscanf(f, "%d", &last) != 1) last = 40;
        std::fclose(f);
      }
      return last;
    }();
    s.last_cap_ = last_cap;
  }
  s.options_ = std::move(options);
  return setup;
}

std::string NamespaceSetup::layers() const {
  std::string out = "namespaces";
  if (landlock_ruleset_ >= 0) out += "+landlock";
  if (options_.harden) out += "+seccomp";
  if (!listeners_.empty()) out += "+fence";
  return out;
}

std::string NamespaceSetup::describe(const launch_detail::ChildReport& r) const {
  using namespace launch_detail;
  auto at = [](const auto& list, int32_t i) { return i >= 0 && static_cast<size_t>(i) < list.size(); };
  switch (r.step) {
    case kStepIdMap:
      return r.detail == 0 ? "deny setgroups in the user namespace"
                           : r.detail == 1 ? "write the uid map" : "write the gid map";
    case kStepMount:
      return at(mount_labels_, r.detail) ? mount_labels_[r.detail] : "mount";
    case kStepPivot:
      return "enter the sandbox's root";
    case kStepNetwork:
      return "bring up the sandbox's loopback interface";
    case kStepFence:
      return at(options_.fence, r.detail)
                 ? "listen on " + netfilter::to_string(options_.fence[r.detail]) + " inside the sandbox"
                 : "hand the network fence's listeners over";
    case kStepChdirInside:
      return "enter the work directory " + quoted_form(work_dir_ ? work_dir_ : "") +
             " inside the sandbox";
    case kStepNoNewPrivs:
      return "set no_new_privs";
    case kStepCapabilities:
      return "drop capabilities";
    case kStepLandlock:
      return at(landlock_rules_, r.detail)
                 ? "add the Landlock rule for " + quoted_form(landlock_rules_[r.detail].path)
                 : "apply the Landlock ruleset";
    case kStepSeccomp:
      return "install the seccomp filter";
    default:
      return "isolation set-up";
  }
}

Result<std::vector<UniqueFd>, IoError> NamespaceSetup::receive_listeners() {
  std::vector<UniqueFd> out;
  if (listeners_.empty()) return out;
  fence_child_.reset();
  constexpr size_t kMax = 16;
  alignas(cmsghdr) char control[CMSG_SPACE(kMax * sizeof(int))];
  char byte = 0;
  iovec iov{&byte, 1};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  // Sent before the child exec'd, so it is already queued: never blocks.
  ssize_t n = ::recvmsg(fence_parent_.get(), &msg, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  if (n < 0) return fail(IoError::last());
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      out.emplace_back(fd);
    }
  }
  if (out.size() != listeners_.size()) return fail(IoError::custom("network fence: listeners lost", EIO));
  return out;
}

}  // namespace sandbox::isolation

#else

namespace sandbox::isolation {
NamespaceSetup::~NamespaceSetup() = default;
Result<std::unique_ptr<NamespaceSetup>, IoError> NamespaceSetup::prepare(const SandboxSpec&,
                                                                         Options) {
  return fail(IoError::from_errno(ENOSYS));
}
std::string NamespaceSetup::layers() const { return {}; }
int NamespaceSetup::run(launch_detail::ChildReport&) const noexcept { return ENOSYS; }
std::string NamespaceSetup::describe(const launch_detail::ChildReport&) const { return {}; }
Result<std::vector<UniqueFd>, IoError> NamespaceSetup::receive_listeners() {
  return fail(IoError::from_errno(ENOSYS));
}
}  // namespace sandbox::isolation

#endif
