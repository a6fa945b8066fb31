// Parent side of the namespace set-up: turns the layout into mount steps, the Landlock
// rules and the fence's addresses into the plain data the child reads, and receives the
// fence's listeners afterwards. Runs on the spawning thread.
#include "sandbox_core/isolation/namespaces.h"

#if defined(__linux__)
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>

#include "sandbox_core/base/quoted.h"
#include "sandbox_core/isolation/landlock.h"
#include "sandbox_core/isolation/seccomp.h"
#include "sandbox_core/isolation/syscalls.h"

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

// A user namespace mapping 0 to a sandbox's ids, for the idmapped binds of a root
// caller's child: made once per id pair and process by a short-lived helper that only waits for the
// end of a pipe whose write end it shares with us.
int userns_helper(void* arg) {
  // A raw call: no sanitizer interceptor runs on this borrowed stack.
  char byte;
  (void)::syscall(SYS_read, *static_cast<int*>(arg), &byte, 1);
  return 0;
}

// ThreadSanitizer's state of the calling thread must not run on in the helper: under it
// the helper gets a copy of our memory instead (the descriptors stay shared).
#if defined(__SANITIZE_THREAD__)
constexpr int kHelperSharesMemory = 0;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr int kHelperSharesMemory = 0;
#else
constexpr int kHelperSharesMemory = CLONE_VM;
#endif
#else
constexpr int kHelperSharesMemory = CLONE_VM;
#endif

Result<int, IoError> make_unprivileged_userns(long uid, long gid) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) return fail(IoError::last());
  UniqueFd read_end(pipe[0]), write_end(pipe[1]);
  alignas(16) static char stack[16 * 1024];
  int read_fd = read_end.get();
  pid_t pid = ::clone(userns_helper, stack + sizeof stack,
                      kHelperSharesMemory | CLONE_FILES | CLONE_NEWUSER | SIGCHLD, &read_fd);
  if (pid < 0) return fail(IoError::last());
  const std::string map = "0 " + std::to_string(uid) + " 1\n";
  const std::string gid_map = "0 " + std::to_string(gid) + " 1\n";
  const std::string proc = "/proc/" + std::to_string(pid) + "/";
  auto write_text = [](const std::string& path, const std::string& text) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    return fd && ::write(fd.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size());
  };
  int ns = -1;
  IoError error = IoError::from_errno(EIO);
  if (write_text(proc + "uid_map", map) && write_text(proc + "setgroups", "deny") &&
      write_text(proc + "gid_map", gid_map)) {
    ns = ::open((proc + "ns/user").c_str(), O_RDONLY | O_CLOEXEC);
  }
  if (ns < 0) error = IoError::last();
  write_end.reset();
  while (::waitpid(pid, nullptr, __WALL) < 0 && errno == EINTR) {
  }
  if (ns < 0) return fail(error);
  return ns;
}

// A walk that follows no link failed (ELOOP: a link on the way). Worded as when the
// child's own walk fails: the bind's label, which names the path.
IoError links_refused(const std::string& path) {
  int code = errno;
  return IoError::custom("bind " + quoted_form(path) + ": " + os_error_text(code), code);
}

// Leases reuse the lowest free ids, so this holds about as many namespaces as this
// process ever had sandboxes at once.
Result<int, IoError> unprivileged_userns(long uid, long gid) {
  static std::mutex lock;
  static std::map<std::pair<long, long>, int> made;
  std::lock_guard guard(lock);
  if (auto it = made.find({uid, gid}); it != made.end()) return it->second;
  auto ns = make_unprivileged_userns(uid, gid);
  if (!ns) return fail(ns.error());
  made.emplace(std::pair{uid, gid}, *ns);
  return *ns;
}

}  // namespace

NamespaceSetup::~NamespaceSetup() = default;

const char* NamespaceSetup::keep(std::string s) {
  return strings_.emplace_back(std::move(s)).c_str();
}

// Each directory is made once: the steps run in order on file systems the child has just
// mounted, so a directory an earlier step made, or mounted on, is there unless a later
// mount covered it. An optional step mounts over what exists and makes nothing.
void NamespaceSetup::add_mount(MountStep m, std::string label, bool create_self) {
  std::vector<const char*>& dirs = dir_lists_.emplace_back();
  if (!m.optional) {
    for (auto& d : prefixes(m.target, create_self && !m.file)) {
      if (present_dirs_.insert(d).second) dirs.push_back(keep(d));
    }
  }
  if (m.kind != MountStep::Kind::Symlink) {
    const std::string under = std::string(m.target) + "/";
    std::erase_if(present_dirs_, [&](const std::string& d) { return d.starts_with(under); });
    if (!m.file && !m.optional) present_dirs_.insert(m.target);
  }
  m.dirs = dirs.data();
  m.dir_count = dirs.size();
  mount_store_.push_back(m);
  mount_labels_.push_back(std::move(label));
}

void NamespaceSetup::add_rule(const std::string& path, uint64_t access) {
  if (landlock_abi_ > 0) rule_store_.push_back({keep(path), access});
}

Result<int, IoError> NamespaceSetup::detached_tree(const std::string& path, bool no_links) {
  if (identity_ != Identity::Unprivileged) return -1;
  constexpr unsigned kClone = sys::kOpenTreeClone | sys::kOpenTreeCloexec | sys::kAtRecursive;
  UniqueFd tree;
  if (no_links) {
    sys::OpenHow how{O_PATH | O_CLOEXEC, 0, sys::kResolveNoSymlinks | sys::kResolveNoMagiclinks};
    UniqueFd at(static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how)));
    if (!at) return fail(links_refused(path));
    tree.reset(
        static_cast<int>(::syscall(SYS_open_tree, at.get(), "", kClone | sys::kAtEmptyPath)));
  } else {
    tree.reset(static_cast<int>(::syscall(SYS_open_tree, AT_FDCWD, path.c_str(), kClone)));
  }
  if (!tree) return fail(links_refused(path));
  // Idmapped to the child's ids: what root owns there is the child's, and what the child
  // makes is root's. A file system without idmapped mounts keeps the plain bind: the
  // child then writes there only what the unprivileged ids may.
  auto ns = unprivileged_userns(host_uid_, host_gid_);
  if (!ns) return fail(ns.error());
  sys::MountAttr attr{sys::kMountAttrIdmap, 0, 0, static_cast<uint64_t>(*ns)};
  (void)::syscall(SYS_mount_setattr, tree.get(), "", sys::kAtEmptyPath | sys::kAtRecursive, &attr,
                  sizeof attr);
  auto high = above_passed(std::move(tree));
  if (!high) return fail(high.error());
  int fd = high->get();
  trees_.push_back(std::move(*high));
  return fd;
}

// A root caller's child is set up by root in namespaces owned by the host's user
// namespace, then becomes the unprivileged ids; anyone else's in a user namespace of its
// own, as the caller.
Result<void, IoError> NamespaceSetup::choose_identity() {
  identity_ = ::geteuid() == 0 ? Identity::Unprivileged : Identity::Caller;
  if (identity_ == Identity::Caller) {
    flags_ |= CLONE_NEWUSER;
    uid_map_ = keep(std::to_string(::geteuid()) + " " + std::to_string(::geteuid()) + " 1\n");
    gid_map_ = keep(std::to_string(::getegid()) + " " + std::to_string(::getegid()) + " 1\n");
    return {};
  }
  auto ids = lease_sandbox_ids();
  if (!ids) return fail(ids.error().annotated(" (lease the sandbox's host ids)"));
  ids_ = std::move(*ids);
  host_uid_ = ids_->uid();
  host_gid_ = ids_->gid();
  if (options_.root == RootMode::Own && options_.own_user_namespace) {
    inner_map_ = keep("0 " + std::to_string(host_uid_) + " 1\n");
    inner_gid_map_ = keep("0 " + std::to_string(host_gid_) + " 1\n");
  }
  return {};
}

Result<void, IoError> NamespaceSetup::plan_bind(const LayoutEntry& e) {
  const uint64_t ro = landlock_read_only(landlock_abi_), rw = landlock_read_write(landlock_abi_);
  const char* target = keep(e.path);
  const bool read_only = e.kind == LayoutEntry::Kind::ReadOnly;
  if (e.path == "/sys" && options_.new_network) {
    // A sysfs of the sandbox's own network namespace: only its own interfaces.
    MountStep m = step(MountStep::Kind::Sysfs, keep(kOldRoot + e.path), target);
    m.read_only = true;
    add_mount(m, "mount a fresh sysfs on " + quoted_form(e.path), true);
    add_rule(e.path, ro);
    return {};
  }
  MountStep m = step(MountStep::Kind::Bind, keep(kOldRoot + e.path), target);
  m.file = !e.directory;
  m.read_only = read_only;
  m.no_links = !read_only;
  if (!read_only || e.named) {
    auto tree = detached_tree(e.path, !read_only);
    if (!tree) return fail(tree.error());
    m.tree = *tree;
  }
  add_mount(m, "bind " + quoted_form(e.path) + (read_only ? " read-only" : ""), true);
  uint64_t access = read_only ? ro : rw;
  add_rule(e.path, e.directory ? access : access & landlock_file_rights(landlock_abi_));
  return {};
}

// A tmpfs with the devices bound from the host's, a private devpts and the usual links.
void NamespaceSetup::plan_dev(const LayoutEntry& e) {
  add_mount(step(MountStep::Kind::Tmpfs, "tmpfs", keep(e.path), "mode=0755"),
            "mount the minimal /dev", true);
  add_rule(e.path, landlock::kReadDir);
  for (const char* name : kDevices) {
    std::string path = e.path + "/" + name;
    MountStep m =
        step(MountStep::Kind::Bind, keep(std::string(kOldRoot) + "/dev/" + name), keep(path));
    m.file = true;
    add_mount(m, "bind the device " + quoted_form(path), true);
    add_rule(path, landlock_file_rights(landlock_abi_));
  }
  std::string pts = e.path + "/pts";
  add_mount(
      step(MountStep::Kind::Devpts, "devpts", keep(pts), "newinstance,ptmxmode=0666,mode=620"),
      "mount a private devpts", true);
  add_rule(pts, landlock_read_write(landlock_abi_));
  const std::pair<const char*, const char*> links[] = {{"pts/ptmx", "ptmx"},
                                                       {"/proc/self/fd", "fd"},
                                                       {"/proc/self/fd/0", "stdin"},
                                                       {"/proc/self/fd/1", "stdout"},
                                                       {"/proc/self/fd/2", "stderr"}};
  for (auto [text, name] : links) {
    std::string path = e.path + "/" + name;
    add_mount(step(MountStep::Kind::Symlink, keep(text), keep(path)),
              "link " + quoted_form(path), false);
  }
}

Result<void, IoError> NamespaceSetup::plan_own_root(const SandboxSpec& spec) {
  flags_ |= CLONE_NEWNS | CLONE_NEWPID | CLONE_NEWIPC | CLONE_NEWUTS;
  own_cgroup_namespace_ = true;
  using Kind = LayoutEntry::Kind;
  // Listing the root shows only the sandbox's own entries.
  add_rule("/", landlock::kReadDir);
  for (const LayoutEntry& e : layout_) {
    const char* target = keep(e.path);
    const std::string q = quoted_form(e.path);
    // The hardening mounts over what exists in the sandbox, and makes nothing.
    MountStep hardening = step(MountStep::Kind::Bind, target, target);
    hardening.read_only = hardening.optional = true;
    switch (e.kind) {
      case Kind::ReadOnly:
      case Kind::ReadWrite:
        SANDBOX_TRY(plan_bind(e));
        break;
      case Kind::Symlink:
        add_mount(step(MountStep::Kind::Symlink, keep(e.link), target), "link " + q, false);
        break;
      case Kind::Dir:
        add_mount(step(MountStep::Kind::Dir, nullptr, target), "make the directory " + q, true);
        break;
      case Kind::Cgroup: {
        const char* fs = options_.own_cgroup2 ? "cgroup2" : nullptr;
        MountStep m = step(MountStep::Kind::Cgroup, nullptr, target, fs);
        m.optional = true;
        add_mount(m, "mount the sandbox's own cgroups on " + q, false);
        break;
      }
      case Kind::Proc:
        add_mount(step(MountStep::Kind::Proc, "proc", target), "mount a fresh proc on " + q, true);
        add_rule(e.path, landlock_read_only(landlock_abi_) & ~landlock::kExecute);
        break;
      case Kind::Tmpfs: {
        std::string data = "mode=1777";
        if (e.size_bytes != 0) data += ",size=" + std::to_string(e.size_bytes);
        add_mount(step(MountStep::Kind::Tmpfs, "tmpfs", target, keep(data)),
                  "mount a private tmpfs on " + q, true);
        add_rule(e.path, landlock_read_write(landlock_abi_));
        break;
      }
      case Kind::Dev:
        plan_dev(e);
        break;
      case Kind::Lock:
        add_mount(hardening, "make " + q + " read-only", false);
        break;
      case Kind::Mask:
        hardening.source = keep(std::string(kOldRoot) + "/dev/null");
        add_mount(hardening, "mask " + q, false);
        break;
      case Kind::Cover:
        hardening.kind = MountStep::Kind::Tmpfs;
        hardening.source = "tmpfs";
        hardening.data = "mode=0555";
        add_mount(hardening, "mask " + q, false);
        break;
    }
  }
  work_dir_ = keep(normalized_path(spec.host_dir()));
  return {};
}

// bwrap binds what is staged from under the stage: each caller-named path of the layout,
// opened without following links (and for a root caller idmapped) before the stage
// covers the host's /tmp in the set-up child's mount namespace.
Result<void, IoError> NamespaceSetup::plan_staging() {
  flags_ |= CLONE_NEWNS;
  struct stat st;
  const char* stage =
      ::stat(kStageDirs[0], &st) == 0 && S_ISDIR(st.st_mode) ? kStageDirs[0] : kStageDirs[1];
  add_mount(step(MountStep::Kind::Tmpfs, "tmpfs", stage, "mode=0755"), "mount the stage", false);
  using Kind = LayoutEntry::Kind;
  for (const LayoutEntry& e : layout_) {
    bool rw = e.kind == Kind::ReadWrite;
    if (e.kind == Kind::Cgroup && options_.own_cgroup2) {
      std::string at = std::string(stage) + "/cgroup";
      add_mount(step(MountStep::Kind::Cgroup, nullptr, keep(at), "cgroup2"),
                "mount the sandbox's own cgroups on " + quoted_form(e.path), true);
      staged_.emplace_back(e.path, at);
      own_cgroup_namespace_ = true;
      continue;
    }
    if (e.kind == Kind::ReadOnly && e.path == "/sys" && options_.new_network) {
      // A sysfs of the sandbox's own network namespace: only its own interfaces.
      std::string at = std::string(stage) + "/sys";
      MountStep m = step(MountStep::Kind::Sysfs, "/sys", keep(at));
      add_mount(m, "mount a fresh sysfs on \"/sys\"", true);
      staged_.emplace_back(e.path, at);
      continue;
    }
    if (!rw && !(e.kind == Kind::ReadOnly && e.named)) continue;
    std::string at = std::string(stage) + "/" + std::to_string(staged_.size());
    MountStep m = step(MountStep::Kind::Bind, keep(e.path), keep(at));
    m.file = !e.directory;
    m.no_links = rw;
    auto tree = detached_tree(e.path, e.kind == Kind::ReadWrite);
    if (!tree) return fail(tree.error());
    m.tree = *tree;
    add_mount(m, "bind " + quoted_form(e.path) + (rw ? "" : " read-only"), true);
    staged_.emplace_back(e.path, at);
  }
  if (mount_store_.size() > kMaxStageSteps) return fail(IoError::from_errno(E2BIG));
  return {};
}

const std::string* NamespaceSetup::staged(const std::string& path) const {
  for (const auto& [from, at] : staged_) {
    if (from == path) return &at;
  }
  return nullptr;
}

Result<void, IoError> NamespaceSetup::plan_landlock() {
  if (landlock_abi_ <= 0 || rule_store_.empty()) return {};
  auto ruleset = landlock_ruleset(landlock_abi_);
  if (!ruleset) return fail(ruleset.error());
  auto high = above_passed(std::move(*ruleset));
  if (!high) return fail(high.error());
  ruleset_owner_ = std::move(*high);
  landlock_ruleset_ = ruleset_owner_.get();
  return {};
}

Result<void, IoError> NamespaceSetup::plan_fence() {
  if (options_.fence.empty()) return {};
  if (options_.fence.size() > kMaxFenceListeners) return fail(IoError::from_errno(E2BIG));
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) != 0) return fail(IoError::last());
  fence_parent_.reset(pair[0]);
  auto high = above_passed(UniqueFd(pair[1]));
  if (!high) return fail(high.error());
  fence_child_ = std::move(*high);
  fence_socket_ = fence_child_.get();
  for (const auto& addr : options_.fence) {
    FenceListener l{};
    l.length = netfilter::to_sockaddr(addr, l.address);
    listener_store_.push_back(l);
  }
  return {};
}

void NamespaceSetup::plan_hardening() {
  if (!options_.harden) return;
  auto program = seccomp_program();
  seccomp_.len = static_cast<unsigned short>(program.size());
  seccomp_.filter = const_cast<sock_filter*>(program.data());
  static const int last_cap = [] {
    int last = 40;  // the child ignores EINVAL for numbers past the last
    if (FILE* f = std::fopen("/proc/sys/kernel/cap_last_cap", "r")) {
      if (std::fscanf(f, "%d", &last) != 1) last = 40;
      std::fclose(f);
    }
    return last;
  }();
  last_cap_ = last_cap;
}

void NamespaceSetup::publish() {
  mounts_ = mount_store_.data();
  mount_count_ = mount_store_.size();
  landlock_rules_ = rule_store_.data();
  landlock_rule_count_ = rule_store_.size();
  listeners_ = listener_store_.data();
  listener_count_ = listener_store_.size();
}

Result<std::unique_ptr<NamespaceSetup>, IoError> NamespaceSetup::prepare(const SandboxSpec& spec,
                                                                         Options options) {
  std::unique_ptr<NamespaceSetup> setup(new NamespaceSetup);
  NamespaceSetup& s = *setup;
  s.options_ = std::move(options);
  s.landlock_abi_ = s.options_.harden ? landlock_abi() : 0;
  if (s.options_.new_network) s.flags_ |= CLONE_NEWNET;
  SANDBOX_TRY(s.choose_identity());
  if (s.options_.root != RootMode::Host) s.layout_ = sandbox_layout(spec);
  if (s.options_.root == RootMode::Own) SANDBOX_TRY(s.plan_own_root(spec));
  if (s.options_.root == RootMode::Staged) SANDBOX_TRY(s.plan_staging());
  SANDBOX_TRY(s.plan_landlock());
  SANDBOX_TRY(s.plan_fence());
  s.plan_hardening();
  s.publish();
  return setup;
}

std::string NamespaceSetup::layers() const {
  std::string out = "namespaces";
  if (landlock_ruleset_ >= 0) out += "+landlock";
  if (options_.harden) out += "+seccomp";
  if (listener_count_ != 0) out += "+fence";
  if (identity_ == Identity::Unprivileged) out += "+unprivileged";
  return out;
}

std::string NamespaceSetup::describe(const launch_detail::ChildReport& r) const {
  using namespace launch_detail;
  auto at = [](const auto& list, int32_t i) {
    return i >= 0 && static_cast<size_t>(i) < list.size();
  };
  switch (r.step) {
    case kStepIdMap: {
      static const char* const kLabels[] = {
          "deny setgroups in the user namespace", "write the uid map", "write the gid map",
          "become the unprivileged user", "enter a user namespace of its own"};
      return at(std::span(kLabels), r.detail) ? kLabels[r.detail] : "write the gid map";
    }
    case kStepMount:
      return at(mount_labels_, r.detail) ? mount_labels_[r.detail] : "mount";
    case kStepPivot:
      return "enter the sandbox's root";
    case kStepNetwork:
      return "bring up the sandbox's loopback interface";
    case kStepFence:
      return at(options_.fence, r.detail)
                 ? "listen on " + netfilter::to_string(options_.fence[r.detail]) +
                       " inside the sandbox"
                 : "hand the network fence's listeners over";
    case kStepChdirInside:
      return "enter the work directory " + quoted_form(work_dir_ ? work_dir_ : "") +
             " inside the sandbox";
    case kStepNoNewPrivs:
      return "set no_new_privs";
    case kStepCapabilities:
      return "drop capabilities";
    case kStepLandlock:
      return at(rule_store_, r.detail)
                 ? "add the Landlock rule for " + quoted_form(rule_store_[r.detail].path)
                 : "apply the Landlock ruleset";
    case kStepSeccomp:
      return "install the seccomp filter";
    case kStepCgroupNamespace:
      return "enter a cgroup namespace of its own";
    default:
      return "isolation set-up";
  }
}

Result<std::vector<UniqueFd>, IoError> NamespaceSetup::receive_listeners() {
  std::vector<UniqueFd> out;
  if (listener_count_ == 0) return out;
  fence_child_.reset();
  alignas(cmsghdr) char control[CMSG_SPACE(kMaxFenceListeners * sizeof(int))];
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
  if (out.size() != listener_count_)
    return fail(IoError::custom("network fence: listeners lost", EIO));
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
const std::string* NamespaceSetup::staged(const std::string&) const { return nullptr; }
int NamespaceSetup::run(launch_detail::ChildReport&) const noexcept { return ENOSYS; }
std::string NamespaceSetup::describe(const launch_detail::ChildReport&) const { return {}; }
Result<std::vector<UniqueFd>, IoError> NamespaceSetup::receive_listeners() {
  return fail(IoError::from_errno(ENOSYS));
}
}  // namespace sandbox::isolation

#endif
