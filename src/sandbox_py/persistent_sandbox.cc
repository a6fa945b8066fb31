// PersistentSandbox and open_sandbox(spec_dict, ...). The core sandbox is thread-safe;
// every blocking call drops the interpreter lock. A failed creation makes nothing.
#include "sandbox_py/persistent_sandbox.h"

#include <array>
#include <chrono>
#include <cmath>
#include <memory>
#include <new>

#include "sandbox_core/backend/persistent.h"
#include "sandbox_py/change_set.h"
#include "sandbox_py/convert.h"
#include "sandbox_py/functions.h"
#include "sandbox_py/run_record.h"
#include "sandbox_py/sandbox_command.h"
#include "sandbox_py/spec_dict.h"

namespace sandbox::py {
namespace {

struct SandboxObject {
  PyObject_HEAD std::unique_ptr<PersistentSandbox> box;
};

PyObject* g_type = nullptr;

PersistentSandbox& box_of(PyObject* self) { return *reinterpret_cast<SandboxObject*>(self)->box; }

Converted<std::chrono::milliseconds> seconds_argument(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::chrono::milliseconds(0);
  double s = PyFloat_AsDouble(obj);
  if (s == -1.0 && PyErr_Occurred()) return fail(for_argument(name, conversion_error(obj, "f64")));
  if (std::isnan(s) || s < 0 || s > 1e9) {
    return value_error(std::string(name) + " must be a number of seconds, 0 or more");
  }
  return std::chrono::milliseconds(static_cast<int64_t>(s * 1000));
}

Outcome sandbox_failure(const SandboxError& e) { return fail(from_sandbox_error(e, "sandbox: ")); }

PyObject* ps_start(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> Outcome {
    static constexpr std::array<const char*, 7> kNames = {
        "argv", "env", "cwd", "stdin_fd", "capture_stdout", "capture_stderr", "stderr_to_stdout"};
    std::array<PyObject*, 7> a{};
    SANDBOX_TRY(parse_arguments("start", kNames, 1, args, kwargs, a));
    CommandRequest r;
    SANDBOX_ASSIGN_OR_RETURN(r.argv, to_text_list(a[0]));
    if (r.argv.empty()) return value_error("argv must not be empty");
    if (a[1] != nullptr && a[1] != Py_None) {
      SANDBOX_ASSIGN_OR_RETURN(r.env, to_text_map(a[1]));
    }
    SANDBOX_ASSIGN_OR_RETURN(r.cwd, optional_text(a[2], "cwd"));
    if (a[3] != nullptr && a[3] != Py_None) {
      SANDBOX_ASSIGN_OR_RETURN(r.stdin_fd, to_fd_number(a[3]));
    }
    bool* flags[3] = {&r.capture_stdout, &r.capture_stderr, &r.stderr_to_stdout};
    for (int i = 0; i < 3; ++i) {
      if (a[4 + i] == nullptr) continue;
      SANDBOX_ASSIGN_OR_RETURN(*flags[i], to_bool(a[4 + i]));
    }
    auto started = [&] {
      AllowThreads nogil;
      return box_of(self).start(r);
    }();
    // A command's own failure reads as a run's would.
    if (!started) return fail(from_sandbox_error(started.error()));
    return new_sandbox_command(std::move(*started));
  });
}

PyObject* ps_close(PyObject* self, PyObject*) {
  return guard([&]() -> Outcome {
    {
      AllowThreads nogil;
      box_of(self).close();
    }
    Py_RETURN_NONE;
  });
}

template <Result<void, SandboxError> (PersistentSandbox::*Step)()>
PyObject* ps_step(PyObject* self, PyObject*) {
  return guard([&]() -> Outcome {
    auto r = [&] {
      AllowThreads nogil;
      return (box_of(self).*Step)();
    }();
    if (!r) return sandbox_failure(r.error());
    Py_RETURN_NONE;
  });
}

// Each call a new ChangeSet over the same changes, whose own lock orders their use.
PyObject* ps_changes(PyObject* self, PyObject*) {
  return guard([&]() -> Outcome {
    const auto& changes = box_of(self).changes();
    if (!changes) Py_RETURN_NONE;
    return new_change_set(changes);
  });
}

PyObject* ps_connections(PyObject* self, PyObject*) {
  return guard([&]() -> Outcome {
    const auto& egress = box_of(self).egress();
    if (!egress) Py_RETURN_NONE;
    const EgressLog::Snapshot snap = egress->snapshot();
    const EgressLog::Snapshot* logs[] = {&snap};
    return egress_tuple(logs, 1);
  });
}

PyObject* ps_get_status(PyObject* self, void*) {
  return guard([&]() -> Outcome {
    SandboxState s = [&] {
      AllowThreads nogil;
      return box_of(self).state();
    }();
    static constexpr const char* kNames[] = {"running", "frozen", "closed", "expired", "failed"};
    return PyUnicode_FromString(kNames[static_cast<int>(s)]);
  });
}

PyObject* ps_get_backend(PyObject* self, void*) {
  return guard([&]() -> Outcome { return PyUnicode_FromString(box_of(self).backend().c_str()); });
}
PyObject* ps_get_work_dir(PyObject* self, void*) {
  return guard([&]() -> Outcome { return PyUnicode_FromString(box_of(self).work_dir().c_str()); });
}
PyObject* ps_get_host_work_dir(PyObject* self, void*) {
  return guard(
      [&]() -> Outcome { return PyUnicode_FromString(box_of(self).host_work_dir().c_str()); });
}

PyObject* ps_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for PersistentSandbox");
  return nullptr;
}

void ps_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  guard_dealloc(reinterpret_cast<PyObject*>(type), [&] {
    AllowThreads nogil;  // kills everything inside and reaps the init
    reinterpret_cast<SandboxObject*>(self)->box.~unique_ptr();
  });
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyMethodDef kMethods[] = {
    {"start", as_cfunction(ps_start), METH_VARARGS | METH_KEYWORDS,
     "start($self, argv, env=None, cwd=None, stdin_fd=None, capture_stdout=True,\n"
     "      capture_stderr=True, stderr_to_stdout=False)\n--\n\n"
     "Start a command in the sandbox and return its `SandboxCommand`. argv[0] is searched\n"
     "in the command's PATH; env is laid over the sandbox's base environment; cwd is a\n"
     "path inside (default: the work dir); stdin_fd an open descriptor of the caller\n"
     "(default: the null device). Raises RuntimeError (\"sandbox: ...\") when the\n"
     "sandbox is frozen or has ended, when 64 commands run already, or when the exec\n"
     "failed; OSError subclasses as spawn does for a missing program."},
    {"close", ps_close, METH_NOARGS,
     "close($self)\n--\n\n"
     "Kill everything inside and remove what the sandbox made; copy-on-write changes\n"
     "not applied by then are dropped. Idempotent."},
    {"changes", ps_changes, METH_NOARGS,
     "changes($self)\n--\n\n"
     "With the spawn key overlay: the `ChangeSet` of the sandbox's whole life, every\n"
     "command's changes to the work directory since the sandbox was made; None\n"
     "otherwise. Its changes() lists the upper layer as it is at that moment (commands\n"
     "still running may change it meanwhile: freeze() for a steady view); its apply()\n"
     "and discard() first end the sandbox, as close() does, so that nothing writes into\n"
     "it meanwhile or after. close() discards what was not applied."},
    {"connections", ps_connections, METH_NOARGS,
     "connections($self)\n--\n\n"
     "The sandbox's egress record over its whole life, ``(entries, dropped)`` as\n"
     "LocalProcess.connections(): every decision on a connection through its network\n"
     "fence, refusals past the fence's share included; None without a fence."},
    {"freeze", ps_step<&PersistentSandbox::freeze>, METH_NOARGS,
     "freeze($self)\n--\n\n"
     "Stop every process inside (cgroup v2 freezer). The lifetime runs on. Raises\n"
     "RuntimeError where the sandbox has no control group of its own."},
    {"thaw", ps_step<&PersistentSandbox::thaw>, METH_NOARGS,
     "thaw($self)\n--\n\nLet a frozen sandbox run again."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"status", ps_get_status, nullptr,
     "\"running\", \"frozen\", or why it ended: \"closed\" (close()), \"expired\"\n"
     "(lifetime_s or idle_timeout_s), \"failed\" (its init died or broke the protocol).",
     nullptr},
    {"backend", ps_get_backend, nullptr, "The backend's name.", nullptr},
    {"work_dir", ps_get_work_dir, nullptr, "The work directory, as commands see it.", nullptr},
    {"host_work_dir", ps_get_host_work_dir, nullptr,
     "The work directory on the host (a private one's, removed at close).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("One persistent sandbox (open_sandbox).")},
    {Py_tp_new, reinterpret_cast<void*>(ps_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(ps_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.PersistentSandbox", static_cast<int>(sizeof(SandboxObject)), 0,
                     Py_TPFLAGS_DEFAULT, kSlots};

PyObject* open_sandbox(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> Outcome {
    static constexpr std::array<const char*, 3> kNames = {"spec_dict", "lifetime_s",
                                                          "idle_timeout_s"};
    std::array<PyObject*, 3> a{};
    SANDBOX_TRY(parse_arguments("open_sandbox", kNames, 1, args, kwargs, a));
    if (!PyDict_Check(a[0])) return fail(for_argument("spec_dict", conversion_error(a[0], "PyDict")));
    SANDBOX_ASSIGN_OR_RETURN(auto lifetime, seconds_argument(a[1], "lifetime_s"));
    SANDBOX_ASSIGN_OR_RETURN(auto idle, seconds_argument(a[2], "idle_timeout_s"));
    PyRef dict(PyDict_Copy(a[0]));
    if (!dict) return raised();
    // The sandbox has no command of its own: its spec's script is a placeholder.
    PyRef kind(PyUnicode_FromString("argv"));
    PyRef argv(Py_BuildValue("[s]", "-"));
    if (!kind || !argv || PyDict_SetItemString(dict.get(), "script_type", kind.get()) != 0 ||
        PyDict_SetItemString(dict.get(), "argv", argv.get()) != 0) {
      return raised();
    }
    SANDBOX_ASSIGN_OR_RETURN(SpawnSpecRead read, read_spawn_spec(dict.get()));
    PyObject* type = persistent_sandbox_type();
    if (type == nullptr) return raised();
    auto made = [&] {
      AllowThreads nogil;
      return PersistentSandbox::create(read.spec, read.backend, lifetime, idle);
    }();
    if (!made) return sandbox_failure(made.error());
    auto tp = reinterpret_cast<PyTypeObject*>(type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
    PyObject* self = alloc(tp, 0);
    if (self == nullptr) return raised();
    new (&reinterpret_cast<SandboxObject*>(self)->box)
        std::unique_ptr<PersistentSandbox>(std::move(*made));
    return self;
  });
}

}  // namespace

PyObject* persistent_sandbox_type() {
  if (g_type == nullptr) g_type = PyType_FromSpec(&kSpec);
  return g_type;
}

PyMethodDef kOpenSandboxDef = {
    "open_sandbox", as_cfunction(open_sandbox), METH_VARARGS | METH_KEYWORDS,
    "open_sandbox(spec_dict, lifetime_s=None, idle_timeout_s=None)\n--\n\n"
    "Make a persistent sandbox and return its `PersistentSandbox`. spec_dict takes\n"
    "spawn's keys but the script's (ignored): backend, env (the base environment of\n"
    "every command), host_work_dir, limits (for the whole sandbox over its life), paths\n"
    "and network. lifetime_s and idle_timeout_s (seconds; None or 0: none) end it;\n"
    "the wall clock runs on while it is frozen. Only \"bubblewrap\" and \"userns\" can\n"
    "keep one: other backends raise RuntimeError naming those two."};

}  // namespace sandbox::py
