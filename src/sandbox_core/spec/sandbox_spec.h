// The validated, fully defaulted launch request, and the core's error type with its
// fixed messages. Built once by the spawn entry point and read by one backend.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "sandbox_core/base/io_error.h"
#include "sandbox_core/netfilter/filter.h"

namespace sandbox {

struct ShellScript {
  std::string input;
};
struct PythonScript {
  std::string interpreter = "python3";
  std::string input;
};
struct ArgvScript {
  std::vector<std::string> argv;
};
using ScriptKind = std::variant<ShellScript, PythonScript, ArgvScript>;

struct NetworkBlocked {};
struct NetworkOpen {};
struct NetworkFiltered {
  netfilter::NetworkFilter filter;
};
using NetworkPolicy = std::variant<NetworkBlocked, NetworkOpen, NetworkFiltered>;

// Seconds and nanoseconds (< 1e9); zero means no limit.
struct Timeout {
  uint64_t seconds = 60;
  uint32_t nanos = 0;
  bool is_zero() const { return seconds == 0 && nanos == 0; }
};

struct SandboxSpec {
  ScriptKind script = ShellScript{};
  std::map<std::string, std::string> env;
  std::string work_dir;
  std::optional<std::string> host_work_dir;
  // Neither host_work_dir nor working_dir was given: work_dir is the system temporary
  // directory, which an isolating backend replaces by a fresh private directory.
  bool default_work_dir = false;
  Timeout timeout;
  uint32_t cpu_milli = 0;
  uint64_t memory_bytes = 0;
  uint32_t gpu = 0;
  uint64_t ephemeral_storage_bytes = 0;
  // Processes and threads of the whole sandbox (Linux backends); 0: not set, which
  // gives those backends their default.
  uint32_t max_processes = 0;
  // A limit asked for that this host cannot hold refuses the spawn instead of a warning.
  bool require_limits = false;
  NetworkPolicy network = NetworkBlocked{};
  bool capture_stdout = true;
  bool capture_stderr = true;
  // The child's stderr is its stdout (pipe or null device), as with 2>&1, so the two keep
  // their relative order; capture_stderr is then ignored.
  bool stderr_to_stdout = false;
  // Borrowed; the child's standard input when >= 0 (it must stay open until the launch
  // returns), else the null device.
  int stdin_fd = -1;
  std::vector<std::string> extra_read_only_paths;
  std::vector<std::string> extra_read_write_paths;

  // host_work_dir when present, else work_dir: where the child runs on this platform.
  const std::string& host_dir() const;
};

class SandboxError {
 public:
  enum class Kind : uint8_t {
    ToolUnavailable,
    SetupFailed,
    InvalidSpec,
    HardeningUnavailable,
    Other,
    Io
  };

  static SandboxError tool_unavailable(std::string what);
  static SandboxError setup_failed(int wait_status, std::string stderr_text);
  static SandboxError invalid_spec(std::string what);
  static SandboxError hardening_unavailable(std::string what);
  // `message` first, then each cause in turn (shown only by the verbose form).
  static SandboxError other(std::string message, std::vector<std::string> causes = {});
  static SandboxError io(IoError error);

  Kind kind() const { return kind_; }
  const IoError& io_error() const { return io_; }
  // "isolation tool not available: {}", "backend setup failed:
  // exit=ExitStatus(unix_wait_status(N)), stderr={}", "invalid spec: {}", "isolation hardening
  // unavailable: {}", the wrapped message, "io: {}".
  std::string message() const;
  // Same, except Other appends ": <cause>" for each cause.
  std::string verbose_message() const;

 private:
  Kind kind_ = Kind::Other;
  std::string text_;
  int status_ = 0;
  std::vector<std::string> causes_;
  IoError io_;
};

}  // namespace sandbox
