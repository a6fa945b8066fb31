// The run record's defaults, the rusage figures and the bounded egress log. The log is
// appended to by proxy threads and read by the handle's thread, under its lock.
#include "sandbox_core/launch/run_record.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "sandbox_core/launch/control_record.h"

namespace sandbox {

Usage::Usage() {
  constexpr const char* kNotReaped = "not measured: the run was not reaped";
  wall_ns.unknown(kNotReaped);
  cpu_user_ns.unknown(kNotReaped);
  cpu_system_ns.unknown(kNotReaped);
  io_read_bytes.unknown(kNotReaped);
  io_write_bytes.unknown(kNotReaped);
  peak_memory_bytes.unknown("not measured: no memory cgroup for this run");
  oom_killed.unknown("not measured: no memory cgroup for this run");
  max_processes.unknown("not measured: no pids cgroup for this run");
  peak_rss_bytes.unknown(
      "not measured: the host's wait4 carries the spawning process's own peak");
}

void apply_wait_rusage(Usage& usage, const struct rusage& ru) {
  auto ns = [](const timeval& tv) {
    return static_cast<uint64_t>(tv.tv_sec) * 1'000'000'000u +
           static_cast<uint64_t>(tv.tv_usec) * 1'000u;
  };
  // A control group's figures, read later in the teardown, replace these.
  usage.cpu_user_ns.set(ns(ru.ru_utime), "wait4");
  usage.cpu_system_ns.set(ns(ru.ru_stime), "wait4");
  // Blocks of 512 bytes that went to or came from storage (not page cache hits).
  usage.io_read_bytes.set(static_cast<uint64_t>(ru.ru_inblock) * 512u, "wait4");
  usage.io_write_bytes.set(static_cast<uint64_t>(ru.ru_oublock) * 512u, "wait4");
}

void apply_relayed_usage(Usage& usage, int lifeline_fd) {
  using launch_detail::ControlReport;
  char buf[sizeof(ControlReport) + 1];
  ssize_t n;
  while ((n = ::recv(lifeline_fd, buf, sizeof buf, MSG_DONTWAIT)) < 0 && errno == EINTR) {
  }
  if (n != static_cast<ssize_t>(sizeof(ControlReport))) {
    usage.peak_rss_bytes.unknown(
        n <= 0 ? "not measured: the sandbox's init relayed no usage (it did not reach its end)"
               : "not measured: the sandbox's init relayed a malformed usage record");
    return;
  }
  ControlReport r;
  std::memcpy(&r, buf, sizeof r);
  if (r.kind != launch_detail::kReportExited || r.id != 0 || r.maxrss_kb < 0 ||
      r.maxrss_kb > (INT64_MAX >> 10)) {
    usage.peak_rss_bytes.unknown("not measured: the sandbox's init relayed a malformed usage record");
    return;
  }
  usage.peak_rss_bytes.set(static_cast<uint64_t>(r.maxrss_kb) << 10,
                           "relayed from inside the sandbox: its init's rusage of every process "
                           "it reaped (forgeable by code in the sandbox)");
}

void EgressLog::add(const EgressEntry& entry) {
  const size_t size = sizeof entry + entry.host.size() + entry.address.size() + entry.reason.size();
  std::lock_guard lock(mutex_);
  if (entries_.size() >= max_entries_ || bytes_ + size > max_bytes_) {
    ++dropped_;
    return;
  }
  bytes_ += size;
  entries_.push_back(entry);
}

EgressLog::Snapshot EgressLog::snapshot() const {
  std::lock_guard lock(mutex_);
  return Snapshot{entries_, dropped_};
}

}  // namespace sandbox
