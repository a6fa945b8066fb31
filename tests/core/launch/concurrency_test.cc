// Launch and supervision from many threads at once, meant to run under ThreadSanitizer
// as well as in the plain build: parallel launches and collects, kills racing natural
// exits and the reap, deadline kills, and disposal of running children on several threads.
#include <thread>

#include "launch/child_helpers.h"

namespace sandbox {
namespace {

using namespace std::chrono_literals;
using namespace sandbox::test;

// Each worker runs its own children in one of four ways, chosen by the round: plain exit
// with output, kills from two threads racing the collect (before, during and after the
// reap), a deadline kill, and a record dropped while its child still runs.
TEST(ConcurrentSupervision, ParallelLaunchCollectAndKillsKeepEveryOutcome) {
  constexpr int kWorkers = 4, kRounds = 12;
  const size_t fds_before = open_fd_count();
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([w] {
      for (int round = 0; round < kRounds; ++round) {
        const std::string tag = std::to_string(w) + "-" + std::to_string(round);
        const int mode = (w + round) % 4;
        SCOPED_TRACE("worker " + tag + " mode " + std::to_string(mode));
        auto child = launch(shell_spec(mode == 0
                                           ? "echo out-" + tag + "; echo err-" + tag + " >&2"
                                           : "echo start-" + tag + "; exec sleep 60"));
        EXPECT_TRUE(child);
        if (!child || mode == 3) continue;  // disposal kills and reaps the running group
        const pid_t pid = child->pid();
        std::atomic<bool> exited{false};
        std::vector<std::thread> killers;
        for (int k = 0; mode == 1 && k < 2; ++k) {
          killers.emplace_back([&exited, pid, ms = 20 + round * 7 + 30 * k] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            // Checked first: a kill after the reap could hit a reused pid.
            if (!exited.load(std::memory_order_acquire)) kill_group(pid);
          });
        }
        Deadline deadline;
        if (mode == 2) deadline = MonoClock::now() + 150ms;
        auto out = collect_child(std::move(child).value(), deadline, pid, exited);
        for (auto& t : killers) t.join();
        ASSERT_TRUE(out) << out.error().text;
        EXPECT_TRUE(exited.load());
        EXPECT_EQ(out->exit_code, mode == 0 ? 0 : 137);
        EXPECT_EQ(out->stdout_bytes, (mode == 0 ? "out-" : "start-") + tag + "\n");
        EXPECT_EQ(out->stderr_bytes, mode == 0 ? "err-" + tag + "\n" : "");
      }
    });
  }
  for (auto& t : workers) t.join();
  EXPECT_TRUE(no_children_left()) << "a child was left";
  EXPECT_LE(open_fd_count(), fds_before + 2);
}

}  // namespace
}  // namespace sandbox
