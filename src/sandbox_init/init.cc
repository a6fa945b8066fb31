// The sandbox init: pid 1 of a sandbox's pid namespace under both Linux backends. It
// reports the target's exec (or why it failed) on the launch's report pipe, keeps the target off
// pid 1 (a pid 1 ignores its own `kill -TERM $$`), reaps orphans, and exits with the target's code,
// which takes the whole namespace down with it. Freestanding: raw system calls, no libc, a few KB,
// so it execs and forks in microseconds.
//
// argv: [0] name, [1] count N of exec candidates, [2..2+N) candidates in PATH order,
// then the target's argv; "0" and nothing else is a trial run that only reports; "p" and
// nothing else serves a persistent sandbox's commands from the control channel. The
// environment is the target's. Descriptors: see InitFd.
//
// The control channel is the host's lifeline under every mode: its end of file (the host
// died, or dropped the sandbox) kills everything inside. It is the only watch on the host:
// a parent-death signal would follow the host's forking thread, not the host.
#include <asm/unistd.h>
#include <stddef.h>
#include <stdint.h>

#include "sandbox_core/launch/child_report.h"
#include "sandbox_core/launch/control_record.h"

namespace {

using sandbox::launch_detail::ChildReport;
namespace ld = sandbox::launch_detail;

// Values from the kernel's uapi, spelled out: the headers that define them drag in libc.
constexpr long kSigchld = 17;
constexpr long kFGetfd = 1, kFSetfd = 2, kFdCloexec = 1;
constexpr long kOCloexec = 02000000;
constexpr long kPrSetNoNewPrivs = 38;
constexpr long kLandlockCreateRulesetVersion = 1;
constexpr uint64_t kScopeAbstractUnixSocket = 1, kScopeSignal = 2;
constexpr long kNrLandlockCreateRuleset = 444, kNrLandlockAddRule = 445,
               kNrLandlockRestrictSelf = 446, kNrCloseRange = 436;
constexpr uint64_t kAccessFsRefer = 1ULL << 13;
constexpr long kRulePathBeneath = 1, kAtFdcwd = -100, kOPath = 010000000;
constexpr long kEnoent = 2, kEacces = 13, kEnotdir = 20, kEnodev = 19, kEstale = 116,
               kEtimedout = 110, kEintr = 4, kEagain = 11, kEnomem = 12, kEsrch = 3;
constexpr long kSigkill = 9, kSigBlock = 0, kSigSetmask = 2, kPrSetDumpable = 4, kWnohang = 1;
constexpr long kONonblock = 04000, kCloseRangeCloexec = 4, kMsgNosignal = 0x4000;
constexpr long kMsgTrunc = 0x20, kMsgCtrunc = 0x8, kMsgCmsgCloexec = 0x40000000;
constexpr long kMsgDontwait = 0x40, kRusageChildren = -1, kWall = 0x40000000, kEchild = 10;
constexpr short kPollIn = 1;

#if defined(__x86_64__)
long sys(long n, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0) {
  long ret;
  register long r10 asm("r10") = d;
  register long r8 asm("r8") = e;
  asm volatile("syscall"
               : "=a"(ret)
               : "a"(n), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8)
               : "rcx", "r11", "memory");
  return ret;
}
asm(".text\n.global _start\n_start:\n xor %rbp, %rbp\n mov %rsp, %rdi\n and $-16, %rsp\n"
    " call init_main\n hlt\n");
#elif defined(__aarch64__)
long sys(long n, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0) {
  register long x8 asm("x8") = n;
  register long x0 asm("x0") = a;
  register long x1 asm("x1") = b;
  register long x2 asm("x2") = c;
  register long x3 asm("x3") = d;
  register long x4 asm("x4") = e;
  asm volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4) : "memory");
  return x0;
}
asm(".text\n.global _start\n_start:\n mov x29, #0\n mov x30, #0\n mov x0, sp\n"
    " and sp, x0, #-16\n bl init_main\n");
#else
#error "the sandbox init supports x86_64 and aarch64"
#endif

[[noreturn]] void exit_with(long code) {
  for (;;) sys(__NR_exit_group, code);
}

void put_fd(int from, int to) {
#ifdef __NR_dup2
  sys(__NR_dup2, from, to);
#else
  sys(__NR_dup3, from, to, 0);
#endif
}

long fork_process() {
  // clone(SIGCHLD) without a stack is fork on both architectures.
  return sys(__NR_clone, kSigchld, 0, 0, 0, 0);
}

void send(const ChildReport& rec) {
  const char* p = reinterpret_cast<const char*>(&rec);
  long left = sizeof rec;
  while (left > 0) {
    long n = sys(__NR_write, ld::kInitReportFd, reinterpret_cast<long>(p), left);
    if (n == -kEintr) continue;
    if (n <= 0) return;
    p += n;
    left -= n;
  }
}

long parse_count(const char* s) {
  long n = 0;
  for (; *s >= '0' && *s <= '9'; ++s) n = n * 10 + (*s - '0');
  return n;
}

bool is_search_miss(long err) {
  return err == kEnoent || err == kEnotdir || err == kEacces || err == kEstale || err == kEnodev ||
         err == kEtimedout;
}

// Landlock scoping where the kernel has it (ABI 6): the target can neither signal nor
// reach the abstract unix sockets of anything outside its own domain, the host's
// included. Older kernels simply lack the layer. Every layer denies moving a file to
// another directory unless a rule grants it, so this one grants it everywhere and leaves
// the file-system rules to the layers that have them: without it, a rename between two
// directories of the work directory failed with EXDEV under a Landlock file layer.
long scope_target() {
  long abi = sys(kNrLandlockCreateRuleset, 0, 0, kLandlockCreateRulesetVersion);
  if (abi < 6) return 0;
  struct {
    uint64_t handled_access_fs, handled_access_net, scoped;
  } attr = {kAccessFsRefer, 0, kScopeAbstractUnixSocket | kScopeSignal};
  long fd = sys(kNrLandlockCreateRuleset, reinterpret_cast<long>(&attr), sizeof attr, 0);
  if (fd < 0) return fd;
  long root = sys(__NR_openat, kAtFdcwd, reinterpret_cast<long>("/"), kOPath | kOCloexec);
  long r = root;
  if (root >= 0) {
    struct __attribute__((packed)) {
      uint64_t allowed_access;
      int32_t parent_fd;
    } beneath = {kAccessFsRefer, static_cast<int32_t>(root)};
    r = sys(kNrLandlockAddRule, fd, kRulePathBeneath, reinterpret_cast<long>(&beneath), 0);
    sys(__NR_close, root);
  }
  if (r == 0) r = sys(kNrLandlockRestrictSelf, fd, 0);
  sys(__NR_close, fd);
  return r;
}

// What the init keeps across its loop: the control channel, the SIGCHLD descriptor, and
// the signal mask a command starts with.
struct Loop {
  long control = ld::kInitControlFd;
  long sigchld = -1;
  uint64_t start_mask = 0;
};

constexpr uint64_t kSigchldBit = 1ULL << (kSigchld - 1);

// SIGCHLD arrives through a descriptor, so one ppoll waits for a child and for the host.
// Blocked for the init only: a command starts with the init's original mask.
bool watch_children(Loop& loop) {
  uint64_t block = kSigchldBit;
  if (sys(__NR_rt_sigprocmask, kSigBlock, reinterpret_cast<long>(&block),
          reinterpret_cast<long>(&loop.start_mask), sizeof block) != 0) {
    return false;
  }
  loop.sigchld = sys(__NR_signalfd4, -1, reinterpret_cast<long>(&block), sizeof block,
                     kOCloexec | kONonblock);
  return loop.sigchld >= 0;
}

// Waits for a child or the host (timeout_ms < 0: without end). True: the control
// channel has something, or ended.
bool wait_event(const Loop& loop, long timeout_ms) {
  struct {
    int fd;
    short events, revents;
  } fds[2] = {{static_cast<int>(loop.control), kPollIn, 0},
              {static_cast<int>(loop.sigchld), kPollIn, 0}};
  struct {
    long sec, nsec;
  } ts = {timeout_ms / 1000, (timeout_ms % 1000) * 1000000};
  long n = sys(__NR_ppoll, reinterpret_cast<long>(fds), 2,
               timeout_ms < 0 ? 0 : reinterpret_cast<long>(&ts), 0, 8);
  if (n <= 0) return false;
  if (fds[1].revents != 0) {
    char info[128];
    while (sys(__NR_read, loop.sigchld, reinterpret_cast<long>(info), sizeof info) > 0) {
    }
  }
  return fds[0].revents != 0;
}

// The host is gone (or broke the protocol): everything inside goes with pid 1.
[[noreturn]] void end_sandbox() {
  sys(__NR_kill, -1, kSigkill);
  exit_with(ld::kSignalExitBase + kSigkill);
}

// In a forked command: the init's mask back, none of the init's descriptors.
void leave_init(const Loop& loop) {
  sys(__NR_rt_sigprocmask, kSigSetmask, reinterpret_cast<long>(&loop.start_mask), 0, 8);
  sys(__NR_close, loop.control);
  sys(__NR_close, loop.sigchld);
}

// execvp semantics, as for an unsandboxed launch: a miss moves on; EACCES anywhere wins
// over a later ENOENT. Returns the errno of the failure.
long exec_first(char* const* candidates, long count, char* const* argv, char* const* envp) {
  long err = -kEnoent;
  bool saw_eacces = false;
  for (long i = 0; i < count; ++i) {
    err = sys(__NR_execve, reinterpret_cast<long>(candidates[i]), reinterpret_cast<long>(argv),
              reinterpret_cast<long>(envp));
    if (err == -kEacces) saw_eacces = true;
    if (!is_search_miss(-err)) break;
  }
  if (saw_eacces && is_search_miss(-err)) err = -kEacces;
  return -err;
}

[[noreturn]] void fail_exec(int result_fd, long err) {
  int32_t code = static_cast<int32_t>(err < 0 ? -err : err);
  sys(__NR_write, result_fd, reinterpret_cast<long>(&code), sizeof code);
  exit_with(127);
}

// Forks `start(result_fd)` with a close-on-exec pipe for its exec's errno, which it
// returns (0 once the exec closed the pipe); the pid through `pid`, negative on failure.
template <typename Start>
int32_t fork_and_exec(long* pid, Start start) {
  int result[2];
  long err = sys(__NR_pipe2, reinterpret_cast<long>(result), kOCloexec);
  *pid = err < 0 ? err : fork_process();
  if (*pid < 0) {
    if (err == 0) {
      sys(__NR_close, result[0]);
      sys(__NR_close, result[1]);
    }
    return static_cast<int32_t>(-*pid);
  }
  if (*pid == 0) {
    sys(__NR_close, result[0]);
    start(result[1]);
  }
  sys(__NR_close, result[1]);
  int32_t exec_error = 0;
  long n;
  do {
    n = sys(__NR_read, result[0], reinterpret_cast<long>(&exec_error), sizeof exec_error);
  } while (n == -kEintr);
  if (n != sizeof exec_error) exec_error = 0;  // end of file: the exec closed the pipe
  sys(__NR_close, result[0]);
  return exec_error;
}

// The target's standard error, where a set-up tool's own went to a diagnostics pipe;
// whatever was passed beyond the init's descriptors (its own image, say) is closed.
void install_stderr_and_close_rest() {
  if (sys(__NR_fcntl, ld::kInitStderrFd, kFGetfd) >= 0) {
    put_fd(ld::kInitStderrFd, 2);
    sys(__NR_close, ld::kInitStderrFd);
  }
  if (sys(kNrCloseRange, ld::kInitFirstFreeFd, ~0U, 0) != 0) {
    for (long fd = ld::kInitFirstFreeFd; fd < 1024; ++fd) sys(__NR_close, fd);
  }
}

// The target is gone: the rest goes now, as the kernel would take it once pid 1 exits,
// so that it is counted too. Then the usage of every process reaped (RUSAGE_CHILDREN: the
// largest single maxrss, summed times and blocks) goes to the host, which reads it at its
// collect. The init's own is left out: its exec carried its creator's high-water mark.
void relay_usage(const Loop& loop, long pid, int status) {
  // A kill of -1 walks every process of the host: only when something is left.
  long flags = kWall | kWnohang;
  for (long got; sys(__NR_getpid) == 1 && (got = sys(__NR_wait4, -1, 0, flags, 0)) != -kEchild;) {
    if (got < 0 && got != -kEintr) break;
    if (got == 0) {
      sys(__NR_kill, -1, kSigkill);
      flags = kWall;
    }
  }
  long ru[18] = {};  // struct rusage: two timevals, then fourteen longs
  if (sys(__NR_getrusage, kRusageChildren, reinterpret_cast<long>(ru)) != 0) return;
  ld::ControlReport r{ld::kReportExited, 0, static_cast<int32_t>(pid), 0, status, 0,
                      ru[0] * 1000000 + ru[1], ru[2] * 1000000 + ru[3], ru[4], ru[11], ru[12]};
  sys(__NR_sendto, loop.control, reinterpret_cast<long>(&r), sizeof r,
      kMsgNosignal | kMsgDontwait, 0);
}

// A one-shot sandbox: run the target, reap everything, leave with the target.
[[noreturn]] void run_once(Loop& loop, char** candidates, long count, char** argv, char** envp) {
  long pid = 0;
  int32_t exec_error = fork_and_exec(&pid, [&](int result_fd) {
    leave_init(loop);
    sys(__NR_fcntl, ld::kInitReportFd, kFSetfd, kFdCloexec);
    long err = sys(__NR_prctl, kPrSetNoNewPrivs, 1, 0, 0, 0);
    if (err == 0) err = scope_target();
    if (err == 0) err = exec_first(candidates, count, argv, envp);
    fail_exec(result_fd, err);
  });
  if (pid < 0) {
    send(ChildReport{ld::kStepInitFork, exec_error, -1});
    exit_with(127);
  }
  send(ChildReport{ld::kStepInitExec, exec_error, -1});
  sys(__NR_close, ld::kInitReportFd);
  for (;;) {
    int status = 0;
    long reaped = sys(__NR_wait4, -1, reinterpret_cast<long>(&status), kWnohang, 0);
    if (reaped == pid) {
      relay_usage(loop, pid, status);
      int sig = status & 0x7f;
      exit_with(sig == 0 ? (status >> 8) & 0xff : ld::kSignalExitBase + sig);
    }
    if (reaped > 0 || reaped == -kEintr) continue;
    if (reaped != 0) exit_with(127);
    if (wait_event(loop, -1)) {
      char byte;
      long n = sys(__NR_read, loop.control, reinterpret_cast<long>(&byte), 1);
      if (n == 0 || (n < 0 && n != -kEintr && n != -kEagain)) end_sandbox();
    }
  }
}

#include "sandbox_init/serve.inc"

}  // namespace

extern "C" [[noreturn, gnu::used]] void init_main(long* sp) {
  long argc = sp[0];
  char** argv = reinterpret_cast<char**>(sp + 1);
  char** envp = argv + argc + 1;
  // Nothing inside may read the init's descriptors through /proc/1/fd or attach to it:
  // both need it dumpable, or a capability the sandbox holds none of.
  sys(__NR_prctl, kPrSetDumpable, 0, 0, 0, 0);
  if (argc < 3 && !(argc == 2 && argv[1][0] == 'p' && argv[1][1] == '\0')) {
    // No target: the availability probe's trial run, which ends here.
    bool trial = argc == 2 && parse_count(argv[1]) == 0;
    send(ChildReport{ld::kStepInitExec, trial ? 0 : static_cast<int32_t>(kEnoent), -1});
    exit_with(trial ? 0 : 127);
  }
  install_stderr_and_close_rest();
  Loop loop;
  if (!watch_children(loop)) {
    send(ChildReport{ld::kStepInitFork, static_cast<int32_t>(kEnomem), -1});
    exit_with(127);
  }
  if (argc == 2) serve(loop);
  // The host may have died between the clone and now: then nothing of the caller runs.
  if (wait_event(loop, 0)) end_sandbox();
  long count = parse_count(argv[1]);
  if (count > argc - 3) count = argc - 3;
  run_once(loop, argv + 2, count, argv + 2 + count, envp);
}

// The compiler may still emit calls to these for aggregate copies.
extern "C" void* memset(void* d, int c, size_t n) {
  auto* p = static_cast<unsigned char*>(d);
  while (n--) *p++ = static_cast<unsigned char>(c);
  return d;
}
extern "C" void* memcpy(void* d, const void* s, size_t n) {
  auto* p = static_cast<unsigned char*>(d);
  auto* q = static_cast<const unsigned char*>(s);
  while (n--) *p++ = *q++;
  return d;
}
