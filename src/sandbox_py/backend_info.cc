// BackendInfo: an immutable record of one backend's row and its availability here. No constructor from Python,
// no methods, identity comparison. Interpreter lock held in every entry point.
#include "sandbox_py/backend_info.h"

#include <new>
#include <utility>

#include "sandbox_py/convert.h"

namespace sandbox::py {
namespace {

struct BackendInfoState {
  BackendInfoState(BackendInfoFields f) noexcept : fields(std::move(f)) {}
  const BackendInfoFields fields;
};

struct BackendInfoObject {
  PyObject_HEAD BackendInfoState state;  // placement-constructed right after tp_alloc
};

PyObject* g_type = nullptr;  // write-once, interpreter lock held

const BackendInfoState& state_of(PyObject* self) {
  return reinterpret_cast<BackendInfoObject*>(self)->state;
}

PyObject* text(const std::string& s) {
  return guard([&]() -> Outcome {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  });
}

PyObject* bi_get_kind(PyObject* self, void*) { return text(state_of(self).fields.kind); }
PyObject* bi_get_summary(PyObject* self, void*) { return text(state_of(self).fields.summary); }
PyObject* bi_get_reason(PyObject* self, void*) { return text(state_of(self).fields.reason); }

// A tuple of str, for the list getters.
Outcome text_tuple(const std::vector<std::string>& items) {
  PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  if (!tuple) return raised();
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* item =
        PyUnicode_FromStringAndSize(items[i].data(), static_cast<Py_ssize_t>(items[i].size()));
    if (item == nullptr) return raised();
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), item);  // steals
  }
  return tuple.release();
}

PyObject* bi_get_limits(PyObject* self, void*) {
  return guard([&]() -> Outcome { return text_tuple(state_of(self).fields.limits); });
}

PyObject* bi_get_default_path(PyObject* self, void*) {
  return text(state_of(self).fields.default_path);
}

PyObject* bi_get_isolates(PyObject* self, void*) {
  return guard([&]() -> Outcome { return PyBool_FromLong(state_of(self).fields.isolates); });
}

PyObject* bi_get_names(PyObject* self, void*) {
  return guard([&]() -> Outcome { return text_tuple(state_of(self).fields.names); });
}

PyObject* bi_get_available(PyObject* self, void*) {
  return guard([&]() -> Outcome { return PyBool_FromLong(state_of(self).fields.available); });
}

PyObject* bi_get_waits_for_sandbox(PyObject* self, void*) {
  return guard(
      [&]() -> Outcome { return PyBool_FromLong(state_of(self).fields.waits_for_sandbox); });
}

PyObject* bi_get_holds_limits(PyObject* self, void*) {
  return guard([&]() -> Outcome { return PyBool_FromLong(state_of(self).fields.holds_limits); });
}

PyObject* bi_get_fences(PyObject* self, void*) {
  return guard([&]() -> Outcome { return PyBool_FromLong(state_of(self).fields.fences); });
}

PyObject* bi_get_landlock(PyObject* self, void*) {
  return guard([&]() -> Outcome { return text_tuple(state_of(self).fields.landlock); });
}

PyObject* bi_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for BackendInfo");
  return nullptr;
}

void bi_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  guard_dealloc(reinterpret_cast<PyObject*>(type),
                [&] { reinterpret_cast<BackendInfoObject*>(self)->state.~BackendInfoState(); });
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyGetSetDef kGetSet[] = {
    {"kind", bi_get_kind, nullptr, nullptr, nullptr},
    {"available", bi_get_available, nullptr, nullptr, nullptr},
    {"summary", bi_get_summary, nullptr, nullptr, nullptr},
    {"reason", bi_get_reason, nullptr, nullptr, nullptr},
    {"limits", bi_get_limits, nullptr,
     "The spawn keys whose limits this backend holds here for the whole sandbox:\n"
     "some of memory_bytes, max_processes, cpu_milli (its CPU rate),\n"
     "ephemeral_storage_bytes (/tmp and /dev/shm). Empty where unavailable.",
     nullptr},
    {"names", bi_get_names, nullptr, "Every name spawn's `backend` key accepts for this backend.",
     nullptr},
    {"isolates", bi_get_isolates, nullptr,
     "False when the child sees the host's files and network as the caller does.", nullptr},
    {"default_path", bi_get_default_path, nullptr,
     "The PATH a child whose env sets none gets (DEFAULT_PATH), or \"\" when the\n"
     "backend derives its own from the work directory.",
     nullptr},
    {"waits_for_sandbox", bi_get_waits_for_sandbox, nullptr,
     "True when spawn returns only once a whole sandbox is up (milliseconds of\n"
     "waiting for other processes), False when it returns at the program's exec.",
     nullptr},
    {"holds_limits", bi_get_holds_limits, nullptr,
     "True for a backend that holds whole-sandbox limits where the host lets it\n"
     "(`limits` names those it holds here); False for one that holds none by design.",
     nullptr},
    {"fences", bi_get_fences, nullptr,
     "True when, under a filtered policy (allowlist, or open with a deny list), the\n"
     "child reaches only the loopback proxies its proxy variables name: its own\n"
     "network namespace, where loopback is its own.",
     nullptr},
    {"landlock", bi_get_landlock, nullptr,
     "The Landlock layers the backend applies on this kernel: some of \"Landlock\"\n"
     "(file rules) and \"Landlock scoping\" (abstract sockets, signals).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Backend kind for `available_backends()` reporting.")},
    {Py_tp_new, reinterpret_cast<void*>(bi_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(bi_dealloc)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.BackendInfo",
    static_cast<int>(sizeof(BackendInfoObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyObject* backend_info_type() {
  if (g_type == nullptr) g_type = PyType_FromSpec(&kSpec);
  return g_type;
}

Outcome new_backend_info(BackendInfoFields fields) {
  PyObject* type = backend_info_type();
  if (type == nullptr) return raised();
  auto tp = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* self = alloc(tp, 0);
  if (self == nullptr) return raised();
  new (&reinterpret_cast<BackendInfoObject*>(self)->state) BackendInfoState(std::move(fields));
  return self;
}

}  // namespace sandbox::py
