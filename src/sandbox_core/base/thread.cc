#include "sandbox_core/base/thread.h"

#include <atomic>
#include <csignal>

#include "sandbox_core/base/platform.h"

namespace sandbox {
namespace detail {

struct ThreadState {
  std::unique_ptr<ThreadBody> body;
  std::string name;
  std::atomic<bool> failed{false};
};

namespace {

struct Launch {
  std::shared_ptr<ThreadState> state;
};

void* trampoline(void* arg) noexcept {
  std::unique_ptr<Launch> launch(static_cast<Launch*>(arg));
  ThreadState& st = *launch->state;
  if (!st.name.empty()) set_current_thread_name(st.name.c_str());
  try {
    st.body->run();
  } catch (...) {
    st.failed.store(true, std::memory_order_relaxed);
  }
  // Release what the body owns (descriptors, shared filters) before the thread ends,
  // even when nobody ever joins it.
  try {
    st.body.reset();
  } catch (...) {
    st.failed.store(true, std::memory_order_relaxed);
  }
  return nullptr;
}

// Every signal but the synchronous faults: those must still reach crash handlers and
// sanitizers on the thread that faulted.
sigset_t asynchronous_signals() noexcept {
  sigset_t set;
  sigfillset(&set);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) sigdelset(&set, sig);
  return set;
}

}  // namespace
}  // namespace detail

Result<ThreadHandle, IoError> start_thread_impl(const char* name,
                                                std::unique_ptr<detail::ThreadBody> body) {
  auto state = std::make_shared<detail::ThreadState>();
  state->body = std::move(body);
  if (name) state->name = name;
  auto launch = std::make_unique<detail::Launch>(detail::Launch{state});

  pthread_attr_t attr;
  if (int rc = ::pthread_attr_init(&attr); rc != 0) return fail(IoError::from_errno(rc));
  ::pthread_attr_setstacksize(&attr, kThreadStackBytes);
  // Core threads run with the asynchronous signals blocked, so the host's handlers (the
  // interpreter's SIGINT among them) run on the host's own threads. The new thread
  // inherits the mask set here, so there is no moment at which it could take one; the
  // EINTR retries in the bodies stay as a second line.
  const sigset_t blocked = detail::asynchronous_signals();
  sigset_t saved;
  ::pthread_sigmask(SIG_SETMASK, &blocked, &saved);
  pthread_t tid;
  int rc = ::pthread_create(&tid, &attr, &detail::trampoline, launch.get());
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  ::pthread_attr_destroy(&attr);
  if (rc != 0) return fail(IoError::from_errno(rc));  // `state` frees the body here
  launch.release();  // owned by the new thread now
  ThreadHandle h;
  h.tid_ = tid;
  h.state_ = std::move(state);
  return h;
}

ThreadHandle::ThreadHandle(ThreadHandle&& o) noexcept
    : tid_(o.tid_), state_(std::move(o.state_)) {}

ThreadHandle& ThreadHandle::operator=(ThreadHandle&& o) noexcept {
  if (this != &o) {
    detach();
    tid_ = o.tid_;
    state_ = std::move(o.state_);
  }
  return *this;
}

ThreadHandle::~ThreadHandle() { detach(); }

bool ThreadHandle::join() noexcept {
  if (!state_) return false;
  ::pthread_join(tid_, nullptr);
  bool ok = !state_->failed.load(std::memory_order_relaxed);
  state_.reset();
  return ok;
}

void ThreadHandle::detach() noexcept {
  if (!state_) return;
  ::pthread_detach(tid_);
  state_.reset();
}

}  // namespace sandbox
