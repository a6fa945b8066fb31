// The record of one launched child: pid and cached wait status, the parent's pipe ends,
// and the temporary files and helpers (a network fence) that must live as long as the
// child. Destroying a record whose child still runs kills the child's process group and
// reaps it, then closes the pipe ends, then deletes the temporary files, then stops the
// helpers, in that order.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sandbox_core/base/unique_fd.h"
#include "sandbox_core/launch/run_record.h"

namespace sandbox {

namespace isolation {
class OverlayChanges;
// What the sandbox's limits did to the run, owned by the resource that enforces them
// (isolation/cgroup.h); the record only carries it to the handle.
struct LimitVerdict;
}  // namespace isolation

// A named temporary file; deleted (then its descriptor closed) on destruction.
class TempFile {
 public:
  TempFile() = default;
  TempFile(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
  TempFile(TempFile&& o) noexcept;
  TempFile& operator=(TempFile&& o) noexcept;
  ~TempFile();

  const std::string& path() const { return path_; }
  int fd() const { return fd_.get(); }
  void remove() noexcept;

 private:
  std::string path_;
  UniqueFd fd_;
};

// Something a backend keeps running beside the child, stopped once the child is gone.
class ChildResource {
 public:
  virtual ~ChildResource() = default;
};

class SandboxChild {
 public:
  SandboxChild() = default;
  SandboxChild(pid_t pid, UniqueFd stdout_fd, UniqueFd stderr_fd);
  SandboxChild(SandboxChild&& o) noexcept;
  SandboxChild& operator=(SandboxChild&& o) noexcept;
  SandboxChild(const SandboxChild&) = delete;
  SandboxChild& operator=(const SandboxChild&) = delete;
  ~SandboxChild();

  pid_t pid() const { return pid_; }
  std::optional<int> status() const { return status_; }
  void set_status(int status) { status_ = status; }
  // The reap: stores the status and the wall time and rusage figures of the run.
  void set_reaped(int status, const struct rusage& ru);

  UniqueFd& stdin_fd() { return stdin_; }
  UniqueFd& stdout_fd() { return stdout_; }
  UniqueFd& stderr_fd() { return stderr_; }
  std::vector<TempFile>& temp_files() { return temp_files_; }
  std::vector<std::unique_ptr<ChildResource>>& resources() { return resources_; }
  // Optional pidfd of the child (close-on-exec), used to wait for exit without polling.
  UniqueFd& pidfd() { return pidfd_; }
  // Shared with the handle, which reads it after the collect; null without limits.
  std::shared_ptr<isolation::LimitVerdict>& verdict() { return verdict_; }
  // The host's end of a one-shot init's lifeline: its end of file tells the init the
  // host is gone, and the init's usage arrives on it. Kept as long as the record.
  UniqueFd& lifeline() { return lifeline_; }
  // A copy-on-write work directory's changes, which outlive the child; null without one.
  std::shared_ptr<isolation::OverlayChanges>& overlay() { return overlay_; }
  // Shared with the handle, which reads it once the record has been disposed of; the
  // resources write into it up to their own destruction. Null for an empty record.
  const std::shared_ptr<RunRecord>& record() const { return record_; }

 private:
  void dispose() noexcept;

  pid_t pid_ = -1;
  std::optional<int> status_;
  UniqueFd stdin_, stdout_, stderr_;
  std::vector<TempFile> temp_files_;
  std::vector<std::unique_ptr<ChildResource>> resources_;
  UniqueFd pidfd_;
  UniqueFd lifeline_;
  std::shared_ptr<isolation::LimitVerdict> verdict_;
  std::shared_ptr<isolation::OverlayChanges> overlay_;
  std::shared_ptr<RunRecord> record_;
};

}  // namespace sandbox
