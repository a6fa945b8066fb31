// What a control group measured about its run: pure parsers of the counter files of
// cgroup v2 (cpu.stat, memory.peak, memory.events, io.stat, pids.peak) and v1
// (memory.max_usage_in_bytes, memory.oom_control, cpuacct.usage_user/_sys, cpuacct.stat,
// blkio.throttle.io_service_bytes), and the read of one group's files into a Usage.
// The parsers take any bytes: a malformed text is no figure, never a guessed one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sandbox_core/isolation/cgroup.h"
#include "sandbox_core/launch/run_record.h"

namespace sandbox::isolation {

// A file holding one decimal number and a newline (memory.peak, pids.peak,
// memory.max_usage_in_bytes, cpuacct.usage_user); nothing for "max" or anything else.
std::optional<uint64_t> parse_counter(std::string_view text);

// The value of `key` in "key value" lines (cpu.stat, memory.events, memory.oom_control,
// cpuacct.stat); nothing when the key is missing or its value is not a plain decimal.
std::optional<uint64_t> parse_keyed(std::string_view text, std::string_view key);

struct IoBytes {
  uint64_t read = 0;
  uint64_t write = 0;
};
// v2 io.stat, "MAJ:MIN rbytes=N wbytes=N rios=N ..." per device: the sums over devices.
// An empty file (no I/O yet) is zero; a malformed line is no figure.
std::optional<IoBytes> parse_io_stat(std::string_view text);
// v1 blkio.throttle.io_service_bytes, "MAJ:MIN Read N" lines per device and operation
// and a "Total N" line: the sums of Read and Write over devices.
std::optional<IoBytes> parse_blkio_service_bytes(std::string_view text);

// Where a sandbox's counters are: the group directory of each controller, "" where the
// sandbox has no group of that controller.
struct CgroupUsageDirs {
  CgroupVersion version = CgroupVersion::None;
  std::string memory;
  std::string pids;
  std::string cpu;
};

// Reads the group's counters into `usage`, replacing figures the reap took from the
// host's wait4 where the group measures them itself (it also counts processes nobody
// waited for). Call before the groups are removed. Touches the cgroup file system.
void read_cgroup_usage(const CgroupUsageDirs& dirs, Usage& usage);

}  // namespace sandbox::isolation
