// The "bubblewrap" backend: a Linux sandbox built by the bwrap tool (not setuid), with the
// sandbox init as pid 1, the shared seccomp filter through --seccomp, and the network
// fence for filtered policies. A set-up child of ours stages the caller's paths for bwrap
// (and, for a root caller, becomes the unprivileged ids first). Unavailable elsewhere.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sandbox_core/backend/backend.h"
#include "sandbox_core/backend/sandboxed.h"
#include "sandbox_core/base/unique_fd.h"
#include "sandbox_core/isolation/namespaces.h"

namespace sandbox {

// A host tool resolved once: its absolute path and the file itself, open, which is what
// runs. `refusal` says why it may not be used (empty when it may).
struct CheckedTool {
  std::string path;
  UniqueFd file;
  std::string refusal;
};

// Checks the tool at `path`: it and every directory above it are owned by root or the
// caller and writable by nobody else, and the tool is a regular file, not setuid.
CheckedTool check_tool(const std::string& path);

// bwrap from the host's PATH, checked. One that passed is kept for the process (its
// descriptor is what runs); a refusal is not, so a bwrap installed later is found.
std::shared_ptr<const CheckedTool> checked_bwrap();

class BubblewrapBackend final : public SandboxedBackend {
 public:
  // The checked bwrap, executed by descriptor.
  explicit BubblewrapBackend(const CheckedTool& tool)
      : bwrap_(tool.path), bwrap_fd_(tool.file.get()) {}
  // A tool at a path (the tests' fake bwrap), executed by path.
  explicit BubblewrapBackend(std::string bwrap) : bwrap_(std::move(bwrap)) {}
  BackendKind kind() const override { return BackendKind::Bubblewrap; }

 private:
  SandboxSetup setup(const NetworkPlan& net) const override;
  // bwrap, with its options through a descriptor, and the init as its command.
  Result<InitStart, SandboxError> start_init(const SandboxSpec& spec,
                                             const std::vector<std::string>& init_arguments,
                                             int image,
                                             const isolation::NamespaceSetup& setup) const override;

  std::string bwrap_;
  int bwrap_fd_ = -1;
};

// bwrap's options for `spec`: namespaces, hardening, the layout, the work directory. The
// network: `own_network` unshares it (Blocked); otherwise bwrap shares the namespace it
// starts in (the host's for Open, the fence's for a filtered policy). With `setup`, the
// caller's paths are bound from where it staged them, and a root caller's child is uid
// and gid 0 inside.
std::vector<std::string> bubblewrap_options(const SandboxSpec& spec, bool own_network,
                                            const isolation::NamespaceSetup* setup = nullptr);

Availability bubblewrap_probe();
std::unique_ptr<Backend> make_bubblewrap();

}  // namespace sandbox
