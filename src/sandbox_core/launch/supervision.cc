// Waiting, group kill, capped drains and the collect routine. collect_child runs on the
// caller's thread and starts up to two unnamed drain threads that own one pipe each and
// share only their result cell (and a stop signal) with it. Nothing here touches Python.
#include "sandbox_core/launch/supervision.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include "sandbox_core/base/platform.h"
#include "sandbox_core/base/thread.h"

namespace sandbox {

int32_t exit_code_from_status(int status) {
  int sig = status & 0x7f;
  if (sig == 0) return (status >> 8) & 0xff;
  if (sig == 0x7f) return -1;
  return 128 + sig;
}

void kill_group(pid_t pid) noexcept {
  if (pid > 0) ::kill(-pid, SIGKILL);
}

Result<std::variant<int, StillRunning>, IoError> try_wait(SandboxChild& child) {
  if (auto s = child.status()) return std::variant<int, StillRunning>(*s);
  int status = 0;
  pid_t r = ::waitpid(child.pid(), &status, WNOHANG);
  if (r < 0) return fail(IoError::last());
  if (r == 0) return std::variant<int, StillRunning>(StillRunning{});
  child.set_status(status);
  return std::variant<int, StillRunning>(status);
}

Result<int, IoError> wait_exit(SandboxChild& child) {
  if (auto s = child.status()) return *s;
  int status = 0;
  while (::waitpid(child.pid(), &status, 0) < 0) {
    if (errno != EINTR) return fail(IoError::last());
  }
  child.set_status(status);
  return status;
}

namespace {

constexpr int64_t kNoStop = INT64_MAX;

int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             MonoClock::now().time_since_epoch())
      .count();
}

// Lets collect_child bound the drains after a deadline without closing a descriptor
// under a blocked reader: it stores the instant at which they must stop, then wakes
// their poll through a wake-up descriptor that stays readable once raised.
struct DrainControl {
  WakeFd wake;
  std::atomic<int64_t> stop_at_ns{kNoStop};

  void stop_at(MonoClock::time_point when) {
    stop_at_ns.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                         when.time_since_epoch())
                         .count(),
                     std::memory_order_release);
    wake.notify();
  }
};

// True when `fd` is readable (or at end of file / in error); false once told to stop.
bool wait_readable(int fd, const DrainControl& ctl) {
  while (true) {
    int64_t stop = ctl.stop_at_ns.load(std::memory_order_acquire);
    pollfd fds[2] = {{fd, POLLIN, 0}, {ctl.wake.poll_fd(), POLLIN, 0}};
    nfds_t count = 2;
    int timeout_ms = -1;
    if (stop != kNoStop) {
      int64_t left = stop - now_ns();
      if (left <= 0) return false;
      timeout_ms = static_cast<int>((left + 999'999) / 1'000'000);
      count = 1;
    }
    int r = ::poll(fds, count, timeout_ms);
    if (r < 0 && errno != EINTR) return true;  // let the read report the descriptor's error
    if (r > 0 && fds[0].revents != 0) return true;
  }
}

void write_notice(StreamLabel label) {
  std::string_view text = label == StreamLabel::Stdout
                              ? "ventra.sandbox: stdout exceeded 268435456 bytes; truncated\n"
                              : "ventra.sandbox: stderr exceeded 268435456 bytes; truncated\n";
  static_assert(OUTPUT_CAP_BYTES == 268435456);
  while (!text.empty()) {
    ssize_t n = ::write(2, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

enum class OnInterrupt : uint8_t { Fail, Retry };

// Blocks SIGPIPE on this thread for its lifetime, so a write to a reader that went away
// fails with EPIPE instead of ending the host; process-wide dispositions stay untouched.
// A SIGPIPE our own write raised is taken off the thread before the old mask returns.
class SigpipeBlocked {
 public:
  SigpipeBlocked() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeBlocked() {
    // sigwait returns at once for a pending signal (sigtimedwait is not everywhere).
    sigset_t pending;
    if (raised_ && ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
      int sig = 0;
      (void)::sigwait(&pipe_, &sig);
    }
    ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeBlocked(const SigpipeBlocked&) = delete;
  SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;

  // After an EPIPE: was the SIGPIPE ours (none was pending before we blocked it)?
  void note_epipe() {
    if (raised_) return;
    sigset_t pending;
    if (::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1 &&
        sigismember(&old_, SIGPIPE) == 0) {
      raised_ = true;
    }
  }

 private:
  sigset_t pipe_;
  sigset_t old_;
  bool raised_ = false;
};

// Writes all of `data` to the caller's descriptor; false once it cannot (the caller's
// reader is gone, or the descriptor broke). A non-blocking descriptor is waited on.
bool forward_all(int fd, const char* data, size_t size, SigpipeBlocked& pipe_guard,
                 std::atomic<bool>* broken) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, -1) < 0 && errno != EINTR) return false;
      continue;
    }
    if (n < 0 && errno == EPIPE) {
      pipe_guard.note_epipe();
      if (broken != nullptr) broken->store(true, std::memory_order_release);
    }
    return false;
  }
  return true;
}

// Past the cap the drain must read on so the child never blocks on a full pipe, but
// what it reads is dropped: moved to /dev/null inside the kernel where the descriptor is
// a pipe, else read into a scratch chunk.
class Discard {
 public:
  // Bytes dropped (0 at end of file), or -1 with errno.
  ssize_t drop(int fd) {
    if (try_splice_) {
      if (!null_) null_.reset(::open("/dev/null", O_WRONLY | O_CLOEXEC));
      if (null_) {
        ssize_t n = splice_bytes(fd, null_.get(), kSpliceChunk);
        if (n >= 0 || (errno != EINVAL && errno != ENOSYS && errno != EBADF)) return n;
      }
      try_splice_ = false;  // not a pipe, or no splice here: read and drop from now on
    }
    if (!scratch_) scratch_ = std::make_unique<char[]>(DRAIN_CHUNK_BYTES);
    return ::read(fd, scratch_.get(), DRAIN_CHUNK_BYTES);
  }

 private:
  static constexpr size_t kSpliceChunk = 1 << 20;
  bool try_splice_ = true;
  UniqueFd null_;
  std::unique_ptr<char[]> scratch_;
};

// Reads `fd` to end of file keeping at most `cap` bytes, straight into the kept buffer;
// past the cap it reads on and drops, and writes the notice at the end. With `forward`
// >= 0 it writes every chunk there instead and keeps nothing; once that fails it reads
// on and drops.
Result<ByteBuffer, IoError> read_capped(int fd, StreamLabel label, size_t cap,
                                        OnInterrupt on_interrupt, const DrainControl* ctl,
                                        int forward, std::atomic<bool>* broken = nullptr) {
  std::optional<SigpipeBlocked> pipe_guard;
  std::unique_ptr<char[]> chunk;
  if (forward >= 0) {
    pipe_guard.emplace();
    chunk = std::make_unique<char[]>(DRAIN_CHUNK_BYTES);
  }
  ByteBuffer buf;
  Discard discard;
  bool truncated = false;
  while (true) {
    if (ctl && !wait_readable(fd, *ctl)) break;
    ssize_t n;
    bool kept = false;
    if (pipe_guard) {
      n = ::read(fd, chunk.get(), DRAIN_CHUNK_BYTES);
    } else if (size_t room = buf.make_room(cap); room > 0) {
      n = ::read(fd, buf.tail(), room);
      kept = true;
    } else {
      n = discard.drop(fd);
    }
    if (n < 0) {
      if (errno == EINTR && on_interrupt == OnInterrupt::Retry) continue;
      return fail(IoError::last());
    }
    if (n == 0) break;
    size_t got = static_cast<size_t>(n);
    if (pipe_guard) {
      if (forward >= 0 && !forward_all(forward, chunk.get(), got, *pipe_guard, broken)) {
        forward = -1;
      }
    } else if (kept) {
      buf.commit(got);
    } else {
      truncated = true;
    }
  }
  if (truncated) write_notice(label);
  return buf;
}

// The collect's drains treat EINTR as an error like any other, as designed.
Result<ByteBuffer, IoError> drain(UniqueFd fd, StreamLabel label, const DrainControl* ctl,
                                  int forward = -1, std::atomic<bool>* broken = nullptr) {
  return read_capped(fd.get(), label, OUTPUT_CAP_BYTES, OnInterrupt::Fail, ctl, forward, broken);
}

std::string_view label_name(StreamLabel label) {
  return label == StreamLabel::Stdout ? "stdout" : "stderr";
}

struct DrainSlot {
  std::optional<Result<ByteBuffer, IoError>> result;
};

// Lets a collect that must keep asking `should_stop` wait for its drains with a timeout.
struct DrainsDone {
  std::mutex mu;
  std::condition_variable cv;
  size_t finished = 0;  // guarded by mu

  void one_finished() {
    std::lock_guard lock(mu);
    ++finished;
    cv.notify_all();
  }
  // Counts the drain that owns it as finished however its body ends.
  struct Mark {
    std::shared_ptr<DrainsDone> done;
    ~Mark() {
      if (done) done->one_finished();
    }
  };
  // True once `count` drains have finished; false after `timeout` otherwise.
  bool wait_for(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mu);
    return cv.wait_for(lock, timeout, [&] { return finished >= count; });
  }
};

struct RunningDrain {
  StreamLabel label;
  std::shared_ptr<DrainSlot> slot;
  ThreadHandle thread;
};

CollectError failure(std::string text) {
  return CollectError{CollectError::Kind::Failure, std::move(text)};
}

// Sleeps for the back-off interval, or less when the pidfd shows the child has exited.
void wait_a_moment(const UniqueFd& pidfd, std::chrono::milliseconds interval) {
  if (pidfd) {
    pollfd p{pidfd.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(interval.count())) >= 0 || errno == EINTR) return;
  }
  std::this_thread::sleep_for(interval);
}

}  // namespace

Result<ByteBuffer, IoError> drain_capped(UniqueFd fd, StreamLabel label) {
  return drain(std::move(fd), label, nullptr);
}

Result<ByteBuffer, IoError> read_to_end(UniqueFd& fd, StreamLabel label, size_t keep_at_most,
                                        int forward_fd, std::atomic<bool>* forward_broken) {
  return read_capped(fd.get(), label, keep_at_most, OnInterrupt::Retry, nullptr, forward_fd,
                     forward_broken);
}

Result<CollectedOutput, CollectError> collect_child(SandboxChild child, Deadline deadline,
                                                    pid_t pid, std::atomic<bool>& exited,
                                                    CollectOptions options) {
  // Disposed of when this returns, on every path: a running child is killed and reaped.
  SandboxChild rec = std::move(child);
  const bool stoppable = static_cast<bool>(options.should_stop);

  std::shared_ptr<DrainControl> control;
  if (deadline || stoppable) {
    // Without the wake-up descriptor the drains read plainly and the joins are unbounded.
    if (auto wake = WakeFd::create()) {
      control = std::make_shared<DrainControl>();
      control->wake = std::move(*wake);
    }
  }
  auto done = stoppable ? std::make_shared<DrainsDone>() : nullptr;

  RunningDrain drains[2];
  size_t drain_count = 0;
  UniqueFd streams[2] = {std::move(rec.stdout_fd()), std::move(rec.stderr_fd())};
  UniqueFd forwards[2] = {std::move(options.forward_stdout), std::move(options.forward_stderr)};
  for (int i = 0; i < 2; ++i) {
    if (!streams[i]) continue;
    StreamLabel label = i == 0 ? StreamLabel::Stdout : StreamLabel::Stderr;
    auto slot = std::make_shared<DrainSlot>();
    auto started = start_thread(nullptr, [fd = std::move(streams[i]), label, slot, control,
                                          forward = std::move(forwards[i]), done,
                                          broken = options.forward_broken]() mutable {
      DrainsDone::Mark mark{done};
      slot->result = drain(std::move(fd), label, control.get(), forward.get(), broken.get());
    });
    if (!started) {
      // Started drains are detached by their handles; `rec` kills a running child.
      return fail(CollectError{CollectError::Kind::Internal,
                               "failed to start the " + std::string(label_name(label)) +
                                   " drain thread: " + started.error().text()});
    }
    drains[drain_count++] = RunningDrain{label, std::move(slot), std::move(started).value()};
  }

  auto next_check = MonoClock::now() + STOP_CHECK_INTERVAL;
  auto stop_asked = [&] {
    if (!stoppable || MonoClock::now() < next_check) return false;
    next_check = MonoClock::now() + STOP_CHECK_INTERVAL;
    return options.should_stop();
  };
  // The drains are detached, not joined: one may be blocked writing to a forward
  // descriptor whose reader has stalled, and a stop must return regardless.
  auto stopped = [&] {
    if (control) control->stop_at(MonoClock::now());
    return fail(CollectError{CollectError::Kind::Stopped, {}});
  };

  int status = 0;
  if (auto s = rec.status()) {
    status = *s;
  } else {
    auto interval = POLL_INTERVAL_INITIAL;
    while (true) {
      auto polled = try_wait(rec);
      if (!polled) return fail(failure("wait: " + polled.error().text()));
      if (auto* st = std::get_if<int>(&*polled)) {
        status = *st;
        break;
      }
      if (deadline && MonoClock::now() >= *deadline) {
        kill_group(pid);
        auto waited = wait_exit(rec);
        if (!waited) return fail(failure("wait: " + waited.error().text()));
        status = *waited;
        break;
      }
      if (stop_asked()) {
        kill_group(pid);
        // Reaped here rather than by the record's disposal, so `exited` can be set.
        if (wait_exit(rec)) exited.store(true, std::memory_order_release);
        return stopped();
      }
      wait_a_moment(rec.pidfd(), interval);
      interval = std::min(interval * 2, POLL_INTERVAL_MAX);
    }
  }

  CollectedOutput out;
  out.exit_code = exit_code_from_status(status);
  // The direct child is reaped, but whatever it left in its group may still hold the
  // pipes' write ends; this releases them so the drains reach end of file.
  kill_group(pid);
  exited.store(true, std::memory_order_release);
  // A timed collect must not hang on a process that left the group (setsid) and holds a
  // pipe open: the drains stop DRAIN_GRACE_AFTER_DEADLINE after the later of the deadline
  // and the reap, keeping what they read. Without a deadline they run to end of file.
  if (control && deadline) {
    control->stop_at(std::max(MonoClock::now(), *deadline) + DRAIN_GRACE_AFTER_DEADLINE);
  }
  if (done) {
    while (!done->wait_for(drain_count, POLL_INTERVAL_MAX)) {
      if (stop_asked()) return stopped();
    }
  }

  for (size_t i = 0; i < drain_count; ++i) {
    auto& d = drains[i];
    std::string name(label_name(d.label));
    if (!d.thread.join() || !d.slot->result) return fail(failure(name + " drain thread panicked"));
    auto& r = *d.slot->result;
    if (!r) return fail(failure("read " + name + ": " + r.error().text()));
    (d.label == StreamLabel::Stdout ? out.stdout_bytes : out.stderr_bytes) = std::move(*r);
  }
  return out;
}

}  // namespace sandbox
