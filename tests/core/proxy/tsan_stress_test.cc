// Concurrency stress for both proxies, meant to run under ThreadSanitizer as well as in
// the plain build: a stop racing a flood of connections, and tunnels opened by name from
// many threads at once so the shared filter and resolver cache see concurrent readers.
#include <algorithm>

#include "proxy/proxy_test_support.h"
#include "sandbox_core/proxy/http.h"
#include "sandbox_core/proxy/proxy.h"

namespace sandbox::proxy {
namespace {

using testing::EchoServer;

constexpr int kClients = 8;

// Clients connect and send a head in a loop while the handle is destroyed underneath
// them. Every client ends with an answer, a close or a refusal; none hangs, and the port
// ends up closed.
template <class Start, class Exchange>
void stop_during_accept_flood(Start start, Exchange exchange) {
  EchoServer echo;
  auto proxy = start();
  ASSERT_TRUE(proxy);
  const uint16_t port = proxy->local_addr().port;
  std::atomic<bool> stopped{false};
  std::atomic<int> served{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      // Keep going a little past the stop so that connects race the closing listener.
      for (int round = 0; round < 400; ++round) {
        if (stopped.load() && round % 50 == 49) break;
        UniqueFd fd = testing::connect_tcp(testing::loopback(port));
        if (!fd) continue;  // refused: the listener is gone
        if (exchange(fd.get(), echo.addr(), i)) served.fetch_add(1);
      }
    });
  }
  while (served.load() < kClients * 4) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  proxy.reset();
  stopped.store(true);
  for (auto& t : clients) t.join();
  EXPECT_TRUE(testing::wait_until_refused(port));
}

bool http_exchange(int fd, const netfilter::SocketAddress& target, int) {
  if (!testing::send_text(fd, "CONNECT " + netfilter::to_string(target) + " HTTP/1.1\r\n\r\n"))
    return false;
  std::string head = testing::read_n(fd, 39);
  if (head != kResponseTunnelOpen) return false;
  return testing::round_trip(fd, "x") == "x[eof]";
}

bool socks_exchange(int fd, const netfilter::SocketAddress& target, int) {
  const auto& b = target.ip.bytes;
  auto msg = testing::bytes(
      {5, 1, 0, 5, 1, 0, 1, b[0], b[1], b[2], b[3], target.port >> 8, target.port & 0xff});
  if (!testing::send_text(fd, testing::as_text(msg))) return false;
  if (testing::read_n(fd, 12).size() != 12) return false;
  return testing::round_trip(fd, "x") == "x[eof]";
}

TEST(ProxyStopRace, HttpStopDuringAcceptFloodEndsEveryClient) {
  stop_during_accept_flood(
      [] {
        auto p = start_http_proxy(testing::make_filter({{"127.0.0.1"}}));
        return p ? std::move(*p) : nullptr;
      },
      http_exchange);
}

TEST(ProxyStopRace, Socks5StopDuringAcceptFloodEndsEveryClient) {
  stop_during_accept_flood(
      [] {
        auto p = start_socks5_proxy(testing::make_filter({{"127.0.0.1"}}));
        return p ? std::move(*p) : nullptr;
      },
      socks_exchange);
}

// Many tunnels opened by name at once through both proxies sharing one resolver cache;
// each carries its own bytes, and every one comes back intact.
TEST(ProxyConcurrency, TunnelsByNameThroughBothProxiesKeepTheirBytes) {
  EchoServer echo;
  testing::FakeResolver dns({{"echo-a.test", "127.0.0.1"}, {"echo-b.test", "127.0.0.1"}});
  auto http = start_http_proxy(testing::make_filter({{"*.test", "127.0.0.1"}}));
  auto socks = start_socks5_proxy(testing::make_filter({{"*.test", "127.0.0.1"}}));
  ASSERT_TRUE(http && socks);
  const uint16_t http_port = (*http)->local_addr().port;
  const uint16_t socks_port = (*socks)->local_addr().port;
  const std::string port_text = std::to_string(echo.port());

  constexpr int kThreads = 8;
  constexpr int kRounds = 12;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        const std::string name = (round + t) % 2 ? "echo-a.test" : "echo-b.test";
        const std::string payload = testing::pattern(4096 + t * 97 + round, t * kRounds + round);
        UniqueFd fd;
        if (t % 2 == 0) {
          fd = testing::connect_tcp(testing::loopback(http_port));
          if (!fd || !testing::send_text(fd.get(), "CONNECT " + name + ":" + port_text +
                                                       " HTTP/1.1\r\nHost: x\r\n\r\n") ||
              testing::read_n(fd.get(), 39) != kResponseTunnelOpen)
            continue;
        } else {
          fd = testing::connect_tcp(testing::loopback(socks_port));
          std::string msg = testing::as_text(testing::bytes({5, 1, 0, 5, 1, 0, 3}));
          msg += static_cast<char>(name.size());
          msg += name;
          msg += static_cast<char>(echo.port() >> 8);
          msg += static_cast<char>(echo.port() & 0xff);
          if (!fd || !testing::send_text(fd.get(), msg) ||
              testing::read_n(fd.get(), 12) !=
                  testing::as_text(testing::bytes({5, 0, 5, 0, 0, 1, 0, 0, 0, 0, 0, 0})))
            continue;
        }
        if (testing::round_trip(fd.get(), payload) == payload + "[eof]") good.fetch_add(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), kThreads * kRounds);
}

}  // namespace
}  // namespace sandbox::proxy
