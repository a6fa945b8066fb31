// ChangeSet: listing and applying run on the calling thread with the interpreter lock
// released; the change set's own lock makes them take turns, however many ChangeSet
// objects share it.
#include "sandbox_py/change_set.h"

#include <new>
#include <utility>

#include "sandbox_py/convert.h"

namespace sandbox::py {
namespace {

using isolation::OverlayChange;

struct ChangeSetState {
  explicit ChangeSetState(std::shared_ptr<isolation::OverlayChanges> c) : changes(std::move(c)) {}
  std::shared_ptr<isolation::OverlayChanges> changes;
};

struct ChangeSetObject {
  PyObject_HEAD ChangeSetState state;  // placement-constructed right after tp_alloc
};

PyObject* g_type = nullptr;  // write-once, interpreter lock held

ChangeSetState& state_of(PyObject* self) { return reinterpret_cast<ChangeSetObject*>(self)->state; }

PyObject* text(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// ("added" | "modified" | "deleted", path, "file" | "directory" | "link" | "other", size, mode)
PyObject* change_tuple(const OverlayChange& c) {
  static const char* const kActions[] = {"added", "modified", "deleted"};
  static const char* const kTypes[] = {"file", "directory", "link", "other"};
  return Py_BuildValue("(ss#sKI)", kActions[static_cast<int>(c.action)], c.path.data(),
                       static_cast<Py_ssize_t>(c.path.size()), kTypes[static_cast<int>(c.type)],
                       static_cast<unsigned long long>(c.size), static_cast<unsigned>(c.mode));
}

template <class T, class F>
Outcome to_list(const std::vector<T>& items, F&& one) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return raised();
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* item = one(items[i]);
    if (item == nullptr) return raised();
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item) < 0) return raised();
  }
  return list.release();
}

PyObject* problem_tuple(const isolation::OverlayProblem& p) {
  return Py_BuildValue("(s#s#)", p.path.data(), static_cast<Py_ssize_t>(p.path.size()),
                       p.reason.data(), static_cast<Py_ssize_t>(p.reason.size()));
}

PyObject* cs_changes(PyObject* self, PyObject*) {
  return guard([&]() -> Outcome {
    ChangeSetState& s = state_of(self);
    Result<std::vector<OverlayChange>, IoError> listed = [&] {
      AllowThreads nogil;
      return s.changes->list();
    }();
    if (!listed) return fail(from_io_error("ChangeSet.changes", listed.error()));
    return to_list(*listed, change_tuple);
  });
}

PyObject* cs_apply(PyObject* self, PyObject*) {
  return guard([&]() -> Outcome {
    ChangeSetState& s = state_of(self);
    Result<isolation::OverlayApplyReport, IoError> report = [&] {
      AllowThreads nogil;
      return s.changes->apply();
    }();
    if (!report) return fail(from_io_error("ChangeSet.apply", report.error()));
    auto conflicts = to_list(report->conflicts, problem_tuple);
    if (!conflicts) return conflicts;
    PyRef c(*conflicts);
    auto failures = to_list(report->failures, problem_tuple);
    if (!failures) return failures;
    PyRef f(*failures);
    PyObject* out = Py_BuildValue("{s:n,s:O,s:O}", "applied",
                                  static_cast<Py_ssize_t>(report->applied), "conflicts", c.get(),
                                  "failures", f.get());
    if (out == nullptr) return raised();
    return out;
  });
}

PyObject* cs_discard(PyObject* self, PyObject*) {
  return guard([&]() -> Outcome {
    ChangeSetState& s = state_of(self);
    {
      AllowThreads nogil;
      s.changes->discard();
    }
    Py_RETURN_NONE;
  });
}

PyObject* cs_get_pending(PyObject* self, void*) {
  return guard([&]() -> Outcome {
    ChangeSetState& s = state_of(self);
    AllowThreads nogil;
    return PyBool_FromLong(s.changes->pending());
  });
}

PyObject* cs_get_path(PyObject* self, void*) {
  return guard([&]() -> Outcome { return text(state_of(self).changes->lower()); });
}

PyObject* cs_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for ChangeSet");
  return nullptr;
}

void cs_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  guard_dealloc(reinterpret_cast<PyObject*>(type), [&] {
    AllowThreads nogil;  // the last reference removes the scratch
    state_of(self).~ChangeSetState();
  });
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyMethodDef kMethods[] = {
    {"changes", cs_changes, METH_NOARGS,
     "changes($self)\n--\n\n"
     "The run's changes, parents before children, as tuples ``(action, path, kind,\n"
     "size, mode)``: action \"added\", \"modified\" or \"deleted\"; path relative to the\n"
     "work directory; kind \"file\", \"directory\", \"link\" or \"other\" (a FIFO or\n"
     "socket, never applied); size in bytes (a link: its text's); mode the permission\n"
     "bits (deleted: the host entry's). A type change is a deleted row, then an added\n"
     "one. Releases the GIL. RuntimeError once applied or discarded."},
    {"apply", cs_apply, METH_NOARGS,
     "apply($self)\n--\n\n"
     "Write the changes into the host directory, once, and drop the upper layer.\n"
     "Returns ``{\"applied\": n, \"conflicts\": [(path, why)], \"failures\": [(path, why)]}``.\n"
     "A path the host changed since the run began is a conflict and left as the host\n"
     "has it; what fails is left too, with everything under it. The rest is applied.\n"
     "Each file is written whole (a temporary beside it, renamed over it), never\n"
     "through a link, with set-id bits dropped; FIFOs, sockets and devices are refused,\n"
     "and hard links become copies. Releases the GIL."},
    {"discard", cs_discard, METH_NOARGS,
     "discard($self)\n--\n\n"
     "Drop the upper layer; the host directory stays as it is. Idempotent."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"pending", cs_get_pending, nullptr, "True until apply() or discard().", nullptr},
    {"path", cs_get_path, nullptr, "The host directory the changes are for.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("What a run changed in its copy-on-write work directory.")},
    {Py_tp_new, reinterpret_cast<void*>(cs_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(cs_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.ChangeSet",
    static_cast<int>(sizeof(ChangeSetObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyObject* change_set_type() {
  if (g_type == nullptr) g_type = PyType_FromSpec(&kSpec);
  return g_type;
}

Outcome new_change_set(std::shared_ptr<isolation::OverlayChanges> changes) {
  PyObject* type = change_set_type();
  if (type == nullptr) return raised();
  auto tp = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* self = alloc(tp, 0);
  if (self == nullptr) return raised();
  new (&state_of(self)) ChangeSetState(std::move(changes));
  return self;
}

}  // namespace sandbox::py
