// The added cost of a sandbox's control groups per spawn: spawn + collect of `true`
// through launch_child, with the groups every limit needs (created, joined by the child,
// removed with the record) against the same launch without them, interleaved.
//
//   bench_cgroup [iterations=200] [pause_ms=0]
// Prints "cgroup_added_us=<median difference> with_us=<median> without_us=<median>", or
// "cgroup_skipped=<reason>" where this host gives no cgroup (run it as root on v1).
// With a pause, each launch comes that long after the one before: a kernel path that is
// cheap only right after a similar call (a lock held in its fast mode) shows there.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "sandbox_core/isolation/cgroup.h"
#include "sandbox_core/launch/launch.h"
#include "sandbox_core/launch/supervision.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace sandbox;

double once(const SandboxSpec& spec, bool with_groups) {
  const auto& host = isolation::cgroup_host();
  auto start = Clock::now();
  LaunchOptions options;
  options.program = "/bin/true";
  std::unique_ptr<isolation::SandboxCgroup> group;
  if (with_groups) {
    auto made = isolation::SandboxCgroup::create(host, {256u << 20, 1024, 500},
                                                 std::make_shared<isolation::LimitVerdict>());
    if (!made) {
      std::fprintf(stderr, "cgroup: %s\n", made.error().text().c_str());
      std::exit(1);
    }
    group = std::move(*made);
    options.cgroup_join_fds = group->join_fds();
  }
  auto child = launch_child(options, spec);
  if (!child) {
    std::fprintf(stderr, "spawn: %s\n", child.error().message().c_str());
    std::exit(1);
  }
  if (group) child->resources().push_back(std::move(group));
  std::atomic<bool> exited{false};
  pid_t pid = child->pid();
  auto out = collect_child(std::move(child).value(), std::nullopt, pid, exited);
  if (!out || out->exit_code != 0) std::exit(1);
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

double median(std::vector<double> xs) {
  std::sort(xs.begin(), xs.end());
  return xs[xs.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int iterations = argc > 1 ? std::atoi(argv[1]) : 200;
  int pause_ms = argc > 2 ? std::atoi(argv[2]) : 0;
  auto pause = [&] {
    if (pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
  };
  const auto& host = isolation::cgroup_host();
  if (host.pids_dir.empty() || host.memory_dir.empty() || host.cpu_dir.empty()) {
    std::printf("cgroup_skipped=%s\n",
                host.reason.empty() ? "a controller is missing" : host.reason.c_str());
    return 0;
  }
  SandboxSpec spec;
  spec.script = ArgvScript{{"true"}};
  spec.work_dir = "/";
  spec.capture_stdout = spec.capture_stderr = false;
  std::vector<double> with, without, added;
  for (int i = 0; i < iterations + 10; ++i) {
    pause();
    double a = once(spec, true);
    pause();
    double b = once(spec, false);
    if (i < 10) continue;  // warm-up
    with.push_back(a);
    without.push_back(b);
    added.push_back(a - b);
  }
  std::printf("cgroup_added_us=%.1f with_us=%.1f without_us=%.1f\n", median(added), median(with),
              median(without));
  return 0;
}
