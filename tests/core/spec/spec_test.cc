#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>

#include "sandbox_core/spec/sandbox_spec.h"

namespace sandbox {
namespace {

TEST(SandboxErrorText, EveryKindHasItsFixedMessage) {
  struct Case {
    SandboxError error;
    std::string message;
  } cases[] = {
      {SandboxError::tool_unavailable("sandbox-exec not on PATH"),
       "isolation tool not available: sandbox-exec not on PATH"},
      {SandboxError::setup_failed(256, "boom\n"),
       "backend setup failed: exit=ExitStatus(unix_wait_status(256)), stderr=boom\n"},
      {SandboxError::invalid_spec("argv is empty"), "invalid spec: argv is empty"},
      {SandboxError::hardening_unavailable("seccomp"), "isolation hardening unavailable: seccomp"},
      {SandboxError::other("outer", {"middle", "inner"}), "outer"},
      {SandboxError::io(IoError::from_errno(ENOENT)), "io: " + os_error_text(ENOENT)},
      {SandboxError::io(IoError::custom("nul byte found in provided data", EINVAL)),
       "io: nul byte found in provided data"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(c.error.message(), c.message);
  }
  EXPECT_EQ(SandboxError::other("outer", {"middle", "inner"}).verbose_message(),
            "outer: middle: inner");
  EXPECT_EQ(SandboxError::invalid_spec("x").verbose_message(), "invalid spec: x");
}

TEST(SandboxSpecDirs, SystemTempDirFollowsTmpdir) {
  const char* saved = std::getenv("TMPDIR");
  std::string keep = saved ? saved : "";
  ::setenv("TMPDIR", "/var/tmp/x", 1);
  EXPECT_EQ(system_temp_dir(), "/var/tmp/x");
  ::setenv("TMPDIR", "", 1);
  EXPECT_EQ(system_temp_dir(), "/tmp");
  ::unsetenv("TMPDIR");
  EXPECT_EQ(system_temp_dir(), "/tmp");
  if (saved) ::setenv("TMPDIR", keep.c_str(), 1);
}

TEST(SandboxSpecDefaults, MatchTheDocumentedDefaults) {
  SandboxSpec spec;
  EXPECT_TRUE(std::holds_alternative<ShellScript>(spec.script));
  EXPECT_EQ(spec.timeout.seconds, 60u);
  EXPECT_TRUE((Timeout{0, 0}.is_zero()));
  EXPECT_FALSE((Timeout{0, 1}.is_zero()));
  EXPECT_TRUE(std::holds_alternative<NetworkBlocked>(spec.network));
  EXPECT_TRUE(spec.capture_stdout && spec.capture_stderr);
  EXPECT_EQ(PythonScript{}.interpreter, "python3");
}

}  // namespace
}  // namespace sandbox
