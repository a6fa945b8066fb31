// Launch and supervision from many threads at once, meant to run under ThreadSanitizer
// as well as in the plain build: parallel launches and collects, kills racing natural
// exits, deadline kills, and disposal of running children on several threads.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sandbox_core/launch/launch.h"
#include "sandbox_core/launch/supervision.h"

namespace sandbox {
namespace {

using namespace std::chrono_literals;

SandboxSpec shell(std::string script) {
  SandboxSpec spec;
  spec.script = ShellScript{std::move(script)};
  spec.work_dir = "/tmp";
  return spec;
}

Result<SandboxChild, SandboxError> launch(const SandboxSpec& spec) {
  auto command = build_command(spec);
  std::vector<std::string> args(command.begin() + 1, command.end());
  return launch_child(command.front(), args, {{"PATH", std::string(DEFAULT_CHILD_PATH)}}, spec);
}

size_t open_fd_count() {
  size_t n = 0;
  DIR* d = ::opendir("/proc/self/fd");
  while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
  ::closedir(d);
  return n;
}

// Each worker runs its own children in one of four ways, chosen by the round:
// plain exit with output, a kill from a second thread racing the exit, a deadline kill,
// and a record dropped while its child still runs. Every outcome must be exact.
TEST(ConcurrentSupervision, ParallelLaunchCollectAndKillsKeepEveryOutcome) {
  constexpr int kWorkers = 4;
  constexpr int kRounds = 12;
  const size_t fds_before = open_fd_count();
  std::atomic<int> failures{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      for (int round = 0; round < kRounds; ++round) {
        const std::string tag = std::to_string(w) + "-" + std::to_string(round);
        const int mode = (w + round) % 4;
        if (mode == 3) {
          // Disposal kills and reaps the running group; nothing to collect.
          auto child = launch(shell("exec sleep 60"));
          if (!child) failures.fetch_add(1);
          continue;
        }
        auto child = launch(shell(mode == 0 ? "echo out-" + tag + "; echo err-" + tag + " >&2"
                                            : "echo start-" + tag + "; exec sleep 60"));
        if (!child) {
          failures.fetch_add(1);
          continue;
        }
        const pid_t pid = child->pid();
        std::atomic<bool> exited{false};
        std::thread killer;
        if (mode == 1) {
          killer = std::thread([&exited, pid, round] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + round * 7));
            if (!exited.load(std::memory_order_acquire)) kill_group(pid);
          });
        }
        Deadline deadline;
        if (mode == 2) deadline = MonoClock::now() + 150ms;
        auto out = collect_child(std::move(child).value(), deadline, pid, exited);
        if (killer.joinable()) killer.join();
        if (!out || !exited.load()) {
          failures.fetch_add(1);
          continue;
        }
        bool ok = mode == 0 ? out->exit_code == 0 && out->stdout_bytes == "out-" + tag + "\n" &&
                                  out->stderr_bytes == "err-" + tag + "\n"
                            : out->exit_code == 137 && out->stdout_bytes == "start-" + tag + "\n";
        if (!ok) {
          ADD_FAILURE() << "worker " << w << " round " << round << " mode " << mode << ": code "
                        << out->exit_code << " stdout " << out->stdout_bytes;
          failures.fetch_add(1);
        }
      }
    });
  }
  for (auto& t : workers) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD) << "a child was left";
  EXPECT_LE(open_fd_count(), fds_before + 2);
}

// Several threads hammer kill_group on a child while another collects it: kills before,
// during and after the reap are all harmless, and the collect reports the kill.
TEST(ConcurrentSupervision, KillsFromManyThreadsDuringCollect) {
  for (int round = 0; round < 5; ++round) {
    auto child = launch(shell("echo up; exec sleep 60"));
    ASSERT_TRUE(child);
    const pid_t pid = child->pid();
    std::atomic<bool> exited{false};
    std::vector<std::thread> killers;
    for (int k = 0; k < 4; ++k) {
      killers.emplace_back([&exited, pid, k] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30 + 10 * k));
        // The exited flag is checked first, as a kill after the reap could hit a reused pid.
        if (!exited.load(std::memory_order_acquire)) kill_group(pid);
      });
    }
    auto out = collect_child(std::move(child).value(), std::nullopt, pid, exited);
    for (auto& t : killers) t.join();
    ASSERT_TRUE(out) << out.error().text;
    EXPECT_EQ(out->exit_code, 137);
    EXPECT_EQ(out->stdout_bytes, "up\n");
  }
  EXPECT_TRUE(::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD);
}

}  // namespace
}  // namespace sandbox
