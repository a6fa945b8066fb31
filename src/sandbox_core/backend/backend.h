// Backend kinds, the backend interface, the once-per-process availability probe, and
// selection by name, which never falls back to a weaker backend.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "sandbox_core/base/result.h"
#include "sandbox_core/launch/sandbox_child.h"
#include "sandbox_core/spec/sandbox_spec.h"

namespace sandbox {

enum class BackendKind : uint8_t { Bubblewrap = 0, UsernsLite = 1, SandboxExec = 2, Passthrough = 3 };

// "bubblewrap", "userns-lite", "sandbox-exec", "none".
std::string_view backend_kind_name(BackendKind kind);

class Backend {
 public:
  virtual ~Backend() = default;
  virtual BackendKind kind() const = 0;
  virtual Result<void, SandboxError> preflight() const = 0;
  virtual Result<SandboxChild, SandboxError> spawn(const SandboxSpec& spec) = 0;
};

// Whether a kind can run here, and when it cannot, what is missing ("no bwrap on PATH").
struct Availability {
  bool available = false;
  std::string reason;
};

// One row per kind: every name, the probe and the factory. select_backend,
// available_backends(), the command line (through available_backends()) and the type
// stubs (checked by a test) all read this table; adding a kind is adding a row.
struct BackendRow {
  BackendKind kind;
  std::string_view listed_name;                // what available_backends() reports
  std::array<std::string_view, 2> accepted;    // what spawn accepts
  std::string_view summary;                    // one line for the command line's listing
  bool isolates;                               // false: the child sees the host as we do
  bool adds_default_path;                      // DEFAULT_CHILD_PATH for an env without PATH
  Availability (*probe)();                     // run once per process
  std::unique_ptr<Backend> (*make)();          // only for an available kind
};

// In the order available_backends() reports them.
std::span<const BackendRow> backend_table();

class BackendAvailability {
 public:
  bool available(BackendKind kind) const { return rows_[index(kind)].available; }
  const std::string& reason(BackendKind kind) const { return rows_[index(kind)].reason; }

 private:
  friend const BackendAvailability& availability();
  static size_t index(BackendKind kind) { return static_cast<size_t>(kind); }
  std::array<Availability, 4> rows_;
};

// Computed exactly once per process, even under concurrent first calls; later callers
// wait for the first probe and then read the same flags, which never change.
const BackendAvailability& availability();

// The first executable regular file `name` in the host's PATH ("~" expanded), as listed
// there (absolute, or relative to the current directory).
std::optional<std::string> find_on_path(std::string_view name);
// find_on_path("sandbox-exec").
std::optional<std::string> find_sandbox_exec();

// The refusal text on failure (unknown name or unavailable kind), used unprefixed.
// "sandbox-exec" gets a fresh find_sandbox_exec(), not the probe's result.
Result<std::unique_ptr<Backend>, std::string> select_backend(std::string_view name);

}  // namespace sandbox
