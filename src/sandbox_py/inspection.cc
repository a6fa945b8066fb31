// available_backends(), default_fs_allowlist() and proxy_env_vars(): inspection without
// launching anything beyond the first call's availability probes, which run with the
// interpreter lock released; nothing else here blocks.
#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "sandbox_core/backend/backend.h"
#include "sandbox_core/launch/launch.h"
#include "sandbox_core/proxy/proxy_env.h"
#include "sandbox_core/spec/fs_allowlist.h"
#include "sandbox_py/backend_info.h"
#include "sandbox_py/convert.h"
#include "sandbox_py/functions.h"

namespace sandbox::py {
namespace {

PyObject* text_of(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

std::vector<std::string> texts(const std::vector<std::string_view>& items) {
  return {items.begin(), items.end()};
}

PyObject* available_backends(PyObject*, PyObject*) {
  return guard([&]() -> Outcome {
    auto table = backend_table();
    // A first call probes the Linux kinds with trial sandboxes: wait without the lock.
    {
      AllowThreads nogil;
      probe_all_backends();
    }
    const BackendAvailability a = availability();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(table.size())));
    if (!list) return raised();
    for (size_t i = 0; i < table.size(); ++i) {
      const BackendRow& row = table[i];
      BackendInfoFields fields;
      fields.kind = row.listed_name;
      fields.available = a.available(row.kind);
      fields.summary = backend_summary(row);
      fields.reason = a.reason(row.kind);
      for (std::string_view name : row.accepted) {
        if (std::find(fields.names.begin(), fields.names.end(), name) == fields.names.end()) {
          fields.names.emplace_back(name);
        }
      }
      fields.isolates = row.isolates;
      if (row.adds_default_path) fields.default_path = DEFAULT_CHILD_PATH;
      fields.waits_for_sandbox = row.wait == LaunchWait::UntilSandboxUp;
      fields.holds_limits = row.limits != SandboxLimits::None;
      fields.fences = row.fences;
      if (fields.available) {
        fields.limits = enforced_limits_of(row);
        fields.landlock = texts(landlock_layers_of(row));
      }
      auto info = new_backend_info(std::move(fields));
      if (!info) return fail(std::move(info).error());
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), *info);  // steals
    }
    return list.release();
  });
}

template <size_t N>
PyObject* text_list(const std::array<std::string_view, N>& items) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(N)));
  if (!list) return nullptr;
  for (size_t i = 0; i < N; ++i) {
    PyObject* item = text_of(items[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* default_fs_allowlist(PyObject*, PyObject*) {
  return guard([&]() -> Outcome {
    PyRef dict(PyDict_New());
    if (!dict) return raised();
    PyRef read_only(text_list(kDefaultReadOnlyPaths));
    if (!read_only || PyDict_SetItemString(dict.get(), "read_only", read_only.get()) < 0) {
      return raised();
    }
    PyRef read_write(text_list(kDefaultReadWritePaths));
    if (!read_write || PyDict_SetItemString(dict.get(), "read_write", read_write.get()) < 0) {
      return raised();
    }
    return dict.release();
  });
}

PyObject* proxy_env_vars(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> Outcome {
    static constexpr std::array<const char*, 2> kNames = {"http_url", "socks_url"};
    std::array<PyObject*, 2> argv{};
    auto parsed = parse_arguments("proxy_env_vars", kNames, 1, args, kwargs, argv);
    if (!parsed) return fail(std::move(parsed).error());
    auto http = to_text(argv[0]);
    if (!http) return fail(for_argument("http_url", std::move(http).error()));
    SANDBOX_ASSIGN_OR_RETURN(auto socks, optional_text(argv[1], "socks_url"));
    auto vars = proxy::build_proxy_env(
        *http, socks ? std::optional<std::string_view>(*socks) : std::nullopt);
    PyRef list(PyList_New(static_cast<Py_ssize_t>(vars.size())));
    if (!list) return raised();
    for (size_t i = 0; i < vars.size(); ++i) {
      PyRef name(text_of(vars[i].name));
      PyRef value(text_of(vars[i].value));
      if (!name || !value) return raised();
      PyObject* pair = PyTuple_Pack(2, name.get(), value.get());
      if (pair == nullptr) return raised();
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
  });
}

// execvp's search as the child makes it, so the command line need not copy it.
PyObject* program_candidates(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> Outcome {
    static constexpr std::array<const char*, 2> kNames = {"program", "path"};
    std::array<PyObject*, 2> argv{};
    auto parsed = parse_arguments("program_candidates", kNames, 1, args, kwargs, argv);
    if (!parsed) return fail(std::move(parsed).error());
    auto program = to_text(argv[0]);
    if (!program) return fail(for_argument("program", std::move(program).error()));
    SANDBOX_ASSIGN_OR_RETURN(auto given, optional_text(argv[1], "path"));
    std::string path = given ? std::move(*given) : std::string(DEFAULT_CHILD_PATH);
    auto candidates = exec_candidates(*program, &path);
    PyRef list(PyList_New(static_cast<Py_ssize_t>(candidates.size())));
    if (!list) return raised();
    for (size_t i = 0; i < candidates.size(); ++i) {
      PyObject* item = text_of(candidates[i]);
      if (item == nullptr) return raised();
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

}  // namespace

PyObject* backend_kinds() {
  auto table = backend_table();
  PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(table.size())));
  if (!tuple) return nullptr;
  for (size_t i = 0; i < table.size(); ++i) {
    PyObject* text = text_of(table[i].listed_name);
    if (text == nullptr) return nullptr;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), text);  // steals
  }
  return tuple.release();
}

namespace {

// Every name spawn accepts for the rows where `has` holds.
PyObject* names_where(bool (*has)(const BackendRow&)) {
  PyRef set(PyFrozenSet_New(nullptr));
  if (!set) return nullptr;
  for (const BackendRow& row : backend_table()) {
    if (!has(row)) continue;
    for (std::string_view name : {row.listed_name, row.accepted[0], row.accepted[1]}) {
      PyRef text(text_of(name));
      if (!text || PySet_Add(set.get(), text.get()) < 0) return nullptr;
    }
  }
  return set.release();
}

}  // namespace

PyObject* names_waiting_for_sandbox() {
  return names_where([](const BackendRow& row) { return row.wait == LaunchWait::UntilSandboxUp; });
}

PyObject* names_fencing() {
  return names_where([](const BackendRow& row) { return row.fences; });
}

PyMethodDef kProgramCandidatesDef = {
    "program_candidates", as_cfunction(program_candidates), METH_VARARGS | METH_KEYWORDS,
    "program_candidates(program, path=None)\n--\n\n"
    "The files a child tries, in order, to run `program`: itself when it contains a\n"
    "\"/\", else each entry of `path` (a PATH value; default DEFAULT_PATH) joined with it.\n"
    "A relative candidate is relative to the child's working directory."};

PyMethodDef kAvailableBackendsDef = {"available_backends", available_backends, METH_NOARGS,
                                     "available_backends()\n--\n\n"
                                     "Probe which backends are available right now."};

PyMethodDef kDefaultFsAllowlistDef = {
    "default_fs_allowlist", default_fs_allowlist, METH_NOARGS,
    "default_fs_allowlist()\n--\n\n"
    "The backend's built-in filesystem allow-list defaults.\n"
    "\n"
    "Returns a dict with two `list[str]` keys, `read_only` and `read_write`.\n"
    "These are the paths every sandbox can always reach; anything a caller\n"
    "passes via `extra_read_only_paths` / `extra_read_write_paths` is *added*\n"
    "on top. The per-spawn work directory (and `/tmp`) are writable too but\n"
    "aren't listed here since they're resolved per session."};

PyMethodDef kProxyEnvVarsDef = {
    "proxy_env_vars", as_cfunction(proxy_env_vars), METH_VARARGS | METH_KEYWORDS,
    "proxy_env_vars(http_url, socks_url=None)\n--\n\n"
    "The canonical proxy env vars to inject for the egress proxies, as a list\n"
    "of `(key, value)` pairs. `http_url` backs `HTTP_PROXY`/`HTTPS_PROXY`;\n"
    "`socks_url` (optional) backs `ALL_PROXY` so non-HTTP clients route through\n"
    "the SOCKS5 proxy. Single source of truth shared with the server\n"
    "(maintainability M2): the local session applies these with set-default\n"
    "semantics so both transports inject identical vars."};

}  // namespace sandbox::py
