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
#include <vector>

#include "sandbox_core/base/result.h"
#include "sandbox_core/launch/sandbox_child.h"
#include "sandbox_core/spec/sandbox_spec.h"

namespace sandbox {

enum class BackendKind : uint8_t {
  Bubblewrap = 0,
  UsernsLite = 1,
  SandboxExec = 2,
  Passthrough = 3
};
inline constexpr size_t kBackendKindCount = 4;
// What a spec that names no backend asks for; it is never swapped for a weaker one.
inline constexpr BackendKind kDefaultBackend = BackendKind::Bubblewrap;

// The kind's own name, the first of its row's accepted names: "bubblewrap", "userns-lite",
// "sandbox-exec", "none".
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

// How a kind's launch ends: at the exec of the program (vfork returns then), or once a
// whole sandbox has come up (namespaces, bwrap, the init's report), which takes
// milliseconds of waiting for other processes.
enum class LaunchWait : uint8_t { UntilExec, UntilSandboxUp };

// Whether a kind holds limits for its whole sandbox (cgroups, the sizes of its tmpfs), and
// whether its sandbox always has a user namespace of its own (RLIMIT_NPROC then counts the
// sandbox's processes only).
enum class SandboxLimits : uint8_t { None, OwnUserNamespace };

// The Landlock layers a kind applies, each where the kernel has its ABI: file rules from 1,
// scoping (abstract sockets, signals) from 6.
enum LandlockLayers : uint8_t { kNoLandlock = 0, kLandlockFileRules = 1, kLandlockScoping = 2 };

// One row per kind: every name, the probe and the factory. select_backend,
// available_backends(), the command line (through available_backends()) and the type
// stubs (checked by a test) all read this table; adding a kind is adding a row.
struct BackendRow {
  BackendKind kind;
  std::string_view listed_name;              // what available_backends() reports
  std::array<std::string_view, 2> accepted;  // what spawn accepts; the first is the kind's name
  std::string_view summary;                  // one line for the command line's listing
  bool isolates;                             // false: the child sees the host as we do
  bool adds_default_path;                    // DEFAULT_CHILD_PATH for an env without PATH
  LaunchWait wait;                           // what spawn() waits for
  SandboxLimits limits;                      // see enforced_limits_of
  uint8_t landlock;                          // LandlockLayers
  bool fences;  // under a filtered policy only the proxies named in its env are reachable
  bool copy_on_write;                        // can mount the work directory as an overlay
  Availability (*probe)();                   // see availability_of
  std::unique_ptr<Backend> (*make)();        // only for an available kind
};

// In the order available_backends() reports them.
std::span<const BackendRow> backend_table();
// The row of `kind`.
const BackendRow& backend_row(BackendKind kind);
// The row's summary, with the layers this kernel adds (Landlock where it has it).
std::string backend_summary(const BackendRow& row);
// The Landlock layers of the row this kernel applies: "Landlock" (file rules), "Landlock
// scoping".
std::vector<std::string_view> landlock_layers_of(const BackendRow& row);
// The spawn keys whose whole-sandbox limits the row's kind holds on this host; empty for a
// kind that holds none by design.
std::vector<std::string> enforced_limits_of(const BackendRow& row);

// The row of the kind that spawn accepts `name` for, or null.
const BackendRow* find_backend_row(std::string_view name);

// A kind's availability. The probe of a Linux kind launches a trial sandbox and waits for
// it, so no lock is held around it: callers that arrive while it runs probe too. A kind
// found available stays so for the process; a failed probe is not kept, since a retry may
// clear it (a lost race, a passing lack of resources), so the next caller probes again.
Availability availability_of(BackendKind kind);

// Every kind's availability, as availability_of gave it once for each.
class BackendAvailability {
 public:
  bool available(BackendKind kind) const { return at(kind).available; }
  const std::string& reason(BackendKind kind) const { return at(kind).reason; }
  Availability& at(BackendKind kind) { return kinds_[static_cast<size_t>(kind)]; }
  const Availability& at(BackendKind kind) const { return kinds_[static_cast<size_t>(kind)]; }

 private:
  std::array<Availability, kBackendKindCount> kinds_;
};
BackendAvailability availability();

// availability(), with the trial sandboxes side by side ("backend-probe" threads), so a
// call waits for the slowest trial rather than for all in turn.
BackendAvailability probe_all_backends();

// The first executable regular file `name` in the host's PATH ("~" expanded), as listed
// there (absolute, or relative to the current directory).
std::optional<std::string> find_on_path(std::string_view name);
// find_on_path("sandbox-exec").
std::optional<std::string> find_sandbox_exec();

// Why select_backend refused a name. The message is used unprefixed.
struct BackendRefusal {
  enum class Why : uint8_t { UnknownName, Unavailable };
  Why why;
  std::string name;    // the name asked for
  BackendKind kind{};  // Unavailable only: the kind that name selects
  std::string reason;  // Unavailable only: what is missing, as the probe said
  std::string message() const;
};

// "sandbox-exec" gets a fresh find_sandbox_exec(), not the probe's result.
Result<std::unique_ptr<Backend>, BackendRefusal> select_backend(std::string_view name);

}  // namespace sandbox
