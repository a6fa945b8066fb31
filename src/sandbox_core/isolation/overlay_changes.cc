// The change set of a copy-on-write work directory. Every name is opened relative to its
// directory's descriptor without following a link, and its type checked before use: the
// upper is the child's, and the host directory may change while we walk it.
#include "sandbox_core/isolation/overlay_changes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#if defined(__linux__)
#include <sys/xattr.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <string_view>

namespace sandbox::isolation {
namespace {

using Change = OverlayChange;
constexpr int kDir = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kFile = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

bool safe_name(std::string_view n) {
  return !n.empty() && n != "." && n != ".." && n.find('/') == std::string_view::npos;
}

Change::Type type_of(mode_t m) {
  if (S_ISDIR(m)) return Change::Type::Directory;
  if (S_ISLNK(m)) return Change::Type::Link;
  if (S_ISREG(m)) return Change::Type::File;
  return Change::Type::Other;
}

// The stat times, named the same on every platform.
#if defined(__APPLE__)
timespec changed_at(const struct stat& st) { return st.st_ctimespec; }
timespec modified_at(const struct stat& st) { return st.st_mtimespec; }
timespec accessed_at(const struct stat& st) { return st.st_atimespec; }
#else
timespec changed_at(const struct stat& st) { return st.st_ctim; }
timespec modified_at(const struct stat& st) { return st.st_mtim; }
timespec accessed_at(const struct stat& st) { return st.st_atim; }
#endif

// A delete in the upper: a character device 0:0.
bool is_whiteout(const struct stat& st) { return S_ISCHR(st.st_mode) && st.st_rdev == 0; }

// A directory made over a deleted one hides the lower's: "user." in a user namespace
// (userxattr), "trusted." where the overlay was mounted by the host's root.
bool is_opaque([[maybe_unused]] int dir) {
#if defined(__linux__)
  for (const char* name : {"user.overlay.opaque", "trusted.overlay.opaque"}) {
    char v[2];
    if (::fgetxattr(dir, name, v, sizeof v) == 1 && v[0] == 'y') return true;
  }
#endif
  return false;  // overlay uppers exist only under the Linux backends
}

bool not_before(const timespec& t, const timespec& since) {
  return t.tv_sec > since.tv_sec || (t.tv_sec == since.tv_sec && t.tv_nsec >= since.tv_nsec);
}

IoError at_path(IoError e, const std::string& path) {
  return e.annotated(" at \"" + path + "\"");
}

// The names in a directory, sorted; names no file system yields are left out.
Result<std::vector<std::string>, IoError> entry_names(int dir) {
  int scan = ::openat(dir, ".", kDir);
  DIR* d = scan >= 0 ? ::fdopendir(scan) : nullptr;
  if (d == nullptr) {
    IoError e = IoError::last();
    if (scan >= 0) ::close(scan);
    return fail(e);
  }
  std::vector<std::string> out;
  errno = 0;
  while (dirent* e = ::readdir(d)) {
    if (safe_name(e->d_name)) out.emplace_back(e->d_name);
  }
  IoError error = IoError::last();
  ::closedir(d);
  if (error.code != 0) return fail(error);
  std::sort(out.begin(), out.end());
  return out;
}

std::optional<std::string> link_text(int dir, const std::string& name) {
  char buf[4096];
  ssize_t n = ::readlinkat(dir, name.c_str(), buf, sizeof buf);
  if (n < 0 || static_cast<size_t>(n) >= sizeof buf) return std::nullopt;
  return std::string(buf, static_cast<size_t>(n));
}

bool same_bytes(int a, int b) {
  char x[65536], y[65536];
  for (;;) {
    ssize_t n = ::read(a, x, sizeof x);
    if (n <= 0) return n == 0 && ::read(b, y, 1) == 0;
    ssize_t got = 0;
    while (got < n) {
      ssize_t m = ::read(b, y + got, static_cast<size_t>(n - got));
      if (m <= 0) return false;
      got += m;
    }
    if (std::memcmp(x, y, static_cast<size_t>(n)) != 0) return false;
  }
}

// Whether the upper's entry differs from the lower's of the same type.
bool differs(int upper, int lower, const std::string& name, const struct stat& u,
             const struct stat& l) {
  if ((u.st_mode & 07777) != (l.st_mode & 07777)) return true;
  if (S_ISLNK(u.st_mode)) return link_text(upper, name) != link_text(lower, name);
  if (!S_ISREG(u.st_mode)) return false;
  if (u.st_size != l.st_size) return true;
  UniqueFd a(::openat(upper, name.c_str(), kFile)), b(::openat(lower, name.c_str(), kFile));
  return !a || !b || !same_bytes(a.get(), b.get());
}

Change row(Change::Action action, const std::string& path, const struct stat& st) {
  Change c{action, type_of(st.st_mode), path};
  c.mode = st.st_mode & 07777;
  if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) c.size = static_cast<uint64_t>(st.st_size);
  return c;
}

// One directory of the walk: the upper's, the lower's of the same path (invalid when it
// has none), and whether the upper hides the lower's entries it lacks.
struct Frame {
  UniqueFd upper, lower;
  bool hidden = false;
  std::string path;  // "" at the root, else ending in '/'
  std::vector<std::string> names;
  size_t next = 0;
};

class Walk {
 public:
  explicit Walk(std::vector<Change>& out) : out_(out) {}

  Result<void, IoError> run(UniqueFd upper, UniqueFd lower) {
    SANDBOX_TRY(enter(std::move(upper), std::move(lower), false, ""));
    while (!stack_.empty()) {
      Frame& f = stack_.back();
      if (f.next == f.names.size()) {
        stack_.pop_back();
        continue;
      }
      SANDBOX_TRY(visit(f, f.names[f.next++]));
    }
    return {};
  }

 private:
  Result<void, IoError> enter(UniqueFd upper, UniqueFd lower, bool hidden, std::string path) {
    if (stack_.size() >= kOverlayMaxDepth)
      return fail(at_path(IoError::custom("nested too deeply", ELOOP), path));
    auto names = entry_names(upper.get());
    if (!names) return fail(at_path(names.error(), path));
    if (hidden && lower) {
      auto gone = entry_names(lower.get());
      if (!gone) return fail(at_path(gone.error(), path));
      for (const auto& n : *gone) {
        struct stat l;
        if (std::binary_search(names->begin(), names->end(), n) ||
            ::fstatat(lower.get(), n.c_str(), &l, AT_SYMLINK_NOFOLLOW) != 0)
          continue;
        out_.push_back(row(Change::Action::Deleted, path + n, l));
      }
    }
    stack_.push_back({std::move(upper), std::move(lower), hidden, std::move(path),
                      std::move(*names)});
    return {};
  }

  Result<void, IoError> visit(Frame& f, const std::string& name) {
    const std::string path = f.path + name;
    struct stat u, l;
    if (::fstatat(f.upper.get(), name.c_str(), &u, AT_SYMLINK_NOFOLLOW) != 0)
      return fail(at_path(IoError::last(), path));
    bool lower = f.lower && ::fstatat(f.lower.get(), name.c_str(), &l, AT_SYMLINK_NOFOLLOW) == 0;
    if (is_whiteout(u)) {
      if (lower) out_.push_back(row(Change::Action::Deleted, path, l));
      return {};
    }
    if (lower && type_of(u.st_mode) != type_of(l.st_mode)) {
      out_.push_back(row(Change::Action::Deleted, path, l));
      lower = false;
    }
    if (!S_ISDIR(u.st_mode)) {
      if (!lower) {
        out_.push_back(row(Change::Action::Added, path, u));
      } else if (differs(f.upper.get(), f.lower.get(), name, u, l)) {
        out_.push_back(row(Change::Action::Modified, path, u));
      }
      return {};
    }
    UniqueFd up(::openat(f.upper.get(), name.c_str(), kDir));
    if (!up) return fail(at_path(IoError::last(), path));
    UniqueFd low;
    if (lower) {
      low.reset(::openat(f.lower.get(), name.c_str(), kDir));
      if (!low) return fail(at_path(IoError::last(), path));
    }
    if (!lower) {
      out_.push_back(row(Change::Action::Added, path, u));
    } else if ((u.st_mode & 07777) != (l.st_mode & 07777)) {
      out_.push_back(row(Change::Action::Modified, path, u));
    }
    bool hidden = f.hidden || is_opaque(up.get());
    // `f` may move when the stack grows.
    return enter(std::move(up), std::move(low), hidden, path + "/");
  }

  std::vector<Change>& out_;
  std::vector<Frame> stack_;
};

// The open directories along a path below a root, reused while the changes, in walk
// order, stay in the same directories.
class DirChain {
 public:
  explicit DirChain(UniqueFd root) : root_(std::move(root)) {}

  Result<int, IoError> at(std::string_view dir) {
    std::vector<std::string_view> parts;
    for (size_t at = 0; at < dir.size();) {
      size_t slash = dir.find('/', at);
      if (slash == std::string_view::npos) slash = dir.size();
      parts.push_back(dir.substr(at, slash - at));
      at = slash + 1;
    }
    size_t keep = 0;
    while (keep < chain_.size() && keep < parts.size() && chain_[keep].first == parts[keep]) ++keep;
    chain_.resize(keep);
    for (size_t i = keep; i < parts.size(); ++i) {
      int parent = chain_.empty() ? root_.get() : chain_.back().second.get();
      UniqueFd next(::openat(parent, std::string(parts[i]).c_str(), kDir));
      if (!next) return fail(IoError::last());
      chain_.emplace_back(std::string(parts[i]), std::move(next));
    }
    return chain_.empty() ? root_.get() : chain_.back().second.get();
  }
  // An entry of `path` was replaced or removed: no descriptor under it stays cached.
  void forget(std::string_view path) {
    std::string prefix;
    for (size_t i = 0; i < chain_.size(); ++i) {
      prefix += (i ? "/" : "") + chain_[i].first;
      if (prefix == path) {
        chain_.resize(i);
        return;
      }
    }
  }

 private:
  UniqueFd root_;
  std::vector<std::pair<std::string, UniqueFd>> chain_;
};

enum class Outcome : uint8_t { Applied, Conflict, Failed };
struct Step {
  Outcome outcome;
  std::string reason;
};
Step applied() { return {Outcome::Applied, {}}; }
Step failed(const IoError& e) { return {Outcome::Failed, e.text()}; }
Step failed_now() { return failed(IoError::last()); }
Step conflict(std::string reason) { return {Outcome::Conflict, std::move(reason)}; }

constexpr const char* kChanged = "changed on the host since the run began";
constexpr const char* kRemoved = "removed on the host since the run began";

// Writes the changes of one apply() into the host directory.
class Applier {
 public:
  Applier(DirChain& host, DirChain& upper, timespec since)
      : host_(host), upper_(upper), since_(since) {}

  Step one(const Change& c) {
    size_t slash = c.path.rfind('/');
    std::string_view parent =
        slash == std::string::npos ? std::string_view() : std::string_view(c.path).substr(0, slash);
    const std::string name = c.path.substr(slash == std::string::npos ? 0 : slash + 1);
    auto h = host_.at(parent);
    if (!h) return c.action == Change::Action::Deleted ? applied() : failed(h.error());
    host_.forget(c.path);
    if (c.action == Change::Action::Deleted) return remove(*h, name);
    if (c.type == Change::Type::Other) return {Outcome::Failed, "not a file, directory or link"};
    auto u = upper_.at(parent);
    if (!u) return failed(u.error());
    struct stat st;
    bool present = ::fstatat(*h, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!present && errno != ENOENT) return failed_now();
    if (c.type == Change::Type::Directory && present && S_ISDIR(st.st_mode)) {
      return c.action == Change::Action::Modified ? chmod_dir(*h, name, c.mode) : applied();
    }
    if (present && not_before(changed_at(st), since_)) return conflict(kChanged);
    if (!present && c.action == Change::Action::Modified) return conflict(kRemoved);
    if (present && S_ISDIR(st.st_mode)) {
      Step s = remove(*h, name);
      if (s.outcome != Outcome::Applied) return s;
    }
    if (c.type == Change::Type::Directory) {
      if (present && ::unlinkat(*h, name.c_str(), 0) != 0) return failed_now();
      if (::mkdirat(*h, name.c_str(), 0700) != 0) return failed_now();
      return chmod_dir(*h, name, c.mode);
    }
    return replace(*h, *u, name, c.type == Change::Type::Link);
  }

 private:
  // The host's entry, a tree only when nothing in it changed since the run began.
  Step remove(int dir, const std::string& name) {
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      return errno == ENOENT ? applied() : failed_now();
    if (not_before(changed_at(st), since_)) return conflict(kChanged);
    if (!S_ISDIR(st.st_mode)) return ::unlinkat(dir, name.c_str(), 0) == 0 ? applied() : failed_now();
    auto changed = tree_changed(dir, name, 0);
    if (!changed) return failed(changed.error());
    if (*changed) return conflict("a path under it " + std::string(kChanged));
    auto removed = remove_tree(dir, name, 0);
    return removed ? applied() : failed(removed.error());
  }

  Result<bool, IoError> tree_changed(int dir, const std::string& name, size_t depth) {
    if (depth >= kOverlayMaxDepth) return fail(IoError::custom("nested too deeply", ELOOP));
    UniqueFd d(::openat(dir, name.c_str(), kDir));
    if (!d) return fail(IoError::last());
    auto names = entry_names(d.get());
    if (!names) return fail(names.error());
    for (const auto& n : *names) {
      struct stat st;
      if (::fstatat(d.get(), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
      if (not_before(changed_at(st), since_)) return true;
      if (S_ISDIR(st.st_mode)) {
        auto sub = tree_changed(d.get(), n, depth + 1);
        if (!sub || *sub) return sub;
      }
    }
    return false;
  }

  Result<void, IoError> remove_tree(int dir, const std::string& name, size_t depth) {
    if (::unlinkat(dir, name.c_str(), 0) == 0) return {};
    if (errno != EISDIR) return fail(IoError::last());
    if (depth >= kOverlayMaxDepth) return fail(IoError::custom("nested too deeply", ELOOP));
    UniqueFd d(::openat(dir, name.c_str(), kDir));
    if (!d) return fail(IoError::last());
    auto names = entry_names(d.get());
    if (!names) return fail(names.error());
    for (const auto& n : *names) SANDBOX_TRY(remove_tree(d.get(), n, depth + 1));
    if (::unlinkat(dir, name.c_str(), AT_REMOVEDIR) != 0) return fail(IoError::last());
    return {};
  }

  static Step chmod_dir(int dir, const std::string& name, uint32_t mode) {
    UniqueFd d(::openat(dir, name.c_str(), kDir));
    if (!d || ::fchmod(d.get(), mode & 0777) != 0) return failed_now();
    return applied();
  }

  // A temporary entry beside the target, renamed over it: the target is the old entry
  // or the whole new one. Set-id bits are dropped; no device or hard link is made.
  Step replace(int host, int upper, const std::string& name, bool link) {
    std::string temp = ".ventra-apply-" + std::to_string(::getpid()) + "-" +
                       std::to_string(counter_.fetch_add(1, std::memory_order_relaxed));
    Step s = link ? make_link(host, upper, name, temp) : copy_file(host, upper, name, temp);
    if (s.outcome == Outcome::Applied &&
        ::renameat(host, temp.c_str(), host, name.c_str()) != 0)
      s = failed_now();
    if (s.outcome != Outcome::Applied) (void)::unlinkat(host, temp.c_str(), 0);
    return s;
  }

  static Step make_link(int host, int upper, const std::string& name, const std::string& temp) {
    auto text = link_text(upper, name);
    if (!text) return failed_now();
    return ::symlinkat(text->c_str(), host, temp.c_str()) == 0 ? applied() : failed_now();
  }

  static Step copy_file(int host, int upper, const std::string& name, const std::string& temp) {
    UniqueFd src(::openat(upper, name.c_str(), kFile));
    struct stat st;
    if (!src || ::fstat(src.get(), &st) != 0) return failed_now();
    if (!S_ISREG(st.st_mode)) return {Outcome::Failed, "not a regular file"};
    UniqueFd dst(::openat(host, temp.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!dst) return failed_now();
    (void)::fcntl(src.get(), F_SETFL, 0);
    for (;;) {
#if defined(__linux__)
      ssize_t n = ::copy_file_range(src.get(), nullptr, dst.get(), nullptr, 1 << 30, 0);
#else
      ssize_t n = -1;
      errno = ENOSYS;
#endif
      if (n == 0) break;
      if (n > 0) continue;
      if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return failed_now();
      char buf[65536];
      while ((n = ::read(src.get(), buf, sizeof buf)) > 0) {
        for (ssize_t put = 0; put < n;) {
          ssize_t w = ::write(dst.get(), buf + put, static_cast<size_t>(n - put));
          if (w <= 0) return failed_now();
          put += w;
        }
      }
      if (n < 0) return failed_now();
      break;
    }
    const timespec times[2] = {accessed_at(st), modified_at(st)};
    if (::fchmod(dst.get(), st.st_mode & 0777) != 0 || ::futimens(dst.get(), times) != 0)
      return failed_now();
    return applied();
  }

  DirChain& host_;
  DirChain& upper_;
  timespec since_;
  static inline std::atomic<uint64_t> counter_{0};
};

bool under(const std::string& path, const std::string& dir) {
  return path.size() > dir.size() && path.starts_with(dir) && path[dir.size()] == '/';
}

}  // namespace

OverlayChanges::OverlayChanges(UniqueFd scratch, std::string lower, timespec since)
    : scratch_(std::move(scratch)), lower_(std::move(lower)), since_(since) {}

timespec OverlayChanges::now() {
  timespec t{};
  ::clock_gettime(CLOCK_REALTIME, &t);
  return t;
}

Result<std::vector<OverlayChange>, IoError> OverlayChanges::list() const {
  std::lock_guard lock(m_);
  return list_locked();
}

bool OverlayChanges::pending() const {
  std::lock_guard lock(m_);
  return scratch_.valid();
}

void OverlayChanges::discard() {
  if (stop_writers_) stop_writers_();
  std::lock_guard lock(m_);
  scratch_.reset();
}

Result<std::vector<OverlayChange>, IoError> OverlayChanges::list_locked() const {
  if (!scratch_) return fail(IoError::custom("the changes were already applied or discarded", EBADF));
  UniqueFd upper(::openat(scratch_.get(), kOverlayUpper, kDir));
  if (!upper) return fail(IoError::last());
  UniqueFd lower(::open(lower_.c_str(), kDir));
  if (!lower) return fail(at_path(IoError::last(), lower_));
  std::vector<OverlayChange> out;
  SANDBOX_TRY(Walk(out).run(std::move(upper), std::move(lower)));
  return out;
}

Result<OverlayApplyReport, IoError> OverlayChanges::apply() {
  if (stop_writers_) stop_writers_();
  std::lock_guard lock(m_);
  auto changes = list_locked();
  if (!changes) return fail(changes.error());
  UniqueFd host_root(::open(lower_.c_str(), kDir));
  UniqueFd upper_root(::openat(scratch_.get(), kOverlayUpper, kDir));
  if (!host_root || !upper_root) return fail(IoError::last());
  DirChain host(std::move(host_root)), upper(std::move(upper_root));
  Applier applier(host, upper, since_);
  OverlayApplyReport report;
  std::vector<std::string> blocked;  // not applied: nothing under them is
  for (const auto& c : *changes) {
    auto b = std::find_if(blocked.begin(), blocked.end(), [&](const std::string& d) {
      return c.path == d || under(c.path, d);
    });
    if (b != blocked.end()) {
      if (c.path != *b) report.failures.push_back({c.path, "\"" + *b + "\" was not applied"});
      continue;
    }
    Step s = applier.one(c);
    if (s.outcome == Outcome::Applied) {
      ++report.applied;
      continue;
    }
    (s.outcome == Outcome::Conflict ? report.conflicts : report.failures)
        .push_back({c.path, std::move(s.reason)});
    blocked.push_back(c.path);
  }
  scratch_.reset();
  return report;
}

}  // namespace sandbox::isolation
