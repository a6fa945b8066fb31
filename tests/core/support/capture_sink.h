// Test sink that records every event it receives; install it with CaptureScope.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "sandbox_core/events/event.h"

namespace sandbox::testing {

struct CapturedEvent {
  std::string name;
  std::string target;
  events::Level level;
  std::string module_path;
  std::vector<std::string> fields;
  std::vector<std::string> values;  // numbers rendered in decimal
};

class CaptureSink final : public events::Sink {
 public:
  void on_event(const events::Metadata& meta, std::span<const events::Value> values) override {
    CapturedEvent ev{meta.name, meta.target, meta.level, meta.module_path, {}, {}};
    for (size_t i = 0; i < meta.field_count; ++i) ev.fields.emplace_back(meta.fields[i]);
    for (const auto& v : values) {
      ev.values.push_back(v.kind == events::Value::Kind::Text ? std::string(v.text)
                                                              : std::to_string(v.number));
    }
    std::lock_guard lock(mu_);
    events_.push_back(std::move(ev));
  }

  std::vector<CapturedEvent> events() const {
    std::lock_guard lock(mu_);
    return events_;
  }
  // Our events carry their message as the first field.
  std::vector<CapturedEvent> with_message(const std::string& message) const {
    auto out = events();
    std::erase_if(out, [&](const CapturedEvent& e) {
      return e.fields.empty() || e.fields[0] != "message" || e.values[0] != message;
    });
    return out;
  }

 private:
  mutable std::mutex mu_;
  std::vector<CapturedEvent> events_;
};

struct CaptureScope {
  explicit CaptureScope(events::Level max = events::Level::Trace) { events::set_sink(&sink_, max); }
  ~CaptureScope() { events::set_sink(nullptr, events::Level::Off); }
  CaptureSink& sink() { return sink_; }

  CaptureSink sink_;
};

}  // namespace sandbox::testing
