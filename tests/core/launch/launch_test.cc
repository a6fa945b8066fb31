// Real children through launch_child and supervision; the concurrent test runs under TSan too.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <thread>

#include "launch/child_helpers.h"
#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/launch/control_record.h"

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
  // Past one argument's limit the script reaches the shell through a descriptor: $0 stays
  // "sh" and the last line still counts.
  auto long_script = [](size_t size) {
    const std::string tail = "\necho \"$0\"; exit 9";
    return "#" + std::string(size - 1 - tail.size(), 'a') + tail;
  };
  const std::string fits = long_script(kMaxArgBytes - 1), past = long_script(kMaxArgBytes);
  EXPECT_EQ(script_by_descriptor(shell_spec(fits)), nullptr);
  EXPECT_NE(script_by_descriptor(shell_spec(past)), nullptr);
  const std::tuple<const char*, int, std::string, std::string> cases[] = {
      {fits.c_str(), 9, "sh\n", ""},
      {past.c_str(), 9, "sh\n", ""},
      {"kill -TERM $$", 143, "", ""},
      {"printf 'a\\0b'; printf oops >&2; exit 1", 1, std::string("a\0b", 3), "oops"},
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
  for (const auto& [script, code, stdout_want, stderr_want] : cases) {
    SCOPED_TRACE(script);
    const auto start = MonoClock::now();
    auto out = run(shell_spec(script));
    EXPECT_LT(MonoClock::now() - start, 30s);  // catches a hang, not a speed claim
    EXPECT_EQ(out.exit_code, code);
    EXPECT_TRUE(out.stdout_bytes == stdout_want) << out.stdout_bytes.size() << " bytes";
    EXPECT_TRUE(out.stderr_bytes == stderr_want) << out.stderr_bytes.size() << " bytes";
  }
  ::unsetenv("SANDBOX_HOST_ONLY");
  EXPECT_EQ(exit_code_from_status(SIGTERM | 0x80), 143);  // core dumped
}

// The log keeps what fits its count and its text budget, in order, and counts the rest;
// a long name a child chose cannot grow it past the budget.
TEST(EgressRecord, BoundedByCountAndBytesWithTheRestCounted) {
  const size_t one = sizeof(EgressEntry) + 4;  // "a.eu"
  const std::tuple<size_t, size_t, size_t, size_t, uint64_t> cases[] = {
      // max entries, max bytes, long name's size, kept, dropped
      {3, 1 << 20, 4, 3, 3},
      {100, 2 * one, 4, 2, 4},
      {100, 10 * one, 1 << 20, 5, 1},
  };
  for (const auto& [max_entries, max_bytes, long_size, kept, dropped] : cases) {
    SCOPED_TRACE(std::to_string(max_entries) + "/" + std::to_string(max_bytes));
    EgressLog log(max_entries, max_bytes);
    for (int i = 0; i < 6; ++i) {
      EgressEntry e;
      e.port = static_cast<uint16_t>(i);
      e.host = i == 2 ? std::string(long_size, 'x') : "a.eu";
      log.add(e);
    }
    auto snap = log.snapshot();
    EXPECT_EQ(snap.entries.size(), kept);
    EXPECT_EQ(snap.dropped, dropped);
    for (size_t i = 1; i < snap.entries.size(); ++i)
      EXPECT_LT(snap.entries[i - 1].port, snap.entries[i].port);
  }
}

// The init's record counts only whole and as what it is; anything else is no figure,
// with its reason, never a zero.
TEST(RelayedUsage, OneWholeRecordOrNoneWithWhy) {
  using launch_detail::ControlReport;
  auto record = [](uint32_t id, int64_t maxrss_kb) {
    const ControlReport r{launch_detail::kReportExited, id, 2, 0, 0, 0, 1, 1, maxrss_kb, 0, 0};
    return std::string(reinterpret_cast<const char*>(&r), sizeof r);
  };
  const std::string good = record(0, 3000);
  const std::tuple<std::string, uint64_t, const char*> cases[] = {
      // what the init sent, peak_rss_bytes (0: unknown), its source's start
      {good, 3000 << 10, "relayed from inside the sandbox"},
      {"", 0, "not measured: the sandbox's init relayed no usage"},
      {good.substr(0, 8), 0, "not measured: the sandbox's init relayed a malformed"},
      {good + "x", 0, "not measured: the sandbox's init relayed a malformed"},
      {record(7, 3000), 0, "not measured: the sandbox's init relayed a malformed"},
      {record(0, -1), 0, "not measured: the sandbox's init relayed a malformed"},
  };
  for (const auto& [sent, rss, source] : cases) {
    SCOPED_TRACE(sent.size());
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    UniqueFd host(pair[0]), init(pair[1]);
    if (!sent.empty()) {
      ASSERT_EQ(::send(init.get(), sent.data(), sent.size(), 0), ssize_t(sent.size()));
    }
    Usage u;
    apply_relayed_usage(u, host.get());
    EXPECT_EQ(std::make_pair(u.peak_rss_bytes.known, u.peak_rss_bytes.value),
              std::make_pair(rss != 0, rss));
    EXPECT_EQ(std::string_view(u.peak_rss_bytes.source).substr(0, std::strlen(source)), source);
  }
}

TEST(ChildLaunch, ProgramSearchAndFailuresLeavingNoChildOrDescriptor) {
  using namespace std::string_literals;
  // a/prog is not executable, b/prog is: the PATH search moves on, as execvp does.
  TempDir dir;
  const std::string a = dir.path + "/a", b = dir.path + "/b", missing = "/nonexistent-sandbox-dir";
  for (auto [d, mode] : {std::pair{a, 0600}, std::pair{b, 0700}}) {
    EXPECT_EQ(::mkdir(d.c_str(), 0700), 0);
    { std::ofstream(d + "/prog") << "#!/bin/sh\necho found-in-$0\n"; }
    ::chmod((d + "/prog").c_str(), static_cast<mode_t>(mode));
  }
  auto with = [](auto edit) {
    SandboxSpec spec = shell_spec("true");
    edit(spec);
    return spec;
  };
  auto prog = [&](const std::string& path_var) {
    return with([&](SandboxSpec& s) {
      s.script = ArgvScript{{"prog"}};
      s.env = {{"PATH", path_var}};
    });
  };
  EXPECT_EQ(run(prog(a + ":" + b)).stdout_bytes, "found-in-" + b + "/prog\n");

  const std::string nul = "io: nul byte found in provided data";
  const std::tuple<const char*, SandboxSpec, std::string> cases[] = {
      {"only a non-executable prog", prog(a + ":" + missing), "io: " + os_error_text(EACCES)},
      {"no sh on PATH", with([&](SandboxSpec& s) {
         s.env = {{"PATH", missing}};
       }),
       "io: " + os_error_text(ENOENT)},
      // NUL bytes are refused before any process exists.
      {"nul in script", shell_spec("echo a\0b"s), nul},
      {"nul in program", with([](SandboxSpec& s) { s.script = ArgvScript{{"tr\0ue"s}}; }), nul},
      {"nul in env name", with([](SandboxSpec& s) {
         s.env = {{"A\0B"s, "v"}};
       }),
       nul},
      {"nul in env value", with([](SandboxSpec& s) {
         s.env = {{"A", "v\0w"s}};
       }),
       nul},
      {"nul in work dir", with([](SandboxSpec& s) { s.host_work_dir = "/tmp\0x"s; }), nul},
  };
  for (const auto& [what, spec, message] : cases) {
    SCOPED_TRACE(what);
    size_t fds = open_fd_count();
    auto r = launch(spec);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), message);
    EXPECT_TRUE(no_children_left());
    EXPECT_EQ(open_fd_count(), fds);
  }
}

TEST(ChildLaunch, LimitsAreSetInsideTheChild) {
  // The limits of process `proc` as read by a child with the given ones.
  auto limits = [](std::string proc, uint64_t fsize, Timeout timeout, uint32_t cpu_milli) {
    auto spec = shell_spec("grep -E '^Max (file size|cpu time)' /proc/" + proc +
                           "/limits | "
                           "while read a b c soft hard unit; do echo \"$soft $hard\"; done");
    spec.ephemeral_storage_bytes = fsize;
    spec.timeout = timeout;
    spec.cpu_milli = cpu_milli;
    return run(spec).stdout_bytes.str();
  };
  // /proc lists the CPU time before the file size. A zero limit is not set at all: the
  // child keeps ours (and a timeout under a second gives no CPU time).
  EXPECT_EQ(limits("self", 1 << 20, {60, 0}, 500), "30 30\n1048576 1048576\n");
  EXPECT_EQ(limits("self", 0, {0, 500'000'000}, 1000),
            limits(std::to_string(::getpid()), 0, {60, 0}, 0));
  struct Arith {
    uint64_t seconds;
    uint32_t milli;
    uint64_t want;
  };
  for (const Arith& c : {Arith{60, 500, 30}, Arith{60, 1, 1}, Arith{0, 1000, 0}, Arith{60, 0, 0},
                         Arith{UINT64_MAX / 2, 4, UINT64_MAX / 1000},  // >= 2^64 saturates
                         Arith{UINT64_MAX, UINT32_MAX, UINT64_MAX / 1000}}) {
    SCOPED_TRACE(std::to_string(c.seconds) + " x " + std::to_string(c.milli));
    SandboxSpec spec;
    spec.timeout.seconds = c.seconds;
    spec.cpu_milli = c.milli;
    EXPECT_EQ(child_limits(spec).cpu_seconds, c.want);
  }
}

TEST(ChildSupervision, OutputPastTheCapOrUndeliverableIsDroppedAndTold) {
  const std::string notice = " exceeded 268435456 bytes; truncated\n";
  for (uint64_t bytes : {OUTPUT_CAP_BYTES, OUTPUT_CAP_BYTES + 1}) {
    SCOPED_TRACE(bytes);
    ::testing::internal::CaptureStderr();  // the truncation notice goes to our fd 2
    auto out = run(shell_spec("head -c " + std::to_string(bytes) + " /dev/zero"));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              bytes == OUTPUT_CAP_BYTES ? "" : "ventra.sandbox: stdout" + notice);
    EXPECT_EQ(out.exit_code, 0);
    EXPECT_EQ(out.stdout_bytes.size(), OUTPUT_CAP_BYTES);
    EXPECT_EQ(out.stdout_bytes.view().find_first_not_of('\0'), std::string::npos);
  }
  // A smaller bound, first or last bytes: through a collect (read inline, then by a drain)
  // and on a descriptor that is no pipe (nothing to splice from), read to the end.
  struct Bounded {
    OutputBound bound;
    const char* kept;
    const char* notice;
  };
  using Keep = OutputBound::Keep;
  for (const Bounded& b : {Bounded{{3, Keep::Head}, "abc", " exceeded 3 bytes; truncated\n"},
                           Bounded{{3, Keep::Tail}, "fgh", " exceeded 3 bytes; kept the last 3\n"},
                           Bounded{{8, Keep::Tail}, "abcdefgh", nullptr},
                           Bounded{{0, Keep::Tail}, "", " exceeded 0 bytes; kept the last 0\n"}}) {
    SCOPED_TRACE(std::to_string(b.bound.max_bytes) + b.kept);
    UniqueFd file(::open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    ASSERT_TRUE(write_all(file.get(), "abcdefgh"));
    ::lseek(file.get(), 0, SEEK_SET);
    ::testing::internal::CaptureStderr();
    auto kept = read_to_end(file, StreamLabel::Stderr, b.bound);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              b.notice ? "ventra.sandbox: stderr" + std::string(b.notice) : "");
    ASSERT_TRUE(kept);
    EXPECT_EQ(*kept, b.kept);
    EXPECT_EQ(::lseek(file.get(), 0, SEEK_CUR), 8);
    // Past the inline reads and through the drain's window: 3 MiB, then the 8 bytes.
    auto child = launch(shell_spec("head -c 3145728 /dev/zero; printf abcdefgh"));
    ASSERT_TRUE(child);
    std::atomic<bool> exited{false};
    const pid_t pid = child->pid();
    CollectOptions options;
    options.bound = b.bound;
    ::testing::internal::CaptureStderr();
    auto out =
        collect_child(std::move(child).value(), std::nullopt, pid, exited, std::move(options));
    const std::string stderr_text = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(out);
    const size_t n = b.bound.max_bytes;
    const bool tail = b.bound.keep == Keep::Tail;
    const std::string want = tail ? std::string("abcdefgh").substr(8 - n) : std::string(n, '\0');
    EXPECT_EQ(out->stdout_bytes, want);
    const std::string head = "ventra.sandbox: stdout exceeded " + std::to_string(n) + " bytes;";
    EXPECT_EQ(stderr_text.rfind(head, 0), 0u);
    EXPECT_EQ(std::count(stderr_text.begin(), stderr_text.end(), '\n'), 1);
  }
  // A forward onto a full disk is recorded with its stream; the rest is read and dropped.
  UniqueFd file(::open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  ASSERT_TRUE(write_all(file.get(), "abcdefgh"));
  ::lseek(file.get(), 0, SEEK_SET);
  UniqueFd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  ForwardState state;
  ASSERT_TRUE(read_to_end(file, StreamLabel::Stderr, {3}, full.get(), &state));
  const auto failure = state.first_error();
  ASSERT_TRUE(failure);
  EXPECT_EQ(std::pair(failure->label, failure->err), std::pair(StreamLabel::Stderr, ENOSPC));
  EXPECT_EQ(::lseek(file.get(), 0, SEEK_CUR), 8);
  EXPECT_FALSE(state.pipe_closed.load());
}

// A process that left the group (it writes its pid once it has) and holds stdout hangs
// neither a deadline kill, an exit before the deadline, nor a stop asked once the child has
// exited. A stop while waiting for the child is shown by the module's interrupted collect.
TEST(ChildSupervision, GrandchildOutsideTheGroupHangsNeitherATimedNorAStoppedCollect) {
  TempDir dir;
  const std::string pid_file = dir.path + "/grandchild";
  const std::string setsid = "setsid sh -c 'echo $$ > " + pid_file + "; exec sleep 30' & " +
                             "while [ ! -s " + pid_file + " ]; do sleep 0.01; done; echo up";
  // The script's tail, the time to the deadline, and the exit code (-1: stopped).
  const std::tuple<const char*, std::optional<std::chrono::milliseconds>, int> cases[] = {
      {"; sleep 30", 500ms, 137}, {"", 300ms, 0}, {"", std::nullopt, -1}};
  for (const auto& [rest, wait, code] : cases) {
    SCOPED_TRACE(code);
    auto child = launch(shell_spec(setsid + rest));
    ASSERT_TRUE(child);
    std::atomic<bool> exited{false};
    pid_t pid = child->pid();
    CollectOptions options;
    if (code < 0) options.should_stop = [&] { return exited.load(); };
    const auto start = MonoClock::now();
    const Deadline deadline = wait ? Deadline(start + *wait) : std::nullopt;
    auto out = collect_child(std::move(child).value(), deadline, pid, exited, std::move(options));
    EXPECT_LT(MonoClock::now() - start, 10s);  // catches a hang, not a speed claim
    EXPECT_TRUE(exited.load());
    EXPECT_TRUE(code < 0 ? !out && out.error().kind == CollectError::Kind::Stopped
                         : out && out->exit_code == code && out->stdout_bytes == "up\n");
    pid_t grandchild = 0;
    std::ifstream(pid_file) >> grandchild;
    ASSERT_GT(grandchild, 0);
    EXPECT_EQ(::kill(grandchild, SIGKILL), 0);  // it left the group and survived
    std::filesystem::remove(pid_file);
  }
}

// Each worker runs its children in one of five ways, chosen by the round: plain exit with
// output, kills from two threads racing the collect (before, during and after the reap), a
// deadline kill, a record dropped while its child runs, and stdout forwarded to a pipe
// whose reader is gone (with SIGPIPE's default action, a signal for it would end us).
TEST(ConcurrentSupervision, ParallelLaunchCollectAndKillsKeepEveryOutcome) {
  constexpr int kWorkers = 4, kRounds = 12;
  ASSERT_EQ(::signal(SIGPIPE, SIG_DFL), SIG_DFL);
  const size_t fds_before = open_fd_count();
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([w] {
      for (int round = 0; round < kRounds; ++round) {
        const std::string tag = std::to_string(w) + "-" + std::to_string(round);
        const int mode = (w + round) % 5;
        SCOPED_TRACE("worker " + tag + " mode " + std::to_string(mode));
        const std::string exits = "; echo err-" + tag + " >&2";
        auto child = launch(shell_spec(mode == 0   ? "echo out-" + tag + exits
                                       : mode == 4 ? "head -c 4000000 /dev/zero" + exits
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
        CollectOptions options;
        options.forward_broken = std::make_shared<ForwardState>();
        auto broken = options.forward_broken;
        if (mode == 4) {
          auto sink = make_pipe();  // its read end is closed at the end of this block
          ASSERT_TRUE(sink);
          options.forward_stdout = std::move(sink->write);
        }
        auto out =
            collect_child(std::move(child).value(), deadline, pid, exited, std::move(options));
        for (auto& t : killers) t.join();
        ASSERT_TRUE(out) << out.error().text;
        EXPECT_TRUE(exited.load());
        const bool exit = mode == 0 || mode == 4;
        EXPECT_EQ(out->exit_code, exit ? 0 : 137);
        EXPECT_EQ(out->stdout_bytes, mode == 4 ? "" : (exit ? "out-" : "start-") + tag + "\n");
        EXPECT_EQ(out->stderr_bytes, exit ? "err-" + tag + "\n" : "");
        EXPECT_EQ(broken->pipe_closed.load(), mode == 4);  // the reader went away: EPIPE is told
        EXPECT_FALSE(broken->first_error());
      }
    });
  }
  for (auto& t : workers) t.join();
  EXPECT_TRUE(no_children_left()) << "a child was left";
  EXPECT_LE(open_fd_count(), fds_before + 2);
}

// run_child.cc and the isolation set-up's *_in_child.cc run between clone/vfork and exec.
TEST(ChildProcessCode, UsesOnlyAsyncSignalSafeSymbols) {
  const std::set<std::string> allowed = {
      "vfork",       "fork",        "clone",       "_exit",  "chdir",      "fchdir",
      "dup2",        "execve",      "fexecve",     "setsid", "setrlimit",  "setrlimit64",
      "sigaction",   "sigemptyset", "sigprocmask", "write",  "read",       "open",
      "open64",      "openat",      "openat64",    "close",  "fcntl",      "fcntl64",
      "close_range", "mount",       "umount2",     "mkdir",  "mkdirat",    "rmdir",
      "symlink",     "ioctl",       "socket",      "bind",   "listen",     "sendmsg",
      "prctl",       "syscall",     "setsockopt",  "strlen", "pivot_root", "__errno_location",
      "memset",      "memcpy",      "stat",        "fchmodat", "getppid"};
  // Sanitizer hooks and a linker-defined table are not calls of ours.
  const std::string list =
      "find " + std::string(SANDBOX_BINARY_DIR) +
      "/src/sandbox_core/CMakeFiles/sandbox_core.dir "
      "\\( -name run_child.cc.o -o -name '*_in_child.cc.o' \\) -exec nm -u {} + | "
      "awk 'NF == 2 {sub(/@.*/, \"\", $2); print $2}' | "
      "grep -Ev '^(__asan_|__ubsan_|__sanitizer_|__tsan_|_GLOBAL_OFFSET_TABLE_$)'";
  FILE* p = ::popen(list.c_str(), "r");
  ASSERT_NE(p, nullptr);
  int symbols = 0;
  for (char sym[256]; std::fscanf(p, "%255s", sym) == 1; ++symbols) {
    EXPECT_TRUE(allowed.count(sym)) << "not async-signal-safe: " << sym;
  }
  EXPECT_EQ(::pclose(p), 0);
  EXPECT_GT(symbols, 5);  // the listing worked
}

}  // namespace
}  // namespace sandbox
