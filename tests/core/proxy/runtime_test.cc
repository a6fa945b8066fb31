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
  struct sigaction sa{}, old{};  // no SA_RESTART, as a host interpreter installs its handlers
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
    // The accept loop and the idle connection's thread.
    EXPECT_TRUE(eventually([&] { return threads_named(listener) >= 2; }));
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
  // The upstream direction of a reset tunnel may wait for its upstream to end (an error in
  // one direction does not stop the other): the upstreams end here.
  echo.reset();
  echo6.reset();
  // Finished directions drop their names (pooled threads park as "proxy-pool-idle").
  EXPECT_TRUE(eventually([] { return threads_named("proxy-pump-") == 0; }));
  EXPECT_FALSE(sigpipe_pending_anywhere());
  ::sigaction(SIGUSR1, &old, nullptr);
}

// In a forked child: the HTTP proxy (both share the accept loop) starts with the descriptor
// table full, so that accept fails with EMFILE; one warning comes over several retries, and
// once descriptors are free a client is served. Returns 0 or the failed step. (An accept
// already blocked holds a reserved slot, hence this order.)
int accept_exhaustion_child() {
  // Never destroyed: the child leaves by _exit while a connection thread may still emit.
  static CaptureScope capture;
  const rlimit rl{256, 256};
  if (::setrlimit(RLIMIT_NOFILE, &rl) != 0) return 1;
  UniqueFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  std::vector<UniqueFd> fillers;
  while (UniqueFd f{::fcntl(null.get(), F_DUPFD_CLOEXEC, 0)}) fillers.push_back(std::move(f));
  fillers.pop_back();  // room for exactly the listener
  auto proxy = start_proxy(Kind::Http, std::nullopt);
  if (!proxy) return 2;
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
  // A listener that never accepts and has a full backlog lets SYNs go unanswered.
  UniqueFd listener = listen_on(loopback(0), 0);
  ASSERT_TRUE(listener.valid());
  std::vector<UniqueFd> held;
  std::optional<IoError> timed_out;
  for (int i = 0; i < 16 && !timed_out; ++i) {
    auto r = connect_with_timeout(loopback(bound_port(listener.get())),
                                  std::chrono::milliseconds(200));
    if (r) held.push_back(std::move(*r));
    else timed_out = r.error();
  }
  ASSERT_TRUE(timed_out.has_value());
  EXPECT_EQ(timed_out->text(), "connection timed out");
}

}  // namespace
}  // namespace sandbox::proxy
