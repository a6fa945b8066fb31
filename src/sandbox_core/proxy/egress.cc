// Egress notes: filled by the connection thread and the pump, logged by whichever of
// them lets go last.
#include "sandbox_core/proxy/egress.h"

#include <ctime>

namespace sandbox::proxy {

EgressNote::EgressNote(const char* protocol, std::shared_ptr<EgressLog> session,
                       std::shared_ptr<EgressLog> run)
    : session_(std::move(session)), run_(std::move(run)) {
  entry_.protocol = protocol;
}

EgressNote::~EgressNote() {
  if (!decided_) return;
  if (entry_.tunnel) {
    entry_.bytes_up = up_.load(std::memory_order_relaxed);
    entry_.bytes_down = down_.load(std::memory_order_relaxed);
    entry_.duration_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                             std::chrono::steady_clock::now() - opened_)
                             .count();
  }
  if (session_) session_->add(entry_);
  if (run_) run_->add(entry_);
}

void EgressNote::decided(std::string_view host, uint16_t port,
                         const netfilter::AdmissionOutcome& outcome) {
  using Kind = netfilter::AdmissionOutcome::Kind;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  entry_.time_ns = int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
  entry_.host.assign(host);
  entry_.port = port;
  const bool resolved = outcome.kind == Kind::Admitted || outcome.kind == Kind::ResolvedToDenyListed ||
                        outcome.kind == Kind::ResolvedToInternal;
  if (resolved) entry_.address = netfilter::to_string(outcome.address.ip);
  if (outcome.kind == Kind::Admitted) {
    entry_.verdict = EgressVerdict::Admitted;
  } else {
    entry_.verdict = EgressVerdict::Refused;
    entry_.reason = netfilter::refusal_reason(outcome);
  }
  decided_ = true;
}

void EgressNote::failed(std::string reason) {
  entry_.verdict = EgressVerdict::Failed;
  entry_.reason = std::move(reason);
}

void EgressNote::tunnel_opened() {
  entry_.tunnel = true;
  opened_ = std::chrono::steady_clock::now();
}

}  // namespace sandbox::proxy
