// What the Linux backends share: the whole launch of a sandbox whose pid 1 is the sandbox
// init (network plan, namespace set-up, limits, launch, fence), the init's arguments and
// the probe's trial run. A backend adds only its set-up options and how its init starts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sandbox_core/backend/backend.h"
#include "sandbox_core/base/unique_fd.h"
#include "sandbox_core/isolation/namespaces.h"
#include "sandbox_core/launch/launch.h"
#include "sandbox_core/launch/sandbox_child.h"
#include "sandbox_core/netfilter/ip_address.h"
#include "sandbox_core/spec/sandbox_spec.h"

namespace sandbox {

// Blocked: a network namespace of its own. Open: the host's. Filtered: its own, with
// the fence's endpoints; with none (no loopback proxy in the variables) it is Blocked,
// and a WARN event says so.
struct NetworkPlan {
  bool own_network = true;
  std::vector<netfilter::SocketAddress> fence;
};
NetworkPlan network_plan(const SandboxSpec& spec);

// How a backend's sandbox is set up, for one spawn's network plan.
struct SandboxSetup {
  // Root mode, hardening, user namespace; the network and the fence come from the plan.
  isolation::NamespaceSetup::Options namespaces;
  // RLIMIT_NPROC holds: the child ends in a user namespace of ours.
  bool own_user_namespace = true;
};

// How a backend starts its init, once the set-up is prepared. The launch adds the
// report mode, the set-up, its namespaces and the limits.
struct InitStart {
  LaunchOptions options;          // program, arguments, exec_fd, passed descriptors
  bool child_environment = true;  // false: the program gets no variables (it hands them on)
  std::vector<UniqueFd> keep;     // the passed descriptors, open until the launch returns
};

// A backend whose child runs under the sandbox init: spawn() builds the init's arguments
// for the SandboxSpec's command and hands them to launch(), which a trial run calls too.
class SandboxedBackend : public Backend {
 public:
  Result<void, SandboxError> preflight() const override { return {}; }
  Result<SandboxChild, SandboxError> spawn(const SandboxSpec& spec) final;
  // Launches the init with `init_arguments` (a command, or a trial run): the network
  // plan, the namespace set-up, the limits, the launch, then the fence. On failure
  // nothing is left running.
  Result<SandboxChild, SandboxError> launch(const SandboxSpec& spec,
                                            const std::vector<std::string>& init_arguments,
                                            int control_fd = -1, int extra_join_fd = -1);
  // A persistent sandbox's init, serving commands from `control_fd` (its end of the
  // control channel, borrowed); a spec without a work dir gets a private one, whose
  // path goes to `host_dir` (else the SandboxSpec's). `join_fd` (>= kSetupFdFloor, or -1): one
  // more control group's cgroup.procs the set-up child joins first.
  Result<SandboxChild, SandboxError> start_persistent(const SandboxSpec& spec, int control_fd,
                                                      int join_fd, std::string& host_dir);

 protected:
  virtual SandboxSetup setup(const NetworkPlan& net) const = 0;
  // `image`: the sandbox init's executable file, borrowed.
  virtual Result<InitStart, SandboxError> start_init(
      const SandboxSpec& spec, const std::vector<std::string>& init_arguments, int image,
      const isolation::NamespaceSetup& setup) const = 0;
  // After a launch that succeeded, fence attached.
  virtual void started(const isolation::NamespaceSetup&) const {}
};

// The init's arguments after argv[0]: the number of exec candidates, the candidates
// from the child's PATH (the default one unless env sets PATH), then the command.
std::vector<std::string> init_arguments(const std::vector<std::string>& command,
                                        const SandboxSpec& spec);
// The arguments of a trial run: the init reports and exits 0 without a target.
inline const std::vector<std::string> kTrialArguments = {"0"};
// The arguments of a persistent sandbox's init: it serves the control channel.
inline const std::vector<std::string> kServeArguments = {"p"};

// A probe's trial: available when the launch succeeded and the init exited 0.
Availability trial_outcome(Result<SandboxChild, SandboxError> launched, std::string_view what);

// The SandboxSpec of a trial run: defaults, nothing captured, network blocked.
SandboxSpec trial_spec();

}  // namespace sandbox
