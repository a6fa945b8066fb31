// ChangeSet: what a run with a copy-on-write work directory changed, kept until applied
// or discarded (or the last reference goes, which discards).
#pragma once

#include <memory>

#include "sandbox_core/isolation/overlay_changes.h"
#include "sandbox_py/errors.h"

namespace sandbox::py {

// The type object, created on first use and kept for the process.
PyObject* change_set_type();

// A new ChangeSet sharing `changes` with the process handle.
Outcome new_change_set(std::shared_ptr<isolation::OverlayChanges> changes);

}  // namespace sandbox::py
