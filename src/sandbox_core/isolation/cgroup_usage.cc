// Counter files of the sandbox's control groups: pure parsers, and the teardown's read of
// one sandbox's groups. Runs on the thread that disposes of the child's record.
#include "sandbox_core/isolation/cgroup_usage.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "sandbox_core/base/unique_fd.h"

namespace sandbox::isolation {
namespace {

std::optional<uint64_t> decimal(std::string_view s) {
  if (s.empty() || s.size() > 20) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

// The next line of `text` (without its newline), consumed.
std::string_view next_line(std::string_view& text) {
  size_t at = text.find('\n');
  std::string_view line = text.substr(0, at);
  text.remove_prefix(at == std::string_view::npos ? text.size() : at + 1);
  return line;
}

// The next space-separated word of `line`, consumed.
std::string_view next_word(std::string_view& line) {
  while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  size_t at = line.find(' ');
  std::string_view word = line.substr(0, at);
  line.remove_prefix(at == std::string_view::npos ? line.size() : at);
  return word;
}

bool add(uint64_t& sum, uint64_t v) {
  if (sum > UINT64_MAX - v) return false;
  sum += v;
  return true;
}

// Counter files are small; a bound keeps a strange one from costing more.
std::optional<std::string> read_file(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
    if (out.size() > (size_t{64} << 10)) return std::nullopt;
  }
  return out;
}

std::optional<uint64_t> counter_file(const std::string& path) {
  auto text = read_file(path);
  return text ? parse_counter(*text) : std::nullopt;
}

std::optional<uint64_t> keyed_file(const std::string& path, std::string_view key) {
  auto text = read_file(path);
  return text ? parse_keyed(*text, key) : std::nullopt;
}

void read_v2(const CgroupUsageDirs& d, Usage& u) {
  if (!d.memory.empty()) {
    if (auto v = counter_file(d.memory + "/memory.peak")) {
      u.peak_memory_bytes.set(*v, "cgroup v2 memory.peak");
    } else {
      u.peak_memory_bytes.unknown("not measured: no memory.peak (kernel before 5.19)");
    }
    if (auto v = keyed_file(d.memory + "/memory.events", "oom_kill")) {
      u.oom_killed.set(*v > 0 ? 1 : 0, "cgroup v2 memory.events");
    }
  }
  if (!d.pids.empty()) {
    if (auto v = counter_file(d.pids + "/pids.peak")) {
      u.max_processes.set(*v, "cgroup v2 pids.peak");
    } else {
      u.max_processes.unknown("not measured: no pids.peak (kernel before 6.1)");
    }
  }
  if (!d.cpu.empty()) {
    auto stat = read_file(d.cpu + "/cpu.stat");
    auto user = stat ? parse_keyed(*stat, "user_usec") : std::nullopt;
    auto sys = stat ? parse_keyed(*stat, "system_usec") : std::nullopt;
    if (user && sys) {
      u.cpu_user_ns.set(*user * 1000, "cgroup v2 cpu.stat");
      u.cpu_system_ns.set(*sys * 1000, "cgroup v2 cpu.stat");
    }
  }
  // io.stat is there only where the io controller is enabled for the group.
  const std::string& any = !d.memory.empty() ? d.memory : !d.pids.empty() ? d.pids : d.cpu;
  if (auto text = any.empty() ? std::nullopt : read_file(any + "/io.stat")) {
    if (auto io = parse_io_stat(*text)) {
      u.io_read_bytes.set(io->read, "cgroup v2 io.stat");
      u.io_write_bytes.set(io->write, "cgroup v2 io.stat");
    }
  }
}

void read_v1(const CgroupUsageDirs& d, Usage& u) {
  if (!d.memory.empty()) {
    if (auto v = counter_file(d.memory + "/memory.max_usage_in_bytes")) {
      u.peak_memory_bytes.set(*v, "cgroup v1 memory.max_usage_in_bytes");
    }
    if (auto v = keyed_file(d.memory + "/memory.oom_control", "oom_kill")) {
      u.oom_killed.set(*v > 0 ? 1 : 0, "cgroup v1 memory.oom_control");
    }
  }
  if (!d.pids.empty()) {
    if (auto v = counter_file(d.pids + "/pids.peak")) {
      u.max_processes.set(*v, "cgroup v1 pids.peak");
    } else {
      u.max_processes.unknown("not measured: no pids.peak (kernel before 6.1)");
    }
  }
  // cpuacct only where it shares the cpu controller's hierarchy ("cpu,cpuacct").
  if (!d.cpu.empty()) {
    auto user = counter_file(d.cpu + "/cpuacct.usage_user");
    auto sys = counter_file(d.cpu + "/cpuacct.usage_sys");
    if (user && sys) {
      u.cpu_user_ns.set(*user, "cgroup v1 cpuacct.usage_user");
      u.cpu_system_ns.set(*sys, "cgroup v1 cpuacct.usage_sys");
    } else if (auto stat = read_file(d.cpu + "/cpuacct.stat")) {
      auto ticks_user = parse_keyed(*stat, "user");
      auto ticks_sys = parse_keyed(*stat, "system");
      const long hz = ::sysconf(_SC_CLK_TCK);
      if (ticks_user && ticks_sys && hz > 0) {
        const uint64_t tick_ns = 1'000'000'000u / static_cast<uint64_t>(hz);
        u.cpu_user_ns.set(*ticks_user * tick_ns, "cgroup v1 cpuacct.stat");
        u.cpu_system_ns.set(*ticks_sys * tick_ns, "cgroup v1 cpuacct.stat");
      }
    }
  }
}

}  // namespace

std::optional<uint64_t> parse_counter(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  return decimal(text);
}

std::optional<uint64_t> parse_keyed(std::string_view text, std::string_view key) {
  while (!text.empty()) {
    std::string_view line = next_line(text);
    if (next_word(line) != key) continue;
    auto v = decimal(next_word(line));
    if (!v || !next_word(line).empty()) return std::nullopt;
    return v;
  }
  return std::nullopt;
}

std::optional<IoBytes> parse_io_stat(std::string_view text) {
  IoBytes out;
  while (!text.empty()) {
    std::string_view line = next_line(text);
    std::string_view device = next_word(line);
    if (device.empty()) continue;
    if (device.find(':') == std::string_view::npos) return std::nullopt;
    for (std::string_view w = next_word(line); !w.empty(); w = next_word(line)) {
      size_t eq = w.find('=');
      if (eq == std::string_view::npos) return std::nullopt;
      std::string_view k = w.substr(0, eq);
      if (k != "rbytes" && k != "wbytes") continue;  // rios, dbytes, ... are not ours
      auto v = decimal(w.substr(eq + 1));
      if (!v || !add(k == "rbytes" ? out.read : out.write, *v)) return std::nullopt;
    }
  }
  return out;
}

std::optional<IoBytes> parse_blkio_service_bytes(std::string_view text) {
  IoBytes out;
  bool total = false;
  while (!text.empty()) {
    std::string_view line = next_line(text);
    std::string_view first = next_word(line);
    if (first.empty()) continue;
    if (first == "Total") {
      if (!decimal(next_word(line))) return std::nullopt;
      total = true;
      continue;
    }
    std::string_view op = next_word(line);
    auto v = decimal(next_word(line));
    if (first.find(':') == std::string_view::npos || !v) return std::nullopt;
    if (op == "Read" && !add(out.read, *v)) return std::nullopt;
    if (op == "Write" && !add(out.write, *v)) return std::nullopt;
  }
  if (!total) return std::nullopt;
  return out;
}

void read_cgroup_usage(const CgroupUsageDirs& dirs, Usage& usage) {
  if (dirs.version == CgroupVersion::V2) read_v2(dirs, usage);
  if (dirs.version == CgroupVersion::V1) read_v1(dirs, usage);
}

}  // namespace sandbox::isolation
