/* The record a child (or the sandbox init) writes to the launch's report pipe, and the
   descriptor numbers the init finds at start. Shared with the freestanding init program,
   so it stays plain C-compatible layout with no includes beyond <stdint.h>. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
namespace sandbox::launch_detail {
#endif

/* Steps reported with an errno. The first block is shared by every launch; the second is
   the isolation set-up of the Linux backends (the detail field then names which entry of
   the backend's plan failed); the last block comes from the sandbox init. */
enum ChildStepValue {
  kStepStdin = 1,
  kStepStdout,
  kStepStderr,
  kStepChdir,
  kStepSignals,
  kStepSetsid, /* the child leaves the caller's session */
  kStepRlimitFsize,
  kStepRlimitCpu,
  kStepExec,
  kStepDescriptors,
  kStepCgroup, /* joining the sandbox's control groups */
  kStepRlimitNofile,
  kStepRlimitNproc,

  kStepIdMap = 32,
  kStepMount,
  kStepPivot,
  kStepNetwork,
  kStepFence,
  kStepChdirInside,
  kStepNoNewPrivs,
  kStepCapabilities,
  kStepLandlock,
  kStepSeccomp,
  kStepExecInit,
  kStepCgroupNamespace,

  kStepInitFork = 64,
  kStepInitExec, /* error 0: the target has been executed */
};

/* Fixed-size record; a plain launch writes one only on failure, the init exactly one
   kStepInitExec (error 0 once the target has been executed) or kStepInitFork record. */
struct ChildReport {
  int32_t step;
  int32_t error;
  int32_t detail; /* index into the backend's plan, or -1 */
};

/* A process killed by signal N is reported as exit code 128 + N, by the init for its
   target and by the collect for the direct child, as shells do. */
enum { kSignalExitBase = 128 };

/* Descriptors the init finds when it starts: the report pipe (required), then the
   standard error to install for the target when the set-up tool's own stderr was a
   diagnostics pipe (optional), then a script too long for one argument, which the target
   keeps (optional; kScriptFd), then the control channel (required): the host's lifeline,
   whose end of file means the host is gone, and for a persistent sandbox the socket its
   commands arrive on. Everything above is closed by the init. */
enum InitFd {
  kInitReportFd = 3,
  kInitStderrFd = 4,
  kInitScriptFd = 5,
  kInitControlFd = 6,
  kInitFirstFreeFd = 7
};

#ifdef __cplusplus
}  // namespace sandbox::launch_detail
#endif
