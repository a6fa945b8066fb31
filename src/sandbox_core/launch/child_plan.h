// ChildPlan, what the child reads between its creation and exec, and the function that
// runs there. Everything the child touches is prepared in the parent.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <cstdint>

#include "sandbox_core/launch/child_report.h"
#include "sandbox_core/launch/launch.h"

namespace sandbox::launch_detail {

inline constexpr size_t kMaxPassedFds = 8;
// The stack a namespace child runs on until it execs.
inline constexpr size_t kCloneStackBytes = 256 * 1024;

// Plain data the child reads; every pointer refers to storage owned by the parent, which
// stays alive (and untouched) until the child has exec'd or exited.
struct ChildPlan {
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  const char* const* exec_candidates = nullptr;  // in PATH order, execvp semantics
  size_t candidate_count = 0;
  int exec_fd = -1;  // executed instead of the candidates when >= 0
  const char* work_dir = nullptr;
  int stdio[3] = {-1, -1, -1};  // all above every passed target, so no dup2 clobbers one
  PassedFd passed[kMaxPassedFds] = {};
  size_t passed_count = 0;
  int lowest_unpassed = 3;  // first descriptor number no passed target sits at or above
  int fd_scan_limit = 0;    // bound of the fallback loop where close_range is missing
  ChildLimits limits;
  const int* cgroup_fds = nullptr;  // joined first: "0" written into each
  size_t cgroup_fd_count = 0;
  int clone_into_cgroup = -1;  // a v2 group to create a namespace child in, when >= 0
  const ChildSetup* setup = nullptr;
  int namespace_flags = 0;
  void* clone_stack_top = nullptr;  // namespace children run on a stack of their own
  sigset_t restore_mask;            // the spawning thread's mask before it blocked everything
  // Non-zero: the child takes a parent-death SIGKILL and leaves at once when its parent is
  // no longer this process (a plain child, which has no init to watch the host).
  pid_t parent_pid = 0;
};

// Runs in the child between its creation and exec. Only async-signal-safe calls on data
// the parent prepared: dup2, fcntl, close_range, chdir, sigaction, sigprocmask, setsid,
// setrlimit, execve, write, _exit, and the backend's prepared set-up. No allocation,
// locks, destructors, logging or exceptions.
// `in_group`: the child was created in its control group, which it then does not join.
[[noreturn, gnu::noinline]] void run_child(const ChildPlan& plan, int report_fd,
                                           bool in_group = false) noexcept;

// setsid() then the two rlimits; 0 on success, else errno with *step set.
int enter_session_and_limits(const ChildLimits& limits, int32_t* step) noexcept;

// Creates the child (vfork or, for namespaces, clone; fork in sanitizer builds) running
// run_child; a namespace child with a v2 group is created in it where the system can.
// Called with every signal blocked. Returns the pid, or -1 with errno set.
pid_t start_child(const ChildPlan& plan, int report_fd) noexcept;

}  // namespace sandbox::launch_detail
