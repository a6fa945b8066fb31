// The persistent sandbox: the control channel's host side, its reader thread, and the
// commands' waits, kills and collects. Locks: ControlCore::m guards the table and the
// state; ControlCore::send_m orders the requests; neither is held across a wait on the
// other or across a blocking read.
#include "sandbox_core/backend/persistent.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <atomic>
#include <mutex>
#include <sys/stat.h>

#include "sandbox_core/backend/sandboxed.h"
#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/base/thread.h"
#include "sandbox_core/isolation/cgroup.h"
#include "sandbox_core/launch/control_record.h"
#include "sandbox_core/launch/launch.h"

namespace sandbox {

namespace ld = launch_detail;

struct ControlCore {
  struct Entry {
    bool started = false, exited = false, acked = false;
    bool dropped = false;  // its handle is gone: forgotten at its exit
    int32_t pid = -1, error = 0;
    int status = 0;
    CommandUsage usage;
  };
  std::mutex m;
  std::condition_variable cv;
  std::map<uint32_t, Entry> entries;
  uint32_t next_id = 1;
  bool ended = false;
  SandboxState end_state = SandboxState::Running;
  bool frozen = false;
  UniqueFd control;  // the host's end; shut down, never closed, until the core goes
  SandboxChild init;
  pid_t init_pid = -1;  // while the record is not reaped
  ThreadHandle reader;
  std::mutex send_m;
  std::mutex end_m;  // one finish() at a time
  // The sandbox's end by the clock, which the reader keeps: its lifetime, and its idle
  // time once no command runs. Frozen or not, the clock runs on.
  MonoClock::time_point expires = MonoClock::time_point::max();
  std::chrono::milliseconds idle_timeout{0};
  MonoClock::time_point idle_since{};
  std::string freeze_file;  // v2 cgroup.freeze or v1 freezer.state; empty: none

  bool running_locked() const {
    for (const auto& [id, e] : entries) {
      if (!e.exited) return true;
    }
    return false;
  }
  MonoClock::time_point end_at_locked() const {
    if (idle_timeout.count() <= 0 || running_locked()) return expires;
    return std::min(expires, idle_since + idle_timeout);
  }

  // Writes the freezer's word; the flag follows only a write that took.
  bool write_frozen(bool freeze);
  // A v1 freezer holds even SIGKILL back: thawed before any kill.
  void thaw_if_frozen() {
    bool was = false;
    {
      std::lock_guard lock(m);
      was = frozen;
    }
    if (was) (void)write_frozen(false);
  }

  // Kills everything inside and waits until it is gone: once the init is reaped, no
  // process of its pid namespace is left. Idempotent; not from the reader.
  void finish(SandboxState why) {
    std::lock_guard hold(end_m);
    thaw_if_frozen();
    kill_all(why);
    SandboxChild child;
    {
      std::lock_guard lock(m);
      child = std::move(init);
      init_pid = -1;
    }
    // Reaps the init, removes a private work dir, stops the fence and the group.
    child = SandboxChild();
    if (reader.joinable()) reader.join();
  }

  // Everything inside dies: the init's group, and the channel whose end the init obeys.
  void kill_all(SandboxState why) {
    std::lock_guard lock(m);
    kill_all_locked(why);
  }
  void kill_all_locked(SandboxState why) {
    if (!ended) end_state = why;
    ended = true;
    if (init_pid > 0) kill_group(init_pid);
    ::shutdown(control.get(), SHUT_RDWR);
    for (auto& [id, e] : entries) {
      if (!e.exited) {
        e.exited = e.started = true;
        e.status = SIGKILL;
      }
    }
    cv.notify_all();
  }

  // One request, within kInitAnswerTimeout: a channel that stays full ends the sandbox.
  bool send(const std::string& record, const int* fds, size_t fd_count) {
    std::lock_guard lock(send_m);
    iovec iov{const_cast<char*>(record.data()), record.size()};
    alignas(cmsghdr) char control_buf[CMSG_SPACE(3 * sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (fd_count != 0) {
      msg.msg_control = control_buf;
      msg.msg_controllen = CMSG_SPACE(fd_count * sizeof(int));
      cmsghdr* c = CMSG_FIRSTHDR(&msg);
      c->cmsg_level = SOL_SOCKET;
      c->cmsg_type = SCM_RIGHTS;
      c->cmsg_len = CMSG_LEN(fd_count * sizeof(int));
      std::memcpy(CMSG_DATA(c), fds, fd_count * sizeof(int));
    }
    auto until = MonoClock::now() + kInitAnswerTimeout;
    for (;;) {
      ssize_t n = ::sendmsg(control.get(), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n == static_cast<ssize_t>(record.size())) return true;
      if (n >= 0 || (errno != EAGAIN && errno != EINTR)) return false;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - MonoClock::now());
      if (left.count() <= 0) return false;
      pollfd p{control.get(), POLLOUT, 0};
      (void)::poll(&p, 1, static_cast<int>(left.count()));
    }
  }

  // The reader's dispatch; false: the report makes no sense, so the init is not ours.
  bool take(const ld::ControlReport& r) {
    std::lock_guard lock(m);
    auto it = entries.find(r.id);
    if (it == entries.end()) return false;
    Entry& e = it->second;
    switch (r.kind) {
      case ld::kReportStarted:
        if (e.started) return false;
        e.started = true;
        e.pid = r.pid;
        e.error = r.error;
        break;
      case ld::kReportExited:
        if (!e.started) return false;
        e.exited = true;
        e.status = r.status;
        e.usage = {r.utime_us, r.stime_us, r.maxrss_kb, r.inblock, r.oublock};
        if (e.dropped) entries.erase(it);
        if (!running_locked()) idle_since = MonoClock::now();
        break;
      case ld::kReportSignalled:
        e.acked = true;
        break;
      default:
        return false;
    }
    cv.notify_all();
    return true;
  }
};

namespace {

// Milliseconds to wait for a report before the clock's end is due; -1: without end.
int wait_ms_until(MonoClock::time_point at) {
  if (at == MonoClock::time_point::max()) return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(at - MonoClock::now()).count();
  return static_cast<int>(std::clamp<decltype(left)>(left, 0, 60'000));
}

// The reports of the init, and the sandbox's end once its lifetime or idle time is over,
// whether or not anyone asks for its state.
void read_reports(std::shared_ptr<ControlCore> core, UniqueFd fd) {
  for (;;) {
    MonoClock::time_point at;
    {
      std::lock_guard lock(core->m);
      if (core->ended) return;
      at = core->end_at_locked();
    }
    if (MonoClock::now() >= at) {
      core->thaw_if_frozen();
      core->kill_all(SandboxState::Expired);
      return;
    }
    pollfd p{fd.get(), POLLIN, 0};
    int ready = ::poll(&p, 1, wait_ms_until(at));
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    ld::ControlReport r;
    char extra[sizeof r + 1];
    ssize_t n = ::recv(fd.get(), extra, sizeof extra, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n == static_cast<ssize_t>(sizeof r)) {
      std::memcpy(&r, extra, sizeof r);
      if (core->take(r)) continue;
    }
    // End of file (the init is gone), an error, or a report that does not parse.
    core->kill_all(n == 0 ? SandboxState::Failed : SandboxState::Failed);
    return;
  }
}

Unexpected<SandboxError> failure(std::string text, int err = EIO) {
  return fail(SandboxError::io(IoError::custom(std::move(text), err)));
}

bool has_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

// The Exec record: header, then cwd, candidates, argv, env, each NUL-terminated.
Result<std::string, SandboxError> exec_record(uint32_t id, const std::string& cwd,
                                              const std::vector<std::string>& candidates,
                                              const std::vector<std::string>& argv,
                                              const std::map<std::string, std::string>& env) {
  std::string strings;
  auto add = [&](std::string_view s) {
    strings.append(s);
    strings.push_back('\0');
  };
  bool nul = has_nul(cwd);
  add(cwd);
  for (const auto& c : candidates) add(c);
  for (const auto& a : argv) nul = nul || has_nul(a), add(a);
  for (const auto& [k, v] : env) {
    nul = nul || has_nul(k) || has_nul(v);
    add(k + "=" + v);
  }
  if (nul) return failure(std::string(kNulByteMessage), EINVAL);
  size_t count = 1 + candidates.size() + argv.size() + env.size();
  if (strings.size() + sizeof(ld::ControlRequest) > ld::kControlMaxBytes ||
      count > ld::kControlMaxStrings) {
    return failure("the command, its environment and working directory exceed " +
                       std::to_string(ld::kControlMaxBytes) + " bytes or " +
                       std::to_string(ld::kControlMaxStrings) + " strings",
                   E2BIG);
  }
  ld::ControlRequest h{ld::kControlExec,
                       id,
                       static_cast<uint32_t>(candidates.size()),
                       static_cast<uint32_t>(argv.size()),
                       static_cast<uint32_t>(env.size()),
                       0,
                       static_cast<uint32_t>(strings.size()),
                       0};
  std::string record(reinterpret_cast<const char*>(&h), sizeof h);
  return record + strings;
}

std::string signal_record(uint32_t id, int sig) {
  ld::ControlRequest h{ld::kControlSignal, id, 0, 0, 0, sig, 0, 0};
  return std::string(reinterpret_cast<const char*>(&h), sizeof h);
}

// The three descriptors a command gets, and the host's ends of its pipes.
struct CommandFds {
  UniqueFd in, out_write, err_write, out_read, err_read;
};

Result<CommandFds, SandboxError> command_fds(const CommandRequest& r) {
  CommandFds f;
  int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) return fail(SandboxError::io(IoError::last()));
  UniqueFd null_fd(null);
  auto dup_of = [](int fd) -> Result<UniqueFd, SandboxError> {
    auto d = dup_cloexec(fd);
    if (!d) return fail(SandboxError::io(d.error()));
    return std::move(*d);
  };
  SANDBOX_ASSIGN_OR_RETURN(f.in, dup_of(r.stdin_fd >= 0 ? r.stdin_fd : null));
  auto pipe_into = [&](UniqueFd& read, UniqueFd& write, bool wanted) -> Result<void, SandboxError> {
    if (!wanted) {
      SANDBOX_ASSIGN_OR_RETURN(write, dup_of(null));
      return {};
    }
    auto p = make_pipe();
    if (!p) return fail(SandboxError::io(p.error()));
    read = std::move(p->read);
    write = std::move(p->write);
    return {};
  };
  SANDBOX_TRY(pipe_into(f.out_read, f.out_write, r.capture_stdout));
  if (r.stderr_to_stdout) {
    SANDBOX_ASSIGN_OR_RETURN(f.err_write, dup_of(f.out_write.get()));
  } else {
    SANDBOX_TRY(pipe_into(f.err_read, f.err_write, r.capture_stderr));
  }
  return f;
}

std::optional<std::string> read_small_file(const char* path) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buf[4096];
  ssize_t n;
  while (text.size() < (1 << 20) && (n = ::read(fd, buf, sizeof buf)) > 0) {
    text.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return text;
}

// A v1 freezer group of the sandbox's own, under this process's: its directory and the
// open cgroup.procs the set-up child joins through. Empty where there is none to use.
struct FreezerGroup {
  std::string dir;
  UniqueFd join;
};

FreezerGroup make_freezer_group() {
  FreezerGroup g;
  auto mounts = read_small_file("/proc/self/mountinfo");
  auto groups = read_small_file("/proc/self/cgroup");
  if (!mounts || !groups) return g;
  std::string mount, own;
  for (std::string_view rest = *mounts; !rest.empty();) {
    std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(std::min(rest.size(), line.size() + 1));
    size_t dash = line.find(" - cgroup ");
    if (dash == std::string_view::npos || line.find("freezer", dash) == std::string_view::npos) continue;
    size_t a = line.find(' '), b = line.find(' ', a + 1), c = line.find(' ', b + 1);
    size_t d = line.find(' ', c + 1), e = line.find(' ', d + 1);
    if (e == std::string_view::npos) continue;
    mount = std::string(line.substr(d + 1, e - d - 1));
  }
  size_t at = groups->find(":freezer:");
  if (mount.empty() || at == std::string::npos) return g;
  own = groups->substr(at + 9, groups->find('\n', at) - at - 9);
  const std::string parent = mount + (own == "/" ? "" : own);
  // Once per process: the freezer groups of hosts that died (perhaps while frozen).
  static std::once_flag swept;
  std::call_once(swept, [&] {
    isolation::SandboxCgroup::sweep_dead_groups(parent, isolation::CgroupVersion::V1);
  });
  g.dir = parent + "/" + isolation::group_name(::getpid(), "box");
  if (::mkdir(g.dir.c_str(), 0700) != 0) return {};
  int fd = ::open((g.dir + "/cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
  int high = fd < 0 ? -1 : ::fcntl(fd, F_DUPFD_CLOEXEC, kSetupFdFloor);
  if (fd >= 0) ::close(fd);
  if (high < 0) {
    ::rmdir(g.dir.c_str());
    return {};
  }
  g.join.reset(high);
  return g;
}

bool write_word(const std::string& path, std::string_view word) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::write(fd, word.data(), word.size()) == static_cast<ssize_t>(word.size());
  ::close(fd);
  return ok;
}

}  // namespace

bool ControlCore::write_frozen(bool freeze) {
  if (freeze_file.empty()) return false;
  const bool v1 = freeze_file.ends_with("/freezer.state");
  std::string_view word = v1 ? (freeze ? "FROZEN" : "THAWED") : (freeze ? "1" : "0");
  if (!write_word(freeze_file, word)) return false;
  std::lock_guard lock(m);
  frozen = freeze;
  return true;
}

// --- The sandbox ----------------------------------------------------------------------

Result<std::unique_ptr<PersistentSandbox>, SandboxError> PersistentSandbox::create(
    const SandboxSpec& spec, const std::string& backend, std::chrono::milliseconds lifetime,
    std::chrono::milliseconds idle_timeout) {
  const BackendRow* row = find_backend_row(backend);
  if (row != nullptr && row->kind != BackendKind::Bubblewrap &&
      row->kind != BackendKind::UsernsLite) {
    return fail(SandboxError::invalid_spec(
        "backend " + std::string(backend_kind_name(row->kind)) +
        " cannot keep a sandbox: persistent sandboxes need bubblewrap or userns-lite"));
  }
  auto selected = select_backend(backend);
  if (!selected) return fail(SandboxError::other(selected.error().message()));
  auto* sandboxed = dynamic_cast<SandboxedBackend*>(selected->get());
  if (sandboxed == nullptr) {
    return fail(SandboxError::invalid_spec(
        "backend " + std::string(backend_kind_name((*selected)->kind())) +
        " cannot keep a sandbox: persistent sandboxes need bubblewrap or userns-lite"));
  }
  int pair[2];
#ifdef SOCK_CLOEXEC
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
    return fail(SandboxError::io(IoError::last()));
#else
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0)
    return fail(SandboxError::io(IoError::last()));
  (void)::fcntl(pair[0], F_SETFD, FD_CLOEXEC);
  (void)::fcntl(pair[1], F_SETFD, FD_CLOEXEC);
#endif
  UniqueFd host_end(pair[0]), init_end(pair[1]);

  std::unique_ptr<PersistentSandbox> box(new PersistentSandbox);
  box->core_ = std::make_shared<ControlCore>();
  ControlCore& core = *box->core_;
  SandboxSpec outer = spec;
  outer.capture_stdout = outer.capture_stderr = false;
  outer.stdin_fd = -1;
  outer.timeout = Timeout{0, 0};  // the sandbox's end is its lifetime, not a deadline
  std::string host_dir;
  FreezerGroup freezer = make_freezer_group();
  auto child = sandboxed->start_persistent(outer, init_end.get(), freezer.join.get(), host_dir);
  if (!child && !freezer.dir.empty()) ::rmdir(freezer.dir.c_str());
  if (!child) return fail(std::move(child).error());
  box->freezer_dir_ = freezer.dir;
  init_end.reset();
  core.init = std::move(*child);
  core.init_pid = core.init.pid();
  core.control = std::move(host_end);
  const auto now = MonoClock::now();
  if (lifetime.count() > 0) core.expires = now + lifetime;
  core.idle_timeout = idle_timeout;
  core.idle_since = now;
  for (auto& r : core.init.resources()) {
    if (auto* group = dynamic_cast<isolation::SandboxCgroup*>(r.get()); group && group->dir_fd() >= 0) {
      if (!group->dirs().empty()) core.freeze_file = group->dirs().back() + "/cgroup.freeze";
    }
  }
  if (core.freeze_file.empty() && !freezer.dir.empty()) {
    core.freeze_file = freezer.dir + "/freezer.state";
  }

  auto reader_fd = dup_cloexec(core.control.get());
  if (!reader_fd) return fail(SandboxError::io(reader_fd.error()));
  auto reader = start_thread("sbx-control", [c = box->core_, fd = std::move(*reader_fd)]() mutable {
    read_reports(std::move(c), std::move(fd));
  });
  if (!reader) return fail(SandboxError::io(reader.error()));
  core.reader = std::move(*reader);

  box->backend_ = std::string(backend_kind_name((*selected)->kind()));
  box->host_work_dir_ = host_dir;
  box->work_dir_ = spec.default_work_dir ? std::string("/tmp/ventra-work")  /* the private one, inside only */ : spec.work_dir;
  box->base_env_ = spec.env;
  box->base_env_.emplace("PATH", std::string(DEFAULT_CHILD_PATH));
  if (core.init.record()) box->egress_ = core.init.record()->egress;
  // Counted from the launch: the one change set of the sandbox's life. Applying or
  // discarding it ends the sandbox first, so no command writes into it meanwhile or after.
  box->changes_ = core.init.overlay();
  if (box->changes_) {
    box->changes_->set_stop_writers([weak = std::weak_ptr<ControlCore>(box->core_)] {
      if (auto c = weak.lock()) c->finish(SandboxState::Closed);
    });
  }
  return box;
}

PersistentSandbox::~PersistentSandbox() { close(); }

void PersistentSandbox::end(SandboxState why) {
  if (!core_) return;
  core_->finish(why);
  if (!freezer_dir_.empty()) ::rmdir(freezer_dir_.c_str());
  freezer_dir_.clear();
}

void PersistentSandbox::close() {
  end(SandboxState::Closed);
  if (changes_) changes_->discard();
}

SandboxState PersistentSandbox::state() {
  {
    std::lock_guard lock(core_->m);
    if (core_->ended) return core_->end_state;
    if (MonoClock::now() < core_->end_at_locked()) {
      return core_->frozen ? SandboxState::Frozen : SandboxState::Running;
    }
  }
  // Due, and the reader has not got to it yet.
  end(SandboxState::Expired);
  std::lock_guard lock(core_->m);
  return core_->end_state;
}

Result<void, SandboxError> PersistentSandbox::set_frozen(bool frozen) {
  SandboxState s = state();
  if (s != SandboxState::Running && s != SandboxState::Frozen && frozen) {
    return failure("the sandbox has ended", ESRCH);
  }
  if (core_->freeze_file.empty()) {
    return failure("freezing needs a freezer control group of the sandbox's own (cgroup v2, or "
                   "a writable v1 freezer hierarchy), which this host does not give",
                   ENOTSUP);
  }
  if (!core_->write_frozen(frozen)) return fail(SandboxError::io(IoError::last()));
  return {};
}

Result<void, SandboxError> PersistentSandbox::freeze() { return set_frozen(true); }
Result<void, SandboxError> PersistentSandbox::thaw() { return set_frozen(false); }

Result<std::unique_ptr<SandboxCommand>, SandboxError> PersistentSandbox::start(
    const CommandRequest& request) {
  if (request.argv.empty()) return fail(SandboxError::invalid_spec("argv is empty"));
  switch (state()) {
    case SandboxState::Running:
      break;
    case SandboxState::Frozen:
      return failure("the sandbox is frozen: thaw it first", EBUSY);
    default:
      return failure("the sandbox has ended", ESRCH);
  }
  std::map<std::string, std::string> env = base_env_;
  for (const auto& [k, v] : request.env) env[k] = v;
  auto candidates = exec_candidates(request.argv.front(), &env["PATH"]);
  const std::string cwd = request.cwd.value_or(work_dir_);
  SANDBOX_ASSIGN_OR_RETURN(CommandFds fds, command_fds(request));

  ControlCore& core = *core_;
  uint32_t id = 0;
  {
    std::lock_guard lock(core.m);
    size_t running = 0;
    for (const auto& [i, e] : core.entries) running += e.exited ? 0 : 1;
    if (running >= kMaxSandboxCommands) {
      return failure("this sandbox runs " + std::to_string(kMaxSandboxCommands) +
                         " commands already, the most it may",
                     EAGAIN);
    }
    id = core.next_id++;
    if (core.next_id == 0) core.next_id = 1;
    core.entries[id] = {};
    core.idle_since = MonoClock::now();
  }
  auto forget = [&] {
    std::lock_guard lock(core.m);
    core.entries.erase(id);
  };
  auto record = exec_record(id, cwd, candidates, request.argv, env);
  if (!record) {
    forget();
    return fail(std::move(record).error());
  }
  const int passed[3] = {fds.in.get(), fds.out_write.get(), fds.err_write.get()};
  if (!core.send(*record, passed, 3)) {
    core.kill_all(SandboxState::Failed);
    forget();
    return failure("the sandbox init does not take commands: the sandbox was killed");
  }
  fds.in.reset();
  fds.out_write.reset();
  fds.err_write.reset();
  std::unique_lock lock(core.m);
  auto& e = core.entries[id];
  if (!core.cv.wait_for(lock, kInitAnswerTimeout, [&] { return e.started || core.ended; })) {
    core.kill_all_locked(SandboxState::Failed);
  }
  if (core.ended && e.pid < 0) {
    core.entries.erase(id);
    return failure("the sandbox ended before the command started", ESRCH);
  }
  if (e.error != 0) {
    int err = e.error;
    core.entries.erase(id);
    return fail(SandboxError::io(IoError::from_errno(err)));
  }
  return std::unique_ptr<SandboxCommand>(new SandboxCommand(
      core_, id, e.pid, std::move(fds.out_read), std::move(fds.err_read)));
}

// --- One command ----------------------------------------------------------------------

SandboxCommand::SandboxCommand(std::shared_ptr<ControlCore> core, uint32_t id, int32_t pid,
                               UniqueFd out, UniqueFd err)
    : core_(std::move(core)), id_(id), pid_(pid), out_(std::move(out)), err_(std::move(err)) {}

SandboxCommand::~SandboxCommand() {
  if (!poll()) kill();
  std::lock_guard lock(core_->m);
  // Killed but not yet reaped (its init is frozen): the exit report still comes.
  auto it = core_->entries.find(id_);
  if (it != core_->entries.end() && !it->second.exited) {
    it->second.dropped = true;
  } else {
    core_->entries.erase(id_);
  }
}

std::optional<int> SandboxCommand::poll() const {
  std::lock_guard lock(core_->m);
  auto it = core_->entries.find(id_);
  if (it == core_->entries.end() || !it->second.exited) return std::nullopt;
  return it->second.status;
}

std::optional<CommandUsage> SandboxCommand::usage() const {
  std::lock_guard lock(core_->m);
  auto it = core_->entries.find(id_);
  if (it == core_->entries.end() || !it->second.exited) return std::nullopt;
  return it->second.usage;
}

void SandboxCommand::kill() {
  ControlCore& core = *core_;
  {
    std::lock_guard lock(core.m);
    if (core.ended || core.entries[id_].exited) return;
  }
  if (!core.send(signal_record(id_, SIGKILL), nullptr, 0)) {
    core.kill_all(SandboxState::Failed);
    return;
  }
  // Confirmed once the init reaped it: its exit report follows the kill at once. A
  // frozen init answers once thawed, and its frozen command can do nothing till then.
  std::unique_lock lock(core.m);
  auto& e = core.entries[id_];
  if (!core.cv.wait_for(lock, kInitAnswerTimeout,
                        [&] { return e.exited || core.ended || core.frozen; })) {
    core.kill_all_locked(SandboxState::Failed);
  }
}

int SandboxCommand::wait(Deadline deadline) {
  {
    std::unique_lock lock(core_->m);
    auto& e = core_->entries[id_];
    auto done = [&] { return e.exited; };
    if (deadline) {
      core_->cv.wait_until(lock, *deadline, done);
    } else {
      core_->cv.wait(lock, done);
    }
    if (e.exited) return e.status;
  }
  kill();
  return poll().value_or(SIGKILL);
}

namespace {

// Reads what is there now; false at end of file (or error).
bool read_some(UniqueFd& fd, ByteBuffer& into) {
  char chunk[DRAIN_CHUNK_BYTES];
  ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (n <= 0) {
    fd.reset();
    return false;
  }
  if (into.size() < OUTPUT_CAP_BYTES) {
    into.append(std::string_view(chunk, std::min(static_cast<size_t>(n),
                                                 OUTPUT_CAP_BYTES - into.size())));
  }
  return true;
}

}  // namespace

Result<CollectedOutput, CollectError> SandboxCommand::collect(Deadline deadline,
                                                              std::function<bool()> should_stop) {
  CollectedOutput out;
  std::optional<MonoClock::time_point> drain_until;
  for (;;) {
    auto status = poll();
    auto now = MonoClock::now();
    if (status && !drain_until) drain_until = now + kCommandDrainGrace;
    if (!status && deadline && now >= *deadline) {
      kill();
      if (poll()) continue;
      // Not yet reaped only in a frozen sandbox, where it dies at the thaw: the deadline
      // holds all the same.
      status = SIGKILL;
      drain_until = now;
    }
    if (!status && should_stop && should_stop()) {
      kill();
      return fail(CollectError{CollectError::Kind::Stopped, {}});
    }
    bool open = out_ || err_;
    if (status && (!open || now >= *drain_until)) {
      out.exit_code = exit_code_from_status(*status);
      out_.reset();
      err_.reset();
      return out;
    }
    pollfd p[2] = {{out_ ? out_.get() : -1, POLLIN, 0}, {err_ ? err_.get() : -1, POLLIN, 0}};
    int wait_ms = static_cast<int>(STOP_CHECK_INTERVAL.count());
    if (!open) {
      std::unique_lock lock(core_->m);
      core_->cv.wait_for(lock, STOP_CHECK_INTERVAL, [&] { return core_->entries[id_].exited; });
      continue;
    }
    if (::poll(p, 2, wait_ms) < 0 && errno != EINTR) {
      return fail(CollectError{CollectError::Kind::Failure, "wait: " + os_error_text(errno)});
    }
    if (p[0].revents != 0) read_some(out_, out.stdout_bytes);
    if (p[1].revents != 0) read_some(err_, out.stderr_bytes);
  }
}

Result<ByteBuffer, IoError> SandboxCommand::read_stdout() {
  if (!out_) return ByteBuffer();
  return read_to_end(out_, StreamLabel::Stdout);
}

}  // namespace sandbox
