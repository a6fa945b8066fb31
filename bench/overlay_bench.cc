// What a copy-on-write work directory costs: the spawn of `true` with and without the
// overlay, interleaved, on each Linux backend available (target: at most 0.5 ms more);
// then listing and applying 10,000 changed files of an upper layer written directly.
//
//   bench_overlay [spawns=40] [files=10000]
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sandbox_core/backend/backend.h"
#include "sandbox_core/isolation/overlay_changes.h"
#include "sandbox_core/launch/supervision.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// One spawn + collect of `true`, in ms.
double spawn_once(sandbox::Backend& backend, const std::string& work, bool overlay) {
  sandbox::SandboxSpec spec;
  spec.script = sandbox::ArgvScript{{"true"}};
  spec.work_dir = work;
  spec.host_work_dir = work;
  spec.overlay = overlay;
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
  return ms_since(start);
}

void spawns(int count, const std::string& work) {
  for (auto kind : {sandbox::BackendKind::Bubblewrap, sandbox::BackendKind::UsernsLite}) {
    const auto& row = sandbox::backend_row(kind);
    if (!sandbox::availability_of(kind).available) {
      std::printf("  %-12s unavailable\n", std::string(row.listed_name).c_str());
      continue;
    }
    auto backend = row.make();
    std::vector<double> plain, cow;
    for (int i = 0; i < count + 3; ++i) {
      double a = spawn_once(*backend, work, false), b = spawn_once(*backend, work, true);
      if (i >= 3) plain.push_back(a), cow.push_back(b);
    }
    double p = median(plain), c = median(cow);
    std::printf("  %-12s plain %7.2f ms  overlay %7.2f ms  added %+6.2f ms (target <= 0.5)\n",
                std::string(row.listed_name).c_str(), p, c, c - p);
  }
}

void write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// `files` changed files in 100 directories: half rewritten, half new.
void changes(int files, const std::string& base) {
  const std::string lower = base + "/lower", upper = base + "/scratch/upper";
  for (int d = 0; d < 100; ++d) {
    fs::create_directories(lower + "/d" + std::to_string(d));
    fs::create_directories(upper + "/d" + std::to_string(d));
  }
  for (int i = 0; i < files; ++i) {
    std::string name = "/d" + std::to_string(i % 100) + "/f" + std::to_string(i);
    if (i % 2 == 0) write(lower + name, "old contents of " + name + "\n");
    write(upper + name, "new contents of " + name + "\n");
  }
  sandbox::isolation::OverlayChanges set(
      sandbox::UniqueFd(::open((base + "/scratch").c_str(), O_RDONLY | O_DIRECTORY)), lower,
      sandbox::isolation::OverlayChanges::now());
  auto start = Clock::now();
  auto listed = set.list();
  double list_ms = ms_since(start);
  start = Clock::now();
  auto report = set.apply();
  double apply_ms = ms_since(start);
  if (!listed || !report || report->applied != listed->size()) std::exit(1);
  std::printf("  %zu changes: list %.1f ms (%.2f us each), apply %.1f ms (%.2f us each)\n",
              listed->size(), list_ms, list_ms * 1000 / listed->size(), apply_ms,
              apply_ms * 1000 / listed->size());
  // The reference: the same files written as a careful tool would, temp file + rename.
  const std::string ref = base + "/reference";
  for (int d = 0; d < 100; ++d) fs::create_directories(ref + "/d" + std::to_string(d));
  start = Clock::now();
  for (int i = 0; i < files; ++i) {
    std::string name = ref + "/d" + std::to_string(i % 100) + "/f" + std::to_string(i);
    write(name + ".tmp", "new contents of " + name + "\n");
    fs::rename(name + ".tmp", name);
  }
  double ref_ms = ms_since(start);
  std::printf("  reference, %d files written to a temporary and renamed: %.1f ms "
              "(apply / reference: %.2f)\n", files, ref_ms, apply_ms / ref_ms);
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 40;
  int files = argc > 2 ? std::atoi(argv[2]) : 10000;
  char tmpl[] = "/tmp/bench-overlay-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return 1;
  const std::string base = tmpl;
  fs::create_directories(base + "/work");
  std::printf("spawn+collect of true, median over %d interleaved pairs\n", count);
  spawns(count, base + "/work");
  std::printf("an upper layer of %d changed files (tmp: the host's /tmp)\n", files);
  changes(files, base);
  fs::remove_all(base);
  return 0;
}
