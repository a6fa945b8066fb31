// The "bubblewrap" backend. Any thread; each spawn builds its own arguments and pipes.
#include "sandbox_core/backend/bubblewrap.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <mutex>

#include "sandbox_core/backend/sandboxed.h"
#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/base/platform.h"
#include "sandbox_core/base/quoted.h"
#include "sandbox_core/isolation/layout.h"
#include "sandbox_core/isolation/seccomp.h"
#include "sandbox_core/launch/launch.h"

namespace sandbox {
namespace {

using namespace isolation;

// Descriptors bwrap and the init find: the init's own (3, 4), then these.
constexpr int kSeccompFd = launch_detail::kInitFirstFreeFd;  // read by bwrap
constexpr int kInitImageFd = kSeccompFd + 1;                 // executed as the command
constexpr int kArgsFd = kInitImageFd + 1;                    // bwrap's arguments
const std::string kInitCommand = "/proc/self/fd/" + std::to_string(kInitImageFd);

bool exists(const char* path) { return ::access(path, F_OK) == 0; }

// Owned by root or the caller, and writable by nobody else.
#ifdef O_PATH
constexpr int kOpenPathFlags = O_PATH;
#else
constexpr int kOpenPathFlags = O_RDONLY;
#endif

std::string ownership_problem(const struct stat& st) {
  if (st.st_uid != 0 && st.st_uid != ::geteuid())
    return "is owned by uid " + std::to_string(st.st_uid);
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "is writable by others";
  return {};
}

// bwrap's arguments go through a descriptor: values (the child's variables among them)
// stay out of the host's process list.
Result<UniqueFd, IoError> arguments_file(const std::vector<std::string>& args) {
  std::string text;
  for (const auto& a : args) {
    text += a;
    text.push_back('\0');
  }
  return anonymous_file("bwrap-args", text, Seal::No);
}

}  // namespace

CheckedTool check_tool(const std::string& path) {
  CheckedTool tool;
  char real[PATH_MAX];
  if (::realpath(path.c_str(), real) == nullptr) {
    tool.refusal = path + ": " + os_error_text(errno);
    return tool;
  }
  tool.path = real;
  // Every directory above: whoever may write one may swap the tool.
  for (size_t at = 0; at != std::string::npos; at = tool.path.find('/', at + 1)) {
    std::string dir = at == 0 ? "/" : tool.path.substr(0, at);
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0) {
      tool.refusal = dir + ": " + os_error_text(errno);
      return tool;
    }
    if (auto problem = ownership_problem(st); !problem.empty()) {
      tool.refusal = "the directory " + dir + " above " + tool.path + " " + problem;
      return tool;
    }
  }
  tool.file.reset(::open(tool.path.c_str(), kOpenPathFlags | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (!tool.file || ::fstat(tool.file.get(), &st) != 0) {
    tool.refusal = tool.path + ": " + os_error_text(errno);
  } else if (!S_ISREG(st.st_mode)) {
    tool.refusal = tool.path + " is not a regular file";
  } else if ((st.st_mode & S_ISUID) != 0) {
    tool.refusal = "bwrap at " + tool.path + " is setuid, which this backend does not use";
  } else if (auto problem = ownership_problem(st); !problem.empty()) {
    tool.refusal = tool.path + " " + problem;
  }
  if (!tool.refusal.empty()) tool.file.reset();
  return tool;
}

std::shared_ptr<const CheckedTool> checked_bwrap() {
  static std::mutex lock;
  // Never destroyed: a spawn on another thread may still run it while the process exits.
  static auto* kept = new std::shared_ptr<const CheckedTool>;
  std::lock_guard hold(lock);
  if (*kept) return *kept;
  auto path = find_on_path("bwrap");
  auto tool = std::make_shared<const CheckedTool>(path ? check_tool(*path)
                                                       : CheckedTool{{}, {}, "no bwrap on PATH"});
  if (tool->refusal.empty()) *kept = tool;
  return tool;
}

std::vector<std::string> bubblewrap_options(const SandboxSpec& spec, bool own_network,
                                            const NamespaceSetup* setup) {
  std::vector<std::string> args = {
      "--unshare-user", "--unshare-ipc", "--unshare-pid", "--unshare-uts", "--unshare-cgroup-try",
      // Run as root, bwrap would leave the sandbox its capabilities.
      "--cap-drop", "ALL", "--disable-userns",
      // No survivor: pid 1 (the init) dies with bwrap, and the namespace with pid 1.
      "--die-with-parent", "--as-pid-1", "--new-session", "--seccomp", std::to_string(kSeccompFd)};
  if (own_network) args.push_back("--unshare-net");
  // A root caller's child is root only inside: bwrap runs as the unprivileged ids.
  if (setup != nullptr && setup->identity() == Identity::Unprivileged) {
    args.insert(args.end(), {"--uid", "0", "--gid", "0"});
  }
  auto source = [&](const std::string& path) {
    const std::string* at = setup != nullptr ? setup->staged(path) : nullptr;
    return at != nullptr ? *at : path;
  };
  using Kind = LayoutEntry::Kind;
  // The layout the set-up child staged from, where there is one: the same answers.
  std::vector<LayoutEntry> fresh;
  if (setup == nullptr || setup->layout().empty()) fresh = sandbox_layout(spec);
  for (const LayoutEntry& e : fresh.empty() ? setup->layout() : fresh) {
    switch (e.kind) {
      case Kind::ReadOnly:
        args.insert(args.end(), {"--ro-bind", source(e.path), e.path});
        break;
      case Kind::ReadWrite:
        args.insert(args.end(), {"--bind", source(e.path), e.path});
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
      case Kind::Dir:
        args.insert(args.end(), {"--dir", e.path});
        break;
      case Kind::Cgroup:
        if (const std::string* at = setup != nullptr ? setup->staged(e.path) : nullptr) {
          args.insert(args.end(), {"--ro-bind", *at, e.path});
        } else {
          args.insert(args.end(), {"--tmpfs", e.path, "--remount-ro", e.path});
        }
        break;
      case Kind::Tmpfs:
        if (e.size_bytes != 0) args.insert(args.end(), {"--size", std::to_string(e.size_bytes)});
        args.insert(args.end(), {"--tmpfs", e.path});
        break;
      // bwrap fails on a target that is missing: these are checked on the host.
      case Kind::Lock:
        if (exists(e.path.c_str())) args.insert(args.end(), {"--ro-bind", e.path, e.path});
        break;
      case Kind::Mask:
        if (exists(e.path.c_str())) args.insert(args.end(), {"--ro-bind", "/dev/null", e.path});
        break;
      case Kind::Cover:
        if (exists(e.path.c_str()))
          args.insert(args.end(), {"--tmpfs", e.path, "--remount-ro", e.path});
        break;
    }
  }
  // bwrap's root and /dev are tmpfs mounts of its own that the sandbox's user may write:
  // read-only, they add no scratch space past the sized /tmp and /dev/shm.
  args.insert(args.end(), {"--remount-ro", "/dev", "--remount-ro", "/"});
  args.insert(args.end(), {"--chdir", normalized_path(spec.host_dir())});
  return args;
}

// Our set-up child stages the caller's paths and makes the sandbox's network namespace
// (its sysfs must be mounted from inside); bwrap then builds the sandbox from them, in
// the namespace it starts in.
SandboxSetup BubblewrapBackend::setup(const NetworkPlan&) const {
  SandboxSetup out;
  out.namespaces.root = RootMode::Staged;
  out.namespaces.own_user_namespace = false;
  // RLIMIT_NPROC holds in the set-up child's user namespace, or under leased ids.
  out.own_user_namespace = true;
  return out;
}

Result<InitStart, SandboxError> BubblewrapBackend::start_init(
    const SandboxSpec& spec, const std::vector<std::string>& init_args, int image,
    const NamespaceSetup& setup) const {
  auto seccomp = seccomp_program_pipe();
  if (!seccomp) return fail(SandboxError::io(seccomp.error()));
  std::vector<std::string> args = bubblewrap_options(spec, false, &setup);
  // The child's variables reach only the child: bwrap itself runs with none.
  args.push_back("--clearenv");
  for (const auto& [name, value] : spec.env) args.insert(args.end(), {"--setenv", name, value});
  if (!spec.env.contains("PATH"))
    args.insert(args.end(), {"--setenv", "PATH", std::string(DEFAULT_CHILD_PATH)});
  auto args_file = arguments_file(args);
  if (!args_file) return fail(SandboxError::io(args_file.error()));

  InitStart init;
  init.child_environment = false;
  LaunchOptions& options = init.options;
  options.program = bwrap_fd_ >= 0 ? "bwrap" : bwrap_;
  options.exec_fd = bwrap_fd_;
  options.args = {"--args", std::to_string(kArgsFd), "--", kInitCommand};
  options.args.insert(options.args.end(), init_args.begin(), init_args.end());
  options.passed_fds = {
      {seccomp->get(), kSeccompFd}, {image, kInitImageFd}, {args_file->get(), kArgsFd}};
  init.keep.push_back(std::move(*seccomp));
  init.keep.push_back(std::move(*args_file));
  return init;
}

Availability bubblewrap_probe() {
#if defined(__linux__)
  const auto tool = checked_bwrap();
  if (!tool->refusal.empty()) return {false, tool->refusal};
  BubblewrapBackend trial(*tool);
  return trial_outcome(trial.launch(trial_spec(), kTrialArguments),
                       "bwrap cannot create a sandbox here");
#else
  return {false, "Linux only"};
#endif
}

std::unique_ptr<Backend> make_bubblewrap() {
  return std::make_unique<BubblewrapBackend>(*checked_bwrap());  // kept: it was available
}

}  // namespace sandbox
