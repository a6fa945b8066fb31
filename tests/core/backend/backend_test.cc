// Backend selection, sandbox-exec (through a fake tool), spawn failures and the network plan.
#include "sandbox_core/backend/backend.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "launch/child_helpers.h"
#include "sandbox_core/backend/bubblewrap.h"
#include "sandbox_core/backend/passthrough.h"
#include "sandbox_core/backend/sandbox_exec.h"
#include "sandbox_core/backend/sandboxed.h"
#include "sandbox_core/base/platform.h"
#include "support/capture_sink.h"

namespace sandbox {
namespace {

using namespace std::chrono_literals;
using namespace sandbox::test;

// The fake tool goes on PATH before anything probes availability (once per process).
const std::string kFakeToolDir = std::string(SANDBOX_SOURCE_DIR) + "/tests/core/backend";
const std::string kFakeTool = kFakeToolDir + "/sandbox-exec";
[[maybe_unused]] const int kFakeToolOnPath = ::setenv(
    "PATH", (kFakeToolDir + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/bin")).c_str(), 1);

// Sets (or unsets, with nullptr) an environment variable for a scope.
struct ScopedEnv {
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }
  const char* name_;
  std::optional<std::string> old_;
};

std::string slurp(const std::string& path) {
  return std::string(std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {});
}

// The refusal texts are checked through the module's spawn.
TEST(SelectBackend, BuildsAvailableAndRefusesUnknownOrUnavailableNames) {
  const std::pair<std::string, std::optional<BackendKind>> cases[] = {
      {"none", BackendKind::Passthrough},
      {"sandbox-exec", BackendKind::SandboxExec},
      {"sandboxexec", BackendKind::SandboxExec},
      {"bwrap", BackendKind::Bubblewrap},
      {"userns", BackendKind::UsernsLite},
      {"Sandbox-Exec", {}},
      {"", {}},
  };
  for (const auto& [name, kind] : cases) {
    SCOPED_TRACE(name);
    auto r = select_backend(name);
    // The Linux backends are refused exactly where their probe found them unusable.
    ASSERT_EQ(r.has_value(), kind && availability().available(*kind));
    if (r) {
      EXPECT_EQ((*r)->kind(), *kind);
    } else {  // an unavailable backend is refused by its own name, not the alias asked for
      const std::string own = kind ? std::string(backend_kind_name(*kind)) : name;
      EXPECT_NE(r.error().message().find("backend \"" + own + "\""), std::string::npos)
          << r.error().message();
    }
  }
}

// The stubs name the same backends as the table: accepted names, listed names and the
// kind names a LocalProcess reports.
TEST(BackendTable, TypeStubsNameEveryBackendOfTheTable) {
  const std::string package = std::string(SANDBOX_SOURCE_DIR) + "/python/ventra/sandbox/";
  const std::string stub = slurp(package + "_native.pyi") + slurp(package + "spawn_spec.py");
  auto literal_after = [&](const std::string& anchor) {  // throws where the anchor is missing
    size_t open = stub.find("Literal[", stub.find(anchor)), close = stub.find(']', open);
    const std::string body = stub.substr(open, close - open);
    const std::regex quoted("\"([^\"]*)\"");
    return std::set<std::string>(std::sregex_token_iterator(body.begin(), body.end(), quoted, 1),
                                 std::sregex_token_iterator());
  };
  std::set<std::string> accepted, listed, kinds;
  for (const auto& row : backend_table()) {
    accepted.insert(row.accepted.begin(), row.accepted.end());
    listed.insert(std::string(row.listed_name));
    kinds.insert(std::string(backend_kind_name(row.kind)));
  }
  EXPECT_EQ(literal_after("BackendName = "), accepted);
  EXPECT_EQ(literal_after("def kind(self)"), listed);
  EXPECT_EQ(literal_after("def backend(self)"), kinds);
}

TEST(FindSandboxExec, AcceptsOnlyExecutableRegularFiles) {
  TempDir t;
  for (auto d : {"/noexec", "/isdir/sandbox-exec", "/home/bin", "/link"}) {
    ASSERT_TRUE(std::filesystem::create_directories(t.path + d));
  }
  { std::ofstream(t.path + "/noexec/sandbox-exec") << "#!/bin/sh\n"; }  // no execute bit
  std::filesystem::copy(kFakeTool, t.path + "/home/bin");
  ::symlink(kFakeTool.c_str(), (t.path + "/link/sandbox-exec").c_str());
  ScopedEnv home("HOME", (t.path + "/home").c_str());
  const std::pair<std::optional<std::string>, std::optional<std::string>> cases[] = {
      {t.path + "/noexec:" + kFakeToolDir, kFakeTool},
      {t.path + "/isdir:" + kFakeToolDir + "/", kFakeTool},
      {"/nonexistent:~/bin", t.path + "/home/bin/sandbox-exec"},
      {t.path + "/link", t.path + "/link/sandbox-exec"},
      {t.path + "/noexec:" + t.path + "/isdir", std::nullopt},
      {"", std::nullopt},
      {std::nullopt, std::nullopt},
  };
  for (const auto& [path, found] : cases) {
    SCOPED_TRACE(path.value_or("(unset)"));
    ScopedEnv path_env("PATH", path ? path->c_str() : nullptr);
    EXPECT_EQ(find_sandbox_exec(), found);
  }
}

// bwrap runs only from a file that nobody but root or the caller could have swapped: not
// under a directory others may write (/tmp among them), not writable by others itself,
// not setuid. A link resolves to the file it names.
TEST(CheckTool, RefusesWhatAnotherUserCouldReplace) {
  // A directory of ours that nobody else could have swapped either: the build tree, or
  // the home directory when that is under /tmp, whose sticky bit still lets others write.
  auto controlled = [](std::string dir) {
    if (dir.empty() || ::access(dir.c_str(), W_OK) != 0) return false;
    for (; !dir.empty(); dir = dir.substr(0, dir.rfind('/'))) {
      struct stat st;
      if (::stat(dir.c_str(), &st) != 0 || (st.st_uid != 0 && st.st_uid != ::geteuid()) ||
          (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return false;
    }
    return true;
  };
  const char* home = std::getenv("HOME");
  const std::string base = controlled(SANDBOX_BINARY_DIR) ? SANDBOX_BINARY_DIR
                           : home != nullptr && controlled(home) ? home
                                                                  : "";
  if (base.empty()) GTEST_SKIP() << "no directory here that only we control";
  TempDir t;
  std::string dir = base + "/check-tool-XXXXXX";
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  std::filesystem::copy("/usr/bin/true", dir + "/ok");
  std::filesystem::copy("/usr/bin/true", dir + "/groupw");
  std::filesystem::copy("/usr/bin/true", dir + "/setuid");
  std::filesystem::create_directory(dir + "/open");
  std::filesystem::copy("/usr/bin/true", dir + "/open/tool");
  std::filesystem::copy("/usr/bin/true", t.path + "/tool");
  ::symlink((dir + "/ok").c_str(), (dir + "/link").c_str());
  ::chmod((dir + "/groupw").c_str(), 0775);
  ::chmod((dir + "/setuid").c_str(), 04755);
  ::chmod((dir + "/open").c_str(), 0777);
  const std::pair<std::string, std::string> rows[] = {
      {dir + "/ok", ""},
      {dir + "/link", ""},
      {dir + "/groupw", dir + "/groupw is writable by others"},
      {dir + "/setuid", "bwrap at " + dir + "/setuid is setuid, which this backend does not use"},
      {dir + "/open/tool",
       "the directory " + dir + "/open above " + dir + "/open/tool is writable by others"},
      {t.path + "/tool", "the directory /tmp above " + t.path + "/tool is writable by others"},
  };
  for (const auto& [path, refusal] : rows) {
    SCOPED_TRACE(path);
    CheckedTool tool = check_tool(path);
    EXPECT_EQ(tool.refusal, refusal);
    EXPECT_EQ(tool.file.get() >= 0, refusal.empty());
    if (refusal.empty()) {
      EXPECT_EQ(tool.path, dir + "/ok");
    }
  }
  std::filesystem::remove_all(dir);
}

// Checked by its properties, not its layout: deny by default, the network only when not
// blocked, and writes only under the writable paths, each once, quoted and with its
// /private alias (or the other way round) where it is under /tmp or /var.
TEST(SandboxExecProfile, DeniesByDefaultAndAllowsWritesOnlyUnderEachWritablePathOnce) {
  SandboxSpec spec = shell_spec("true", "/w");
  spec.extra_read_write_paths = {"/a\"b",   "/c\\d",    "/a\"b",          "/tmp",
                                 "/tmpfoo", "/tmp/foo", "/private/var/x", "/var"};
  std::multiset<std::string> want_writes;
  for (auto p : {"/tmp", "/private/tmp", "/dev/shm", "/dev/null", "/dev/zero", "/dev/full",
                 "/dev/tty", "/w", "/a\\\"b", "/c\\\\d", "/tmpfoo", "/tmp/foo", "/private/tmp/foo",
                 "/private/var/x", "/var/x", "/var", "/private/var"})
    want_writes.insert("(allow file-write* (subpath \"" + std::string(p) + "\"))");
  for (NetworkPolicy policy : {NetworkPolicy{NetworkBlocked{}}, NetworkPolicy{NetworkOpen{}},
                               NetworkPolicy{NetworkFiltered{}}}) {
    spec.network = policy;
    const bool network = !std::holds_alternative<NetworkBlocked>(policy);
    SCOPED_TRACE(network);
    const std::string text = build_profile(spec);
    EXPECT_TRUE(text.starts_with("(version 1)\n(deny default)\n")) << text;
    std::istringstream profile(text);
    std::multiset<std::string> rest, writes;
    for (std::string line; std::getline(profile, line);) {
      (line.starts_with("(allow file-write*") ? writes : rest).insert(line);
    }
    std::multiset<std::string> want = {"(version 1)", "(deny default)", "(allow process*)",
                                       "(allow sysctl-read)", "(allow file-read*)"};
    if (network) want.insert("(allow network*)");
    EXPECT_EQ(rest, want);
    EXPECT_EQ(writes, want_writes);
  }
}

// A set-up tool that dies before the sandbox init runs is a spawn error carrying its
// status and message, not a process that exits 1. No failure leaves a profile behind.
TEST(BackendSpawn, FailuresLeaveNothingAndSandboxExecGetsItsCommandLineAndProfile) {
  TempDir tmp, rec, work;
  ScopedEnv tmpdir("TMPDIR", tmp.path.c_str());
  SandboxExecBackend with_tool(kFakeTool), without_tool(std::nullopt);
  PassthroughBackend passthrough;
  BubblewrapBackend bubblewrap(kFakeTool);  // a "bwrap" that refuses bwrap's arguments
  SandboxSpec empty_argv = shell_spec("");
  empty_argv.script = ArgvScript{};
  SandboxSpec bad_dir = shell_spec("true");
  bad_dir.host_work_dir = "/nonexistent-sandbox-dir";
  const std::tuple<const char*, Backend&, SandboxSpec, std::string> cases[] = {
      {"no tool", without_tool, shell_spec("true"),
       "isolation tool not available: sandbox-exec not on PATH"},
      {"empty argv", with_tool, empty_argv, "invalid spec: argv is empty"},
      {"empty argv, none", passthrough, empty_argv, "invalid spec: argv is empty"},
      {"launch fails", with_tool, bad_dir, "io: " + os_error_text(ENOENT)},
      {"bwrap dies", bubblewrap, shell_spec("true"),
       "backend setup failed: exit=ExitStatus(unix_wait_status(25088)), "
       "stderr=fake sandbox-exec: expected -f"},
  };
  for (const auto& [what, backend, spec, message] : cases) {
    SCOPED_TRACE(what);
    size_t fds = open_fd_count();
    auto r = backend.spawn(spec);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), message);
    EXPECT_EQ(entries(tmp.path), 0u);
    EXPECT_TRUE(no_children_left());
    EXPECT_LE(open_fd_count(), fds + 1);  // bubblewrap's init memfd, made once per process
  }

  auto backend = select_backend("sandbox-exec");
  ASSERT_TRUE(backend);
  SandboxSpec spec = shell_spec("printenv HOME PATH");
  spec.host_work_dir = work.path;
  spec.env = {{"SANDBOX_FAKE_RECORD", rec.path}};
  auto out = collect((*backend)->spawn(spec));
  EXPECT_EQ(out.exit_code, 0) << out.stderr_bytes;
  EXPECT_EQ(out.stdout_bytes,
            work.path + "\n" + work.path + std::string(kSandboxExecPathSuffix) + "\n");

  const std::string args = slurp(rec.path + "/args");  // one per line
  EXPECT_TRUE(std::regex_match(
      args, std::regex("-f\n" + tmp.path + "/\\.tmp[A-Za-z0-9]{6}\nsh\n-c\nprintenv HOME PATH\n")))
      << args;
  EXPECT_EQ(slurp(rec.path + "/profile"), build_profile(spec));
  EXPECT_EQ(slurp(rec.path + "/mode"), "600\n");
  EXPECT_EQ(entries(tmp.path), 0u);  // deleted with the record

  // Disposal of a running child kills it and deletes its profile.
  auto child = (*backend)->spawn(shell_spec("exec sleep 60"));
  ASSERT_TRUE(child);
  EXPECT_EQ(entries(tmp.path), 1u);
  const auto start = MonoClock::now();
  { SandboxChild doomed = std::move(child).value(); }
  EXPECT_LT(MonoClock::now() - start, 20s);  // killed, not waited for; catches a hang only
  EXPECT_EQ(entries(tmp.path), 0u);
  EXPECT_TRUE(no_children_left());

  // The caller's values win. A relative TMPDIR still gives the tool an absolute profile
  // path: the tool opens it after the child changed to host_dir().
  spec.env = {{"HOME", "/h"}, {"PATH", "/usr/bin:/bin"}, {"SANDBOX_FAKE_RECORD", rec.path}};
  ASSERT_TRUE(std::filesystem::create_directory(tmp.path + "/rel"));
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(tmp.path);
  ScopedEnv relative("TMPDIR", "rel");
  out = collect((*backend)->spawn(spec));
  std::filesystem::current_path(cwd);
  EXPECT_EQ(out.stdout_bytes, "/h\n/usr/bin:/bin\n");
  EXPECT_TRUE(slurp(rec.path + "/args").starts_with("-f\n" + tmp.path + "/rel/.tmp"));
  for (const char* unset : {"", static_cast<const char*>(nullptr)}) {
    ScopedEnv tmpdir_unset("TMPDIR", unset);
    EXPECT_EQ(system_temp_dir(), "/tmp");
  }

  ScopedEnv missing_tmp("TMPDIR", "/nonexistent-sandbox-tmp");
  auto r = with_tool.spawn(shell_spec("true"));
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().message().find("(os error 2) at path \"/nonexistent-sandbox-tmp/.tmp"),
            std::string::npos)
      << r.error().message();
}

// A filtered policy whose variables name no loopback proxy gives no network at all, and
// says so.
TEST(NetworkPlan, FilteredWithoutALoopbackProxyIsBlockedAndWarns) {
  auto filtered = shell_spec("true");
  filtered.network = NetworkFiltered{};
  filtered.env = {{"HTTP_PROXY", "http://proxy.example:3128"}};
  testing::CaptureScope capture(events::Level::Trace);
  auto plan = network_plan(filtered);
  EXPECT_TRUE(plan.own_network);
  EXPECT_TRUE(plan.fence.empty());
  auto warned = capture.sink().events();
  ASSERT_EQ(warned.size(), 1u);
  EXPECT_EQ(warned[0].level, events::Level::Warn);
}

TEST(PassthroughBackendDeathTest, WarnsOncePerProcessAndGivesNoHome) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, flag not yet consumed
  EXPECT_EXIT(
      {
        testing::CaptureScope capture(events::Level::Trace);
        PassthroughBackend backend;
        const std::string want = "[unset] " + std::string(DEFAULT_CHILD_PATH) + "\n";
        for (int i = 0; i < 2; ++i) {
          auto out = collect(backend.spawn(shell_spec("echo \"[${HOME-unset}] $PATH\"")));
          if (out.exit_code != 0 || out.stdout_bytes != want) std::_Exit(10);
        }
        auto events = capture.sink().events();
        std::_Exit(events.size() == 1 && events[0].level == events::Level::Warn ? 0 : 20);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace sandbox
