// BackendInfo: one backend as available_backends() reports it.
#pragma once

#include "sandbox_py/errors.h"

#include <string>
#include <vector>

namespace sandbox::py {

// The type object, created on first use and kept for the process.
PyObject* backend_info_type();

struct BackendInfoFields {
  std::string kind;
  bool available = false;
  std::string summary;  // what the backend isolates, one line
  std::string reason;   // why it is unavailable here; empty when available
  std::vector<std::string> limits;  // spec keys whose limits it holds here, whole sandbox
};

Outcome new_backend_info(BackendInfoFields fields);

}  // namespace sandbox::py
