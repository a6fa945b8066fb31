// Helpers for the proxy and SOCKS5 tests: loopback sockets, a local echo upstream, a
// fake resolver and event waits. All traffic stays on 127.0.0.1 / ::1.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/base/unique_fd.h"
#include "sandbox_core/netfilter/admission.h"
#include "sandbox_core/netfilter/filter.h"
#include "sandbox_core/proxy/proxy.h"
#include "support/capture_sink.h"

namespace sandbox::testing {

inline netfilter::NetworkFilter make_filter(std::optional<std::vector<std::string>> allow,
                                            std::vector<std::string> deny = {}) {
  netfilter::NetworkFilter f;
  f.deny = std::move(*netfilter::parse_filter_list(deny));
  if (allow) f.allow = std::move(*netfilter::parse_filter_list(*allow));
  return f;
}

inline std::shared_ptr<const netfilter::NetworkFilter> shared_filter(
    std::optional<std::vector<std::string>> allow, std::vector<std::string> deny = {}) {
  return std::make_shared<const netfilter::NetworkFilter>(make_filter(std::move(allow), std::move(deny)));
}

// Names resolve only through this table while it lives; every lookup is counted.
class FakeResolver {
 public:
  using Table = std::initializer_list<std::pair<const std::string, std::string>>;
  explicit FakeResolver(Table table) : table_(table) {
    auto& cache = netfilter::DnsCache::instance();
    cache.clear_for_testing();
    cache.set_lookup_for_testing([this](const std::string& host, uint16_t port)
                                     -> Result<std::vector<netfilter::SocketAddress>, IoError> {
      ++calls_;
      auto it = table_.find(host);
      if (it == table_.end())
        return fail(IoError::custom("failed to lookup address information: Name does not resolve"));
      return std::vector<netfilter::SocketAddress>{{*netfilter::parse_ip(it->second), port}};
    });
  }
  FakeResolver(const FakeResolver&) = delete;
  ~FakeResolver() {
    auto& cache = netfilter::DnsCache::instance();
    cache.set_lookup_for_testing(nullptr);
    cache.clear_for_testing();
  }
  int calls() const { return calls_.load(); }

 private:
  std::map<std::string, std::string> table_;
  std::atomic<int> calls_{0};
};

inline void set_recv_timeout(int fd, int seconds) {
  timeval tv{seconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

inline UniqueFd connect_tcp(const netfilter::SocketAddress& addr) {
  sockaddr_storage ss{};
  socklen_t len = netfilter::to_sockaddr(addr, ss);
  UniqueFd fd(::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&ss), len) != 0) return UniqueFd();
  set_recv_timeout(fd.get(), 20);  // a hang fails the test instead of blocking it
  return fd;
}

inline netfilter::SocketAddress loopback(uint16_t port) {
  return {netfilter::IpAddress::v4(127, 0, 0, 1), port};
}

// A loopback port that nothing listens on (bound once, then released).
inline uint16_t closed_port() {
  UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  socklen_t len = sizeof sin;
  ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&sin), &len);
  return ntohs(sin.sin_port);
}

inline bool send_text(int fd, std::string_view text) { return bool(send_all(fd, text)); }

inline std::string read_n(int fd, size_t n) {
  std::string out(n, '\0');
  size_t got = 0;
  while (got < n) {
    ssize_t r = ::recv(fd, out.data() + got, n - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  out.resize(got);
  return out;
}

// Everything up to end of stream (or an error / the receive time-out).
inline std::string read_to_end(int fd) {
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t r = ::recv(fd, buf, sizeof buf, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return out;
    out.append(buf, static_cast<size_t>(r));
  }
}

inline std::vector<std::byte> bytes(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

inline std::string as_text(const std::vector<std::byte>& b) {
  return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

inline size_t open_fd_count() {
  size_t n = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (::readdir(d)) ++n;
    ::closedir(d);
  }
  return n;
}

// Events are emitted by proxy threads, possibly after the client saw its socket close.
inline std::vector<CapturedEvent> wait_for_events(CaptureSink& sink, const std::string& message,
                                                  size_t count = 1) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    auto found = sink.with_message(message);
    if (found.size() >= count || std::chrono::steady_clock::now() > deadline) return found;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Loopback echo upstream on one epoll thread: echoes every byte and, at the client's
// end of stream, sends "[eof]" and closes. Proves half-close in both directions.
class EchoServer {
 public:
  explicit EchoServer(netfilter::IpAddress ip = netfilter::IpAddress::v4(127, 0, 0, 1)) {
    sockaddr_storage ss{};
    socklen_t len = netfilter::to_sockaddr({ip, 0}, ss);
    listener_ = UniqueFd(::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&ss), len);
    ::listen(listener_.get(), 4096);
    len = sizeof ss;
    ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&ss), &len);
    addr_ = *netfilter::from_sockaddr(reinterpret_cast<sockaddr*>(&ss), len);
    epoll_ = UniqueFd(::epoll_create1(EPOLL_CLOEXEC));
    auto p = make_pipe();
    wake_read_ = std::move(p->read);
    wake_write_ = std::move(p->write);
    watch(listener_.get());
    watch(wake_read_.get());
    thread_ = std::thread([this] { run(); });
  }
  ~EchoServer() {
    (void)write_all(wake_write_.get(), "x");
    thread_.join();
    for (int fd : conns_) ::close(fd);
  }
  const netfilter::SocketAddress& addr() const { return addr_; }
  uint16_t port() const { return addr_.port; }

 private:
  void watch(int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev);
  }
  void run() {
    std::vector<char> buf(65536);
    epoll_event evs[64];
    for (;;) {
      int n = ::epoll_wait(epoll_.get(), evs, 64, -1);
      for (int i = 0; i < n; ++i) {
        int fd = evs[i].data.fd;
        if (fd == wake_read_.get()) return;
        if (fd == listener_.get()) {
          int c = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
          if (c >= 0) {
            conns_.push_back(c);
            watch(c);
          }
          continue;
        }
        ssize_t r = ::recv(fd, buf.data(), buf.size(), 0);
        if (r > 0) {
          (void)send_all(fd, std::span<const std::byte>(
                                 reinterpret_cast<const std::byte*>(buf.data()), size_t(r)));
          continue;
        }
        if (r == 0) (void)send_all(fd, "[eof]");
        ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
        std::erase(conns_, fd);
        ::close(fd);
      }
    }
  }

  UniqueFd listener_, epoll_, wake_read_, wake_write_;
  netfilter::SocketAddress addr_;
  std::vector<int> conns_;
  std::thread thread_;
};

inline UniqueFd open_http_tunnel(uint16_t proxy_port, const netfilter::SocketAddress& target) {
  UniqueFd fd = connect_tcp(loopback(proxy_port));
  if (!fd || !send_text(fd.get(), "CONNECT " + netfilter::to_string(target) + " HTTP/1.1\r\n\r\n") ||
      read_n(fd.get(), 39) != "HTTP/1.1 200 Connection Established\r\n\r\n")
    return UniqueFd();
  return fd;
}

// IPv4 target as ATYP 1; greeting and request in one write.
inline UniqueFd open_socks_tunnel(uint16_t proxy_port, const netfilter::SocketAddress& target) {
  UniqueFd fd = connect_tcp(loopback(proxy_port));
  const auto& b = target.ip.bytes;
  auto msg = bytes({5, 1, 0, 5, 1, 0, 1, b[0], b[1], b[2], b[3], target.port >> 8, target.port & 0xff});
  if (!fd || !send_text(fd.get(), as_text(msg)) ||
      read_n(fd.get(), 12) != as_text(bytes({5, 0, 5, 0, 0, 1, 0, 0, 0, 0, 0, 0})))
    return UniqueFd();
  return fd;
}

// Sends `payload` from a second thread, half-closes, and returns all that came back.
inline std::string round_trip(int fd, const std::string& payload) {
  std::thread writer([&] {
    (void)send_text(fd, payload);
    ::shutdown(fd, SHUT_WR);
  });
  std::string got = read_to_end(fd);
  writer.join();
  return got;
}

inline std::string pattern(size_t size, unsigned seed) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xff);
  return out;
}

inline void raise_fd_limit() {
  rlimit rl{};
  ::getrlimit(RLIMIT_NOFILE, &rl);
  rl.rlim_cur = rl.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &rl);
}

// `count` tunnels open at once, each carrying its own bytes both ways; afterwards the
// process holds no more descriptors than before.
inline void exercise_many_tunnels(const std::function<UniqueFd()>& open, size_t count) {
  raise_fd_limit();
  const size_t before = open_fd_count();
  std::vector<UniqueFd> tunnels;
  for (size_t i = 0; i < count; ++i) {
    tunnels.push_back(open());
    ASSERT_TRUE(tunnels.back().valid()) << "tunnel " << i;
  }
  for (size_t i = 0; i < count; ++i)
    ASSERT_TRUE(send_text(tunnels[i].get(), pattern(1500, unsigned(i))));
  for (size_t i = 0; i < count; ++i) {
    ASSERT_EQ(read_n(tunnels[i].get(), 1500), pattern(1500, unsigned(i))) << "tunnel " << i;
    ::shutdown(tunnels[i].get(), SHUT_WR);
  }
  for (size_t i = 0; i < count; ++i) ASSERT_EQ(read_to_end(tunnels[i].get()), "[eof]");
  tunnels.clear();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (open_fd_count() > before && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_LE(open_fd_count(), before);
}

// Runs in a forked child: starts the proxy with the descriptor table full, so that its
// accept fails with EMFILE, expects exactly one accept-failure event over several retries,
// then frees the descriptors and expects a client served. Returns 0 or the failed step.
// (An accept already blocked holds a reserved descriptor slot, hence this order.)
using StartFn = Result<std::unique_ptr<proxy::ProxyHandle>, IoError> (*)(netfilter::NetworkFilter);
inline int accept_exhaustion_child(StartFn start, const std::string& warn_prefix,
                                   const std::string& request, size_t reply_size) {
  CaptureScope capture;
  rlimit rl{};
  ::getrlimit(RLIMIT_NOFILE, &rl);
  rl.rlim_cur = 256;
  if (::setrlimit(RLIMIT_NOFILE, &rl) != 0) return 1;
  UniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  std::vector<UniqueFd> fillers;
  for (;;) {
    UniqueFd f(::fcntl(null.get(), F_DUPFD_CLOEXEC, 0));
    if (!f) break;
    fillers.push_back(std::move(f));
  }
  fillers.pop_back();  // room for exactly the listener
  auto proxy = start(make_filter(std::nullopt));
  if (!proxy) return 2;
  const std::string warn = warn_prefix + os_error_text(EMFILE);
  if (wait_for_events(capture.sink(), warn).size() != 1) return 3;
  std::this_thread::sleep_for(std::chrono::milliseconds(350));  // several retries later
  if (capture.sink().events().size() != 1) return 4;
  fillers.clear();
  UniqueFd client = connect_tcp(loopback((*proxy)->local_addr().port));
  if (!client || !send_text(client.get(), request)) return 5;
  if (read_n(client.get(), reply_size).size() != reply_size) return 6;
  return 0;
}

inline void expect_child_succeeds(const std::function<int()>& body) {
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) ::_exit(body());
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "failed at step " << WEXITSTATUS(status);
}

// Names of this process's threads, as the kernel keeps them (15 bytes).
inline std::vector<std::string> thread_names() {
  std::vector<std::string> out;
  if (DIR* d = ::opendir("/proc/self/task")) {
    while (dirent* e = ::readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::string path = std::string("/proc/self/task/") + e->d_name + "/comm";
      UniqueFd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
      char buf[32] = {};
      ssize_t n = f ? ::read(f.get(), buf, sizeof buf - 1) : 0;
      if (n > 0) out.emplace_back(buf, static_cast<size_t>(n) - 1);
    }
    ::closedir(d);
  }
  return out;
}

inline bool wait_for_thread(const std::string& name) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    auto names = thread_names();
    if (std::find(names.begin(), names.end(), name) != names.end()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// True once a connection to `port` is refused (the listener is closed).
inline bool wait_until_refused(uint16_t port) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(s.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0 &&
        errno == ECONNREFUSED)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace sandbox::testing
