// Helpers for the proxy and SOCKS5 tests: loopback sockets, a local echo upstream,
// request builders for both proxies and waits with generous deadlines. All traffic stays
// on 127.0.0.1 / ::1.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "netfilter/fake_resolver.h"
#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/base/unique_fd.h"
#include "sandbox_core/http/http.h"
#include "sandbox_core/netfilter/filter.h"
#include "sandbox_core/proxy/net.h"
#include "sandbox_core/proxy/proxy.h"
#include "sandbox_core/socks/socks5.h"
#include "support/capture_sink.h"

namespace sandbox::testing {

using Allow = std::optional<std::vector<std::string>>;

inline netfilter::NetworkFilter make_filter(Allow allow, std::vector<std::string> deny = {}) {
  netfilter::NetworkFilter f;
  f.deny = std::move(*netfilter::parse_filter_list(deny));
  if (allow) f.allow = std::move(*netfilter::parse_filter_list(*allow));
  return f;
}

inline netfilter::SocketAddress loopback(uint16_t port) {
  return {netfilter::IpAddress::v4(127, 0, 0, 1), port};
}

inline UniqueFd connect_tcp(const netfilter::SocketAddress& addr) {
  auto fd = proxy::connect_with_timeout(addr, std::chrono::seconds(20));
  if (!fd) return UniqueFd();
  (void)proxy::set_io_timeouts(fd->get(), std::chrono::seconds(20));  // a hang fails the test
  return std::move(*fd);
}

inline uint16_t bound_port(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
  return netfilter::from_sockaddr(reinterpret_cast<sockaddr*>(&ss), len)->port;
}

// A non-blocking listener; invalid if the port is taken.
inline UniqueFd listen_on(const netfilter::SocketAddress& at, int backlog = 4096) {
  sockaddr_storage ss{};
  socklen_t len = netfilter::to_sockaddr(at, ss);
  UniqueFd fd(::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const bool ok = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&ss), len) == 0 &&
                  ::listen(fd.get(), backlog) == 0;
  return ok ? std::move(fd) : UniqueFd();
}

// A loopback port that nothing listens on (bound once, then released).
inline uint16_t closed_port() { return bound_port(listen_on(loopback(0)).get()); }

inline bool send_text(int fd, std::string_view text) { return bool(send_all(fd, text)); }

// Up to `n` bytes; fewer only at end of stream, an error or the receive time-out.
inline std::string read_n(int fd, size_t n = SIZE_MAX) {
  std::string out;
  char buf[65536];
  while (out.size() < n) {
    ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

inline std::string raw(std::initializer_list<int> values) {
  return std::string(values.begin(), values.end());
}

// True once `done` holds, false after 10 s.
inline bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return done();
}

// Events are emitted by proxy threads, possibly after the client saw its socket close.
inline std::vector<CapturedEvent> wait_for_events(CaptureSink& sink, const std::string& msg) {
  eventually([&] { return !sink.with_message(msg).empty(); });
  return sink.with_message(msg);
}

// Loopback echo upstream on one thread: echoes every byte and, at the client's end of
// stream, sends "[eof]" and closes. Proves half-close in both directions.
class EchoServer {
 public:
  explicit EchoServer(netfilter::IpAddress ip = loopback(0).ip) : listener_(listen_on({ip, 0})) {
    fds_.push_back({listener_.get(), POLLIN, 0});
    thread_ = std::thread([this] { run(); });
  }
  ~EchoServer() {
    ::shutdown(listener_.get(), SHUT_RDWR);  // wakes the loop; accept then fails with EINVAL
    thread_.join();
    for (size_t i = 1; i < fds_.size(); ++i) ::close(fds_[i].fd);
  }
  uint16_t port() const { return bound_port(listener_.get()); }

 private:
  void run() {
    std::vector<char> buf(65536);
    while (::poll(fds_.data(), fds_.size(), -1) >= 0 || errno == EINTR) {
      for (size_t i = fds_.size() - 1; i > 0; --i) {
        if (fds_[i].revents == 0) continue;
        ssize_t r = ::recv(fds_[i].fd, buf.data(), buf.size(), 0);
        if (r > 0 && send_text(fds_[i].fd, std::string_view(buf.data(), size_t(r)))) continue;
        if (r == 0) (void)send_text(fds_[i].fd, "[eof]");
        ::close(fds_[i].fd);
        fds_.erase(fds_.begin() + static_cast<ptrdiff_t>(i));
      }
      if (fds_[0].revents == 0) continue;
      int c = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0 && errno == EINVAL) return;
      if (c >= 0) fds_.push_back({c, POLLIN, 0});
    }
  }

  UniqueFd listener_;
  std::vector<pollfd> fds_;  // the listener, then the connections
  std::thread thread_;
};

enum class Kind { Http, Socks };

inline std::unique_ptr<proxy::ProxyHandle> start_proxy(Kind kind, Allow allow) {
  auto filter = make_filter(std::move(allow));
  auto p = kind == Kind::Http ? proxy::start_proxy(http::kHttpProxy, std::move(filter))
                              : proxy::start_proxy(socks::kSocks5Proxy, std::move(filter));
  EXPECT_TRUE(p.has_value());
  return p ? std::move(*p) : nullptr;
}

inline std::string socks_reply(int rep) { return raw({5, rep, 0, 1, 0, 0, 0, 0, 0, 0}); }
inline const std::string kSocksGranted = raw({5, 0}) + socks_reply(0);
inline const std::string kTunnelOpen = "HTTP/1.1 200 Connection Established\r\n\r\n";

// A request without its greeting. ATYP 3 carries `host` verbatim after its length; 1 and 4
// carry the parsed address.
inline std::string socks_request(const std::string& host, uint16_t port, int atyp = 3) {
  auto ip = netfilter::parse_ip(host);
  std::string msg = raw({5, 1, 0, atyp});
  if (atyp == 3)
    msg += static_cast<char>(host.size()) + host;
  else
    msg.append(reinterpret_cast<const char*>(ip->bytes.data()), ip->size());
  return msg + raw({port >> 8, port & 0xff});
}

// A tunnel to host:port through the proxy on `proxy_port`, or an invalid fd when the
// proxy did not answer with its exact success reply.
inline UniqueFd open_tunnel(Kind kind, uint16_t proxy_port, const std::string& host,
                            uint16_t port) {
  UniqueFd fd = connect_tcp(loopback(proxy_port));
  const bool http = kind == Kind::Http;
  const std::string& ok = http ? kTunnelOpen : kSocksGranted;
  const std::string name = host.find(':') == std::string::npos ? host : "[" + host + "]";
  const std::string connect = "CONNECT " + name + ":" + std::to_string(port) + " HTTP/1.1\r\n\r\n";
  if (!fd || !send_text(fd.get(), http ? connect : raw({5, 1, 0}) + socks_request(host, port)) ||
      read_n(fd.get(), ok.size()) != ok)
    return UniqueFd();
  return fd;
}

// Sends `payload` from a second thread, half-closes, and returns all that came back.
inline std::string round_trip(int fd, const std::string& payload) {
  std::thread writer([&] {
    (void)send_text(fd, payload);
    ::shutdown(fd, SHUT_WR);
  });
  std::string got = read_n(fd);
  writer.join();
  return got;
}

inline std::string pattern(size_t size, unsigned seed) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>(i * 131 + seed * 7 + (i >> 9));
  return out;
}

// The 403 a refusal carries, spelt out here rather than taken from the code under test.
inline std::string forbidden(const std::string& body) {
  return "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// A row of a handler table: the policy and what the client sends, then all it receives
// and the one event expected: its message, then (if given) the values of the fields after
// "message", named as the proxies name them. No event at all if `event` is empty.
struct HandlerCase {
  const char* name;
  Allow allow;
  std::vector<std::string> deny;
  std::string input, output;
  std::vector<std::string> event;
};

// Runs `handler` on each row, on a thread of its own (a tunnel's pump renames it) against a
// socketpair whose client end sent the input and half-closed. The event comes from `target`
// at the level such a message has. No row may connect to `upstream`, a listener that never
// accepts and the destination every refusal names (loopback, so even a wrongly admitted row
// sends nothing off this host; a refusal naming ::1, where nothing listens, fails on its
// reply instead).
template <class Handler>
void expect_handled(Handler handler, const char* target, int upstream,
                    std::span<const HandlerCase> cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CaptureScope capture;
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    UniqueFd client(sv[0]);
    // The handler's own socket, seen through a second descriptor.
    UniqueFd served(::fcntl(sv[1], F_DUPFD_CLOEXEC, 0));
    (void)proxy::set_io_timeouts(client.get(), std::chrono::seconds(20));
    EXPECT_TRUE(send_text(client.get(), c.input));
    ::shutdown(client.get(), SHUT_WR);
    std::thread([&] {
      handler(std::make_shared<const netfilter::NetworkFilter>(make_filter(c.allow, c.deny)),
              UniqueFd(sv[1]));
    }).join();
    // A tunnel keeps none of the head's time-outs: an idle tunnel stays open however long.
    if (c.output.starts_with(kTunnelOpen) || c.output.starts_with(kSocksGranted)) {
      for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
        timeval tv{1, 1};
        socklen_t len = sizeof tv;
        ASSERT_EQ(::getsockopt(served.get(), SOL_SOCKET, option, &tv, &len), 0);
        EXPECT_TRUE(tv.tv_sec == 0 && tv.tv_usec == 0) << "time-out " << option << " left set";
      }
    }
    served.reset();
    EXPECT_EQ(read_n(client.get()), c.output);
    // A handler replies after its connect returned and the kernel queued the connection
    // before that, so it is there to accept by now.
    EXPECT_FALSE(UniqueFd(::accept4(upstream, nullptr, nullptr, SOCK_CLOEXEC)))
        << "a refused destination was connected to";
    if (c.event.empty()) {
      EXPECT_TRUE(capture.sink().events().empty());
      continue;
    }
    auto events = wait_for_events(capture.sink(), c.event[0]);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].target, target);
    const bool warn = c.event[0].find("DENIED") != std::string::npos ||
                      c.event[0].find(" failed: ") != std::string::npos;
    EXPECT_EQ(events[0].level, warn ? events::Level::Warn : events::Level::Debug);
    if (c.event.size() == 1) continue;
    // Refusals name their reason last, after the resolved address if there is one.
    std::vector<std::string> fields = {"message", "host", "port", "resolved"};
    if (c.event[0].find("DENIED (") != std::string::npos) fields.back() = "reason";
    if (c.event[0].find("DENIED: ") != std::string::npos) fields.push_back("reason");
    if (c.event[0] == "proxy got request") fields = {"message", "request_line"};
    if (c.event[0].find("resolve failed: ") != std::string::npos)
      fields = {"message", "host", "port", "reason"};  // a refusal with nothing resolved
    fields.resize(c.event.size());
    EXPECT_EQ(events[0].fields, fields);
    EXPECT_EQ(events[0].values, c.event);
  }
}

}  // namespace sandbox::testing
