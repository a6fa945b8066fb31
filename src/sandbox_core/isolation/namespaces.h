// The namespace set-up of a Linux-isolated launch, prepared in the parent and run in the
// child right after clone(): uid/gid maps, the sandbox's own root (userns-lite), the
// loopback interface, the network fence's listeners, and the hardening that ends the
// set-up (no_new_privs, Landlock, capabilities, seccomp). Only NamespaceSetup::run()
// executes in the child (namespaces_in_child.cc); everything it reads is built here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "sandbox_core/base/io_error.h"
#include "sandbox_core/base/result.h"
#include "sandbox_core/base/unique_fd.h"
#include "sandbox_core/isolation/layout.h"
#include "sandbox_core/launch/launch.h"
#include "sandbox_core/netfilter/ip_address.h"

#include <sys/socket.h>
#if defined(__linux__)
#include <linux/filter.h>
#endif

namespace sandbox::isolation {

// One mount-plan step, in the child's terms. Strings point into the setup's storage.
struct MountStep {
  enum class Kind : uint8_t { Bind, Tmpfs, Proc, Devpts, Symlink } kind;
  const char* source = nullptr;  // Bind: the host path under the old root; Symlink: text
  const char* target = nullptr;
  const char* data = nullptr;    // Tmpfs/Devpts mount options
  bool file = false;             // the mount point is a file, not a directory
  bool read_only = false;        // Bind: made read-only, recursively, once mounted
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

class NamespaceSetup final : public ChildSetup {
 public:
  struct Options {
    bool own_root = false;     // build and enter the sandbox's root (userns-lite)
    bool new_network = false;  // a network namespace of its own, loopback up
    std::vector<netfilter::SocketAddress> fence;  // listeners created inside, sent back
    bool harden = false;       // no_new_privs, Landlock, capabilities and seccomp last
  };

  // Declared first: the class's key function, so its vtable lives with the parent side.
  ~NamespaceSetup() override;

  // Everything the child will read, from the SandboxSpec's layout and the host's ids.
  static Result<std::unique_ptr<NamespaceSetup>, IoError> prepare(const SandboxSpec& spec,
                                                                  Options options);

  // The CLONE_NEW* flags the child must be created with.
  int namespace_flags() const { return flags_; }
  // Which layers the set-up applies, for the diagnostic event: "namespaces+landlock+seccomp".
  std::string layers() const;

  int run(launch_detail::ChildReport& report) const noexcept override;
  std::string describe(const launch_detail::ChildReport& report) const override;

  // After a successful launch: the fence's listening sockets, which live in the child's
  // network namespace, in the order of Options::fence.
  Result<std::vector<UniqueFd>, IoError> receive_listeners();

 private:
  NamespaceSetup() = default;
  const char* keep(std::string s);  // stable storage for the child's strings

  int flags_ = 0;
  Options options_;

  // Read by the child.
  const char* uid_map_ = nullptr;
  const char* gid_map_ = nullptr;
  const char* work_dir_ = nullptr;
  std::vector<MountStep> mounts_;
  std::vector<LandlockRule> landlock_rules_;
  int landlock_ruleset_ = -1;
  std::vector<FenceListener> listeners_;
  int fence_socket_ = -1;  // child's end of the socketpair the listeners go back through
  int last_cap_ = 40;
#if defined(__linux__)
  sock_fprog seccomp_{};
#endif

  // Owned storage behind the pointers above.
  std::deque<std::string> strings_;
  std::deque<std::vector<const char*>> dir_lists_;
  std::vector<std::string> mount_labels_;
  UniqueFd ruleset_owner_;
  UniqueFd fence_parent_, fence_child_;
};

}  // namespace sandbox::isolation
