// The listener runtime and the pump of both proxies through real loopback listeners, with
// stress meant for ThreadSanitizer too: a stop racing a flood of tunnels opened by name.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "proxy/proxy_test_support.h"
#include "sandbox_core/http/http.h"
#include "sandbox_core/proxy/fence.h"
#include "sandbox_core/socks/socks5.h"

namespace sandbox::proxy {
namespace {

using namespace sandbox::testing;

// Names of this process's threads, as the kernel keeps them (15 bytes), with their ids.
std::vector<std::pair<std::string, int>> threads() {
  std::vector<std::pair<std::string, int>> out;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    if (std::getline(comm, name)) out.emplace_back(name, std::stoi(entry.path().filename()));
  }
  return out;
}
size_t threads_named(const std::string& prefix) {
  return std::ranges::count_if(threads(),
                               [&](const auto& t) { return t.first.starts_with(prefix); });
}

// SIGPIPE (13) pending on any thread of this process: a splice into a reset socket raises
// it on the pump thread, which must take it off before parking for another role.
bool sigpipe_pending_anywhere() {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream status(entry.path() / "status");
    for (std::string line; std::getline(status, line);)
      if (line.starts_with("SigPnd:") && (std::stoull(line.substr(7), nullptr, 16) & (1ull << 12)))
        return true;
  }
  return false;
}

// Threads carry their names (the kernel keeps 15 bytes: "allow-list-proxy-conn" reads
// "allow-list-prox", "socks5-proxy-conn" "socks5-proxy-co").
// Clients open tunnels by name (the real resolver: localhost) in a loop, each carrying bytes
// of its own, while the handle is destroyed underneath them: each ends with its bytes back,
// a close or a refusal, none hangs, and the port ends up closed. A tunnel opened before, to
// an IPv6 upstream allow-listed by block, keeps running. (Leaks are test_soak.py's.)
TEST(ProxyListener, NamedStopDuringAcceptFloodAndTunnelsThatOutliveIt) {
  constexpr int kClients = 8;
  struct sigaction sa {
  }, old{};  // no SA_RESTART, as a host interpreter installs its handlers
  sa.sa_handler = [](int) {};
  ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);
  auto local = netfilter::resolve_destination("localhost", 0);
  ASSERT_TRUE(local.has_value());
  std::optional<EchoServer> echo(std::in_place, local->ip);
  std::optional<EchoServer> echo6(std::in_place, *netfilter::parse_ip("::1"));
  for (auto [kind, listener] :
       {std::pair{Kind::Http, "allow-list-prox"}, std::pair{Kind::Socks, "socks5-proxy"}}) {
    SCOPED_TRACE(kind == Kind::Http ? "HTTP CONNECT" : "SOCKS5");
    auto proxy = start_proxy(kind, {{"localhost", "127.0.0.1", "::1"}});
    const uint16_t port = proxy->local_addr().port;
    auto idle = connect_tcp(loopback(port));
    auto tunnel = open_tunnel(kind, port, "::1", echo6->port());
    ASSERT_TRUE(tunnel.valid());
    EXPECT_TRUE(eventually([] { return threads_named("proxy-pump-c2u") > 0; }));
    EXPECT_TRUE(eventually([] { return threads_named("proxy-pump-u2c") > 0; }));
    // The poll loop, and no thread for the idle connection.
    EXPECT_TRUE(eventually([&] { return threads_named(listener) == 1; }));
    // A client that resets while the upstream is still sending back to it.
    auto abrupt = open_tunnel(kind, port, "localhost", echo->port());
    ASSERT_TRUE(abrupt.valid());
    ASSERT_TRUE(send_text(abrupt.get(), pattern(2 << 20, 8)));
    linger reset{1, 0};
    ::setsockopt(abrupt.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    abrupt.reset();

    std::atomic<bool> stopped{false};
    std::atomic<int> served{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
      clients.emplace_back([&, i] {
        // Keep going a little past the stop so that connects race the closing listener.
        for (int round = 0; round < 400; ++round) {
          if (stopped.load() && round % 50 == 49) break;
          UniqueFd fd = open_tunnel(kind, port, "localhost", echo->port());
          const std::string bytes = pattern(4096 + i * 97 + round, i * 400 + round);
          if (fd && round_trip(fd.get(), bytes) == bytes + "[eof]") served.fetch_add(1);
        }
      });
    }
    EXPECT_TRUE(eventually([&] { return served.load() >= kClients * 4; }));
    auto started = std::chrono::steady_clock::now();
    proxy.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    stopped.store(true);
    for (auto& t : clients) t.join();
    EXPECT_TRUE(eventually([&] {
      auto r = connect_with_timeout(loopback(port), std::chrono::seconds(20));
      return !r && r.error().code == ECONNREFUSED;
    }));

    // Signals land on both pumps while they wait in recv, a gap lets each direction give its
    // pipe back, then 1 MiB in chunks well above the 32 KiB pump buffer; "[eof]" proves the
    // upstream saw the client's half-close and could still answer.
    ASSERT_TRUE(send_text(tunnel.get(), "a"));
    ASSERT_EQ(read_n(tunnel.get(), 1), "a");
    for (int round = 0; round < 3; ++round) {
      for (const auto& [name, tid] : threads())
        if (name.starts_with("proxy-pump-")) ::syscall(SYS_tgkill, ::getpid(), tid, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const std::string payload = pattern(1 << 20, 7);
    EXPECT_TRUE(round_trip(tunnel.get(), payload) == payload + "[eof]");
  }
  // The upstreams end here.
  echo.reset();
  echo6.reset();
  // Finished directions drop their names (pooled threads park as "proxy-pool-idle").
  EXPECT_TRUE(eventually([] { return threads_named("proxy-pump-") == 0; }));
  EXPECT_FALSE(sigpipe_pending_anywhere());
  ::sigaction(SIGUSR1, &old, nullptr);
}

// What a client that is half-way through its head sends, and a whole request the proxy
// refuses at once, with that refusal's first bytes.
struct HeadCase {
  Kind kind;
  std::string half, whole, refused;
  std::string (*stalled)(uint16_t port);  // a whole request for 127.0.0.1:port
};
std::vector<HeadCase> head_cases() {
  return {{Kind::Http, "CONNECT 127.0.0.1:1 HTTP/1.1\r\nHost: x", "GET / HTTP/1.1\r\n\r\n",
           "HTTP/1.1 405",
           [](uint16_t port) {
             return "CONNECT 127.0.0.1:" + std::to_string(port) + " HTTP/1.1\r\n\r\n";
           }},
          {Kind::Socks, raw({5, 1, 0, 5, 1, 0}), raw({5, 1, 0, 5, 2, 0, 1}),
           raw({5, 0}) + socks_reply(7), [](uint16_t port) {
             return raw({5, 1, 0}) + socks_request("127.0.0.1", port, 1);
           }}};
}

// Raises the soft descriptor limit to what `needed` takes; false if the hard one is lower.
bool descriptors_for(rlim_t needed) {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_max < needed) return false;
  rl.rlim_cur = std::max(rl.rlim_cur, std::min(rl.rlim_max, needed));
  return ::setrlimit(RLIMIT_NOFILE, &rl) == 0;
}

// A loopback listener whose backlog is full, so that new SYNs go unanswered: a connect to
// it hangs until its time-out. `held` keeps the backlog full.
UniqueFd unanswering_listener(std::vector<UniqueFd>& held) {
  UniqueFd listener = listen_on(loopback(0), 0);
  for (int i = 0; i < 16 && listener; ++i) {
    auto r =
        connect_with_timeout(loopback(bound_port(listener.get())), std::chrono::milliseconds(200));
    if (!r) return listener;
    held.push_back(std::move(*r));
  }
  return UniqueFd();
}

// A client half-way through its head costs the proxy a descriptor, not a thread, and does
// not hold up anyone: 600 of them add a few threads at most, and a fresh client is
// answered while they wait. Nor does a client whose upstream does not answer, though a
// thread waits for that upstream (the one that read its head and ran the loop until then).
TEST(ProxyListener, HalfSentHeadsTakeNoThreadAndHoldNobodyUp) {
  constexpr int kHalfSent = 600;
  if (!descriptors_for(4 * kHalfSent)) GTEST_SKIP() << "too few descriptors allowed";
  std::vector<UniqueFd> backlog;
  UniqueFd unanswering = unanswering_listener(backlog);
  ASSERT_TRUE(unanswering.valid());
  const uint16_t nowhere = bound_port(unanswering.get());
  for (const auto& c : head_cases()) {
    SCOPED_TRACE(c.kind == Kind::Http ? "HTTP CONNECT" : "SOCKS5");
    auto proxy = start_proxy(c.kind, std::nullopt);
    const uint16_t port = proxy->local_addr().port;
    const size_t before = threads().size();
    std::vector<UniqueFd> held;
    for (int i = 0; i < kHalfSent; ++i) {
      held.push_back(connect_tcp(loopback(port)));
      ASSERT_TRUE(held.back() && send_text(held.back().get(), c.half));
    }
    for (int i = 0; i < 2; ++i) {
      held.push_back(connect_tcp(loopback(port)));
      ASSERT_TRUE(held.back() && send_text(held.back().get(), c.stalled(nowhere)));
    }
    UniqueFd fresh = connect_tcp(loopback(port));
    // Well before the 15 s the upstream connects wait for.
    (void)set_io_timeouts(fresh.get(), std::chrono::seconds(10));
    ASSERT_TRUE(fresh && send_text(fresh.get(), c.whole));
    EXPECT_EQ(read_n(fresh.get(), c.refused.size()), c.refused);
    EXPECT_LE(threads().size(), before + 24);
  }
}

// Which loopback proxies the fence lets a sandbox reach: exactly those the variables name.
TEST(NetworkFence, EndpointsComeFromTheProxyVariables) {
  const auto fence = fence_endpoints({{"HTTP_PROXY", "http://127.0.0.1:3128"},
                                      {"https_proxy", "http://user:pw@127.0.0.1:3128/"},  // again
                                      {"ALL_PROXY", "socks5h://[::1]:1080"},
                                      {"all_proxy", "socks5h://localhost:1081"},
                                      {"HTTPS_PROXY", "http://10.0.0.1:3128"}});  // not loopback
  std::vector<std::string> seen(fence.size());
  std::ranges::transform(fence, seen.begin(), [](auto& e) { return netfilter::to_string(e); });
  EXPECT_EQ(seen, (std::vector<std::string>{"127.0.0.1:3128", "[::1]:1080", "127.0.0.1:1081"}));
}

// A client that reaches a proxy another way (the network fence hands it over) joins that
// proxy's poll loop, as often as it comes; no other address takes it.
TEST(ProxyListener, HandedOverClientsJoinThePollLoop) {
  for (const auto& c : head_cases()) {
    SCOPED_TRACE(c.kind == Kind::Http ? "HTTP CONNECT" : "SOCKS5");
    auto proxy = start_proxy(c.kind, std::nullopt);
    for (int round = 0; round < 3; ++round) {
      int sv[2];
      ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
      UniqueFd client(sv[0]), served(sv[1]);
      (void)set_io_timeouts(client.get(), std::chrono::seconds(20));
      EXPECT_FALSE(serve_as_local_proxy(loopback(closed_port()), served));
      ASSERT_TRUE(served.valid());
      ASSERT_TRUE(serve_as_local_proxy(proxy->local_addr(), served));
      ASSERT_TRUE(send_text(client.get(), c.whole));
      EXPECT_EQ(read_n(client.get(), c.refused.size()), c.refused);
    }
  }
}

// Past the cap, a new connection is closed at once with one event each; a slot comes back
// when its connection ends.
TEST(ProxyListener, ConnectionsPastTheCapAreClosedAtOnce) {
  for (const auto& c : head_cases()) {
    const bool http = c.kind == Kind::Http;
    SCOPED_TRACE(http ? "HTTP CONNECT" : "SOCKS5");
    // Never destroyed: the poll loop reports its clients' ends after the handle is gone.
    static CaptureScope& capture = *new CaptureScope;
    auto started = http ? proxy::start_proxy(http::kHttpProxy, make_filter(std::nullopt), 3)
                        : proxy::start_proxy(socks::kSocks5Proxy, make_filter(std::nullopt), 3);
    ASSERT_TRUE(started.has_value());
    const uint16_t port = (*started)->local_addr().port;
    std::vector<UniqueFd> held;
    for (int i = 0; i < 3; ++i) {
      held.push_back(connect_tcp(loopback(port)));
      ASSERT_TRUE(held.back() && send_text(held.back().get(), c.half));
    }
    const std::string event = std::string(http ? "allow-list" : "socks5") +
                              " proxy at its limit of 3 connections: closed a new one";
    for (int i = 0; i < 2; ++i) {
      UniqueFd over = connect_tcp(loopback(port));
      ASSERT_TRUE(over.valid());
      (void)send_text(over.get(), c.whole);
      EXPECT_EQ(read_n(over.get()), "");  // closed, unanswered
    }
    EXPECT_TRUE(eventually([&] { return capture.sink().with_message(event).size() == 2; }));
    held.pop_back();
    bool served = false;  // once: a second client could find the first one's slot still held
    EXPECT_TRUE(eventually([&] {
      if (!served) {
        UniqueFd fd = connect_tcp(loopback(port));
        served =
            fd && send_text(fd.get(), c.whole) && read_n(fd.get(), c.refused.size()) == c.refused;
      }
      return served;
    }));
    const auto events = capture.sink().with_message(event);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].level, events::Level::Warn);
    EXPECT_EQ(events[0].target, http ? "sandbox_core::proxy" : "sandbox_core::socks");
  }
}

// A tunnel whose client is gone gives its slot back though its upstream stays open and
// silent: at once when the client reset, after the half-closed idle time when it closed.
TEST(ProxyListener, TunnelsOfAGoneClientGiveTheirSlotBack) {
  set_half_closed_idle_for_testing(std::chrono::milliseconds(200));
  for (const auto& c : head_cases()) {
    for (const bool reset : {true, false}) {
      SCOPED_TRACE(std::string(c.kind == Kind::Http ? "HTTP CONNECT" : "SOCKS5") +
                   (reset ? ", client reset" : ", client closed"));
      UniqueFd silent = listen_on(loopback(0));
      const uint16_t to = bound_port(silent.get());
      auto started = c.kind == Kind::Http
                         ? proxy::start_proxy(http::kHttpProxy, make_filter({{"127.0.0.1"}}), 1)
                         : proxy::start_proxy(socks::kSocks5Proxy, make_filter({{"127.0.0.1"}}), 1);
      ASSERT_TRUE(started.has_value());
      const uint16_t port = (*started)->local_addr().port;
      UniqueFd client = open_tunnel(c.kind, port, "127.0.0.1", to);
      ASSERT_TRUE(client.valid());
      pollfd p{silent.get(), POLLIN, 0};
      ASSERT_EQ(::poll(&p, 1, 20'000), 1);
      UniqueFd upstream(::accept4(silent.get(), nullptr, nullptr, SOCK_CLOEXEC));
      ASSERT_TRUE(upstream.valid());
      linger abrupt{1, 0};
      if (reset) ::setsockopt(client.get(), SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
      client.reset();
      UniqueFd next;
      EXPECT_TRUE(eventually([&] {
        if (!next) next = open_tunnel(c.kind, port, "127.0.0.1", to);
        return next.valid();
      }));
    }
  }
  set_half_closed_idle_for_testing(kHalfClosedIdle);
}

// In a forked child: the HTTP proxy (both share the poll loop) starts with the descriptor
// table full but for one client, so that accepting it fails with EMFILE; one warning comes
// over several retries, and once descriptors are free a client is served. Returns 0 or the
// failed step.
int accept_exhaustion_child() {
  // Never destroyed: the child leaves by _exit while a connection thread may still emit.
  static CaptureScope capture;
  const rlimit rl{256, 256};
  if (::setrlimit(RLIMIT_NOFILE, &rl) != 0) return 1;
  UniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  std::vector<UniqueFd> fillers;
  while (UniqueFd f{::fcntl(null.get(), F_DUPFD_CLOEXEC, 0)}) fillers.push_back(std::move(f));
  // Room for the listener and the loop's wake-up (an eventfd, or a pipe in the fallback);
  // what the start leaves free is filled again.
  fillers.resize(fillers.size() - 3);
  auto proxy = start_proxy(Kind::Http, std::nullopt);
  if (!proxy) return 2;
  while (UniqueFd f{::fcntl(null.get(), F_DUPFD_CLOEXEC, 0)}) fillers.push_back(std::move(f));
  // A client in the last free descriptor: accepting it finds the table full.
  fillers.pop_back();
  UniqueFd waiting = connect_tcp(loopback(proxy->local_addr().port));
  if (!waiting) return 7;
  const std::string warning = "allow-list proxy accept failed: " + os_error_text(EMFILE);
  if (wait_for_events(capture.sink(), warning).size() != 1) return 3;
  std::this_thread::sleep_for(std::chrono::milliseconds(350));  // several retries later
  if (capture.sink().events().size() != 1) return 4;
  fillers.clear();
  UniqueFd client = connect_tcp(loopback(proxy->local_addr().port));
  if (!client || !send_text(client.get(), "GET / HTTP/1.1\r\n\r\n")) return 5;
  if (!read_n(client.get(), 1).starts_with("H")) return 6;
  return 0;
}

TEST(ProxyListener, AcceptRecoversFromDescriptorExhaustionWithOneWarning) {
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) ::_exit(accept_exhaustion_child());
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "failed at step " << WEXITSTATUS(status);
}

TEST(UpstreamConnect, TimeoutReadsConnectionTimedOut) {
  std::vector<UniqueFd> held;
  UniqueFd listener = unanswering_listener(held);
  ASSERT_TRUE(listener.valid());
  auto r =
      connect_with_timeout(loopback(bound_port(listener.get())), std::chrono::milliseconds(200));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().text(), "connection timed out");
}

}  // namespace
}  // namespace sandbox::proxy
