#include "sandbox_core/base/platform.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sandbox_core/base/fd_io.h"

// Linux calls are used on Linux unless the build asks for the portable fallbacks.
#if defined(__linux__) && !defined(SANDBOX_PORTABLE_FALLBACKS)
#define SANDBOX_LINUX_CALLS 1
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/syscall.h>
#endif

namespace sandbox {

namespace {

#ifndef SANDBOX_LINUX_CALLS
// A descriptor is inheritable for a moment here, between its creation and FD_CLOEXEC.
// No lock closes that window: our own children mark every descriptor above 2
// close-on-exec before anything else (run_child), so none reaches their program, and a
// lock taken around child creation would be held while a sandbox sets itself up.

// Closes `fd` after a failed set-up step, keeping that step's errno for the caller.
int give_up(int fd) noexcept {
  int saved = errno;
  ::close(fd);
  errno = saved;
  return -1;
}

int set_cloexec(int fd) noexcept { return ::fcntl(fd, F_SETFD, FD_CLOEXEC); }

int set_nonblocking(int fd, bool on) noexcept {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return -1;
  int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return wanted == flags ? 0 : ::fcntl(fd, F_SETFL, wanted);
}

int set_nosigpipe([[maybe_unused]] int fd) noexcept {
#ifdef SO_NOSIGPIPE
  int one = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#else
  return 0;  // Linux: MSG_NOSIGNAL on every send does the job
#endif
}
#endif

}  // namespace

int pipe_cloexec(int fds[2]) noexcept {
#ifdef SANDBOX_LINUX_CALLS
  return ::pipe2(fds, O_CLOEXEC);
#else
  if (::pipe(fds) != 0) return -1;
  if (set_cloexec(fds[0]) != 0 || set_cloexec(fds[1]) != 0) {
    int saved = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    errno = saved;
    return -1;
  }
  return 0;
#endif
}

int socket_cloexec(int domain, int type, SocketMode mode) noexcept {
#ifdef SANDBOX_LINUX_CALLS
  int flags = SOCK_CLOEXEC | (mode == SocketMode::NonBlocking ? SOCK_NONBLOCK : 0);
  return ::socket(domain, type | flags, 0);
#else
  int fd = ::socket(domain, type, 0);
  if (fd < 0) return -1;
  if (set_cloexec(fd) != 0) return give_up(fd);
  if (mode == SocketMode::NonBlocking && set_nonblocking(fd, true) != 0) return give_up(fd);
  if (set_nosigpipe(fd) != 0) return give_up(fd);
  return fd;
#endif
}

int accept_cloexec(int listener, AcceptWait wait) noexcept {
#ifdef SANDBOX_LINUX_CALLS
  (void)wait;  // a non-blocking listener does not wait
  return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
#else
  // The accept never blocks and the wait happens in poll. Accepting first reports a full
  // descriptor table at once, as a blocking accept does on Linux.
  if (set_nonblocking(listener, true) != 0) return -1;
  for (;;) {
    int fd = ::accept(listener, nullptr, nullptr);
    if (fd >= 0 && set_cloexec(fd) != 0) return give_up(fd);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      if (wait == AcceptWait::No) return -1;
      pollfd p{listener, POLLIN, 0};
      if (::poll(&p, 1, -1) < 0) return -1;
      continue;
    }
    // BSD-derived systems hand the listener's O_NONBLOCK on; accept4 never does.
    if (set_nonblocking(fd, false) != 0 || set_nosigpipe(fd) != 0) return give_up(fd);
    return fd;
  }
#endif
}

ssize_t send_nosignal(int fd, const void* buf, size_t len) noexcept {
#ifdef MSG_NOSIGNAL
  return ::send(fd, buf, len, MSG_NOSIGNAL);
#else
  return ::send(fd, buf, len, 0);  // our sockets carry SO_NOSIGPIPE
#endif
}

UniqueFd open_pidfd([[maybe_unused]] pid_t pid) noexcept {
#if defined(SANDBOX_LINUX_CALLS) && defined(SYS_pidfd_open)
  // Close-on-exec by definition; absent on old kernels, where supervision polls instead.
  long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) return UniqueFd(static_cast<int>(fd));
#endif
  return UniqueFd();
}

void raise_open_files_limit() noexcept {
  struct rlimit rl;
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur >= rl.rlim_max) return;
  // Not past 65536: children that inherit the limit (the "none" backend's), and our own
  // launch where the kernel has no close_range, walk every descriptor number below it.
  rlim_t want = std::min<rlim_t>(rl.rlim_max, 65536);
#if defined(__APPLE__)
  want = std::min<rlim_t>(want, OPEN_MAX);  // setrlimit refuses more there
#endif
  if (want > rl.rlim_cur) {
    rl.rlim_cur = want;
    (void)::setrlimit(RLIMIT_NOFILE, &rl);
  }
}

bool set_pipe_capacity([[maybe_unused]] int fd, [[maybe_unused]] int bytes) noexcept {
#if defined(SANDBOX_LINUX_CALLS) && defined(F_SETPIPE_SZ)
  return ::fcntl(fd, F_SETPIPE_SZ, bytes) >= 0;
#else
  return false;
#endif
}

bool splice_available() noexcept {
#if defined(SANDBOX_LINUX_CALLS) && defined(SPLICE_F_MOVE)
  return true;
#else
  return false;
#endif
}

ssize_t splice_bytes([[maybe_unused]] int in, [[maybe_unused]] int out, [[maybe_unused]] size_t len,
                     [[maybe_unused]] SpliceMore more) noexcept {
#if defined(SANDBOX_LINUX_CALLS) && defined(SPLICE_F_MOVE)
  unsigned flags = SPLICE_F_MOVE | (more == SpliceMore::Yes ? SPLICE_F_MORE : 0u);
  return ::splice(in, nullptr, out, nullptr, len, flags);
#else
  errno = ENOSYS;
  return -1;
#endif
}

void* map_memory(size_t bytes) noexcept {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANON, -1, 0);
  // No MADV_HUGEPAGE: measured, huge pages made the first fill of a large buffer stall
  // for up to a second now and then (fresh 2 MiB blocks are the ones a virtual machine's
  // host has taken back), while plain pages cost the same every time.
  return p == MAP_FAILED ? nullptr : p;
}

void* grow_mapping(void* old, size_t old_bytes, size_t new_bytes) noexcept {
#if defined(SANDBOX_LINUX_CALLS) && defined(MREMAP_MAYMOVE)
  // Moves the page table entries, not the bytes.
  void* p = ::mremap(old, old_bytes, new_bytes, MREMAP_MAYMOVE);
  return p == MAP_FAILED ? nullptr : p;
#else
  void* p = map_memory(new_bytes);
  if (p == nullptr) return nullptr;
  std::memcpy(p, old, old_bytes);
  unmap_memory(old, old_bytes);
  return p;
#endif
}

#if defined(SANDBOX_LINUX_CALLS)
namespace {

// Advice for the whole pages inside [p, p + bytes).
void advise_whole_pages(void* p, size_t bytes, int advice) noexcept {
  const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  uintptr_t start = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(page - 1);
  if (end > start) (void)::madvise(reinterpret_cast<void*>(start), end - start, advice);
}

}  // namespace
#endif

void prefault_for_write(void* p, size_t bytes) noexcept {
#if defined(SANDBOX_LINUX_CALLS) && defined(MADV_POPULATE_WRITE)
  advise_whole_pages(p, bytes, MADV_POPULATE_WRITE);
#else
  (void)p;
  (void)bytes;
#endif
}

void drop_pages(void* p, size_t bytes) noexcept {
#if defined(SANDBOX_LINUX_CALLS)
  advise_whole_pages(p, bytes, MADV_DONTNEED);
#else
  (void)p;
  (void)bytes;
#endif
}

bool move_pages([[maybe_unused]] void* to, [[maybe_unused]] void* from,
                [[maybe_unused]] size_t bytes) noexcept {
#if defined(SANDBOX_LINUX_CALLS) && defined(MREMAP_DONTUNMAP)
  // DONTUNMAP keeps the source range mapped: a hole there could be taken by another
  // mapping before its owner unmaps the whole range.
  return ::mremap(from, bytes, bytes, MREMAP_MAYMOVE | MREMAP_FIXED | MREMAP_DONTUNMAP, to) == to;
#else
  return false;
#endif
}

size_t page_size() noexcept {
  static const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  return page;
}

void unmap_memory(void* p, size_t bytes) noexcept {
  if (p != nullptr) (void)::munmap(p, bytes);
}

bool fill_random(void* buf, size_t len) noexcept {
  auto* p = static_cast<unsigned char*>(buf);
#if defined(SANDBOX_LINUX_CALLS)
  while (len > 0) {
    ssize_t n = ::getrandom(p, len, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
#elif defined(__APPLE__) || defined(__FreeBSD__) || defined(__OpenBSD__) || defined(__NetBSD__)
  ::arc4random_buf(p, len);  // cannot fail and needs no descriptor
  return true;
#else
  // getentropy hands out at most 256 bytes a call; /dev/urandom where it is missing.
  bool ok = true;
  for (size_t off = 0; ok && off < len; off += 256) {
    ok = ::getentropy(p + off, std::min<size_t>(256, len - off)) == 0;
  }
  if (ok) return true;
  UniqueFd fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  while (len > 0) {
    ssize_t n = ::read(fd.get(), p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
#endif
}

void set_current_thread_name([[maybe_unused]] const char* name) noexcept {
#if defined(__APPLE__)
  ::pthread_setname_np(name);  // names only the calling thread
#elif defined(__linux__)
  // Longer names are refused (ERANGE) rather than cut, so cut them here.
  char cut[16] = {};
  std::memcpy(cut, name, ::strnlen(name, sizeof cut - 1));
  ::pthread_setname_np(::pthread_self(), cut);
#endif
}

Result<WakeFd, IoError> WakeFd::create() {
  WakeFd w;
#ifdef SANDBOX_LINUX_CALLS
  int fd = ::eventfd(0, EFD_CLOEXEC);
  if (fd < 0) return fail(IoError::last());
  w.read_.reset(fd);
#else
  int fds[2];
  if (pipe_cloexec(fds) != 0) return fail(IoError::last());
  w.read_.reset(fds[0]);
  w.write_.reset(fds[1]);
  if (set_nonblocking(fds[1], true) != 0) return fail(IoError::last());
#endif
  return w;
}

void WakeFd::notify() noexcept {
#ifdef SANDBOX_LINUX_CALLS
  uint64_t one = 1;
  ssize_t n = ::write(read_.get(), &one, sizeof one);
#else
  char one = 1;
  ssize_t n = ::write(write_.get(), &one, 1);  // a full pipe is readable already
#endif
  (void)n;
}

void WakeFd::clear() noexcept {
  // An eventfd gives its whole count in one read; a pipe gives back what one read takes,
  // and polls readable again if more is left.
  char buf[64];
  ssize_t n = ::read(read_.get(), buf, sizeof buf);
  (void)n;
}

std::string system_temp_dir() {
  const char* tmp = std::getenv("TMPDIR");
  if (tmp != nullptr && *tmp != '\0') return tmp;
  // Linux has no per-user temporary directory of its own to ask for.
  return "/tmp";
}

Result<UniqueFd, IoError> anonymous_file(const char* name, std::string_view contents, Seal seal) {
#if defined(SANDBOX_LINUX_CALLS)
  UniqueFd fd(::memfd_create(name, MFD_CLOEXEC | (seal == Seal::Yes ? MFD_ALLOW_SEALING : 0)));
  if (!fd) return fail(IoError::last());
  SANDBOX_TRY(write_all(fd.get(), contents));
  if (seal == Seal::Yes && ::fcntl(fd.get(), F_ADD_SEALS,
                                   F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
    return fail(IoError::last());
  }
#else
  (void)seal;  // nobody else can open it: unlinked before anything is written
  std::string path = system_temp_dir() + "/" + name + "-XXXXXX";
  UniqueFd fd(::mkstemp(path.data()));
  if (!fd) return fail(IoError::last());
  ::unlink(path.c_str());
  if (set_cloexec(fd.get()) != 0) return fail(IoError::last());
  SANDBOX_TRY(write_all(fd.get(), contents));
#endif
  if (::lseek(fd.get(), 0, SEEK_SET) != 0) return fail(IoError::last());
  return fd;
}

}  // namespace sandbox
