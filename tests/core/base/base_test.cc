#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

#include "sandbox_core/base/byte_buffer.h"
#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/base/platform.h"
#include "sandbox_core/base/quoted.h"
#include "sandbox_core/base/thread.h"

namespace sandbox {
namespace {

TEST(Texts, QuotedFormsAndOsErrors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", R"("")"},
      {"it's", R"("it's")"},
      {std::string("t\tr\rn\nz\0", 8), R"("t\tr\rn\nz\0")"},
      {"\x01\x7f", R"("\u{1}\u{7f}")"},
      {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
      {"\xe2\x80\x8b", R"("\u{200b}")"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(quoted_form(in), out) << in;
  // XSI strerror_r reports an unknown number as an error yet writes the text all the same.
  EXPECT_EQ(IoError::from_errno(99999).text(), "Unknown error 99999 (os error 99999)");
}

// Descriptors are born close-on-exec with the asked blocking; a wake-up is raised by
// notify(); random bytes are random.
TEST(PlatformCalls, DescriptorsWakeUpsAndRandomBytes) {
  int fds[2];
  ASSERT_EQ(pipe_cloexec(fds), 0);
  UniqueFd pipe_read(fds[0]), pipe_write(fds[1]);
  UniqueFd blocking(socket_cloexec(AF_INET, SOCK_STREAM, SocketMode::Blocking));
  UniqueFd nonblocking(socket_cloexec(AF_INET, SOCK_STREAM, SocketMode::NonBlocking));
  ASSERT_TRUE(blocking && nonblocking);
  // A connection accepted from a listener: blocking even where the listener is not.
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sin;
  ASSERT_EQ(::bind(nonblocking.get(), reinterpret_cast<sockaddr*>(&sin), len), 0);
  ASSERT_EQ(::listen(nonblocking.get(), 1), 0);
  ASSERT_EQ(::getsockname(nonblocking.get(), reinterpret_cast<sockaddr*>(&sin), &len), 0);
  ASSERT_EQ(::connect(blocking.get(), reinterpret_cast<sockaddr*>(&sin), len), 0);
  UniqueFd accepted(accept_cloexec(nonblocking.get()));
  ASSERT_TRUE(accepted);
  auto wake = WakeFd::create();
  ASSERT_TRUE(wake);
  const std::pair<int, bool> cases[] = {{pipe_read.get(), false}, {pipe_write.get(), false},
                                        {blocking.get(), false},  {nonblocking.get(), true},
                                        {accepted.get(), false},  {wake->poll_fd(), false}};
  for (auto [fd, nonblocking_wanted] : cases) {
    SCOPED_TRACE(fd);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ((::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0, nonblocking_wanted);
  }
  pollfd raised{wake->poll_fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&raised, 1, 0), 0);
  wake->notify();
  wake->notify();
  EXPECT_EQ(::poll(&raised, 1, 0), 1);

  unsigned char a[32] = {}, b[32] = {};
  ASSERT_TRUE(fill_random(a, sizeof a));
  ASSERT_TRUE(fill_random(b, sizeof b));
  EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
}

std::string current_thread_name() {
  char name[32] = {};
  ::pthread_getname_np(::pthread_self(), name, sizeof name);
  return name;
}

TEST(Threads, PooledBodiesRunUnderTheirNameAndReuseAParkedThread) {
  // Each body reports its thread and name; end of file on its pipe then proves that the
  // body's context (and the write end it owned) was released.
  static constexpr const char* kIdle = "pool-test-idle";  // the user's idle name
  auto run = [](const char* name, bool throws) {
    std::promise<std::pair<pid_t, std::string>> seen;
    auto got = seen.get_future();
    auto p = make_pipe();
    EXPECT_TRUE(p);
    EXPECT_TRUE(run_pooled(kIdle, name, [&seen, throws, fd = std::move(p->write)] {
      seen.set_value({::gettid(), current_thread_name()});
      if (throws) throw std::runtime_error("contained");
    }));
    auto out = got.get();
    char c;
    EXPECT_EQ(::read(p->read.get(), &c, 1), 0);
    return out;
  };
  const auto [tid, name] = run("pool-role-one", true);
  EXPECT_EQ(name, "pool-role-one");
  // A body that threw ends only its own work: the thread parks, renamed, for the next.
  std::string parked;
  for (int i = 0; i < 500 && parked != kIdle; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::ifstream comm("/proc/self/task/" + std::to_string(tid) + "/comm");
    std::getline(comm, parked);
  }
  EXPECT_EQ(parked, kIdle);
  EXPECT_EQ(run("pool-role-two", false), std::pair(tid, std::string("pool-role-two")));

#if !defined(__SANITIZE_THREAD__)  // ThreadSanitizer cannot start threads after such a fork
  // A child forked now inherits the parked list but not the thread: its bodies must
  // still run (on a thread of its own). Exit 0 once the body has run, 1 if it never does.
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int fds[2];
    if (::pipe(fds) != 0) ::_exit(2);
    if (!run_pooled(kIdle, "pool-in-child", [w = UniqueFd(fds[1])] {})) ::_exit(3);
    pollfd p{fds[0], POLLIN, 0};
    char c;
    ::_exit(::poll(&p, 1, 10'000) == 1 && ::read(fds[0], &c, 1) == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
#endif
}

// The final copy past the two-thread size (growth and the cap are shown by the collect
// tests, small copies by every output the module returns): split inside one copy, from a
// buffer's mapping that gives its pages back; with the buffer's data at the same offset
// in a page as its destination, the whole pages between are moved instead.
TEST(ByteBuffers, FinalCopiesKeepEveryByte) {
  std::string all;
  for (size_t i = 0; all.size() < kMovePagesFrom + 12345; ++i) all += std::to_string(i) + ",";
  const std::string a = all.substr(0, 7);  // no two pieces of `all` alike
  for (bool same_offset : {false, true}) {
    SCOPED_TRACE(same_offset ? "pages moved" : "copied");
    const std::string b =
        all.substr(0, (same_offset ? kMovePagesFrom : kParallelCopyBytes) + 12345);
    std::string to_a(a.size(), '\0'), to_b(b.size(), '\0');
    const auto at = reinterpret_cast<uintptr_t>(to_b.data());
    ByteBuffer::set_page_offset(same_offset ? at : at + 1);
    ByteBuffer source;
    source.append(b);
    const ByteCopy copies[] = {{to_a.data(), a.data(), a.size()},
                               {to_b.data(), source.data(), source.size()}};
    copy_bytes(copies, Sources::Drop);
    EXPECT_TRUE(to_a == a && to_b == b);
  }
  ByteBuffer::set_page_offset(0);
}

// Started threads take their name (cut to the kernel's 15 bytes), contain what their body
// throws, and run with the asynchronous signals blocked, leaving the caller's mask alone.
TEST(Threads, StartedThreadsAreNamedContainedAndBlockAsynchronousSignals) {
  sigset_t before, inside, after;
  ::pthread_sigmask(SIG_SETMASK, nullptr, &before);
  ASSERT_FALSE(sigismember(&before, SIGINT));
  std::string name;
  auto t = start_thread("a-very-long-thread-name", [&] {
    name = current_thread_name();
    ::pthread_sigmask(SIG_SETMASK, nullptr, &inside);
  });
  ASSERT_TRUE(t);
  ASSERT_TRUE(t->join());
  EXPECT_EQ(name, "a-very-long-thr");
  auto bad = start_thread(nullptr, [] { throw std::runtime_error("x"); });
  ASSERT_TRUE(bad);
  EXPECT_FALSE(bad->join());
  for (int sig : {SIGINT, SIGTERM, SIGCHLD, SIGPIPE, SIGALRM, SIGUSR1, SIGHUP}) {
    EXPECT_TRUE(sigismember(&inside, sig)) << "signal " << sig;
  }
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    EXPECT_FALSE(sigismember(&inside, sig)) << "fault signal " << sig;
  }
  ::pthread_sigmask(SIG_SETMASK, nullptr, &after);
  for (int sig = 1; sig < NSIG; ++sig) {
    EXPECT_EQ(sigismember(&after, sig), sigismember(&before, sig)) << "signal " << sig;
  }
}

}  // namespace
}  // namespace sandbox
