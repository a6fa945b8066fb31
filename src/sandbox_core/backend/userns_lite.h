// The "userns-lite" backend: the same sandbox as "bubblewrap", set up natively. The child
// is cloned into new user, mount, pid, ipc, uts (and network) namespaces, builds and
// enters the sandbox's root, hardens itself (no_new_privs, Landlock where the kernel has
// it, no capabilities, seccomp) and executes the sandbox init from its memfd. No external
// tool. Unavailable where user namespaces are.
#pragma once

#include <string>
#include <vector>

#include "sandbox_core/backend/backend.h"
#include "sandbox_core/backend/sandboxed.h"

namespace sandbox {

class UsernsLiteBackend final : public SandboxedBackend {
 public:
  BackendKind kind() const override { return BackendKind::UsernsLite; }

 private:
  SandboxSetup setup(const NetworkPlan& net) const override;
  // The init itself, from its memory file.
  Result<InitStart, SandboxError> start_init(const SandboxSpec& spec,
                                             const std::vector<std::string>& init_arguments,
                                             int image,
                                             const isolation::NamespaceSetup& setup) const override;
  void started(const isolation::NamespaceSetup& setup) const override;
};

Availability userns_lite_probe();
std::unique_ptr<Backend> make_userns_lite();

}  // namespace sandbox
