// Spawn + collect latency of `true` while this process holds a small and then a large
// amount of touched memory. With vfork the cost must not grow with the parent's size:
// the printed ratio (large / small) should stay below 1.3.
//
//   bench_spawn [iterations=300] [large_mib=4096]
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sandbox_core/backend/passthrough.h"
#include "sandbox_core/launch/supervision.h"

namespace {

using Clock = std::chrono::steady_clock;

// Maps and touches `mib` MiB so every page is resident and mapped in the page tables.
struct Ballast {
  void* p = MAP_FAILED;
  size_t bytes = 0;
  explicit Ballast(size_t mib) : bytes(mib << 20) {
    p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
      std::perror("mmap");
      std::exit(1);
    }
    std::memset(p, 1, bytes);
  }
  ~Ballast() { ::munmap(p, bytes); }
};

// Median microseconds of one spawn + collect of `true`.
double measure(int iterations) {
  sandbox::PassthroughBackend backend;
  sandbox::SandboxSpec spec;
  spec.script = sandbox::ArgvScript{{"true"}};
  spec.work_dir = "/";
  std::vector<double> samples;
  for (int i = 0; i < iterations + 10; ++i) {
    auto start = Clock::now();
    auto child = backend.spawn(spec);
    if (!child) {
      std::fprintf(stderr, "spawn: %s\n", child.error().message().c_str());
      std::exit(1);
    }
    std::atomic<bool> exited{false};
    pid_t pid = child->pid();
    auto out = sandbox::collect_child(std::move(child).value(), std::nullopt, pid, exited);
    if (!out || out->exit_code != 0) std::exit(1);
    if (i >= 10) {  // warm-up excluded
      samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
  }
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int iterations = argc > 1 ? std::atoi(argv[1]) : 300;
  size_t large_mib = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 4096;
  double small_us, large_us;
  {
    Ballast ballast(64);
    small_us = measure(iterations);
  }
  {
    Ballast ballast(large_mib);
    large_us = measure(iterations);
  }
  std::printf("spawn+collect of true, median over %d runs\n", iterations);
  std::printf("  parent holding 64 MiB:   %9.1f us\n", small_us);
  std::printf("  parent holding %zu MiB: %9.1f us\n", large_mib, large_us);
  std::printf("  ratio: %.3f (target < 1.3)\n", large_us / small_us);
  return 0;
}
