// The "none" backend. Any thread; the only shared state is the warning flag.
#include "sandbox_core/backend/passthrough.h"

#include <atomic>
#include <utility>

#include "sandbox_core/events/event.h"
#include "sandbox_core/launch/launch.h"

namespace sandbox {

namespace {
std::atomic<bool> none_warning_given{false};
}  // namespace

Result<SandboxChild, SandboxError> PassthroughBackend::spawn(const SandboxSpec& spec) {
  // Consumed by the first spawn even when WARN is filtered out then: at most one event.
  if (!none_warning_given.exchange(true)) {
    SANDBOX_EVENT(events::Level::Warn, "sandbox_core::backend::none",
                  "sandbox_core::backend::passthrough", ("message"),
                  "backend=none: running without isolation. Do NOT use for untrusted code.");
  }
  std::vector<std::string> command = build_command(spec);
  if (command.empty()) return fail(SandboxError::invalid_spec("argv is empty"));
  // Per-process rlimits at most: no limit of a whole sandbox holds here.
  if (spec.require_limits) {
    const std::pair<const char*, bool> asked[] = {{"memory_bytes", spec.memory_bytes != 0},
                                                  {"max_processes", spec.max_processes != 0},
                                                  {"cpu_milli", spec.cpu_milli != 0},
                                                  {"ephemeral_storage_bytes",
                                                   spec.ephemeral_storage_bytes != 0}};
    for (auto [key, set] : asked) {
      if (set) {
        return fail(SandboxError::hardening_unavailable(
            std::string(key) + " is not enforced by backend=none: it holds no limit of a sandbox"));
      }
    }
  }
  LaunchOptions options;
  options.program = command.front();
  options.args.assign(command.begin() + 1, command.end());
  options.env_defaults = {{"PATH", std::string(DEFAULT_CHILD_PATH)}};
  options.limits = child_limits(spec);
  return launch_child(options, spec);
}

}  // namespace sandbox
