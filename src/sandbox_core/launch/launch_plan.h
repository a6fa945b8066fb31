// The parent-side launch plan and the function that runs in the child between vfork and
// exec. Everything the child touches is prepared here, in the parent, before creation.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "sandbox_core/launch/launch.h"

namespace sandbox::launch_detail {

// Child steps, reported with errno through the report pipe.
enum class ChildStep : int32_t {
  Stdin = 1,
  Stdout,
  Stderr,
  Chdir,
  Signals,
  Setpgid,
  RlimitFsize,
  RlimitCpu,
  Exec,
};

// Fixed-size record the child writes on failure; a successful exec writes nothing.
struct ChildReport {
  int32_t step;
  int32_t error;
};

// Plain data the child reads; every pointer refers to storage owned by the parent, which
// stays alive (and untouched) until the child has exec'd or exited.
struct ChildPlan {
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  const char* const* exec_candidates = nullptr;  // in PATH order, execvp semantics
  size_t candidate_count = 0;
  const char* work_dir = nullptr;
  int stdio[3] = {-1, -1, -1};  // all >= 3, so no dup2 overwrites a later source
  ChildLimits limits;
  sigset_t restore_mask;  // the parent thread's mask before it blocked everything
};

// Runs in the child between vfork and exec. Only async-signal-safe calls on data the
// parent prepared: dup2, chdir, sigaction, sigprocmask, setpgid, setrlimit, execve,
// write, _exit. No allocation, locks, destructors, logging or exceptions.
[[noreturn, gnu::noinline]] void run_child(const ChildPlan& plan, int report_fd) noexcept;

// setpgid(0, 0) then the two rlimits; 0 on success, else errno with *step set.
int child_limits_hook(const ChildLimits& limits, ChildStep* step) noexcept;

// Creates the child (vfork, or fork in sanitizer builds) running run_child. Called with
// every signal blocked. Returns the pid, or -1 with errno set.
pid_t start_child(const ChildPlan& plan, int report_fd) noexcept;

}  // namespace sandbox::launch_detail
