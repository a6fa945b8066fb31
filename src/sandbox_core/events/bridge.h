// The hand-over of diagnostic events to the host: a sink that turns each event into a
// plain record and queues it, bounded, for a host thread to take. Emitting threads (proxy
// threads among them) only format and queue: they never wait for the taker, and a record
// that finds the queue full is dropped and counted.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sandbox_core/events/event.h"

namespace sandbox::events {

struct Record {
  Level level = Level::Warn;
  std::string target;
  // Printable: "refused <destination> (<reason>)" for a refusal, with a name that is not
  // plain in its quoted form; any other message quoted if it is not plain.
  std::string message;
  std::string destination;  // "host:port" ("[v6]:port") when the event names one: as asked
  std::string proxy;        // the proxy the event came from (its URL), if any
  std::string reason;       // why a destination was refused; else empty
  bool refused = false;     // a refused destination
};

// Turns one event into a record. The proxy is the emitting thread's ProxyScope.
Record make_record(const Metadata& meta, std::span<const Value> values);

class EventQueue final : public Sink {
 public:
  static constexpr size_t kCapacity = 1024;

  // Process-wide, never destroyed: detached threads may emit while the process exits.
  static EventQueue& instance();

  void on_event(const Metadata& meta, std::span<const Value> values) override;

  // Waits up to `wait` for a record to be queued; true when one is. Blocks only on the
  // queue's own lock and condition.
  bool wait(std::chrono::milliseconds wait);
  // Every queued record, oldest first, and (in `dropped`) how many were dropped since
  // the last take.
  std::vector<Record> take(uint64_t& dropped);

 private:
  EventQueue() = default;
  struct State;
  State& state();
};

// Names the proxy whose events this thread emits while the scope lives (the runtime sets
// it around a handler). `proxy` must outlive the scope.
class ProxyScope {
 public:
  explicit ProxyScope(std::string_view proxy) noexcept;
  ~ProxyScope();
  ProxyScope(const ProxyScope&) = delete;
  ProxyScope& operator=(const ProxyScope&) = delete;

 private:
  std::string_view saved_;
};
std::string_view current_proxy() noexcept;

}  // namespace sandbox::events
