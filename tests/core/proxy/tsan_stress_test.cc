// Concurrency stress for both proxies, meant to run under ThreadSanitizer as well as in
// the plain build: a stop racing a flood of connections, and tunnels opened by name from
// many threads at once so the shared filter and resolver cache see concurrent readers.
#include "proxy/proxy_test_support.h"

namespace sandbox::proxy {
namespace {

using testing::Kind;

// Clients open tunnels in a loop while the handle is destroyed underneath them. Every
// client ends with an answer, a close or a refusal; none hangs, and the port ends up closed.
TEST(ProxyStopRace, StopDuringAcceptFloodEndsEveryClient) {
  constexpr int kClients = 8;
  testing::EchoServer echo;
  for (Kind kind : {Kind::Http, Kind::Socks}) {
    SCOPED_TRACE(testing::kind_name(kind));
    auto proxy = testing::start_proxy(kind, {{"127.0.0.1"}});
    ASSERT_TRUE(proxy);
    const uint16_t port = proxy->local_addr().port;
    std::atomic<bool> stopped{false};
    std::atomic<int> served{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
      clients.emplace_back([&] {
        // Keep going a little past the stop so that connects race the closing listener.
        for (int round = 0; round < 400; ++round) {
          if (stopped.load() && round % 50 == 49) break;
          UniqueFd fd = testing::open_tunnel(kind, port, echo.addr());
          if (fd && testing::round_trip(fd.get(), "x") == "x[eof]") served.fetch_add(1);
        }
      });
    }
    while (served.load() < kClients * 4) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    proxy.reset();
    stopped.store(true);
    for (auto& t : clients) t.join();
    EXPECT_TRUE(testing::wait_until_refused(port));
  }
}

// Many tunnels opened by name at once through both proxies sharing one resolver cache,
// each thread holding all of its tunnels open until every one has carried its own bytes;
// every byte comes back, and every descriptor is given back once they close.
TEST(ProxyConcurrency, TunnelsByNameThroughBothProxiesKeepTheirBytesAndLeakNothing) {
  testing::EchoServer echo;
  testing::FakeResolver dns({{"echo-a.test", "127.0.0.1"}, {"echo-b.test", "127.0.0.1"}});
  auto http = testing::start_proxy(Kind::Http, {{"*.test", "127.0.0.1"}});
  auto socks = testing::start_proxy(Kind::Socks, {{"*.test", "127.0.0.1"}});
  const size_t fds_before = testing::open_fd_count();
  constexpr int kThreads = 8, kRounds = 12;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::pair<UniqueFd, std::string>> tunnels;
      for (int round = 0; round < kRounds; ++round) {
        const std::string name = (round + t) % 2 ? "echo-a.test" : "echo-b.test";
        const Kind kind = (t + round) % 2 == 0 ? Kind::Http : Kind::Socks;
        auto& proxy = kind == Kind::Http ? http : socks;
        UniqueFd fd = testing::open_tunnel(kind, proxy->local_addr().port, name, echo.port());
        std::string payload = testing::pattern(4096 + t * 97 + round, t * kRounds + round);
        if (fd && testing::send_text(fd.get(), payload))
          tunnels.emplace_back(std::move(fd), std::move(payload));
      }
      for (auto& [fd, payload] : tunnels) {
        ::shutdown(fd.get(), SHUT_WR);
        if (testing::read_n(fd.get()) == payload + "[eof]") good.fetch_add(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), kThreads * kRounds);
  EXPECT_TRUE(testing::eventually([&] { return testing::open_fd_count() <= fds_before; }))
      << testing::open_fd_count() << " descriptors open, " << fds_before << " before";
}

}  // namespace
}  // namespace sandbox::proxy
