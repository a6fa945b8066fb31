// Admission sequence, destination resolution with the process-wide cache, and the
// internal-address policy. Entered concurrently by proxy connection threads. The cache
// mutex is held only for the lookup and for the sweep-and-insert, never across getaddrinfo.
#include "sandbox_core/netfilter/admission.h"

#include <netdb.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <unordered_map>

namespace sandbox::netfilter {

namespace {

bool in_v4(const IpAddress& ip, uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t prefix) {
  return address_in_blocks({CidrBlock{IpAddress::v4(a, b, c, d), prefix}}, ip);
}

bool is_internal_v4(const IpAddress& ip) {
  return in_v4(ip, 0, 0, 0, 0, 32) || in_v4(ip, 10, 0, 0, 0, 8) || in_v4(ip, 100, 64, 0, 0, 10) ||
         in_v4(ip, 127, 0, 0, 0, 8) || in_v4(ip, 169, 254, 0, 0, 16) ||
         in_v4(ip, 172, 16, 0, 0, 12) || in_v4(ip, 192, 168, 0, 0, 16) ||
         in_v4(ip, 224, 0, 0, 0, 4) || in_v4(ip, 255, 255, 255, 255, 32);
}

Result<std::vector<SocketAddress>, IoError> system_lookup(const std::string& host, uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0) {
    if (rc == EAI_SYSTEM) return fail(IoError::last());
    return fail(IoError::custom(std::string("failed to lookup address information: ") +
                                ::gai_strerror(rc)));
  }
  std::vector<SocketAddress> out;
  for (const addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
    if (auto sa = from_sockaddr(ai->ai_addr, ai->ai_addrlen)) {
      sa->port = port;
      out.push_back(*sa);
    }
  }
  ::freeaddrinfo(res);
  return out;
}

struct CacheKey {
  std::string host;  // ASCII-lower-cased
  uint16_t port;
  bool operator==(const CacheKey&) const = default;
};

struct CacheKeyHash {
  size_t operator()(const CacheKey& k) const noexcept {
    return std::hash<std::string>{}(k.host) * 31 + k.port;
  }
};

struct CacheEntry {
  SocketAddress address;
  DnsCache::Clock::time_point expiry;
};

}  // namespace

bool is_unspecified_address(const IpAddress& ip) {
  const IpAddress v4 = ip.is_v4() ? ip : ip.embedded_v4().value_or(IpAddress::v4(1, 0, 0, 0));
  if (v4 == IpAddress::v4(0, 0, 0, 0)) return true;
  return !ip.is_v4() && ip == IpAddress::v6({});
}

bool is_internal_address(const IpAddress& ip) {
  if (ip.is_v4()) return is_internal_v4(ip);
  // Mapped, NAT64, 6to4 and compatible forms lead to their IPv4 address: judge that one.
  if (auto v4 = ip.embedded_v4()) return is_internal_v4(*v4);
  const auto& b = ip.bytes;
  bool first15_zero = true;
  for (size_t i = 0; i < 15; ++i) first15_zero = first15_zero && b[i] == 0;
  if (first15_zero && b[15] <= 1) return true;             // :: and ::1
  if (b[0] == 0xff) return true;                           // ff00::/8
  if (b[0] == 0xfe && (b[1] & 0xc0) == 0x80) return true;  // fe80::/10
  if ((b[0] & 0xfe) == 0xfc) return true;                  // fc00::/7
  return false;
}

struct DnsCache::Impl {
  std::mutex mutex;
  std::unordered_map<CacheKey, CacheEntry, CacheKeyHash> table;  // guarded by mutex
  // Set when a critical section failed part-way: the table may be inconsistent, so it is
  // never consulted again, but resolution keeps working without it.
  std::atomic<bool> poisoned{false};
  std::function<void()> critical_hook;  // guarded by mutex; tests make it throw

  std::mutex seam_mutex;
  ClockFn clock;    // guarded by seam_mutex; empty = steady_clock
  LookupFn lookup;  // guarded by seam_mutex; empty = getaddrinfo

  Clock::time_point now() {
    ClockFn fn;
    {
      std::lock_guard lock(seam_mutex);
      fn = clock;
    }
    return fn ? fn() : Clock::now();
  }

  LookupFn current_lookup() {
    std::lock_guard lock(seam_mutex);
    return lookup;
  }

  void run_hook() {
    if (critical_hook) critical_hook();
  }
};

DnsCache::DnsCache() : impl_(new Impl) {}

DnsCache& DnsCache::instance() {
  // Never destroyed: detached proxy threads may resolve while the process exits.
  static DnsCache* cache = new DnsCache;
  return *cache;
}

Result<SocketAddress, IoError> DnsCache::resolve(std::string_view host, uint16_t port) {
  const Clock::time_point now = impl_->now();
  CacheKey key{ascii_lower(host), port};

  if (!impl_->poisoned.load()) {
    try {
      std::lock_guard lock(impl_->mutex);
      impl_->run_hook();
      auto it = impl_->table.find(key);
      if (it != impl_->table.end() && it->second.expiry > now) return it->second.address;
    } catch (...) {
      impl_->poisoned.store(true);
    }
  }

  LookupFn lookup = impl_->current_lookup();
  std::string host_text(host);
  auto found = lookup ? lookup(host_text, port) : system_lookup(host_text, port);
  if (!found) return fail(std::move(found).error());
  if (found->empty()) return fail(IoError::custom("DNS returned no addresses"));
  SocketAddress address = found->front();
  address.port = port;

  if (!impl_->poisoned.load()) {
    try {
      std::lock_guard lock(impl_->mutex);
      impl_->run_hook();
      auto& table = impl_->table;
      if (table.size() >= kSweepThreshold) {
        std::erase_if(table, [&](const auto& kv) { return kv.second.expiry <= now; });
        if (table.size() >= kSweepThreshold) table.clear();
      }
      table.insert_or_assign(std::move(key), CacheEntry{address, now + kTtl});
    } catch (...) {
      impl_->poisoned.store(true);
    }
  }
  return address;
}

void DnsCache::set_clock_for_testing(ClockFn clock) {
  std::lock_guard lock(impl_->seam_mutex);
  impl_->clock = std::move(clock);
}

void DnsCache::set_lookup_for_testing(LookupFn lookup) {
  std::lock_guard lock(impl_->seam_mutex);
  impl_->lookup = std::move(lookup);
}

size_t DnsCache::size_for_testing() {
  std::lock_guard lock(impl_->mutex);
  return impl_->table.size();
}

void DnsCache::clear_for_testing() {
  std::lock_guard lock(impl_->mutex);
  impl_->table.clear();
  impl_->poisoned.store(false);
}

void DnsCache::set_critical_section_hook_for_testing(std::function<void()> hook) {
  std::lock_guard lock(impl_->mutex);
  impl_->critical_hook = std::move(hook);
}

bool DnsCache::unusable_for_testing() { return impl_->poisoned.load(); }

Result<SocketAddress, IoError> resolve_destination(std::string_view host, uint16_t port) {
  // A C-string resolver would stop at the NUL and look up a different, unfiltered name.
  if (host.find('\0') != std::string_view::npos) {
    return fail(IoError::custom("nul byte found in provided data", EINVAL));
  }
  if (auto ip = parse_ip(host)) return SocketAddress{*ip, port};
  return DnsCache::instance().resolve(host, port);
}

std::string refusal_reason(const AdmissionOutcome& outcome) {
  using Kind = AdmissionOutcome::Kind;
  switch (outcome.kind) {
    case Kind::DeniedByDenyList:
      return "in the deny list";
    case Kind::NotInAllowList:
      return "not in the allow list";
    case Kind::ResolvedToDenyListed:
      return "resolves to a deny-listed address (" + to_string(outcome.address.ip) + ")";
    case Kind::ResolvedToInternal:
      return "resolves to an internal address (" + to_string(outcome.address.ip) + ")";
    case Kind::ResolveFailed:
      return "could not resolve";
    case Kind::Admitted:
      break;
  }
  return {};
}

AdmissionOutcome admit_destination(const NetworkFilter& filter, std::string_view host,
                                   uint16_t port, const std::function<void()>& name_admitted) {
  using Kind = AdmissionOutcome::Kind;
  switch (check_host(filter, host)) {
    case FilterVerdict::DeniedByDenyList:
      return AdmissionOutcome{Kind::DeniedByDenyList, {}, {}};
    case FilterVerdict::NotInAllowList:
      return AdmissionOutcome{Kind::NotInAllowList, {}, {}};
    case FilterVerdict::Allow:
      break;
  }
  if (name_admitted) name_admitted();
  auto resolved = resolve_destination(host, port);
  if (!resolved) return AdmissionOutcome{Kind::ResolveFailed, std::move(resolved).error(), {}};
  const SocketAddress& addr = *resolved;
  if (address_in_deny_blocks(filter.deny.blocks, addr.ip)) {
    return AdmissionOutcome{Kind::ResolvedToDenyListed, {}, addr};
  }
  // The kernel sends a connection to an unspecified address to this host's loopback, so
  // it is never egress: refused in both modes, whatever either list says.
  if (is_unspecified_address(addr.ip)) return AdmissionOutcome{Kind::ResolvedToInternal, {}, addr};
  if (!filter.allow) return AdmissionOutcome{Kind::Admitted, {}, addr};
  // An allowed name does not exempt an internal answer; only an allow-list block does.
  if (is_internal_address(addr.ip) && !address_explicitly_allowed(filter, addr.ip)) {
    return AdmissionOutcome{Kind::ResolvedToInternal, {}, addr};
  }
  return AdmissionOutcome{Kind::Admitted, {}, addr};
}

}  // namespace sandbox::netfilter
