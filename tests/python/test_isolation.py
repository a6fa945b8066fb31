"""What a child can and cannot reach, as one table run over the backends.

The hygiene rows hold for every backend, "none" included; the escape rows for every
isolating backend that runs on this host. Every probe aims at names the test created, so
a broken sandbox fails the test without touching anything else.
"""

import os
import pty
import sys

import pytest

from ventra.sandbox import _native

AVAILABLE = {b.kind: b.available for b in _native.available_backends()}
EVERY = [pytest.param(name, marks=pytest.mark.skipif(not AVAILABLE[listed], reason=f"{listed} unavailable here"))
         for name, listed in (("none", "none"), ("bubblewrap", "bubblewrap"), ("userns-lite", "userns"))]


def run(backend, script, **keys):
    proc = _native.spawn({"script_type": "shell", "input": script, "backend": backend, **keys})
    return proc.wait_and_collect()


@pytest.mark.parametrize("backend", EVERY)
def test_host_descriptors_do_not_reach_the_child(backend, tmp_path):
    fd = os.open(tmp_path / "secret", os.O_WRONLY | os.O_CREAT)
    leaked = os.dup2(fd, 57)  # inheritable on purpose
    try:
        code, out, _ = run(backend, "ls /proc/$$/fd | grep -x 57; ( echo x >&57 ) 2>/dev/null && echo written || echo closed",
                           host_work_dir=str(tmp_path))
    finally:
        os.close(leaked)
        os.close(fd)
    assert (code, out) == (0, b"closed\n")
    assert (tmp_path / "secret").read_bytes() == b""


@pytest.mark.parametrize("backend", EVERY)
def test_file_size_limit_kills_with_sigxfsz_from_a_python_host(backend, tmp_path):
    # The interpreter ignores SIGXFSZ; the child must not inherit that.
    code, _, _ = run(backend, "exec head -c 2000000 /dev/zero > f", host_work_dir=str(tmp_path),
                     ephemeral_storage_bytes=1_000_000)
    assert code == 153


@pytest.mark.parametrize("backend", EVERY)
def test_child_has_no_controlling_terminal_to_inject_into(backend, package_env):
    probe = ("import fcntl, termios\n"
             "try:\n"
             "    fd = open('/dev/tty', 'wb', buffering=0)\n"
             "    fcntl.ioctl(fd, termios.TIOCSTI, b'#')\n"
             "    print('injected')\n"
             "except OSError as e:\n"
             "    print('refused', e.errno)\n")
    pid, master = pty.fork()
    if pid == 0:  # a session whose controlling terminal is the pty
        try:
            os.environ.update(package_env)
            proc = _native.spawn({"script_type": "python", "input": probe, "backend": backend,
                                  "python_interpreter": "python3"})
            code, out, err = proc.wait_and_collect()
            os.write(1, out + err + f"exit {code}\n".encode())
        finally:
            os._exit(0)
    seen = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # EIO once the pty's last user has gone
            break
        if not chunk:
            break
        seen += chunk
    os.waitpid(pid, 0)
    os.close(master)
    assert b"refused" in seen and b"exit 0" in seen, seen
    assert b"injected" not in seen
