// The "none" backend: an ordinary child with the shared launch steps and no isolation.
// Warns once per process, on the first spawn through it.
#pragma once

#include "sandbox_core/backend/backend.h"

namespace sandbox {

class PassthroughBackend final : public Backend {
 public:
  BackendKind kind() const override { return BackendKind::Passthrough; }
  Result<void, SandboxError> preflight() const override { return {}; }
  Result<SandboxChild, SandboxError> spawn(const SandboxSpec& spec) override;
};

}  // namespace sandbox
