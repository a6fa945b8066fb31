// The sandbox-exec backend: the profile text, the profile file in the temporary
// directory (deleted with the child, or at once when the launch fails), and the tool's
// command line.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sandbox_core/backend/backend.h"

namespace sandbox {

// Appended to host_dir() to form the default PATH of a sandbox-exec child.
inline constexpr std::string_view kSandboxExecPathSuffix =
    "/.local/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

// Adds `path` and its /private alias (/tmp <-> /private/tmp, /var <-> /private/var),
// each unless already present.
void push_writable_path(std::vector<std::string>& list, const std::string& path);

// The profile: read everywhere, write below the fixed list + host_dir() + extras, network
// opened unless blocked. One statement per line, each ending in "\n".
std::string build_profile(const SandboxSpec& spec);

// Creates ".tmp" + 6 random alphanumerics in `dir` (made absolute against the current
// directory), O_EXCL | O_CLOEXEC, mode 0600, with bounded retries on existing names,
// and writes `contents` in full. Nothing is left behind on failure.
Result<TempFile, IoError> create_profile_file(const std::string& dir, std::string_view contents);

class SandboxExecBackend final : public Backend {
 public:
  explicit SandboxExecBackend(std::optional<std::string> tool_path)
      : tool_path_(std::move(tool_path)) {}

  BackendKind kind() const override { return BackendKind::SandboxExec; }
  Result<void, SandboxError> preflight() const override;
  Result<SandboxChild, SandboxError> spawn(const SandboxSpec& spec) override;
  const std::optional<std::string>& tool_path() const { return tool_path_; }

 private:
  std::optional<std::string> tool_path_;
};

}  // namespace sandbox
