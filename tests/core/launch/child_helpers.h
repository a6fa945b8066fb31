// Shared by the launch and backend tests: real children through launch_child (by the "none"
// backend), their collection, and the counts that show nothing was leaked.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>

#include "sandbox_core/backend/passthrough.h"
#include "sandbox_core/launch/launch.h"
#include "sandbox_core/launch/supervision.h"

namespace sandbox::test {

inline SandboxSpec shell_spec(std::string script, std::string dir = "/tmp") {
  SandboxSpec spec;
  spec.script = ShellScript{std::move(script)};
  spec.work_dir = std::move(dir);
  return spec;
}

// The "none" backend is launch_child with the default PATH and nothing more.
inline Result<SandboxChild, SandboxError> launch(const SandboxSpec& spec) {
  return PassthroughBackend().spawn(spec);
}

// Collects a spawned child, expecting spawn and collect to succeed and `exited` to be
// released; a failure shows as exit code -1000.
inline CollectedOutput collect(Result<SandboxChild, SandboxError> child) {
  EXPECT_TRUE(child) << child.error().message();
  if (!child) return {-1000, {}, {}};
  std::atomic<bool> exited{false};
  pid_t pid = child->pid();
  auto out = collect_child(std::move(child).value(), std::nullopt, pid, exited);
  EXPECT_TRUE(out) << out.error().text;
  EXPECT_TRUE(exited.load());
  return out ? std::move(out).value() : CollectedOutput{-1000, {}, {}};
}

inline CollectedOutput run(const SandboxSpec& spec) { return collect(launch(spec)); }

inline bool no_children_left() { return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

// Entries of a directory, dot files included (the sandbox-exec profiles are dot files).
inline size_t entries(const std::string& dir) {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

inline size_t open_fd_count() { return entries("/proc/self/fd"); }

struct TempDir {
  std::string path = "/tmp/sandbox-test-XXXXXX";
  TempDir() { EXPECT_NE(::mkdtemp(path.data()), nullptr); }
  ~TempDir() { std::filesystem::remove_all(path); }
};

}  // namespace sandbox::test
