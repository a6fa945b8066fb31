// BackendInfo: one (kind, available) pair reported by available_backends().
#pragma once

#include "sandbox_py/errors.h"

#include <string>

namespace sandbox::py {

// The type object, created on first use and kept for the process.
PyObject* backend_info_type();

Outcome new_backend_info(std::string kind, bool available);

}  // namespace sandbox::py
