// Per-spawn limits of the Linux sandboxes. Spawning thread (and the listing's).
#include "sandbox_core/isolation/limits.h"

#include <sys/resource.h>

#include <algorithm>

#include "sandbox_core/events/event.h"

namespace sandbox::isolation {

ScratchSizes scratch_sizes(uint64_t ephemeral_storage_bytes) {
  constexpr uint64_t kPage = 4096, kShmMax = uint64_t{64} << 20;
  const uint64_t total =
      ephemeral_storage_bytes != 0 ? ephemeral_storage_bytes : kDefaultScratchBytes;
  const uint64_t shm = std::max(std::min(total / 4, kShmMax) / kPage * kPage, kPage);
  const uint64_t tmp = total > shm ? std::max((total - shm) / kPage * kPage, kPage) : kPage;
  return {tmp, shm};
}

bool nproc_holds_in_own_user_namespace() { return true; }

std::vector<std::string> enforced_limits(bool own_user_namespace) {
  const CgroupHost& host = cgroup_host();
  std::vector<std::string> out;
  if (!host.memory_dir.empty()) out.emplace_back("memory_bytes");
  if (!host.pids_dir.empty() || (own_user_namespace && nproc_holds_in_own_user_namespace())) {
    out.emplace_back("max_processes");
  }
  if (!host.cpu_dir.empty()) out.emplace_back("cpu_milli");
  out.emplace_back("ephemeral_storage_bytes");
  return out;
}

Result<SpawnLimits, SandboxError> SpawnLimits::prepare(const SandboxSpec& spec,
                                                       bool own_user_namespace,
                                                       const CgroupHost& host) {
  SpawnLimits out;
  out.verdict_ = std::make_shared<LimitVerdict>();
  const std::string why = host.reason.empty() ? "" : " (" + host.reason + ")";

  std::string refused;
  auto unheld = [&](const char* key, std::string message) {
    if (spec.require_limits && refused.empty()) refused = std::move(message);
    if (spec.require_limits) return;
    SANDBOX_EVENT(events::Level::Warn, "sandbox_core::isolation", "sandbox_core::isolation::limits",
                  ("message", "limit"), std::move(message), key);
  };
  CgroupLimits limits;
  limits.memory_bytes = spec.memory_bytes;
  limits.max_processes = spec.max_processes != 0 ? spec.max_processes : kDefaultMaxProcesses;
  limits.cpu_milli = spec.cpu_milli;
  if (spec.memory_bytes != 0 && host.memory_dir.empty()) {
    unheld("memory_bytes", "memory_bytes is not enforced on this host: no memory cgroup" + why);
  }
  if (spec.cpu_milli != 0 && host.cpu_dir.empty()) {
    unheld("cpu_milli",
           "cpu_milli caps each process's CPU time only, not the sandbox's CPU rate: "
           "no cpu cgroup" +
               why);
  }
  // Without a pids group, RLIMIT_NPROC inside the sandbox's own user namespace.
  const bool by_nproc = own_user_namespace && nproc_holds_in_own_user_namespace();
  if (host.pids_dir.empty()) {
    if (by_nproc) out.max_processes_ = limits.max_processes;
    if (spec.max_processes != 0 && !by_nproc) {
      unheld("max_processes", "max_processes is not enforced on this host: no pids cgroup" + why +
                                  " and no user namespace of the sandbox's own that counts its "
                                  "processes");
    }
  } else if (own_user_namespace) {
    out.max_processes_ = limits.max_processes;  // the group holds; this only adds a second line
  }

  if (!refused.empty()) return fail(SandboxError::hardening_unavailable(std::move(refused)));
  const bool wants_group = (limits.memory_bytes != 0 && !host.memory_dir.empty()) ||
                           !host.pids_dir.empty() ||
                           (limits.cpu_milli != 0 && !host.cpu_dir.empty());
  if (wants_group) {
    auto group = SandboxCgroup::create(host, limits, out.verdict_);
    if (!group) {
      return fail(
          SandboxError::io(group.error().annotated(" (create the sandbox's control group)")));
    }
    out.cgroup_ = std::move(*group);
  }
  return out;
}

void SpawnLimits::apply(LaunchOptions& options) const {
  if (cgroup_) {
    options.cgroup_join_fds = cgroup_->join_fds();
    options.cgroup_dir_fd = cgroup_->dir_fd();
  }
  // Soft and hard alike; never above the host's hard limit, which no child may raise.
  uint64_t files = kSandboxOpenFiles;
  struct rlimit rl;
  if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_max != RLIM_INFINITY) {
    files = std::min<uint64_t>(files, rl.rlim_max);
  }
  options.limits.open_files = files;
  options.limits.processes = max_processes_;
}

void SpawnLimits::attach(SandboxChild& child) {
  child.verdict() = verdict_;
  if (cgroup_) child.resources().push_back(std::move(cgroup_));
}

}  // namespace sandbox::isolation
