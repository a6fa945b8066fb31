// What a run changed in a work directory mounted copy-on-write: the overlay's upper layer
// read against the host directory (the lower), and written into it on request. The upper
// is the child's work, so nothing in it is followed, trusted or created as it stands.
// A one-off run and a long-lived sandbox build the same object from their scratch
// directory, the host directory and the time the upper began. Any thread: calls take
// turns on the object's own lock.
#pragma once

#include <time.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sandbox_core/base/io_error.h"
#include "sandbox_core/base/result.h"
#include "sandbox_core/base/unique_fd.h"

namespace sandbox::isolation {

// Under the scratch directory: the overlay's upper layer and its work directory.
inline constexpr const char* kOverlayUpper = "upper";
inline constexpr const char* kOverlayWork = "work";
// Directories nested deeper than this in the upper or the host directory are not walked.
inline constexpr size_t kOverlayMaxDepth = 128;

struct OverlayChange {
  enum class Action : uint8_t { Added, Modified, Deleted };
  // Other: a FIFO or socket the run made; listed, never applied.
  enum class Type : uint8_t { File, Directory, Link, Other };
  Action action;
  Type type;
  std::string path;   // relative to the work directory, '/'-separated
  uint64_t size = 0;  // File: bytes; Link: the length of its text; else 0
  uint32_t mode = 0;  // the permission bits (07777); Deleted: the host entry's
};

struct OverlayProblem {
  std::string path;
  std::string reason;
};

// A partly failed apply writes every change it can; a change under a path that was not
// applied is a failure too. No file is ever half written.
struct OverlayApplyReport {
  size_t applied = 0;
  std::vector<OverlayProblem> conflicts;  // the host entry changed since the run began
  std::vector<OverlayProblem> failures;
};

class OverlayChanges {
 public:
  // `scratch`: a directory holding kOverlayUpper; `lower`: the host directory; `since`:
  // when the upper began (now()). A host entry whose ctime is not before it changed
  // meanwhile. Inode times may be a clock tick coarse: a change in the first tick after
  // `since` can pass unseen, while one just before it is never taken for a conflict.
  OverlayChanges(UniqueFd scratch, std::string lower, timespec since);
  static timespec now();

  // What still writes into the upper (a long-lived sandbox's commands) is stopped by
  // `stop` before an apply or a discard: nothing lands in an upper no one reads, and no
  // file is copied while it is being written. Runs without the lock held; set once,
  // before the object is shared.
  void set_stop_writers(std::function<void()> stop) { stop_writers_ = std::move(stop); }

  // Parents before children; a type change is a Deleted row then an Added one. While
  // something still writes, what the upper holds at the moment.
  Result<std::vector<OverlayChange>, IoError> list() const;
  // Writes the changes into the host directory, once: the scratch is dropped after.
  Result<OverlayApplyReport, IoError> apply();
  // Drops the scratch; the host directory is left as it is.
  void discard();
  bool pending() const;
  const std::string& lower() const { return lower_; }

 private:
  Result<std::vector<OverlayChange>, IoError> list_locked() const;

  mutable std::mutex m_;  // around scratch_ and every walk of it
  UniqueFd scratch_;
  std::string lower_;
  timespec since_;
  std::function<void()> stop_writers_;
};

}  // namespace sandbox::isolation
