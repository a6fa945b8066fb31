// Parent side of the launch: builds the plan (owned strings, argv/envp arrays, exec
// candidates, limits, descriptors), creates the child with signals blocked, and reads
// the report pipe to end of file. Runs on the spawning thread.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <limits>
#include <map>

#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/base/platform.h"
#include "sandbox_core/launch/launch_plan.h"

namespace sandbox {

std::vector<std::string> build_command(const SandboxSpec& spec) {
  struct Visitor {
    std::vector<std::string> operator()(const ShellScript& s) const { return {"sh", "-c", s.input}; }
    std::vector<std::string> operator()(const PythonScript& s) const {
      return {s.interpreter, "-c", s.input};
    }
    std::vector<std::string> operator()(const ArgvScript& s) const { return s.argv; }
  };
  return std::visit(Visitor{}, spec.script);
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

// execvp's search over the child's PATH ("/bin:/usr/bin" when it has none); an empty
// entry means the current directory, which is the child's working directory by then.
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

Result<LaunchPlan, SandboxError> build_plan(const std::string& program,
                                            const std::vector<std::string>& args,
                                            const EnvDefaults& env_defaults,
                                            const SandboxSpec& spec) {
  LaunchPlan plan;
  plan.argv_storage.reserve(args.size() + 1);
  plan.argv_storage.push_back(program);
  for (const auto& a : args) plan.argv_storage.push_back(a);
  for (const auto& a : plan.argv_storage) {
    if (has_nul(a)) return fail(nul_error());
  }

  std::map<std::string, std::string> env = spec.env;
  for (const auto& [name, value] : env_defaults) env.emplace(name, value);  // no overwrite
  for (const auto& [name, value] : env) {
    if (has_nul(name) || has_nul(value)) return fail(nul_error());
    plan.env_storage.push_back(name + "=" + value);
  }

  plan.work_dir = spec.host_dir();
  if (has_nul(plan.work_dir)) return fail(nul_error());

  auto path_it = env.find("PATH");
  plan.candidates = exec_candidates(program, path_it == env.end() ? nullptr : &path_it->second);

  for (auto& a : plan.argv_storage) plan.argv.push_back(a.data());
  plan.argv.push_back(nullptr);
  for (auto& e : plan.env_storage) plan.envp.push_back(e.data());
  plan.envp.push_back(nullptr);
  for (auto& c : plan.candidates) plan.candidate_ptrs.push_back(c.c_str());

  plan.limits = child_limits(spec.ephemeral_storage_bytes, spec.timeout.seconds, spec.cpu_milli);
  return plan;
}

// The child dup2s its sources onto 0..2, so none may already sit there (a host that
// closed its own stdio would otherwise hand out those numbers).
Result<UniqueFd, IoError> above_stdio(UniqueFd fd) {
  if (fd.get() > 2) return fd;
  return dup_cloexec(fd.get());
}

Result<UniqueFd, IoError> open_null() {
  int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd < 0) return fail(IoError::last());
  return above_stdio(UniqueFd(fd));
}

// A 1 MiB capture pipe lets a fast writer run ahead of the drain and halves the
// switches between them. Best effort: an unprivileged user's pipe budget is limited,
// and the default size works, only slower.
void widen_pipe(int fd) {
  constexpr int kCapturePipeBytes = 1 << 20;
  (void)set_pipe_capacity(fd, kCapturePipeBytes);
}

void reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

Result<SandboxChild, SandboxError> launch_child(const std::string& program,
                                                const std::vector<std::string>& args,
                                                const EnvDefaults& env_defaults,
                                                const SandboxSpec& spec) {
  auto plan_r = build_plan(program, args, env_defaults, spec);
  if (!plan_r) return fail(std::move(plan_r).error());
  LaunchPlan plan = std::move(plan_r).value();

  auto io = [](IoError e) { return fail(SandboxError::io(std::move(e))); };

  auto null_r = open_null();
  if (!null_r) return io(null_r.error());
  UniqueFd null_fd = std::move(null_r).value();

  UniqueFd out_read, out_write, err_read, err_write;
  for (int i = 0; i < 2; ++i) {
    bool capture = i == 0 ? spec.capture_stdout : spec.capture_stderr;
    if (!capture) continue;
    auto p = make_pipe();
    if (!p) return io(p.error());
    widen_pipe(p->read.get());
    auto w = above_stdio(std::move(p->write));
    if (!w) return io(w.error());
    (i == 0 ? out_read : err_read) = std::move(p->read);
    (i == 0 ? out_write : err_write) = std::move(w).value();
  }

  auto report = make_pipe();
  if (!report) return io(report.error());
  auto report_write_r = above_stdio(std::move(report->write));
  if (!report_write_r) return io(report_write_r.error());
  UniqueFd report_write = std::move(report_write_r).value();

  ChildPlan child;
  child.argv = plan.argv.data();
  child.envp = plan.envp.data();
  child.exec_candidates = plan.candidate_ptrs.data();
  child.candidate_count = plan.candidate_ptrs.size();
  child.work_dir = plan.work_dir.c_str();
  child.stdio[0] = null_fd.get();
  child.stdio[1] = out_write ? out_write.get() : null_fd.get();
  child.stdio[2] = err_write ? err_write.get() : null_fd.get();
  child.limits = plan.limits;

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

  ChildReport rec{};
  size_t got = 0;
  while (got < sizeof rec) {
    ssize_t n = ::read(report->read.get(), reinterpret_cast<char*>(&rec) + got, sizeof rec - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got != 0) {
    reap(pid);
    if (got != sizeof rec) return io(IoError::custom(kFillWholeBuffer, EIO));
    return io(IoError::from_errno(rec.error));
  }

  SandboxChild result(pid, std::move(out_read), std::move(err_read));
  result.pidfd() = open_pidfd(pid);
  return result;
}

}  // namespace sandbox
