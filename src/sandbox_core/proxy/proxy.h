// The egress proxies' runtime, which knows no protocol: loopback listeners with one poll
// loop each, which accepts clients and reads their request heads, a thread per complete
// head running the kind's handler (the loop's own, which passes the loop on to a pooled
// thread), and a two-thread byte pump per tunnel.
// Destroying a ProxyHandle runs the stop sequence (stop flag and wake-up, no join).
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "sandbox_core/base/io_error.h"
#include "sandbox_core/base/result.h"
#include "sandbox_core/base/thread.h"
#include "sandbox_core/base/unique_fd.h"
#include "sandbox_core/netfilter/filter.h"
#include "sandbox_core/proxy/egress.h"

namespace sandbox::proxy {

using FilterRef = std::shared_ptr<const netfilter::NetworkFilter>;

// A client's place under its proxy's connection cap. Held by whatever owns the
// connection's descriptors (the poll loop, the connection thread, both pump directions)
// and given back with the last of them.
using ConnectionSlot = std::shared_ptr<void>;

// Reads one client's request head as its bytes arrive, on the proxy's poll loop, so a
// client that is slow or idle costs a descriptor and a few bytes, not a thread. Pure: it
// never blocks and never touches the socket. A protocol that must answer during its head
// (SOCKS5's method selection) leaves the bytes in `take_reply()`; whoever drives the
// reader sends them first, whatever the step says.
class HeadReader {
 public:
  enum class Step : uint8_t {
    NeedMore,  // read on
    Ready,     // the head is complete: serve the client
    Close,     // close the client after the reply; nothing to report
    Failed,    // close the client without more, and report `error()`
  };
  virtual ~HeadReader() = default;
  // `bytes` just received; empty at end of stream.
  virtual Step feed(std::string_view bytes) = 0;
  std::string take_reply() { return std::exchange(reply_, {}); }
  const IoError& error() const { return error_; }

  // The connection's egress record, set by the poll loop; null where nothing records.
  EgressNoteRef egress;

 protected:
  Step fail_with(IoError error) {
    error_ = std::move(error);
    return Step::Failed;
  }
  std::string reply_;
  IoError error_;
};

// What the runtime needs of a protocol; each protocol defines its kind beside its handler.
struct ProxyKind {
  // The poll loop, which accepts clients and reads their heads; then the thread that
  // serves one complete head.
  const char* accept_thread_name;
  const char* connection_thread_name;
  const char* scheme;  // of the proxy's URL ("http", "socks5h")
  std::unique_ptr<HeadReader> (*new_head_reader)();
  // Serves one client whose head is complete, on its connection thread. Owns `client`
  // and `slot`; never reports upwards.
  void (*serve)(FilterRef filter, UniqueFd client, std::unique_ptr<HeadReader> head,
                ConnectionSlot slot);
  // The event for an accept failure that ends the listener or starts an exhaustion episode.
  void (*report_accept_failure)(const IoError& error);
  // The event for a client that ended before its head was complete: its reader failed,
  // the socket did, or the head deadline passed.
  void (*report_ended)(const IoError& error);
  // The event for a new connection closed at once: the proxy holds `cap` already.
  void (*report_over_cap)(size_t cap);
};

// Serves one client over a blocking socket, without the poll loop: reads its head (with
// the handshake time-outs, sending the reader's replies), then serves it as the loop's
// connection thread would. Failures are the kind's events. What the protocols'
// whole-connection handlers, which tests and fuzzers drive, do.
void serve_blocking(const ProxyKind& kind, FilterRef filter, UniqueFd client);

// Connections per proxy, pending heads and open tunnels together, unless asked otherwise.
inline constexpr size_t kDefaultMaxConnections = 4096;

// Parked pool threads of the proxies carry this name between bodies.
inline constexpr const char* kPoolIdleName = "proxy-pool-idle";

// run_pooled with the proxies' idle name: every thread the runtime starts goes through it.
template <class F>
bool run_proxy_pooled(const char* name, F&& body) {
  return run_pooled(kPoolIdleName, name, std::forward<F>(body));
}

struct LoopShared;

class ProxyHandle {
 public:
  ProxyHandle(netfilter::SocketAddress local_addr, std::string url,
              std::shared_ptr<LoopShared> loop, ThreadHandle accept_thread);
  ProxyHandle(const ProxyHandle&) = delete;
  ProxyHandle& operator=(const ProxyHandle&) = delete;
  ~ProxyHandle();

  const netfilter::SocketAddress& local_addr() const { return local_addr_; }
  // "{scheme}://{local address}"; also how the proxy's events name it.
  const std::string& url() const { return url_; }
  // Every decision this proxy took, for the session: bounded, in the order settled. The
  // log outlives the proxy for whoever keeps it; tunnels still open add to it later.
  const std::shared_ptr<EgressLog>& egress() const;

 private:
  netfilter::SocketAddress local_addr_;
  std::string url_;
  std::shared_ptr<LoopShared> loop_;
  std::optional<ThreadHandle> accept_thread_;
};

// Listens on 127.0.0.1 at a port the system chooses and starts the poll loop, which
// accepts at most `max_connections` (at least 1) connections at a time.
Result<std::unique_ptr<ProxyHandle>, IoError> start_proxy(
    const ProxyKind& kind, netfilter::NetworkFilter filter,
    size_t max_connections = kDefaultMaxConnections);

// Serves `client` as if this process's proxy listening at `endpoint` had accepted it: it
// joins that proxy's poll loop, under its cap. False when no running proxy of this
// process listens there; `client` is then untouched. `outer`, a slot of the fence's own,
// is held for as long as the connection's proxy slot. `run_log`, when given, also records
// the connection's decision, for the run whose fence brought it.
bool serve_as_local_proxy(const netfilter::SocketAddress& endpoint, UniqueFd& client,
                          ConnectionSlot outer = nullptr,
                          std::shared_ptr<EgressLog> run_log = nullptr);

// Pumps the tunnel in both directions: upstream to client on a new detached thread
// "proxy-pump-u2c", client to upstream on the calling thread, which renames itself
// "proxy-pump-c2u" and returns only when that direction has finished. Called last by
// a connection thread. Each direction copies until end of stream (passed on as a write
// shutdown) or an error, which shuts the other direction down too; nothing is reported.
// Once one direction has ended, the other ends after kHalfClosedIdle without a byte.
// Both directions hold both sockets and `slot`: the last to finish closes the sockets
// and gives the slot back. `note`, when given, opens its tunnel and receives each
// direction's byte count as that ends.
void pump_tunnel(UniqueFd client, UniqueFd upstream, ConnectionSlot slot = nullptr,
                 EgressNoteRef note = nullptr);
// How long a half-closed tunnel may stay silent: a client that shut its side (or died)
// gets this long for an answer that is still coming, then the tunnel and its slot go.
inline constexpr std::chrono::milliseconds kHalfClosedIdle{60'000};
// Tests shorten it, process-wide.
void set_half_closed_idle_for_testing(std::chrono::milliseconds idle);

// What a protocol answers around its tunnel's opening.
struct TunnelReplies {
  std::string_view opened;       // the upstream is connected
  std::string_view unreachable;  // the upstream connect failed
};

// Opens the tunnel to an admitted destination: connects to `to` within the upstream
// connect time-out, answers `opened`, sends the bytes the client sent early upstream
// first, then pumps. A failed connect is reported through `connect_failed`, answered with
// `unreachable` (write errors ignored) and closes the client. A reply or early bytes that
// cannot be sent are returned as the error, the client still the caller's. `note`, when
// given, records the failure or the tunnel's bytes (the early ones included).
Result<void, IoError> open_tunnel(UniqueFd& client, const netfilter::SocketAddress& to,
                                  const TunnelReplies& replies, std::string_view early,
                                  ConnectionSlot& slot,
                                  const std::function<void(const IoError&)>& connect_failed,
                                  const EgressNoteRef& note = nullptr);

// One pump direction, run on the calling thread; takes over both descriptors.
void copy_direction(UniqueFd source, UniqueFd destination);

}  // namespace sandbox::proxy
