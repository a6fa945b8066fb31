#include "sandbox_core/events/event.h"

#include <gtest/gtest.h>

#include "support/capture_sink.h"

namespace sandbox {
namespace {

using events::Level;

// The values are built only once an event passes the maximum level; the proxy tests
// check the target, level and fields of real events.
TEST(DiagnosticEvents, ValuesAreBuiltOnlyForAPassingEvent) {
  int built = 0;
  for (Level max : {Level::Error, Level::Warn}) {
    testing::CaptureScope scope(max);
    SANDBOX_EVENT(Level::Warn, "sandbox_core::proxy", "sandbox_core::proxy::http", ("message"),
                  (++built, "proxy DENIED (deny-list)"));
    EXPECT_EQ(built, max == Level::Warn ? 1 : 0);
    const auto evs = scope.sink().events();
    EXPECT_EQ(evs.size(), static_cast<size_t>(built));
    for (const auto& ev : evs) {
      EXPECT_EQ(ev.module_path, "sandbox_core::proxy::http");
      // The site is named by our own project-relative source file and line.
      EXPECT_EQ(ev.name.rfind("event tests/core/events/event_test.cc:", 0), 0u) << ev.name;
    }
  }
}

}  // namespace
}  // namespace sandbox
