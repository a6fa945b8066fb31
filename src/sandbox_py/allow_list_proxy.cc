// AllowListProxy: owns two running proxies, one slot (mutex + poisoned mark) each. The
// slots are taken one after the other, never nested, always with the interpreter lock
// held; stopping never joins a proxy thread, so it cannot wait on Python.
#include "sandbox_py/allow_list_proxy.h"

#include <array>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "sandbox_core/http/http.h"
#include "sandbox_core/netfilter/filter.h"
#include "sandbox_core/netfilter/ip_address.h"
#include "sandbox_core/proxy/proxy.h"
#include "sandbox_core/socks/socks5.h"
#include "sandbox_py/convert.h"
#include "sandbox_py/functions.h"
#include "sandbox_py/run_record.h"

namespace sandbox::py {
namespace {

struct ProxySlot {
  std::mutex mutex;
  bool poisoned = false;                       // guarded by `mutex`
  std::unique_ptr<proxy::ProxyHandle> handle;  // guarded by `mutex`
};

struct AllowListProxyState {
  AllowListProxyState(std::unique_ptr<proxy::ProxyHandle> http,
                      std::unique_ptr<proxy::ProxyHandle> socks, std::string u,
                      std::string su) noexcept
      : url(std::move(u)),
        socks_url(std::move(su)),
        http_log(http->egress()),
        socks_log(socks->egress()) {
    http_slot.handle = std::move(http);
    socks_slot.handle = std::move(socks);
  }
  // Stops the HTTP proxy first, then the SOCKS5 proxy, whatever the poisoned marks say.
  ~AllowListProxyState() {
    http_slot.handle.reset();
    socks_slot.handle.reset();
  }

  const std::string url;
  const std::string socks_url;
  // Kept past close(): tunnels still open then add to them when they end.
  const std::shared_ptr<EgressLog> http_log, socks_log;
  ProxySlot http_slot;
  ProxySlot socks_slot;
};

struct AllowListProxyObject {
  PyObject_HEAD AllowListProxyState state;  // placement-constructed right after tp_alloc
};

PyObject* g_type = nullptr;  // write-once, interpreter lock held

AllowListProxyState& state_of(PyObject* self) {
  return reinterpret_cast<AllowListProxyObject*>(self)->state;
}

PyObject* text_of(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// Takes the handle out under the slot's lock and stops it there, so each proxy is
// stopped at most once even if close() races a second close().
Result<void, BindError> stop_slot(ProxySlot& slot, const char* poisoned_message) {
  std::lock_guard lock(slot.mutex);
  if (slot.poisoned) return runtime_error(poisoned_message);
  try {
    std::unique_ptr<proxy::ProxyHandle> handle = std::move(slot.handle);
    handle.reset();
  } catch (...) {
    slot.poisoned = true;
    throw;
  }
  return {};
}

PyObject* alp_close(PyObject* self, PyObject*) {
  return guard([&]() -> Outcome {
    AllowListProxyState& s = state_of(self);
    auto http = stop_slot(s.http_slot, "AllowListProxy http inner poisoned");
    if (!http) return fail(std::move(http).error());
    auto socks = stop_slot(s.socks_slot, "AllowListProxy socks inner poisoned");
    if (!socks) return fail(std::move(socks).error());
    Py_INCREF(Py_None);
    return Py_None;
  });
}

PyObject* alp_connections(PyObject* self, PyObject*) {
  return guard([&]() -> Outcome {
    AllowListProxyState& s = state_of(self);
    const EgressLog::Snapshot http = s.http_log->snapshot(), socks = s.socks_log->snapshot();
    const EgressLog::Snapshot* logs[] = {&http, &socks};
    return egress_tuple(logs, 2);
  });
}

PyObject* alp_get_url(PyObject* self, void*) {
  return guard([&]() -> Outcome { return text_of(state_of(self).url); });
}

PyObject* alp_get_socks_url(PyObject* self, void*) {
  return guard([&]() -> Outcome { return text_of(state_of(self).socks_url); });
}

// The keyword-only `max_connections`, taken out of `kwargs` (a copy is made) so that the
// shared parser sees only the positional-or-keyword parameters.
Converted<size_t> take_max_connections(PyObject*& kwargs, PyRef& rest) {
  if (kwargs == nullptr) return proxy::kDefaultMaxConnections;
  PyObject* given = PyDict_GetItemString(kwargs, "max_connections");  // borrowed
  if (given == nullptr) return proxy::kDefaultMaxConnections;
  PyRef keep = PyRef::borrowed(given);
  rest = PyRef(PyDict_Copy(kwargs));
  if (!rest || PyDict_DelItemString(rest.get(), "max_connections") != 0) return raised();
  kwargs = rest.get();
  auto value = to_u64(given);
  if (!value) return fail(for_argument("max_connections", std::move(value).error()));
  if (*value == 0) return value_error("max_connections must be at least 1");
  return static_cast<size_t>(*value);
}

Outcome construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 2> kNames = {"allow", "deny"};
  std::array<PyObject*, 2> argv{};
  PyRef rest;
  auto max_connections = take_max_connections(kwargs, rest);
  if (!max_connections) return fail(std::move(max_connections).error());
  auto parsed = parse_arguments("AllowListProxy", kNames, 1, args, kwargs, argv);
  if (!parsed) return fail(std::move(parsed).error());

  auto allow = to_text_list(argv[0]);
  if (!allow) return fail(for_argument("allow", std::move(allow).error()));
  std::vector<std::string> deny_entries;
  if (argv[1] != nullptr) {
    auto deny = to_text_list(argv[1]);
    if (!deny) return fail(for_argument("deny", std::move(deny).error()));
    deny_entries = std::move(*deny);
  }

  // Before anything can emit: the entries' warnings reach logging too.
  install_event_queue();
  // No elements: no allow list, everything not denied is allowed.
  std::optional<std::vector<std::string>> allow_list;
  if (!allow->empty()) allow_list = std::move(*allow);
  auto filter = netfilter::build_filter(allow_list, deny_entries);
  if (!filter) {
    const bool allow_bad = filter.error().list == netfilter::FilterBuildError::List::Allow;
    return fail(from_filter_error(allow_bad ? "allow-list parse" : "deny-list parse",
                                  filter.error().error));
  }

  auto http = proxy::start_proxy(http::kHttpProxy, *filter, *max_connections);
  if (!http) return fail(from_io_error("http proxy start", http.error()));
  auto socks = proxy::start_proxy(socks::kSocks5Proxy, *filter, *max_connections);
  if (!socks) {
    (*http).reset();  // a failed construction leaves nothing running
    return fail(from_io_error("socks proxy start", socks.error()));
  }
  start_event_bridge();
  std::string url = (*http)->url();
  std::string socks_url = (*socks)->url();

  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return raised();  // both handles stop on return
  new (&state_of(self)) AllowListProxyState(std::move(*http), std::move(*socks), std::move(url),
                                            std::move(socks_url));
  return self;
}

PyObject* alp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] { return construct(type, args, kwargs); });
}

void alp_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  guard_dealloc(reinterpret_cast<PyObject*>(type), [&] { state_of(self).~AllowListProxyState(); });
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyMethodDef kMethods[] = {
    {"close", alp_close, METH_NOARGS,
     "close($self)\n--\n\nStop both proxies (idempotent). Also runs on drop."},
    {"connections", alp_connections, METH_NOARGS,
     "connections($self)\n--\n\n"
     "Every decision both proxies took, ``(entries, dropped)``, by time: for the whole\n"
     "session, whichever run made the connection. Also after close()."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"url", alp_get_url, nullptr, nullptr, nullptr},
    {"socks_url", alp_get_socks_url, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kDoc[] =
    "AllowListProxy(allow, deny=..., *, max_connections=4096)\n"
    "--\n"
    "\n"
    "Per-session egress proxies (HTTP CONNECT + SOCKS5) that enforce a network\n"
    "allow/deny filter.\n"
    "\n"
    "Construct one in the session, then inject the env from\n"
    "`proxy_env_vars(proxy.url, proxy.socks_url)` into the env passed to\n"
    "`spawn()`. HTTP(S) clients route through `url` (the HTTP CONNECT proxy);\n"
    "other TCP clients (git, ssh, db drivers) route through `socks_url` (the\n"
    "SOCKS5 proxy) via `ALL_PROXY`. Both enforce the same filter: `deny`\n"
    "entries are blocked first, then \u2014 if `allow` is non-empty \u2014 only `allow`\n"
    "entries are permitted. An empty `allow` means \"allow anything not denied\"\n"
    "(open egress with a deny-list). Only constrains clients that honour the\n"
    "proxy env vars. See `docs/network-allow-list.md` for the caveats.\n"
    "\n"
    "Each proxy holds at most `max_connections` connections at a time, requests\n"
    "still being read and open tunnels together; past it, new ones are closed at\n"
    "once. Refusals and other diagnostics go to the `logging` logger\n"
    "\"ventra.sandbox\" (refusals at WARNING).";

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_new, reinterpret_cast<void*>(alp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(alp_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.AllowListProxy",
    static_cast<int>(sizeof(AllowListProxyObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyObject* allow_list_proxy_type() {
  if (g_type == nullptr) g_type = PyType_FromSpec(&kSpec);
  return g_type;
}

}  // namespace sandbox::py
