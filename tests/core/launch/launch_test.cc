// Real children through launch_child and the supervision routines.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <thread>

#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/launch/launch.h"
#include "sandbox_core/launch/supervision.h"

namespace sandbox {
namespace {

using namespace std::chrono_literals;

SandboxSpec shell_spec(std::string script) {
  SandboxSpec spec;
  spec.script = ShellScript{std::move(script)};
  spec.work_dir = "/tmp";
  return spec;
}

Result<SandboxChild, SandboxError> launch(const SandboxSpec& spec) {
  auto command = build_command(spec);
  std::vector<std::string> args(command.begin() + 1, command.end());
  return launch_child(command.front(), args, {{"PATH", std::string(DEFAULT_CHILD_PATH)}}, spec);
}

CollectedOutput run(const SandboxSpec& spec, Deadline deadline = std::nullopt) {
  auto child = launch(spec);
  EXPECT_TRUE(child) << child.error().message();
  if (!child) return {};
  std::atomic<bool> exited{false};
  pid_t pid = child->pid();
  auto out = collect_child(std::move(child).value(), deadline, pid, exited);
  EXPECT_TRUE(out) << out.error().text;
  EXPECT_TRUE(exited.load());
  return out ? std::move(out).value() : CollectedOutput{};
}

// No child of this process is left, alive or zombie.
bool no_children_left() { return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

size_t open_fd_count() {
  size_t n = 0;
  DIR* d = ::opendir("/proc/self/fd");
  while (dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
  ::closedir(d);
  return n;
}

std::string make_temp_dir() {
  std::string tmpl = "/tmp/sandbox-launch-XXXXXX";
  EXPECT_NE(::mkdtemp(tmpl.data()), nullptr);
  return tmpl;
}

TEST(ChildSupervision, ExitCodesAndExactOutput) {
  struct Case {
    const char* script;
    int code;
    std::string out, err;
  } cases[] = {
      {"printf 'hi\\n'", 0, "hi\n", ""},
      {"exit 3", 3, "", ""},
      {"kill -TERM $$", 143, "", ""},
      {"kill -KILL $$", 137, "", ""},
      {"printf 'a\\0b'; printf oops >&2; exit 1", 1, std::string("a\0b", 3), "oops"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    auto out = run(shell_spec(c.script));
    EXPECT_EQ(out.exit_code, c.code);
    EXPECT_EQ(out.stdout_bytes, c.out);
    EXPECT_EQ(out.stderr_bytes, c.err);
  }
  EXPECT_TRUE(no_children_left());
}

TEST(ChildSupervision, ExitCodeFromStatusFollowsConvention) {
  EXPECT_EQ(exit_code_from_status(0), 0);
  EXPECT_EQ(exit_code_from_status(3 << 8), 3);
  EXPECT_EQ(exit_code_from_status(255 << 8), 255);
  EXPECT_EQ(exit_code_from_status(SIGKILL), 137);
  EXPECT_EQ(exit_code_from_status(SIGTERM | 0x80), 143);  // core dumped
  EXPECT_EQ(exit_code_from_status((SIGSTOP << 8) | 0x7f), -1);
}

TEST(ChildLaunch, UncapturedStreamsHaveNoPipe) {
  auto spec = shell_spec("echo lost; echo lost >&2");
  spec.capture_stdout = false;
  spec.capture_stderr = false;
  auto child = launch(spec);
  ASSERT_TRUE(child);
  EXPECT_FALSE(child->stdout_fd().valid());
  EXPECT_FALSE(child->stderr_fd().valid());
  std::atomic<bool> exited{false};
  pid_t pid = child->pid();
  auto out = collect_child(std::move(child).value(), std::nullopt, pid, exited);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->exit_code, 0);
  EXPECT_EQ(out->stdout_bytes, "");
  EXPECT_EQ(out->stderr_bytes, "");
}

TEST(ChildLaunch, EnvironmentIsClearedPlusDefaults) {
  ::setenv("SANDBOX_HOST_ONLY", "leak", 1);
  auto out = run(shell_spec("echo \"[${HOME-unset}]\"; echo \"$PATH\"; echo \"[${SANDBOX_HOST_ONLY-}]\""));
  EXPECT_EQ(out.stdout_bytes, "[unset]\n" + std::string(DEFAULT_CHILD_PATH) + "\n[]\n");

  auto spec = shell_spec("echo \"$A|$PATH\"");
  spec.env = {{"A", "1"}, {"PATH", "/usr/bin:/bin"}};  // the caller's PATH wins
  EXPECT_EQ(run(spec).stdout_bytes, "1|/usr/bin:/bin\n");
  ::unsetenv("SANDBOX_HOST_ONLY");
}

TEST(ChildLaunch, ProgramIsSearchedInTheChildsPath) {
  std::string dir = make_temp_dir();
  std::string a = dir + "/a", b = dir + "/b";
  ASSERT_EQ(::mkdir(a.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(b.c_str(), 0700), 0);
  // a/prog is not executable: the search moves on to b/prog, as execvp does.
  for (auto [path, mode] : {std::pair{a + "/prog", 0600}, std::pair{b + "/prog", 0700}}) {
    FILE* f = std::fopen(path.c_str(), "w");
    std::fputs("#!/bin/sh\necho found-in-$0\n", f);
    std::fclose(f);
    ::chmod(path.c_str(), static_cast<mode_t>(mode));
  }
  SandboxSpec spec;
  spec.script = ArgvScript{{"prog"}};
  spec.work_dir = dir;
  spec.env = {{"PATH", a + ":" + b}};
  EXPECT_EQ(run(spec).stdout_bytes, "found-in-" + b + "/prog\n");

  // Only the non-executable one: execvp reports EACCES.
  spec.env = {{"PATH", a + ":" + dir + "/missing"}};
  ASSERT_NE(::access((a + "/prog").c_str(), X_OK), 0);
  int eacces = errno;
  auto r = launch(spec);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "io: " + os_error_text(eacces));
  EXPECT_TRUE(no_children_left());
  std::system(("rm -rf " + dir).c_str());
}

TEST(ChildLaunch, ChildSideFailuresAreReportedAndReaped) {
  std::string missing = "/nonexistent-sandbox-dir";
  // PATH without sh: the error the exec itself gives.
  auto no_sh = shell_spec("true");
  no_sh.env = {{"PATH", missing}};
  ASSERT_NE(::access((missing + "/sh").c_str(), F_OK), 0);
  int enoent = errno;
  EXPECT_EQ(enoent, ENOENT);

  auto bad_dir = shell_spec("true");
  bad_dir.host_work_dir = missing + "/work";
  ASSERT_NE(::chdir(bad_dir.host_dir().c_str()), 0);
  int chdir_err = errno;

  for (auto& [spec, err] : {std::pair{no_sh, enoent}, std::pair{bad_dir, chdir_err}}) {
    auto r = launch(spec);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), SandboxError::Kind::Io);
    EXPECT_EQ(r.error().io_error().code, err);
    EXPECT_EQ(r.error().message(), "io: " + os_error_text(err));
    EXPECT_TRUE(no_children_left());
  }
}

TEST(ChildLaunch, RunsInHostDir) {
  std::string dir = make_temp_dir();
  auto spec = shell_spec("pwd -P");
  spec.work_dir = "/";
  spec.host_work_dir = dir;  // host_work_dir wins over work_dir
  char real[PATH_MAX];
  ASSERT_NE(::realpath(dir.c_str(), real), nullptr);
  EXPECT_EQ(run(spec).stdout_bytes, std::string(real) + "\n");
  ::rmdir(dir.c_str());
}

TEST(ChildLaunch, NulByteRefusedBeforeAnyProcess) {
  using namespace std::string_literals;
  std::vector<std::pair<const char*, SandboxSpec>> cases;
  cases.emplace_back("script", shell_spec("echo a\0b"s));
  auto prog = shell_spec("true");
  prog.script = ArgvScript{{"tr\0ue"s}};
  cases.emplace_back("program", prog);
  auto name = shell_spec("true");
  name.env = {{"A\0B"s, "v"}};
  cases.emplace_back("env name", name);
  auto value = shell_spec("true");
  value.env = {{"A", "v\0w"s}};
  cases.emplace_back("env value", value);
  auto dir = shell_spec("true");
  dir.host_work_dir = "/tmp\0x"s;
  cases.emplace_back("work dir", dir);
  for (const auto& [what, spec] : cases) {
    SCOPED_TRACE(what);
    size_t fds = open_fd_count();
    auto r = launch(spec);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "io: nul byte found in provided data");
    EXPECT_TRUE(no_children_left());
    EXPECT_EQ(open_fd_count(), fds);
  }
}

TEST(ChildLaunch, ChildLeadsItsOwnProcessGroup) {
  auto child = launch(shell_spec("exec sleep 30"));
  ASSERT_TRUE(child);
  EXPECT_EQ(::getpgid(child->pid()), child->pid());
  EXPECT_NE(::getpgid(child->pid()), ::getpgrp());
}

TEST(ChildLaunch, LimitsAreSetInsideTheChild) {
  auto parent_limit = [](int resource) {
    rlimit rl;
    ::getrlimit(resource, &rl);
    return rl.rlim_cur == RLIM_INFINITY ? std::string("unlimited") : std::to_string(rl.rlim_cur);
  };
  struct Case {
    uint64_t fsize, seconds;
    uint32_t nanos, cpu_milli;
    std::string want_fsize, want_cpu;
  } cases[] = {
      {1 << 20, 60, 0, 500, std::to_string(1 << 20), "30"},
      {0, 60, 0, 0, parent_limit(RLIMIT_FSIZE), parent_limit(RLIMIT_CPU)},
      {0, 60, 0, 1, parent_limit(RLIMIT_FSIZE), "1"},
      {0, 0, 500'000'000, 1000, parent_limit(RLIMIT_FSIZE), parent_limit(RLIMIT_CPU)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want_fsize + " " + c.want_cpu);
    auto spec = shell_spec(
        "grep -E '^Max (file size|cpu time)' /proc/self/limits | "
        "while read a b c soft hard unit; do echo \"$soft $hard\"; done");
    spec.ephemeral_storage_bytes = c.fsize;
    spec.timeout = Timeout{c.seconds, c.nanos};
    spec.cpu_milli = c.cpu_milli;
    auto out = run(spec);
    // /proc lists the CPU time before the file size.
    EXPECT_EQ(out.stdout_bytes, c.want_cpu + " " + c.want_cpu + "\n" + c.want_fsize + " " +
                                    c.want_fsize + "\n");
  }
}

TEST(ChildLaunch, CpuLimitArithmetic) {
  struct Case {
    uint64_t seconds;
    uint32_t milli;
    uint64_t want;
  } cases[] = {
      {60, 500, 30},
      {60, 1, 1},
      {0, 1000, 0},
      {60, 0, 0},
      {UINT64_MAX / 2, 4, UINT64_MAX / 1000},  // product >= 2^64 saturates
      {UINT64_MAX, UINT32_MAX, UINT64_MAX / 1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.seconds) + " x " + std::to_string(c.milli));
    EXPECT_EQ(child_limits(7, c.seconds, c.milli).cpu_seconds, c.want);
    EXPECT_EQ(child_limits(7, c.seconds, c.milli).fsize_bytes, 7u);
  }
}

TEST(ChildSupervision, GroupKillAfterExitReachesBackgroundGrandchild) {
  // The background sleep keeps stdout open; the collect only returns once it is dead.
  auto out = run(shell_spec("sleep 60 & echo started"));
  EXPECT_EQ(out.exit_code, 0);
  EXPECT_EQ(out.stdout_bytes, "started\n");
}

TEST(ChildSupervision, DeadlineKillsEvenWithSetsidGrandchildHoldingStdout) {
  auto start = MonoClock::now();
  auto out = run(shell_spec("setsid sleep 30 & echo $!; sleep 30"), MonoClock::now() + 500ms);
  auto took = MonoClock::now() - start;
  EXPECT_EQ(out.exit_code, 137);
  EXPECT_LT(took, 10s);  // catches a hang, not a speed claim
  pid_t grandchild = std::atoi(out.stdout_bytes.c_str());
  ASSERT_GT(grandchild, 0);
  EXPECT_EQ(::kill(grandchild, SIGKILL), 0);  // it left the group and survived
}

TEST(ChildSupervision, ExitedChildWithSetsidGrandchildDoesNotHangTimedCollect) {
  auto start = MonoClock::now();
  auto out = run(shell_spec("setsid sleep 30 & echo $!"), MonoClock::now() + 300ms);
  EXPECT_LT(MonoClock::now() - start, 10s);
  EXPECT_EQ(out.exit_code, 0);
  pid_t grandchild = std::atoi(out.stdout_bytes.c_str());
  ASSERT_GT(grandchild, 0);
  EXPECT_EQ(::kill(grandchild, SIGKILL), 0);
}

TEST(ChildSupervision, NoDeadlineWaitsForExit) {
  auto out = run(shell_spec("sleep 0.3; echo done"));
  EXPECT_EQ(out.exit_code, 0);
  EXPECT_EQ(out.stdout_bytes, "done\n");
}

TEST(ChildSupervision, KillFromAnotherThreadEndsCollect) {
  auto child = launch(shell_spec("echo before; exec sleep 60"));
  ASSERT_TRUE(child);
  pid_t pid = child->pid();
  std::atomic<bool> exited{false};
  std::thread killer([&] {
    std::this_thread::sleep_for(200ms);
    if (!exited.load(std::memory_order_acquire)) kill_group(pid);
  });
  auto out = collect_child(std::move(child).value(), std::nullopt, pid, exited);
  killer.join();
  ASSERT_TRUE(out);
  EXPECT_EQ(out->exit_code, 137);
  EXPECT_EQ(out->stdout_bytes, "before\n");
}

// Runs `fn` with fd 2 redirected to a file; returns what was written to fd 2.
template <class F>
std::string capture_fd2(F&& fn) {
  FILE* tmp = std::tmpfile();
  int saved = ::dup(2);
  ::dup2(::fileno(tmp), 2);
  fn();
  ::dup2(saved, 2);
  ::close(saved);
  std::string text;
  std::rewind(tmp);
  char buf[512];
  while (size_t n = std::fread(buf, 1, sizeof buf, tmp)) text.append(buf, n);
  std::fclose(tmp);
  return text;
}

TEST(ChildSupervision, OutputCapTruncatesWithOneNotice) {
  struct Case {
    uint64_t bytes;
    std::string notice;
  } cases[] = {
      {OUTPUT_CAP_BYTES, ""},
      {OUTPUT_CAP_BYTES + 1, "ventra.sandbox: stdout exceeded 268435456 bytes; truncated\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    CollectedOutput out;
    std::string err = capture_fd2(
        [&] { out = run(shell_spec("head -c " + std::to_string(c.bytes) + " /dev/zero")); });
    EXPECT_EQ(out.exit_code, 0);
    EXPECT_EQ(out.stdout_bytes.size(), OUTPUT_CAP_BYTES);
    EXPECT_EQ(out.stdout_bytes.find_first_not_of('\0'), std::string::npos);
    EXPECT_EQ(err, c.notice);
  }
}

TEST(ChildSupervision, ReadToEndKeepsDescriptorAndCap) {
  auto child = launch(shell_spec("printf 0123456789"));
  ASSERT_TRUE(child);
  auto first = read_to_end(child->stdout_fd(), 4);
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, "0123");
  ASSERT_TRUE(child->stdout_fd().valid());
  auto again = read_to_end(child->stdout_fd());
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, "");
  auto st = wait_exit(*child);
  ASSERT_TRUE(st);
  EXPECT_EQ(exit_code_from_status(*st), 0);
  auto cached = try_wait(*child);  // the stored status, no second waitpid
  ASSERT_TRUE(cached);
  EXPECT_EQ(std::get<int>(*cached), *st);
}

TEST(ChildSupervision, DisposalKillsAndReapsRunningGroup) {
  auto child = launch(shell_spec("sleep 60 & exec sleep 60"));
  ASSERT_TRUE(child);
  pid_t pid = child->pid();
  // Both sleeps hold the pipe; end of file on our copy proves the whole group died.
  auto copy = dup_cloexec(child->stdout_fd().get());
  ASSERT_TRUE(copy);
  { SandboxChild doomed = std::move(child).value(); }
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);  // already reaped
  EXPECT_EQ(errno, ECHILD);
  UniqueFd fd = std::move(copy).value();
  auto rest = read_to_end(fd);
  ASSERT_TRUE(rest);
  EXPECT_EQ(*rest, "");
}

TEST(ChildSupervision, ResourcesReturnToStartAfterManyCycles) {
  SandboxSpec spec;
  spec.script = ArgvScript{{"true"}};
  spec.work_dir = "/";
  run(spec);  // first use may open lasting descriptors (none expected)
  size_t fds = open_fd_count();
  for (int i = 0; i < 1000; ++i) {
    auto out = run(spec);
    if (out.exit_code != 0) FAIL() << "cycle " << i;
  }
  EXPECT_LE(open_fd_count(), fds + 2);
  EXPECT_TRUE(no_children_left());
}

TEST(ChildProcessCode, UsesOnlyAsyncSignalSafeSymbols) {
  std::string obj = std::string(SANDBOX_BINARY_DIR) +
                    "/src/sandbox_core/CMakeFiles/sandbox_core.dir/launch/run_child.cc.o";
  ASSERT_EQ(::access(obj.c_str(), R_OK), 0) << obj;
  const std::set<std::string> allowed = {
      "vfork",       "fork",       "_exit",    "chdir",    "dup2",       "execve",
      "setpgid",     "setrlimit",  "setrlimit64", "sigaction", "sigemptyset", "sigprocmask",
      "write",       "__errno_location", "memset", "memcpy"};
  FILE* p = ::popen(("nm -u " + obj).c_str(), "r");
  ASSERT_NE(p, nullptr);
  char line[512];
  int count = 0;
  while (std::fgets(line, sizeof line, p)) {
    std::istringstream in(line);
    std::string kind, sym;
    in >> kind >> sym;
    sym = sym.substr(0, sym.find('@'));
    if (sym.starts_with("__asan_") || sym.starts_with("__ubsan_") ||
        sym.starts_with("__sanitizer_") || sym.starts_with("__tsan_") || sym.empty() ||
        sym == "_GLOBAL_OFFSET_TABLE_") {  // sanitizer hooks and a linker-defined table
      continue;
    }
    ++count;
    EXPECT_TRUE(allowed.count(sym)) << "not async-signal-safe: " << sym;
  }
  EXPECT_EQ(::pclose(p), 0);
  EXPECT_GT(count, 5);  // the listing worked
}

}  // namespace
}  // namespace sandbox
