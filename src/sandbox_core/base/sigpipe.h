// Per-thread SIGPIPE guard for writes and splices to a reader that may be gone. No
// process-wide signal change: only the calling thread's mask, for the guard's lifetime.
#pragma once

#include <pthread.h>
#include <signal.h>

namespace sandbox {

// Holds SIGPIPE blocked on this thread, so a write or splice to a reader that went away
// fails with EPIPE instead of ending the host (there is no MSG_NOSIGNAL for write or
// splice). Core threads run with it blocked already; elsewhere it is blocked here. A
// SIGPIPE our own EPIPE raised is taken off the thread before this ends, so a pooled
// thread carries nothing pending into its next role, and the old mask comes back.
class SigpipeHeld {
 public:
  SigpipeHeld() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
  }
  ~SigpipeHeld() {
    // sigwait returns at once for a pending signal (sigtimedwait is not everywhere).
    sigset_t pending;
    if (raised_ && ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
      int sig = 0;
      (void)::sigwait(&pipe_, &sig);
    }
    ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeHeld(const SigpipeHeld&) = delete;
  SigpipeHeld& operator=(const SigpipeHeld&) = delete;

  // After a write or splice failed with EPIPE: its SIGPIPE is pending and ours to take off.
  void note_epipe() { raised_ = true; }

 private:
  sigset_t pipe_;
  sigset_t old_;
  bool raised_ = false;
};

}  // namespace sandbox
