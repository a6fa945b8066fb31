// The "bubblewrap" backend: a Linux sandbox built by the bwrap tool (not setuid), with the
// sandbox init as pid 1, the shared seccomp filter through --seccomp, and the network
// fence for filtered policies. Unavailable elsewhere.
#pragma once

#include <string>
#include <vector>

#include "sandbox_core/backend/backend.h"
#include "sandbox_core/backend/sandboxed.h"

namespace sandbox {

class BubblewrapBackend final : public SandboxedBackend {
 public:
  explicit BubblewrapBackend(std::string bwrap) : bwrap_(std::move(bwrap)) {}
  BackendKind kind() const override { return BackendKind::Bubblewrap; }
  // Launches the init under bwrap with `init_arguments` (a command, or a trial run).
  Result<SandboxChild, SandboxError> launch(const SandboxSpec& spec,
                                            const std::vector<std::string>& init_arguments) override;

 private:
  std::string bwrap_;
};

// bwrap's options for `spec`: namespaces, hardening, the layout, the work directory. The
// network: `own_network` unshares it (Blocked); otherwise bwrap shares the namespace it
// starts in (the host's for Open, the fence's for a filtered policy).
std::vector<std::string> bubblewrap_options(const SandboxSpec& spec, bool own_network);

Availability bubblewrap_probe();
std::unique_ptr<Backend> make_bubblewrap();

}  // namespace sandbox
