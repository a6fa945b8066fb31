// The "userns-lite" backend. Any thread; each spawn prepares its own set-up.
#include "sandbox_core/backend/userns_lite.h"

#include "sandbox_core/backend/sandboxed.h"
#include "sandbox_core/events/event.h"
#include "sandbox_core/isolation/init_image.h"
#include "sandbox_core/isolation/limits.h"
#include "sandbox_core/isolation/namespaces.h"
#include "sandbox_core/launch/launch.h"

namespace sandbox {

using namespace isolation;

Result<SandboxChild, SandboxError> UsernsLiteBackend::launch(
    const SandboxSpec& spec, const std::vector<std::string>& init_args) {
  auto image = sandbox_init_fd();
  if (!image) return fail(SandboxError::io(image.error().annotated(" (the sandbox init)")));
  auto limits = SpawnLimits::prepare(spec, true);
  if (!limits) return fail(std::move(limits).error());
  NetworkPlan net = network_plan(spec);
  NamespaceSetup::Options o;
  o.root = RootMode::Own;
  o.own_cgroup2 = limits->own_cgroup2();
  o.new_network = net.own_network;
  o.fence = net.fence;
  o.harden = true;
  auto setup = NamespaceSetup::prepare(spec, std::move(o));
  if (!setup) return fail(SandboxError::io(setup.error()));

  LaunchOptions options;
  options.program = kInitName;
  options.args = init_args;
  options.env_defaults = {{"PATH", std::string(DEFAULT_CHILD_PATH)}};
  options.exec_fd = *image;
  options.report = ReportMode::Init;
  if (spec.default_work_dir) options.host_start_dir = "/";
  options.setup = setup->get();
  options.namespace_flags = (*setup)->namespace_flags();
  limits->apply(options);
  auto child = launch_child(options, spec);
  if (!child) return child;
  limits->attach(*child);
  if (auto ids = (*setup)->take_ids()) child->resources().push_back(std::move(ids));
  SANDBOX_TRY(attach_fence(*child, **setup, net));
  SANDBOX_EVENT(events::Level::Debug, "sandbox_core::backend::userns",
                "sandbox_core::backend::userns_lite", ("message", "layers"),
                "userns-lite sandbox started", (*setup)->layers());
  return child;
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
