// Leasing a root caller's sandbox ids. The range is read once per process; each lease
// walks the lock files from the range's start. Spawning thread.
#include "sandbox_core/isolation/host_ids.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <vector>

namespace sandbox::isolation {
namespace {

// Where the lock files live: root's, and nobody else's to write or list.
constexpr const char* kLockDirs[] = {"/run/ventra-sandbox-ids", "/var/run/ventra-sandbox-ids"};

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  for (;;) {
    size_t at = line.find(':');
    out.push_back(line.substr(0, at));
    if (at == std::string_view::npos) return out;
    line.remove_prefix(at + 1);
  }
}

bool number(std::string_view text, uint64_t& out) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

template <class F>
void for_lines(std::string_view text, F&& f) {
  while (!text.empty()) {
    size_t at = text.find('\n');
    std::string_view line = text.substr(0, at);
    if (!line.empty() && line.front() != '#') f(fields(line));
    if (at == std::string_view::npos) break;
    text.remove_prefix(at + 1);
  }
}

// The owner's "name:start:count" entry, if any.
bool owner_entry(std::string_view subids, uint64_t& start, uint64_t& count) {
  bool found = false;
  for_lines(subids, [&](const std::vector<std::string_view>& f) {
    if (!found && f.size() == 3 && f[0] == kSubordinateOwner && number(f[1], start) &&
        number(f[2], count)) {
      found = true;
    }
  });
  return found;
}

// The first id of `[start, start + count)` that `text` gives to anyone: an account's id
// (`id_field` of passwd or group lines), or another user's subordinate range.
std::string conflict(std::string_view text, const char* file, size_t id_field, uint64_t start,
                     uint64_t count) {
  std::string out;
  for_lines(text, [&](const std::vector<std::string_view>& f) {
    if (!out.empty() || f.size() <= id_field) return;
    uint64_t id = 0, n = 1;
    if (!number(f[id_field], id)) return;
    if (id_field == 1) {  // a subordinate range
      if (f[0] == kSubordinateOwner || f.size() != 3 || !number(f[2], n)) return;
    }
    if (id < start + count && start < id + n) {
      out = std::string(file) + " gives " + std::to_string(id) +
            (n > 1 ? "+" + std::to_string(n) : "") + " to \"" + std::string(f[0]) + "\"";
    }
  });
  return out;
}

std::string read_small(const char* path) {
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  std::string out;
  if (!fd) return out;
  char buf[8192];
  for (ssize_t n; (n = ::read(fd.get(), buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || out.size() > (16u << 20)) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

Result<UniqueFd, IoError> lock_dir() {
  int last = ENOENT;
  for (const char* dir : kLockDirs) {
    if (::mkdir(dir, 0700) != 0 && errno != EEXIST) {
      last = errno;
      continue;
    }
    UniqueFd fd(::open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0)
      return fail(IoError::last().annotated(std::string(" (") + dir + ")"));
    if (st.st_uid != 0 || (st.st_mode & 077) != 0) {
      return fail(IoError::custom(std::string("the sandbox id locks: ") + dir +
                                      " is not root's alone",
                                  EPERM));
    }
    return fd;
  }
  return fail(IoError::from_errno(last));
}

// Whether any process on the host has `uid` as its real uid (a sandbox that outlived its
// host). From status, not the owner of /proc/<pid>, which is root's for a process that
// is not dumpable. Only after a holder died without releasing: it reads every process.
bool runs_as(uint32_t uid) {
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return true;
  const std::string want = "\nUid:\t" + std::to_string(uid) + "\t";
  bool found = false;
  while (dirent* e = ::readdir(proc)) {
    if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
    const std::string status = read_small(("/proc/" + std::string(e->d_name) + "/status").c_str());
    if (status.find(want) != std::string::npos) {
      found = true;
      break;
    }
  }
  ::closedir(proc);
  return found;
}

}  // namespace

SandboxIds::~SandboxIds() {
  if (lock_) (void)::ftruncate(lock_.get(), 0);  // released as it should be
}

Result<IdRange, IoError> choose_id_range(std::string_view subuid, std::string_view subgid,
                                         std::string_view passwd, std::string_view group) {
  IdRange r;
  uint64_t us = r.uid_start, uc = r.count, gs = r.gid_start, gc = r.count;
  bool named_u = owner_entry(subuid, us, uc), named_g = owner_entry(subgid, gs, gc);
  if (!named_g && named_u) gs = us, gc = uc;
  if (!named_u && named_g) us = gs, uc = gc;
  const uint64_t count = std::min(uc, gc);
  constexpr uint64_t kIdEnd = 0xFFFFFFFFull;  // (uid_t)-1 is no id
  if (count == 0 || us == 0 || gs == 0 || us + count > kIdEnd || gs + count > kIdEnd) {
    return fail(IoError::custom("the sandbox id range of \"" + std::string(kSubordinateOwner) +
                                    "\" in /etc/subuid or /etc/subgid is empty or out of range",
                                EINVAL));
  }
  for (std::string why : {conflict(passwd, "/etc/passwd", 2, us, count),
                          conflict(group, "/etc/group", 2, gs, count),
                          conflict(subuid, "/etc/subuid", 1, us, count),
                          conflict(subgid, "/etc/subgid", 1, gs, count)}) {
    if (!why.empty()) {
      return fail(IoError::custom("the sandbox ids " + std::to_string(us) + "+" +
                                      std::to_string(count) + " are not free: " + why +
                                      " (set a free range for \"" + kSubordinateOwner +
                                      "\" in /etc/subuid and /etc/subgid)",
                                  EEXIST));
    }
  }
  r.uid_start = static_cast<uint32_t>(us);
  r.gid_start = static_cast<uint32_t>(gs);
  r.count = static_cast<uint32_t>(count);
  return r;
}

Result<std::unique_ptr<SandboxIds>, IoError> lease_sandbox_ids() {
  static const Result<IdRange, IoError> range =
      choose_id_range(read_small("/etc/subuid"), read_small("/etc/subgid"),
                      read_small("/etc/passwd"), read_small("/etc/group"));
  if (!range) return fail(range.error());
  auto dir = lock_dir();
  if (!dir) return fail(dir.error());
  for (uint32_t i = 0; i < range->count; ++i) {
    const uint32_t uid = range->uid_start + i;
    const std::string name = std::to_string(uid);
    UniqueFd lock(
        ::openat(dir->get(), name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lock) return fail(IoError::last().annotated(" (lock a sandbox id)"));
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) return fail(IoError::last());
      continue;
    }
    struct stat st;
    if (::fstat(lock.get(), &st) == 0 && st.st_size != 0 && runs_as(uid)) continue;
    const std::string holder = std::to_string(::getpid()) + "\n";
    const auto size = static_cast<ssize_t>(holder.size());
    if (::ftruncate(lock.get(), 0) != 0 ||
        ::pwrite(lock.get(), holder.data(), holder.size(), 0) != size) {
      return fail(IoError::last().annotated(" (lock a sandbox id)"));
    }
    return std::make_unique<SandboxIds>(uid, range->gid_start + i, std::move(lock));
  }
  return fail(IoError::custom("every sandbox id of the range is in use", EAGAIN));
}

}  // namespace sandbox::isolation
