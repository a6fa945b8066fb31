// A run's usage and an egress log as plain Python data (dicts, lists, numbers, str).
// Interpreter lock held; no lock of ours.
#pragma once

#include "sandbox_core/launch/run_record.h"
#include "sandbox_py/errors.h"

namespace sandbox::py {

// {"wall_s": float | None, ..., "oom_killed": bool | None, "sources": {name: str}}
Outcome usage_dict(const Usage& usage);

// ([{"time", "protocol", "host", "port", "address", "verdict", "reason", "bytes_up",
// "bytes_down", "duration_s"}, ...], dropped), the entries of all `logs` merged by time.
Outcome egress_tuple(const EgressLog::Snapshot* const* logs, size_t count);

}  // namespace sandbox::py
