// Shared pieces of the Linux backends' launches. Runs on the spawning thread (or the
// availability probe's).
#include "sandbox_core/backend/sandboxed.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sandbox_core/base/platform.h"
#include "sandbox_core/events/event.h"
#include "sandbox_core/isolation/init_image.h"
#include "sandbox_core/isolation/limits.h"
#include "sandbox_core/launch/launch.h"
#include "sandbox_core/launch/supervision.h"
#include "sandbox_core/proxy/fence.h"

namespace sandbox {
namespace {

// Removes the tree at `path`, following no link: the child may have left links to
// anywhere, directories it made unreadable, and nesting deeper than any stack. So the
// walk is a loop holding one directory open and the names on the way down.
void remove_tree(const std::string& path) {
  constexpr int kDir = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  int dir = ::open(path.c_str(), kDir);
  if (dir < 0) {
    (void)::unlink(path.c_str());
    return;
  }
  std::vector<std::string> down;
  for (;;) {
    (void)::fchmod(dir, 0700);
    std::string sub;
    int scan = ::dup(dir);
    if (DIR* d = scan >= 0 ? ::fdopendir(scan) : nullptr) {
      while (dirent* e = ::readdir(d)) {
        std::string_view n = e->d_name;
        if (n == "." || n == "..") continue;
        if (::unlinkat(dir, e->d_name, 0) == 0 || errno != EISDIR) continue;
        sub = e->d_name;
        break;
      }
      ::closedir(d);
    } else if (scan >= 0) {
      ::close(scan);
    }
    if (!sub.empty()) {
      int next = ::openat(dir, sub.c_str(), kDir);
      if (next < 0 && ::fchmodat(dir, sub.c_str(), 0700, 0) == 0)
        next = ::openat(dir, sub.c_str(), kDir);
      if (next >= 0) {
        ::close(dir);
        dir = next;
        down.push_back(std::move(sub));
        continue;
      }
      if (::unlinkat(dir, sub.c_str(), AT_REMOVEDIR) != 0) break;  // cannot enter it: give up
      continue;
    }
    if (down.empty()) break;
    int up = ::openat(dir, "..", kDir);
    ::close(dir);
    if (up < 0) return;
    dir = up;
    (void)::unlinkat(dir, down.back().c_str(), AT_REMOVEDIR);
    down.pop_back();
  }
  ::close(dir);
  (void)::rmdir(path.c_str());
}

// The work directory of a spec that named none: fresh, private, gone with the run.
class PrivateWorkDir final : public ChildResource {
 public:
  static Result<std::unique_ptr<PrivateWorkDir>, IoError> create() {
    std::string path = system_temp_dir() + "/ventra-work-XXXXXX";
    if (::mkdtemp(path.data()) == nullptr) return fail(IoError::last());
    return std::unique_ptr<PrivateWorkDir>(new PrivateWorkDir(std::move(path)));
  }
  ~PrivateWorkDir() override { remove_tree(path_); }
  const std::string& path() const { return path_; }

 private:
  explicit PrivateWorkDir(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

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
    const SandboxSpec& spec, const std::vector<std::string>& init_args, int control_fd,
    int extra_join_fd) {
  auto image = isolation::sandbox_init_fd();
  if (!image) return fail(SandboxError::io(image.error().annotated(" (the sandbox init)")));
  NetworkPlan net = network_plan(spec);
  SandboxSetup chosen = setup(net);
  chosen.namespaces.new_network = net.own_network;
  chosen.namespaces.fence = net.fence;
  // The fence's listeners are made inside the sandbox's network namespace, before the
  // init runs, by the set-up child.
  auto prepared = isolation::NamespaceSetup::prepare(spec, std::move(chosen.namespaces));
  if (!prepared) return fail(SandboxError::io(prepared.error()));
  isolation::NamespaceSetup& ns = **prepared;
  auto init = start_init(spec, init_args, *image, ns);
  if (!init) return fail(std::move(init).error());
  auto limits = isolation::SpawnLimits::prepare(spec, chosen.own_user_namespace);
  if (!limits) return fail(std::move(limits).error());

  LaunchOptions& options = init->options;
  options.report = ReportMode::Init;
  options.control_fd = control_fd;
  options.setup = &ns;
  options.namespace_flags = ns.namespace_flags();
  limits->apply(options);
  if (extra_join_fd >= 0) options.cgroup_join_fds.push_back(extra_join_fd);
  SandboxSpec bare;
  if (!init->child_environment) {
    bare = spec;
    bare.env.clear();
  }
  auto child = launch_child(options, init->child_environment ? spec : bare);
  if (!child) return child;
  limits->attach(*child);
  SANDBOX_TRY(attach_fence(*child, ns, net));
  started(ns);
  return child;
}

Result<SandboxChild, SandboxError> SandboxedBackend::start_persistent(const SandboxSpec& spec,
                                                                     int control_fd,
                                                                     int join_fd,
                                                                     std::string& host_dir) {
  if (!spec.default_work_dir) {
    host_dir = spec.host_dir();
    return launch(spec, kServeArguments, control_fd, join_fd);
  }
  auto dir = PrivateWorkDir::create();
  if (!dir) return fail(SandboxError::io(dir.error()));
  SandboxSpec own = spec;
  own.host_work_dir = (*dir)->path();
  own.work_dir = (*dir)->path();
  host_dir = (*dir)->path();
  auto child = launch(own, kServeArguments, control_fd, join_fd);
  if (child) child->resources().push_back(std::move(*dir));
  return child;
}

Result<SandboxChild, SandboxError> SandboxedBackend::spawn(const SandboxSpec& spec) {
  std::vector<std::string> command = build_command(spec);
  if (command.empty()) return fail(SandboxError::invalid_spec("argv is empty"));
  if (!spec.default_work_dir) return launch(spec, init_arguments(command, spec));
  // Nothing of the host the caller did not name: not the system temporary directory.
  auto dir = PrivateWorkDir::create();
  if (!dir) return fail(SandboxError::io(dir.error()));
  SandboxSpec own = spec;
  own.host_work_dir = (*dir)->path();
  own.work_dir = (*dir)->path();
  auto child = launch(own, init_arguments(command, own));
  if (child) child->resources().push_back(std::move(*dir));
  return child;
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
