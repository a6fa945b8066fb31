// Every thread of the core starts here: 2 MiB stack, OS thread name (Linux keeps 15
// bytes), every signal but the synchronous faults blocked from its first instruction, and
// an entry point that contains any failure so it never escapes the thread. Bodies run on
// plain OS threads and must never touch Python objects.
#pragma once

#include <pthread.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string_view>
#include <utility>

#include "sandbox_core/base/io_error.h"
#include "sandbox_core/base/result.h"

namespace sandbox {

inline constexpr size_t kThreadStackBytes = 2 * 1024 * 1024;

namespace detail {
struct ThreadBody {
  virtual ~ThreadBody() = default;
  virtual void run() = 0;
};
template <class F>
struct ThreadBodyOf final : ThreadBody {
  explicit ThreadBodyOf(F&& f) : fn(std::move(f)) {}
  void run() override { fn(); }
  F fn;
};
struct ThreadState;
}  // namespace detail

// A started thread. Joinable until join() or detach(); destroying a joinable handle
// detaches it (the thread runs on and its outcome is discarded).
class ThreadHandle {
 public:
  ThreadHandle() = default;
  ThreadHandle(ThreadHandle&& o) noexcept;
  ThreadHandle& operator=(ThreadHandle&& o) noexcept;
  ThreadHandle(const ThreadHandle&) = delete;
  ThreadHandle& operator=(const ThreadHandle&) = delete;
  ~ThreadHandle();

  bool joinable() const noexcept { return state_ != nullptr; }
  // Waits for the thread. False when its body ended abnormally (an exception escaped).
  bool join() noexcept;
  void detach() noexcept;

 private:
  friend Result<ThreadHandle, IoError> start_thread_impl(const char*,
                                                         std::unique_ptr<detail::ThreadBody>);
  pthread_t tid_{};
  std::shared_ptr<detail::ThreadState> state_;
};

// Starts `body` on a new thread named `name` (nullptr: unnamed). The body is moved into
// the thread's context; if the thread cannot start, the context (and whatever it owns,
// such as descriptors) is destroyed before this returns.
Result<ThreadHandle, IoError> start_thread_impl(const char* name,
                                                std::unique_ptr<detail::ThreadBody> body);

template <class F>
Result<ThreadHandle, IoError> start_thread(const char* name, F&& body) {
  return start_thread_impl(
      name, std::make_unique<detail::ThreadBodyOf<std::decay_t<F>>>(std::forward<F>(body)));
}

// Starts a detached thread; false when it could not start (its context is destroyed).
template <class F>
bool spawn_detached(const char* name, F&& body) {
  auto h = start_thread(name, std::forward<F>(body));
  if (!h) return false;
  h->detach();
  return true;
}

// Runs `body` on a pooled thread: a parked one when there is one, else a new detached
// thread. The thread takes `name` (nullptr: `idle_name`) for as long as the body runs;
// afterwards it parks under its user's `idle_name` for the next body, or ends when
// kPoolMaxParked threads are parked already or when it has been parked for
// kPoolIdleExit. Saves a thread start and a stack release per body, which is most of
// the cost of a short connection. Bodies must not rely on thread-local state or on
// their thread ending with them. False when no thread could be had; `body` is then
// destroyed before this returns, as with spawn_detached. Both names must outlive the
// thread (string literals).
inline constexpr size_t kPoolMaxParked = 32;
inline constexpr auto kPoolIdleExit = std::chrono::seconds(20);

bool run_pooled_impl(const char* idle_name, const char* name,
                     std::unique_ptr<detail::ThreadBody> body);

template <class F>
bool run_pooled(const char* idle_name, const char* name, F&& body) {
  return run_pooled_impl(
      idle_name, name,
      std::make_unique<detail::ThreadBodyOf<std::decay_t<F>>>(std::forward<F>(body)));
}

}  // namespace sandbox
