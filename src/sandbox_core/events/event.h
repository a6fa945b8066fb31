// Diagnostic events. Each emission site has static metadata; an event is built only
// when its level passes the process-wide maximum. The module installs no sink, so the
// maximum stays Off and an emission costs one relaxed load and a compare. Tests install
// a sink to observe events; sinks may be called from any thread, concurrently.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace sandbox::events {

// Verbosity order: a site is enabled when its level is at or below the maximum.
enum class Level : uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

std::string_view level_name(Level level);

struct Metadata {
  const char* name;    // "event {file}:{line}"
  const char* target;  // e.g. "sandbox_core::proxy"
  Level level;
  const char* module_path;  // e.g. "sandbox_core::proxy::http"
  const char* file;
  uint32_t line;
  const char* const* fields;  // ordered, "message" first
  size_t field_count;
};

// One field value: text or an unsigned integer (ports).
struct Value {
  enum class Kind : uint8_t { Text, Unsigned } kind;
  std::string_view text;
  uint64_t number = 0;

  Value(std::string_view t) : kind(Kind::Text), text(t) {}    // NOLINT: implicit by design
  Value(const std::string& t) : kind(Kind::Text), text(t) {}  // NOLINT
  Value(const char* t) : kind(Kind::Text), text(t) {}         // NOLINT
  template <class I, std::enable_if_t<std::is_integral_v<I>, int> = 0>
  Value(I n) : kind(Kind::Unsigned), number(static_cast<uint64_t>(n)) {}  // NOLINT
};

class Sink {
 public:
  virtual ~Sink() = default;
  // values[i] belongs to meta.fields[i].
  virtual void on_event(const Metadata& meta, std::span<const Value> values) = 0;
};

namespace detail {
extern std::atomic<uint8_t> g_max_level;
void dispatch(const Metadata& meta, std::initializer_list<Value> values);
}  // namespace detail

inline bool enabled(Level level) {
  return static_cast<uint8_t>(level) <= detail::g_max_level.load(std::memory_order_relaxed);
}

inline Level max_level() {
  return static_cast<Level>(detail::g_max_level.load(std::memory_order_relaxed));
}

// Installs `sink` (not owned; nullptr removes it) and the maximum level that reaches it.
// The caller keeps the sink alive until it has been removed and no event is in flight.
void set_sink(Sink* sink, Level max);

}  // namespace sandbox::events

#define SANDBOX_EVENT_STR2(x) #x
#define SANDBOX_EVENT_STR(x) SANDBOX_EVENT_STR2(x)
#define SANDBOX_EVENT_UNPAREN(...) __VA_ARGS__

// SANDBOX_EVENT(Level::Warn, "sandbox_core::proxy", "sandbox_core::proxy::http",
//               ("message", "host", "port"), message, host, port);
// The values are evaluated only when the level passes.
#define SANDBOX_EVENT(LEVEL, TARGET, MODULE, FIELDS, ...)                                    \
  do {                                                                                       \
    if (::sandbox::events::enabled(LEVEL)) {                                                 \
      static constexpr const char* sandbox_event_fields_[] = {SANDBOX_EVENT_UNPAREN FIELDS}; \
      static constexpr ::sandbox::events::Metadata sandbox_event_meta_{                      \
          "event " __FILE__ ":" SANDBOX_EVENT_STR(__LINE__),                                 \
          TARGET,                                                                            \
          LEVEL,                                                                             \
          MODULE,                                                                            \
          __FILE__,                                                                          \
          __LINE__,                                                                          \
          sandbox_event_fields_,                                                             \
          sizeof(sandbox_event_fields_) / sizeof(sandbox_event_fields_[0])};                 \
      ::sandbox::events::detail::dispatch(sandbox_event_meta_, {__VA_ARGS__});               \
    }                                                                                        \
  } while (0)
