// What one run used and where its connections went, filled in by the owners that know:
// the reap (the host's wait4 and clock), the control group's teardown, the network
// fence's connections. Handed out as plain data once the record has been disposed of.
// The usage is written only by the thread that disposes of the record; the egress log
// takes its own lock, since proxy threads append to it while the run lasts.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sandbox {

// One measured figure and where it came from. A figure nothing on this host measured is
// not `known`, and `source` says why.
struct Figure {
  uint64_t value = 0;
  bool known = false;
  const char* source = "not measured";

  void set(uint64_t v, const char* from) {
    value = v;
    known = true;
    source = from;
  }
  void unknown(const char* why) {
    known = false;
    value = 0;
    source = why;
  }
};

// Times in nanoseconds; oom_killed is 0 or 1.
struct Usage {
  Figure wall_ns;
  Figure cpu_user_ns;
  Figure cpu_system_ns;
  Figure peak_memory_bytes;  // the whole sandbox, page cache and tmpfs included
  Figure peak_rss_bytes;     // the largest single process
  Figure max_processes;
  Figure io_read_bytes;
  Figure io_write_bytes;
  Figure oom_killed;

  // Every figure unknown, each with the reason that holds until an owner measures it.
  Usage();
};

// The figures of a reap's rusage (the host's wait4 on the sandbox's first process, which
// covers every descendant that was waited for): CPU and block I/O. Its maxrss is left
// out: a child created from this process starts with our high-water mark.
void apply_wait_rusage(Usage& usage, const struct rusage& ru);

// The figures a one-shot sandbox's init relayed as it ended, read from the host's end of
// its lifeline (without blocking, one record of exactly its size): the largest single
// process's peak resident set. Code in the sandbox could forge them, so they fill only
// what nothing on the host measured. No record, or a malformed one: None, with why.
void apply_relayed_usage(Usage& usage, int lifeline_fd);

enum class EgressVerdict : uint8_t { Admitted, Refused, Failed };

// One decision of a proxy: a destination admitted (a tunnel or a forwarded request),
// refused by the filter, or admitted but not reached. Names are the client's bytes, kept
// as they came.
struct EgressEntry {
  int64_t time_ns = 0;         // the decision, in Unix time
  const char* protocol = "";   // the proxy's scheme: "http", "socks5h"
  std::string host;
  uint16_t port = 0;
  std::string address;         // the resolved address it went or would go to; "" if none
  EgressVerdict verdict = EgressVerdict::Refused;
  std::string reason;          // why refused or failed; "" when admitted
  bool tunnel = false;         // bytes and duration below are measured
  uint64_t bytes_up = 0;       // client to destination
  uint64_t bytes_down = 0;
  int64_t duration_ns = 0;
};

// A bounded list of decisions, in the order they were settled: at most `max_entries`
// and about `max_bytes` of text, the rest counted as dropped. Any thread.
class EgressLog {
 public:
  static constexpr size_t kMaxEntries = 1000;
  static constexpr size_t kMaxBytes = size_t{256} << 10;

  explicit EgressLog(size_t max_entries = kMaxEntries, size_t max_bytes = kMaxBytes)
      : max_entries_(max_entries), max_bytes_(max_bytes) {}

  void add(const EgressEntry& entry);
  struct Snapshot {
    std::vector<EgressEntry> entries;
    uint64_t dropped = 0;
  };
  Snapshot snapshot() const;

 private:
  const size_t max_entries_, max_bytes_;
  mutable std::mutex mutex_;
  std::vector<EgressEntry> entries_;
  size_t bytes_ = 0;
  uint64_t dropped_ = 0;
};

// Where a run's egress decisions are kept. Under the fence each connection of the run is
// tagged with the run's log on its way to the proxy, so the log is the run's exactly.
struct RunRecord {
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  Usage usage;
  std::shared_ptr<EgressLog> egress;  // null: the run's egress is not told apart
};

}  // namespace sandbox
