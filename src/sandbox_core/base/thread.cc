#include "sandbox_core/base/thread.h"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <vector>

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
  launch.release();                                   // owned by the new thread now
  ThreadHandle h;
  h.tid_ = tid;
  h.state_ = std::move(state);
  return h;
}

namespace {

// Where one parked pool thread waits for its next body. Slots belong to the pool and
// are never freed, so the hand-over can notify after unlocking (the woken thread then
// finds the lock free) even if the slot has meanwhile passed to another thread, which
// takes that as a spurious wake-up.
struct ParkedSlot {
  std::condition_variable cv;
  std::unique_ptr<detail::ThreadBody> body;  // guarded by Pool::mu
  const char* name = nullptr;                // guarded by Pool::mu
  const char* idle_name = nullptr;           // guarded by Pool::mu
};

struct Pool {
  std::mutex mu;
  std::vector<ParkedSlot*> parked;  // guarded by mu; the last parked is woken first
  std::vector<ParkedSlot*> spare;   // guarded by mu
  std::vector<std::unique_ptr<ParkedSlot>> all;

  ParkedSlot* take_slot() {
    if (spare.empty()) {
      all.push_back(std::make_unique<ParkedSlot>());
      return all.back().get();
    }
    ParkedSlot* s = spare.back();
    spare.pop_back();
    return s;
  }
};

std::atomic<Pool*> g_pool{nullptr};

// A child forked from the process inherits the lists but none of the threads: it forgets
// the parent's pool (its lock may have been held at the fork) and starts one of its own
// on first use; otherwise bodies would be handed to parked threads that do not exist
// there. A fork hook rather than a pid check per hand-off, which costs a system call.
void forget_pool_in_child() noexcept { g_pool.store(nullptr, std::memory_order_relaxed); }

// Never destroyed: parked threads may still wait on it while the process exits.
Pool& pool() {
  Pool* p = g_pool.load(std::memory_order_acquire);
  if (p != nullptr) return *p;
  [[maybe_unused]] static const int hooked =
      ::pthread_atfork(nullptr, nullptr, &forget_pool_in_child);
  auto* fresh = new Pool;
  if (g_pool.compare_exchange_strong(p, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;  // another thread of this process installed one meanwhile
  return *p;
}

void run_contained(detail::ThreadBody& body) noexcept {
  try {
    body.run();
  } catch (...) {
    // A failing body ends only its own work, as on a thread of its own.
  }
}

// The body of every pooled thread: runs what it was given, then parks for more.
// The thread was started under the first body's name.
void pooled_loop(const char* idle_name, std::unique_ptr<detail::ThreadBody> body) {
  Pool& p = pool();
  for (;;) {
    run_contained(*body);
    try {
      body.reset();  // release what the body owned before parking
    } catch (...) {
    }
    // Renamed before it can be handed anything, so the next role's name always wins.
    set_current_thread_name(idle_name);
    std::unique_lock lock(p.mu);
    if (p.parked.size() >= kPoolMaxParked) return;
    ParkedSlot* slot = p.take_slot();
    p.parked.push_back(slot);
    bool handed = slot->cv.wait_for(lock, kPoolIdleExit, [&] { return slot->body != nullptr; });
    if (!handed) {
      // Still listed (whoever hands a body over unlists the slot first): unlist and end.
      std::erase(p.parked, slot);
      p.spare.push_back(slot);
      return;
    }
    body = std::move(slot->body);
    const char* name = slot->name;
    idle_name = slot->idle_name;
    p.spare.push_back(slot);
    lock.unlock();
    set_current_thread_name(name ? name : idle_name);
  }
}

}  // namespace

bool run_pooled_impl(const char* idle_name, const char* name,
                     std::unique_ptr<detail::ThreadBody> body) {
  Pool& p = pool();
  ParkedSlot* slot = nullptr;
  {
    std::lock_guard lock(p.mu);
    if (!p.parked.empty()) {
      slot = p.parked.back();
      p.parked.pop_back();
      slot->body = std::move(body);
      slot->name = name;
      slot->idle_name = idle_name;
    }
  }
  if (slot) {
    slot->cv.notify_one();
    return true;
  }
  struct Start {
    const char* idle_name;
    std::unique_ptr<detail::ThreadBody> body;
    void operator()() { pooled_loop(idle_name, std::move(body)); }
  };
  auto h = start_thread(name ? name : idle_name, Start{idle_name, std::move(body)});
  if (!h) return false;
  h->detach();
  return true;
}

ThreadHandle::ThreadHandle(ThreadHandle&& o) noexcept : tid_(o.tid_), state_(std::move(o.state_)) {}

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
