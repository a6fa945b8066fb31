// AllowListProxy: owns one running proxy per row of proxy::kProxyRows, one slot (mutex +
// poisoned mark) each. The slots are taken one after the other, never nested, always
// with the interpreter lock held; stopping never joins a proxy thread, so it cannot wait
// on Python.
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
#include "sandbox_core/proxy/proxy_env.h"
#include "sandbox_core/socks/socks5.h"
#include "sandbox_py/convert.h"
#include "sandbox_py/functions.h"

namespace sandbox::py {
namespace {

struct ProxySlot {
  std::mutex mutex;
  bool poisoned = false;                       // guarded by `mutex`
  std::unique_ptr<proxy::ProxyHandle> handle;  // guarded by `mutex`
};

// The listener kind of each row of proxy::kProxyRows, in the same order.
const proxy::ProxyKind* const kKinds[] = {&http::kHttpProxy, &socks::kSocks5Proxy};
static_assert(std::size(kKinds) == proxy::kProxyCount);

using Handles = std::array<std::unique_ptr<proxy::ProxyHandle>, proxy::kProxyCount>;

struct AllowListProxyState {
  explicit AllowListProxyState(Handles handles) noexcept {
    for (size_t i = 0; i < proxy::kProxyCount; ++i) {
      urls[i] = handles[i]->url();
      slots[i].handle = std::move(handles[i]);
    }
  }
  // Stops the proxies in the rows' order, whatever the poisoned marks say.
  ~AllowListProxyState() {
    for (ProxySlot& slot : slots) slot.handle.reset();
  }

  std::array<std::string, proxy::kProxyCount> urls;  // set once, before the object is shared
  std::array<ProxySlot, proxy::kProxyCount> slots;
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
Result<void, BindError> stop_slot(ProxySlot& slot, const proxy::ProxyRow& row) {
  std::lock_guard lock(slot.mutex);
  if (slot.poisoned) return runtime_error("AllowListProxy " + std::string(row.label) + " inner poisoned");
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
    for (size_t i = 0; i < proxy::kProxyCount; ++i) {
      auto stopped = stop_slot(s.slots[i], proxy::kProxyRows[i]);
      if (!stopped) return fail(std::move(stopped).error());
    }
    Py_INCREF(Py_None);
    return Py_None;
  });
}

// `row`: the index of the row, as the getter's closure.
PyObject* alp_get_url(PyObject* self, void* row) {
  return guard([&]() -> Outcome {
    return text_of(state_of(self).urls[reinterpret_cast<uintptr_t>(row)]);
  });
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

  Handles handles;
  for (size_t i = 0; i < proxy::kProxyCount; ++i) {
    auto started = proxy::start_proxy(*kKinds[i], *filter, *max_connections);
    // A failed construction leaves nothing running: those started stop on return.
    if (!started) {
      return fail(from_io_error(std::string(proxy::kProxyRows[i].label) + " proxy start",
                                started.error()));
    }
    handles[i] = std::move(*started);
  }
  start_event_bridge();

  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return raised();  // the handles stop on return
  new (&state_of(self)) AllowListProxyState(std::move(handles));
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
    {nullptr, nullptr, 0, nullptr},
};

// One URL attribute per row, then the sentinel.
const auto kGetSet = [] {
  std::array<PyGetSetDef, proxy::kProxyCount + 1> out{};
  for (size_t i = 0; i < proxy::kProxyCount; ++i) {
    out[i] = {proxy::kProxyRows[i].url_attribute, alp_get_url, nullptr, nullptr,
              reinterpret_cast<void*>(static_cast<uintptr_t>(i))};
  }
  return out;
}();

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
    {Py_tp_getset, const_cast<PyGetSetDef*>(kGetSet.data())},
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
