// Parent side of the launch: builds the plan (owned strings, argv/envp arrays, exec
// candidates, limits, descriptors), creates the child with signals blocked, and reads
// the report pipe to end of file. Runs on the spawning thread.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <limits>
#include <algorithm>
#include <map>

#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/base/platform.h"
#include "sandbox_core/launch/launch_plan.h"

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
constexpr const char kPythonFromFd[] =
    "exec(compile(open(5, 'rb').read(), '<string>', 'exec'))";
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

ChildLimits child_limits(uint64_t ephemeral_storage_bytes, uint64_t timeout_seconds,
                         uint32_t cpu_milli) {
  ChildLimits limits;
  limits.fsize_bytes = ephemeral_storage_bytes;
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
  std::string_view rest = path ? std::string_view(*path) : std::string_view("/bin:/usr/bin");
  std::vector<std::string> out;
  while (true) {
    size_t colon = rest.find(':');
    std::string_view dir = rest.substr(0, colon);
    std::string c(dir);
    if (!c.empty() && c.back() != '/') c += '/';
    c += program;
    out.push_back(std::move(c));
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return out;
}

namespace {

Result<LaunchPlan, SandboxError> build_plan(const LaunchOptions& options,
                                            const SandboxSpec& spec) {
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

  plan.work_dir = spec.host_dir();
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

  plan.limits = child_limits(spec.ephemeral_storage_bytes, spec.timeout.seconds, spec.cpu_milli);
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
  static constexpr size_t kBytes = 256 * 1024;
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

// The script in a file of its own, read from the start. A sealed memory file where there
// is one: the child may reopen it by path but can change nothing; elsewhere an unlinked
// temporary file, which no other process can open.
Result<UniqueFd, IoError> script_file(const std::string& source) {
#if defined(__linux__)
  UniqueFd fd(::memfd_create("sandbox-script", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!fd) return fail(IoError::last());
  SANDBOX_TRY(write_all(fd.get(), std::string_view(source)));
  if (::fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    return fail(IoError::last());
  }
#else
  std::string path = system_temp_dir() + "/sandbox-script-XXXXXX";
  UniqueFd fd(::mkstemp(path.data()));
  if (!fd) return fail(IoError::last());
  ::unlink(path.c_str());
  if (::fcntl(fd.get(), F_SETFD, FD_CLOEXEC) != 0) return fail(IoError::last());
  SANDBOX_TRY(write_all(fd.get(), std::string_view(source)));
#endif
  if (::lseek(fd.get(), 0, SEEK_SET) != 0) return fail(IoError::last());
  return fd;
}

}  // namespace

Result<SandboxChild, SandboxError> launch_child(const LaunchOptions& options,
                                                const SandboxSpec& spec) {
  auto plan_r = build_plan(options, spec);
  if (!plan_r) return fail(std::move(plan_r).error());
  LaunchPlan plan = std::move(plan_r).value();

  auto io = [](IoError e) { return fail(SandboxError::io(std::move(e))); };
  const bool init_mode = options.report == ReportMode::Init;

  UniqueFd script;
  if (const std::string* source = script_by_descriptor(spec)) {
    auto made = script_file(*source);
    if (!made) return io(made.error());
    script = std::move(*made);
  }

  int floor = 3;
  for (const auto& p : options.passed_fds) floor = std::max(floor, p.target + 1);
  if (init_mode) floor = std::max(floor, static_cast<int>(kInitStderrFd) + 1);
  if (script) floor = std::max(floor, kScriptFd + 1);
  if (options.passed_fds.size() + 3 > kMaxPassedFds || floor > kSetupFdFloor) {
    return io(IoError::custom("too many descriptors passed to the child", EINVAL));
  }

  auto null_r = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null_r < 0) return io(IoError::last());
  auto null_fd_r = above(UniqueFd(null_r), floor);
  if (!null_fd_r) return io(null_fd_r.error());
  UniqueFd null_fd = std::move(null_fd_r).value();

  UniqueFd out_read, out_write, err_read, err_write;
  for (int i = 0; i < 2; ++i) {
    bool capture = i == 0 ? spec.capture_stdout : spec.capture_stderr && !spec.stderr_to_stdout;
    if (!capture) continue;
    auto p = make_pipe();
    if (!p) return io(p.error());
    widen_pipe(p->read.get());
    auto w = above(std::move(p->write), floor);
    if (!w) return io(w.error());
    (i == 0 ? out_read : err_read) = std::move(p->read);
    (i == 0 ? out_write : err_write) = std::move(w).value();
  }

  auto report = make_pipe();
  if (!report) return io(report.error());
  auto report_write_r = above(std::move(report->write), floor);
  if (!report_write_r) return io(report_write_r.error());
  UniqueFd report_write = std::move(report_write_r).value();

  // Passed sources are the caller's; copies above the floor keep the dup2s apart.
  std::vector<UniqueFd> passed_copies;
  ChildPlan child;
  auto pass = [&](int source, int target) -> Result<void, IoError> {
    auto copy = dup_cloexec(source);
    if (!copy) return fail(copy.error());
    auto moved = above(std::move(copy).value(), floor);
    if (!moved) return fail(moved.error());
    child.passed[child.passed_count++] = PassedFd{moved->get(), target};
    passed_copies.push_back(std::move(moved).value());
    return {};
  };
  for (const auto& p : options.passed_fds) {
    if (auto r = pass(p.source, p.target); !r) return io(r.error());
  }
  if (script) {
    if (auto r = pass(script.get(), kScriptFd); !r) return io(r.error());
  }
  // The caller's standard input, lifted clear of the numbers the child dup2s onto.
  UniqueFd stdin_copy;
  if (spec.stdin_fd >= 0) {
    auto copy = dup_cloexec(spec.stdin_fd);
    if (!copy) return io(copy.error());
    auto moved = above(std::move(copy).value(), floor);
    if (!moved) return io(moved.error());
    stdin_copy = std::move(moved).value();
  }

  // The init reports on the pipe itself, and finds the target's standard error at a
  // fixed number; fd 2 then carries only what a set-up tool says before the init runs.
  UniqueFd diag_read, diag_write;
  // Like 2>&1 when asked: one pipe keeps the two streams in the order they were written.
  const int target_stdout = out_write ? out_write.get() : null_fd.get();
  const int target_stderr = spec.stderr_to_stdout ? target_stdout
                            : err_write           ? err_write.get()
                                                  : null_fd.get();
  if (init_mode) {
    if (auto r = pass(report_write.get(), kInitReportFd); !r) return io(r.error());
    if (auto r = pass(target_stderr, kInitStderrFd); !r) return io(r.error());
    auto diag = make_pipe();
    if (!diag) return io(diag.error());
    auto w = above(std::move(diag->write), floor);
    if (!w) return io(w.error());
    diag_read = std::move(diag->read);
    diag_write = std::move(w).value();
  }

  child.argv = plan.argv.data();
  child.envp = plan.envp.data();
  child.exec_candidates = plan.candidate_ptrs.data();
  child.candidate_count = plan.candidate_ptrs.size();
  // Clear of the numbers the child dup2s onto.
  UniqueFd exec_copy;
  child.exec_fd = options.exec_fd;
  if (options.exec_fd >= 0 && options.exec_fd < kSetupFdFloor) {
    auto copy = dup_cloexec(options.exec_fd);
    if (!copy) return io(copy.error());
    auto high = above(std::move(*copy), kSetupFdFloor);
    if (!high) return io(high.error());
    exec_copy = std::move(*high);
    child.exec_fd = exec_copy.get();
  }
  child.work_dir = plan.work_dir.c_str();
  child.stdio[0] = stdin_copy ? stdin_copy.get() : null_fd.get();
  child.stdio[1] = target_stdout;
  child.stdio[2] = init_mode ? diag_write.get() : target_stderr;
  child.fd_scan_limit = fd_scan_limit();
  child.limits = plan.limits;
  child.setup = options.setup;
  child.namespace_flags = options.namespace_flags;

  CloneStack stack;
  if (options.namespace_flags != 0) {
    if (!stack.allocate()) return io(IoError::last());
    child.clone_stack_top = stack.top();
  }

  // No handler of the host may run in the child while it shares our memory; the child
  // resets the handlers before it restores this mask.
  sigset_t all;
  sigfillset(&all);
  pid_t pid;
  int create_errno;
  {
    ChildCreationLock no_half_made_descriptors;
    ::pthread_sigmask(SIG_SETMASK, &all, &child.restore_mask);
    pid = launch_detail::start_child(child, report_write.get());
    create_errno = errno;
    ::pthread_sigmask(SIG_SETMASK, &child.restore_mask, nullptr);
  }
  if (pid < 0) return io(IoError::from_errno(create_errno));

  // Our copies must be closed, or the report pipe never reaches end of file.
  report_write.reset();
  out_write.reset();
  err_write.reset();
  null_fd.reset();
  stdin_copy.reset();
  script.reset();
  diag_write.reset();
  passed_copies.clear();

  for (;;) {
    ReportRead r = read_report(report->read.get());
    if (r.torn) {
      reap(pid);
      return io(IoError::custom(kFillWholeBuffer, EIO));
    }
    if (r.eof) {
      if (!init_mode) break;  // the exec closed the pipe
      int status = reap(pid);
      return fail(SandboxError::setup_failed(status, read_diagnostics(diag_read.get())));
    }
    if (r.rec.error != 0) {
      reap(pid);
      return fail(child_failure(r.rec, options.setup));
    }
    if (r.rec.step == kStepInitExec) break;  // the init ran the target
  }

  SandboxChild result(pid, std::move(out_read), std::move(err_read));
  result.pidfd() = open_pidfd(pid);
  return result;
}

}  // namespace sandbox
