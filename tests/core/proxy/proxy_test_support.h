// Helpers for the proxy and SOCKS5 tests: loopback sockets, a local echo upstream, a
// fake resolver and event waits. All traffic stays on 127.0.0.1 / ::1.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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

}  // namespace sandbox::testing
