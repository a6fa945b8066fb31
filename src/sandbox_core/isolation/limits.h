// The resource limits of a Linux sandbox: a SandboxSpec's numbers turned into a control group
// (where this host lets us make one), rlimits and tmpfs sizes, prepared in the parent
// for one spawn; what this host enforces, for available_backends(); and a WARN event for
// each limit a spec asks for that cannot be enforced here. Spawning thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sandbox_core/base/result.h"
#include "sandbox_core/isolation/cgroup.h"
#include "sandbox_core/launch/launch.h"
#include "sandbox_core/launch/sandbox_child.h"
#include "sandbox_core/spec/sandbox_spec.h"

namespace sandbox::isolation {

// Processes and threads of a sandbox whose spec sets no max_processes.
inline constexpr uint64_t kDefaultMaxProcesses = 1024;
// /tmp and /dev/shm together, when a SandboxSpec sets no ephemeral_storage_bytes.
inline constexpr uint64_t kDefaultScratchBytes = uint64_t{1} << 30;
// RLIMIT_NOFILE, soft and hard, instead of whatever the host process has.
inline constexpr uint64_t kSandboxOpenFiles = 4096;

// Fixed sizes of the private /tmp and /dev/shm: together at most the scratch bound (the
// spec's ephemeral_storage_bytes, else kDefaultScratchBytes), whole pages, /dev/shm a
// quarter of it up to 64 MiB. Never zero, which tmpfs would read as no limit. With a
// copy-on-write work directory, its upper layer takes half of what /tmp would have had.
struct ScratchSizes {
  uint64_t tmp_bytes;
  uint64_t shm_bytes;
  uint64_t overlay_bytes = 0;
};
ScratchSizes scratch_sizes(uint64_t ephemeral_storage_bytes, bool overlay = false);

// Whether RLIMIT_NPROC holds for a Linux sandbox: the kernel counts each user namespace's
// processes apart, and exempts only a real uid of the host's root, which no sandbox
// keeps (a root caller's runs under leased ids of its own).
bool nproc_holds_in_own_user_namespace();

// The spawn keys whose limits a Linux backend holds here for the whole sandbox, in a
// fixed order ("memory_bytes", "max_processes", "cpu_milli", "ephemeral_storage_bytes").
// `own_user_namespace`: every sandbox of that backend has a user namespace of ours.
std::vector<std::string> enforced_limits(bool own_user_namespace);

// One spawn's limits, prepared in the parent before the launch.
class SpawnLimits {
 public:
  // Creates the sandbox's control group where this host allows one, and emits a WARN
  // event for each limit a SandboxSpec asks for that cannot be enforced here (the spawn goes
  // on, unless the SandboxSpec sets require_limits: then it is refused). A group that cannot be
  // created where the probe said it could is an error.
  static Result<SpawnLimits, SandboxError> prepare(const SandboxSpec& spec, bool own_user_namespace,
                                                   const CgroupHost& host = cgroup_host());

  // The sandbox has a cgroup v2 group of its own.
  bool own_cgroup2() const { return cgroup_ && cgroup_->dir_fd() >= 0; }
  // The child joins the group first thing and sets the rlimits (added to the SandboxSpec's).
  void apply(LaunchOptions& options) const;
  // After a successful launch: the group lives and dies with the child's record, and the
  // record carries the verdict the Python handle reads.
  void attach(SandboxChild& child);

 private:
  std::unique_ptr<SandboxCgroup> cgroup_;
  std::shared_ptr<LimitVerdict> verdict_;
  uint64_t max_processes_ = 0;  // RLIMIT_NPROC, 0: not set
};

}  // namespace sandbox::isolation
