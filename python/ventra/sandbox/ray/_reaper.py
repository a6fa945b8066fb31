"""Removes a node pool's work root once the process that made it is gone.

Started by `NodeSession` with the read end of a pipe as stdin: end of file on stdin means
the pool's process ended, however it ended (a SIGKILL from ``ray.kill`` included), and the
sandboxes under the root died with it. It forks off and lets its first process exit, so it
is no child of the pool's process: Ray kills a dead worker's children.
"""

import os
import shutil
import stat
import sys
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


def main() -> None:
    root = sys.argv[1]
    if os.fork():
        os._exit(0)
    os.setsid()
    while sys.stdin.buffer.read(4096):
        pass
    try:
        remove_tree(root)
    except OSError:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
