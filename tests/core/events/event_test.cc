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

// The values are built only once an event passes the maximum level; the proxy tests
// check the target, level and fields of real events.
TEST(DiagnosticEvents, ValuesAreBuiltOnlyForAPassingEvent) {
  g_evaluations = 0;
  {
    testing::CaptureScope scope(Level::Error);
    emit_warn("example.com", 1);
  }
  EXPECT_EQ(g_evaluations, 0);
  testing::CaptureScope scope(Level::Warn);
  emit_warn("example.com", 443);
  EXPECT_EQ(g_evaluations, 1);
  auto evs = scope.sink().events();
  ASSERT_EQ(evs.size(), 1u);
  EXPECT_EQ(evs[0].module_path, "sandbox_core::proxy::http");
  // The site is named by our own project-relative source file and line.
  EXPECT_EQ(evs[0].name.rfind("event tests/core/events/event_test.cc:", 0), 0u) << evs[0].name;
}

}  // namespace
}  // namespace sandbox
