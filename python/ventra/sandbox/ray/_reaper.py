"""Removes a node pool's work root once the process that made it is gone.

Started by `NodeSession` with the read end of a pipe as stdin: end of file on stdin means
the pool's process ended, however it ended (a SIGKILL from ``ray.kill`` included), and the
sandboxes under the root died with it. It forks off and lets its first process exit, so it
is no child of the pool's process: Ray kills a dead worker's children.

The module removes a dead host's control groups only when a later process makes its first
one, so once the pool's process is gone for good a fresh one makes and closes a sandbox.
"""

import os
import shutil
import stat
import subprocess
import sys
import time
from typing import Any


# A sandbox may leave a directory without write or search permission.
def _writable_and_retry(func: Any, path: str, _exc: Any) -> None:
    os.chmod(os.path.dirname(path), stat.S_IRWXU)
    if os.path.isdir(path) and not os.path.islink(path):
        os.chmod(path, stat.S_IRWXU)
    func(path)


def remove_tree(root: str) -> None:
    if os.path.lexists(root):
        shutil.rmtree(root, onerror=_writable_and_retry)


# Makes and closes one sandbox: its first group sweeps the groups of dead hosts.
_SWEEP = """import sys
sys.path.insert(0, sys.argv[1])
from ventra.sandbox import Session
with Session(backend=sys.argv[2] or None) as s:
    s.sandbox().close()
"""


def _start_time(pid: int) -> str:
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().rsplit(b")", 1)[1].split()[19].decode()
    except (OSError, IndexError):
        return ""


def _wait_gone(pid: int, start: str, timeout_s: float) -> bool:
    """Whether the process `pid` that started at `start` is gone (reaped, not a zombie):
    only then does the sweep count its groups as dead."""
    deadline = time.monotonic() + timeout_s
    while _start_time(pid) == start != "":
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def main() -> None:
    root, package, backend = sys.argv[1], sys.argv[2], sys.argv[3]
    host = os.getppid()
    start = _start_time(host)
    if os.fork():
        os._exit(0)
    os.setsid()
    closed = False  # the pool's process said so before it ended its end of the pipe
    while sys.stdin.buffer.read(4096):
        closed = True
    try:
        remove_tree(root)
    except OSError:
        shutil.rmtree(root, ignore_errors=True)
    if not closed and start and _wait_gone(host, start, 60):
        try:
            subprocess.run([sys.executable, "-I", "-c", _SWEEP, package, backend], timeout=60,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, check=False)
        except (OSError, subprocess.SubprocessError):
            pass


if __name__ == "__main__":
    main()
