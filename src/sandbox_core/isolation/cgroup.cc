// Sandbox control groups: the probe, creation with the limits written, and removal.
// Runs on the spawning thread (probe, creation) and on whichever thread disposes of a
// child's record (removal). Nothing here runs in the child: the child only writes "0"
// into the descriptors of join_fds().
#include "sandbox_core/isolation/cgroup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <mutex>

#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/isolation/cgroup_usage.h"
#include "sandbox_core/launch/launch.h"

namespace sandbox::isolation {
namespace {

constexpr const char* kControllers[3] = {"memory", "pids", "cpu"};

std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    size_t at = text.find(sep);
    std::string_view part = text.substr(0, at);
    if (!part.empty()) out.push_back(part);
    if (at == std::string_view::npos) break;
    text.remove_prefix(at + 1);
  }
  return out;
}

bool has_word(std::string_view list, std::string_view word, char sep) {
  for (auto w : split(list, sep)) {
    if (w == word) return true;
  }
  return false;
}

// Space- or newline-separated words, as in cgroup.controllers.
bool lists(const std::string& text, std::string_view word) {
  std::string flat = text;
  for (char& c : flat) {
    if (c == '\n') c = ' ';
  }
  return has_word(flat, word, ' ');
}

// Mount points in mountinfo escape space, tab, newline and backslash as octal.
std::string unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size()) {
      int v = (s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0');
      out.push_back(static_cast<char>(v));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

struct CgroupMount {
  std::string root;  // the mounted group, relative to the hierarchy
  std::string mount_point;
  std::string fstype;   // "cgroup" or "cgroup2"
  std::string options;  // super options: v1 controllers are listed here
};

std::vector<CgroupMount> cgroup_mounts(std::string_view mountinfo) {
  std::vector<CgroupMount> out;
  for (auto line : split(mountinfo, '\n')) {
    size_t dash = line.find(" - ");
    if (dash == std::string_view::npos) continue;
    auto left = split(line.substr(0, dash), ' ');
    auto right = split(line.substr(dash + 3), ' ');
    if (left.size() < 5 || right.size() < 3) continue;
    if (right[0] != "cgroup" && right[0] != "cgroup2") continue;
    out.push_back(
        {unescape(left[3]), unescape(left[4]), std::string(right[0]), std::string(right[2])});
  }
  return out;
}

// The directory of `path` (this process's group, as /proc/self/cgroup shows it) under a
// mount of its hierarchy, or "" when the mount does not reach it.
std::string under_mount(const CgroupMount& m, std::string_view path) {
  std::string_view root = m.root == "/" ? std::string_view() : std::string_view(m.root);
  if (path.substr(0, root.size()) != root) return {};
  std::string_view rest = path.substr(root.size());
  if (!rest.empty() && rest.front() != '/') return {};
  std::string dir = m.mount_point;
  if (rest != "/") dir += rest;
  return dir;
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::string read_text(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return {};
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
    if (out.size() > (1u << 20)) break;
  }
  return out;
}

// Control files exist in a real group; O_CREAT only lets a plain directory tree stand in.
Result<void, IoError> write_text(const std::string& path, std::string_view text) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) return fail(IoError::last().annotated(" (" + path + ")"));
  if (auto r = write_all(fd.get(), text); !r) return fail(r.error().annotated(" (" + path + ")"));
  return {};
}

// A line of cgroup.procs; 0 when it is not a plain decimal pid.
pid_t parse_pid(std::string_view line) {
  pid_t p = 0;
  if (line.empty() || line.size() > 9) return 0;
  for (char c : line) {
    if (c < '0' || c > '9') return 0;
    p = p * 10 + (c - '0');
  }
  return p;
}

// A process's start time in clock ticks since boot (field 22 of /proc/<pid>/stat), or
// 0 when it does not exist. With the pid it names one process for good: a reused pid
// has a later start.
uint64_t start_time(const std::string& pid) {
  const std::string stat = read_text("/proc/" + pid + "/stat");
  size_t at = stat.rfind(')');
  if (at == std::string::npos) return 0;
  auto fields = split(std::string_view(stat).substr(at + 1), ' ');
  // After the name: state is field 3, so the start time is the 20th word here.
  if (fields.size() < 20) return 0;
  uint64_t v = 0;
  for (char c : fields[19]) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  return v;
}

// Whether the group `name` belongs to a process that no longer exists. Names without a
// start time (older ones) count as dead only when no process has their pid.
bool owner_gone(std::string_view name) {
  for (std::string_view prefix : {"ventra-sandbox-", "ventra-probe-", "ventra-box-"}) {
    if (!name.starts_with(prefix)) continue;
    name.remove_prefix(prefix.size());
    size_t dash = name.rfind('-');
    if (dash == std::string_view::npos) return false;
    std::string_view owner = name.substr(0, dash);
    size_t dot = owner.find('.');
    const std::string pid(owner.substr(0, dot));
    if (pid.empty() || parse_pid(pid) <= 0) return false;
    const uint64_t now = start_time(pid);
    // Unreadable is not gone (a /proc mounted with hidepid): only ESRCH says so.
    if (now == 0) return ::kill(parse_pid(pid), 0) != 0 && errno == ESRCH;
    return dot != std::string_view::npos && std::to_string(now) != owner.substr(dot + 1);
  }
  return false;
}

void sleep_ms(long ms) {
  timespec ts{0, ms * 1'000'000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// A trial group under `parent` in which `control` appears: creating groups works here.
bool trial_group(const std::string& parent, const char* control, int pid, bool* memsw) {
  std::string dir = parent + "/" + group_name(pid, "probe");
  if (::mkdir(dir.c_str(), 0755) != 0) return false;
  bool ok = exists(dir + "/" + control);
  if (memsw != nullptr) *memsw = exists(dir + "/memory.memsw.limit_in_bytes");
  ::rmdir(dir.c_str());
  return ok;
}

void probe_v1(CgroupHost& host, const std::vector<CgroupMount>& mounts,
              std::string_view self_cgroup, int pid) {
  static constexpr const char* kControl[3] = {"memory.limit_in_bytes", "pids.max",
                                              "cpu.cfs_quota_us"};
  std::string* dirs[3] = {&host.memory_dir, &host.pids_dir, &host.cpu_dir};
  for (int i = 0; i < 3; ++i) {
    for (auto line : split(self_cgroup, '\n')) {
      // "id:controllers:path"
      size_t a = line.find(':');
      size_t b = a == std::string_view::npos ? a : line.find(':', a + 1);
      if (b == std::string_view::npos) continue;
      if (!has_word(line.substr(a + 1, b - a - 1), kControllers[i], ',')) continue;
      for (const auto& m : mounts) {
        if (m.fstype != "cgroup" || !has_word(m.options, kControllers[i], ',')) continue;
        std::string dir = under_mount(m, line.substr(b + 1));
        if (dir.empty()) continue;
        bool memsw = false;
        if (trial_group(dir, kControl[i], pid, i == 0 ? &memsw : nullptr)) {
          *dirs[i] = dir;
          if (i == 0) host.swap_accounted = memsw;
        }
        break;
      }
    }
  }
  if (!host.memory_dir.empty() || !host.pids_dir.empty() || !host.cpu_dir.empty()) {
    host.version = CgroupVersion::V1;
  }
}

void probe_v2(CgroupHost& host, const std::vector<CgroupMount>& mounts,
              std::string_view self_cgroup, int pid) {
  std::string dir;
  std::string_view path;
  for (auto line : split(self_cgroup, '\n')) {
    if (line.substr(0, 3) != "0::") continue;
    path = line.substr(3);
    for (const auto& m : mounts) {
      if (m.fstype == "cgroup2") dir = under_mount(m, path);
      if (!dir.empty()) break;
    }
  }
  if (dir.empty()) {
    host.reason = "no cgroup v2 group of this process is mounted";
    return;
  }
  const std::string available = read_text(dir + "/cgroup.controllers");
  const std::string enabled = read_text(dir + "/cgroup.subtree_control");
  std::string wanted;
  bool ready = true;
  for (const char* c : kControllers) {
    if (!lists(available, c)) continue;
    wanted += std::string(wanted.empty() ? "+" : " +") + c;
    if (!lists(enabled, c)) ready = false;
  }
  if (wanted.empty()) {
    host.reason = "cgroup v2 group " + dir + " offers none of memory, pids, cpu";
    return;
  }
  if (::access(dir.c_str(), W_OK) != 0) {
    host.reason = "cgroup v2 group " + dir + " is not writable by this user";
    return;
  }
  if (!ready) {
    // No internal processes: a group whose children have controllers holds no process
    // itself (the root excepted). Only when this process is alone in its group does it
    // step aside into a leaf, so that no other program is moved behind its back.
    const bool is_root = path == "/";
    const std::string procs_text = read_text(dir + "/cgroup.procs");
    auto procs = split(procs_text, '\n');
    const bool alone = procs.size() == 1 && procs[0] == std::to_string(pid);
    if (!alone && !is_root) {
      host.reason = "cgroup v2 group " + dir +
                    " holds other processes, so its children cannot have controllers";
      return;
    }
    if (alone && !is_root) {
      std::string leaf = dir + "/host";
      if (::mkdir(leaf.c_str(), 0755) != 0 && errno != EEXIST) {
        host.reason = "cannot create " + leaf + ": " + os_error_text(errno);
        return;
      }
      if (auto r = write_text(leaf + "/cgroup.procs", std::to_string(pid)); !r) {
        host.reason = "cannot move this process into " + leaf + ": " + r.error().text();
        return;
      }
    }
    if (auto r = write_text(dir + "/cgroup.subtree_control", wanted); !r) {
      host.reason = "cannot enable " + wanted + " in " + dir + ": " + r.error().text();
      return;
    }
  }
  host.version = CgroupVersion::V2;
  if (lists(available, "memory")) host.memory_dir = dir;
  if (lists(available, "pids")) host.pids_dir = dir;
  if (lists(available, "cpu")) host.cpu_dir = dir;
  host.swap_accounted = exists(dir + "/memory.swap.max");
}

}  // namespace

// "ventra-<kind>-<pid>.<start time>-<n>": the owner's identity is in the name, so the
// next process to make groups here can tell a dead owner's from a live one's. Read each
// time, not kept: a child forked from this process is another owner.
std::string group_name(int pid, std::string_view kind) {
  static std::atomic<uint64_t> next{0};
  return "ventra-" + std::string(kind) + "-" + std::to_string(pid) + "." +
         std::to_string(start_time(std::to_string(pid))) + "-" +
         std::to_string(next.fetch_add(1, std::memory_order_relaxed));
}

CgroupHost probe_cgroup_host(std::string_view mountinfo, std::string_view self_cgroup,
                             int self_pid) {
  CgroupHost host;
  auto mounts = cgroup_mounts(mountinfo);
  probe_v1(host, mounts, self_cgroup, self_pid);
  if (host.version == CgroupVersion::None) probe_v2(host, mounts, self_cgroup, self_pid);
  if (host.version == CgroupVersion::None && host.reason.empty()) {
    host.reason = ::geteuid() == 0 ? "no usable cgroup controller"
                                   : "no cgroup this user may write (no delegated v2 group)";
  }
  return host;
}

const CgroupHost& cgroup_host() {
  static const CgroupHost host = [] {
    return probe_cgroup_host(read_text("/proc/self/mountinfo"), read_text("/proc/self/cgroup"),
                             static_cast<int>(::getpid()));
  }();
  return host;
}

CpuBandwidth cpu_bandwidth(uint32_t cpu_milli) {
  constexpr uint64_t kPeriodUs = 100'000, kMinQuotaUs = 1'000, kMaxPeriodUs = 1'000'000;
  uint64_t quota = uint64_t{cpu_milli} * kPeriodUs / 1000;
  if (quota >= kMinQuotaUs) return {quota, kPeriodUs};
  // Under 10 milli-CPU: a longer period keeps the quota at or above the minimum.
  return {std::max<uint64_t>(uint64_t{cpu_milli} * kMaxPeriodUs / 1000, kMinQuotaUs), kMaxPeriodUs};
}

void SandboxCgroup::sweep_dead(const CgroupHost& host) {
  std::vector<std::string> parents;
  for (const std::string* d : {&host.memory_dir, &host.pids_dir, &host.cpu_dir}) {
    if (!d->empty() && std::find(parents.begin(), parents.end(), *d) == parents.end())
      parents.push_back(*d);
  }
  for (const std::string& parent : parents) sweep_dead_groups(parent, host.version);
}

void SandboxCgroup::sweep_dead_groups(const std::string& parent, CgroupVersion version) {
  DIR* dir = ::opendir(parent.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> dead;
  while (dirent* e = ::readdir(dir)) {
    if (e->d_type == DT_DIR && owner_gone(e->d_name)) dead.push_back(parent + "/" + e->d_name);
  }
  ::closedir(dir);
  for (auto& path : dead) {
    SandboxCgroup orphan;  // its removal thaws and kills what is left in it
    orphan.version_ = version;
    orphan.dirs_.push_back(std::move(path));
  }
}

Result<std::unique_ptr<SandboxCgroup>, IoError> SandboxCgroup::create(
    const CgroupHost& host, const CgroupLimits& limits, std::shared_ptr<LimitVerdict> verdict) {
  // Once per process: what hosts that died before removing their groups left here.
  static std::once_flag swept;
  std::call_once(swept, [&] { sweep_dead(host); });
  std::unique_ptr<SandboxCgroup> group(new SandboxCgroup);
  group->version_ = host.version;
  group->verdict_ = std::move(verdict);
  const bool v2 = host.version == CgroupVersion::V2;
  const int pid = static_cast<int>(::getpid());
  const std::string name = group_name(pid, "sandbox");

  // One group per v1 hierarchy in use; under v2 the same directory for all three.
  auto group_in = [&](const std::string& parent) -> Result<std::string, IoError> {
    std::string dir = parent + "/" + name;
    for (const auto& d : group->dirs_) {
      if (d == dir) return dir;
    }
    if (::mkdir(dir.c_str(), 0755) != 0) return fail(IoError::last().annotated(" (" + dir + ")"));
    group->dirs_.push_back(dir);
    // Moving a whole process takes a kernel lock whose writers wait for an RCU grace
    // period (5 to 25 ms here) unless another move happened just before. v1 moves one
    // thread through `tasks` without it, and the child is a single thread when it
    // joins. v2 moves only whole processes between groups like these, so there the
    // child is created in its group (dir_fd), and the file is what it joins through
    // where that cannot be done.
    const std::string join = dir + (v2 ? "/cgroup.procs" : "/tasks");
    UniqueFd file(::open(join.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (!file) return fail(IoError::last().annotated(" (" + join + ")"));
    int high = ::fcntl(file.get(), F_DUPFD_CLOEXEC, kSetupFdFloor);
    if (high < 0) return fail(IoError::last());
    group->join_.emplace_back(high);
    if (v2 && !group->dir_) {
      group->dir_.reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      if (!group->dir_) return fail(IoError::last().annotated(" (" + dir + ")"));
    }
    return dir;
  };

  if (limits.memory_bytes != 0 && !host.memory_dir.empty()) {
    auto dir = group_in(host.memory_dir);
    if (!dir) return fail(dir.error());
    const std::string bytes = std::to_string(limits.memory_bytes);
    if (v2) {
      SANDBOX_TRY(write_text(*dir + "/memory.max", bytes));
      // Nothing swaps, so the limit cannot be dodged by swapping; and the whole sandbox
      // goes when the kernel's OOM killer picks one of it.
      if (host.swap_accounted) SANDBOX_TRY(write_text(*dir + "/memory.swap.max", "0"));
      SANDBOX_TRY(write_text(*dir + "/memory.oom.group", "1"));
    } else {
      SANDBOX_TRY(write_text(*dir + "/memory.limit_in_bytes", bytes));
      if (host.swap_accounted) {
        SANDBOX_TRY(write_text(*dir + "/memory.memsw.limit_in_bytes", bytes));
      } else {
        SANDBOX_TRY(write_text(*dir + "/memory.swappiness", "0"));
      }
    }
    group->memory_dir_ = *dir;
    group->usage_dirs_[0] = *dir;
    if (group->verdict_) group->verdict_->memory_bytes = limits.memory_bytes;
  }
  if (limits.max_processes != 0 && !host.pids_dir.empty()) {
    auto dir = group_in(host.pids_dir);
    if (!dir) return fail(dir.error());
    SANDBOX_TRY(write_text(*dir + "/pids.max", std::to_string(limits.max_processes)));
    group->usage_dirs_[1] = *dir;
  }
  if (limits.cpu_milli != 0 && !host.cpu_dir.empty()) {
    auto dir = group_in(host.cpu_dir);
    if (!dir) return fail(dir.error());
    CpuBandwidth bw = cpu_bandwidth(limits.cpu_milli);
    if (v2) {
      SANDBOX_TRY(write_text(*dir + "/cpu.max",
                             std::to_string(bw.quota_us) + " " + std::to_string(bw.period_us)));
    } else {
      SANDBOX_TRY(write_text(*dir + "/cpu.cfs_period_us", std::to_string(bw.period_us)));
      SANDBOX_TRY(write_text(*dir + "/cpu.cfs_quota_us", std::to_string(bw.quota_us)));
    }
    group->usage_dirs_[2] = *dir;
  }
  // Under v2 the one group counts for every controller the host enabled for it, limited
  // or not.
  if (v2 && !group->dirs_.empty()) {
    const std::string* hosts[3] = {&host.memory_dir, &host.pids_dir, &host.cpu_dir};
    for (int i = 0; i < 3; ++i) {
      if (!hosts[i]->empty()) group->usage_dirs_[i] = group->dirs_.front();
    }
  }
  return group;
}

std::vector<int> SandboxCgroup::join_fds() const {
  std::vector<int> out;
  for (const auto& fd : join_) out.push_back(fd.get());
  return out;
}

void SandboxCgroup::settle() noexcept {
  Usage local;
  Usage& usage = record_ ? record_->usage : local;
  read_cgroup_usage({version_, usage_dirs_[0], usage_dirs_[1], usage_dirs_[2]}, usage);
  // The verdict speaks of the limit only: the group of a limited run.
  if (verdict_ && !memory_dir_.empty() && usage.oom_killed.known && usage.oom_killed.value != 0)
    verdict_->memory_exceeded.store(true, std::memory_order_release);
}

SandboxCgroup::~SandboxCgroup() {
  settle();
  remove_all();
}

void SandboxCgroup::remove_all() noexcept {
  join_.clear();
  dir_.reset();
  // By now the child has been reaped. Under "userns-lite" it was pid 1 of the sandbox, so
  // the kernel has killed the rest; under "bubblewrap" the init may still be on its way
  // out after bwrap. What is left is killed, then the group is removed once empty.
  for (auto it = dirs_.rbegin(); it != dirs_.rend(); ++it) {
    const std::string& dir = *it;
    long pause_ms = 1;
    for (int attempt = 0; attempt < 40; ++attempt) {
      if (::rmdir(dir.c_str()) == 0 || errno != EBUSY) break;
      bool killed = false;
      if (version_ == CgroupVersion::V2)
        killed = static_cast<bool>(write_text(dir + "/cgroup.kill", "1"));
      if (!killed) {
        // A frozen v1 task takes no signal until thawed; elsewhere the write just fails.
        (void)write_text(dir + "/freezer.state", "THAWED");
        const std::string procs = read_text(dir + "/cgroup.procs");
        for (auto line : split(procs, '\n')) {
          if (pid_t p = parse_pid(line); p > 0) ::kill(p, SIGKILL);
        }
      }
      sleep_ms(pause_ms);
      pause_ms = std::min<long>(pause_ms * 2, 50);
    }
  }
  dirs_.clear();
}

}  // namespace sandbox::isolation
