// Process launch shared by every backend: command assembly, the cleared environment plus
// the backend's defaults, and the launch itself. Runs on the spawning thread; it returns
// once the program has been executed (or the child's failure has been reported).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sandbox_core/base/result.h"
#include "sandbox_core/launch/child_report.h"
#include "sandbox_core/launch/sandbox_child.h"
#include "sandbox_core/spec/sandbox_spec.h"

namespace sandbox {

inline constexpr std::string_view DEFAULT_CHILD_PATH =
    "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

// Message of the Io error for a NUL byte in the program, an argument, the environment or
// the working directory; raised before any process exists.
inline constexpr std::string_view kNulByteMessage = "nul byte found in provided data";

// Ordered (name, value) pairs, each added only when the caller's env lacks the name.
using EnvDefaults = std::vector<std::pair<std::string, std::string>>;

// One argument may hold at most this many bytes, its NUL included (Linux's
// MAX_ARG_STRLEN, 32 pages of 4 KiB).
inline constexpr size_t kMaxArgBytes = 128 * 1024;

// Where a script that does not fit one argument reaches the child: a sealed memory file
// (elsewhere an unlinked temporary file) at this descriptor, kept by the sandbox init.
inline constexpr int kScriptFd = launch_detail::kInitScriptFd;

// The script's source when it is too long for one argument, else null.
const std::string* script_by_descriptor(const SandboxSpec& spec);

// "sh" "-c" input; interpreter "-c" input; or argv unchanged. May be empty (Argv only).
// A script past kMaxArgBytes is read from kScriptFd instead: the shell sources it from
// the descriptor's path, Python compiles it from the descriptor, so $0, sys.argv and
// sys.path are those of the "-c" form.
std::vector<std::string> build_command(const SandboxSpec& spec);

// execvp's search over the child's PATH ("/bin:/usr/bin" when `path` is null): the
// files to try, in order. An empty entry means the current directory, which is the
// child's working directory by then. A program with a "/" is its own only candidate.
std::vector<std::string> exec_candidates(const std::string& program, const std::string* path);

// Limits applied inside the child by enter_session_and_limits; 0 means "not set". The
// spec's own, from child_limits(), and those the isolation adds.
struct ChildLimits {
  uint64_t fsize_bytes = 0;  // RLIMIT_FSIZE, soft and hard
  uint64_t cpu_seconds = 0;  // RLIMIT_CPU, soft and hard
  uint64_t open_files = 0;   // RLIMIT_NOFILE, soft and hard
  uint64_t processes = 0;    // RLIMIT_NPROC, soft and hard
};

// Captured in the parent from the SandboxSpec: the file-size limit
// (ephemeral_storage_bytes), and max(1, timeout seconds * cpu_milli / 1000) CPU-seconds
// when both are non-zero. A product at or above 2^64 saturates to UINT64_MAX before the
// division instead of wrapping.
ChildLimits child_limits(const SandboxSpec& spec);

// Isolation steps a backend adds to a launch. Everything run() touches is prepared in the
// parent before the launch; run() executes in the child after the limits and before
// exec, so it is held to the child's rules: async-signal-safe system calls on prepared
// data, no allocation, locks, logging or exceptions.
// Descriptors a ChildSetup reads in the child must be at or above this number: below it
// the child puts its standard streams' sources and the passed descriptors.
inline constexpr int kSetupFdFloor = 16;

class ChildSetup {
 public:
  virtual ~ChildSetup() = default;
  // In the child: 0, or an errno with report.step (and report.detail) set.
  virtual int run(launch_detail::ChildReport& report) const noexcept = 0;
  // In the parent: what failed, for a record that run() produced ("mount \"/usr\"").
  virtual std::string describe(const launch_detail::ChildReport& report) const = 0;
  // True when run() changes the child's ids while it shares our memory. That resets the
  // dumpable flag of the memory, which every other child sharing it reads when it opens its
  // own /proc files: launch_child lets only one such child run its set-up at a time.
  virtual bool changes_ids() const noexcept { return false; }
};

// A descriptor handed to the child at a fixed number (3 up to kSetupFdFloor - 1), without
// close-on-exec. The caller keeps ownership; it must stay open until launch_child returns.
struct PassedFd {
  int source;
  int target;
};

// How the child starts its program, and what the launch waits for.
enum class ReportMode : uint8_t {
  // The program itself: end of file on the report pipe means it has been executed.
  Exec,
  // The sandbox init, which receives the report pipe at kInitReportFd and reports the
  // target's exec itself. End of file without that record means a set-up tool (bwrap)
  // failed before the init ran: the launch then fails with SetupFailed, carrying the
  // tool's wait status and what it wrote to its standard error, which goes to a
  // diagnostics pipe while the target's standard error reaches the init at kInitStderrFd.
  Init,
};

struct LaunchOptions {
  std::string program;  // searched in the child's PATH when it has no "/"
  std::vector<std::string> args;
  EnvDefaults env_defaults;
  // The only descriptors above 2 the child keeps; every other one is closed at exec.
  std::vector<PassedFd> passed_fds;
  // Non-zero: the child is created by clone() with these CLONE_NEW* flags (Linux), and is
  // the first process of every new namespace. Zero: vfork.
  int namespace_flags = 0;
  const ChildSetup* setup = nullptr;  // borrowed; runs between the limits and exec
  // When >= 0, this descriptor is executed (execveat, AT_EMPTY_PATH) instead of `program`,
  // which then only names argv[0].
  int exec_fd = -1;
  ReportMode report = ReportMode::Exec;
  // Where the child starts on the host when not spec.host_dir(): a work directory that
  // exists only inside the sandbox (its set-up enters it there).
  std::string host_start_dir;
  // The files through which the child joins its control groups, open for writing, at
  // or above kSetupFdFloor: the child writes "0" into each before anything else, so
  // nothing it starts ever runs outside them. Borrowed until launch_child returns.
  std::vector<int> cgroup_join_fds;
  // A v2 group's directory: a namespace child is created in it (and then skips the join
  // files) where the system can. Borrowed like the join files.
  int cgroup_dir_fd = -1;
  // The child's rlimits: child_limits() of the SandboxSpec, then the isolation's.
  ChildLimits limits;
  // ReportMode::Init: the init's end of the control channel (a persistent sandbox's
  // socket), borrowed like the passed descriptors. -1: the launch makes a lifeline pipe
  // whose other end the returned record holds, so the sandbox ends with the host process
  // or with the record, whichever goes first.
  int control_fd = -1;
};

// Starts the child as the leader of a new session and process group: stdin from
// spec.stdin_fd or the null device, a script_by_descriptor() at kScriptFd, stdout/stderr to pipes
// (or the null device when not captured), working directory spec.host_dir(), environment exactly
// spec.env plus the missing defaults, no descriptor above 2 but the passed ones, SIGPIPE and
// SIGXFSZ at their defaults. A program without "/" is searched in the child's own PATH. Failures
// inside the child come back as Io errors after the half-started child has been reaped.
Result<SandboxChild, SandboxError> launch_child(const LaunchOptions& options,
                                                const SandboxSpec& spec);

}  // namespace sandbox
