// Backend kinds and names, the once-per-process availability probe, the sandbox-exec
// tool search and selection by name. Any thread; the probe runs once.
#include "sandbox_core/backend/backend.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "sandbox_core/backend/bubblewrap.h"
#include "sandbox_core/backend/passthrough.h"
#include "sandbox_core/backend/sandbox_exec.h"
#include "sandbox_core/backend/userns_lite.h"
#include "sandbox_core/base/quoted.h"

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

constexpr BackendRow kRows[] = {
    {BackendKind::Bubblewrap, "bubblewrap", {"bubblewrap", "bwrap"},
     "Linux namespaces through bwrap: own root, pid, ipc, uts and network; seccomp", true, true,
     &bubblewrap_probe, &make_bubblewrap},
    {BackendKind::UsernsLite, "userns", {"userns-lite", "userns"},
     "Linux namespaces set up natively: own root, pid, ipc, uts and network; Landlock, "
     "seccomp",
     true, true, &userns_lite_probe, &make_userns_lite},
    {BackendKind::SandboxExec, "sandbox-exec", {"sandbox-exec", "sandboxexec"},
     "macOS sandbox-exec profile: read everywhere, write below the work directory", true, false,
     &sandbox_exec_probe, &make_sandbox_exec},
    {BackendKind::Passthrough, "none", {"none", "none"},
     "no isolation at all: limits and a cleared environment only", false, true, &always,
     &make_passthrough},
};

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

std::string_view backend_kind_name(BackendKind kind) {
  switch (kind) {
    case BackendKind::Bubblewrap:
      return "bubblewrap";
    case BackendKind::UsernsLite:
      return "userns-lite";
    case BackendKind::SandboxExec:
      return "sandbox-exec";
    case BackendKind::Passthrough:
      return "none";
  }
  return "none";
}

const BackendAvailability& availability() {
  // A function-local static: one thread runs the probes, the others block until done.
  static const BackendAvailability computed = [] {
    BackendAvailability a;
    for (const auto& row : kRows) a.rows_[BackendAvailability::index(row.kind)] = row.probe();
    return a;
  }();
  return computed;
}

std::optional<std::string> find_on_path(std::string_view name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return std::nullopt;
  std::string_view rest(path);
  while (true) {
    size_t colon = rest.find(':');
    std::string entry(rest.substr(0, colon));
    if (entry == "~" || entry.starts_with("~/")) entry = home_dir() + entry.substr(1);
    std::string candidate = entry;
    if (!candidate.empty() && candidate.back() != '/') candidate += '/';
    candidate += name;
    if (is_executable_file(candidate)) return candidate;
    if (colon == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(colon + 1);
  }
}

std::optional<std::string> find_sandbox_exec() { return find_on_path("sandbox-exec"); }

Result<std::unique_ptr<Backend>, std::string> select_backend(std::string_view name) {
  const BackendRow* row = nullptr;
  for (const auto& r : kRows) {
    if (r.accepted[0] == name || r.accepted[1] == name) row = &r;
  }
  if (row == nullptr) {
    return fail("unknown sandbox backend " + quoted_form(name) +
                "; expected one of \"bubblewrap\", \"userns\", \"sandbox-exec\", or \"none\"");
  }
  if (!availability().available(row->kind)) {
    return fail(
        "sandbox backend " + quoted_form(backend_kind_name(row->kind)) +
        " is not available in this environment, and we refuse to downgrade to weaker "
        "isolation. bubblewrap needs CAP_SYS_ADMIN + an unconfined AppArmor profile on the "
        "pod (kestrix.PodTemplate.allow_nested_sandboxing()); userns needs unprivileged user "
        "namespaces. Pick a backend that this pod supports explicitly (e.g. "
        "backend=\"userns\"), or grant the missing capability.");
  }
  return row->make();
}

}  // namespace sandbox
