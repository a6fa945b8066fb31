// The logging bridge's native half: the event queue's sink installed at a level that
// follows the Python logger, and the functions through which the thread of
// ventra.sandbox._events waits for records and takes them. Called with the interpreter
// lock held; the wait releases it first. Not in __all__.
#include <chrono>
#include <cmath>

#include "sandbox_core/events/bridge.h"
#include "sandbox_core/netfilter/filter.h"
#include "sandbox_py/convert.h"
#include "sandbox_py/functions.h"

namespace sandbox::py {
namespace {

// A `logging` level to the most verbose event level it lets through.
events::Level event_level(long logging_level) {
  if (logging_level <= 0) return events::Level::Warn;  // NOTSET: the default, WARNING
  if (logging_level <= 5) return events::Level::Trace;
  if (logging_level <= 10) return events::Level::Debug;
  if (logging_level <= 20) return events::Level::Info;
  if (logging_level <= 30) return events::Level::Warn;
  if (logging_level <= 40) return events::Level::Error;
  return events::Level::Off;
}

int logging_level(events::Level level) {
  switch (level) {
    case events::Level::Error:
      return 40;
    case events::Level::Warn:
      return 30;
    case events::Level::Info:
      return 20;
    case events::Level::Debug:
      return 10;
    case events::Level::Trace:
      return 5;
    case events::Level::Off:
      break;
  }
  return 0;
}

void follow_level(long logging) {
  events::set_sink(&events::EventQueue::instance(), event_level(logging));
}

// Text from the core, which may carry bytes a client sent: decoded with replacement.
PyRef text_or_none(const std::string& s) {
  if (s.empty()) return PyRef::borrowed(Py_None);
  return PyRef(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

Converted<long> level_argument(PyObject* obj) {
  long level = PyLong_AsLong(obj);
  if (level == -1 && PyErr_Occurred()) return raised();
  return level;
}

// _wait_events(wait_s, level): follows `level`, then waits up to `wait_s` for a record.
PyObject* wait_events(PyObject*, PyObject* args) {
  return guard([&]() -> Outcome {
    double wait_s = 0;
    long level = 0;
    if (!PyArg_ParseTuple(args, "dl:_wait_events", &wait_s, &level)) return raised();
    follow_level(level);
    if (!(wait_s > 0)) wait_s = 0;
    const auto wait =
        std::chrono::milliseconds(static_cast<int64_t>(std::fmin(wait_s, 3600) * 1000));
    bool ready;
    {
      AllowThreads nogil;
      ready = events::EventQueue::instance().wait(wait);
    }
    return PyBool_FromLong(ready);
  });
}

// _take_events(level): follows `level`; returns ([(level, target, message, destination,
// proxy, reason, refused), ...], dropped).
PyObject* take_events(PyObject*, PyObject* arg) {
  return guard([&]() -> Outcome {
    auto level = level_argument(arg);
    if (!level) return fail(std::move(level).error());
    follow_level(*level);
    uint64_t dropped = 0;
    std::vector<events::Record> records = events::EventQueue::instance().take(dropped);
    PyRef list(PyList_New(0));
    if (!list) return raised();
    for (const auto& r : records) {
      PyRef target(
          PyUnicode_FromStringAndSize(r.target.data(), static_cast<Py_ssize_t>(r.target.size())));
      PyRef message = text_or_none(r.message);
      PyRef destination = text_or_none(r.destination);
      PyRef proxy = text_or_none(r.proxy);
      PyRef reason = text_or_none(r.reason);
      if (!target || !message || !destination || !proxy || !reason) return raised();
      PyRef item(Py_BuildValue("(iOOOOOO)", logging_level(r.level), target.get(), message.get(),
                               destination.get(), proxy.get(), reason.get(),
                               r.refused ? Py_True : Py_False));
      if (!item || PyList_Append(list.get(), item.get()) != 0) return raised();
    }
    return Py_BuildValue("(OK)", list.get(), static_cast<unsigned long long>(dropped));
  });
}

// _never_matching(entries): "entry ... can never match: ..." for each entry of a list
// that parses but can never match, in order.
PyObject* never_matching(PyObject*, PyObject* arg) {
  return guard([&]() -> Outcome {
    auto entries = to_text_list(arg);
    if (!entries) return fail(for_argument("entries", std::move(entries).error()));
    PyRef list(PyList_New(0));
    if (!list) return raised();
    for (const std::string& entry : *entries) {
      auto why = netfilter::never_matches(entry);
      if (!why) continue;
      const std::string text = netfilter::never_matches_message(entry, *why);
      PyRef item(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
      if (!item || PyList_Append(list.get(), item.get()) != 0) return raised();
    }
    return list.release();
  });
}

}  // namespace

void install_event_queue() {
  static bool installed = false;  // interpreter lock held
  if (installed) return;
  installed = true;
  // WARNING, the logger's default, until the taking thread reads the logger's level.
  follow_level(0);
}

void start_event_bridge() {
  static bool started = false;  // interpreter lock held
  if (started) return;
  PyRef module(PyImport_ImportModule("ventra.sandbox._events"));
  PyRef done(module ? PyObject_CallMethod(module.get(), "_start", nullptr) : nullptr);
  // The core works without it: its events then wait in the bounded queue (or are
  // dropped) until the next call of _take_events.
  if (!done) {
    PyErr_Clear();
    return;
  }
  started = true;
}

PyMethodDef kWaitEventsDef = {"_wait_events", wait_events, METH_VARARGS, nullptr};
PyMethodDef kTakeEventsDef = {"_take_events", take_events, METH_O, nullptr};
PyMethodDef kNeverMatchingDef = {"_never_matching", never_matching, METH_O, nullptr};

}  // namespace sandbox::py
