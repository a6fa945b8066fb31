// The namespace set-up of a Linux-isolated launch, prepared in the parent and run in the
// child right after clone(): the ids, the sandbox's own root (userns-lite) or the staged
// host binds (bubblewrap), the loopback interface, the network fence's listeners, the
// identity of a root caller's child, and the hardening that ends the set-up
// (no_new_privs, Landlock, capabilities, seccomp). Only NamespaceSetup::run() executes in
// the child (namespaces_in_child.cc); everything it reads is built here, as plain arrays.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sandbox_core/base/io_error.h"
#include "sandbox_core/base/result.h"
#include "sandbox_core/base/unique_fd.h"
#include "sandbox_core/isolation/host_ids.h"
#include "sandbox_core/isolation/layout.h"
#include "sandbox_core/launch/launch.h"
#include "sandbox_core/netfilter/ip_address.h"
#if defined(__linux__)
#include <linux/filter.h>
#endif

namespace sandbox::isolation {

// The most fence listeners one sandbox gets: the parent's receive buffer and the child's
// send buffer are both sized by it.
inline constexpr size_t kMaxFenceListeners = 16;

// Where bubblewrap's staged binds sit in the set-up child's own mount namespace: a tmpfs
// over /dev/shm there (over /tmp where there is none), so bwrap never looks a caller's
// path up itself.
inline constexpr const char* kStageDirs[] = {"/dev/shm", "/tmp"};
// The most mount steps a stage has (the stage itself included): the child keeps one
// descriptor per step on its stack.
inline constexpr size_t kMaxStageSteps = 64;

// One mount-plan step, in the child's terms. Strings point into the setup's storage.
struct MountStep {
  enum class Kind : uint8_t { Bind, Tmpfs, Proc, Sysfs, Devpts, Symlink, Dir, Cgroup } kind;
  const char* source = nullptr;  // Bind: the host path under the old root; Symlink: text
  const char* target = nullptr;
  const char* data = nullptr;         // Tmpfs/Devpts mount options; Cgroup: "cgroup2" or null
  int tree = -1;                      // Bind: a detached mount the parent made, moved to target
  bool file = false;                  // the mount point is a file, not a directory
  bool read_only = false;             // made read-only, recursively, once mounted
  bool no_links = false;              // Bind: no component of source is followed as a link
  bool optional = false;              // skipped when the target does not exist
  const char* const* dirs = nullptr;  // directories to create first, outermost first
  size_t dir_count = 0;
};

struct LandlockRule {
  const char* path;
  uint64_t access;
};

struct FenceListener {
  sockaddr_storage address;
  socklen_t length;
};

// Which ids the child has on the host. A root caller's child never keeps uid 0: it does
// its privileged set-up, then becomes the sandbox's own leased ids (SandboxIds) before
// anything of the caller runs.
enum class Identity : uint8_t { Caller, Unprivileged };

// What the set-up child builds of the file system.
enum class RootMode : uint8_t {
  Host,    // nothing: the host's mount namespace (the fence of a bubblewrap run)
  Own,     // the sandbox's whole root, then pivots into it (userns-lite)
  Staged,  // the host binds of the layout, opened safely, under a stage (bubblewrap)
};

class NamespaceSetup final : public ChildSetup {
 public:
  struct Options {
    RootMode root = RootMode::Host;
    bool new_network = false;                     // a network namespace of its own, loopback up
    std::vector<netfilter::SocketAddress> fence;  // listeners created inside, sent back
    bool harden = false;  // no_new_privs, Landlock, capabilities and seccomp last
    // RootMode::Own: the child ends in a user namespace of its own. Staged: bwrap makes it.
    bool own_user_namespace = true;
    // The child runs in a cgroup v2 group of its own: /sys/fs/cgroup shows that group
    // (through a cgroup namespace rooted there) instead of nothing.
    bool own_cgroup2 = false;
  };

  // Declared first: the class's key function, so its vtable lives with the parent side.
  ~NamespaceSetup() override;

  // Everything the child will read, from the SandboxSpec's layout and the host's ids.
  static Result<std::unique_ptr<NamespaceSetup>, IoError> prepare(const SandboxSpec& spec,
                                                                  Options options);

  // The CLONE_NEW* flags the child must be created with.
  int namespace_flags() const { return flags_; }
  // Made by the child after clone, once it is in the sandbox's control groups.
  bool own_cgroup_namespace() const { return own_cgroup_namespace_; }
  Identity identity() const { return identity_; }
  // Identity::Unprivileged: the leased ids, for the child's record to hold for its life
  // (null once taken, and for other callers).
  std::unique_ptr<SandboxIds> take_ids() { return std::move(ids_); }
  // Which layers the set-up applies, for the diagnostic event: "namespaces+landlock+seccomp".
  std::string layers() const;
  // RootMode::Staged: where the layout entry at `path` is staged, or null when bwrap
  // binds it from the host itself.
  const std::string* staged(const std::string& path) const;

  // The plan, for tests and the describe() labels.
  const std::vector<MountStep>& mounts() const { return mount_store_; }
  const std::vector<std::string>& mount_labels() const { return mount_labels_; }
  // The layout the plan was made from (RootMode::Own and Staged).
  const std::vector<LayoutEntry>& layout() const { return layout_; }
  const std::vector<LandlockRule>& landlock_rules() const { return rule_store_; }

  int run(launch_detail::ChildReport& report) const noexcept override;
  std::string describe(const launch_detail::ChildReport& report) const override;
  bool changes_ids() const noexcept override { return identity_ == Identity::Unprivileged; }

  // After a successful launch: the fence's listening sockets, which live in the child's
  // network namespace, in the order of Options::fence.
  Result<std::vector<UniqueFd>, IoError> receive_listeners();

 private:
  NamespaceSetup() = default;
  const char* keep(std::string s);  // stable storage for the child's strings

  // Parent-side steps of prepare(), in order.
  Result<void, IoError> choose_identity();
  Result<void, IoError> plan_own_root(const SandboxSpec& spec);
  Result<void, IoError> plan_staging();
  Result<void, IoError> plan_landlock();
  Result<void, IoError> plan_fence();
  void plan_hardening();
  void publish();  // points the child's arrays at the storage

  void add_mount(MountStep step, std::string label, bool create_self);
  void add_rule(const std::string& path, uint64_t access);
  Result<void, IoError> plan_bind(const LayoutEntry& entry);
  void plan_dev(const LayoutEntry& entry);
  // A detached mount of `path` for a root caller's child (-1 for other callers), idmapped
  // to the child's ids where the file system allows; with `no_links`, no component of
  // `path` is followed as a link.
  Result<int, IoError> detached_tree(const std::string& path, bool no_links);

  // Child-side steps of run(), in order; each returns 0 or an errno with the report set.
  int map_ids(launch_detail::ChildReport& r) const noexcept;
  int enter_own_root(launch_detail::ChildReport& r) const noexcept;
  int stage_binds(launch_detail::ChildReport& r) const noexcept;
  int raise_loopback(launch_detail::ChildReport& r) const noexcept;
  int open_fence(launch_detail::ChildReport& r) const noexcept;
  int drop_identity(launch_detail::ChildReport& r) const noexcept;
  int restrict_files(launch_detail::ChildReport& r) const noexcept;
  int drop_capabilities(launch_detail::ChildReport& r) const noexcept;
  int install_seccomp(launch_detail::ChildReport& r) const noexcept;

  int flags_ = 0;
  bool own_cgroup_namespace_ = false;  // made in the child, once it is in its own group
  Options options_;
  Identity identity_ = Identity::Caller;
  int landlock_abi_ = 0;

  // Read by the child: plain data, pointers into the storage below.
  const char* uid_map_ = nullptr;
  const char* gid_map_ = nullptr;
  const char* inner_map_ = nullptr;  // Unprivileged + own user namespace: "0 <uid> 1"
  const char* inner_gid_map_ = nullptr;
  long host_uid_ = -1, host_gid_ = -1;  // Unprivileged: the leased ids
  const char* work_dir_ = nullptr;
  const MountStep* mounts_ = nullptr;
  size_t mount_count_ = 0;
  const LandlockRule* landlock_rules_ = nullptr;
  size_t landlock_rule_count_ = 0;
  int landlock_ruleset_ = -1;
  const FenceListener* listeners_ = nullptr;
  size_t listener_count_ = 0;
  int fence_socket_ = -1;  // child's end of the socketpair the listeners go back through
  int last_cap_ = 40;
#if defined(__linux__)
  sock_fprog seccomp_{};
#endif

  // Owned storage behind the pointers above.
  std::deque<std::string> strings_;
  std::deque<std::vector<const char*>> dir_lists_;
  std::set<std::string> present_dirs_;  // in the child's tree once the planned steps ran
  std::vector<LayoutEntry> layout_;
  std::vector<MountStep> mount_store_;
  std::vector<std::string> mount_labels_;
  std::vector<LandlockRule> rule_store_;
  std::vector<FenceListener> listener_store_;
  std::vector<std::pair<std::string, std::string>> staged_;
  std::vector<UniqueFd> trees_;
  UniqueFd ruleset_owner_;
  std::unique_ptr<SandboxIds> ids_;
  UniqueFd fence_parent_, fence_child_;
};

}  // namespace sandbox::isolation
