// The only code that runs in the child between its creation and exec, apart from the
// backend's prepared set-up. It shares the parent's memory (vfork, or clone with
// CLONE_VM), so it must not allocate, lock, unwind or touch anything but the plan. Built
// with -fno-exceptions; a test checks its undefined symbols against an allow-list of
// async-signal-safe functions.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#if defined(__linux__)
#include <sched.h>
#endif

#include "sandbox_core/launch/child_plan.h"

// AddressSanitizer (and the thread sanitizer) keep per-thread shadow state that a child
// sharing the parent's memory corrupts, and their interceptors are not vfork-safe, so
// sanitizer builds create the child with a plain fork. Release builds use vfork: the
// parent's memory size then does not affect the cost of a spawn.
// macOS deprecates vfork, so the child is created with fork there, under the same rules.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(__APPLE__)
#define SANDBOX_CHILD_USE_FORK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define SANDBOX_CHILD_USE_FORK 1
#endif
#endif

namespace sandbox::launch_detail {

namespace {

[[noreturn]] void report_and_exit(int report_fd, int32_t step, int error,
                                  int32_t detail = -1) noexcept {
  ChildReport rec{step, static_cast<int32_t>(error), detail};
  const char* p = reinterpret_cast<const char*>(&rec);
  size_t left = sizeof rec;
  while (left > 0) {
    ssize_t n = ::write(report_fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<size_t>(n);
  }
  ::_exit(127);
}

// Handlers installed by the host (the interpreter's among them) must not run in the
// child. SIGPIPE and SIGXFSZ go back to their defaults whatever the host chose: an
// interpreter ignores both, and an ignored SIGXFSZ turns the file-size limit into a
// quiet EFBIG. Other ignored signals stay ignored, as exec would keep them.
bool reset_signals() noexcept {
  struct sigaction dfl;
  dfl.sa_handler = SIG_DFL;
  dfl.sa_flags = 0;
  sigemptyset(&dfl.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    struct sigaction old;
    if (::sigaction(sig, nullptr, &old) != 0) continue;  // reserved by libc
    bool handled = old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN;
    bool forced = (sig == SIGPIPE || sig == SIGXFSZ) && old.sa_handler != SIG_DFL;
    if (handled || forced) {
      if (::sigaction(sig, &dfl, nullptr) != 0) return false;
    }
  }
  return true;
}

// Every descriptor above 2 is marked close-on-exec, so the exec closes whatever the host
// left inheritable; the report pipe stays usable until then. The passed descriptors are
// then put at their numbers, where dup2 clears the flag again.
int seal_descriptors(const ChildPlan& plan) noexcept {
  bool sealed = false;
#if defined(__linux__) && defined(CLOSE_RANGE_CLOEXEC) && !defined(SANDBOX_PORTABLE_FALLBACKS)
  sealed = ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0;
#endif
  if (!sealed) {
    // Kernels before 5.11 and other systems: a loop bounded by the descriptor limit.
    for (int fd = 3; fd < plan.fd_scan_limit; ++fd) {
      int flags = ::fcntl(fd, F_GETFD);
      if (flags >= 0 && (flags & FD_CLOEXEC) == 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
  }
  for (size_t i = 0; i < plan.passed_count; ++i) {
    if (::dup2(plan.passed[i].source, plan.passed[i].target) < 0) return errno;
  }
  return 0;
}

bool is_search_miss(int err) noexcept {
  return err == ENOENT || err == ENOTDIR || err == EACCES || err == ESTALE || err == ENODEV ||
         err == ETIMEDOUT;
}

#if defined(__linux__)
struct CloneArgs {
  const ChildPlan* plan;
  int report_fd;
};

int clone_entry(void* arg) noexcept {
  auto* a = static_cast<const CloneArgs*>(arg);
  run_child(*a->plan, a->report_fd);
}
#endif

}  // namespace

int enter_session_and_limits(const ChildLimits& limits, int32_t* step) noexcept {
  // A session of its own: no controlling terminal to inject input into (TIOCSTI), and
  // still a group whose id is the pid, which the group kill relies on.
  if (::setsid() < 0) {
    *step = kStepSetsid;
    return errno;
  }
  if (limits.fsize_bytes != 0) {
    struct rlimit rl;
    rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(limits.fsize_bytes);
    if (::setrlimit(RLIMIT_FSIZE, &rl) != 0) {
      *step = kStepRlimitFsize;
      return errno;
    }
  }
  if (limits.cpu_seconds != 0) {
    struct rlimit rl;
    rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(limits.cpu_seconds);
    if (::setrlimit(RLIMIT_CPU, &rl) != 0) {
      *step = kStepRlimitCpu;
      return errno;
    }
  }
  if (limits.open_files != 0) {
    struct rlimit rl;
    rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(limits.open_files);
    if (::setrlimit(RLIMIT_NOFILE, &rl) != 0) {
      *step = kStepRlimitNofile;
      return errno;
    }
  }
#if defined(RLIMIT_NPROC)
  if (limits.processes != 0) {
    // Counted per user namespace: set in a child that has one of its own, it bounds the
    // sandbox's processes and none of the host's.
    struct rlimit rl;
    rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(limits.processes);
    if (::setrlimit(RLIMIT_NPROC, &rl) != 0) {
      *step = kStepRlimitNproc;
      return errno;
    }
  }
#endif
  return 0;
}

void run_child(const ChildPlan& plan, int report_fd) noexcept {
  static constexpr int32_t kStdioSteps[3] = {kStepStdin, kStepStdout, kStepStderr};
  // Into the sandbox's control groups before anything else; "0" is the writer itself.
  for (size_t i = 0; i < plan.cgroup_fd_count; ++i) {
    if (::write(plan.cgroup_fds[i], "0", 1) != 1) report_and_exit(report_fd, kStepCgroup, errno);
  }
  // The parent moved every source above every target, so no dup2 here clobbers a later
  // source, and dup2 onto a different number clears close-on-exec on the copy.
  for (int target = 0; target < 3; ++target) {
    if (::dup2(plan.stdio[target], target) < 0)
      report_and_exit(report_fd, kStdioSteps[target], errno);
  }
  if (int err = seal_descriptors(plan); err != 0) report_and_exit(report_fd, kStepDescriptors, err);
  if (::chdir(plan.work_dir) != 0) report_and_exit(report_fd, kStepChdir, errno);
  if (!reset_signals()) report_and_exit(report_fd, kStepSignals, errno);
  int32_t step = kStepSetsid;
  if (int err = enter_session_and_limits(plan.limits, &step); err != 0) {
    report_and_exit(report_fd, step, err);
  }
  if (plan.setup != nullptr) {
    ChildReport rec{0, 0, -1};
    if (int err = plan.setup->run(rec); err != 0)
      report_and_exit(report_fd, rec.step, err, rec.detail);
  }
  if (::sigprocmask(SIG_SETMASK, &plan.restore_mask, nullptr) != 0) {
    report_and_exit(report_fd, kStepSignals, errno);
  }
  if (plan.exec_fd >= 0) {
#if defined(__linux__)
    ::fexecve(plan.exec_fd, plan.argv, plan.envp);
    report_and_exit(report_fd, kStepExecInit, errno);
#else
    report_and_exit(report_fd, kStepExecInit, ENOSYS);
#endif
  }
  // execvp semantics over the candidates the parent derived from the child's PATH: a
  // miss moves on to the next directory; EACCES anywhere wins over a later ENOENT.
  int err = ENOENT;
  bool saw_eacces = false;
  for (size_t i = 0; i < plan.candidate_count; ++i) {
    ::execve(plan.exec_candidates[i], plan.argv, plan.envp);
    err = errno;
    if (err == EACCES) saw_eacces = true;
    if (!is_search_miss(err)) report_and_exit(report_fd, kStepExec, err);
  }
  report_and_exit(report_fd, kStepExec, saw_eacces ? EACCES : err);
}

pid_t start_child(const ChildPlan& plan, int report_fd) noexcept {
#if defined(__linux__)
  if (plan.namespace_flags != 0) {
    // The child is the first process of each new namespace (pid 1 of a new pid
    // namespace), which unshare() in a vfork child could not give without a second fork.
    // clone() from a threaded parent may create a user namespace; unshare() may not.
    CloneArgs args{&plan, report_fd};
#ifdef SANDBOX_CHILD_USE_FORK
    int share = 0;
#else
    int share = CLONE_VM | CLONE_VFORK;
#endif
    return ::clone(&clone_entry, plan.clone_stack_top, share | plan.namespace_flags | SIGCHLD,
                   &args);
  }
#endif
#ifdef SANDBOX_CHILD_USE_FORK
  pid_t pid = ::fork();
#else
  pid_t pid = ::vfork();
#endif
  if (pid == 0) run_child(plan, report_fd);
  return pid;
}

}  // namespace sandbox::launch_detail
