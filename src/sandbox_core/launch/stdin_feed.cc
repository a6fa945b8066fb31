// The stdin feeder: one thread per child whose standard input is a regular file. Runs on
// its own thread; the owner's destructor stops and joins it.
#include "sandbox_core/launch/stdin_feed.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/base/sigpipe.h"
#include "sandbox_core/base/thread.h"

namespace sandbox {
namespace {

// Writes what it reads until the file ends, the reader goes away (EPIPE) or `stop` is
// closed; the write end is non-blocking, so a reader that never reads holds nothing up.
void feed(int file, int out, int stop) {
  SigpipeHeld held;
  char buf[64 * 1024];
  for (;;) {
    ssize_t n = ::read(file, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buf + done, static_cast<size_t>(n - done));
      if (w > 0) {
        done += w;
        continue;
      }
      if (w < 0 && errno == EPIPE) held.note_epipe();
      if (w < 0 && errno != EAGAIN && errno != EINTR) return;
      pollfd fds[2] = {{out, POLLOUT, 0}, {stop, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[1].revents != 0) return;
    }
  }
}

class StdinFeed final : public ChildResource {
 public:
  StdinFeed(UniqueFd stop, ThreadHandle thread)
      : stop_(std::move(stop)), thread_(std::move(thread)) {}
  ~StdinFeed() override {
    stop_.reset();  // wakes a thread waiting on a full pipe
    thread_.join();
  }

 private:
  UniqueFd stop_;
  ThreadHandle thread_;
};

}  // namespace

Result<std::unique_ptr<ChildResource>, IoError> start_stdin_feed(UniqueFd file,
                                                                 UniqueFd pipe_write) {
  auto stop = make_pipe();
  if (!stop) return fail(stop.error());
  int flags = ::fcntl(pipe_write.get(), F_GETFL);
  if (flags < 0 || ::fcntl(pipe_write.get(), F_SETFL, flags | O_NONBLOCK) != 0)
    return fail(IoError::last());
  auto thread = start_thread("sandbox-stdin", [file = std::move(file), out = std::move(pipe_write),
                                               stop_read = std::move(stop->read)] {
    feed(file.get(), out.get(), stop_read.get());
  });
  if (!thread) return fail(thread.error());
  return std::unique_ptr<ChildResource>(new StdinFeed(std::move(stop->write), std::move(*thread)));
}

}  // namespace sandbox
