// Waiting, group kill, capped drains and the collect routine. collect_child runs on the
// caller's thread, reads small outputs there, and starts up to two unnamed drain threads
// that own one pipe each and share only their result cell (and a stop signal) with it.
// Nothing here touches Python.
#include "sandbox_core/launch/supervision.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <csignal>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include "sandbox_core/base/platform.h"
#include "sandbox_core/base/sigpipe.h"
#include "sandbox_core/base/thread.h"
#include "sandbox_core/launch/child_report.h"

namespace sandbox {

int32_t exit_code_from_status(int status) {
  int sig = status & 0x7f;
  if (sig == 0) return (status >> 8) & 0xff;
  if (sig == 0x7f) return -1;
  return launch_detail::kSignalExitBase + sig;
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
  return std::chrono::duration_cast<std::chrono::nanoseconds>(MonoClock::now().time_since_epoch())
      .count();
}

// Lets collect_child bound the drains after a deadline without closing a descriptor
// under a blocked reader: it stores the instant at which they must stop, then wakes
// their poll through a wake-up descriptor that stays readable once raised.
struct DrainControl {
  WakeFd wake;
  std::atomic<int64_t> stop_at_ns{kNoStop};

  void stop_at(MonoClock::time_point when) {
    stop_at_ns.store(
        std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count(),
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

void write_notice(StreamLabel label, OutputBound bound) {
  const std::string max = std::to_string(bound.max_bytes);
  const std::string notice =
      std::string("ventra.sandbox: ") + (label == StreamLabel::Stdout ? "stdout" : "stderr") +
      " exceeded " + max + " bytes; " +
      (bound.keep == OutputBound::Keep::Tail ? "kept the last " + max : "truncated") + "\n";
  std::string_view text = notice;
  while (!text.empty()) {
    ssize_t n = ::write(2, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

enum class OnInterrupt : uint8_t { Fail, Retry };

}  // namespace

void ForwardState::record_error(StreamLabel label, int err) noexcept {
  uint32_t expected = 0;
  const uint32_t code = ((static_cast<uint32_t>(err) << 1) | static_cast<uint32_t>(label)) + 1;
  error_.compare_exchange_strong(expected, code, std::memory_order_acq_rel);
}

std::optional<ForwardState::Failure> ForwardState::first_error() const noexcept {
  const uint32_t code = error_.load(std::memory_order_acquire);
  if (code == 0) return std::nullopt;
  return Failure{static_cast<StreamLabel>((code - 1) & 1), static_cast<int>((code - 1) >> 1)};
}

namespace {

// Writes all of `data` to the caller's descriptor; false once it cannot (the caller's
// reader is gone, or the descriptor broke). A non-blocking descriptor is waited on.
bool forward_all(int fd, const char* data, size_t size, SigpipeHeld& pipe_guard,
                 ForwardState* broken, StreamLabel label) {
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
    const int err = n < 0 ? errno : EIO;  // a write of 0 bytes would never progress
    if (err == EPIPE) {
      pipe_guard.note_epipe();
      if (broken != nullptr) broken->pipe_closed.store(true, std::memory_order_release);
    } else if (broken != nullptr) {
      broken->record_error(label, err);
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

// Reads `fd` to end of file keeping what `bound` says, straight into the kept buffer:
// past the bound it reads on and drops (Head), or reads on into a window of up to twice
// the bound and drops its front whenever it fills (Tail); it writes the notice at the
// end. With `forward` >= 0 it writes every chunk there instead and keeps nothing; once
// that fails it reads on and drops.
Result<ByteBuffer, IoError> read_capped(int fd, StreamLabel label, OutputBound bound,
                                        OnInterrupt on_interrupt, const DrainControl* ctl,
                                        int forward, ByteBuffer buf = {},
                                        ForwardState* broken = nullptr) {
  const size_t cap = bound.max_bytes;
  const bool tail = bound.keep == OutputBound::Keep::Tail && cap > 0;
  const size_t window =
      tail ? cap + std::min(std::max(cap, DRAIN_CHUNK_BYTES), SIZE_MAX - cap) : cap;
  std::optional<SigpipeHeld> pipe_guard;
  std::unique_ptr<char[]> chunk;
  if (forward >= 0) {
    pipe_guard.emplace();
    chunk = std::make_unique<char[]>(DRAIN_CHUNK_BYTES);
  }
  Discard discard;
  bool truncated = false;
  while (true) {
    if (ctl && !wait_readable(fd, *ctl)) break;
    if (tail && buf.size() >= window) {
      buf.drop_front(buf.size() - cap);
      truncated = true;
    }
    ssize_t n;
    bool kept = false;
    if (pipe_guard) {
      n = ::read(fd, chunk.get(), DRAIN_CHUNK_BYTES);
    } else if (size_t room = buf.make_room(window); room > 0) {
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
      if (forward >= 0 && !forward_all(forward, chunk.get(), got, *pipe_guard, broken, label)) {
        forward = -1;
      }
    } else if (kept) {
      buf.commit(got);
    } else {
      truncated = true;
    }
  }
  if (tail && buf.size() > cap) {
    buf.drop_front(buf.size() - cap);
    truncated = true;
  }
  if (truncated) write_notice(label, bound);
  return buf;
}

// The collect's drains treat EINTR as an error like any other, as designed. `kept` is
// what the collecting thread read before it handed the stream over.
Result<ByteBuffer, IoError> drain(UniqueFd fd, StreamLabel label, OutputBound bound,
                                  const DrainControl* ctl, int forward = -1, ByteBuffer kept = {},
                                  ForwardState* broken = nullptr) {
  return read_capped(fd.get(), label, bound, OnInterrupt::Fail, ctl, forward, std::move(kept),
                     broken);
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

Result<ByteBuffer, IoError> drain_capped(UniqueFd fd, StreamLabel label, OutputBound bound) {
  return drain(std::move(fd), label, bound, nullptr);
}

Result<ByteBuffer, IoError> read_to_end(UniqueFd& fd, StreamLabel label, OutputBound bound,
                                        int forward_fd, ForwardState* forward_broken) {
  return read_capped(fd.get(), label, bound, OnInterrupt::Retry, nullptr, forward_fd, {},
                     forward_broken);
}

namespace {

// While both kept streams stay below this, the collecting thread reads them itself as it
// waits for the exit: a short run then needs no drain thread, which on a loaded machine
// saves the thread starts, their wake-ups at end of file and the joins, each a wait for a
// time slice. A stream that grows past it goes to a drain thread, as every stream does
// where there is no pidfd to wait on beside the pipes.
constexpr size_t kReadInlineBytes = 1 << 20;

// One captured stream: read here while `fd` is held, else by its drain thread.
struct Stream {
  StreamLabel label = StreamLabel::Stdout;
  UniqueFd fd;
  UniqueFd forward;
  ByteBuffer kept;
  bool eof = false;
  std::optional<IoError> error;  // a read here failed; reported where a drain's would be
  std::optional<RunningDrain> drain;
};

// The steps of collect_child, sharing the record, the streams and the drains' controls.
// The record is disposed of with this object, on every path: a running child is killed
// and reaped.
class Collector {
 public:
  Collector(SandboxChild child, Deadline deadline, pid_t pid, std::atomic<bool>& exited,
            CollectOptions options)
      : rec_(std::move(child)),
        deadline_(deadline),
        pid_(pid),
        exited_(exited),
        should_stop_(std::move(options.should_stop)),
        forward_broken_(std::move(options.forward_broken)),
        bound_(options.bound),
        inline_bytes_(std::min(kReadInlineBytes, options.bound.max_bytes)) {
    streams_[0].label = StreamLabel::Stdout;
    streams_[0].fd = std::move(rec_.stdout_fd());
    streams_[0].forward = std::move(options.forward_stdout);
    streams_[1].label = StreamLabel::Stderr;
    streams_[1].fd = std::move(rec_.stderr_fd());
    streams_[1].forward = std::move(options.forward_stderr);
    if (deadline_ || should_stop_) {
      // Without the wake-up descriptor the drains read plainly and the joins are unbounded.
      if (auto wake = WakeFd::create()) {
        control_ = std::make_shared<DrainControl>();
        control_->wake = std::move(*wake);
      }
    }
    if (should_stop_) done_ = std::make_shared<DrainsDone>();
  }

  // Reads the kept streams here while waiting for the exit, until the child exits (its
  // status), a stream outgrows kReadInlineBytes, or the deadline or the first stop check
  // comes due (nullopt: the threaded steps take over).
  Result<std::optional<int>, CollectError> read_while_small() {
    if (auto s = rec_.status()) return std::optional<int>(*s);
    if (!rec_.pidfd()) return std::optional<int>();
    for (auto& st : streams_) {
      if (st.forward) return std::optional<int>();  // forwarding may block: a thread's job
    }
    Deadline until = deadline_;
    if (should_stop_) until = until ? std::min(*until, next_check_) : next_check_;
    while (true) {
      pollfd fds[3] = {{rec_.pidfd().get(), POLLIN, 0}};
      Stream* polled[3] = {};
      nfds_t count = 1;
      for (auto& st : streams_) {
        if (!st.fd || st.eof) continue;
        if (st.kept.size() >= inline_bytes_) return std::optional<int>();
        polled[count] = &st;
        fds[count++] = {st.fd.get(), POLLIN, 0};
      }
      int timeout_ms = -1;
      if (until) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(*until - MonoClock::now());
        if (left.count() <= 0) return std::optional<int>();
        timeout_ms = static_cast<int>(std::min<int64_t>(left.count(), INT32_MAX));
      }
      int r = ::poll(fds, count, timeout_ms);
      if (r < 0 && errno != EINTR) return std::optional<int>();
      if (r <= 0) continue;
      for (nfds_t i = 1; i < count; ++i) {
        if (fds[i].revents != 0) read_once(*polled[i]);
      }
      if (fds[0].revents != 0) {
        auto polled_status = try_wait(rec_);
        if (!polled_status) return fail(failure("wait: " + polled_status.error().text()));
        if (auto* st = std::get_if<int>(&*polled_status)) return std::optional<int>(*st);
        return std::optional<int>();  // readable yet running: leave it to the back-off
      }
    }
  }

  // A drain thread for every stream not read here to its end.
  Result<void, CollectError> start_drains() {
    for (auto& st : streams_) {
      if (!st.fd || st.eof || st.error || st.drain) continue;
      auto slot = std::make_shared<DrainSlot>();
      auto started =
          start_thread(nullptr, [fd = std::move(st.fd), label = st.label, slot, control = control_,
                                 forward = std::move(st.forward), kept = std::move(st.kept),
                                 bound = bound_,
                                 done = done_, broken = forward_broken_]() mutable {
            DrainsDone::Mark mark{done};
            slot->result = drain(std::move(fd), label, bound, control.get(), forward.get(),
                                 std::move(kept), broken.get());
          });
      if (!started) {
        // Started drains are detached by their handles; the record kills a running child.
        return fail(CollectError{CollectError::Kind::Internal,
                                 "failed to start the " + std::string(label_name(st.label)) +
                                     " drain thread: " + started.error().text()});
      }
      st.drain = RunningDrain{st.label, std::move(slot), std::move(started).value()};
      ++drain_count_;
    }
    return {};
  }

  // Polls the child with back-off (on its pidfd when there is one), killing its group at
  // the deadline; the exit status.
  Result<int, CollectError> await_exit() {
    if (auto s = rec_.status()) return *s;
    auto interval = POLL_INTERVAL_INITIAL;
    while (true) {
      auto polled = try_wait(rec_);
      if (!polled) return fail(failure("wait: " + polled.error().text()));
      if (auto* st = std::get_if<int>(&*polled)) return *st;
      if (deadline_ && MonoClock::now() >= *deadline_) {
        kill_group(pid_);
        auto waited = wait_exit(rec_);
        if (!waited) return fail(failure("wait: " + waited.error().text()));
        return *waited;
      }
      if (stop_asked()) {
        kill_group(pid_);
        // Reaped here rather than by the record's disposal, so `exited` can be set.
        if (wait_exit(rec_)) exited_.store(true, std::memory_order_release);
        return stopped();
      }
      wait_a_moment(rec_.pidfd(), interval);
      interval = std::min(interval * 2, POLL_INTERVAL_MAX);
    }
  }

  // The direct child is reaped, but whatever it left in its group may still hold the
  // pipes' write ends; this releases them so the streams reach end of file. A timed
  // collect must not hang on a process that left the group (setsid) and holds a pipe
  // open: the drains stop DRAIN_GRACE_AFTER_DEADLINE after the later of the deadline and
  // the reap, keeping what they read. Without a deadline they run to end of file.
  void release_group() {
    kill_group(pid_);
    exited_.store(true, std::memory_order_release);
    if (control_ && deadline_) {
      control_->stop_at(std::max(MonoClock::now(), *deadline_) + DRAIN_GRACE_AFTER_DEADLINE);
    }
  }

  // What is already in the pipes read here is read now; a stream still open after that
  // (something outside the group holds it) goes to a drain thread.
  Result<void, CollectError> finish_streams() {
    for (auto& st : streams_) {
      while (st.fd && !st.eof && !st.error && st.kept.size() < inline_bytes_) {
        pollfd p{st.fd.get(), POLLIN, 0};
        int r = ::poll(&p, 1, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        read_once(st);
      }
    }
    return start_drains();
  }

  // Waits for the drains, asking `should_stop` meanwhile when there is one.
  Result<void, CollectError> await_drains() {
    if (done_) {
      while (!done_->wait_for(drain_count_, POLL_INTERVAL_MAX)) {
        if (stop_asked()) return stopped();
      }
    }
    return {};
  }

  // The exit code and both streams' bytes; the first stream's failure otherwise.
  Result<CollectedOutput, CollectError> output(int status) {
    CollectedOutput out;
    out.exit_code = exit_code_from_status(status);
    for (auto& st : streams_) {
      std::string name(label_name(st.label));
      ByteBuffer& to = st.label == StreamLabel::Stdout ? out.stdout_bytes : out.stderr_bytes;
      if (st.drain) {
        auto& d = *st.drain;
        if (!d.thread.join() || !d.slot->result)
          return fail(failure(name + " drain thread panicked"));
        auto& r = *d.slot->result;
        if (!r) return fail(failure("read " + name + ": " + r.error().text()));
        to = std::move(*r);
      } else if (st.error) {
        return fail(failure("read " + name + ": " + st.error->text()));
      } else {
        to = std::move(st.kept);
      }
    }
    return out;
  }

 private:
  // One read of a stream that polled ready and holds less than the inline size; it
  // cannot block. Past that size the stream goes to a drain thread, which keeps the bound.
  void read_once(Stream& st) {
    size_t room = st.kept.make_room(inline_bytes_);
    ssize_t n = ::read(st.fd.get(), st.kept.tail(), room);
    if (n < 0 && errno == EINTR) return;
    if (n < 0) {
      st.error = IoError::last();
    } else if (n == 0) {
      st.eof = true;
    } else {
      st.kept.commit(static_cast<size_t>(n));
    }
    if (st.eof || st.error) st.fd.reset();
  }

  bool stop_asked() {
    if (!should_stop_ || MonoClock::now() < next_check_) return false;
    next_check_ = MonoClock::now() + STOP_CHECK_INTERVAL;
    return should_stop_();
  }

  // The drains are detached, not joined: one may be blocked writing to a forward
  // descriptor whose reader has stalled, and a stop must return regardless.
  Unexpected<CollectError> stopped() {
    if (control_) control_->stop_at(MonoClock::now());
    return fail(CollectError{CollectError::Kind::Stopped, {}});
  }

  SandboxChild rec_;
  const Deadline deadline_;
  const pid_t pid_;
  std::atomic<bool>& exited_;
  std::function<bool()> should_stop_;
  std::shared_ptr<ForwardState> forward_broken_;  // told when a forwarding write fails
  const OutputBound bound_;
  const size_t inline_bytes_;  // read here up to this, at most the bound
  MonoClock::time_point next_check_ = MonoClock::now() + STOP_CHECK_INTERVAL;
  std::shared_ptr<DrainControl> control_;
  std::shared_ptr<DrainsDone> done_;
  size_t drain_count_ = 0;
  Stream streams_[2];
};

}  // namespace

Result<CollectedOutput, CollectError> collect_child(SandboxChild child, Deadline deadline,
                                                    pid_t pid, std::atomic<bool>& exited,
                                                    CollectOptions options) {
  Collector c(std::move(child), deadline, pid, exited, std::move(options));
  SANDBOX_ASSIGN_OR_RETURN(std::optional<int> status, c.read_while_small());
  if (!status) {
    SANDBOX_TRY(c.start_drains());
    SANDBOX_ASSIGN_OR_RETURN(status, c.await_exit());
  }
  c.release_group();
  SANDBOX_TRY(c.finish_streams());
  SANDBOX_TRY(c.await_drains());
  return c.output(*status);
}

}  // namespace sandbox
