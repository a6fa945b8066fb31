// Real children through launch_child and the supervision routines. The concurrent test
// is meant to run under ThreadSanitizer as well as in the plain build.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <set>
#include <thread>

#include "launch/child_helpers.h"
#include "sandbox_core/base/fd_io.h"

namespace sandbox {
namespace {

using namespace std::chrono_literals;
using namespace sandbox::test;

TEST(ChildSupervision, ExitCodesAndExactOutput) {
  // Counting lines differ everywhere, so a chunk kept at the wrong offset while the buffer
  // grows (and moves) shows; both streams at once, as the collect drains them.
  std::string up, down;
  for (int i = 1; i <= 400000; ++i) up += std::to_string(i) + "\n";
  for (int i = 400000; i >= 1; --i) down += std::to_string(i) + "\n";
  struct Case {
    const char* script;
    int code;
    std::string out, err;
    bool capture = true;
  } cases[] = {
      {"exit 3", 3, "", ""},
      {"kill -TERM $$", 143, "", ""},
      {"kill -KILL $$", 137, "", ""},
      {"printf 'a\\0b'; printf oops >&2; exit 1", 1, std::string("a\0b", 3), "oops"},
      {"sleep 0.3; echo done", 0, "done\n", ""},  // no deadline: waits for the exit
      {"echo lost; echo lost >&2", 0, "", "", false},
      // The background sleep holds stdout: only the group kill after exit ends the collect.
      {"sleep 60 & echo started", 0, "started\n", ""},
      {"seq 1 400000; seq 400000 -1 1 >&2", 0, up, down},
      // Nothing of the host's environment or its inheritable descriptors reaches the child.
      {"echo \"[${SANDBOX_HOST_ONLY-}]\"", 0, "[]\n", ""},
      {"ls /proc/$$/fd | grep -x 57", 1, "", ""},
  };
  ::setenv("SANDBOX_HOST_ONLY", "leak", 1);
  UniqueFd leaked(::fcntl(2, F_DUPFD, 57));  // inheritable, as a host may leave it
  ASSERT_EQ(leaked.get(), 57);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    auto spec = shell_spec(c.script);
    spec.capture_stdout = spec.capture_stderr = c.capture;
    const auto start = MonoClock::now();
    auto out = run(spec);
    EXPECT_LT(MonoClock::now() - start, 30s);  // catches a hang, not a speed claim
    EXPECT_EQ(out.exit_code, c.code);
    EXPECT_TRUE(out.stdout_bytes == c.out) << out.stdout_bytes.size() << " bytes";
    EXPECT_TRUE(out.stderr_bytes == c.err) << out.stderr_bytes.size() << " bytes";
  }
  ::unsetenv("SANDBOX_HOST_ONLY");
  EXPECT_TRUE(no_children_left());
  EXPECT_EQ(exit_code_from_status(255 << 8), 255);
  EXPECT_EQ(exit_code_from_status(SIGTERM | 0x80), 143);  // core dumped
  EXPECT_EQ(exit_code_from_status((SIGSTOP << 8) | 0x7f), -1);
}

// a/prog is not executable, b/prog is: the search in the child's PATH moves on, as execvp does.
struct ProgramDirs : TempDir {
  const std::string a = path + "/a", b = path + "/b";
  ProgramDirs() {
    for (auto [dir, mode] : {std::pair{a, 0600}, std::pair{b, 0700}}) {
      EXPECT_EQ(::mkdir(dir.c_str(), 0700), 0);
      { std::ofstream(dir + "/prog") << "#!/bin/sh\necho found-in-$0; pwd -P\n"; }
      ::chmod((dir + "/prog").c_str(), static_cast<mode_t>(mode));
    }
  }
  SandboxSpec spec(std::string path_var) const {
    SandboxSpec spec;
    spec.script = ArgvScript{{"prog"}};
    spec.work_dir = "/";
    spec.host_work_dir = b;  // host_work_dir wins over work_dir
    spec.env = {{"PATH", std::move(path_var)}};
    return spec;
  }
};

TEST(ChildLaunch, ProgramIsSearchedInTheChildsPathAndRunsInHostDir) {
  ProgramDirs dirs;
  char real[PATH_MAX];
  ASSERT_NE(::realpath(dirs.b.c_str(), real), nullptr);
  EXPECT_EQ(run(dirs.spec(dirs.a + ":" + dirs.b)).stdout_bytes,
            "found-in-" + dirs.b + "/prog\n" + real + "\n");
}

TEST(ChildLaunch, FailuresAreReportedLeavingNoChildOrDescriptor) {
  using namespace std::string_literals;
  ProgramDirs dirs;
  const std::string missing = "/nonexistent-sandbox-dir";
  auto with = [](auto edit) {
    SandboxSpec spec = shell_spec("true");
    edit(spec);
    return spec;
  };
  const std::string nul = "io: nul byte found in provided data";
  const std::tuple<const char*, SandboxSpec, std::string> cases[] = {
      {"only a non-executable prog", dirs.spec(dirs.a + ":" + missing),
       "io: " + os_error_text(EACCES)},
      {"no sh on PATH", with([&](SandboxSpec& s) { s.env = {{"PATH", missing}}; }),
       "io: " + os_error_text(ENOENT)},
      {"missing host dir", with([&](SandboxSpec& s) { s.host_work_dir = missing + "/work"; }),
       "io: " + os_error_text(ENOENT)},
      // NUL bytes are refused before any process exists.
      {"nul in script", shell_spec("echo a\0b"s), nul},
      {"nul in program", with([](SandboxSpec& s) { s.script = ArgvScript{{"tr\0ue"s}}; }), nul},
      {"nul in env name", with([](SandboxSpec& s) { s.env = {{"A\0B"s, "v"}}; }), nul},
      {"nul in env value", with([](SandboxSpec& s) { s.env = {{"A", "v\0w"s}}; }), nul},
      {"nul in work dir", with([](SandboxSpec& s) { s.host_work_dir = "/tmp\0x"s; }), nul},
  };
  for (const auto& [what, spec, message] : cases) {
    SCOPED_TRACE(what);
    size_t fds = open_fd_count();
    auto r = launch(spec);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), SandboxError::Kind::Io);
    EXPECT_EQ(r.error().message(), message);
    EXPECT_TRUE(no_children_left());
    EXPECT_EQ(open_fd_count(), fds);
  }
}

TEST(ChildLaunch, LimitsAreSetInsideTheChild) {
  auto parent_limit = [](int resource) {
    rlimit rl;
    ::getrlimit(resource, &rl);
    return rl.rlim_cur == RLIM_INFINITY ? std::string("unlimited") : std::to_string(rl.rlim_cur);
  };
  const std::string fsize = parent_limit(RLIMIT_FSIZE), cpu = parent_limit(RLIMIT_CPU);
  struct Case { uint64_t fsize, seconds; uint32_t nanos, cpu_milli; std::string want_fsize, want_cpu; };
  for (const Case& c : {Case{1 << 20, 60, 0, 500, std::to_string(1 << 20), "30"},
                        Case{0, 60, 0, 0, fsize, cpu}, Case{0, 0, 500'000'000, 1000, fsize, cpu}}) {
    SCOPED_TRACE(c.want_fsize + " " + c.want_cpu);
    auto spec = shell_spec(
        "grep -E '^Max (file size|cpu time)' /proc/self/limits | "
        "while read a b c soft hard unit; do echo \"$soft $hard\"; done");
    spec.ephemeral_storage_bytes = c.fsize;
    spec.timeout = Timeout{c.seconds, c.nanos};
    spec.cpu_milli = c.cpu_milli;
    // /proc lists the CPU time before the file size.
    EXPECT_EQ(run(spec).stdout_bytes,
              c.want_cpu + " " + c.want_cpu + "\n" + c.want_fsize + " " + c.want_fsize + "\n");
  }
  struct Arith { uint64_t seconds; uint32_t milli; uint64_t want; };
  for (const Arith& c : {Arith{60, 500, 30}, Arith{60, 1, 1}, Arith{0, 1000, 0}, Arith{60, 0, 0},
                         Arith{UINT64_MAX / 2, 4, UINT64_MAX / 1000},  // >= 2^64 saturates
                         Arith{UINT64_MAX, UINT32_MAX, UINT64_MAX / 1000}}) {
    SCOPED_TRACE(std::to_string(c.seconds) + " x " + std::to_string(c.milli));
    EXPECT_EQ(child_limits(7, c.seconds, c.milli).cpu_seconds, c.want);
    EXPECT_EQ(child_limits(7, c.seconds, c.milli).fsize_bytes, 7u);
  }
}

TEST(ChildSupervision, SetsidGrandchildHoldingStdoutDoesNotHangATimedCollect) {
  // A deadline kill, then an exit before the deadline.
  for (auto [script, deadline, code] : {std::tuple{"setsid sleep 30 & echo $!; sleep 30", 500ms, 137},
                                        std::tuple{"setsid sleep 30 & echo $!", 300ms, 0}}) {
    SCOPED_TRACE(script);
    auto start = MonoClock::now();
    auto out = run(shell_spec(script), MonoClock::now() + deadline);
    EXPECT_LT(MonoClock::now() - start, 10s);  // catches a hang, not a speed claim
    EXPECT_EQ(out.exit_code, code);
    pid_t grandchild = std::atoi(out.stdout_bytes.str().c_str());
    ASSERT_GT(grandchild, 0);
    EXPECT_EQ(::kill(grandchild, SIGKILL), 0);  // it left the group and survived
  }
}

// What this process wrote to its own stderr while `body` ran (the truncation notices).
template <class F>
std::string own_stderr_during(F body) {
  FILE* err = std::tmpfile();
  int saved = ::dup(2);
  ::dup2(::fileno(err), 2);
  body();
  ::dup2(saved, 2);
  ::close(saved);
  char text[256] = {};
  std::rewind(err);
  std::fread(text, 1, sizeof text - 1, err);
  std::fclose(err);
  return text;
}

TEST(ChildSupervision, OutputPastTheCapIsDroppedWithOneNotice) {
  for (uint64_t bytes : {OUTPUT_CAP_BYTES, OUTPUT_CAP_BYTES + 1}) {
    SCOPED_TRACE(bytes);
    CollectedOutput out;
    std::string notice = own_stderr_during(
        [&] { out = run(shell_spec("head -c " + std::to_string(bytes) + " /dev/zero")); });
    EXPECT_EQ(out.exit_code, 0);
    EXPECT_EQ(out.stdout_bytes.size(), OUTPUT_CAP_BYTES);
    EXPECT_EQ(out.stdout_bytes.view().find_first_not_of('\0'), std::string::npos);
    EXPECT_EQ(notice, bytes == OUTPUT_CAP_BYTES ? ""
              : "ventra.sandbox: stdout exceeded 268435456 bytes; truncated\n");
  }
  // On a descriptor that is no pipe (nothing to splice from) the rest is read and dropped
  // all the same, to the end.
  UniqueFd file(::open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  ASSERT_TRUE(write_all(file.get(), "abcdefgh"));
  ::lseek(file.get(), 0, SEEK_SET);
  std::optional<ByteBuffer> kept;
  std::string notice =
      own_stderr_during([&] { kept = ok(read_to_end(file, StreamLabel::Stderr, 3)); });
  EXPECT_EQ(kept, "abc");
  EXPECT_EQ(::lseek(file.get(), 0, SEEK_CUR), 8);
  EXPECT_EQ(notice, "ventra.sandbox: stderr exceeded 268435456 bytes; truncated\n");
}

// A forward to a vanished reader neither kills us (SIGPIPE keeps its default action here)
// nor blocks the child.
TEST(ChildSupervision, ForwardToAVanishedReaderIsDroppedWithoutSigpipe) {
  ASSERT_EQ(::signal(SIGPIPE, SIG_DFL), SIG_DFL);
  auto sink = make_pipe();
  ASSERT_TRUE(sink);
  sink->read.reset();
  auto child = launch(shell_spec("head -c 4000000 /dev/zero; echo done >&2"));
  ASSERT_TRUE(child);
  std::atomic<bool> exited{false};
  pid_t pid = child->pid();
  CollectOptions options;
  options.forward_stdout = std::move(sink->write);
  auto out = collect_child(std::move(child).value(), std::nullopt, pid, exited,
                           std::move(options));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->exit_code, 0);
  EXPECT_EQ(out->stdout_bytes, "");
  EXPECT_EQ(out->stderr_bytes, "done\n");
  sigset_t pending;
  ASSERT_EQ(::sigpending(&pending), 0);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

TEST(ChildSupervision, StopRequestKillsReapsAndReturnsStopped) {
  // Asked while waiting for the child; and once it has exited, while waiting for a drain
  // held open by a process that left the group (it writes its pid once it has).
  TempDir dir;
  const std::string pid_file = dir.path + "/grandchild";
  for (bool after_exit : {false, true}) {
    SCOPED_TRACE(after_exit);
    std::string script = after_exit ? "setsid sh -c 'echo $$ > " + pid_file +
                                          "; exec sleep 30' & "
                                          "while [ ! -s " + pid_file + " ]; do sleep 0.01; done"
                                    : "exec sleep 30";
    auto child = launch(shell_spec(script));
    ASSERT_TRUE(child);
    std::atomic<bool> exited{false};
    pid_t pid = child->pid();
    auto copy = dup_cloexec(child->stdout_fd().get());
    ASSERT_TRUE(copy);
    int asked = 0;
    CollectOptions options;
    options.should_stop = [&] { return ++asked == 3 || (after_exit && exited.load()); };
    auto start = MonoClock::now();
    auto out = collect_child(std::move(child).value(), std::nullopt, pid, exited,
                             std::move(options));
    EXPECT_LT(MonoClock::now() - start, 10s);  // catches a hang, not a speed claim
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().kind, CollectError::Kind::Stopped);
    EXPECT_TRUE(exited.load());
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);  // reaped
    if (after_exit) {
      pid_t grandchild = 0;
      std::ifstream(pid_file) >> grandchild;
      ASSERT_GT(grandchild, 0);
      EXPECT_EQ(::kill(grandchild, SIGKILL), 0);  // outside the group: ours to end
    } else {
      EXPECT_EQ(ok(read_to_end(copy.value(), StreamLabel::Stdout)), "");  // the group died
    }
  }
}

// Each worker runs its own children in one of four ways, chosen by the round: plain exit
// with output, kills from two threads racing the collect (before, during and after the
// reap), a deadline kill, and a record dropped while its child still runs.
TEST(ConcurrentSupervision, ParallelLaunchCollectAndKillsKeepEveryOutcome) {
  constexpr int kWorkers = 4, kRounds = 12;
  const size_t fds_before = open_fd_count();
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([w] {
      for (int round = 0; round < kRounds; ++round) {
        const std::string tag = std::to_string(w) + "-" + std::to_string(round);
        const int mode = (w + round) % 4;
        SCOPED_TRACE("worker " + tag + " mode " + std::to_string(mode));
        auto child = launch(shell_spec(mode == 0
                                           ? "echo out-" + tag + "; echo err-" + tag + " >&2"
                                           : "echo start-" + tag + "; exec sleep 60"));
        EXPECT_TRUE(child);
        if (!child || mode == 3) continue;  // disposal kills and reaps the running group
        const pid_t pid = child->pid();
        std::atomic<bool> exited{false};
        std::vector<std::thread> killers;
        for (int k = 0; mode == 1 && k < 2; ++k) {
          killers.emplace_back([&exited, pid, ms = 20 + round * 7 + 30 * k] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            // Checked first: a kill after the reap could hit a reused pid.
            if (!exited.load(std::memory_order_acquire)) kill_group(pid);
          });
        }
        Deadline deadline;
        if (mode == 2) deadline = MonoClock::now() + 150ms;
        auto out = collect_child(std::move(child).value(), deadline, pid, exited);
        for (auto& t : killers) t.join();
        ASSERT_TRUE(out) << out.error().text;
        EXPECT_TRUE(exited.load());
        EXPECT_EQ(out->exit_code, mode == 0 ? 0 : 137);
        EXPECT_EQ(out->stdout_bytes, (mode == 0 ? "out-" : "start-") + tag + "\n");
        EXPECT_EQ(out->stderr_bytes, mode == 0 ? "err-" + tag + "\n" : "");
      }
    });
  }
  for (auto& t : workers) t.join();
  EXPECT_TRUE(no_children_left()) << "a child was left";
  EXPECT_LE(open_fd_count(), fds_before + 2);
}

// run_child.cc and every *_in_child.cc of the isolation set-up run between clone/vfork
// and exec.
TEST(ChildProcessCode, UsesOnlyAsyncSignalSafeSymbols) {
  const std::string dir = std::string(SANDBOX_BINARY_DIR) + "/src/sandbox_core/CMakeFiles/sandbox_core.dir";
  const std::set<std::string> allowed = {
      "vfork", "fork", "clone", "_exit", "chdir", "fchdir", "dup2", "execve", "fexecve", "setsid",
      "setrlimit", "setrlimit64", "sigaction", "sigemptyset", "sigprocmask", "write", "read",
      "open", "open64", "openat", "openat64", "close", "fcntl", "fcntl64", "close_range", "mount",
      "umount2", "mkdir", "mkdirat", "rmdir", "symlink", "ioctl", "socket", "bind", "listen",
      "sendmsg", "prctl", "syscall", "setsockopt", "strlen", "pivot_root", "__errno_location",
      "memset", "memcpy"};
  FILE* files = ::popen(("find " + dir + " \\( -name run_child.cc.o -o -name '*_in_child.cc.o' \\)").c_str(), "r");
  ASSERT_NE(files, nullptr);
  int objects = 0, symbols = 0;
  for (char obj[4096]; std::fscanf(files, "%4095s", obj) == 1; ++objects) {
    SCOPED_TRACE(obj);
    // Sanitizer hooks and a linker-defined table are not calls of ours.
    FILE* p = ::popen((std::string("nm -u ") + obj +
                       " | awk '{sub(/@.*/, \"\", $2); print $2}' | grep -Ev "
                       "'^(__asan_|__ubsan_|__sanitizer_|__tsan_|_GLOBAL_OFFSET_TABLE_$)'")
                          .c_str(),
                      "r");
    ASSERT_NE(p, nullptr);
    for (char sym[256]; std::fscanf(p, "%255s", sym) == 1; ++symbols) {
      EXPECT_TRUE(allowed.count(sym)) << "not async-signal-safe: " << sym;
    }
    EXPECT_EQ(::pclose(p), 0);
  }
  EXPECT_EQ(::pclose(files), 0);
  EXPECT_GE(objects, 1);
  EXPECT_GT(symbols, 5);  // the listing worked
}

}  // namespace
}  // namespace sandbox
