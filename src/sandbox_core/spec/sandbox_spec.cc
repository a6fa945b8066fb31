// SandboxSpec helpers and the fixed messages of SandboxError. Pure; any thread.
#include "sandbox_core/spec/sandbox_spec.h"

namespace sandbox {

const std::string& SandboxSpec::host_dir() const {
  return host_work_dir ? *host_work_dir : work_dir;
}

SandboxError SandboxError::tool_unavailable(std::string what) {
  SandboxError e;
  e.kind_ = Kind::ToolUnavailable;
  e.text_ = std::move(what);
  return e;
}

SandboxError SandboxError::setup_failed(int wait_status, std::string stderr_text) {
  SandboxError e;
  e.kind_ = Kind::SetupFailed;
  e.status_ = wait_status;
  e.text_ = std::move(stderr_text);
  return e;
}

SandboxError SandboxError::invalid_spec(std::string what) {
  SandboxError e;
  e.kind_ = Kind::InvalidSpec;
  e.text_ = std::move(what);
  return e;
}

SandboxError SandboxError::hardening_unavailable(std::string what) {
  SandboxError e;
  e.kind_ = Kind::HardeningUnavailable;
  e.text_ = std::move(what);
  return e;
}

SandboxError SandboxError::other(std::string message, std::vector<std::string> causes) {
  SandboxError e;
  e.kind_ = Kind::Other;
  e.text_ = std::move(message);
  e.causes_ = std::move(causes);
  return e;
}

SandboxError SandboxError::io(IoError error) {
  SandboxError e;
  e.kind_ = Kind::Io;
  e.io_ = std::move(error);
  return e;
}

std::string SandboxError::message() const {
  switch (kind_) {
    case Kind::ToolUnavailable:
      return "isolation tool not available: " + text_;
    case Kind::SetupFailed:
      return "backend setup failed: exit=ExitStatus(unix_wait_status(" + std::to_string(status_) +
             ")), stderr=" + text_;
    case Kind::InvalidSpec:
      return "invalid spec: " + text_;
    case Kind::HardeningUnavailable:
      return "isolation hardening unavailable: " + text_;
    case Kind::Other:
      return text_;
    case Kind::Io:
      return "io: " + io_.text();
  }
  return text_;
}

std::string SandboxError::verbose_message() const {
  std::string out = message();
  if (kind_ == Kind::Other) {
    for (const auto& cause : causes_) {
      out += ": ";
      out += cause;
    }
  }
  return out;
}

}  // namespace sandbox
