// Supervision of a launched child: waits, the exit-code convention, group kill, bounded
// drains and the collect routine. Nothing here touches Python; collect_child blocks.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "sandbox_core/base/byte_buffer.h"
#include "sandbox_core/base/io_error.h"
#include "sandbox_core/base/result.h"
#include "sandbox_core/launch/sandbox_child.h"

namespace sandbox {

inline constexpr size_t OUTPUT_CAP_BYTES = 268'435'456;
inline constexpr size_t DRAIN_CHUNK_BYTES = 65'536;
inline constexpr std::chrono::milliseconds POLL_INTERVAL_INITIAL{1};
inline constexpr std::chrono::milliseconds POLL_INTERVAL_MAX{20};
// After a deadline kill has been reaped, how long the drains may still run to reach end
// of file; a process that left the group may hold a pipe open forever.
inline constexpr std::chrono::milliseconds DRAIN_GRACE_AFTER_DEADLINE{500};
// Interval between two calls of a waiting collect's `should_stop` (plus one poll sleep).
inline constexpr std::chrono::milliseconds STOP_CHECK_INTERVAL{50};

using MonoClock = std::chrono::steady_clock;  // CLOCK_MONOTONIC
using Deadline = std::optional<MonoClock::time_point>;

enum class StreamLabel : uint8_t { Stdout, Stderr };

// How much of a captured stream is kept: at most `max_bytes`, the first ones (Head) or the
// last ones (Tail). A drain in Tail mode holds at most max_bytes plus the larger of
// max_bytes and DRAIN_CHUNK_BYTES at any time.
struct OutputBound {
  enum class Keep : uint8_t { Head, Tail };
  size_t max_bytes = OUTPUT_CAP_BYTES;
  Keep keep = Keep::Head;
};

// What became of a child's forwarded streams; shared with its drains, which may outlive
// the collect. Lock-free; any thread.
struct ForwardState {
  // Set (release) once a write met EPIPE: the reader went away.
  std::atomic<bool> pipe_closed{false};
  // Keeps the first write error other than EPIPE (ENOSPC, EIO, ...) and its stream.
  void record_error(StreamLabel label, int err) noexcept;
  struct Failure {
    StreamLabel label;
    int err;
  };
  std::optional<Failure> first_error() const noexcept;

 private:
  std::atomic<uint32_t> error_{0};  // (errno << 1 | stream) + 1; 0 until an error
};

// The exit status byte, 128 + signal, or -1 for a stopped child.
int32_t exit_code_from_status(int status);

// SIGKILL to the process group -pid; errors ignored. Safe from any thread.
void kill_group(pid_t pid) noexcept;

struct StillRunning {};
// Status already stored, or waitpid(WNOHANG).
Result<std::variant<int, StillRunning>, IoError> try_wait(SandboxChild& child);
// Blocking waitpid, EINTR retried.
Result<int, IoError> wait_exit(SandboxChild& child);

// Reads to end of file keeping what `bound` says; past it reads on and discards, then
// writes the one-line truncation notice to fd 2: "ventra.sandbox: stdout exceeded N bytes;
// truncated" (Head) or "...; kept the last N" (Tail). Takes ownership of fd.
Result<ByteBuffer, IoError> drain_capped(UniqueFd fd, StreamLabel label, OutputBound bound = {});

// Reads until end of file, retrying EINTR, keeping what `bound` says; the rest is read
// and dropped, and the truncation notice of `label` is written as for a drain.
// The descriptor stays open and owned by the caller, so a later call reads on from where
// this one stopped. With a `forward_fd` (not owned, >= 0) every byte read is written
// there instead, uncapped, and nothing is kept; `forward_broken`, when given, records a
// write there that fails. Blocks.
Result<ByteBuffer, IoError> read_to_end(UniqueFd& fd, StreamLabel label, OutputBound bound = {},
                                        int forward_fd = -1,
                                        ForwardState* forward_broken = nullptr);

struct CollectedOutput {
  int32_t exit_code = 0;
  ByteBuffer stdout_bytes;
  ByteBuffer stderr_bytes;
};

// Errors of collect_child: a failure text for Python's RuntimeError, an internal failure
// (a drain thread that could not start) for the internal-failure exception, or a stop
// asked for by `should_stop` (no text; the caller knows why it asked).
struct CollectError {
  enum class Kind : uint8_t { Failure, Internal, Stopped } kind = Kind::Failure;
  std::string text;
};

// What collect_child does besides collecting.
struct CollectOptions {
  // Where a drain writes what it reads, as it arrives, instead of keeping it: uncapped,
  // and the stream's collected bytes stay empty. Owned, so the caller's number may be
  // closed and reused meanwhile. A write error (EPIPE: the reader went away; ENOSPC, EIO)
  // raises no SIGPIPE and stops only the forwarding; the drain reads on and discards, so
  // the child never blocks on it.
  UniqueFd forward_stdout;
  UniqueFd forward_stderr;
  // Told when a forwarding write fails: EPIPE, so that the caller can end the run as a
  // shell pipeline would, and any other error, so that the loss is reported. Shared, since
  // detached drains may outlive us.
  std::shared_ptr<ForwardState> forward_broken;
  // What each kept stream keeps.
  OutputBound bound;
  // Asked on the collecting thread at least every STOP_CHECK_INTERVAL while the collect
  // waits (for the child, then for the drains), never with a lock of ours held. Returning
  // true kills the group, reaps the child, tells the drains to stop and detaches them,
  // and the collect returns Kind::Stopped.
  std::function<bool()> should_stop;
};

// Takes the record; drains both captured streams, waits for the child (on its pidfd when
// there is one, else by sleeping with back-off; killing its group at the deadline), kills
// the group again after exit, stores `exited` (release), joins the drains and disposes of
// the record on every path. Where there is a pidfd and nothing is forwarded, the calling
// thread reads the streams itself while it waits, as long as they stay small; streams
// that grow, or outlive the child, go to drain threads of their own. With a deadline, the drains
// get until DRAIN_GRACE_AFTER_DEADLINE past the later of the deadline and the reap to reach end of
// file, then stop keeping what they read (a setsid grandchild holding a pipe cannot hang a timed
// collect). Failure texts: "wait: {}", "{stream} drain thread panicked", "read {stream}: {}";
// Internal when a drain thread cannot be started.
Result<CollectedOutput, CollectError> collect_child(SandboxChild child, Deadline deadline,
                                                    pid_t pid, std::atomic<bool>& exited,
                                                    CollectOptions options = {});

}  // namespace sandbox
