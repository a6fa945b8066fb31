#include <gtest/gtest.h>

#include <cstdlib>

#include "sandbox_core/spec/sandbox_spec.h"

namespace sandbox {
namespace {

// The kinds no core test produces; the others are checked where they are raised (backend
// and launch tests).
TEST(SandboxErrorText, KindsWithoutAProducerKeepTheirFixedMessage) {
  EXPECT_EQ(SandboxError::hardening_unavailable("seccomp").message(),
            "isolation hardening unavailable: seccomp");
  const SandboxError other = SandboxError::other("outer", {"middle", "inner"});
  EXPECT_EQ(other.message(), "outer");
  EXPECT_EQ(other.verbose_message(), "outer: middle: inner");
  EXPECT_EQ(SandboxError::invalid_spec("x").verbose_message(), "invalid spec: x");
}

TEST(SandboxSpecDirs, SystemTempDirFollowsTmpdir) {
  const char* saved = std::getenv("TMPDIR");
  const std::string keep = saved ? saved : "";
  for (auto [value, want] : {std::pair{"/var/tmp/x", "/var/tmp/x"}, std::pair{"", "/tmp"},
                             std::pair{static_cast<const char*>(nullptr), "/tmp"}}) {
    value ? ::setenv("TMPDIR", value, 1) : ::unsetenv("TMPDIR");
    EXPECT_EQ(system_temp_dir(), want);
  }
  if (saved) ::setenv("TMPDIR", keep.c_str(), 1);
}

}  // namespace
}  // namespace sandbox
