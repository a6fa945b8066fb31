// available_backends(), default_fs_allowlist() and proxy_env_vars(): inspection without
// launching anything beyond the first call's availability probes, which run with the
// interpreter lock released; nothing else here blocks.
#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include <sys/stat.h>
#include <unistd.h>

#include "sandbox_core/backend/backend.h"
#include "sandbox_core/base/platform.h"
#include "sandbox_core/isolation/layout.h"
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
    const BackendAvailability a = [] {
      AllowThreads nogil;
      return probe_all_backends();
    }();
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

// What a path is inside a sandbox with the layout `entries`: the deepest entry at or
// above it decides. A bind shows the host's file there; a symbolic link (merged /usr)
// leads on; a private mount (tmpfs, the private work dir, /proc, /dev) holds nothing of
// the host's; no entry at all is the empty root.
enum class Seen : uint8_t { Host, Private, Absent };

Seen seen_inside(const std::vector<isolation::LayoutEntry>& entries, std::string path,
                 int links_left = 8) {
  using Kind = isolation::LayoutEntry::Kind;
  const isolation::LayoutEntry* deepest = nullptr;
  for (const auto& e : entries) {
    const bool above = path == e.path || (path.starts_with(e.path) &&
                                          (e.path == "/" || path[e.path.size()] == '/'));
    if (above && (deepest == nullptr || e.path.size() >= deepest->path.size())) deepest = &e;
  }
  if (deepest == nullptr) return Seen::Absent;
  switch (deepest->kind) {
    case Kind::ReadOnly:
    case Kind::ReadWrite:
    case Kind::Lock:
      return Seen::Host;
    case Kind::Symlink: {
      if (links_left == 0) return Seen::Absent;
      std::string target = deepest->link.starts_with("/")
                                ? deepest->link
                                : deepest->path.substr(0, deepest->path.rfind('/') + 1) + deepest->link;
      return seen_inside(entries, isolation::normalized_path(target + path.substr(deepest->path.size())),
                         links_left - 1);
    }
    default:
      return Seen::Private;
  }
}

bool executable_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

Outcome view_dict(const std::string& work_dir, bool private_work_dir,
                  const std::vector<isolation::LayoutEntry>& entries,
                  const std::optional<std::string>& found) {
  using Kind = isolation::LayoutEntry::Kind;
  PyRef dict(PyDict_New());
  PyRef visible(PyList_New(0));
  if (!dict || !visible) return raised();
  for (const auto& e : entries) {
    if (e.kind != Kind::ReadOnly && e.kind != Kind::ReadWrite) continue;
    PyRef item(Py_BuildValue("(s#O)", e.path.data(), static_cast<Py_ssize_t>(e.path.size()),
                             e.kind == Kind::ReadWrite ? Py_True : Py_False));
    if (!item || PyList_Append(visible.get(), item.get()) < 0) return raised();
  }
  PyRef dir(text_of(work_dir));
  PyRef program(found ? text_of(*found) : (Py_INCREF(Py_None), Py_None));
  if (!dir || !program || PyDict_SetItemString(dict.get(), "work_dir", dir.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "private_work_dir",
                           private_work_dir ? Py_True : Py_False) < 0 ||
      PyDict_SetItemString(dict.get(), "visible", visible.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "program", program.get()) < 0) {
    return raised();
  }
  return dict.release();
}

// What a child of a Linux backend will see: the layout built as for the spawn itself.
PyObject* sandbox_view(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> Outcome {
    static constexpr std::array<const char*, 5> kNames = {"program", "path", "work_dir",
                                                          "read_only", "read_write"};
    std::array<PyObject*, 5> argv{};
    SANDBOX_TRY(parse_arguments("sandbox_view", kNames, 1, args, kwargs, argv));
    auto program = to_text(argv[0]);
    if (!program) return fail(for_argument("program", std::move(program).error()));
    SANDBOX_ASSIGN_OR_RETURN(auto given_path, optional_text(argv[1], "path"));
    SANDBOX_ASSIGN_OR_RETURN(auto work_dir, optional_text(argv[2], "work_dir"));
    SandboxSpec spec;
    for (auto [index, list] : {std::pair{3, &spec.extra_read_only_paths},
                               std::pair{4, &spec.extra_read_write_paths}}) {
      if (argv[index] == nullptr) continue;
      auto items = to_text_list(argv[index]);
      if (!items) return fail(for_argument(kNames[index], std::move(items).error()));
      *list = std::move(*items);
    }
    spec.default_work_dir = !work_dir || work_dir->empty();
    spec.work_dir = spec.default_work_dir ? system_temp_dir() : *work_dir;
    std::string path = given_path ? std::move(*given_path) : std::string(DEFAULT_CHILD_PATH);
    const std::string dir = isolation::normalized_path(spec.host_dir());
    auto entries = isolation::sandbox_layout(spec);
    const bool private_dir = seen_inside(entries, dir) != Seen::Host;
    std::optional<std::string> found;
    for (const std::string& candidate : exec_candidates(*program, &path)) {
      std::string where = isolation::normalized_path(
          candidate.starts_with("/") ? candidate : dir + "/" + candidate);
      if (seen_inside(entries, where) == Seen::Host && executable_file(where)) {
        found = std::move(where);
        break;
      }
    }
    return view_dict(dir, private_dir, entries, found);
  });
}

}  // namespace

PyMethodDef kSandboxViewDef = {
    "sandbox_view", as_cfunction(sandbox_view), METH_VARARGS | METH_KEYWORDS,
    "sandbox_view(program, path=None, work_dir=None, read_only=(), read_write=())\n--\n\n"
    "What a child of a Linux backend will see, from the layout its spawn would build\n"
    "(paths inside are the host's own). A dict: `work_dir`, the child's working\n"
    "directory (`work_dir`, else the system temporary directory); `private_work_dir`,\n"
    "True when that is a fresh, empty directory of the sandbox's own; `visible`, the\n"
    "host paths bound in, as (path, writable) pairs in mount order; `program`, the file\n"
    "the child runs for `program`, searched on `path` (a PATH value; default\n"
    "DEFAULT_PATH) as the child searches it, among the files it sees, or None.\n"
    "`read_only` and `read_write` are the spawn keys extra_read_only_paths and\n"
    "extra_read_write_paths."};

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
