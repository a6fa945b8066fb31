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
#include <sys/prctl.h>
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
  bool in_group;
};

int clone_entry(void* arg) noexcept {
  auto* a = static_cast<const CloneArgs*>(arg);
  run_child(*a->plan, a->report_fd, a->in_group);
}
#endif

// clone3 with CLONE_INTO_CGROUP: the child is born in its v2 group. Joining afterwards
// moves a whole process, which takes the kernel's process-wide threadgroup lock, and its
// writers wait for an RCU grace period (milliseconds) unless another move came just
// before. The C library has no clone3 wrapper for a child on a stack of its own, so the
// call and the child's first step (calling the entry point, then exit) are written out
// for the two architectures we build for (clone3 is call 435 on both); elsewhere the
// child joins afterwards.
#if defined(__linux__) && (defined(__x86_64__) || defined(__aarch64__))
#define SANDBOX_HAVE_CLONE3_ENTRY 1
struct Clone3Args {  // struct clone_args, as of Linux 5.7
  uint64_t flags, pidfd, child_tid, parent_tid, exit_signal, stack, stack_size, tls, set_tid,
      set_tid_size, cgroup;
};
constexpr uint64_t kCloneIntoCgroup = 0x200000000ULL;

extern "C" long sandbox_clone3_entry(Clone3Args* args, size_t size, int (*fn)(void*),
                                     void* arg) noexcept;
#if defined(__x86_64__)
// syscall keeps every register but rax, rcx and r11, in the child too: fn and arg ride
// in r12 and r13 (saved for the parent). The child starts at the top of its stack, which
// is 16-byte aligned as a call expects.
asm(R"(
  .text
  .p2align 4
  .type sandbox_clone3_entry, @function
sandbox_clone3_entry:
  push %r12
  push %r13
  mov %rdx, %r12
  mov %rcx, %r13
  mov $435, %eax
  syscall
  test %rax, %rax
  jz 1f
  pop %r13
  pop %r12
  ret
1:
  xor %ebp, %ebp
  mov %r13, %rdi
  call *%r12
  mov %eax, %edi
  mov $60, %eax
  syscall
  hlt
  .size sandbox_clone3_entry, .-sandbox_clone3_entry
)");
#else
// svc keeps every register but x0, in the child too: fn and arg ride in x9 and x10.
asm(R"(
  .text
  .p2align 2
  .type sandbox_clone3_entry, %function
sandbox_clone3_entry:
  mov x9, x2
  mov x10, x3
  mov x8, #435
  svc #0
  cbz x0, 1f
  ret
1:
  mov x29, xzr
  mov x30, xzr
  mov x0, x10
  blr x9
  mov x8, #93
  svc #0
  .size sandbox_clone3_entry, .-sandbox_clone3_entry
)");
#endif
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

void run_child(const ChildPlan& plan, int report_fd, bool in_group) noexcept {
  static constexpr int32_t kStdioSteps[3] = {kStepStdin, kStepStdout, kStepStderr};
  // Into the sandbox's control groups before anything else; "0" is the writer itself.
  for (size_t i = 0; !in_group && i < plan.cgroup_fd_count; ++i) {
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
#if defined(__linux__)
  // A plain child (no init to watch the host) dies with the thread that made it, which
  // the parent keeps alive as long as the process; if the host died already, now.
  if (plan.parent_pid > 0 &&
      (::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0) != 0 || ::getppid() != plan.parent_pid)) {
    ::_exit(127);
  }
#endif
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
#ifdef SANDBOX_CHILD_USE_FORK
    int share = 0;
#else
    int share = CLONE_VM | CLONE_VFORK;
#endif
#ifdef SANDBOX_HAVE_CLONE3_ENTRY
    if (plan.clone_into_cgroup >= 0) {
      CloneArgs in_group{&plan, report_fd, true};
      Clone3Args c{};
      c.flags = static_cast<uint64_t>(static_cast<unsigned>(share | plan.namespace_flags)) |
                kCloneIntoCgroup;
      c.exit_signal = SIGCHLD;
      c.stack = reinterpret_cast<uint64_t>(plan.clone_stack_top) - kCloneStackBytes;
      c.stack_size = kCloneStackBytes;
      c.cgroup = static_cast<uint64_t>(plan.clone_into_cgroup);
      long pid = sandbox_clone3_entry(&c, sizeof c, &clone_entry, &in_group);
      if (pid > 0) return static_cast<pid_t>(pid);
      // No child: an older kernel, or a filter over us that refuses clone3. The child
      // below joins the group itself, and reports it if it cannot.
    }
#endif
    CloneArgs args{&plan, report_fd, false};
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
