// The listener runtime and the pump, through real loopback listeners: tunnels, stop,
// thread names, close-on-exec, accept-failure recovery and load.
#include <sys/syscall.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "proxy/proxy_test_support.h"
#include "sandbox_core/proxy/http.h"
#include "sandbox_core/proxy/net.h"
#include "sandbox_core/proxy/proxy.h"

namespace sandbox::proxy {
namespace {

using testing::EchoServer;

std::unique_ptr<ProxyHandle> start_http(std::optional<std::vector<std::string>> allow) {
  auto p = start_http_proxy(testing::make_filter(std::move(allow)));
  EXPECT_TRUE(p.has_value());
  return p ? std::move(*p) : nullptr;
}

TEST(ProxyTunnel, CarriesLargeDataBothWaysAndPassesHalfCloseOn) {
  EchoServer echo;
  auto proxy = start_http({{"127.0.0.1"}});
  auto tunnel = testing::open_http_tunnel(proxy->local_addr().port, echo.addr());
  ASSERT_TRUE(tunnel.valid());
  // 1 MiB in chunks well above the 32 KiB pump buffer; "[eof]" proves the upstream saw
  // the client's half-close and could still answer afterwards.
  const std::string payload = testing::pattern(1 << 20, 1);
  EXPECT_TRUE(testing::round_trip(tunnel.get(), payload) == payload + "[eof]");
}

TEST(ProxyTunnel, SurvivesSignalsLandingOnPumpThreads) {
  struct sigaction sa{}, old{};
  sa.sa_handler = [](int) {};
  sa.sa_flags = 0;  // no SA_RESTART, as a host interpreter installs its handlers
  ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);
  EchoServer echo;
  auto proxy = start_http({{"127.0.0.1"}});
  auto tunnel = testing::open_http_tunnel(proxy->local_addr().port, echo.addr());
  ASSERT_TRUE(testing::send_text(tunnel.get(), "ping"));
  ASSERT_EQ(testing::read_n(tunnel.get(), 4), "ping");  // both pumps now wait in recv
  for (int round = 0; round < 3; ++round) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
      std::ifstream comm(entry.path() / "comm");
      std::string name;
      std::getline(comm, name);
      if (name.starts_with("proxy-pump-"))
        ::syscall(SYS_tgkill, ::getpid(), std::stoi(entry.path().filename()), SIGUSR1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(testing::round_trip(tunnel.get(), "pong"), "pong[eof]");
  ::sigaction(SIGUSR1, &old, nullptr);
}

TEST(ProxyListener, StopLeavesTunnelsRunningAndClosesThePort) {
  EchoServer echo;
  auto http = start_http({{"127.0.0.1"}});
  auto other = start_http(std::nullopt);
  const uint16_t port = http->local_addr().port;
  EXPECT_EQ(http->local_addr().ip, netfilter::IpAddress::v4(127, 0, 0, 1));
  EXPECT_NE(port, other->local_addr().port);

  auto tunnel = testing::open_http_tunnel(port, echo.addr());
  ASSERT_TRUE(tunnel.valid());
  auto started = std::chrono::steady_clock::now();
  http.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_TRUE(testing::wait_until_refused(port));
  EXPECT_EQ(testing::round_trip(tunnel.get(), "after stop"), "after stop[eof]");
}

TEST(ProxyListener, ThreadsAreNamedAndSocketsCloseOnExec) {
  EchoServer echo;
  auto proxy = start_http({{"127.0.0.1"}});
  auto idle = testing::connect_tcp(testing::loopback(proxy->local_addr().port));
  auto tunnel = testing::open_http_tunnel(proxy->local_addr().port, echo.addr());
  ASSERT_TRUE(tunnel.valid());
  // The kernel keeps 15 bytes: "allow-list-proxy" and "allow-list-proxy-conn" both
  // read "allow-list-prox"; two of them run now (accept and the idle connection).
  EXPECT_TRUE(testing::wait_for_thread("proxy-pump-c2u"));
  EXPECT_TRUE(testing::wait_for_thread("proxy-pump-u2c"));
  auto names = testing::thread_names();
  EXPECT_GE(std::count(names.begin(), names.end(), "allow-list-prox"), 2);

  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    int fd = std::stoi(entry.path().filename());
    struct stat st{};
    if (::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << "socket fd " << fd;
  }
}

TEST(ProxyListener, AcceptRecoversFromDescriptorExhaustionWithOneWarning) {
  testing::expect_child_succeeds([] {
    return testing::accept_exhaustion_child(&start_http_proxy, "allow-list proxy accept failed: ",
                                            "GET / HTTP/1.1\r\n\r\n", kResponseMethodNotAllowed.size());
  });
}

TEST(UpstreamConnect, TimeoutReadsConnectionTimedOut) {
  // A listener that never accepts and has a full backlog lets SYNs go unanswered.
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
  ASSERT_EQ(::listen(listener.get(), 0), 0);
  socklen_t len = sizeof sin;
  ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&sin), &len);
  std::vector<UniqueFd> held;
  std::optional<IoError> timed_out;
  for (int i = 0; i < 16 && !timed_out; ++i) {
    auto r = connect_with_timeout(testing::loopback(ntohs(sin.sin_port)),
                                  std::chrono::milliseconds(200));
    if (r) held.push_back(std::move(*r));
    else timed_out = r.error();
  }
  ASSERT_TRUE(timed_out.has_value());
  EXPECT_EQ(timed_out->text(), "connection timed out");
}

TEST(ProxyLoad, ThousandConcurrentHttpTunnelsKeepEveryByte) {
  EchoServer echo;
  auto proxy = start_http({{"127.0.0.1"}});
  const uint16_t port = proxy->local_addr().port;
  testing::exercise_many_tunnels([&] { return testing::open_http_tunnel(port, echo.addr()); },
                                 1000);
}

}  // namespace
}  // namespace sandbox::proxy
