// The "bubblewrap" backend. Any thread; each spawn builds its own arguments and pipes.
#include "sandbox_core/backend/bubblewrap.h"

#include <sys/stat.h>

#include "sandbox_core/isolation/init_image.h"
#include "sandbox_core/isolation/layout.h"
#include "sandbox_core/isolation/limits.h"
#include "sandbox_core/backend/sandboxed.h"
#include "sandbox_core/isolation/seccomp.h"
#include "sandbox_core/launch/launch.h"

namespace sandbox {
namespace {

using namespace isolation;

// Descriptors bwrap and the init find: the init's own (3, 4), then these.
constexpr int kSeccompFd = launch_detail::kInitFirstFreeFd;  // read by bwrap
constexpr int kInitImageFd = kSeccompFd + 1;                 // executed as the command
const std::string kInitCommand = "/proc/self/fd/" + std::to_string(kInitImageFd);

}  // namespace

std::vector<std::string> bubblewrap_options(const SandboxSpec& spec, bool own_network) {
  std::vector<std::string> args = {
      "--unshare-user", "--unshare-ipc", "--unshare-pid", "--unshare-uts", "--unshare-cgroup-try",
      // Run as root, bwrap would leave the sandbox its capabilities.
      "--cap-drop", "ALL", "--disable-userns",
      // No survivor: pid 1 (the init) dies with bwrap, and the namespace with pid 1.
      "--die-with-parent", "--as-pid-1", "--new-session",
      "--seccomp", std::to_string(kSeccompFd)};
  if (own_network) args.push_back("--unshare-net");
  using Kind = LayoutEntry::Kind;
  for (const LayoutEntry& e : sandbox_layout(spec)) {
    switch (e.kind) {
      case Kind::ReadOnly:
        args.insert(args.end(), {"--ro-bind", e.path, e.path});
        break;
      case Kind::ReadWrite:
        args.insert(args.end(), {"--bind", e.path, e.path});
        break;
      case Kind::Symlink:
        args.insert(args.end(), {"--symlink", e.link, e.path});
        break;
      case Kind::Proc:
        args.insert(args.end(), {"--proc", e.path});
        break;
      case Kind::Dev:
        args.insert(args.end(), {"--dev", e.path});
        break;
      case Kind::Tmpfs:
        if (e.size_bytes != 0) args.insert(args.end(), {"--size", std::to_string(e.size_bytes)});
        args.insert(args.end(), {"--tmpfs", e.path});
        break;
    }
  }
  // bwrap's root and /dev are tmpfs mounts of its own that the sandbox's user may write:
  // read-only, they add no scratch space past the sized /tmp and /dev/shm.
  args.insert(args.end(), {"--remount-ro", "/dev", "--remount-ro", "/"});
  args.insert(args.end(), {"--chdir", normalized_path(spec.host_dir())});
  return args;
}

Result<SandboxChild, SandboxError> BubblewrapBackend::launch(
    const SandboxSpec& spec, const std::vector<std::string>& init_args) {
  auto image = sandbox_init_fd();
  if (!image) return fail(SandboxError::io(image.error().annotated(" (the sandbox init)")));
  auto seccomp = seccomp_program_pipe();
  if (!seccomp) return fail(SandboxError::io(seccomp.error()));

  NetworkPlan net = network_plan(spec);
  std::unique_ptr<NamespaceSetup> setup;
  if (!net.fence.empty()) {
    // The fence needs its listeners inside the sandbox's network namespace before bwrap
    // runs: the child makes that namespace and bwrap shares it.
    NamespaceSetup::Options o;
    o.new_network = true;
    o.fence = net.fence;
    auto prepared = NamespaceSetup::prepare(spec, std::move(o));
    if (!prepared) return fail(SandboxError::io(prepared.error()));
    setup = std::move(*prepared);
  }

  // RLIMIT_NPROC only where our child makes the user namespace bwrap runs in.
  auto limits = SpawnLimits::prepare(spec, setup != nullptr);
  if (!limits) return fail(std::move(limits).error());

  LaunchOptions options;
  options.program = bwrap_;
  options.args = bubblewrap_options(spec, net.own_network && net.fence.empty());
  options.args.push_back("--");
  options.args.push_back(kInitCommand);
  options.args.insert(options.args.end(), init_args.begin(), init_args.end());
  options.env_defaults = {{"PATH", std::string(DEFAULT_CHILD_PATH)}};
  options.passed_fds = {{seccomp->get(), kSeccompFd}, {*image, kInitImageFd}};
  options.report = ReportMode::Init;
  if (setup) {
    options.setup = setup.get();
    options.namespace_flags = setup->namespace_flags();
  }
  limits->apply(options);
  auto child = launch_child(options, spec);
  if (!child) return child;
  limits->attach(*child);
  if (setup) SANDBOX_TRY(attach_fence(*child, *setup, net));
  return child;
}

Availability bubblewrap_probe() {
#if defined(__linux__)
  auto path = find_on_path("bwrap");
  if (!path) return {false, "no bwrap on PATH"};
  struct stat st;
  if (::stat(path->c_str(), &st) == 0 && (st.st_mode & S_ISUID) != 0) {
    return {false, "bwrap at " + *path + " is setuid, which this backend does not use"};
  }
  BubblewrapBackend trial(*path);
  return trial_outcome(trial.launch(trial_spec(), kTrialArguments),
                       "bwrap cannot create a sandbox here");
#else
  return {false, "Linux only"};
#endif
}

std::unique_ptr<Backend> make_bubblewrap() {
  auto path = find_on_path("bwrap");
  return std::make_unique<BubblewrapBackend>(path ? *path : "bwrap");
}

}  // namespace sandbox
