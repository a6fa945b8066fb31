// The "userns-lite" backend. Any thread; each spawn prepares its own set-up.
#include "sandbox_core/backend/userns_lite.h"

#include "sandbox_core/backend/sandboxed.h"
#include "sandbox_core/events/event.h"
#include "sandbox_core/isolation/init_image.h"
#include "sandbox_core/launch/launch.h"

namespace sandbox {

using namespace isolation;

SandboxSetup UsernsLiteBackend::setup(const NetworkPlan&) const {
  SandboxSetup out;
  out.namespaces.root = RootMode::Own;
  out.namespaces.harden = true;
  return out;
}

Result<InitStart, SandboxError> UsernsLiteBackend::start_init(
    const SandboxSpec&, const std::vector<std::string>& init_args, int image,
    const NamespaceSetup&) const {
  InitStart init;
  init.options.program = kInitName;
  init.options.args = init_args;
  init.options.env_defaults = {{"PATH", std::string(DEFAULT_CHILD_PATH)}};
  init.options.exec_fd = image;
  return init;
}

void UsernsLiteBackend::started(const NamespaceSetup& setup) const {
  SANDBOX_EVENT(events::Level::Debug, "sandbox_core::backend::userns",
                "sandbox_core::backend::userns_lite", ("message", "layers"),
                "userns-lite sandbox started", setup.layers());
}

Availability userns_lite_probe() {
#if defined(__linux__)
  UsernsLiteBackend trial;
  return trial_outcome(trial.launch(trial_spec(), kTrialArguments),
                       "user namespaces cannot build a sandbox here");
#else
  return {false, "Linux only"};
#endif
}

std::unique_ptr<Backend> make_userns_lite() { return std::make_unique<UsernsLiteBackend>(); }

}  // namespace sandbox
