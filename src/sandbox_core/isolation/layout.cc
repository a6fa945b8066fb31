// The sandbox's file-system layout. Pure apart from lstat/readlink/getcwd on the host;
// any thread.
#include "sandbox_core/isolation/layout.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "sandbox_core/isolation/limits.h"
#include "sandbox_core/spec/fs_allowlist.h"

namespace sandbox::isolation {
namespace {

size_t depth(const std::string& path) { return std::count(path.begin(), path.end(), '/'); }

// Never the host's: a fresh proc, a /dev without the host's disks, a private /tmp.
bool is_fresh_mount(std::string_view p) { return p == "/proc" || p == "/dev" || p == "/tmp"; }

// Under a sandbox's fresh proc, by name: the host-wide knobs, read-only whoever the child
// is, and what reveals the host's memory, keys or timers, masked. A fixed list: matching
// names under /proc would walk every process's entry.
constexpr const char* kProcReadOnly[] = {"sys", "sysrq-trigger", "irq", "bus"};
constexpr const char* kProcMasked[] = {"kcore",      "keys",       "timer_list",
                                       "kpagecount", "kpageflags", "kpagecgroup"};

// The hardening of the layout's fresh proc and of the host's sysfs, when bound.
void add_hardening(std::vector<LayoutEntry>& out) {
  using Kind = LayoutEntry::Kind;
  auto has = [&](std::string_view path, auto pred) {
    return std::any_of(out.begin(), out.end(),
                       [&](const LayoutEntry& e) { return e.path == path && pred(e.kind); });
  };
  if (has("/proc", [](Kind k) { return k == Kind::Proc; })) {
    for (const char* name : kProcReadOnly)
      out.push_back({Kind::Lock, std::string("/proc/") + name, {}, false});
    for (const char* name : kProcMasked)
      out.push_back({Kind::Mask, std::string("/proc/") + name, {}, false});
  }
  if (has("/sys", [](Kind k) { return k == Kind::ReadOnly || k == Kind::ReadWrite; })) {
    out.push_back({Kind::Cover, "/sys/firmware", {}, true});
  }
}

}  // namespace

std::string normalized_path(const std::string& path) {
  std::string full = path;
  if (full.empty() || full.front() != '/') {
    char cwd[4096];
    std::string base = ::getcwd(cwd, sizeof cwd) ? cwd : "/";
    full = base + "/" + path;
  }
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= full.size()) {
    size_t slash = full.find('/', at);
    if (slash == std::string::npos) slash = full.size();
    std::string part = full.substr(at, slash - at);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(std::move(part));
    }
    at = slash + 1;
  }
  std::string out;
  for (const auto& p : parts) out += "/" + p;
  return out.empty() ? "/" : out;
}

std::vector<LayoutEntry> sandbox_layout(const SandboxSpec& spec) {
  using Kind = LayoutEntry::Kind;
  std::vector<LayoutEntry> out;
  // A later entry for the same path replaces an earlier one (an extra read-write path
  // over a default read-only one, the work directory over the private /tmp).
  auto put = [&](LayoutEntry e) {
    std::erase_if(out, [&](const LayoutEntry& o) { return o.path == e.path; });
    out.push_back(std::move(e));
  };
  auto add_bind = [&](const std::string& raw, Kind kind, bool named) {
    std::string path = normalized_path(raw);
    if (path == "/" || is_fresh_mount(path)) return;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return;  // missing: skipped
    if (S_ISLNK(st.st_mode) && kind == Kind::ReadOnly) {
      char link[4096];
      ssize_t n = ::readlink(path.c_str(), link, sizeof link);
      if (n > 0 && static_cast<size_t>(n) < sizeof link) {
        put({Kind::Symlink, path, std::string(link, static_cast<size_t>(n)), false});
        return;
      }
    }
    if (::stat(path.c_str(), &st) != 0) return;  // a dangling link
    put({kind, path, {}, S_ISDIR(st.st_mode), named});
  };

  for (std::string_view p : kDefaultReadOnlyPaths) {
    if (p == "/proc") {
      put({Kind::Proc, "/proc", {}, true});
    } else if (p == "/dev") {
      put({Kind::Dev, "/dev", {}, true});
    } else {
      add_bind(std::string(p), Kind::ReadOnly, false);
    }
  }
  // The read-write list: a private /tmp and /dev/shm; its devices come with /dev.
  // Sized, so together they hold at most the scratch bound, with or without cgroups.
  const ScratchSizes scratch = scratch_sizes(spec.ephemeral_storage_bytes);
  put({Kind::Tmpfs, "/tmp", {}, true, false, scratch.tmp_bytes});
  put({Kind::Tmpfs, "/dev/shm", {}, true, false, scratch.shm_bytes});
  // Never the host's tree of groups, which a bind of /sys would bring along.
  struct stat cg;
  if (std::any_of(out.begin(), out.end(), [](const LayoutEntry& e) { return e.path == "/sys"; }) &&
      ::stat("/sys/fs/cgroup", &cg) == 0 && S_ISDIR(cg.st_mode)) {
    put({Kind::Cgroup, "/sys/fs/cgroup", {}, true});
  }
  for (const auto& p : spec.extra_read_only_paths) add_bind(p, Kind::ReadOnly, true);
  for (const auto& p : spec.extra_read_write_paths) add_bind(p, Kind::ReadWrite, true);
  // Bound at its own path, even under /tmp; /tmp itself stays the private one. A private
  // work dir is part of the private /tmp: within its size, and nothing on the host.
  if (spec.default_work_dir && normalized_path(spec.host_dir()).starts_with("/tmp/")) {
    put({Kind::Dir, normalized_path(spec.host_dir()), {}, true});
  } else {
    add_bind(spec.host_dir(), Kind::ReadWrite, true);
  }

  std::stable_sort(out.begin(), out.end(), [](const LayoutEntry& a, const LayoutEntry& b) {
    return depth(a.path) < depth(b.path);
  });
  add_hardening(out);
  return out;
}

}  // namespace sandbox::isolation
