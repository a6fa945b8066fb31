// spawn(spec_dict): reads the caller's dictionary key by key in a fixed order, validates
// it, builds the SandboxSpec and launches through the selected backend. Reads Python
// objects only with the interpreter lock held; the Linux backends launch without it. A
// call that fails creates nothing (no child, no file).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "sandbox_core/backend/backend.h"
#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/base/platform.h"
#include "sandbox_core/base/quoted.h"
#include "sandbox_core/launch/supervision.h"
#include "sandbox_core/netfilter/filter.h"
#include "sandbox_core/spec/sandbox_spec.h"
#include "sandbox_py/convert.h"
#include "sandbox_py/functions.h"
#include "sandbox_py/local_process.h"

namespace sandbox::py {
namespace {

// Lookups go through the dict protocol only (no __getitem__ override of a subclass is
// consulted), one key at a time, so the first failure ends the reading.
class SpecReader {
 public:
  explicit SpecReader(PyObject* dict) : dict_(dict) {}

  // An owned reference to the value, or an empty PyRef when the key is absent.
  Converted<PyRef> get(const char* key) {
    PyRef name(PyUnicode_FromString(key));
    if (!name) return raised();
    PyObject* value = PyDict_GetItemWithError(dict_, name.get());
    if (value == nullptr && PyErr_Occurred()) return raised();
    return PyRef::borrowed(value);
  }

  template <class T, class Convert>
  Converted<std::optional<T>> read(const char* key, Convert convert) {
    SANDBOX_ASSIGN_OR_RETURN(PyRef value, get(key));
    if (!value) return std::optional<T>();
    SANDBOX_ASSIGN_OR_RETURN(auto converted, convert(value.get()));
    return std::optional<T>(std::move(converted));
  }

  Converted<std::optional<std::string>> text(const char* key) {
    return read<std::string>(key, to_text);
  }
  // "" counts as absent.
  Converted<std::optional<std::string>> non_empty_text(const char* key) {
    auto t = text(key);
    if (t && *t && (*t)->empty()) return std::optional<std::string>();
    return t;
  }
  Converted<std::vector<std::string>> text_list(const char* key) {
    SANDBOX_ASSIGN_OR_RETURN(auto l, read<std::vector<std::string>>(key, to_text_list));
    return l.value_or(std::vector<std::string>{});
  }

 private:
  PyObject* dict_;
};

Unexpected<BindError> missing_key(std::string_view key) {
  return value_error("missing required key " + quoted_form(key));
}

Converted<ScriptKind> read_script(SpecReader& r) {
  SANDBOX_ASSIGN_OR_RETURN(auto script_type, r.text("script_type"));
  const std::string kind = script_type.value_or("shell");
  if (kind == "argv") {
    SANDBOX_ASSIGN_OR_RETURN(auto argv, r.read<std::vector<std::string>>("argv", to_text_list));
    if (!argv) return missing_key("argv");
    if (argv->empty()) return value_error("argv must not be empty");
    return ScriptKind(ArgvScript{std::move(*argv)});
  }
  if (kind == "shell" || kind == "python") {
    SANDBOX_ASSIGN_OR_RETURN(auto input, r.text("input"));
    if (!input) return missing_key("input");
    if (kind == "shell") return ScriptKind(ShellScript{std::move(*input)});
    SANDBOX_ASSIGN_OR_RETURN(auto interpreter, r.text("python_interpreter"));
    return ScriptKind(PythonScript{interpreter.value_or("python3"), std::move(*input)});
  }
  // Checked before any other key is read.
  return value_error("unknown script_type " + quoted_form(kind));
}

Converted<NetworkPolicy> network_policy(const std::string& mode,
                                        const std::vector<std::string>& allow,
                                        const std::vector<std::string>& deny) {
  // The mode decides whether there is an allow list; the one builder does the rest.
  auto build = [&](std::optional<std::vector<std::string>> allow_list) -> Converted<NetworkPolicy> {
    auto filter = netfilter::build_filter(allow_list, deny);
    if (!filter) {
      return fail(from_filter_error("network_allowlist", "network_denylist", filter.error()));
    }
    return NetworkPolicy(NetworkFiltered{std::move(*filter)});
  };
  if (mode == "allowlist") {
    if (allow.empty()) {
      return value_error("network_mode='allowlist' requires network_allowlist=[...]");
    }
    return build(allow);
  }
  if (mode == "blocked") {
    if (!allow.empty()) {
      return value_error("network_allowlist is only valid with network_mode='allowlist'");
    }
    if (!deny.empty()) {
      return value_error("network_denylist is only valid with network_mode='open' or 'allowlist'");
    }
    return NetworkPolicy(NetworkBlocked{});
  }
  if (mode == "open") {
    if (!allow.empty()) {
      return value_error("network_allowlist is only valid with network_mode='allowlist'");
    }
    if (deny.empty()) return NetworkPolicy(NetworkOpen{});
    return build(std::nullopt);
  }
  return value_error("network_mode must be 'blocked', 'open', or 'allowlist'; got " +
                     quoted_form(mode));
}

// Negative and NaN mean no timeout. A duration of 2^63 s or more (infinity included),
// or one whose deadline from now would overflow the monotonic clock, is refused here,
// before anything is launched.
Converted<Timeout> convert_timeout(PyObject* obj) {
  double t = 60.0;
  if (obj != nullptr) {
    t = PyFloat_AsDouble(obj);
    if (t == -1.0 && PyErr_Occurred()) return raised();
  }
  if (std::isnan(t) || t < 0.0) t = 0.0;
  constexpr double kTwoPow63 = 9223372036854775808.0;
  if (t >= kTwoPow63) return overflow_error("timeout_s is too large");
  double whole = std::floor(t);
  Timeout timeout;
  timeout.seconds = static_cast<uint64_t>(whole);
  auto nanos = static_cast<uint64_t>(std::llround((t - whole) * 1e9));
  if (nanos >= 1'000'000'000) {
    timeout.seconds += 1;
    nanos -= 1'000'000'000;
  }
  timeout.nanos = static_cast<uint32_t>(nanos);
  using std::chrono::seconds;
  const auto headroom =
      std::chrono::duration_cast<seconds>(MonoClock::time_point::max() - MonoClock::now());
  // One second of slack covers the nanoseconds and the launch time.
  if (timeout.seconds >= static_cast<uint64_t>(headroom.count()) - 1) {
    return overflow_error("timeout_s is too large");
  }
  return timeout;
}

Deadline deadline_after(const Timeout& timeout) {
  if (timeout.is_zero()) return std::nullopt;
  const auto now = MonoClock::now();
  const auto room = MonoClock::time_point::max() - now;
  const auto span = std::chrono::seconds(timeout.seconds) + std::chrono::nanoseconds(timeout.nanos);
  // Unreachable after convert_timeout's check except by centuries of uptime; saturate.
  if (std::chrono::duration_cast<std::chrono::seconds>(room).count() <=
      static_cast<int64_t>(timeout.seconds)) {
    return MonoClock::time_point::max();
  }
  return now + std::chrono::duration_cast<MonoClock::duration>(span);
}

// A forwarding descriptor: the caller's number, checked open and duplicated now
// (close-on-exec), so the caller may close theirs at any time and the drains never write
// into a number that was reused meanwhile. Absent gives an empty UniqueFd.
Converted<UniqueFd> forward_fd(SpecReader& r, const char* key) {
  SANDBOX_ASSIGN_OR_RETURN(auto number, r.read<int>(key, to_fd_number));
  if (!number) return UniqueFd();
  auto dup = dup_cloexec(*number);
  if (dup) return std::move(*dup);
  if (dup.error().code == EBADF) return value_error(key + (": " + dup.error().text()));
  return fail(from_io_error(key, dup.error()));
}

// What kind of descriptor `fd` is, when the child may not read it as it is; null for a
// pipe, a socket or a regular file (fed through a pipe at the launch).
const char* refused_input_kind(int fd) {
#ifdef O_PATH
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & O_PATH) == O_PATH) return "an O_PATH descriptor";
#endif
  struct stat st;
  if (::fstat(fd, &st) != 0) return "a descriptor that cannot be examined";
  switch (st.st_mode & S_IFMT) {
    case S_IFIFO:
    case S_IFSOCK:
    case S_IFREG:
      return nullptr;
    case S_IFDIR:
      return "a directory";
    case S_IFCHR:
      return "a character device";
    case S_IFBLK:
      return "a block device";
    case S_IFLNK:
      return "a symbolic link";
    default:
      return "an anonymous inode (such as an eventfd)";
  }
}

// The child's standard input: the caller's descriptor, duplicated now like a forwarding
// one. A terminal is refused: with it, untrusted code could push input into the caller's
// shell (TIOCSTI) or read what the user types next. So is anything the child could reopen
// through /proc/self/fd/0 into more than it was (a directory, an O_PATH descriptor, a
// device); the null device is taken as no input.
Converted<UniqueFd> stdin_source(SpecReader& r) {
  SANDBOX_ASSIGN_OR_RETURN(auto fd, forward_fd(r, "stdin_fd"));
  if (!fd) return fd;
  if (::isatty(fd.get()) == 1) {
    return value_error("stdin_fd: a terminal is not passed to the child; pipe it through");
  }
  struct stat st, null_st;
  if (::fstat(fd.get(), &st) == 0 && S_ISCHR(st.st_mode) && ::stat("/dev/null", &null_st) == 0 &&
      S_ISCHR(null_st.st_mode) && st.st_rdev == null_st.st_rdev) {
    return UniqueFd();
  }
  if (const char* kind = refused_input_kind(fd.get())) {
    return value_error(std::string("stdin_fd: ") + kind +
                       " is not passed to the child; pass a pipe, a socket or a regular file");
  }
  return fd;
}

// A backend refused by name, or another failure of the launch.
using LaunchFailure = std::variant<BackendRefusal, BindError>;

struct Launched {
  SandboxChild child;
  Deadline deadline;
  std::string kind_name;
};

// Selection, the launch and the deadline, from the finished SandboxSpec. Touches no
// Python object, so a kind whose launch waits for a whole sandbox to come up (and its
// first-use probe, a trial sandbox) runs with the interpreter lock released: other
// threads, an event loop among them, keep running meanwhile. The others launch with the
// lock held, as their launch returns once vfork does.
Result<Launched, LaunchFailure> launch_selected(const std::string& name, const SandboxSpec& spec) {
  auto launch = [&]() -> Result<Launched, LaunchFailure> {
    auto backend = select_backend(name);
    if (!backend) return fail(LaunchFailure(std::move(backend).error()));
    std::string kind_name(backend_kind_name((*backend)->kind()));
    auto child = (*backend)->spawn(spec);
    if (!child) return fail(LaunchFailure(from_sandbox_error(child.error())));
    // The timeout counts from the moment the child has started.
    return Launched{std::move(*child), deadline_after(spec.timeout), std::move(kind_name)};
  };
  const BackendRow* row = find_backend_row(name);
  if (row == nullptr || row->wait != LaunchWait::UntilSandboxUp) return launch();
  AllowThreads nogil;
  return launch();
}

// The refusal of a backend by name. One that exists but cannot run here carries what is
// missing as the exception's `reason` and as a note, as `available_backends()` reports it.
Outcome refuse_backend(const BackendRefusal& refusal) {
  if (refusal.why != BackendRefusal::Why::Unavailable) return runtime_error(refusal.message());
  const std::string message = refusal.message();
  const std::string& reason = refusal.reason;
  PyRef exc(PyObject_CallFunction(PyExc_RuntimeError, "s#", message.data(),
                                  static_cast<Py_ssize_t>(message.size())));
  if (!exc) return raised();
  PyRef why(PyUnicode_FromStringAndSize(reason.data(), static_cast<Py_ssize_t>(reason.size())));
  if (!why || PyObject_SetAttrString(exc.get(), "reason", why.get()) < 0) return raised();
  const std::string note = std::string(backend_row(refusal.kind).listed_name) + ": " + reason;
  if (PyObject_HasAttrString(exc.get(), "add_note")) {  // 3.11 and later
    PyRef added(PyObject_CallMethod(exc.get(), "add_note", "s#", note.data(),
                                    static_cast<Py_ssize_t>(note.size())));
    if (!added) return raised();
  } else {
    PyRef notes(Py_BuildValue("[s#]", note.data(), static_cast<Py_ssize_t>(note.size())));
    if (!notes || PyObject_SetAttrString(exc.get(), "__notes__", notes.get()) < 0) return raised();
  }
  PyErr_SetObject(PyExc_RuntimeError, exc.get());
  return raised();
}

Outcome spawn_impl(PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 1> kNames = {"spec_dict"};
  std::array<PyObject*, 1> argv{};
  SANDBOX_TRY(parse_arguments("spawn", kNames, 1, args, kwargs, argv));
  PyObject* dict = argv[0];
  if (!PyDict_Check(dict)) return fail(for_argument("spec_dict", conversion_error(dict, "PyDict")));

  SpecReader r(dict);
  SandboxSpec spec;
  SANDBOX_ASSIGN_OR_RETURN(auto script, read_script(r));
  spec.script = std::move(script);

  using TextMap = std::map<std::string, std::string>;
  SANDBOX_ASSIGN_OR_RETURN(auto env, r.read<TextMap>("env", to_text_map));
  if (env) spec.env = std::move(*env);
  SANDBOX_ASSIGN_OR_RETURN(auto host_work_dir, r.non_empty_text("host_work_dir"));
  spec.host_work_dir = std::move(host_work_dir);
  SANDBOX_ASSIGN_OR_RETURN(auto working_dir, r.non_empty_text("working_dir"));
  spec.default_work_dir = !working_dir && !spec.host_work_dir;
  spec.work_dir = working_dir          ? std::move(*working_dir)
                  : spec.host_work_dir ? *spec.host_work_dir
                                       : system_temp_dir();

  // Looked up now, converted only after the network and path keys.
  SANDBOX_ASSIGN_OR_RETURN(auto timeout_obj, r.get("timeout_s"));

  SANDBOX_ASSIGN_OR_RETURN(auto cpu_milli, r.read<uint32_t>("cpu_milli", to_u32));
  spec.cpu_milli = cpu_milli.value_or(0);
  SANDBOX_ASSIGN_OR_RETURN(auto memory_bytes, r.read<uint64_t>("memory_bytes", to_u64));
  spec.memory_bytes = memory_bytes.value_or(0);
  SANDBOX_ASSIGN_OR_RETURN(auto gpu, r.read<uint32_t>("gpu", to_u32));
  spec.gpu = gpu.value_or(0);
  SANDBOX_ASSIGN_OR_RETURN(auto storage, r.read<uint64_t>("ephemeral_storage_bytes", to_u64));
  spec.ephemeral_storage_bytes = storage.value_or(0);
  SANDBOX_ASSIGN_OR_RETURN(auto max_processes, r.read<uint32_t>("max_processes", to_u32));
  if (max_processes && *max_processes == 0) {
    return value_error("max_processes must be at least 1");
  }
  spec.max_processes = max_processes.value_or(0);
  SANDBOX_ASSIGN_OR_RETURN(auto require_limits, r.read<bool>("require_limits", to_bool));
  spec.require_limits = require_limits.value_or(false);

  SANDBOX_ASSIGN_OR_RETURN(auto mode, r.text("network_mode"));
  SANDBOX_ASSIGN_OR_RETURN(auto allow, r.text_list("network_allowlist"));
  SANDBOX_ASSIGN_OR_RETURN(auto deny, r.text_list("network_denylist"));
  SANDBOX_ASSIGN_OR_RETURN(auto network, network_policy(mode.value_or("blocked"), allow, deny));
  spec.network = std::move(network);

  SANDBOX_ASSIGN_OR_RETURN(auto extra_ro, r.text_list("extra_read_only_paths"));
  spec.extra_read_only_paths = std::move(extra_ro);
  SANDBOX_ASSIGN_OR_RETURN(auto extra_rw, r.text_list("extra_read_write_paths"));
  spec.extra_read_write_paths = std::move(extra_rw);

  SANDBOX_ASSIGN_OR_RETURN(auto timeout, convert_timeout(timeout_obj.get()));
  spec.timeout = timeout;

  SANDBOX_ASSIGN_OR_RETURN(auto capture_stdout, r.read<bool>("capture_stdout", to_bool));
  spec.capture_stdout = capture_stdout.value_or(true);
  SANDBOX_ASSIGN_OR_RETURN(auto capture_stderr, r.read<bool>("capture_stderr", to_bool));
  spec.capture_stderr = capture_stderr.value_or(true);
  SANDBOX_ASSIGN_OR_RETURN(auto backend_name, r.text("backend"));

  SANDBOX_ASSIGN_OR_RETURN(auto stdout_fd, forward_fd(r, "stdout_fd"));
  SANDBOX_ASSIGN_OR_RETURN(auto stderr_fd, forward_fd(r, "stderr_fd"));
  SANDBOX_ASSIGN_OR_RETURN(auto merge, r.read<bool>("stderr_to_stdout", to_bool));
  spec.stderr_to_stdout = merge.value_or(false);
  ForwardFds forward{std::move(stdout_fd), std::move(stderr_fd)};
  SANDBOX_ASSIGN_OR_RETURN(auto max_output, r.read<uint64_t>("max_output_bytes", to_u64));
  if (max_output && *max_output > OUTPUT_CAP_BYTES) {
    return value_error("max_output_bytes must be at most " + std::to_string(OUTPUT_CAP_BYTES));
  }
  SANDBOX_ASSIGN_OR_RETURN(auto tail, r.read<bool>("output_tail", to_bool));
  OutputBound bound{static_cast<size_t>(max_output.value_or(OUTPUT_CAP_BYTES)),
                    tail.value_or(false) ? OutputBound::Keep::Tail : OutputBound::Keep::Head};
  SANDBOX_ASSIGN_OR_RETURN(auto stdin_fd, stdin_source(r));
  spec.stdin_fd = stdin_fd ? stdin_fd.get() : -1;  // open until the launch returns

  auto launched =
      launch_selected(backend_name.value_or(std::string(backend_kind_name(kDefaultBackend))), spec);
  if (!launched) {
    if (auto* refusal = std::get_if<BackendRefusal>(&launched.error())) {
      return refuse_backend(*refusal);
    }
    return fail(std::get<BindError>(std::move(launched.error())));
  }
  return new_local_process(std::move(launched->child), launched->deadline,
                           std::move(launched->kind_name), std::move(forward), bound);
}

PyObject* spawn(PyObject*, PyObject* args, PyObject* kwargs) {
  return guard([&] { return spawn_impl(args, kwargs); });
}

}  // namespace

PyMethodDef kSpawnDef = {
    "spawn", as_cfunction(spawn), METH_VARARGS | METH_KEYWORDS,
    "spawn(spec_dict)\n--\n\n"
    "Launch a child process described by `spec_dict` and return a `LocalProcess`.\n"
    "\n"
    "The keys are read and validated in this order; unknown keys are ignored. A key\n"
    "counts as absent only when it is missing (a value of None is a wrong type).\n"
    "\n"
    "- script_type: \"shell\", \"python\" or \"argv\". Default \"shell\".\n"
    "- argv (script_type \"argv\" only): non-empty list of str. Required.\n"
    "- input (\"shell\" and \"python\"): str, the script source. Required.\n"
    "- python_interpreter (\"python\" only): str. Default \"python3\".\n"
    "- env: dict of str to str, the child's whole environment. Default {}.\n"
    "- host_work_dir: str; \"\" counts as absent. Where the child runs.\n"
    "- working_dir: str; \"\" counts as absent. Default: host_work_dir, else the\n"
    "  system temporary directory.\n"
    "- timeout_s: float (or int) seconds from spawn; 0, negative or NaN means no\n"
    "  timeout; a value the monotonic clock cannot hold as a deadline (centuries,\n"
    "  2**63 or more, inf) raises OverflowError. Default 60.0.\n"
    "- cpu_milli: int in 0..2**32-1. Default 0 (not set).\n"
    "- memory_bytes: int in 0..2**64-1. Default 0 (not set).\n"
    "- gpu: int in 0..2**32-1. Default 0 (not set).\n"
    "- ephemeral_storage_bytes: int in 0..2**64-1, file-size limit. Default 0.\n"
    "- max_processes: int in 1..2**32-1, processes and threads of the whole sandbox\n"
    "  (Linux backends). Default: 1024 there, no limit elsewhere.\n"
    "- network_mode: \"blocked\", \"open\" or \"allowlist\". Default \"blocked\".\n"
    "- network_allowlist: list of str (CIDR blocks, addresses, names, \"*.\" wildcards);\n"
    "  required and only valid with \"allowlist\". Default [].\n"
    "- network_denylist: list of str, same grammar; only valid with \"open\" or\n"
    "  \"allowlist\". Default [].\n"
    "- extra_read_only_paths: list of str. Default [].\n"
    "- extra_read_write_paths: list of str. Default [].\n"
    "- capture_stdout: bool. Default True (False sends it to the null device).\n"
    "- capture_stderr: bool. Default True.\n"
    "- backend: \"sandbox-exec\" (or \"sandboxexec\"), \"none\", \"bubblewrap\" (or\n"
    "  \"bwrap\"), \"userns\" (or \"userns-lite\"). Default \"bubblewrap\". Never falls back:\n"
    "  an unknown or unavailable backend raises RuntimeError; for an unavailable one\n"
    "  the exception's `reason` attribute and its note (__notes__) say what is missing.\n"
    "- stdout_fd, stderr_fd: int, an open descriptor of the caller. The stream is\n"
    "  written there as it arrives instead of being kept: not capped, and it collects\n"
    "  as b\"\". The child still writes into a pipe, never into the descriptor. It is\n"
    "  duplicated (close-on-exec) at spawn and never closed by the module; a failing\n"
    "  write (the reader went away) raises no SIGPIPE and the rest is discarded.\n"
    "  Ignored when the stream is not captured. Default: not forwarded.\n"
    "- stderr_to_stdout: bool. The child's stderr is its stdout (as with 2>&1), so\n"
    "  the two keep their order; stderr then collects as b\"\" and capture_stderr and\n"
    "  stderr_fd have no effect. Default False.\n"
    "- stdin_fd: int, an open descriptor of the caller that the child reads as its\n"
    "  standard input (duplicated at spawn; the caller may close theirs). A pipe or\n"
    "  a socket is passed as it is; a regular file is fed through a pipe from its\n"
    "  current offset; the null device counts as absent. A terminal, a directory,\n"
    "  an O_PATH descriptor or another device raises ValueError naming the kind.\n"
    "  Default: the null device.\n"
    "- max_output_bytes: int in 0..268435456, what each kept stream keeps at most\n"
    "  (collect and read_stdout/read_stderr); the rest is read and dropped, and a\n"
    "  notice (\"ventra.sandbox: stdout exceeded N bytes; truncated\") goes to our\n"
    "  stderr. Default 268435456 (256 MiB).\n"
    "- output_tail: bool. Keep the last max_output_bytes of each stream instead of the\n"
    "  first (the notice then ends \"kept the last N\"); it holds at most twice that\n"
    "  (or N + 64 KiB) while it reads. Default False.\n"
    "\n"
    "Under \"bubblewrap\" and \"userns\" the limits hold for the whole sandbox where\n"
    "this host can enforce them (BackendInfo.limits lists which): memory_bytes, tmpfs\n"
    "and swap included (past it the sandbox is killed, 137, and\n"
    "LocalProcess.memory_limit_exceeded is True), max_processes, cpu_milli as a CPU\n"
    "rate (500 is half a CPU), and /tmp with /dev/shm at most ephemeral_storage_bytes\n"
    "(1 GiB when 0). A limit asked for that this host cannot enforce is a WARN event;\n"
    "the spawn goes on, unless require_limits is True (default False): the spawn then\n"
    "raises RuntimeError (\"spawn: isolation hardening unavailable: ...\") naming it.\n"
    "\n"
    "Raises TypeError for wrong types, ValueError for invalid values, OverflowError\n"
    "for out-of-range numbers and RuntimeError (\"spawn: ...\") if the launch fails;\n"
    "ValueError names stdout_fd, stderr_fd or stdin_fd when it is not an open descriptor.\n"
    "\n"
    "A shell or Python script longer than one argument may be (128 KiB) is passed in\n"
    "a sealed memory file at descriptor 5, from which the child reads it."};

}  // namespace sandbox::py
