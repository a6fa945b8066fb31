// SandboxCommand: one command of a persistent sandbox. The core object is thread-safe;
// blocking calls drop the interpreter lock. kill() never waits longer than the init's
// answer time, so an event-loop thread can always cancel a collect.
#include "sandbox_py/sandbox_command.h"

#include <array>
#include <cmath>
#include <new>

#include "sandbox_py/convert.h"

namespace sandbox::py {
namespace {

struct CommandObject {
  PyObject_HEAD std::unique_ptr<SandboxCommand> command;
};

PyObject* g_type = nullptr;

SandboxCommand& command_of(PyObject* self) {
  return *reinterpret_cast<CommandObject*>(self)->command;
}

// timeout_s: None or absent for none, else seconds from now (0 or less: already due).
Converted<Deadline> deadline_of(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return Deadline();
  double s = PyFloat_AsDouble(obj);
  if (s == -1.0 && PyErr_Occurred()) return raised();
  if (std::isnan(s) || s > 1e9) return value_error("timeout_s must be a number of seconds");
  auto d = std::chrono::duration_cast<MonoClock::duration>(std::chrono::duration<double>(s));
  return Deadline(MonoClock::now() + d);
}

Converted<Deadline> timeout_argument(const char* fn, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 1> kNames = {"timeout_s"};
  std::array<PyObject*, 1> argv{};
  SANDBOX_TRY(parse_arguments(fn, kNames, 0, args, kwargs, argv));
  return deadline_of(argv[0]);
}

PyObject* sc_wait(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> Outcome {
    SANDBOX_ASSIGN_OR_RETURN(Deadline deadline, timeout_argument("wait", args, kwargs));
    int status = 0;
    {
      AllowThreads nogil;
      status = command_of(self).wait(deadline);
    }
    return PyLong_FromLong(exit_code_from_status(status));
  });
}

PyObject* sc_poll(PyObject* self, PyObject*) {
  return guard([&]() -> Outcome {
    auto status = command_of(self).poll();
    if (!status) Py_RETURN_NONE;
    return PyLong_FromLong(exit_code_from_status(*status));
  });
}

PyObject* sc_wait_and_collect(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> Outcome {
    SANDBOX_ASSIGN_OR_RETURN(Deadline deadline,
                             timeout_argument("wait_and_collect", args, kwargs));
    auto r = [&] {
      AllowThreads nogil;
      return command_of(self).collect(deadline);
    }();
    if (!r) return runtime_error(r.error().text);
    return Py_BuildValue("(iy#y#)", r->exit_code, r->stdout_bytes.data(),
                         static_cast<Py_ssize_t>(r->stdout_bytes.size()),
                         r->stderr_bytes.data(),
                         static_cast<Py_ssize_t>(r->stderr_bytes.size()));
  });
}

PyObject* sc_read_stdout(PyObject* self, PyObject*) {
  return guard([&]() -> Outcome {
    auto r = [&] {
      AllowThreads nogil;
      return command_of(self).read_stdout();
    }();
    if (!r) return fail(from_io_error("read stdout", r.error()));
    return PyBytes_FromStringAndSize(r->data(), static_cast<Py_ssize_t>(r->size()));
  });
}

PyObject* sc_kill(PyObject* self, PyObject*) {
  return guard([&]() -> Outcome {
    {
      AllowThreads nogil;
      command_of(self).kill();
    }
    Py_RETURN_NONE;
  });
}

PyObject* sc_pid(PyObject* self, PyObject*) {
  return guard([&]() -> Outcome { return PyLong_FromLong(command_of(self).pid()); });
}

PyObject* sc_get_usage(PyObject* self, void*) {
  return guard([&]() -> Outcome {
    auto u = command_of(self).usage();
    if (!u) Py_RETURN_NONE;
    return Py_BuildValue("{sLsLsLsLsL}", "utime_us", static_cast<long long>(u->utime_us),
                         "stime_us", static_cast<long long>(u->stime_us), "maxrss_kb",
                         static_cast<long long>(u->maxrss_kb), "inblock",
                         static_cast<long long>(u->inblock), "oublock",
                         static_cast<long long>(u->oublock));
  });
}

PyObject* sc_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for SandboxCommand");
  return nullptr;
}

void sc_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  guard_dealloc(reinterpret_cast<PyObject*>(type), [&] {
    AllowThreads nogil;  // a running command is killed through the init
    reinterpret_cast<CommandObject*>(self)->command.~unique_ptr();
  });
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

using KwFn = PyObject* (*)(PyObject*, PyObject*, PyObject*);
PyCFunction kw(KwFn fn) { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)); }

PyMethodDef kMethods[] = {
    {"wait", kw(sc_wait), METH_VARARGS | METH_KEYWORDS,
     "wait($self, timeout_s=None)\n--\n\n"
     "Wait for the command to exit; its exit code (128+sig when killed). Past\n"
     "timeout_s its process group is killed (137). Releases the GIL."},
    {"poll", sc_poll, METH_NOARGS,
     "poll($self)\n--\n\nThe exit code once the command has exited, else None."},
    {"wait_and_collect", kw(sc_wait_and_collect), METH_VARARGS | METH_KEYWORDS,
     "wait_and_collect($self, timeout_s=None)\n--\n\n"
     "Read stdout and stderr to their end (each capped as a spawn's), wait for the exit,\n"
     "and return ``(exit_code, stdout_bytes, stderr_bytes)``. Past timeout_s the\n"
     "command's process group is killed through the sandbox init; if the init does not\n"
     "confirm within 2 s, the whole sandbox is killed. Output that what the command left\n"
     "running still writes is read for 0.5 s after its exit. Releases the GIL."},
    {"read_stdout", sc_read_stdout, METH_NOARGS,
     "read_stdout($self)\n--\n\nRead stdout to EOF; returns `bytes`. Releases the GIL."},
    {"kill", sc_kill, METH_NOARGS,
     "kill($self)\n--\n\n"
     "SIGKILL to the command's process group, through the sandbox init (the whole\n"
     "sandbox when the init does not confirm within 2 s). Idempotent."},
    {"pid", sc_pid, METH_NOARGS,
     "pid($self)\n--\n\nThe command's pid inside the sandbox's pid namespace."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"usage", sc_get_usage, nullptr,
     "None until the command exits; then its own resource usage as wait4 reports it\n"
     "(children it waited for included): a dict of int with utime_us and stime_us (CPU\n"
     "time in microseconds), maxrss_kb (peak resident set, KiB), inblock and oublock\n"
     "(file-system blocks of 512 bytes read and written).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("One command of a persistent sandbox (PersistentSandbox.start).")},
    {Py_tp_new, reinterpret_cast<void*>(sc_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(sc_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.SandboxCommand", static_cast<int>(sizeof(CommandObject)), 0,
                     Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyObject* sandbox_command_type() {
  if (g_type == nullptr) g_type = PyType_FromSpec(&kSpec);
  return g_type;
}

Outcome new_sandbox_command(std::unique_ptr<SandboxCommand> command) {
  PyObject* type = sandbox_command_type();
  if (type == nullptr) return raised();
  auto tp = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* self = alloc(tp, 0);
  if (self == nullptr) return raised();
  new (&reinterpret_cast<CommandObject*>(self)->command)
      std::unique_ptr<SandboxCommand>(std::move(command));
  return self;
}

}  // namespace sandbox::py
