// Usage records and egress logs turned into dicts. A host name is the client's bytes:
// decoded with surrogateescape, so any bytes survive as data and nothing is guessed.
#include "sandbox_py/run_record.h"

#include <algorithm>
#include <vector>

#include "sandbox_py/convert.h"

namespace sandbox::py {
namespace {

enum class Kind { Seconds, Count, Flag };

struct FigureRow {
  const char* name;
  Figure Usage::*figure;
  Kind kind;
};

constexpr FigureRow kFigures[] = {
    {"wall_s", &Usage::wall_ns, Kind::Seconds},
    {"cpu_user_s", &Usage::cpu_user_ns, Kind::Seconds},
    {"cpu_system_s", &Usage::cpu_system_ns, Kind::Seconds},
    {"peak_memory_bytes", &Usage::peak_memory_bytes, Kind::Count},
    {"peak_rss_bytes", &Usage::peak_rss_bytes, Kind::Count},
    {"max_processes", &Usage::max_processes, Kind::Count},
    {"io_read_bytes", &Usage::io_read_bytes, Kind::Count},
    {"io_write_bytes", &Usage::io_write_bytes, Kind::Count},
    {"oom_killed", &Usage::oom_killed, Kind::Flag},
};

PyObject* figure_value(const Figure& f, Kind kind) {
  if (!f.known) {
    Py_INCREF(Py_None);
    return Py_None;
  }
  switch (kind) {
    case Kind::Seconds:
      return PyFloat_FromDouble(static_cast<double>(f.value) / 1e9);
    case Kind::Flag:
      return PyBool_FromLong(f.value != 0);
    case Kind::Count:
      break;
  }
  return PyLong_FromUnsignedLongLong(f.value);
}

PyObject* text(const std::string& s, const char* errors = "strict") {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), errors);
}

PyObject* text_or_none(const std::string& s) {
  if (s.empty()) {
    Py_INCREF(Py_None);
    return Py_None;
  }
  return text(s, "surrogateescape");
}

// Sets d[key] = value, taking the new reference; false with an error set.
bool put(PyObject* d, const char* key, PyObject* value) {
  PyRef v(value);
  return v && PyDict_SetItemString(d, key, v.get()) == 0;
}

const char* verdict_name(EgressVerdict v) {
  switch (v) {
    case EgressVerdict::Admitted:
      return "admitted";
    case EgressVerdict::Refused:
      return "refused";
    case EgressVerdict::Failed:
      return "failed";
  }
  return "refused";
}

PyObject* entry_dict(const EgressEntry& e) {
  PyRef d(PyDict_New());
  if (!d) return nullptr;
  auto count = [&](uint64_t v) -> PyObject* {
    if (e.tunnel) return PyLong_FromUnsignedLongLong(v);
    Py_INCREF(Py_None);
    return Py_None;
  };
  PyObject* duration = e.tunnel ? PyFloat_FromDouble(static_cast<double>(e.duration_ns) / 1e9)
                                : (Py_INCREF(Py_None), Py_None);
  const bool ok = put(d.get(), "time", PyFloat_FromDouble(static_cast<double>(e.time_ns) / 1e9)) &&
                  put(d.get(), "protocol", PyUnicode_FromString(e.protocol)) &&
                  put(d.get(), "host", text(e.host, "surrogateescape")) &&
                  put(d.get(), "port", PyLong_FromLong(e.port)) &&
                  put(d.get(), "address", text_or_none(e.address)) &&
                  put(d.get(), "verdict", PyUnicode_FromString(verdict_name(e.verdict))) &&
                  put(d.get(), "reason", text_or_none(e.reason)) &&
                  put(d.get(), "bytes_up", count(e.bytes_up)) &&
                  put(d.get(), "bytes_down", count(e.bytes_down)) &&
                  put(d.get(), "duration_s", duration);
  return ok ? d.release() : nullptr;
}

}  // namespace

Outcome usage_dict(const Usage& usage) {
  PyRef d(PyDict_New());
  PyRef sources(PyDict_New());
  if (!d || !sources) return raised();
  for (const auto& row : kFigures) {
    const Figure& f = usage.*row.figure;
    if (!put(d.get(), row.name, figure_value(f, row.kind))) return raised();
    if (!put(sources.get(), row.name, PyUnicode_FromString(f.source))) return raised();
  }
  if (PyDict_SetItemString(d.get(), "sources", sources.get()) != 0) return raised();
  return d.release();
}

Outcome egress_tuple(const EgressLog::Snapshot* const* logs, size_t count) {
  std::vector<const EgressEntry*> all;
  uint64_t dropped = 0;
  for (size_t i = 0; i < count; ++i) {
    for (const auto& e : logs[i]->entries) all.push_back(&e);
    dropped += logs[i]->dropped;
  }
  std::stable_sort(all.begin(), all.end(),
                   [](const EgressEntry* a, const EgressEntry* b) { return a->time_ns < b->time_ns; });
  PyRef list(PyList_New(static_cast<Py_ssize_t>(all.size())));
  if (!list) return raised();
  for (size_t i = 0; i < all.size(); ++i) {
    PyObject* item = entry_dict(*all[i]);
    if (item == nullptr) return raised();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
  }
  return Py_BuildValue("(OK)", list.get(), static_cast<unsigned long long>(dropped));
}

}  // namespace sandbox::py
