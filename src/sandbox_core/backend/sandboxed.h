// What the two Linux backends share around a launch: the init's arguments, the network
// plan of a policy, attaching the fence to a launched child, and the probe's trial run.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sandbox_core/backend/backend.h"
#include "sandbox_core/isolation/namespaces.h"
#include "sandbox_core/launch/sandbox_child.h"
#include "sandbox_core/netfilter/ip_address.h"
#include "sandbox_core/spec/sandbox_spec.h"

namespace sandbox {

// A backend whose child runs under the sandbox init: spawn() builds the init's arguments
// for the SandboxSpec's command and hands them to launch(), which a trial run calls too.
class SandboxedBackend : public Backend {
 public:
  Result<void, SandboxError> preflight() const override { return {}; }
  Result<SandboxChild, SandboxError> spawn(const SandboxSpec& spec) final;
  virtual Result<SandboxChild, SandboxError> launch(
      const SandboxSpec& spec, const std::vector<std::string>& init_arguments) = 0;
};

// The init's arguments after argv[0]: the number of exec candidates, the candidates
// from the child's PATH (the default one unless env sets PATH), then the command.
std::vector<std::string> init_arguments(const std::vector<std::string>& command,
                                        const SandboxSpec& spec);
// The arguments of a trial run: the init reports and exits 0 without a target.
inline const std::vector<std::string> kTrialArguments = {"0"};

// Blocked: a network namespace of its own. Open: the host's. Filtered: its own, with
// the fence's endpoints; with none (no loopback proxy in the variables) it is Blocked,
// and a WARN event says so.
struct NetworkPlan {
  bool own_network = true;
  std::vector<netfilter::SocketAddress> fence;
};
NetworkPlan network_plan(const SandboxSpec& spec);

// Takes the fence's listeners from `setup` and keeps the relay running for as long as
// the child's record lives. On failure the child is killed with its record.
Result<void, SandboxError> attach_fence(SandboxChild& child, isolation::NamespaceSetup& setup,
                                        const NetworkPlan& plan);

// With a copy-on-write work directory: takes the upper's scratch from `setup` and gives
// the child's record the change set, counted from `since` (taken before the launch).
Result<void, SandboxError> attach_overlay(SandboxChild& child, isolation::NamespaceSetup& setup,
                                          const SandboxSpec& spec, timespec since);

// A probe's trial: available when the launch succeeded and the init exited 0.
Availability trial_outcome(Result<SandboxChild, SandboxError> launched, std::string_view what);

// The SandboxSpec of a trial run: defaults, nothing captured, network blocked.
SandboxSpec trial_spec();

}  // namespace sandbox
