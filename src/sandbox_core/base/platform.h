// The calls that differ between Linux and other POSIX hosts (macOS first), each with a
// portable fallback. Building with SANDBOX_PORTABLE_FALLBACKS makes Linux take the
// fallbacks too, so they are tested where the suites run. Any thread; no Python here.
//
// Descriptors come out close-on-exec either way. Where that takes a second call, a child
// created on another thread in between gets the descriptor, but marks it close-on-exec
// itself before it runs anything (run_child), so its program never inherits it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "sandbox_core/base/io_error.h"
#include "sandbox_core/base/result.h"
#include "sandbox_core/base/unique_fd.h"

namespace sandbox {

// Syscall-shaped: a descriptor (or 0), else -1 with errno set by the call that failed.

// pipe2(O_CLOEXEC), or pipe + FD_CLOEXEC.
int pipe_cloexec(int fds[2]) noexcept;

enum class SocketMode : uint8_t { Blocking, NonBlocking };
// A close-on-exec socket, non-blocking if asked; SO_NOSIGPIPE where the system has it.
int socket_cloexec(int domain, int type, SocketMode mode) noexcept;

// Waits for and accepts one connection: close-on-exec, blocking, SO_NOSIGPIPE where the
// system has it. The fallback never blocks in accept (it waits in poll),
// so it switches `listener` to non-blocking; EINTR comes back as from accept. With
// AcceptWait::No on a non-blocking listener nothing waits: -1 with EAGAIN when no
// connection is pending (a poll loop's accept).
enum class AcceptWait : uint8_t { Yes, No };
int accept_cloexec(int listener, AcceptWait wait = AcceptWait::Yes) noexcept;

// send(2) that never raises SIGPIPE (MSG_NOSIGNAL; SO_NOSIGPIPE on the socket elsewhere).
ssize_t send_nosignal(int fd, const void* buf, size_t len) noexcept;

// A descriptor that polls readable once the process `pid` has exited (pidfd_open), or an
// empty one where there is none; callers then wait by sleeping.
UniqueFd open_pidfd(pid_t pid) noexcept;

// Raises the soft RLIMIT_NOFILE to the hard limit, at most 65536 (macOS: also at most
// OPEN_MAX), as language runtimes do at start: a sandbox's connections through the proxies then cannot
// use up a low soft limit (1024 is common) that the host's own descriptors share.
void raise_open_files_limit() noexcept;

// Asks for a pipe buffer of `bytes`; false where the size cannot be changed or was refused.
bool set_pipe_capacity(int fd, int bytes) noexcept;

// Moves up to `len` bytes from `in` to `out` inside the kernel; one of them must be a
// pipe. Syscall-shaped: the count (0 at end of input), or -1 with errno; ENOSYS where
// there is no such call, and EINVAL where this pair of descriptors cannot take part.
// Blocks like read and write on blocking descriptors. `more`: further data follows at
// once (lets a socket hold back a partial segment).
enum class SpliceMore : uint8_t { No, Yes };
// False where splice_bytes can only fail with ENOSYS.
bool splice_available() noexcept;
ssize_t splice_bytes(int in, int out, size_t len, SpliceMore more = SpliceMore::No) noexcept;

// Anonymous private read-write memory for large buffers, in whole pages: nullptr when it
// cannot be had. Growing keeps the contents and may move them (without copying where the
// system can remap pages); on failure the old mapping is left as it was.
void* map_memory(size_t bytes) noexcept;
void* grow_mapping(void* old, size_t old_bytes, size_t new_bytes) noexcept;
void unmap_memory(void* p, size_t bytes) noexcept;
// Faults in the whole pages inside [p, p + bytes) for writing in one call, where the
// system offers that (MADV_POPULATE_WRITE); otherwise, or on failure, nothing happens and
// the pages fault one by one when written. Advice only: the contents are unchanged.
void prefault_for_write(void* p, size_t bytes) noexcept;
// Gives the whole pages inside [p, p + bytes) of a private anonymous mapping back to the
// system (MADV_DONTNEED): they read as zero afterwards. Nothing where there is no such
// call. For memory that is about to be freed, so that freeing it later is cheap.
void drop_pages(void* p, size_t bytes) noexcept;
// Moves the whole pages of [from, from + bytes) onto [to, to + bytes): page table
// entries, not bytes. Both must be page-aligned; `from` lies in a map_memory mapping,
// which stays mapped and reads as zero there afterwards; whatever was mapped at `to` is
// replaced. False, with nothing moved, where the system cannot (then copy instead).
bool move_pages(void* to, void* from, size_t bytes) noexcept;
size_t page_size() noexcept;

// Fills `buf` from the system's entropy source; false if none could be read.
bool fill_random(void* buf, size_t len) noexcept;

// Names the calling thread (the only thread the core ever names). Linux keeps 15 bytes.
void set_current_thread_name(const char* name) noexcept;

// A wake-up that stays raised: after notify(), poll_fd() polls readable for good, since
// nothing ever reads it. An eventfd, or a self-pipe whose write end never blocks.
class WakeFd {
 public:
  static Result<WakeFd, IoError> create();
  int poll_fd() const noexcept { return read_.get(); }
  void notify() noexcept;
  // Lowers it again, for a user that wakes more than once: call only when poll_fd() has
  // just polled readable (one read, which then never waits). A notify() after it raises
  // it anew.
  void clear() noexcept;

 private:
  UniqueFd read_;
  UniqueFd write_;  // empty for an eventfd, which is both ends
};

// TMPDIR if set and non-empty, else "/tmp".
std::string system_temp_dir();

// A close-on-exec file holding `contents`, positioned at its start, that no other
// process can open by name: a memory file where the system has them (sealed against any
// change when `seal`), elsewhere an unlinked temporary file.
enum class Seal : uint8_t { No, Yes };
Result<UniqueFd, IoError> anonymous_file(const char* name, std::string_view contents, Seal seal);

}  // namespace sandbox
