/* The control channel of a persistent sandbox: fixed-layout records between the host and
   the sandbox init over a SOCK_SEQPACKET pair, one record per message, and the pure parser
   the init runs on every request. Shared with the freestanding init, so it uses nothing
   beyond <stdint.h>/<stddef.h> and allocates nothing: the caller gives the buffer the
   strings stay in and the slots their pointers go to.

   Request: a ControlRequest, then `strings_bytes` bytes of NUL-terminated strings in this
   order: the working directory, `candidates` exec candidates, `argc` arguments, `envc`
   NAME=value entries. An Exec carries exactly three descriptors (stdin, stdout, stderr);
   a Signal none. Anything else is malformed, and a malformed request ends the sandbox. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
namespace sandbox::launch_detail {
#endif

enum ControlKind { kControlExec = 1, kControlSignal = 2 };
enum ReportKind { kReportStarted = 1, kReportExited = 2, kReportSignalled = 3 };

/* Bounds of one request: the whole message, and the strings it may hold. */
enum { kControlMaxBytes = 128 * 1024, kControlMaxStrings = 4096, kControlExecFds = 3 };
/* The most commands one sandbox runs at a time; the init's table has this many rows. */
enum { kControlMaxExecs = 64 };

struct ControlRequest {
  uint32_t kind;
  uint32_t id; /* the host's name for the command, not 0 */
  uint32_t candidates;
  uint32_t argc;
  uint32_t envc;
  int32_t signal; /* Signal: sent to the command's process group */
  uint32_t strings_bytes;
  uint32_t reserved; /* 0 */
};

/* Init to host. Started: the command's pid inside and its exec's errno (0: it runs).
   Exited: its wait status and its own rusage from wait4 (utime/stime in microseconds,
   maxrss in KiB, inblock/oublock in 512-byte blocks). Signalled: the signal was sent
   (error 0) or the command was gone (ESRCH). A one-shot init sends one Exited with id 0
   as it ends, on its lifeline: the target's status and the usage of all it reaped. */
struct ControlReport {
  uint32_t kind;
  uint32_t id;
  int32_t pid;
  int32_t error;
  int32_t status;
  int32_t reserved;
  int64_t utime_us, stime_us, maxrss_kb, inblock, oublock;
};

/* A parsed Exec, pointing into the caller's buffer and slots. */
struct ExecView {
  const char* cwd;
  char** candidates;
  uint32_t candidate_count;
  char** argv; /* null-terminated */
  char** envp; /* null-terminated */
};

/* 0 when `buf[0..len)` received with `fd_count` descriptors is a well-formed request;
   then `*hdr` holds its header and, for an Exec, `*exec` its strings (slots needs
   candidates + argc + envc + 2 entries, at most `slot_count`). Nonzero otherwise. */
static inline int parse_control_request(char* buf, size_t len, int fd_count,
                                        struct ControlRequest* hdr, char** slots,
                                        size_t slot_count, struct ExecView* exec) {
  if (len < sizeof(struct ControlRequest) || len > kControlMaxBytes) return 1;
  const unsigned char* src = (const unsigned char*)buf;
  unsigned char* dst = (unsigned char*)hdr;
  for (size_t i = 0; i < sizeof(struct ControlRequest); ++i) dst[i] = src[i];
  size_t body = len - sizeof(struct ControlRequest);
  if (hdr->strings_bytes != body || hdr->reserved != 0 || hdr->id == 0) return 1;
  if (hdr->kind == kControlSignal) {
    return (fd_count != 0 || body != 0 || hdr->signal < 1 || hdr->signal > 64) ? 1 : 0;
  }
  if (hdr->kind != kControlExec || fd_count != kControlExecFds || hdr->signal != 0) return 1;
  if (hdr->candidates == 0 || hdr->argc == 0) return 1;
  /* Each count below kControlMaxStrings, so the sums cannot wrap. */
  if (hdr->candidates > kControlMaxStrings || hdr->argc > kControlMaxStrings ||
      hdr->envc > kControlMaxStrings) {
    return 1;
  }
  size_t strings = 1 + (size_t)hdr->candidates + hdr->argc + hdr->envc;
  if (strings > kControlMaxStrings || strings + 1 > slot_count) return 1;
  char* p = buf + sizeof(struct ControlRequest);
  char* end = buf + len;
  if (body == 0 || end[-1] != '\0') return 1;
  /* Slot 0 takes the cwd; then candidates, argv, a null, envp, a null. */
  size_t slot = 0, seen = 0;
  const char* cwd = p;
  while (p < end) {
    char* s = p;
    while (*p != '\0') ++p;
    ++p;
    if (seen == 0) {
      ++seen;
      continue;
    }
    if (seen > strings - 1) return 1;
    slots[slot++] = s;
    ++seen;
    if (seen == 1 + hdr->candidates + hdr->argc) slots[slot++] = 0;
  }
  if (seen != strings) return 1;
  slots[slot] = 0;
  exec->cwd = cwd;
  exec->candidates = slots;
  exec->candidate_count = hdr->candidates;
  exec->argv = slots + hdr->candidates;
  exec->envp = slots + hdr->candidates + hdr->argc + 1;
  return 0;
}

#ifdef __cplusplus
}  // namespace sandbox::launch_detail
#endif
