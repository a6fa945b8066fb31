// The egress record of one client connection: what its handler decided and, for a
// tunnel, what the pump moved. Created by the poll loop with the logs the connection
// counts in (its proxy's, for the session, and the run's when the run's fence brought
// it); the entry goes into them when the last holder lets go. The handler's thread
// writes the decision before any pump runs; each pump direction adds its count once,
// when it ends.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "sandbox_core/launch/run_record.h"
#include "sandbox_core/netfilter/admission.h"

namespace sandbox::proxy {

class EgressNote {
 public:
  EgressNote(const char* protocol, std::shared_ptr<EgressLog> session,
             std::shared_ptr<EgressLog> run);
  EgressNote(const EgressNote&) = delete;
  EgressNote& operator=(const EgressNote&) = delete;
  // Logs the entry when a decision was taken; a client that never asked is not logged.
  ~EgressNote();

  // The admission of host:port: admitted, or refused with the filter's reason.
  void decided(std::string_view host, uint16_t port, const netfilter::AdmissionOutcome& outcome);
  // An admitted destination that could not be reached.
  void failed(std::string reason);
  // The tunnel is open; its duration counts from here.
  void tunnel_opened();
  void add_up(uint64_t bytes) { up_.fetch_add(bytes, std::memory_order_relaxed); }
  void add_down(uint64_t bytes) { down_.fetch_add(bytes, std::memory_order_relaxed); }

 private:
  std::shared_ptr<EgressLog> session_, run_;
  EgressEntry entry_;
  bool decided_ = false;
  std::chrono::steady_clock::time_point opened_;
  std::atomic<uint64_t> up_{0}, down_{0};
};
using EgressNoteRef = std::shared_ptr<EgressNote>;

// A null note is no record: serve_blocking's clients, tests and fuzzers.
inline void note_decision(const EgressNoteRef& note, std::string_view host, uint16_t port,
                          const netfilter::AdmissionOutcome& outcome) {
  if (note) note->decided(host, port, outcome);
}
inline void note_failure(const EgressNoteRef& note, std::string reason) {
  if (note) note->failed(std::move(reason));
}

}  // namespace sandbox::proxy
