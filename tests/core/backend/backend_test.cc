// Backend selection, availability, the sandbox-exec profile and a fake sandbox-exec tool.
// The fake tool goes on PATH in a global environment, before anything probes availability
// (the probe runs once per process).
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "sandbox_core/backend/backend.h"
#include "sandbox_core/backend/fs_allowlist.h"
#include "sandbox_core/backend/passthrough.h"
#include "sandbox_core/backend/sandbox_exec.h"
#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/launch/launch.h"
#include "sandbox_core/launch/supervision.h"
#include "support/capture_sink.h"

namespace sandbox {
namespace {

const std::string kFakeToolDir = std::string(SANDBOX_BINARY_DIR) + "/fake-sandbox-exec";

// Records its arguments (one per line), the profile and its mode into
// $SANDBOX_FAKE_RECORD when set, then runs the command like the real tool would.
constexpr const char* kFakeTool = R"(#!/bin/sh
[ "$1" = "-f" ] || { echo "fake sandbox-exec: expected -f" >&2; exit 98; }
if [ -n "${SANDBOX_FAKE_RECORD:-}" ]; then
  : > "$SANDBOX_FAKE_RECORD/args"
  for a in "$@"; do printf '%s\n' "$a" >> "$SANDBOX_FAKE_RECORD/args"; done
  cat "$2" > "$SANDBOX_FAKE_RECORD/profile"
  stat -c %a "$2" > "$SANDBOX_FAKE_RECORD/mode"
fi
shift 2
exec "$@"
)";

class FakeToolOnPath : public ::testing::Environment {
 public:
  void SetUp() override {
    ::mkdir(kFakeToolDir.c_str(), 0755);
    // Written aside and renamed: test processes may run in parallel.
    std::string tmp = kFakeToolDir + "/.sandbox-exec." + std::to_string(::getpid());
    { std::ofstream(tmp) << kFakeTool; }
    ::chmod(tmp.c_str(), 0755);
    ASSERT_EQ(::rename(tmp.c_str(), (kFakeToolDir + "/sandbox-exec").c_str()), 0);
    const char* path = std::getenv("PATH");
    ::setenv("PATH", (kFakeToolDir + ":" + (path ? path : "/usr/bin:/bin")).c_str(), 1);
  }
};
[[maybe_unused]] auto* const kFakeToolEnv =
    ::testing::AddGlobalTestEnvironment(new FakeToolOnPath);

// Sets (or unsets, with nullptr) an environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

struct TempDir {
  std::string path;
  TempDir() {
    path = "/tmp/sandbox-backend-XXXXXX";
    EXPECT_NE(::mkdtemp(path.data()), nullptr);
  }
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::vector<std::string> entries() const {
    std::vector<std::string> out;
    DIR* d = ::opendir(path.c_str());
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") out.push_back(n);
    }
    ::closedir(d);
    return out;
  }
};

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, mode_t mode) {
  { std::ofstream(path) << "#!/bin/sh\nexit 0\n"; }
  ::chmod(path.c_str(), mode);
}

Result<CollectedOutput, CollectError> collect(Result<SandboxChild, SandboxError> child) {
  EXPECT_TRUE(child) << child.error().message();
  if (!child) return fail(CollectError{CollectError::Kind::Failure, "spawn failed"});
  std::atomic<bool> exited{false};
  pid_t pid = child->pid();
  return collect_child(std::move(child).value(), std::nullopt, pid, exited);
}

SandboxSpec shell_spec(std::string script, std::string dir = "/tmp") {
  SandboxSpec spec;
  spec.script = ShellScript{std::move(script)};
  spec.work_dir = std::move(dir);
  return spec;
}

TEST(BackendAvailability, ConcurrentFirstCallsProbeOnce) {
  constexpr int kThreads = 8;
  std::atomic<int> ready{0};
  const BackendAvailability* seen[kThreads] = {};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) {
      }
      seen[i] = &availability();
    });
  }
  for (auto& t : threads) t.join();
  for (auto* s : seen) EXPECT_EQ(s, seen[0]);
  EXPECT_EQ(detail::availability_probe_count(), 1);
  EXPECT_TRUE(seen[0]->sandbox_exec);  // the fake tool was on PATH at the probe
  EXPECT_TRUE(seen[0]->passthrough);
  EXPECT_FALSE(seen[0]->bubblewrap);
  EXPECT_FALSE(seen[0]->userns_lite);
}

TEST(BackendAvailabilityDeathTest, NoPathMeansNoSandboxExec) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, probe not yet run
  EXPECT_EXIT(
      {
        ::unsetenv("PATH");
        auto r = select_backend("sandbox-exec");
        std::_Exit(!availability().sandbox_exec && !r ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(SelectBackend, RefusesUnknownAndUnavailableNames) {
  const std::string unavailable_tail =
      " is not available in this environment, and we refuse to downgrade to weaker isolation. "
      "bubblewrap needs CAP_SYS_ADMIN + an unconfined AppArmor profile on the pod "
      "(kestrix.PodTemplate.allow_nested_sandboxing()); userns needs unprivileged user "
      "namespaces. Pick a backend that this pod supports explicitly (e.g. backend=\"userns\"), "
      "or grant the missing capability.";
  const std::string unknown_tail =
      "; expected one of \"bubblewrap\", \"userns\", \"sandbox-exec\", or \"none\"";
  struct Case {
    std::string name, message;
  } cases[] = {
      {"bubblewrap", "sandbox backend \"bubblewrap\"" + unavailable_tail},
      {"bwrap", "sandbox backend \"bubblewrap\"" + unavailable_tail},
      {"userns", "sandbox backend \"userns-lite\"" + unavailable_tail},
      {"userns-lite", "sandbox backend \"userns-lite\"" + unavailable_tail},
      {"Sandbox-Exec", "unknown sandbox backend \"Sandbox-Exec\"" + unknown_tail},
      {"", "unknown sandbox backend \"\"" + unknown_tail},
      {"a\"b\n", "unknown sandbox backend \"a\\\"b\\n\"" + unknown_tail},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = select_backend(c.name);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), c.message);
  }
}

TEST(SelectBackend, BuildsAvailableBackends) {
  struct Case {
    const char* name;
    BackendKind kind;
  } cases[] = {{"none", BackendKind::Passthrough},
               {"sandbox-exec", BackendKind::SandboxExec},
               {"sandboxexec", BackendKind::SandboxExec}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = select_backend(c.name);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ((*r)->kind(), c.kind);
    EXPECT_TRUE((*r)->preflight());
  }
  auto r = select_backend("sandbox-exec");
  ASSERT_TRUE(r);
  EXPECT_EQ(static_cast<SandboxExecBackend&>(**r).tool_path(), kFakeToolDir + "/sandbox-exec");
  EXPECT_EQ(backend_kind_name(BackendKind::UsernsLite), "userns-lite");
  EXPECT_EQ(static_cast<int>(BackendKind::Passthrough), 3);
}

TEST(FindSandboxExec, AcceptsOnlyExecutableRegularFiles) {
  TempDir t;
  for (auto d : {"/noexec", "/exec", "/isdir", "/home", "/home/bin"}) ::mkdir((t.path + d).c_str(), 0755);
  write_file(t.path + "/noexec/sandbox-exec", 0644);
  write_file(t.path + "/exec/sandbox-exec", 0755);
  write_file(t.path + "/home/bin/sandbox-exec", 0755);
  ::mkdir((t.path + "/isdir/sandbox-exec").c_str(), 0755);
  ::mkdir((t.path + "/link").c_str(), 0755);
  ::symlink((t.path + "/exec/sandbox-exec").c_str(), (t.path + "/link/sandbox-exec").c_str());
  ScopedEnv home("HOME", (t.path + "/home").c_str());
  struct Case {
    std::string path;
    std::optional<std::string> found;
  } cases[] = {
      {t.path + "/noexec:" + t.path + "/exec", t.path + "/exec/sandbox-exec"},
      {t.path + "/isdir:" + t.path + "/exec/", t.path + "/exec/sandbox-exec"},
      {"/nonexistent:~/bin", t.path + "/home/bin/sandbox-exec"},
      {t.path + "/link", t.path + "/link/sandbox-exec"},
      {t.path + "/noexec:" + t.path + "/isdir", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    ScopedEnv path("PATH", c.path.c_str());
    EXPECT_EQ(find_sandbox_exec(), c.found);
  }
  ScopedEnv no_path("PATH", nullptr);
  EXPECT_EQ(find_sandbox_exec(), std::nullopt);
}

std::vector<std::string> writable_list(const std::string& host, std::vector<std::string> extra = {}) {
  std::vector<std::string> list;
  for (auto p : kDefaultReadWritePaths) push_writable_path(list, std::string(p));
  push_writable_path(list, host);
  for (auto& e : extra) push_writable_path(list, e);
  return list;
}

TEST(SandboxExecProfile, MatchesTheThirteenLineExample) {
  SandboxSpec spec = shell_spec("true", "/Users/u/w");
  EXPECT_EQ(build_profile(spec),
            "(version 1)\n"
            "(deny default)\n"
            "(allow process*)\n"
            "(allow sysctl-read)\n"
            "(allow file-read*)\n"
            "(allow file-write* (subpath \"/tmp\"))\n"
            "(allow file-write* (subpath \"/private/tmp\"))\n"
            "(allow file-write* (subpath \"/dev/shm\"))\n"
            "(allow file-write* (subpath \"/dev/null\"))\n"
            "(allow file-write* (subpath \"/dev/zero\"))\n"
            "(allow file-write* (subpath \"/dev/full\"))\n"
            "(allow file-write* (subpath \"/dev/tty\"))\n"
            "(allow file-write* (subpath \"/Users/u/w\"))\n");
}

TEST(SandboxExecProfile, NetworkLineUnlessBlocked) {
  const std::string head =
      "(version 1)\n(deny default)\n(allow process*)\n(allow sysctl-read)\n(allow file-read*)\n";
  for (NetworkPolicy policy : {NetworkPolicy{NetworkOpen{}}, NetworkPolicy{NetworkFiltered{}}}) {
    SandboxSpec spec = shell_spec("true", "/w");
    spec.network = policy;
    std::string p = build_profile(spec);
    EXPECT_TRUE(p.starts_with(head + "(allow network*)\n(allow file-write* (subpath \"/tmp\"))\n"));
  }
  EXPECT_EQ(build_profile(shell_spec("true", "/w")).find("network"), std::string::npos);
}

TEST(SandboxExecProfile, WritablePathAliasesAndDuplicates) {
  using V = std::vector<std::string>;
  const V defaults = {"/tmp", "/private/tmp", "/dev/shm", "/dev/null", "/dev/zero", "/dev/full",
                      "/dev/tty"};
  auto with = [&](V tail) {
    V v = defaults;
    v.insert(v.end(), tail.begin(), tail.end());
    return v;
  };
  EXPECT_EQ(writable_list("/tmp"), defaults);
  EXPECT_EQ(writable_list("/private/var/folders/x"),
            with({"/private/var/folders/x", "/var/folders/x"}));
  EXPECT_EQ(writable_list("/var/folders/x"), with({"/var/folders/x", "/private/var/folders/x"}));
  EXPECT_EQ(writable_list("/w", {"/tmpfoo", "/tmp/foo", "/w", "/tmpfoo", "/var"}),
            with({"/w", "/tmpfoo", "/tmp/foo", "/private/tmp/foo", "/var", "/private/var"}));
  // Already present, the path adds nothing but its alias is still considered.
  V list = {"/private/tmp/a"};
  push_writable_path(list, "/private/tmp/a");
  EXPECT_EQ(list, (V{"/private/tmp/a", "/tmp/a"}));
}

TEST(SandboxExecProfile, EscapesQuotesAndBackslashes) {
  SandboxSpec spec = shell_spec("true", "/w");
  spec.extra_read_write_paths = {"/a\"b", "/c\\d", "/a\"b"};
  std::string p = build_profile(spec);
  EXPECT_TRUE(p.ends_with("(allow file-write* (subpath \"/w\"))\n"
                          "(allow file-write* (subpath \"/a\\\"b\"))\n"
                          "(allow file-write* (subpath \"/c\\\\d\"))\n"))
      << p;
}

TEST(SandboxExecSpawn, ToolCommandLineDefaultsAndProfileFile) {
  TempDir tmp, rec, work;
  ScopedEnv tmpdir("TMPDIR", tmp.path.c_str());
  auto backend = select_backend("sandbox-exec");
  ASSERT_TRUE(backend);
  const std::string script = "echo \"$HOME\"; echo \"$PATH\"";
  SandboxSpec spec = shell_spec(script);
  spec.host_work_dir = work.path;
  spec.env = {{"SANDBOX_FAKE_RECORD", rec.path}};
  auto out = collect((*backend)->spawn(spec));
  ASSERT_TRUE(out) << out.error().text;
  EXPECT_EQ(out->exit_code, 0) << out->stderr_bytes;
  EXPECT_EQ(out->stdout_bytes,
            work.path + "\n" + work.path + std::string(kSandboxExecPathSuffix) + "\n");

  std::istringstream args(slurp(rec.path + "/args"));
  std::vector<std::string> argv;
  for (std::string line; std::getline(args, line);) argv.push_back(line);
  ASSERT_EQ(argv.size(), 5u);
  EXPECT_EQ(argv[0], "-f");
  EXPECT_TRUE(std::regex_match(argv[1], std::regex(tmp.path + "/\\.tmp[A-Za-z0-9]{6}"))) << argv[1];
  EXPECT_EQ((std::vector<std::string>{argv[2], argv[3], argv[4]}),
            (std::vector<std::string>{"sh", "-c", script}));
  EXPECT_EQ(slurp(rec.path + "/profile"), build_profile(spec));
  EXPECT_EQ(slurp(rec.path + "/mode"), "600\n");
  EXPECT_TRUE(tmp.entries().empty());  // deleted with the record
}

TEST(SandboxExecSpawn, CallerHomeAndPathWin) {
  auto backend = select_backend("sandbox-exec");
  ASSERT_TRUE(backend);
  SandboxSpec spec = shell_spec("echo \"$HOME\"; echo \"$PATH\"");
  spec.env = {{"HOME", "/h"}, {"PATH", "/usr/bin:/bin"}};
  auto out = collect((*backend)->spawn(spec));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->stdout_bytes, "/h\n/usr/bin:/bin\n");
}

TEST(SandboxExecSpawn, FailuresLeaveNoProfileBehind) {
  TempDir tmp;
  ScopedEnv tmpdir("TMPDIR", tmp.path.c_str());
  SandboxExecBackend with_tool(kFakeToolDir + "/sandbox-exec");
  SandboxExecBackend without_tool(std::nullopt);

  SandboxSpec empty_argv = shell_spec("");
  empty_argv.script = ArgvScript{};
  SandboxSpec bad_dir = shell_spec("true");
  bad_dir.host_work_dir = "/nonexistent-sandbox-dir";
  ASSERT_NE(::chdir(bad_dir.host_dir().c_str()), 0);
  int chdir_err = errno;

  struct Case {
    const char* what;
    Backend& backend;
    SandboxSpec spec;
    std::string message;
  } cases[] = {
      {"no tool", without_tool, shell_spec("true"),
       "isolation tool not available: sandbox-exec not on PATH"},
      {"empty argv", with_tool, empty_argv, "invalid spec: argv is empty"},
      {"launch fails", with_tool, bad_dir, "io: " + os_error_text(chdir_err)},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto r = c.backend.spawn(c.spec);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), c.message);
    EXPECT_TRUE(tmp.entries().empty());
  }
  auto pre = without_tool.preflight();
  ASSERT_FALSE(pre);
  EXPECT_EQ(pre.error().message(), "isolation tool not available: sandbox-exec not on PATH");
  auto none = PassthroughBackend().spawn(empty_argv);
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().message(), "invalid spec: argv is empty");
}

TEST(SandboxExecSpawn, ProfileCreationErrorNamesThePath) {
  ScopedEnv tmpdir("TMPDIR", "/nonexistent-sandbox-tmp");
  auto r = SandboxExecBackend(kFakeToolDir + "/sandbox-exec").spawn(shell_spec("true"));
  ASSERT_FALSE(r);
  EXPECT_TRUE(std::regex_match(
      r.error().message(),
      std::regex("io: .* \\(os error 2\\) at path \"/nonexistent-sandbox-tmp/\\.tmp[A-Za-z0-9]{6}\"")))
      << r.error().message();
}

TEST(SandboxExecSpawn, RelativeTmpdirStillGivesTheToolAnAbsoluteProfilePath) {
  // The tool opens the profile after the child changed to host_dir().
  TempDir base, rec;
  ASSERT_EQ(::mkdir((base.path + "/rel").c_str(), 0700), 0);
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(base.path.c_str()), 0);
  ScopedEnv tmpdir("TMPDIR", "rel");
  SandboxSpec spec = shell_spec("true", "/");
  spec.env = {{"SANDBOX_FAKE_RECORD", rec.path}};
  auto out = collect(SandboxExecBackend(kFakeToolDir + "/sandbox-exec").spawn(spec));
  ASSERT_EQ(::chdir(cwd), 0);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->exit_code, 0) << out->stderr_bytes;
  EXPECT_EQ(slurp(rec.path + "/profile"), build_profile(spec));
  EXPECT_TRUE(slurp(rec.path + "/args").starts_with("-f\n" + base.path + "/rel/.tmp"));
}

TEST(SandboxExecSpawn, DisposalKillsChildAndDeletesProfile) {
  TempDir tmp;
  ScopedEnv tmpdir("TMPDIR", tmp.path.c_str());
  auto child = SandboxExecBackend(kFakeToolDir + "/sandbox-exec").spawn(shell_spec("exec sleep 60"));
  ASSERT_TRUE(child);
  ASSERT_EQ(tmp.entries().size(), 1u);
  auto copy = dup_cloexec(child->stdout_fd().get());
  ASSERT_TRUE(copy);
  { SandboxChild doomed = std::move(child).value(); }
  EXPECT_TRUE(tmp.entries().empty());
  UniqueFd fd = std::move(copy).value();
  auto rest = read_to_end(fd);  // end of file: the sleeping child is gone
  ASSERT_TRUE(rest);
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

TEST(SandboxExecSpawn, ManyCyclesLeaveNoTempFilesOrZombies) {
  TempDir tmp;
  ScopedEnv tmpdir("TMPDIR", tmp.path.c_str());
  SandboxExecBackend backend(kFakeToolDir + "/sandbox-exec");
  SandboxSpec spec = shell_spec("true");
  spec.script = ArgvScript{{"true"}};
  for (int i = 0; i < 200; ++i) {
    auto out = collect(backend.spawn(spec));
    if (!out || out->exit_code != 0) FAIL() << "cycle " << i;
  }
  EXPECT_TRUE(tmp.entries().empty());
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(PassthroughBackendDeathTest, WarnsOncePerProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, flag not yet consumed
  EXPECT_EXIT(
      {
        testing::CaptureScope capture(events::Level::Trace);
        PassthroughBackend backend;
        for (int i = 0; i < 2; ++i) {
          auto out = collect(backend.spawn(shell_spec("true")));
          if (!out || out->exit_code != 0) std::_Exit(10);
        }
        auto events = capture.sink().events();
        if (events.size() != 1) std::_Exit(20 + static_cast<int>(events.size()));
        const auto& e = events[0];
        bool ok = e.target == "sandbox_core::backend::none" &&
                  e.module_path == "sandbox_core::backend::passthrough" &&
                  e.level == events::Level::Warn &&
                  e.fields == std::vector<std::string>{"message"} &&
                  e.message() ==
                      "backend=none: running without isolation. Do NOT use for untrusted code.";
        std::_Exit(ok ? 0 : 30);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(PassthroughBackend, ChildHasNoHomeAndDefaultPath) {
  auto out = collect(PassthroughBackend().spawn(shell_spec("echo \"[${HOME-unset}] $PATH\"")));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->stdout_bytes, "[unset] " + std::string(DEFAULT_CHILD_PATH) + "\n");
}

}  // namespace
}  // namespace sandbox
