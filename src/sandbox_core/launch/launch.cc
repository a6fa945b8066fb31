// Parent side of the launch: builds the plan (owned strings, argv/envp arrays, exec
// candidates, limits, descriptors), creates the child with signals blocked, and reads
// the report pipe to end of file. Runs on the spawning thread.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#if defined(__linux__)
#include <sys/syscall.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <limits>
#include <condition_variable>
#include <map>
#include <mutex>

#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/base/path_list.h"
#include "sandbox_core/base/platform.h"
#include "sandbox_core/base/thread.h"
#include "sandbox_core/launch/child_plan.h"
#include "sandbox_core/launch/stdin_feed.h"

namespace sandbox {

namespace {

#if defined(__linux__)
// The sandboxes have a /proc of their own, where "self" is the reader.
#define SANDBOX_SCRIPT_PATH "/proc/self/fd/"
#else
#define SANDBOX_SCRIPT_PATH "/dev/fd/"
#endif
#define SANDBOX_STR2(x) #x
#define SANDBOX_STR(x) SANDBOX_STR2(x)
static_assert(launch_detail::kInitScriptFd == 5, "the script commands below name fd 5");
// Sourced rather than run as a file, so that $0 stays "sh" as with -c.
constexpr const char kShellFromFd[] = ". " SANDBOX_SCRIPT_PATH SANDBOX_STR(5);
// Read through the descriptor itself (no path, so nothing to reopen), closed after; the
// code runs in __main__ with "-c"'s argv and path, and tracebacks name "<string>".
constexpr const char kPythonFromFd[] = "exec(compile(open(5, 'rb').read(), '<string>', 'exec'))";
#undef SANDBOX_STR
#undef SANDBOX_STR2
#undef SANDBOX_SCRIPT_PATH

}  // namespace

const std::string* script_by_descriptor(const SandboxSpec& spec) {
  const std::string* input = nullptr;
  if (auto* sh = std::get_if<ShellScript>(&spec.script)) input = &sh->input;
  if (auto* py = std::get_if<PythonScript>(&spec.script)) input = &py->input;
  return input != nullptr && input->size() + 1 > kMaxArgBytes ? input : nullptr;
}

std::vector<std::string> build_command(const SandboxSpec& spec) {
  const bool by_fd = script_by_descriptor(spec) != nullptr;
  struct Visitor {
    bool by_fd;
    std::vector<std::string> operator()(const ShellScript& s) const {
      return {"sh", "-c", by_fd ? std::string(kShellFromFd) : s.input};
    }
    std::vector<std::string> operator()(const PythonScript& s) const {
      return {s.interpreter, "-c", by_fd ? std::string(kPythonFromFd) : s.input};
    }
    std::vector<std::string> operator()(const ArgvScript& s) const { return s.argv; }
  };
  return std::visit(Visitor{by_fd}, spec.script);
}

ChildLimits child_limits(const SandboxSpec& spec) {
  const uint64_t timeout_seconds = spec.timeout.seconds;
  const uint32_t cpu_milli = spec.cpu_milli;
  ChildLimits limits;
  limits.fsize_bytes = spec.ephemeral_storage_bytes;
  if (cpu_milli != 0 && timeout_seconds != 0) {
    uint64_t product = 0;
    if (__builtin_mul_overflow(timeout_seconds, static_cast<uint64_t>(cpu_milli), &product)) {
      product = std::numeric_limits<uint64_t>::max();
    }
    limits.cpu_seconds = product / 1000;
    if (limits.cpu_seconds == 0) limits.cpu_seconds = 1;
  }
  return limits;
}

namespace {

using launch_detail::ChildPlan;
using launch_detail::ChildReport;
using namespace launch_detail;  // step numbers

bool has_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

SandboxError nul_error() { return SandboxError::io(IoError::custom(kNulByteMessage, EINVAL)); }

// Owned storage behind a ChildPlan; must outlive the child's exec.
struct LaunchPlan {
  std::vector<std::string> argv_storage;
  std::vector<char*> argv;
  std::vector<std::string> env_storage;
  std::vector<char*> envp;
  std::vector<std::string> candidates;
  std::vector<const char*> candidate_ptrs;
  std::string work_dir;
  ChildLimits limits;
};

}  // namespace

std::vector<std::string> exec_candidates(const std::string& program, const std::string* path) {
  if (program.empty()) return {};
  if (program.find('/') != std::string::npos) return {program};
  std::vector<std::string> out;
  for_each_path_entry(path ? std::string_view(*path) : std::string_view("/bin:/usr/bin"),
                      [&](std::string_view dir) {
                        out.push_back(path_join(dir, program));
                        return false;
                      });
  return out;
}

namespace {

Result<LaunchPlan, SandboxError> build_plan(const LaunchOptions& options, const SandboxSpec& spec) {
  LaunchPlan plan;
  plan.argv_storage.reserve(options.args.size() + 1);
  plan.argv_storage.push_back(options.program);
  for (const auto& a : options.args) plan.argv_storage.push_back(a);
  for (const auto& a : plan.argv_storage) {
    if (has_nul(a)) return fail(nul_error());
  }

  std::map<std::string, std::string> env = spec.env;
  for (const auto& [name, value] : options.env_defaults) env.emplace(name, value);  // no overwrite
  for (const auto& [name, value] : env) {
    if (has_nul(name) || has_nul(value)) return fail(nul_error());
    plan.env_storage.push_back(name + "=" + value);
  }

  plan.work_dir = options.host_start_dir.empty() ? spec.host_dir() : options.host_start_dir;
  if (has_nul(plan.work_dir)) return fail(nul_error());

  if (options.exec_fd < 0) {
    auto path_it = env.find("PATH");
    plan.candidates =
        exec_candidates(options.program, path_it == env.end() ? nullptr : &path_it->second);
  }

  for (auto& a : plan.argv_storage) plan.argv.push_back(a.data());
  plan.argv.push_back(nullptr);
  for (auto& e : plan.env_storage) plan.envp.push_back(e.data());
  plan.envp.push_back(nullptr);
  for (auto& c : plan.candidates) plan.candidate_ptrs.push_back(c.c_str());

  plan.limits = options.limits;
  return plan;
}

// Every source the child dup2s must sit above every number it dup2s onto (0..2 and the
// passed targets), or an earlier dup2 would clobber a later source. A host that closed
// its own stdio hands out low numbers, hence the move.
Result<UniqueFd, IoError> above(UniqueFd fd, int floor) {
  if (fd.get() >= floor) return fd;
  int d = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, floor);
  if (d < 0) return fail(IoError::last());
  return UniqueFd(d);
}

// A 1 MiB capture pipe lets a fast writer run ahead of the drain and halves the
// switches between them. Best effort: an unprivileged user's pipe budget is limited,
// and the default size works, only slower.
void widen_pipe(int fd) {
  constexpr int kCapturePipeBytes = 1 << 20;
  (void)set_pipe_capacity(fd, kCapturePipeBytes);
}

// Waits for the child; its wait status, or 0 when it could not be waited for.
int reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

int fd_scan_limit() {
  constexpr rlim_t kMaxScan = 1 << 20;
  struct rlimit rl;
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return kMaxScan;
  return static_cast<int>(std::min(rl.rlim_cur, kMaxScan));
}

// The stack a namespace child runs on (clone needs one of its own even with CLONE_VM);
// unmapped when the launch returns, after the child has exec'd or exited.
class CloneStack {
 public:
  static constexpr size_t kBytes = launch_detail::kCloneStackBytes;
  bool allocate() {
    void* p = ::mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    base_ = p;
    return true;
  }
  void* top() const { return static_cast<char*>(base_) + kBytes; }
  ~CloneStack() {
    if (base_ != nullptr) ::munmap(base_, kBytes);
  }

 private:
  void* base_ = nullptr;
};

// Reads one record, or reports end of file (nullopt). Short records count as end of file
// that lost its record: the launch then fails with "failed to fill whole buffer".
struct ReportRead {
  bool eof = false;
  bool torn = false;
  ChildReport rec{};
};
ReportRead read_report(int fd) {
  ReportRead out;
  size_t got = 0;
  while (got < sizeof out.rec) {
    ssize_t n = ::read(fd, reinterpret_cast<char*>(&out.rec) + got, sizeof out.rec - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  out.eof = got == 0;
  out.torn = got != 0 && got != sizeof out.rec;
  return out;
}

bool is_setup_step(int32_t step) { return step >= kStepIdMap && step < kStepInitFork; }

SandboxError child_failure(const ChildReport& rec, const ChildSetup* setup) {
  if (rec.step == kStepExecInit) {
    return SandboxError::io(
        IoError::custom("start the sandbox init: " + os_error_text(rec.error), rec.error));
  }
  if (rec.step == kStepCgroup) {
    return SandboxError::io(IoError::custom(
        "join the sandbox's control group: " + os_error_text(rec.error), rec.error));
  }
  if (rec.step == kStepInitFork) {
    return SandboxError::io(
        IoError::custom("sandbox init fork: " + os_error_text(rec.error), rec.error));
  }
  if (is_setup_step(rec.step) && setup != nullptr) {
    return SandboxError::io(
        IoError::custom(setup->describe(rec) + ": " + os_error_text(rec.error), rec.error));
  }
  return SandboxError::io(IoError::from_errno(rec.error));
}

// The script in a file of its own, read from the start: the child may reopen it by path
// but can change nothing.
Result<UniqueFd, IoError> script_file(const std::string& source) {
  return anonymous_file("sandbox-script", source, Seal::Yes);
}

// What a set-up tool wrote before it died, for SetupFailed: everything it wrote is
// already in the pipe, since the tool and its children are gone by now.
std::string read_diagnostics(int fd) {
  constexpr size_t kMaxDiagnostics = 4096;
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  std::string text;
  char buf[512];
  while (text.size() < kMaxDiagnostics) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  if (text.size() > kMaxDiagnostics) text.resize(kMaxDiagnostics);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace

namespace {

Unexpected<SandboxError> io_failure(IoError e) { return fail(SandboxError::io(std::move(e))); }

// The descriptors of one launch: the parent's ends, and the child's sources, which sit
// above `floor` so no dup2 in the child clobbers a later source. The child's are closed
// once it exists, or the report pipe never reaches end of file.
struct LaunchFds {
  bool init_mode = false;
  int floor = 3;
  UniqueFd null_dev;
  UniqueFd out_read, out_write, err_read, err_write;
  UniqueFd report_read, report_write;
  UniqueFd diag_read, diag_write;
  std::vector<UniqueFd> passed_copies;  // the caller's sources, copied above the floor
  UniqueFd exec_copy;
  UniqueFd script;      // a script too long for one argument, passed at kScriptFd
  UniqueFd stdin_copy;  // the caller's standard input (or the feed's pipe), above the floor
  UniqueFd stdin_file, stdin_feed;  // a regular file as input, and the pipe end it is fed into
  UniqueFd lifeline;    // the host's end of the init's lifeline, kept by the record

  // Like 2>&1 when asked: one pipe keeps the two streams in the order they were written.
  int target_stdout() const { return out_write ? out_write.get() : null_dev.get(); }
  int target_stderr(const SandboxSpec& spec) const {
    return spec.stderr_to_stdout ? target_stdout() : err_write ? err_write.get() : null_dev.get();
  }
  void close_child_ends() {
    report_write.reset();
    out_write.reset();
    err_write.reset();
    null_dev.reset();
    stdin_copy.reset();
    script.reset();
    diag_write.reset();
    passed_copies.clear();
  }
};

Result<UniqueFd, SandboxError> above_floor(UniqueFd fd, int floor) {
  auto moved = above(std::move(fd), floor);
  if (!moved) return io_failure(moved.error());
  return std::move(*moved);
}

Result<Pipe, SandboxError> pipe_above(int floor) {
  auto p = make_pipe();
  if (!p) return io_failure(p.error());
  SANDBOX_ASSIGN_OR_RETURN(p->write, above_floor(std::move(p->write), floor));
  return std::move(*p);
}

// Above every number the child dup2s onto: the standard streams, the passed targets,
// for the init its own three, and the script's.
Result<int, SandboxError> descriptor_floor(const LaunchOptions& options, bool with_script) {
  int floor = 3;
  for (const auto& p : options.passed_fds) floor = std::max(floor, p.target + 1);
  if (options.report == ReportMode::Init)
    floor = std::max(floor, static_cast<int>(kInitControlFd) + 1);
  if (with_script) floor = std::max(floor, kScriptFd + 1);
  // The init's report pipe, standard error and control channel, and the script.
  if (options.passed_fds.size() + 4 > kMaxPassedFds || floor > kSetupFdFloor) {
    return io_failure(IoError::custom("too many descriptors passed to the child", EINVAL));
  }
  return floor;
}

// The null device, the capture pipes and the report pipe.
Result<void, SandboxError> open_streams(const SandboxSpec& spec, LaunchFds& fds) {
  int null_dev = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_dev < 0) return io_failure(IoError::last());
  SANDBOX_ASSIGN_OR_RETURN(fds.null_dev, above_floor(UniqueFd(null_dev), fds.floor));
  if (spec.capture_stdout) {
    SANDBOX_ASSIGN_OR_RETURN(Pipe out, pipe_above(fds.floor));
    widen_pipe(out.read.get());
    fds.out_read = std::move(out.read);
    fds.out_write = std::move(out.write);
  }
  if (spec.capture_stderr && !spec.stderr_to_stdout) {
    SANDBOX_ASSIGN_OR_RETURN(Pipe err, pipe_above(fds.floor));
    widen_pipe(err.read.get());
    fds.err_read = std::move(err.read);
    fds.err_write = std::move(err.write);
  }
  SANDBOX_ASSIGN_OR_RETURN(Pipe report, pipe_above(fds.floor));
  fds.report_read = std::move(report.read);
  fds.report_write = std::move(report.write);
  return {};
}

// The caller's passed descriptors and, for the init, the report pipe and the target's
// standard error at its fixed numbers, plus the diagnostics pipe that fd 2 becomes: it
// then carries only what a set-up tool says before the init runs.
Result<void, SandboxError> pass_descriptors(const LaunchOptions& options, const SandboxSpec& spec,
                                            LaunchFds& fds, ChildPlan& child) {
  auto pass = [&](int source, int target) -> Result<void, SandboxError> {
    auto copy = dup_cloexec(source);
    if (!copy) return io_failure(copy.error());
    SANDBOX_ASSIGN_OR_RETURN(UniqueFd moved, above_floor(std::move(*copy), fds.floor));
    child.passed[child.passed_count++] = PassedFd{moved.get(), target};
    fds.passed_copies.push_back(std::move(moved));
    return {};
  };
  for (const auto& p : options.passed_fds) SANDBOX_TRY(pass(p.source, p.target));
  if (fds.script) SANDBOX_TRY(pass(fds.script.get(), kScriptFd));
  if (spec.stdin_fd >= 0) {
    auto copy = dup_cloexec(spec.stdin_fd);
    if (!copy) return io_failure(copy.error());
    struct stat st;
    if (::fstat(copy->get(), &st) == 0 && S_ISREG(st.st_mode)) {
      // Never the file itself: through /proc/self/fd/0 it reopens for writing.
      SANDBOX_ASSIGN_OR_RETURN(Pipe feed, pipe_above(fds.floor));
      fds.stdin_file = std::move(*copy);
      fds.stdin_feed = std::move(feed.write);
      SANDBOX_ASSIGN_OR_RETURN(fds.stdin_copy, above_floor(std::move(feed.read), fds.floor));
    } else {
      SANDBOX_ASSIGN_OR_RETURN(fds.stdin_copy, above_floor(std::move(*copy), fds.floor));
    }
  }
  if (!fds.init_mode) return {};
  SANDBOX_TRY(pass(fds.report_write.get(), kInitReportFd));
  SANDBOX_TRY(pass(fds.target_stderr(spec), kInitStderrFd));
  if (options.control_fd >= 0) {
    SANDBOX_TRY(pass(options.control_fd, kInitControlFd));
  } else {
    // A socket, not a pipe: the init's usage comes back on it as the init ends.
    int pair[2];
#ifdef SOCK_CLOEXEC
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
      return io_failure(IoError::last());
#else
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0) return io_failure(IoError::last());
    (void)::fcntl(pair[0], F_SETFD, FD_CLOEXEC);
    (void)::fcntl(pair[1], F_SETFD, FD_CLOEXEC);
#endif
    UniqueFd host_end(pair[0]), init_end(pair[1]);
    SANDBOX_TRY(pass(init_end.get(), kInitControlFd));
    fds.lifeline = std::move(host_end);
  }
  SANDBOX_ASSIGN_OR_RETURN(Pipe diag, pipe_above(fds.floor));
  fds.diag_read = std::move(diag.read);
  fds.diag_write = std::move(diag.write);
  return {};
}

// Everything else the child reads, pointing into `plan` and `fds`.
Result<void, SandboxError> fill_child_plan(const LaunchPlan& plan, const LaunchOptions& options,
                                           const SandboxSpec& spec, LaunchFds& fds,
                                           ChildPlan& child) {
  child.argv = plan.argv.data();
  child.envp = plan.envp.data();
  child.exec_candidates = plan.candidate_ptrs.data();
  child.candidate_count = plan.candidate_ptrs.size();
  child.exec_fd = options.exec_fd;
  if (options.exec_fd >= 0 && options.exec_fd < kSetupFdFloor) {
    // Clear of the numbers the child dup2s onto.
    auto copy = dup_cloexec(options.exec_fd);
    if (!copy) return io_failure(copy.error());
    SANDBOX_ASSIGN_OR_RETURN(fds.exec_copy, above_floor(std::move(*copy), kSetupFdFloor));
    child.exec_fd = fds.exec_copy.get();
  }
  child.work_dir = plan.work_dir.c_str();
  child.stdio[0] = fds.stdin_copy ? fds.stdin_copy.get() : fds.null_dev.get();
  child.stdio[1] = fds.target_stdout();
  child.stdio[2] = fds.init_mode ? fds.diag_write.get() : fds.target_stderr(spec);
  child.fd_scan_limit = fd_scan_limit();
  child.limits = plan.limits;
  child.cgroup_fds = options.cgroup_join_fds.data();
  child.cgroup_fd_count = options.cgroup_join_fds.size();
  child.clone_into_cgroup = options.cgroup_dir_fd;
  child.setup = options.setup;
  child.namespace_flags = options.namespace_flags;
  return {};
}

// start_child with every signal of this thread blocked; the pid, or -errno.
pid_t start_blocked(const ChildPlan& child, int report_fd) {
  sigset_t all, before;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &before);
  pid_t pid = launch_detail::start_child(child, report_fd);
  int create_errno = errno;
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return pid < 0 ? -create_errno : pid;
}

#if defined(__linux__)
// A plain child's parent-death signal follows the thread that made it, not the process.
// So children of any thread but the process's first are made on one thread that lives as
// long as the process ("sbx-spawner"), one at a time; the first thread makes its own.
class Spawner {
 public:
  static pid_t start(const ChildPlan& child, int report_fd) {
    static Spawner* current = nullptr;
    static std::mutex guard;
    std::unique_lock lock(guard);  // one child at a time
    // A forked host has no spawner thread: it gets one of its own (the old one leaks).
    if (current == nullptr || current->owner_ != ::getpid()) {
      auto* made = new Spawner;
      if (!spawn_detached("sbx-spawner", [made] { made->serve(); })) return -EAGAIN;
      current = made;
    }
    return current->run(child, report_fd);
  }

 private:
  pid_t run(const ChildPlan& child, int report_fd) {
    std::unique_lock lock(m_);
    job_ = &child;
    report_fd_ = report_fd;
    done_ = false;
    cv_.notify_all();
    cv_.wait(lock, [&] { return done_; });
    return pid_;
  }
  [[noreturn]] void serve() {
    std::unique_lock lock(m_);
    for (;;) {
      cv_.wait(lock, [&] { return job_ != nullptr; });
      pid_ = start_blocked(*job_, report_fd_);
      job_ = nullptr;
      done_ = true;
      cv_.notify_all();
    }
  }

  pid_t owner_ = ::getpid();
  std::mutex m_;
  std::condition_variable cv_;
  const ChildPlan* job_ = nullptr;
  int report_fd_ = -1;
  pid_t pid_ = -1;
  bool done_ = false;
};
#endif

// Creates the child with every signal blocked: no handler of the host may run in the child
// while it shares our memory; the child resets the handlers before it restores the mask
// of the spawning thread. No lock around the creation: the child marks every inherited
// descriptor close-on-exec first, so one that another thread has not yet marked cannot
// reach the program.
Result<pid_t, SandboxError> create_child(ChildPlan& child, int report_fd) {
  // Returns once the child has exec'd or exited (vfork), so the stack can go with it.
  CloneStack stack;
  if (child.namespace_flags != 0) {
    if (!stack.allocate()) return io_failure(IoError::last());
    child.clone_stack_top = stack.top();
  }
  ::pthread_sigmask(SIG_SETMASK, nullptr, &child.restore_mask);
  pid_t pid = -1;
#if defined(__linux__)
  // A namespace child runs the init, which watches the host's lifeline instead.
  if (child.namespace_flags == 0) {
    child.parent_pid = ::getpid();
    if (static_cast<pid_t>(::syscall(SYS_gettid)) != child.parent_pid) {
      pid = Spawner::start(child, report_fd);
      if (pid < 0) return io_failure(IoError::from_errno(-pid));
      return pid;
    }
  }
#endif
  pid = start_blocked(child, report_fd);
  if (pid < 0) return io_failure(IoError::from_errno(-pid));
  return pid;
}

// Reads the report pipe until the program (or the init's target) has been executed; on a
// failure record, a torn record or a set-up tool's silent death, reaps the child first.
Result<void, SandboxError> await_exec(pid_t pid, const LaunchFds& fds, const ChildSetup* setup) {
  for (;;) {
    ReportRead r = read_report(fds.report_read.get());
    if (r.torn) {
      reap(pid);
      return io_failure(IoError::custom(kFillWholeBuffer, EIO));
    }
    if (r.eof) {
      if (!fds.init_mode) return {};  // the exec closed the pipe
      int status = reap(pid);
      return fail(SandboxError::setup_failed(status, read_diagnostics(fds.diag_read.get())));
    }
    if (r.rec.error != 0) {
      reap(pid);
      return fail(child_failure(r.rec, setup));
    }
    if (r.rec.step == kStepInitExec) return {};  // the init ran the target
  }
}

// A child that becomes another user resets the dumpable flag of the memory it shares with
// us, and with every other child being set up: one of those that has just set the flag
// back would then find its /proc/self files root's and fail to write its id maps. Such
// set-ups take turns, from the clone to the exec, which is when the vfork clone returns.
std::unique_lock<std::mutex> id_change_turn(const ChildSetup* setup) {
  static std::mutex turn;
  if (setup == nullptr || !setup->changes_ids()) return {};
  return std::unique_lock(turn);
}

SandboxChild adopt_child(pid_t pid, LaunchFds& fds) {
  SandboxChild child(pid, std::move(fds.out_read), std::move(fds.err_read));
  child.pidfd() = open_pidfd(pid);
  child.lifeline() = std::move(fds.lifeline);
  return child;
}

}  // namespace

Result<SandboxChild, SandboxError> launch_child(const LaunchOptions& options,
                                                const SandboxSpec& spec) {
  SANDBOX_ASSIGN_OR_RETURN(const LaunchPlan plan, build_plan(options, spec));
  LaunchFds fds;
  fds.init_mode = options.report == ReportMode::Init;
  if (const std::string* source = script_by_descriptor(spec)) {
    auto made = script_file(*source);
    if (!made) return io_failure(made.error());
    fds.script = std::move(*made);
  }
  SANDBOX_ASSIGN_OR_RETURN(fds.floor, descriptor_floor(options, static_cast<bool>(fds.script)));
  SANDBOX_TRY(open_streams(spec, fds));
  ChildPlan child;
  SANDBOX_TRY(pass_descriptors(options, spec, fds, child));
  SANDBOX_TRY(fill_child_plan(plan, options, spec, fds, child));
  std::unique_lock turn = id_change_turn(options.setup);
  SANDBOX_ASSIGN_OR_RETURN(const pid_t pid, create_child(child, fds.report_write.get()));
  turn = {};
  fds.close_child_ends();
  SANDBOX_TRY(await_exec(pid, fds, options.setup));
  SandboxChild adopted = adopt_child(pid, fds);
  if (fds.stdin_file) {
    auto feed = start_stdin_feed(std::move(fds.stdin_file), std::move(fds.stdin_feed));
    if (!feed) return io_failure(feed.error());  // the record kills the child
    adopted.resources().push_back(std::move(*feed));
  }
  return adopted;
}

}  // namespace sandbox
