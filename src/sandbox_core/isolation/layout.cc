// The sandbox's file-system layout. Pure apart from lstat/readlink/getcwd on the host;
// any thread.
#include "sandbox_core/isolation/layout.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <elf.h>
#include <link.h>
#endif

#include <algorithm>
#include <cstring>
#include <memory>

#include "sandbox_core/base/quoted.h"

#include "sandbox_core/isolation/limits.h"
#include "sandbox_core/spec/fs_allowlist.h"

namespace sandbox::isolation {
namespace {

size_t depth(const std::string& path) { return std::count(path.begin(), path.end(), '/'); }

// Never the host's: a fresh proc, a /dev without the host's disks, a private /tmp.
bool is_fresh_mount(std::string_view p) { return p == "/proc" || p == "/dev" || p == "/tmp"; }

// Where `path` itself lies on the host: its directory resolved, its last name kept, so
// that a link is found as the link. Empty when the host has no such directory.
std::string located(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
  std::unique_ptr<char, decltype(&::free)> real(::realpath(dir.c_str(), nullptr), &::free);
  if (!real) return {};
  std::string out = real.get();
  return (out == "/" ? "" : out) + path.substr(slash);
}

// The deepest entry at or above `at` decides: a bind shows it, a fresh mount hides it.
bool visible(const std::vector<LayoutEntry>& layout, const std::string& at) {
  const LayoutEntry* deepest = nullptr;
  for (const LayoutEntry& e : layout) {
    bool covers = at == e.path || (at.starts_with(e.path) && at[e.path.size()] == '/');
    if (covers && (deepest == nullptr || e.path.size() > deepest->path.size())) deepest = &e;
  }
  if (deepest == nullptr) return false;
  using Kind = LayoutEntry::Kind;
  bool bind = deepest->kind == Kind::ReadOnly || deepest->kind == Kind::ReadWrite ||
              deepest->kind == Kind::Lock;
  return bind && (deepest->directory || deepest->path == at);
}

// The program loader an ELF executable of this machine's class names (PT_INTERP).
std::string elf_loader([[maybe_unused]] int fd, [[maybe_unused]] const char* head,
                       [[maybe_unused]] size_t size) {
#if defined(__linux__)
  constexpr unsigned char kNativeClass = __ELF_NATIVE_CLASS == 64 ? ELFCLASS64 : ELFCLASS32;
  ElfW(Ehdr) eh;
  if (size < sizeof eh) return {};
  std::memcpy(&eh, head, sizeof eh);
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != kNativeClass ||
      eh.e_phentsize != sizeof(ElfW(Phdr))) {
    return {};
  }
  for (size_t i = 0; i < eh.e_phnum && i < 64; ++i) {
    ElfW(Phdr) ph;
    const off_t at = static_cast<off_t>(eh.e_phoff + i * sizeof ph);
    if (::pread(fd, &ph, sizeof ph, at) != static_cast<ssize_t>(sizeof ph)) return {};
    if (ph.p_type != PT_INTERP || ph.p_filesz == 0 || ph.p_filesz > PATH_MAX) continue;
    std::string loader(ph.p_filesz, '\0');
    if (::pread(fd, loader.data(), loader.size(), static_cast<off_t>(ph.p_offset)) !=
        static_cast<ssize_t>(loader.size())) {
      return {};
    }
    return std::string(loader.c_str());  // up to its NUL
  }
#endif
  return {};
}

// The interpreter a "#!" line names, or the loader of an ELF executable; empty for none.
std::string interpreter_of(const std::string& file) {
  char head[256];
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return {};
  ssize_t n = ::read(fd, head, sizeof head);
  const size_t got = n > 0 ? static_cast<size_t>(n) : 0;
  std::string loader = elf_loader(fd, head, got);
  ::close(fd);
  if (!loader.empty()) return loader;
  std::string_view line(head, got);
  if (!line.starts_with("#!")) return {};
  const size_t end = line.find('\n');
  line = line.substr(2, end == std::string_view::npos ? line.npos : end - 2);
  const size_t begin = line.find_first_not_of(" \t");
  if (begin == line.npos) return {};
  line = line.substr(begin);
  return std::string(line.substr(0, line.find_first_of(" \t\r")));
}

// Follows `path` from the host's view (links, then interpreters) to the first step the
// sandbox lacks. `role` says what `path` is to the program ("the program").
std::string first_missing(const std::vector<LayoutEntry>& layout, std::string path,
                          std::string role) {
  constexpr int kMaxSteps = 40;  // the kernel's own bounds: 40 links, 4 interpreters
  for (int step = 0, interpreters = 0; step < kMaxSteps && path.starts_with("/"); ++step) {
    const std::string at = located(path);
    struct stat st;
    if (at.empty() || ::lstat(at.c_str(), &st) != 0) return {};
    if (!visible(layout, at)) {
      return quoted_form(path) + " (" + role + ") exists on the host but is not visible inside "
             "the sandbox; share it, or a directory above it, with extra_read_only_paths (--ro "
             "on the command line)";
    }
    std::string next;
    if (S_ISLNK(st.st_mode)) {
      char link[PATH_MAX];
      ssize_t n = ::readlink(at.c_str(), link, sizeof link);
      if (n <= 0 || static_cast<size_t>(n) >= sizeof link) return {};
      next.assign(link, static_cast<size_t>(n));
      if (!next.starts_with("/")) next = at.substr(0, at.rfind('/') + 1) + next;
      role = "the link target of " + quoted_form(path);
    } else if (S_ISREG(st.st_mode) && ++interpreters <= 4) {
      next = interpreter_of(at);
      role = "the interpreter of " + quoted_form(path);
    }
    if (next.empty()) return {};
    path = normalized_path(next);
  }
  return {};
}

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

std::string missing_inside(const std::vector<LayoutEntry>& layout,
                           const std::vector<std::string>& candidates,
                           const std::string& work_dir) {
  for (const std::string& c : candidates) {
    if (!c.starts_with("/") && work_dir.empty()) continue;
    const std::string path = normalized_path(c.starts_with("/") ? c : work_dir + "/" + c);
    struct stat st;
    const std::string at = located(path);
    if (at.empty() || ::lstat(at.c_str(), &st) != 0) continue;  // the host lacks it too
    return first_missing(layout, path, "the program");
  }
  return {};
}

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
