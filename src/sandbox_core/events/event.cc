#include "sandbox_core/events/event.h"

namespace sandbox::events {
namespace detail {

std::atomic<uint8_t> g_max_level{static_cast<uint8_t>(Level::Off)};
namespace {
std::atomic<Sink*> g_sink{nullptr};
}

void dispatch(const Metadata& meta, std::initializer_list<Value> values) {
  Sink* sink = g_sink.load(std::memory_order_acquire);
  if (sink) sink->on_event(meta, std::span<const Value>(values.begin(), values.size()));
}

}  // namespace detail

std::string_view level_name(Level level) {
  switch (level) {
    case Level::Off:
      return "OFF";
    case Level::Error:
      return "ERROR";
    case Level::Warn:
      return "WARN";
    case Level::Info:
      return "INFO";
    case Level::Debug:
      return "DEBUG";
    case Level::Trace:
      return "TRACE";
  }
  return "?";
}

void set_sink(Sink* sink, Level max) {
  detail::g_sink.store(sink, std::memory_order_release);
  detail::g_max_level.store(static_cast<uint8_t>(sink ? max : Level::Off),
                            std::memory_order_relaxed);
}

}  // namespace sandbox::events
