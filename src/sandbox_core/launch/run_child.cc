// The only code that runs in the child between its creation and exec. It shares the
// parent's memory (vfork), so it must not allocate, lock, unwind or touch anything but
// the plan. Built with -fno-exceptions; a test checks its undefined symbols against an
// allow-list of async-signal-safe functions.
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "sandbox_core/launch/launch_plan.h"

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

[[noreturn]] void report_and_exit(int report_fd, ChildStep step, int error) noexcept {
  ChildReport rec{static_cast<int32_t>(step), static_cast<int32_t>(error)};
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
// child, and SIGPIPE goes back to its default whatever the host chose. Ignored signals
// other than SIGPIPE stay ignored, as exec would keep them.
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
    if (handled || (sig == SIGPIPE && old.sa_handler != SIG_DFL)) {
      if (::sigaction(sig, &dfl, nullptr) != 0) return false;
    }
  }
  return true;
}

bool is_search_miss(int err) noexcept {
  return err == ENOENT || err == ENOTDIR || err == EACCES || err == ESTALE || err == ENODEV ||
         err == ETIMEDOUT;
}

}  // namespace

int child_limits_hook(const ChildLimits& limits, ChildStep* step) noexcept {
  if (::setpgid(0, 0) != 0) {
    *step = ChildStep::Setpgid;
    return errno;
  }
  if (limits.fsize_bytes != 0) {
    struct rlimit rl;
    rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(limits.fsize_bytes);
    if (::setrlimit(RLIMIT_FSIZE, &rl) != 0) {
      *step = ChildStep::RlimitFsize;
      return errno;
    }
  }
  if (limits.cpu_seconds != 0) {
    struct rlimit rl;
    rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(limits.cpu_seconds);
    if (::setrlimit(RLIMIT_CPU, &rl) != 0) {
      *step = ChildStep::RlimitCpu;
      return errno;
    }
  }
  return 0;
}

void run_child(const ChildPlan& plan, int report_fd) noexcept {
  static constexpr ChildStep kStdioSteps[3] = {ChildStep::Stdin, ChildStep::Stdout,
                                               ChildStep::Stderr};
  // The parent moved every source above 2, so no dup2 here clobbers a later source, and
  // dup2 onto a different number clears close-on-exec on the copy.
  for (int target = 0; target < 3; ++target) {
    if (::dup2(plan.stdio[target], target) < 0) report_and_exit(report_fd, kStdioSteps[target], errno);
  }
  if (::chdir(plan.work_dir) != 0) report_and_exit(report_fd, ChildStep::Chdir, errno);
  if (!reset_signals()) report_and_exit(report_fd, ChildStep::Signals, errno);
  ChildStep step = ChildStep::Setpgid;
  if (int err = child_limits_hook(plan.limits, &step); err != 0) {
    report_and_exit(report_fd, step, err);
  }
  if (::sigprocmask(SIG_SETMASK, &plan.restore_mask, nullptr) != 0) {
    report_and_exit(report_fd, ChildStep::Signals, errno);
  }
  // execvp semantics over the candidates the parent derived from the child's PATH: a
  // miss moves on to the next directory; EACCES anywhere wins over a later ENOENT.
  int err = ENOENT;
  bool saw_eacces = false;
  for (size_t i = 0; i < plan.candidate_count; ++i) {
    ::execve(plan.exec_candidates[i], plan.argv, plan.envp);
    err = errno;
    if (err == EACCES) saw_eacces = true;
    if (!is_search_miss(err)) report_and_exit(report_fd, ChildStep::Exec, err);
  }
  report_and_exit(report_fd, ChildStep::Exec, saw_eacces ? EACCES : err);
}

pid_t start_child(const ChildPlan& plan, int report_fd) noexcept {
#ifdef SANDBOX_CHILD_USE_FORK
  pid_t pid = ::fork();
#else
  pid_t pid = ::vfork();
#endif
  if (pid == 0) run_child(plan, report_fd);
  return pid;
}

}  // namespace sandbox::launch_detail
