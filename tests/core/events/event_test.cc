#include "sandbox_core/events/event.h"

#include <gtest/gtest.h>

#include "support/capture_sink.h"

namespace sandbox {
namespace {

using events::Level;

int g_evaluations = 0;
std::string counted(std::string s) {
  ++g_evaluations;
  return s;
}

void emit_warn(const std::string& host, uint16_t port) {
  SANDBOX_EVENT(Level::Warn, "sandbox_core::proxy", "sandbox_core::proxy::http",
                ("message", "host", "port"), counted("proxy DENIED (deny-list)"), host, port);
}

TEST(DiagnosticEvents, ValuesAreNotBuiltWithoutSinkOrAboveTheMaximum) {
  g_evaluations = 0;
  EXPECT_EQ(events::max_level(), Level::Off);
  emit_warn("example.com", 443);
  testing::CaptureScope scope(Level::Error);
  emit_warn("example.com", 1);
  EXPECT_TRUE(scope.sink().events().empty());
  EXPECT_EQ(g_evaluations, 0);
}

TEST(DiagnosticEvents, SinkReceivesMetadataAndOrderedFields) {
  testing::CaptureScope scope(Level::Warn);
  emit_warn("example.com", 443);
  auto evs = scope.sink().events();
  ASSERT_EQ(evs.size(), 1u);
  const auto& e = evs[0];
  EXPECT_EQ(e.target, "sandbox_core::proxy");
  EXPECT_EQ(e.module_path, "sandbox_core::proxy::http");
  EXPECT_EQ(e.level, Level::Warn);
  EXPECT_EQ(e.fields, (std::vector<std::string>{"message", "host", "port"}));
  EXPECT_EQ(e.message(), "proxy DENIED (deny-list)");
  EXPECT_EQ(e.get("host"), "example.com");
  EXPECT_EQ(e.get("port"), "443");
  // The site is named by our own project-relative source file and line.
  EXPECT_EQ(e.name.rfind("event tests/core/events/event_test.cc:", 0), 0u) << e.name;
}

}  // namespace
}  // namespace sandbox
