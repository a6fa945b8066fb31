// Backend kinds and names, the availability probe (kept once it succeeds), the sandbox-exec
// tool search and selection by name. Any thread; no lock is held around a probe.
#include "sandbox_core/backend/backend.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <vector>

#include "sandbox_core/backend/bubblewrap.h"
#include "sandbox_core/backend/passthrough.h"
#include "sandbox_core/backend/sandbox_exec.h"
#include "sandbox_core/backend/userns_lite.h"
#include "sandbox_core/base/path_list.h"
#include "sandbox_core/base/quoted.h"
#include "sandbox_core/base/thread.h"
#include "sandbox_core/isolation/landlock.h"
#include "sandbox_core/isolation/limits.h"

namespace sandbox {

namespace {

Availability always() { return {true, {}}; }

Availability sandbox_exec_probe() {
  if (find_sandbox_exec()) return {true, {}};
  return {false, "no sandbox-exec tool on PATH"};
}

std::unique_ptr<Backend> make_passthrough() { return std::make_unique<PassthroughBackend>(); }
// The tool is looked up again here, not taken from the probe.
std::unique_ptr<Backend> make_sandbox_exec() {
  return std::make_unique<SandboxExecBackend>(find_sandbox_exec());
}

constexpr BackendRow kRows[kBackendKindCount] = {
    {BackendKind::Bubblewrap,
     "bubblewrap",
     {"bubblewrap", "bwrap"},
     "Linux namespaces through bwrap: own root, pid, ipc, uts and network; seccomp",
     true,
     true,
     LaunchWait::UntilSandboxUp,
     // The set-up child's user namespace (or a root caller's leased ids) counts its processes.
     SandboxLimits::OwnUserNamespace,
     kLandlockScoping,
     true,
     &bubblewrap_probe,
     &make_bubblewrap},
    {BackendKind::UsernsLite,
     "userns",
     {"userns-lite", "userns"},
     "Linux namespaces set up natively: own root, pid, ipc, uts and network; seccomp",
     true,
     true,
     LaunchWait::UntilSandboxUp,
     SandboxLimits::OwnUserNamespace,
     kLandlockFileRules | kLandlockScoping,
     true,
     &userns_lite_probe,
     &make_userns_lite},
    {BackendKind::SandboxExec,
     "sandbox-exec",
     {"sandbox-exec", "sandboxexec"},
     "macOS sandbox-exec profile: read everywhere, write below the work directory",
     true,
     false,
     LaunchWait::UntilExec,
     SandboxLimits::None,
     kNoLandlock,
     false,
     &sandbox_exec_probe,
     &make_sandbox_exec},
    {BackendKind::Passthrough,
     "none",
     {"none", "none"},
     "no isolation at all: limits and a cleared environment only",
     false,
     true,
     LaunchWait::UntilExec,
     SandboxLimits::None,
     kNoLandlock,
     false,
     &always,
     &make_passthrough},
};

constexpr bool rows_in_kind_order() {
  for (size_t i = 0; i < kBackendKindCount; ++i)
    if (static_cast<size_t>(kRows[i].kind) != i) return false;
  return true;
}
static_assert(rows_in_kind_order(), "backend_row() indexes the table by kind");

std::string home_dir() {
  if (const char* home = std::getenv("HOME"); home != nullptr) return home;
  struct passwd pw;
  struct passwd* found = nullptr;
  char buf[4096];
  if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return {};
}

bool is_executable_file(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;  // follows symbolic links
  return S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::span<const BackendRow> backend_table() { return kRows; }

const BackendRow& backend_row(BackendKind kind) { return kRows[static_cast<size_t>(kind)]; }

std::string_view backend_kind_name(BackendKind kind) { return backend_row(kind).accepted[0]; }

std::vector<std::string_view> landlock_layers_of(const BackendRow& row) {
  const int abi = isolation::landlock_abi();
  std::vector<std::string_view> out;
  if ((row.landlock & kLandlockFileRules) != 0 && abi >= 1) out.emplace_back("Landlock");
  if ((row.landlock & kLandlockScoping) != 0 && abi >= 6) out.emplace_back("Landlock scoping");
  return out;
}

std::vector<std::string> enforced_limits_of(const BackendRow& row) {
  if (row.limits == SandboxLimits::None) return {};
  return isolation::enforced_limits(row.limits == SandboxLimits::OwnUserNamespace);
}

std::string backend_summary(const BackendRow& row) {
  std::string out(row.summary);
  for (std::string_view layer : landlock_layers_of(row)) {
    out += "; ";
    out += layer;
  }
  return out;
}

const BackendRow* find_backend_row(std::string_view name) {
  for (const auto& r : kRows) {
    if (r.accepted[0] == name || r.accepted[1] == name) return &r;
  }
  return nullptr;
}

Availability availability_of(BackendKind kind) {
  // Write-once cells, never freed, set only by a probe that found the kind available. A
  // once-guard would make every concurrent first caller wait on the trial sandbox under a
  // process-wide lock; a duplicate trial costs less.
  static std::atomic<const Availability*> cells[kBackendKindCount];
  auto& cell = cells[static_cast<size_t>(kind)];
  if (const Availability* known = cell.load(std::memory_order_acquire)) return *known;
  Availability probed = backend_row(kind).probe();
  if (!probed.available) return probed;
  auto kept = std::make_unique<Availability>(probed);
  const Availability* expected = nullptr;
  if (cell.compare_exchange_strong(expected, kept.get(), std::memory_order_acq_rel)) {
    (void)kept.release();
  }
  return probed;
}

BackendAvailability availability() {
  BackendAvailability out;
  for (const BackendRow& row : kRows) out.at(row.kind) = availability_of(row.kind);
  return out;
}

BackendAvailability probe_all_backends() {
  // A kind that waits for its sandbox to come up probes with a trial sandbox: each of
  // those on a thread of its own; the quick probes here. Each thread writes its own cell.
  BackendAvailability out;
  std::vector<ThreadHandle> trials;
  for (const BackendRow& row : kRows) {
    const BackendKind kind = row.kind;
    Availability* cell = &out.at(kind);
    if (row.wait == LaunchWait::UntilSandboxUp) {
      if (auto t = start_thread("backend-probe", [kind, cell] { *cell = availability_of(kind); })) {
        trials.push_back(std::move(*t));
        continue;
      }
    }
    *cell = availability_of(kind);
  }
  for (ThreadHandle& t : trials) (void)t.join();
  return out;
}

std::optional<std::string> find_on_path(std::string_view name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return std::nullopt;
  std::optional<std::string> found;
  for_each_path_entry(path, [&](std::string_view dir) {
    std::string entry(dir);
    if (entry == "~" || entry.starts_with("~/")) entry = home_dir() + entry.substr(1);
    std::string candidate = path_join(entry, name);
    if (!is_executable_file(candidate)) return false;
    found = std::move(candidate);
    return true;
  });
  return found;
}

std::optional<std::string> find_sandbox_exec() { return find_on_path("sandbox-exec"); }

std::string BackendRefusal::message() const {
  if (why == Why::UnknownName) {
    // The listed names, in the table's order: "a", "b", or "c".
    std::string expected;
    for (size_t i = 0; i < kBackendKindCount; ++i) {
      if (i > 0) expected += i + 1 == kBackendKindCount ? ", or " : ", ";
      expected += quoted_form(kRows[i].listed_name);
    }
    return "unknown sandbox backend " + quoted_form(name) + "; expected one of " + expected;
  }
  return "sandbox backend " + quoted_form(backend_kind_name(kind)) +
         " is not available in this environment, and we refuse to downgrade to weaker "
         "isolation. bubblewrap needs CAP_SYS_ADMIN + an unconfined AppArmor profile on the "
         "pod (kestrix.PodTemplate.allow_nested_sandboxing()); userns needs unprivileged user "
         "namespaces. Pick a backend that this pod supports explicitly (e.g. "
         "backend=\"userns\"), or grant the missing capability.";
}

Result<std::unique_ptr<Backend>, BackendRefusal> select_backend(std::string_view name) {
  const BackendRow* row = find_backend_row(name);
  if (row == nullptr)
    return fail(BackendRefusal{BackendRefusal::Why::UnknownName, std::string(name), {}, {}});
  if (Availability a = availability_of(row->kind); !a.available) {
    return fail(BackendRefusal{BackendRefusal::Why::Unavailable, std::string(name), row->kind,
                               std::move(a.reason)});
  }
  return row->make();
}

}  // namespace sandbox
