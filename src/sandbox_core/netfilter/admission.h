// The admission sequence both proxies run for every destination, the resolver with its
// process-wide 60-second cache, and the internal-address policy. Called concurrently by
// proxy connection threads; the cache lock is never held during a lookup.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sandbox_core/base/io_error.h"
#include "sandbox_core/base/result.h"
#include "sandbox_core/netfilter/filter.h"

namespace sandbox::netfilter {

// Private, loopback, link-local, multicast and similar ranges of both families; an IPv6
// address that embeds an IPv4 address (IpAddress::embedded_v4) is judged by that address.
bool is_internal_address(const IpAddress& ip);

// 0.0.0.0 and ::, and every IPv6 form that carries 0.0.0.0 (::ffff:0:0, NAT64, 6to4).
// The rest of 0.0.0.0/8 is not unspecified.
bool is_unspecified_address(const IpAddress& ip);

// Resolution: literals are returned directly; names go through the DnsCache.
// A host containing a NUL byte fails with "nul byte found in provided data" without a lookup.
Result<SocketAddress, IoError> resolve_destination(std::string_view host, uint16_t port);

struct AdmissionOutcome {
  enum class Kind : uint8_t {
    DeniedByDenyList,
    NotInAllowList,
    ResolveFailed,
    ResolvedToDenyListed,
    ResolvedToInternal,
    Admitted,
  } kind;
  IoError error;          // ResolveFailed
  SocketAddress address;  // ResolvedToDenyListed / ResolvedToInternal (ip), Admitted
};

// Why a refusal refused, as people read it: "in the deny list", "not in the allow list",
// "resolves to a deny-listed address (10.0.0.1)", "resolves to an internal address
// (0.0.0.0)", "could not resolve"; empty for an admitted destination.
std::string refusal_reason(const AdmissionOutcome& outcome);

// The one admission sequence of both proxies: name-level filter, resolution, deny blocks
// on the answer, an unspecified answer (always refused, as internal), then (allow list
// present) the internal-address policy. `name_admitted`,
// when given, runs once the name-level filter has admitted the host and before the
// resolver is asked, so a caller can report that moment in order; it must not throw.
AdmissionOutcome admit_destination(const NetworkFilter& filter, std::string_view host,
                                   uint16_t port,
                                   const std::function<void()>& name_admitted = nullptr);

// Process-wide resolver cache. The clock and the lookup are seams for tests.
class DnsCache {
 public:
  using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC
  using ClockFn = std::function<Clock::time_point()>;
  // Returns every address the resolver gave, in order (the port applied), or an error.
  using LookupFn = std::function<Result<std::vector<SocketAddress>, IoError>(
      const std::string& host, uint16_t port)>;

  static constexpr std::chrono::seconds kTtl{60};
  static constexpr size_t kSweepThreshold = 1024;

  static DnsCache& instance();

  Result<SocketAddress, IoError> resolve(std::string_view host, uint16_t port);

  // Test seams: nullptr restores the real clock / getaddrinfo.
  void set_clock_for_testing(ClockFn clock);
  void set_lookup_for_testing(LookupFn lookup);
  size_t size_for_testing();
  // Empties the table and makes a cache that was marked unusable usable again.
  void clear_for_testing();
  // Runs `hook` inside each critical section (lock held); a hook that throws stands in for
  // an allocation failure there. nullptr removes it.
  void set_critical_section_hook_for_testing(std::function<void()> hook);
  // True once a critical section failed: lookups and insertions are skipped from then on.
  bool unusable_for_testing();

 private:
  DnsCache();
  struct Impl;
  Impl* impl_;
};

}  // namespace sandbox::netfilter
