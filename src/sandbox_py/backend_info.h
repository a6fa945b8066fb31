// BackendInfo: one backend as available_backends() reports it.
#pragma once

#include <string>
#include <vector>

#include "sandbox_py/errors.h"

namespace sandbox::py {

// The type object, created on first use and kept for the process.
PyObject* backend_info_type();

struct BackendInfoFields {
  std::string kind;
  bool available = false;
  std::string summary;              // what the backend isolates, one line
  std::string reason;               // why it is unavailable here; empty when available
  std::vector<std::string> limits;  // spec keys whose limits it holds here, whole sandbox
  std::vector<std::string> names;   // every name spawn accepts for it
  bool isolates = false;
  std::string default_path;  // the PATH it gives an env without one; "" when it has none of its own
  bool waits_for_sandbox = false;     // spawn waits for a whole sandbox to come up
  bool holds_limits = false;          // holds whole-sandbox limits where the host lets it
  bool fences = false;                // a filtered policy fences the child to its proxies
  std::vector<std::string> landlock;  // the Landlock layers it applies on this kernel
};

Outcome new_backend_info(BackendInfoFields fields);

}  // namespace sandbox::py
