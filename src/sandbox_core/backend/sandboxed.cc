// Shared pieces of the Linux backends' launches. Runs on the spawning thread (or the
// availability probe's).
#include "sandbox_core/backend/sandboxed.h"

#include <charconv>

#include "sandbox_core/base/platform.h"
#include "sandbox_core/events/event.h"
#include "sandbox_core/isolation/init_image.h"
#include "sandbox_core/isolation/layout.h"
#include "sandbox_core/isolation/limits.h"
#include "sandbox_core/launch/launch.h"
#include "sandbox_core/launch/supervision.h"
#include "sandbox_core/proxy/fence.h"

namespace sandbox {
namespace {

// The work directory of a spec that names none, inside the sandbox: a directory of its
// private /tmp, so it counts within the scratch bound and goes with the sandbox's mount
// namespace, whatever happens to this process.
constexpr const char* kPrivateWorkDir = "/tmp/ventra-work";

// The init's exec of the program failed with ENOENT, which alone names nothing: where the
// host has the program, what of it the sandbox lacks.
SandboxError named_if_missing_inside(SandboxError error, const SandboxSpec& spec,
                                     const std::vector<std::string>& init_args) {
  const IoError& io = error.io_error();
  if (error.kind() != SandboxError::Kind::Io || io.code != ENOENT || !io.message.empty()) {
    return error;
  }
  size_t count = 0;
  const std::string& first = init_args.front();
  (void)std::from_chars(first.data(), first.data() + first.size(), count);
  if (count >= init_args.size()) return error;
  const std::vector<std::string> candidates(init_args.begin() + 1,
                                            init_args.begin() + 1 + static_cast<long>(count));
  // A private work dir is the sandbox's own: nothing of the host to look at there.
  std::string why = isolation::missing_inside(isolation::sandbox_layout(spec), candidates,
                                              spec.default_work_dir ? "" : spec.host_dir());
  if (why.empty()) return error;
  return SandboxError::io(IoError::custom(why + ": " + os_error_text(ENOENT), ENOENT));
}

// Takes the fence's listeners from `setup` and keeps the relay running for as long as
// the child's record lives. On failure the child is killed with its record.
Result<void, SandboxError> attach_fence(SandboxChild& child, isolation::NamespaceSetup& setup,
                                        const NetworkPlan& plan) {
  if (plan.fence.empty()) return {};
  auto listeners = setup.receive_listeners();
  if (!listeners) return fail(SandboxError::io(listeners.error()));
  auto fence = proxy::NetworkFence::start(std::move(*listeners), plan.fence);
  if (!fence) return fail(SandboxError::io(fence.error()));
  child.resources().push_back(std::move(*fence));
  return {};
}

}  // namespace

Result<SandboxChild, SandboxError> SandboxedBackend::launch(
    const SandboxSpec& spec, const std::vector<std::string>& init_args) {
  auto image = isolation::sandbox_init_fd();
  if (!image) return fail(SandboxError::io(image.error().annotated(" (the sandbox init)")));
  NetworkPlan net = network_plan(spec);
  SandboxSetup chosen = setup(net);
  // First: whether the sandbox has a cgroup v2 group of its own decides what it sees of
  // /sys/fs/cgroup.
  auto limits = isolation::SpawnLimits::prepare(spec, chosen.own_user_namespace);
  if (!limits) return fail(std::move(limits).error());
  chosen.namespaces.new_network = net.own_network;
  chosen.namespaces.fence = net.fence;
  chosen.namespaces.own_cgroup2 = limits->own_cgroup2();
  // The fence's listeners are made inside the sandbox's network namespace, before the
  // init runs, by the set-up child.
  auto prepared = isolation::NamespaceSetup::prepare(spec, std::move(chosen.namespaces));
  if (!prepared) return fail(SandboxError::io(prepared.error()));
  isolation::NamespaceSetup& ns = **prepared;
  auto init = start_init(spec, init_args, *image, ns);
  if (!init) return fail(std::move(init).error());

  LaunchOptions& options = init->options;
  options.report = ReportMode::Init;
  // A private work dir exists only inside: the set-up enters it there.
  if (spec.default_work_dir) options.host_start_dir = "/";
  options.setup = &ns;
  options.namespace_flags = ns.namespace_flags();
  options.limits = child_limits(spec);
  limits->apply(options);
  SandboxSpec bare;
  if (!init->child_environment) {
    bare = spec;
    bare.env.clear();
  }
  auto child = launch_child(options, init->child_environment ? spec : bare);
  if (!child) return child;
  limits->attach(*child);
  // Released after the groups are gone: no process of this sandbox is left to share them.
  if (auto ids = ns.take_ids()) child->resources().push_back(std::move(ids));
  SANDBOX_TRY(attach_fence(*child, ns, net));
  started(ns);
  return child;
}

Result<SandboxChild, SandboxError> SandboxedBackend::spawn(const SandboxSpec& spec) {
  std::vector<std::string> command = build_command(spec);
  if (command.empty()) return fail(SandboxError::invalid_spec("argv is empty"));
  auto launched = [&](const SandboxSpec& s) -> Result<SandboxChild, SandboxError> {
    const std::vector<std::string> args = init_arguments(command, s);
    auto child = launch(s, args);
    if (!child) return fail(named_if_missing_inside(std::move(child).error(), s, args));
    return child;
  };
  if (!spec.default_work_dir) return launched(spec);
  // Nothing of the host the caller did not name: not the system temporary directory.
  SandboxSpec own = spec;
  own.host_work_dir = kPrivateWorkDir;
  own.work_dir = kPrivateWorkDir;
  return launched(own);
}

std::vector<std::string> init_arguments(const std::vector<std::string>& command,
                                        const SandboxSpec& spec) {
  auto path = spec.env.find("PATH");
  const std::string fallback(DEFAULT_CHILD_PATH);
  auto candidates =
      exec_candidates(command.front(), path == spec.env.end() ? &fallback : &path->second);
  std::vector<std::string> out;
  out.reserve(1 + candidates.size() + command.size());
  out.push_back(std::to_string(candidates.size()));
  out.insert(out.end(), candidates.begin(), candidates.end());
  out.insert(out.end(), command.begin(), command.end());
  return out;
}

NetworkPlan network_plan(const SandboxSpec& spec) {
  NetworkPlan plan;
  if (std::holds_alternative<NetworkOpen>(spec.network)) {
    plan.own_network = false;
  } else if (std::holds_alternative<NetworkFiltered>(spec.network)) {
    plan.fence = proxy::fence_endpoints(spec.env);
    if (plan.fence.empty()) {
      SANDBOX_EVENT(events::Level::Warn, "sandbox_core::isolation",
                    "sandbox_core::isolation::fence", ("message"),
                    "filtered network policy, but no proxy variable names a loopback proxy: "
                    "the child gets no network at all");
    }
  }
  return plan;
}

Availability trial_outcome(Result<SandboxChild, SandboxError> launched, std::string_view what) {
  if (!launched) return {false, std::string(what) + ": " + launched.error().message()};
  auto status = wait_exit(*launched);
  if (!status) return {false, std::string(what) + ": wait: " + status.error().text()};
  if (*status != 0) {
    return {false, std::string(what) + ": trial exited with status " + std::to_string(*status)};
  }
  return {true, {}};
}

SandboxSpec trial_spec() {
  SandboxSpec spec;
  spec.work_dir = system_temp_dir();
  spec.capture_stdout = spec.capture_stderr = false;
  return spec;
}

}  // namespace sandbox
