// The refused-call table and its compiler. Pure data and code; the program is built once
// under a function-local static and read by any thread.
#include "sandbox_core/isolation/seccomp.h"

#if defined(__linux__)
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/netlink.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <iterator>
#include <span>
#include <utility>
#include <vector>

#include "sandbox_core/base/fd_io.h"
#include "sandbox_core/isolation/syscalls.h"

#ifndef IPPROTO_UDPLITE
#define IPPROTO_UDPLITE 136
#endif

namespace sandbox::isolation {
namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "argument tests read the low word");

#if defined(__x86_64__)
constexpr uint32_t kNativeArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t kNativeArch = AUDIT_ARCH_AARCH64;
#else
#error "seccomp filter: unsupported architecture"
#endif

using Op = ArgTest::Op;
constexpr ArgTest kAlways{};
constexpr ArgTest has_bits(uint8_t arg, uint32_t bits) { return {Op::HasBits, arg, {bits}, 1}; }

// The setuid and setgid mode bits. Whoever owns a file the sandbox writes (the caller, or
// root through an idmapped bind) would otherwise lend a host user its identity.
constexpr uint32_t kSetIdBits = 06000;
// O_TMPFILE without O_DIRECTORY: the flag that creates a file as O_CREAT does.
constexpr uint32_t kTmpFileBit = 020000000;

// Refused with EPERM unless stated. Mount calls are refused after set-up, which is when
// the filter is installed; new user namespaces would give the sandbox capabilities
// (and a way around this filter's assumptions) in a namespace of its own.
constexpr RefusedCall kRefused[] = {
    {"unshare", SYS_unshare, EPERM, {has_bits(0, CLONE_NEWUSER)}},
    {"clone", SYS_clone, EPERM, {has_bits(0, CLONE_NEWUSER)}},
    // Its flags sit behind a pointer the filter cannot read; the C library falls back
    // to clone on ENOSYS.
    {"clone3", SYS_clone3, ENOSYS, {kAlways}},
    {"ptrace", SYS_ptrace, EPERM, {kAlways}},
    {"process_vm_readv", SYS_process_vm_readv, EPERM, {kAlways}},
    {"process_vm_writev", SYS_process_vm_writev, EPERM, {kAlways}},
    {"keyctl", SYS_keyctl, EPERM, {kAlways}},
    {"add_key", SYS_add_key, EPERM, {kAlways}},
    {"request_key", SYS_request_key, EPERM, {kAlways}},
    {"bpf", SYS_bpf, EPERM, {kAlways}},
    {"perf_event_open", SYS_perf_event_open, EPERM, {kAlways}},
    {"userfaultfd", SYS_userfaultfd, EPERM, {kAlways}},
    {"io_uring_setup", SYS_io_uring_setup, EPERM, {kAlways}},
    {"io_uring_enter", SYS_io_uring_enter, EPERM, {kAlways}},
    {"io_uring_register", SYS_io_uring_register, EPERM, {kAlways}},
    {"kexec_load", SYS_kexec_load, EPERM, {kAlways}},
    {"kexec_file_load", SYS_kexec_file_load, EPERM, {kAlways}},
    {"mount", SYS_mount, EPERM, {kAlways}},
    {"umount2", SYS_umount2, EPERM, {kAlways}},
    {"pivot_root", SYS_pivot_root, EPERM, {kAlways}},
    {"move_mount", SYS_move_mount, EPERM, {kAlways}},
    {"open_tree", SYS_open_tree, EPERM, {kAlways}},
    {"fsopen", SYS_fsopen, EPERM, {kAlways}},
    {"fsconfig", SYS_fsconfig, EPERM, {kAlways}},
    {"fsmount", SYS_fsmount, EPERM, {kAlways}},
    {"fspick", SYS_fspick, EPERM, {kAlways}},
    {"mount_setattr", SYS_mount_setattr, EPERM, {kAlways}},
    // Input injection into a terminal the sandbox can still reach.
    {"ioctl", SYS_ioctl, EPERM, {{Op::In, 1, {TIOCSTI, TIOCLINUX}, 2}}},
// No file the sandbox leaves behind is setuid or setgid. openat2's mode sits behind a
// pointer; the C library falls back to openat on ENOSYS.
#ifdef SYS_chmod
    {"chmod", SYS_chmod, EPERM, {has_bits(1, kSetIdBits)}},
#endif
    {"fchmod", SYS_fchmod, EPERM, {has_bits(1, kSetIdBits)}},
    {"fchmodat", SYS_fchmodat, EPERM, {has_bits(2, kSetIdBits)}},
    {"fchmodat2", SYS_fchmodat2, EPERM, {has_bits(2, kSetIdBits)}},
#ifdef SYS_open
    {"open", SYS_open, EPERM, {has_bits(1, O_CREAT), has_bits(2, kSetIdBits)}},
    {"open", SYS_open, EPERM, {has_bits(1, kTmpFileBit), has_bits(2, kSetIdBits)}},
#endif
#ifdef SYS_creat
    {"creat", SYS_creat, EPERM, {has_bits(1, kSetIdBits)}},
#endif
    {"openat", SYS_openat, EPERM, {has_bits(2, O_CREAT), has_bits(3, kSetIdBits)}},
    {"openat", SYS_openat, EPERM, {has_bits(2, kTmpFileBit), has_bits(3, kSetIdBits)}},
    {"openat2", SYS_openat2, ENOSYS, {kAlways}},
#ifdef SYS_mkdir
    {"mkdir", SYS_mkdir, EPERM, {has_bits(1, kSetIdBits)}},
#endif
    {"mkdirat", SYS_mkdirat, EPERM, {has_bits(2, kSetIdBits)}},
#ifdef SYS_mknod
    {"mknod", SYS_mknod, EPERM, {has_bits(1, kSetIdBits)}},
#endif
    {"mknodat", SYS_mknodat, EPERM, {has_bits(2, kSetIdBits)}},
#ifdef SYS_modify_ldt
    // Code segments of the process's own making: only old 16-bit programs want them.
    {"modify_ldt", SYS_modify_ldt, EPERM, {kAlways}},
#endif
    // Execution domains turn off address randomisation and more; the query and the
    // default stay.
    {"personality", SYS_personality, EPERM, {{Op::NotIn, 0, {0xffffffffU, 0 /* PER_LINUX */}, 2}}},
    // Unix, IPv4 and IPv6 only, plus NETLINK_ROUTE: the C library's getaddrinfo
    // (AI_ADDRCONFIG) and `ip` read addresses and links through it.
    {"socket", SYS_socket, EPERM, {{Op::NotIn, 0, {AF_UNIX, AF_INET, AF_INET6, AF_NETLINK}, 4}}},
    {"socket",
     SYS_socket,
     EPERM,
     {{Op::In, 0, {AF_NETLINK}, 1}, {Op::NotIn, 2, {NETLINK_ROUTE}, 1}}},
    // UDP-Lite: a second datagram protocol for no client the sandbox runs.
    {"socket",
     SYS_socket,
     EPERM,
     {{Op::In, 0, {AF_INET, AF_INET6}, 2}, {Op::In, 2, {IPPROTO_UDPLITE}, 1}}},
};

constexpr uint32_t arg_low(uint8_t arg) {
  return static_cast<uint32_t>(offsetof(seccomp_data, args) + arg * sizeof(uint64_t));
}

sock_filter stmt(uint16_t code, uint32_t k) { return BPF_STMT(code, k); }
sock_filter jump(uint16_t code, uint32_t k, uint8_t jt, uint8_t jf) {
  return BPF_JUMP(code, k, jt, jf);
}

// One rule's tests, then its refusal. A failing test skips to the end of the rule: the
// next rule of the same call, or the allow after the last. Jumps to the end are patched
// once the length is known; kToEnd marks them.
constexpr uint8_t kToEnd = 0xff;

sock_filter refusal(int error) {
  return stmt(BPF_RET | BPF_K,
              SECCOMP_RET_ERRNO | (static_cast<uint32_t>(error) & SECCOMP_RET_DATA));
}

bool always(const RefusedCall& rule) {
  return std::all_of(std::begin(rule.tests), std::end(rule.tests),
                     [](const ArgTest& t) { return t.op == Op::None; });
}

void emit_rule(const RefusedCall& rule, std::vector<sock_filter>& out) {
  std::vector<sock_filter> block;
  for (const ArgTest& t : rule.tests) {
    if (t.op == Op::None) continue;
    block.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, arg_low(t.arg)));
    switch (t.op) {
      case Op::HasBits:
        block.push_back(jump(BPF_JMP | BPF_JSET | BPF_K, t.values[0], 0, kToEnd));
        break;
      case Op::In:
        // A match jumps past the remaining compares and the final "no match" exit.
        for (uint8_t i = 0; i < t.count; ++i) {
          auto past = static_cast<uint8_t>(t.count - i);
          block.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, t.values[i], past, 0));
        }
        block.push_back(stmt(BPF_JMP | BPF_JA, kToEnd));
        break;
      case Op::NotIn:
        for (uint8_t i = 0; i < t.count; ++i) {
          block.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, t.values[i], kToEnd, 0));
        }
        break;
      case Op::None:
        break;
    }
  }
  block.push_back(refusal(rule.error));
  const size_t end = block.size();
  for (size_t i = 0; i < block.size(); ++i) {
    sock_filter& ins = block[i];
    auto to_end = static_cast<uint8_t>(end - i - 1);
    if (BPF_CLASS(ins.code) != BPF_JMP) continue;
    if (BPF_OP(ins.code) == BPF_JA) {
      if (ins.k == kToEnd) ins.k = to_end;
      continue;
    }
    if (ins.jt == kToEnd) ins.jt = to_end;
    if (ins.jf == kToEnd) ins.jf = to_end;
  }
  out.insert(out.end(), block.begin(), block.end());
}

// Where a call's compare jumps: a shared return (by error) or the start of its block.
struct Target {
  uint32_t nr;
  bool shared;
  size_t at;
};

// A binary search over the refused calls' numbers, small runs compared one by one. Each
// compare's jump to its target is patched later: `fixups` holds (position, target).
void emit_dispatch(std::span<const Target> sorted, std::vector<sock_filter>& out,
                   std::vector<std::pair<size_t, const Target*>>& fixups, bool& too_far) {
  if (sorted.size() <= 8) {
    for (const Target& t : sorted) {
      fixups.emplace_back(out.size(), &t);
      out.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, t.nr, 0, 0));
    }
    out.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    return;
  }
  const size_t mid = sorted.size() / 2;
  const size_t at = out.size();
  out.push_back(jump(BPF_JMP | BPF_JGE | BPF_K, sorted[mid].nr, 0, 0));
  emit_dispatch(sorted.first(mid), out, fixups, too_far);
  const size_t offset = out.size() - at - 1;
  too_far = too_far || offset > 0xff;
  out[at].jt = static_cast<uint8_t>(offset);
  emit_dispatch(sorted.subspan(mid), out, fixups, too_far);
}

// The kernel checks the program at every sandbox's start and works out, for every call
// number, whether it is allowed whatever the arguments, by running the program on it; so
// its cost grows with the path a number takes. The number is loaded once and searched for
// among the refused calls; a call refused whatever its arguments jumps to a shared return
// of its error, one with tests to its rules, tried in the table's order.
std::vector<sock_filter> compile() {
  std::vector<sock_filter> prog;
  // Another architecture's calls (i386 through int 0x80, x32) have other numbers: a
  // process that switches is killed rather than let past the table.
  prog.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
  prog.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, kNativeArch, 1, 0));
  prog.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
  prog.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
#if defined(__x86_64__)
  constexpr uint32_t kX32SyscallBit = 0x40000000;
  prog.push_back(jump(BPF_JMP | BPF_JGE | BPF_K, kX32SyscallBit, 0, 1));
  prog.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
#endif

  std::vector<Target> targets;
  std::vector<int> shared;
  std::vector<sock_filter> blocks;
  for (const RefusedCall& first : kRefused) {
    const auto nr = static_cast<uint32_t>(first.nr);
    if (std::any_of(targets.begin(), targets.end(), [&](const Target& t) { return t.nr == nr; }))
      continue;
    if (always(first)) {
      auto it = std::find(shared.begin(), shared.end(), first.error);
      if (it == shared.end()) it = shared.insert(shared.end(), first.error);
      targets.push_back({nr, true, static_cast<size_t>(it - shared.begin())});
      continue;
    }
    targets.push_back({nr, false, blocks.size()});
    bool refused_always = false;
    for (const RefusedCall& rule : kRefused) {
      if (rule.nr != first.nr) continue;
      if (always(rule)) {
        blocks.push_back(refusal(rule.error));
        refused_always = true;
        break;
      }
      emit_rule(rule, blocks);
    }
    if (!refused_always) blocks.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  }
  std::sort(targets.begin(), targets.end(),
            [](const Target& a, const Target& b) { return a.nr < b.nr; });

  std::vector<sock_filter> dispatch;
  std::vector<std::pair<size_t, const Target*>> fixups;
  bool too_far = false;
  emit_dispatch(targets, dispatch, fixups, too_far);
  const size_t dispatch_at = prog.size();
  const size_t shared_at = dispatch_at + dispatch.size();
  const size_t blocks_at = shared_at + shared.size();
  for (const auto& [pos, t] : fixups) {
    const size_t to = (t->shared ? shared_at : blocks_at) + t->at;
    const size_t offset = to - (dispatch_at + pos) - 1;
    too_far = too_far || offset > 0xff;
    dispatch[pos].jt = static_cast<uint8_t>(offset);
  }
  // A table too long for the 8-bit jumps: fail closed, every call kills.
  if (too_far) return {stmt(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS)};
  prog.insert(prog.end(), dispatch.begin(), dispatch.end());
  for (int error : shared) prog.push_back(refusal(error));
  prog.insert(prog.end(), blocks.begin(), blocks.end());
  return prog;
}

}  // namespace

std::span<const RefusedCall> refused_calls() { return kRefused; }

std::span<const sock_filter> seccomp_program() {
  static const std::vector<sock_filter> program = compile();
  return program;
}

Result<UniqueFd, IoError> seccomp_program_pipe() {
  auto pipe = make_pipe();
  if (!pipe) return fail(pipe.error());
  // A few hundred bytes: far below a pipe's buffer, so the write never blocks.
  SANDBOX_TRY(write_all(pipe->write.get(), std::as_bytes(seccomp_program())));
  return std::move(pipe->read);
}

}  // namespace sandbox::isolation

#else

namespace sandbox::isolation {
std::span<const RefusedCall> refused_calls() { return {}; }
Result<UniqueFd, IoError> seccomp_program_pipe() { return fail(IoError::from_errno(ENOSYS)); }
}  // namespace sandbox::isolation

#endif
