// SandboxChild ownership and disposal, and named temporary files. Used by one thread at a
// time (the owner); disposal may block until a killed child has been reaped.
#include "sandbox_core/launch/sandbox_child.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "sandbox_core/launch/supervision.h"

namespace sandbox {

TempFile::TempFile(TempFile&& o) noexcept : path_(std::move(o.path_)), fd_(std::move(o.fd_)) {
  o.path_.clear();
}

TempFile& TempFile::operator=(TempFile&& o) noexcept {
  if (this != &o) {
    remove();
    path_ = std::move(o.path_);
    o.path_.clear();
    fd_ = std::move(o.fd_);
  }
  return *this;
}

TempFile::~TempFile() { remove(); }

void TempFile::remove() noexcept {
  if (!path_.empty()) ::unlink(path_.c_str());  // errors ignored
  path_.clear();
  fd_.reset();
}

SandboxChild::SandboxChild(pid_t pid, UniqueFd stdout_fd, UniqueFd stderr_fd)
    : pid_(pid),
      stdout_(std::move(stdout_fd)),
      stderr_(std::move(stderr_fd)),
      record_(std::make_shared<RunRecord>()) {}

void SandboxChild::set_reaped(int status, const struct rusage& ru) {
  status_ = status;
  if (!record_) return;
  auto wall = std::chrono::steady_clock::now() - record_->started;
  record_->usage.wall_ns.set(
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(wall).count()),
      "host clock");
  apply_wait_rusage(record_->usage, ru);
  if (lifeline_) apply_relayed_usage(record_->usage, lifeline_.get());
}

SandboxChild::SandboxChild(SandboxChild&& o) noexcept
    : pid_(std::exchange(o.pid_, -1)),
      status_(std::exchange(o.status_, std::nullopt)),
      stdin_(std::move(o.stdin_)),
      stdout_(std::move(o.stdout_)),
      stderr_(std::move(o.stderr_)),
      temp_files_(std::move(o.temp_files_)),
      resources_(std::move(o.resources_)),
      pidfd_(std::move(o.pidfd_)),
      lifeline_(std::move(o.lifeline_)),
      verdict_(std::move(o.verdict_)),
      overlay_(std::move(o.overlay_)),
      record_(std::move(o.record_)) {
  o.temp_files_.clear();
  o.resources_.clear();
}

SandboxChild& SandboxChild::operator=(SandboxChild&& o) noexcept {
  if (this != &o) {
    dispose();
    pid_ = std::exchange(o.pid_, -1);
    status_ = std::exchange(o.status_, std::nullopt);
    stdin_ = std::move(o.stdin_);
    stdout_ = std::move(o.stdout_);
    stderr_ = std::move(o.stderr_);
    temp_files_ = std::move(o.temp_files_);
    o.temp_files_.clear();
    resources_ = std::move(o.resources_);
    o.resources_.clear();
    pidfd_ = std::move(o.pidfd_);
    lifeline_ = std::move(o.lifeline_);
    verdict_ = std::move(o.verdict_);
    overlay_ = std::move(o.overlay_);
    record_ = std::move(o.record_);
  }
  return *this;
}

SandboxChild::~SandboxChild() { dispose(); }

void SandboxChild::dispose() noexcept {
  if (pid_ > 0 && !status_) {
    int status = 0;
    struct rusage ru{};
    pid_t r = ::wait4(pid_, &status, WNOHANG, &ru);
    if (r > 0) {
      set_reaped(status, ru);
    } else if (r == 0) {
      kill_group(pid_);
      while ((r = ::wait4(pid_, &status, 0, &ru)) < 0 && errno == EINTR) {
      }
      if (r > 0) set_reaped(status, ru);
    }
  }
  stdin_.reset();
  stdout_.reset();
  stderr_.reset();
  for (auto& f : temp_files_) f.remove();  // in order: unlink, then close
  temp_files_.clear();
  lifeline_.reset();
  resources_.clear();
  pidfd_.reset();
  pid_ = -1;
}

}  // namespace sandbox
