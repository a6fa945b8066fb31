// AllowListProxy: a session's HTTP CONNECT and SOCKS5 egress proxies.
#pragma once

#include "sandbox_py/errors.h"

namespace sandbox::py {

// The type object, created on first use and kept for the process.
PyObject* allow_list_proxy_type();

}  // namespace sandbox::py
