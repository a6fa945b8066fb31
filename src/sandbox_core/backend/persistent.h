// A persistent sandbox: one sandbox of a Linux backend whose init runs many commands, sent
// over the control channel (launch/control_record.h). No host process enters it: the init
// receives each command's argv, environment, working directory and three descriptors
// made here, forks it in a session of its own, and reports its start and its exit. The
// control reader ("sbx-control") is the only thread reading the channel; every other
// call may come from any thread. Nothing here trusts the init: a report that does not
// parse, or an init that does not answer within kInitAnswerTimeout, ends the sandbox.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sandbox_core/backend/backend.h"
#include "sandbox_core/isolation/overlay_changes.h"
#include "sandbox_core/launch/run_record.h"
#include "sandbox_core/launch/supervision.h"
#include "sandbox_core/spec/sandbox_spec.h"

namespace sandbox {

// How long the init may take to confirm a start or a kill before the whole sandbox is
// killed instead.
inline constexpr std::chrono::milliseconds kInitAnswerTimeout{2000};
// Commands one sandbox runs at a time (the init's table holds as many).
inline constexpr size_t kMaxSandboxCommands = 64;
// After a command exits, how long its output may still come from what it left running.
inline constexpr std::chrono::milliseconds kCommandDrainGrace{500};

// A finished command's own usage, as wait4 reports it: user and system CPU time in
// microseconds, peak resident set in KiB, file-system blocks read and written (512 B).
struct CommandUsage {
  int64_t utime_us = 0, stime_us = 0, maxrss_kb = 0, inblock = 0, oublock = 0;
};

struct CommandRequest {
  std::vector<std::string> argv;  // not empty; argv[0] searched in the command's PATH
  std::map<std::string, std::string> env;  // over the sandbox's base environment
  std::optional<std::string> cwd;          // inside; default the sandbox's work dir
  int stdin_fd = -1;                       // borrowed until start() returns; -1: null
  bool capture_stdout = true, capture_stderr = true, stderr_to_stdout = false;
};

enum class SandboxState : uint8_t { Running, Frozen, Closed, Expired, Failed };

struct ControlCore;  // shared by the sandbox, its commands and the control reader

// One command in the sandbox. Destroying a running one kills its group.
class SandboxCommand {
 public:
  ~SandboxCommand();
  SandboxCommand(const SandboxCommand&) = delete;
  SandboxCommand& operator=(const SandboxCommand&) = delete;

  int32_t pid() const { return pid_; }  // inside the sandbox's pid namespace
  // The wait status once the command exited (137's status when its sandbox ended).
  std::optional<int> poll() const;
  // Blocks until it exits; kills its group at the deadline.
  int wait(Deadline deadline);
  std::optional<CommandUsage> usage() const;
  // Reads both streams to their end (capped as a spawn's), waits for the exit, kills the
  // group at the deadline; `should_stop` as for collect_child.
  Result<CollectedOutput, CollectError> collect(Deadline deadline,
                                                std::function<bool()> should_stop = {});
  // The standard output read so far to its end, once (the stream is then consumed).
  Result<ByteBuffer, IoError> read_stdout();
  // SIGKILL to its process group through the init; the whole sandbox when the init does
  // not confirm in time. Never blocks longer than kInitAnswerTimeout.
  void kill();

 private:
  friend class PersistentSandbox;
  SandboxCommand(std::shared_ptr<ControlCore> core, uint32_t id, int32_t pid, UniqueFd out,
                 UniqueFd err);
  std::shared_ptr<ControlCore> core_;
  uint32_t id_;
  int32_t pid_;
  UniqueFd out_, err_;
};

class PersistentSandbox {
 public:
  // `spec`'s script is ignored; its limits, paths, network and base environment hold
  // for every command. Refuses backends without an init ("none", "sandbox-exec").
  static Result<std::unique_ptr<PersistentSandbox>, SandboxError> create(
      const SandboxSpec& spec, const std::string& backend, std::chrono::milliseconds lifetime,
      std::chrono::milliseconds idle_timeout);
  ~PersistentSandbox();  // close()

  Result<std::unique_ptr<SandboxCommand>, SandboxError> start(const CommandRequest& request);
  // Kills everything inside and removes what the sandbox made, its copy-on-write
  // changes not applied included. Idempotent.
  void close();
  Result<void, SandboxError> freeze();
  Result<void, SandboxError> thaw();
  // Running or Frozen, or why it ended. Its reader thread ends it (Expired) once its
  // lifetime or idle time is over.
  SandboxState state();
  const std::string& backend() const { return backend_; }
  // Where the work directory is on the host (a private one's path), and inside.
  const std::string& host_work_dir() const { return host_work_dir_; }
  const std::string& work_dir() const { return work_dir_; }
  // With a copy-on-write work dir: one change set over the sandbox's whole life (null
  // without one). Its apply() and discard() end the sandbox first, as close() does, so
  // nothing writes into it after; close() discards what was not applied.
  const std::shared_ptr<isolation::OverlayChanges>& changes() const { return changes_; }
  // Every decision of the proxies on the sandbox's connections through its fence, over
  // its whole life; null without a fence.
  const std::shared_ptr<EgressLog>& egress() const { return egress_; }

 private:
  PersistentSandbox() = default;
  Result<void, SandboxError> set_frozen(bool frozen);
  void end(SandboxState why);

  std::shared_ptr<ControlCore> core_;
  std::string backend_, host_work_dir_, work_dir_;
  std::map<std::string, std::string> base_env_;
  std::string freezer_dir_;  // a v1 freezer group made for the sandbox
  std::shared_ptr<isolation::OverlayChanges> changes_;
  std::shared_ptr<EgressLog> egress_;
};

}  // namespace sandbox
