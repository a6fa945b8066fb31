// The host ids a root caller's sandbox runs under: one uid and gid per live sandbox, from
// a subordinate range that no host account and no other user's subordinate range has.
// A lease is a lock file held with flock for the sandbox's life, so processes on one host
// never share an id, and the kernel releases it when its holder dies. Any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "sandbox_core/base/io_error.h"
#include "sandbox_core/base/result.h"
#include "sandbox_core/base/unique_fd.h"
#include "sandbox_core/launch/sandbox_child.h"

namespace sandbox::isolation {

// The user whose /etc/subuid and /etc/subgid entries ("ventra-sandbox:START:COUNT") set
// the range; without an entry, the default range below.
inline constexpr const char* kSubordinateOwner = "ventra-sandbox";
// Between the ranges systemd hands to containers (up to 1879048191) and its foreign range
// (from 2147352576), and below 2^31, which some tools read as negative.
inline constexpr uint32_t kDefaultIdStart = 0x70000000;  // 1879048192
inline constexpr uint32_t kDefaultIdCount = 65536;

struct IdRange {
  uint32_t uid_start = kDefaultIdStart;
  uint32_t gid_start = kDefaultIdStart;
  uint32_t count = kDefaultIdCount;
};

// The range from the texts of /etc/subuid and /etc/subgid (the owner's entry in each, the
// smaller count of the two), then checked against /etc/passwd, /etc/group and the other
// users' subordinate ranges: the refusal names the first conflict.
Result<IdRange, IoError> choose_id_range(std::string_view subuid, std::string_view subgid,
                                         std::string_view passwd, std::string_view group);

// One sandbox's ids, leased until destruction. The lock file names the holder while it
// holds it and is emptied on release: a later lease that finds a name there knows its
// holder died without releasing, and takes the id only when no process still runs as it.
class SandboxIds final : public ChildResource {
 public:
  SandboxIds(uint32_t uid, uint32_t gid, UniqueFd lock)
      : uid_(uid), gid_(gid), lock_(std::move(lock)) {}
  ~SandboxIds() override;
  uint32_t uid() const { return uid_; }
  uint32_t gid() const { return gid_; }

 private:
  uint32_t uid_, gid_;
  UniqueFd lock_;
};

// The lowest free id of this host's range (read and checked once per process), leased
// through a lock file under a directory only root may use.
Result<std::unique_ptr<SandboxIds>, IoError> lease_sandbox_ids();

}  // namespace sandbox::isolation
