// Control groups for the Linux sandboxes: the one-time look at what this host's cgroups
// let us enforce, and the group each sandbox runs in, created before its child starts
// and removed once the child's record is disposed of (after the collect). cgroup v2 in a
// subtree this process may write; v1 with the memory, pids and cpu controllers (as root).
// The spawning thread creates a group; the thread that disposes of the record removes it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sandbox_core/base/io_error.h"
#include "sandbox_core/base/result.h"
#include "sandbox_core/base/unique_fd.h"
#include "sandbox_core/launch/sandbox_child.h"

namespace sandbox::isolation {

enum class CgroupVersion : uint8_t { None, V1, V2 };

// "ventra-<kind>-<pid>.<start time>-<n>": a group named after its owner, so that the next
// process to make groups beside it can tell a dead owner's from a live one's.
std::string group_name(int pid, std::string_view kind);

// Where this process may create a sandbox's groups, per controller; an empty directory
// means that controller cannot be used here. Under v2 the three are one directory.
struct CgroupHost {
  CgroupVersion version = CgroupVersion::None;
  std::string memory_dir;
  std::string pids_dir;
  std::string cpu_dir;
  bool swap_accounted = false;  // v1: memory.memsw.*; v2: memory.swap.max
  std::string reason;           // why a controller is missing, when one is
};

// Reads the texts of /proc/self/mountinfo and /proc/self/cgroup and tries the candidate
// directories: v1 by creating and removing a trial group under this process's own group
// of each hierarchy; v2 in this process's own group when its children may have the
// controllers. A v2 group that holds only this process is made ready first: the
// process moves into a leaf group of its own ("host"), since v2 lets no group with
// processes give its children controllers. Any thread; touches the cgroup file system.
CgroupHost probe_cgroup_host(std::string_view mountinfo, std::string_view self_cgroup,
                             int self_pid);

// probe_cgroup_host for this process, once; later callers wait for the first.
const CgroupHost& cgroup_host();

// What the sandbox's limits did to the run: filled in by its group, settled once the
// record has been disposed of (after the collect), read by the handle.
struct LimitVerdict {
  std::atomic<bool> memory_exceeded{false};  // the kernel killed a process for memory
  uint64_t memory_bytes = 0;                 // the memory limit in force; 0: none
};

struct CgroupLimits {
  uint64_t memory_bytes = 0;   // the whole group, tmpfs pages and swap included; 0: none
  uint64_t max_processes = 0;  // processes and threads; 0: none
  uint32_t cpu_milli = 0;      // CPU bandwidth in thousandths of a CPU; 0: none
};

// The CFS bandwidth for a rate of cpu_milli thousandths of a CPU: a 100 ms period, or a
// longer one where the quota would fall under the kernel's 1 ms minimum.
struct CpuBandwidth {
  uint64_t quota_us;
  uint64_t period_us;
};
CpuBandwidth cpu_bandwidth(uint32_t cpu_milli);

// One sandbox's groups (one per v1 hierarchy in use, or one v2 group). The child joins
// them itself, first thing, through join_fds(), so nothing of the sandbox ever runs
// outside. Destruction kills whatever is still in them, waits briefly for it to be gone,
// reads the groups' counters into the run's record, removes the groups and settles the
// verdict. Their names carry the creating process's
// pid and start time; the first create() of a process removes the groups of owners that
// no longer exist (a host killed before it could remove its own), and no others.
class SandboxCgroup final : public ChildResource {
 public:
  // `verdict` receives whether the kernel killed a process for the memory limit.
  static Result<std::unique_ptr<SandboxCgroup>, IoError> create(
      const CgroupHost& host, const CgroupLimits& limits, std::shared_ptr<LimitVerdict> verdict);
  ~SandboxCgroup() override;

  // Each group's file for joining (v1 `tasks`, v2 `cgroup.procs`), open for writing
  // (close-on-exec, at or above kSetupFdFloor): the child writes "0" into each before
  // anything else.
  std::vector<int> join_fds() const;
  // v2: the group's directory, for creating the child in it; -1 under v1.
  int dir_fd() const { return dir_.get(); }
  const std::vector<std::string>& dirs() const { return dirs_; }
  // Where the teardown writes what the groups measured; null: nowhere.
  void set_record(std::shared_ptr<RunRecord> record) { record_ = std::move(record); }

 private:
  SandboxCgroup() = default;
  void remove_all() noexcept;
  // Reads the counters into the record and settles the verdict, before the removal.
  void settle() noexcept;
  static void sweep_dead(const CgroupHost& host);

 public:
  // Removes the groups directly under `parent` whose owner process is gone, thawing and
  // killing what is left in them; never a live process's.
  static void sweep_dead_groups(const std::string& parent, CgroupVersion version);

 private:

  CgroupVersion version_ = CgroupVersion::None;
  std::vector<std::string> dirs_;  // created, in creation order
  std::vector<UniqueFd> join_;
  UniqueFd dir_;
  std::string memory_dir_;  // where the OOM count is read; empty without a limit
  std::shared_ptr<LimitVerdict> verdict_;
  std::string usage_dirs_[3];  // memory, pids, cpu: the groups whose counters are read
  std::shared_ptr<RunRecord> record_;
};

}  // namespace sandbox::isolation
