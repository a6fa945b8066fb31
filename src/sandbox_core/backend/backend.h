// Backend kinds, the backend interface, the once-per-process availability probe, and
// selection by name, which never falls back to a weaker backend.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
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

struct BackendAvailability {
  bool bubblewrap = false;
  bool userns_lite = false;
  bool sandbox_exec = false;
  bool passthrough = true;
  bool available(BackendKind kind) const;
};

// Computed exactly once per process, even under concurrent first calls; later callers
// wait for the first probe and then read the same flags, which never change.
const BackendAvailability& availability();

namespace detail {
// How many times the availability probe has run in this process (0 or 1); for tests.
int availability_probe_count();
}  // namespace detail

// Absolute (or PATH-relative as listed) path of an executable regular file "sandbox-exec".
std::optional<std::string> find_sandbox_exec();

// The refusal text on failure (unknown name or unavailable kind), used unprefixed.
// "sandbox-exec" gets a fresh find_sandbox_exec(), not the probe's result.
Result<std::unique_ptr<Backend>, std::string> select_backend(std::string_view name);

}  // namespace sandbox
