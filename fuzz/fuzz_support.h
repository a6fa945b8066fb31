// Shared pieces of the fuzz targets: splitting an input into lines, and the harness that
// drives a proxy handler over a socket pair with a fake resolver. The handler targets run
// inside a private network namespace when the kernel allows one, so an admitted
// destination reaches nothing at all; otherwise every name resolves to loopback.
#pragma once

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "sandbox_core/base/unique_fd.h"
#include "sandbox_core/netfilter/admission.h"
#include "sandbox_core/netfilter/filter.h"

namespace sandbox::fuzzing {

#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

inline std::vector<std::string> split_lines(std::string_view text) {
  std::vector<std::string> out;
  for (;;) {
    size_t nl = text.find('\n');
    out.emplace_back(text.substr(0, nl));
    if (nl == std::string_view::npos) return out;
    text.remove_prefix(nl + 1);
  }
}

inline bool write_file(const char* path, std::string_view text) {
  int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

// A new user and network namespace with only a loopback interface (brought up). The uid
// and gid are mapped so that libFuzzer can still write its artifacts. Must run while the
// process has a single thread.
inline bool enter_private_network() {
  const uid_t uid = ::getuid();
  const gid_t gid = ::getgid();
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return false;
  write_file("/proc/self/setgroups", "deny");
  write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
  write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s >= 0) {
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, IFNAMSIZ, "lo");
    if (::ioctl(s, SIOCGIFFLAGS, &ifr) == 0) {
      ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
      (void)::ioctl(s, SIOCSIFFLAGS, &ifr);
    }
    ::close(s);
  }
  return true;
}

// The filter both handler targets enforce. Only names under .test and one loopback
// address are admitted; nothing outside loopback can ever pass it, whatever the input.
inline std::shared_ptr<const netfilter::NetworkFilter> handler_filter() {
  netfilter::NetworkFilter f;
  f.deny = std::move(*netfilter::parse_filter_list(
      {"denied.test", "*.deny.test", "127.77.0.2/32", "::ffff:127.77.0.5"}));
  f.allow = std::move(*netfilter::parse_filter_list(
      {"*.test", "allowed.example", "exact.test.", "127.77.0.1/32", "127.77.0.2"}));
  return std::make_shared<const netfilter::NetworkFilter>(std::move(f));
}

// Names resolve by suffix, to loopback only: a failure, a deny-listed address, an internal
// (not explicitly allowed) address, or the one admitted loopback address.
inline void install_fake_resolver() {
  netfilter::DnsCache::instance().set_lookup_for_testing(
      [](const std::string& host,
         uint16_t port) -> Result<std::vector<netfilter::SocketAddress>, IoError> {
        auto ends = [&](std::string_view s) {
          return host.size() >= s.size() && host.compare(host.size() - s.size(), s.size(), s) == 0;
        };
        if (ends("fail.test")) return fail(IoError::custom("failed to lookup address information"));
        if (ends("empty.test")) return std::vector<netfilter::SocketAddress>{};
        const char* ip = "127.77.0.1";
        if (ends("deny-ip.test")) ip = "127.77.0.2";
        if (ends("internal.test")) ip = "127.77.0.3";
        if (ends("v6.test")) ip = "::1";
        if (ends("mapped.test")) ip = "::ffff:127.77.0.5";
        return std::vector<netfilter::SocketAddress>{{*netfilter::parse_ip(ip), port},
                                                     {*netfilter::parse_ip("127.77.0.1"), port}};
      });
}

// Feeds `input` to `handler` (which takes ownership of its end) and returns what the
// handler wrote back. The input is followed by end of stream, so the handler never waits
// for its time-outs. A writer thread is used only when the input does not fit the buffer.
template <class Handler>
std::string drive_handler(std::string_view input, Handler&& handler) {
  int sv[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);
  UniqueFd peer(sv[0]);
  UniqueFd client(sv[1]);

  FUZZ_CHECK(::fcntl(peer.get(), F_SETFL, O_NONBLOCK) == 0);
  size_t sent = 0;
  while (sent < input.size()) {
    ssize_t n = ::send(peer.get(), input.data() + sent, input.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  std::thread writer;
  if (sent < input.size()) {
    writer = std::thread([&peer, rest = input.substr(sent)]() mutable {
      while (!rest.empty()) {
        pollfd p{peer.get(), POLLOUT, 0};
        ::poll(&p, 1, 1000);
        ssize_t n = ::send(peer.get(), rest.data(), rest.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EAGAIN) continue;
        if (n <= 0) break;  // the handler closed its end
        rest.remove_prefix(static_cast<size_t>(n));
      }
      ::shutdown(peer.get(), SHUT_WR);
    });
  } else {
    ::shutdown(peer.get(), SHUT_WR);
  }

  handler(std::move(client));
  if (writer.joinable()) writer.join();

  std::string reply;
  char buf[4096];
  for (;;) {
    ssize_t n = ::recv(peer.get(), buf, sizeof buf, 0);
    if (n <= 0) break;
    reply.append(buf, static_cast<size_t>(n));
  }
  return reply;
}

// Set-up shared by the handler targets: a private network where the kernel allows one
// (otherwise the fake resolver still answers with loopback only) and the fake resolver.
// Returns whether the network is private.
inline bool set_up_handler_target(const char* target) {
  const bool isolated = enter_private_network();
  if (!isolated) {
    std::fprintf(stderr, "%s: no private network namespace; loopback only\n", target);
  }
  install_fake_resolver();
  return isolated;
}

// One fuzz input through a handler, with a cold resolver cache so inputs stay independent.
template <class Handler>
std::string drive_fuzz_input(const uint8_t* data, size_t size, Handler&& handler) {
  netfilter::DnsCache::instance().clear_for_testing();
  return drive_handler(std::string_view(reinterpret_cast<const char*>(data), size),
                       std::forward<Handler>(handler));
}

}  // namespace sandbox::fuzzing
