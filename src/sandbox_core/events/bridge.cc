#include "sandbox_core/events/bridge.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "sandbox_core/base/quoted.h"

namespace sandbox::events {
namespace {

thread_local std::string_view t_proxy;

// Printable ASCII only; a name also without spaces, quotes or backslashes.
enum class Text : uint8_t { Name, Message };
bool plain(std::string_view text, Text kind) {
  const bool name = kind == Text::Name;
  for (unsigned char c : text) {
    if (c < 0x20 || c >= 0x7f) return false;
    if (name && (c == ' ' || c == '"' || c == '\\')) return false;
  }
  return true;
}

// Names a child chose, and texts that may echo them, go to terminals and logs: as they
// are when plain, else in their quoted form, so no control byte of theirs gets through.
std::string printable(std::string_view text, Text kind) {
  return plain(text, kind) ? std::string(text) : quoted_form(text);
}

}  // namespace

struct EventQueue::State {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<Record> records;  // guarded by mutex
  uint64_t dropped = 0;        // guarded by mutex
};

EventQueue::State& EventQueue::state() {
  static State* s = new State;  // never destroyed, as the queue
  return *s;
}

EventQueue& EventQueue::instance() {
  static EventQueue* queue = new EventQueue;
  return *queue;
}

Record make_record(const Metadata& meta, std::span<const Value> values) {
  Record r;
  r.level = meta.level;
  r.target = meta.target;
  std::string host;
  std::string port;
  for (size_t i = 0; i < meta.field_count && i < values.size(); ++i) {
    const std::string_view field = meta.fields[i];
    const Value& v = values[i];
    std::string text = v.kind == Value::Kind::Text ? std::string(v.text) : std::to_string(v.number);
    if (field == "message")
      r.message = std::move(text);
    else if (field == "host")
      host = std::move(text);
    else if (field == "port")
      port = std::move(text);
    else if (field == "reason")
      r.reason = std::move(text);
  }
  std::string shown;
  if (!host.empty() || !port.empty()) {
    const bool v6 = host.find(':') != std::string::npos;
    r.destination = (v6 ? "[" + host + "]" : host) + ":" + port;
    const bool bracket = v6 && plain(host, Text::Name);
    shown = (bracket ? "[" + host + "]" : printable(host, Text::Name)) + ":" + port;
  }
  r.refused = !r.reason.empty() && !r.destination.empty();
  // The destination stays as asked for; what is read shows it in a printable form.
  r.message = r.refused ? "refused " + shown + " (" + r.reason + ")"
                        : printable(r.message, Text::Message);
  r.proxy = std::string(current_proxy());
  return r;
}

void EventQueue::on_event(const Metadata& meta, std::span<const Value> values) {
  State& s = state();
  {
    std::lock_guard lock(s.mutex);
    if (s.records.size() >= kCapacity) {
      ++s.dropped;
      return;
    }
  }
  Record r = make_record(meta, values);  // formatted outside the lock
  {
    std::lock_guard lock(s.mutex);
    if (s.records.size() >= kCapacity) {
      ++s.dropped;
      return;
    }
    s.records.push_back(std::move(r));
  }
  s.ready.notify_one();
}

bool EventQueue::wait(std::chrono::milliseconds wait) {
  State& s = state();
  std::unique_lock lock(s.mutex);
  return s.ready.wait_for(lock, wait, [&] { return !s.records.empty(); });
}

std::vector<Record> EventQueue::take(uint64_t& dropped) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  std::vector<Record> out(std::make_move_iterator(s.records.begin()),
                          std::make_move_iterator(s.records.end()));
  s.records.clear();
  dropped = s.dropped;
  s.dropped = 0;
  return out;
}

ProxyScope::ProxyScope(std::string_view proxy) noexcept : saved_(t_proxy) { t_proxy = proxy; }
ProxyScope::~ProxyScope() { t_proxy = saved_; }
std::string_view current_proxy() noexcept { return t_proxy; }

}  // namespace sandbox::events
