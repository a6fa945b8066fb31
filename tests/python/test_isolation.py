"""What a child can and cannot reach: the hygiene rows over every backend, the escape rows
over the isolating ones. Every probe aims at names the test created."""

import asyncio
import collections
import concurrent.futures
import contextlib
import ctypes
import glob
import os
import platform
import pty
import re
import resource
import select
import socket
import shutil
import subprocess
import sys
import tempfile
import time
import threading
import types
import uuid

import pytest

from ventra.sandbox import Sandbox, Session, _native, aio

HANG_S = 30  # generous bound that only catches hangs

INFO = {b.kind: b for b in _native.available_backends()}


def backends(*names):
    listed = {"none": "none", "bubblewrap": "bubblewrap", "userns-lite": "userns"}
    return [pytest.param(name, marks=pytest.mark.skipif(
        not INFO[listed[name]].available,
        reason=f"{name} unavailable here: {INFO[listed[name]].reason}")) for name in names]


EVERY = backends("none", "bubblewrap", "userns-lite")
ISOLATING = backends("bubblewrap", "userns-lite")


def run(backend, script, work_dir, **keys):
    return _native.spawn({"script_type": "shell", "input": script, "backend": backend,
                          "host_work_dir": str(work_dir), **keys}).wait_and_collect()


@pytest.mark.parametrize("backend", EVERY)
def test_host_descriptors_terminal_and_ignored_sigxfsz_do_not_reach_the_child(backend, tmp_path):
    # Spawned from a session whose controlling terminal is a pty, with 57 inheritable on
    # purpose and SIGXFSZ ignored as the interpreter leaves it: the child gets none of them
    # (no terminal to inject input into), and past the file-size limit it dies of the signal.
    fd = os.open(tmp_path / "secret", os.O_WRONLY | os.O_CREAT)
    pid, master = pty.fork()
    if pid == 0:
        try:
            os.dup2(fd, 57)
            result = run(backend, "ls /proc/$$/fd | grep -x 57; ( echo x >&57 ) 2>/dev/null && "
                         "echo written || echo closed; ( : > /dev/tty ) 2>/dev/null && echo tty; "
                         "exec head -c 2000000 /dev/zero > f",
                         tmp_path, ephemeral_storage_bytes=1_000_000)
            os.write(1, repr(result).encode())
        finally:
            os._exit(0)
    os.close(fd)
    seen = b""
    with contextlib.suppress(OSError):  # EIO once the pty's last user has gone
        while chunk := os.read(master, 4096):
            seen += chunk
    os.waitpid(pid, 0)
    os.close(master)
    assert seen.endswith(b"(153, b'closed\\n', b'')"), seen
    assert (tmp_path / "secret").read_bytes() == b""


# --- What an isolating backend lets a child reach ---------------------------------------


@pytest.fixture
def host(tmp_path):
    """Things of the host's that a sandboxed child must not reach, all made by the test."""
    tag = uuid.uuid4().hex
    # Outside every list, and outside /tmp, which the sandbox replaces.
    outside = tempfile.mkdtemp(prefix="ventra-test-", dir="/var/tmp")
    tcp = socket.create_server(("127.0.0.1", 0))
    h = types.SimpleNamespace(
        tmp=tmp_path, work=tmp_path / "work", ro=tmp_path / "ro", rw=tmp_path / "rw",
        secret=os.path.join(outside, "secret"), tcp=tcp, tcp_port=tcp.getsockname()[1],
        pid=os.getpid(), uid=os.geteuid(), gid=os.getegid(), outside=outside,
        # A host-side helper that took the child's variables would leave its loader's
        # statistics in the host's /tmp; the child's own go to its private /tmp.
        ld_debug=f"/tmp/ventra-ld-{tag}",
        env={"LD_DEBUG": "statistics", "LD_DEBUG_OUTPUT": f"/tmp/ventra-ld-{tag}"},
        # Writes here must fail; writes to the private /tmp must stay there.
        forbidden=f"/etc/ventra-escape-{tag} /usr/ventra-escape-{tag} {outside}/escape",
        private=f"{tmp_path}/escape /tmp/ventra-escape-{tag}")
    for made in (h.work, h.ro, h.rw):
        made.mkdir()
    (h.ro / "data").write_text("readable\n")
    (tmp_path / "hostonly").write_text("host\n")
    with open(h.secret, "w") as f:
        f.write("host secret\n")
    yield h
    h.tcp.close()
    leaked = [p for p in f"{h.forbidden} {h.private}".split() if os.path.exists(p)]
    for p in leaked:
        os.unlink(p)
    helper_output = glob.glob(h.ld_debug + "*")
    for p in helper_output:
        os.unlink(p)
    shutil.rmtree(outside)
    assert leaked == [], "a sandboxed write reached the host"
    assert helper_output == [], "a host-side helper ran with the child's environment"


PY_CONNECT = ("python3 -c 'import socket,sys\n"
              "s=socket.socket(getattr(socket,sys.argv[1]),socket.SOCK_STREAM)\n"
              "s.settimeout(5)\n"
              "try:\n s.connect(eval(sys.argv[2])); print(\"reached\")\n"
              "except OSError as e: print(\"refused\")' ")

# (name, script, expected stdout): each script probes with the host's names filled in.
ESCAPES = [
    ("writes land nowhere on the host and a secret outside the lists is not there",
     "for f in {forbidden}; do ( echo x > $f ) 2>/dev/null && echo wrote $f; done; "
     "for f in {private}; do echo x > $f || echo failed; done; test -e {tmp}/hostonly && "
     "echo host-file-visible; cat {secret} 2>/dev/null || echo unreadable", "unreadable\n"),
    ("extra paths and the work dir are there at their own paths",  # the battery checks the host
     "pwd; cat {ro}/data; ( echo x > {ro}/new ) 2>/dev/null && echo wrote; "
     "echo a > {rw}/made && echo b > made && echo ok", "{work}\nreadable\nok\n"),
    ("/proc shows only the sandbox's processes",
     "test -e /proc/{pid} && echo host-pid-visible; "
     "[ $(ls /proc | grep -c '^[0-9]') -lt 10 ] && echo few", "few\n"),
    ("/dev is the minimal set", "ls /dev | grep -vx core | tr '\\n' ' '",
     "fd full null ptmx pts random shm stderr stdin stdout tty urandom zero "),
    ("runs as the caller without capabilities or new privileges",
     "id -u; id -g; grep -E '^(CapEff|CapBnd|NoNewPrivs)' /proc/self/status | tr -d '\\t'",
     "{uid}\n{gid}\nCapEff:0000000000000000\nCapBnd:0000000000000000\nNoNewPrivs:1\n"),
    ("no TCP to a host loopback service (blocked)",
     PY_CONNECT + "AF_INET '(\"127.0.0.1\", {tcp_port})'", "refused\n"),
    # Opened for writing and closed, nothing written; read one byte at most.
    ("no host-wide sysctl is writable and no root-only or masked file readable",
     "for f in /proc/sys/kernel/core_pattern /proc/sys/vm/drop_caches /proc/sysrq-trigger; do "
     "( : >> $f ) 2>/dev/null && echo writable $f; done; for f in /etc/shadow /etc/gshadow "
     "/proc/kcore /proc/keys /proc/timer_list /proc/kpageflags /proc/slabinfo; do "
     "[ -n \"$(head -c 1 $f 2>/dev/null | od -An -c)\" ] && echo readable $f; done; "
     "ls -A /sys/firmware 2>/dev/null", ""),
    ("no setuid or setgid file is left behind",
     "touch s; for m in 4755 2755; do chmod $m s 2>/dev/null && echo chmod $m; done; "
     "python3 -c 'import os; os.close(os.open(\"n\", os.O_CREAT | os.O_WRONLY, 0o6755))' "
     "2>/dev/null && echo open; mkdir -m 2755 d 2>/dev/null && echo mkdir; echo done", "done\n"),
    ("renames and links across directories of a writable tree",
     "mkdir a b; echo x > a/f && mv a/f b/f && ln b/f a/g && mv a {rw}/a && echo moved", "moved\n"),
    ("/sys/class/net lists only the sandbox's own interfaces (blocked)",
     "ls /sys/class/net | tr '\\n' ' '", "lo "),
]


def run_in_sandbox(backend, script, work_dir, **keys):
    """As `run`, but as one command of a persistent sandbox made for it."""
    box = _native.open_sandbox({"backend": backend, "host_work_dir": str(work_dir), **keys})
    try:
        return box.start(["sh", "-c", script]).wait_and_collect(HANG_S)
    finally:
        box.close()


@pytest.fixture(params=["spawn", "exec"])
def runner(request):
    """Runs a probe as a one-shot spawn and as a command of a persistent sandbox."""
    return run if request.param == "spawn" else run_in_sandbox


@pytest.mark.parametrize("backend", ISOLATING)
@pytest.mark.parametrize("name,script,expected", ESCAPES, ids=[e[0] for e in ESCAPES])
def test_escape_battery(backend, host, runner, name, script, expected):
    code, out, err = runner(backend, script.format(**vars(host)), host.work,
                            extra_read_only_paths=[str(host.ro)],
                            extra_read_write_paths=[str(host.rw)], env=host.env)
    assert (out.decode(), code) == (expected.format(**vars(host)), 0), err
    for made, text in ((host.rw / "made", "a\n"), (host.work / "made", "b\n")):
        if made.exists():  # written as the caller, not as some other mapped user
            assert (made.read_text(), made.stat().st_uid, made.stat().st_gid) == (
                text, os.geteuid(), os.getegid())
    for top in (host.work, host.rw):
        for root, dirs, files in os.walk(top):
            for name in dirs + files:
                mode = os.lstat(os.path.join(root, name)).st_mode
                assert mode & 0o6000 == 0, (name, oct(mode))


# A host process of another uid than the sandbox's (for a root caller's sandbox, 65534,
# the uid of "nobody" services) tries the sandbox's root, a signal and ptrace.
ATTACK_AS_NOBODY = """
import ctypes, errno, os, sys
pid, target = int(sys.argv[1]), sys.argv[2]
os.setgroups([]); os.setresgid(65534, 65534, 65534); os.setresuid(65534, 65534, 65534)
def attempt(f):
    try: f(); return "done"
    except OSError as e: return errno.errorcode[e.errno]
libc = ctypes.CDLL(None, use_errno=True)
def attach():
    if libc.ptrace(16, pid, 0, 0) != 0: raise OSError(ctypes.get_errno(), "ptrace")
print(attempt(lambda: os.close(os.open(f"/proc/{pid}/root{target}", os.O_CREAT | os.O_WRONLY))),
      attempt(lambda: os.kill(pid, 0)), attempt(attach))
"""


# On the host the sandbox's processes are the caller, or for a root caller ids of their own
# that no account has, without supplementary groups: nobody else's, so a process of
# another uid can neither enter, signal nor trace them.
@pytest.mark.parametrize("backend", ISOLATING)
def test_on_the_host_the_child_is_the_caller_or_ids_of_its_own_for_root(backend, tmp_path):
    tmp_path.chmod(0o777)  # nobody's write through the sandbox's root fails for want of access
    proc = _native.spawn({"script_type": "shell", "input": "exec sleep 60", "backend": backend,
                          "host_work_dir": str(tmp_path)})
    try:
        seen, pid = {}, None
        for _ in range(HANG_S * 20):
            pids = [proc.pid()]
            while pids and "sleep" not in seen.get("Name", ""):
                pid = pids.pop()
                with contextlib.suppress(OSError):
                    status = open(f"/proc/{pid}/status").read().splitlines()
                    seen = dict(line.split(":", 1) for line in status if ":" in line)
                    seen = {k: " ".join(v.split()) for k, v in seen.items()}
                    children = open(f"/proc/{pid}/task/{pid}/children").read().split()
                    pids += [int(c) for c in children]
            if seen.get("Name") == "sleep":
                break
            time.sleep(0.05)
        target = tmp_path / f"escape-{uuid.uuid4().hex}"
        attack = subprocess.run([sys.executable, "-c", ATTACK_AS_NOBODY, str(pid), str(target)],
                                capture_output=True, timeout=HANG_S) if os.geteuid() == 0 else None
    finally:
        proc.kill()
        proc.wait_and_collect()
    uid, gid = seen["Uid"].split()[0], seen["Gid"].split()[0]
    assert (seen["Name"], seen["Uid"], seen["Gid"]) == (
        "sleep", " ".join([uid] * 4), " ".join([gid] * 4))
    if os.geteuid() != 0:
        assert (int(uid), int(gid)) == (os.geteuid(), os.getegid())
        return
    assert seen["Groups"] == "" and int(uid) > 65535 and int(gid) > 65535
    assert not [line for line in open("/etc/passwd") if line.split(":")[2:3] == [uid]]
    made = target.exists()
    if made:
        target.unlink()
    assert (attack.stdout.decode().split(), made) == (["EACCES", "EPERM", "EPERM"], False), \
        attack.stderr


# Under every network mode: a cgroup namespace of its own, and no group but its own in
# /sys/fs/cgroup (no host group, no other sandbox's).
@pytest.mark.parametrize("backend", ISOLATING)
@pytest.mark.parametrize("mode", ["blocked", "open"])
def test_the_child_sees_only_its_own_cgroup(backend, tmp_path, mode):
    code, out, err = run(backend, "sed 's/.*://' /proc/self/cgroup | sort -u; "
                         "find /sys/fs/cgroup -mindepth 1 -type d | head -3", tmp_path,
                         network_mode=mode, memory_bytes=64 << 20)
    assert (code, out) == (0, b"/\n"), err


# A regular file as standard input reaches the child through a pipe: it reads the file,
# and reopening /proc/self/fd/0 for writing reaches at most that pipe, never the file.
@pytest.mark.parametrize("backend", ISOLATING)
def test_a_file_as_stdin_is_read_but_not_reopened(backend, tmp_path):
    (tmp_path / "input").write_text("line\n")
    fd = os.open(tmp_path / "input", os.O_RDONLY)
    try:
        code, out, err = run(backend, "readlink /proc/self/fd/0 | cut -d: -f1; cat; "
                             "( echo x >> /proc/self/fd/0 ) 2>/dev/null; true", tmp_path,
                             stdin_fd=fd)
    finally:
        os.close(fd)
    assert (code, out, (tmp_path / "input").read_text()) == (0, b"pipe\nline\n", "line\n"), err


# The host process dies by SIGKILL while its sandbox runs: the next start, in another
# process, leaves nothing of it behind (its control groups; the private work dir never
# was on the host).
HOST_THAT_DIES = """
import sys, time
from ventra.sandbox import _native
p = _native.spawn({"script_type": "shell", "input": "exec sleep 3", "backend": sys.argv[1],
                   "memory_bytes": 64 << 20, "max_processes": 64})
print(p.pid(), flush=True)
time.sleep(60)
"""


@pytest.mark.parametrize("backend", ISOLATING)
def test_a_dead_hosts_leftovers_go_at_the_next_start(backend, tmp_path):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    host = subprocess.Popen([sys.executable, "-c", HOST_THAT_DIES, backend], env=env,
                            stdout=subprocess.PIPE)
    try:
        sandbox = int(host.stdout.readline())
        groups = []
        with contextlib.suppress(OSError):
            for line in open(f"/proc/{sandbox}/cgroup"):
                _, controllers, path = line.strip().split(":", 2)
                if "ventra-sandbox-" in path:
                    sub = controllers.split(",")[0].replace("name=", "") or ""
                    groups += [d for d in (f"/sys/fs/cgroup/{sub}{path}", f"/sys/fs/cgroup{path}")
                               if os.path.isdir(d)]
    finally:
        host.kill()
        host.wait(HANG_S)
    # The next start in another process, with a group of its own.
    subprocess.run([sys.executable, "-c", "import sys\nfrom ventra.sandbox import _native\n"
                    "_native.spawn({'script_type': 'shell', 'input': 'true', 'backend': "
                    "sys.argv[1], 'memory_bytes': 64 << 20}).wait_and_collect()", backend],
                   env=env, check=True, timeout=HANG_S)
    assert [g for g in groups if os.path.exists(g)] == []
    assert not os.path.exists("/tmp/ventra-work")


# landlock_create_ruleset(NULL, 0, LANDLOCK_CREATE_RULESET_VERSION) gives the ABI version.
@pytest.mark.parametrize("backend", ISOLATING)
@pytest.mark.skipif(platform.machine() not in ("x86_64", "aarch64")
                    or ctypes.CDLL(None).syscall(444, None, 0, 1) < 6,
                    reason="Landlock scoping needs ABI 6 (Linux 6.12)")
def test_landlock_scoping_keeps_host_abstract_sockets_out_of_reach(backend, tmp_path):
    # Under "open" the network namespace is the host's; only the scoping stands in the way.
    name = "ventra-test-" + uuid.uuid4().hex
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as listener:
        listener.bind("\0" + name)
        listener.listen()
        script = PY_CONNECT + "AF_UNIX '\"\\0%s\"'" % name
        code, out, err = run(backend, script, tmp_path, network_mode="open")
    assert (code, out) == (0, b"refused\n"), err


# The exit codes come back as with "none"; the shell that kills itself is not pid 1, which
# would ignore its own SIGTERM.
@pytest.mark.parametrize("backend", ISOLATING)
@pytest.mark.parametrize("timeout_s,end,code", [
    (1, "sleep 30", 137), (HANG_S, "exit 3", 3), (HANG_S, "kill -TERM $$", 143),
], ids=["deadline", "exit", "signal"])
def test_no_process_outlives_its_run(backend, tmp_path, fifo, timeout_s, end, code):
    # Escapees in a session of their own and double-forked hold the FIFO open: its end of
    # file proves every one of them died with the run.
    script = ("setsid sleep 60 > alive 2>&1 & ( ( sleep 60 > alive & ) & ); "
              "sh -c 'exec sleep 60' > alive & sleep 0.2; " + end)
    assert run(backend, script, tmp_path, timeout_s=timeout_s, capture_stdout=False)[0] == code
    fifo.wait_eof()


# A host killed outright takes its sandbox with it, escapees included; under "none" only
# the program itself can be held. The host is a fresh interpreter, killed once its child
# has said it is up.
HOST = """
import sys
from ventra.sandbox import _native
backend, script, work, mode = sys.argv[1:]
if mode == "persistent":
    box = _native.open_sandbox({"backend": backend, "host_work_dir": work})
    p = box.start(["sh", "-c", script], capture_stdout=False)
else:
    p = _native.spawn({"script_type": "shell", "input": script, "backend": backend,
                       "host_work_dir": work, "timeout_s": 600, "capture_stdout": False})
sys.stdin.read()
"""


@pytest.mark.parametrize("backend,mode", [
    pytest.param(*b.values, mode, marks=b.marks)
    for mode, listed in (("one-shot", EVERY), ("persistent", ISOLATING)) for b in listed])
def test_nothing_outlives_a_killed_host(backend, mode, tmp_path, fifo, package_env):
    escapees = "" if backend == "none" else (
        "setsid sleep 60 > alive 2>&1 & ( ( sleep 60 > alive & ) & ); ")
    script = escapees + "exec 3> alive; echo up >&3; exec sleep 60"
    host = subprocess.Popen([sys.executable, "-c", HOST, backend, script, str(tmp_path), mode],
                            stdin=subprocess.PIPE, env=package_env)
    try:
        assert fifo.read() == b"up\n"
    finally:
        host.kill()
        host.wait()
    fifo.wait_eof()


@pytest.mark.parametrize("backend", EVERY)
def test_a_run_outlives_the_thread_that_spawned_it(backend, tmp_path):
    made = []
    t = threading.Thread(target=lambda: made.append(_native.spawn(
        {"script_type": "shell", "input": "sleep 0.5; echo done", "backend": backend,
         "host_work_dir": str(tmp_path)})))
    t.start()
    t.join()
    assert made[0].wait_and_collect()[:2] == (0, b"done\n")


# The numbers of the refused calls, by architecture.
SYSCALLS = dict(zip(
    ["unshare", "clone3", "ptrace", "keyctl", "add_key", "request_key", "bpf", "perf_event_open",
     "userfaultfd", "io_uring_setup", "kexec_load", "mount", "umount2", "pivot_root",
     "move_mount", "open_tree", "fsopen", "ioctl", "socket", "personality", "openat2",
     "fchmodat", "openat", "mkdirat", "modify_ldt"],
    {"x86_64": [272, 435, 101, 250, 248, 249, 321, 298, 323, 425, 246, 165, 166, 155, 429, 428,
                430, 16, 41, 135, 437, 268, 257, 258, 154],
     "aarch64": [97, 435, 117, 219, 217, 218, 280, 241, 282, 425, 104, 40, 39, 41, 429, 428,
                 430, 29, 198, 92, 437, 53, 56, 34, -1]}[platform.machine()]))

# Each call with arguments an unfiltered kernel answers with something other than EPERM.
SECCOMP_PROBE = """
import ctypes, errno, os, pty, termios
libc = ctypes.CDLL(None, use_errno=True)
slave = pty.openpty()[1]
for label, *args in [
    ("unshare", 0x10000000), ("clone3", 0, 0), ("ptrace", 2, os.getppid(), 0, 0),
    ("keyctl", 0, -3, 0), ("add_key", 0, 0, 0, 0, 0), ("request_key", 0, 0, 0, 0),
    ("bpf", 0, 0, 0), ("perf_event_open", 0, 0, -1, -1, 0), ("userfaultfd", 1 << 30),
    ("io_uring_setup", 0, 0), ("kexec_load", 0, 0, 0, 0), ("umount2", b"/tmp", 0),
    ("mount", b"none", b"/tmp", b"tmpfs", 0, 0), ("pivot_root", b"/tmp", b"/tmp"),
    ("move_mount", -1, b"", -1, b"", 0), ("open_tree", -1, b"", 0), ("fsopen", b"tmpfs", 0),
    ("TIOCSTI", slave, termios.TIOCSTI, b"x"), ("TIOCLINUX", slave, 0x541C, b"\\0"),
    ("AF_PACKET", 17, 3, 0), ("AF_VSOCK", 40, 1, 0), ("NETLINK_AUDIT", 16, 3, 9),
    ("NETLINK_ROUTE", 16, 3, 0), ("AF_INET6", 10, 1, 0), ("UDPLITE", 2, 2, 136),
    ("personality", 0x0040000), ("personality query", 0xffffffff), ("openat2", -100, b"/", 0, 0),
    ("fchmodat setuid", -100, b"f", 0o4755), ("fchmodat", -100, b"f", 0o755),
    ("openat setgid", -100, b"g", 0o101, 0o2755), ("mkdirat setgid", -100, b"d", 0o2755),
] + [("modify_ldt", 0, 0, 0)] * (%r["modify_ldt"] > 0):
    name = label.split()[0] if label.islower() else "ioctl" if label.startswith("TIOC") else "socket"
    r = libc.syscall(%r[name], *[ctypes.c_long(a) if isinstance(a, int) else a for a in args])
    print(label, "ok" if r >= 0 else errno.errorcode[ctypes.get_errno()])
""" % (SYSCALLS, SYSCALLS)


@pytest.mark.parametrize("backend", ISOLATING)
def test_seccomp_refuses_each_call_with_eperm(backend, tmp_path):
    (tmp_path / "f").write_text("")
    code, out, err = run(backend, SECCOMP_PROBE, tmp_path, script_type="python")
    assert code == 0, err
    seen = dict(line.rsplit(" ", 1) for line in out.decode().splitlines())
    allowed = ("NETLINK_ROUTE", "AF_INET6", "personality query", "fchmodat")
    assert len(seen) == 32 + (SYSCALLS["modify_ldt"] > 0) and seen == {
        k: "ok" if k in allowed else "ENOSYS" if k in ("clone3", "openat2") else "EPERM"
        for k in seen}
    assert [p.name for p in tmp_path.iterdir() if p.stat().st_mode & 0o6000] == []


# A spec that names no work directory gets a fresh private one on the sandbox's /tmp, never
# on the host, however deep the child nests it, whatever it locks or links; /tmp inside is
# private even when named as a read-write path.
@pytest.mark.parametrize("backend", ISOLATING)
def test_nothing_of_the_host_is_bound_that_the_caller_did_not_name(backend):
    with tempfile.NamedTemporaryFile(dir="/tmp", prefix="ventra-host-") as host_file:
        script = (f"pwd; ls -A | wc -l; ! test -e {host_file.name} || echo host-tmp; "
                  "python3 -c 'import os\nfor _ in range(5000): os.mkdir(\"d\"); os.chdir(\"d\")'; "
                  f"mkdir locked; touch locked/f; chmod 0 locked; ln -s {host_file.name} link")
        code, out, err = _native.spawn({"script_type": "shell", "input": script,
                                        "backend": backend,
                                        "extra_read_write_paths": ["/tmp"]}).wait_and_collect()
        assert os.path.exists(host_file.name)
    assert code == 0, err
    work, count = out.decode().split()
    assert (count, os.path.dirname(work), os.path.exists(work)) == ("0", "/tmp", False)


# A link planted where a read-write path (or a directory above one) was: refused, naming
# the path, instead of binding wherever it points.
@pytest.mark.parametrize("backend", ISOLATING)
@pytest.mark.parametrize("where", ["work", "above work", "extra"])
def test_a_link_in_a_read_write_path_is_refused(backend, tmp_path, where):
    (tmp_path / "real" / "w").mkdir(parents=True)
    (tmp_path / "up").symlink_to("real")
    (tmp_path / "w").symlink_to(tmp_path / "real" / "w")
    named = {"work": tmp_path / "w", "above work": tmp_path / "up" / "w",
             "extra": tmp_path / "up"}[where]
    keys = {"extra_read_write_paths": [str(named)]} if where == "extra" else {}
    work = tmp_path / "real" if where == "extra" else named
    with pytest.raises(RuntimeError, match=r'^spawn: io: bind "%s": Too many levels of symbolic '
                       r"links \(os error 40\)$" % re.escape(str(named))):
        run(backend, "touch made", work, **keys)
    assert not (tmp_path / "real" / "w" / "made").exists()


# --- Everything else is as with "none" ------------------------------------------------


NOT_VISIBLE = ("{path} ({role}) exists on the host but is not visible inside the sandbox; "
               "share it, or a directory above it, with extra_read_only_paths (--ro on the "
               "command line): ")


# A program the host has but the sandbox does not, or whose link target or interpreter it
# lacks, is named; sharing what is named lets it run.
@pytest.mark.parametrize("backend", ISOLATING)
@pytest.mark.parametrize("argv,missing,role", [
    (["no-such-program-here"], None, None),
    (["{hidden}/tool"], "{hidden}/tool", "the program"),
    (["tool"], "{hidden}/tool", "the program"),  # found on the child's PATH
    (["./script"], "{hidden}/interp", 'the interpreter of "{work}/script"'),
    (["{work}/link"], "{hidden}/tool", 'the link target of "{work}/link"'),
])
def test_missing_program_is_a_spawn_error_naming_what_is_missing(backend, tmp_path, argv, missing,
                                                                 role):
    hidden, work = tmp_path / "hidden", tmp_path / "work"
    hidden.mkdir()
    work.mkdir()
    for name in ("tool", "interp"):
        shutil.copy("/bin/true", hidden / name)
    (work / "script").write_text(f"#!{hidden}/interp\n")
    (work / "script").chmod(0o755)
    (work / "link").symlink_to(hidden / "tool")
    names = {"hidden": hidden, "work": work}
    spec = {"script_type": "argv", "argv": [a.format(**names) for a in argv], "backend": backend,
            "host_work_dir": str(work), "env": {"PATH": f"{hidden}:/usr/bin:/bin"}}
    expected = "" if missing is None else NOT_VISIBLE.format(
        path=f'"{missing.format(**names)}"', role=role.format(**names))
    with pytest.raises(RuntimeError) as e:
        _native.spawn(spec)
    assert str(e.value) == f"spawn: io: {expected}No such file or directory (os error 2)"
    if missing is not None:
        shared = _native.spawn(dict(spec, extra_read_only_paths=[str(hidden)]))
        assert shared.wait_and_collect()[0] == 0


# Set-ups that change ids share our memory, and with it its dumpable flag, which each
# one's own /proc files (its id maps) depend on: none may lose a race to another's, of
# either backend.
@pytest.mark.skipif(not any(INFO[k].available for k in ("bubblewrap", "userns")),
                    reason="no Linux backend here")
def test_thousands_of_spawns_from_several_threads_all_start(tmp_path):
    kinds = [k for k in ("bubblewrap", "userns") if INFO[k].available]

    def outcome(i):
        spec = {"script_type": "argv", "argv": ["true"], "host_work_dir": str(tmp_path),
                "backend": kinds[i % len(kinds)]}
        try:
            return _native.spawn(spec).wait_and_collect()[0]
        except RuntimeError as e:
            return str(e)

    with concurrent.futures.ThreadPoolExecutor(6) as pool:
        outcomes = collections.Counter(pool.map(outcome, range(3000)))
    assert outcomes == {0: 3000}


# A write lease on the program: the sandbox's exec of it waits in open() until the holder
# lets go (by exiting), and the holder hears of that open through SIGIO.
LEASE_HOLDER = """
import fcntl, os, signal, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
signal.signal(signal.SIGIO, lambda *_: os.write(1, b"opened\\n"))
fcntl.fcntl(fd, getattr(fcntl, "F_SETLEASE", 1024), fcntl.F_WRLCK)
os.write(1, b"held\\n")
sys.stdin.read()
"""


def our_children():
    return {int(pid) for task in os.listdir("/proc/self/task")
            for pid in open(f"/proc/self/task/{task}/children").read().split()}


@pytest.mark.parametrize("backend", ISOLATING)
@pytest.mark.parametrize("caller", ["thread", "run", "Session.run", "cancelled run"])
def test_other_threads_run_while_a_spawn_waits_for_its_sandbox(backend, caller, tmp_path):
    program = tmp_path / "gated"
    # A cancelled run that leaked its sandbox would leave it sleeping.
    program.write_text("#!/bin/sh\n[ -e cancelled ] && exec sleep 60\nexit 5\n")
    program.chmod(0o755)
    if caller == "cancelled run":
        (tmp_path / "cancelled").touch()
    spec = {"script_type": "argv", "argv": [str(program)], "backend": backend,
            "host_work_dir": str(tmp_path)}
    holder = subprocess.Popen([sys.executable, "-c", LEASE_HOLDER, str(program)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    spawned, codes = threading.Event(), []

    def in_thread():
        proc = _native.spawn(spec)
        spawned.set()
        codes.append(proc.wait_and_collect()[0])

    async def on_loop():
        if caller == "Session.run":
            with Session() as session:
                task = asyncio.create_task(session.run(spec))
                return await released(task)
        return await released(asyncio.create_task(aio.run(spec)))

    async def released(task):
        line = await asyncio.get_running_loop().run_in_executor(None, holder.stdout.readline)
        # The loop ran this coroutine while the spawn waited: it was not on the loop's thread.
        assert (line, task.done()) == (b"opened\n", False)
        if caller == "cancelled run":
            task.cancel()
        holder.stdin.close()
        if caller != "cancelled run":
            return codes.append((await task).exit_code)
        with pytest.raises(asyncio.CancelledError):
            await task
        # The spawn ran on after the cancellation; its sandbox was killed and reaped.
        assert our_children() - {holder.pid} == set()
        codes.append(5)

    try:
        assert holder.stdout.readline() == b"held\n"
        if caller == "thread":
            thread = threading.Thread(target=in_thread)
            thread.start()
            # Python runs here while the other thread's spawn waits in the sandbox's exec.
            assert select.select([holder.stdout], [], [], HANG_S)[0]
            assert (holder.stdout.readline(), spawned.is_set()) == (b"opened\n", False)
            holder.stdin.close()
            thread.join(HANG_S)
        else:
            asyncio.run(asyncio.wait_for(on_loop(), HANG_S))
    finally:
        if not holder.stdin.closed:
            holder.stdin.close()
        holder.wait(HANG_S)
    assert codes == [5]


# --- The network fence: under a filtered policy the proxy is the only way out -----------

FENCE_PROBE = """
get() {{ curl -sS --max-time 10 "$@" 2>/dev/null; echo " rc=$?"; }}
get --noproxy '' -p http://127.0.0.1:{port}/
get --noproxy '' --proxy "$ALL_PROXY" http://127.0.0.1:{port}/
get --max-time 5 http://127.0.0.1:{port}/
""" + PY_CONNECT + """AF_INET '("127.0.0.1", {port})'
python3 -c 'import socket; socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(b"x", ("127.0.0.1", {udp}))'
python3 -m http.server --bind 127.0.0.1 18765 >/dev/null 2>&1 & sleep 0.5
get --noproxy '*' -o /dev/null -w '%{{http_code}}' http://127.0.0.1:18765/
kill $!
"""


@pytest.mark.parametrize("backend", ISOLATING)
@pytest.mark.parametrize("mode,lists", [("allowlist", {"network_allowlist": ["127.0.0.1"]}),
                                        ("open", {"network_denylist": ["127.0.0.2"]})])
def test_fence_lets_only_the_proxy_out(backend, tmp_path, web_server, mode, lists):
    # What the proxy refuses is test_allow_list_proxy's; here only the way to it is open.
    proxy = _native.AllowListProxy(lists.get("network_allowlist", []),
                                   lists.get("network_denylist", []))
    env = dict(_native.proxy_env_vars(proxy.url, proxy.socks_url))
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
        udp.bind(("127.0.0.1", 0))
        script = FENCE_PROBE.format(port=web_server, udp=udp.getsockname()[1])
        code, out, err = run(backend, script, tmp_path, env=env, network_mode=mode, **lists)
        udp.settimeout(0.2)
        with pytest.raises(socket.timeout):
            udp.recv(16)
    assert code == 0, err
    assert out.decode().splitlines() == [
        "reached the server", " rc=0",  # the HTTP proxy, CONNECT
        "reached the server", " rc=0",  # socks5h
        " rc=7",                       # direct, as NO_PROXY would send it: nothing there
        "refused",                     # a socket of the child's own
        "200 rc=0",                    # the child's own loopback
    ]


# The session's proxy closes while the child runs, and something else takes its port: the
# child's connections through the fence reach neither.
@pytest.mark.parametrize("backend", ISOLATING)
def test_fence_fails_closed_once_its_proxy_has_closed(backend, tmp_path, web_server,
                                                     refused_soon):
    proxy = _native.AllowListProxy(["127.0.0.1"], [])
    env = dict(_native.proxy_env_vars(proxy.url, proxy.socks_url))
    port = int(proxy.url.rsplit(":", 1)[1])
    script = (f"for i in $(seq 600); do [ -e go ] && break; sleep 0.05; done; curl -sS "
              f"--max-time 5 --proxy \"$HTTP_PROXY\" http://127.0.0.1:{web_server}/ 2>/dev/null; "
              f"echo \" rc=$?\"")
    child = _native.spawn({"script_type": "shell", "input": script, "backend": backend,
                           "host_work_dir": str(tmp_path), "env": env,
                           "network_mode": "allowlist", "network_allowlist": ["127.0.0.1"]})
    proxy.close()
    assert refused_soon(proxy.url)
    with socket.create_server(("127.0.0.1", port)) as squatter:
        squatter.setblocking(False)
        (tmp_path / "go").touch()
        code, out, err = child.wait_and_collect()
        with pytest.raises(BlockingIOError):
            squatter.accept()
    assert code == 0 and b"reached the server" not in out, (out, err)


# A child holding thousands of idle connections to its proxy gets only its share of the
# proxy's connections and of our descriptors (held at the common soft limit of 1024 here),
# and its record says why the rest were closed: the host still spawns and still uses the
# proxy meanwhile. A persistent sandbox's share holds over its life: a background command
# holds it, and once that command died its connections are given back.
HOLD_CONNECTIONS = """python3 -c 'import os, socket, time
port = int(os.environ["HTTP_PROXY"].rsplit(":", 1)[1])
held = [socket.create_connection(("127.0.0.1", port)) for _ in range(3000)]
open("held", "w").close()
while not os.path.exists("release"): time.sleep(0.05)'"""
OVER_SHARE = "connections through its fence already, the most it may"


@pytest.mark.parametrize("backend", ISOLATING)
@pytest.mark.parametrize("via", ["spawn", "sandbox"])
def test_a_child_holding_thousands_of_proxy_connections_leaves_the_host_working(
        backend, tmp_path, web_server, via):
    proxy = _native.AllowListProxy(["127.0.0.1"], max_connections=800)
    port = int(proxy.url.rsplit(":", 1)[1])
    keys = {"backend": backend, "host_work_dir": str(tmp_path),
            "env": dict(_native.proxy_env_vars(proxy.url, proxy.socks_url)),
            "network_mode": "allowlist", "network_allowlist": ["127.0.0.1"]}
    limits = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(1024, limits[1]), limits[1]))
    with contextlib.ExitStack() as stack:
        stack.callback(resource.setrlimit, resource.RLIMIT_NOFILE, limits)
        if via == "spawn":
            child = _native.spawn({"script_type": "shell", "input": HOLD_CONNECTIONS, **keys})
        else:
            box = stack.enter_context(Sandbox(keys))
            child = box.spawn(HOLD_CONNECTIONS)
        stack.callback((tmp_path / "release").touch)
        deadline = time.monotonic() + HANG_S
        while not (tmp_path / "held").exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        assert (tmp_path / "held").exists()
        with socket.create_connection(("127.0.0.1", port), timeout=HANG_S) as s:
            s.sendall(f"CONNECT 127.0.0.1:{web_server} HTTP/1.1\r\n\r\n".encode())
            assert s.recv(12) == b"HTTP/1.1 200"
        assert run("none", "exit 3", tmp_path)[0] == 3
        if via == "spawn":
            (tmp_path / "release").touch()
            code, out, err = child.wait_and_collect()
            assert code == 0, err
            entries = child.connections()[0]
        else:
            child.kill()
            r = box.exec(f"for i in $(seq 100); do curl -sS --max-time 5 --noproxy '' -p "
                         f"http://127.0.0.1:{web_server}/ 2>/dev/null && break; sleep 0.1; done")
            assert r.stdout == b"reached the server\n", r
            entries = [vars(c) for c in box.connections]
    assert any(e["verdict"] == "refused" and OVER_SHARE in e["reason"] for e in entries)


@pytest.mark.parametrize("backend", ISOLATING)
def test_fence_relays_an_endpoint_that_is_no_proxy_of_this_process(backend, tmp_path, web_server):
    # The variable names a loopback service of another kind: the fence relays its bytes.
    code, out, err = run(backend, f"curl -sS --noproxy '*' http://127.0.0.1:{web_server}/",
                         tmp_path, env={"HTTP_PROXY": f"http://127.0.0.1:{web_server}"},
                         network_mode="allowlist", network_allowlist=["x.org"])
    assert (code, out) == (0, b"reached the server\n"), err


# --- Limits of the whole sandbox ---------------------------------------------------------

TOUCH_2GIB = ("python3 -c 'a = bytearray(2 << 30)\n"
              "for i in range(0, len(a), 4096): a[i] = 1\n"
              "print(\"survived\")'")
# At most 300 forks, whatever the limit does; each child sleeps until the sandbox ends.
FORK_300 = ("python3 -c 'import os, time\nn = 0\nfor _ in range(300):\n"
            " try: pid = os.fork()\n except OSError: break\n"
            " if pid == 0: time.sleep(30); os._exit(0)\n n += 1\nprint(n)'")
# Spinners for 3 s of wall time; prints their CPU seconds, then the wall seconds.
SPIN_3S = ("python3 -c 'import os, time\nstart = time.monotonic()\npids = []\n"
           "for _ in range(2):\n pid = os.fork()\n if pid == 0:\n"
           "  while time.monotonic() - start < 3: pass\n  os._exit(0)\n pids.append(pid)\n"
           "for pid in pids: os.waitpid(pid, 0)\nt = os.times()\n"
           "print(t.children_user + t.children_system, time.monotonic() - start)'")
# 1 MiB files, at most 40 per directory, until one fails; prints the bytes written.
FILL_SCRATCH = ("python3 -c 'total = 0\nfor d in (\"/tmp\", \"/dev/shm\"):\n"
                " for i in range(40):\n  try:\n"
                "   with open(f\"{{d}}/{tag}-{{i}}\", \"wb\") as f: f.write(bytes(1 << 20))\n"
                "  except OSError: break\n  total += 1 << 20\nprint(total)'")


def _spinning_share(out):
    cpu, wall = map(float, out.split())
    return cpu / wall


# (limit key, spec keys, script, check of (exit code, stdout, handle)). Each script stays
# bounded when its limit fails: 2 GiB, 300 processes, 3 s, 80 MiB in the private tmpfs,
# 2 MB in files named for the test.
LIMITS = [
    ("memory_bytes", {"memory_bytes": 256 << 20}, TOUCH_2GIB,
     lambda code, out, p: (code, out, p.memory_limit_exceeded) == (137, b"", True)),
    # tmpfs pages are the sandbox's memory too.
    ("memory_bytes", {"memory_bytes": 64 << 20, "ephemeral_storage_bytes": 512 << 20},
     "head -c 200000000 /dev/zero > /tmp/big && echo wrote",
     lambda code, out, p: b"wrote" not in out),
    ("max_processes", {"max_processes": 50}, FORK_300,
     lambda code, out, p: code == 0 and 0 < int(out) < 60 and not p.memory_limit_exceeded),
    # A tenth of a CPU over all its processes, measured loosely: without the cap two
    # spinners take well over one CPU-second per second, even on a busy machine.
    ("cpu_milli", {"cpu_milli": 100}, SPIN_3S,
     lambda code, out, p: code == 0 and _spinning_share(out) <= 0.2),
    ("ephemeral_storage_bytes", {"ephemeral_storage_bytes": 8 << 20}, FILL_SCRATCH,
     lambda code, out, p: code == 0 and 0 < int(out) <= 8 << 20),
    # The private work dir of a spec naming none counts within the bound too.
    ("ephemeral_storage_bytes", {"ephemeral_storage_bytes": 8 << 20, "host_work_dir": ""},
     "python3 -c 'import errno\ntry:\n for i in range(6):\n  with open(f\"f{{i}}\", \"wb\") as f:"
     " f.write(bytes(7 << 20))\nexcept OSError as e: print(errno.errorcode[e.errno])'",
     lambda code, out, p: code == 0 and out in (b"ENOSPC", b"EDQUOT")),
    # No other tmpfs of the sandbox takes writes past the scratch bound.
    ("ephemeral_storage_bytes", {},
     "for d in / /dev; do head -c 1000000 /dev/zero > $d/{tag} 2>/dev/null && echo wrote $d; done",
     lambda code, out, p: out == b""),
]


@pytest.mark.parametrize("backend", ISOLATING)
@pytest.mark.parametrize("key,keys,script,holds", LIMITS,
                         ids=[f"{row[0]}-{i}" for i, row in enumerate(LIMITS)])
def test_limits_hold_for_the_whole_sandbox(backend, tmp_path, key, keys, script, holds):
    listed = {"bubblewrap": "bubblewrap", "userns-lite": "userns"}[backend]
    if key not in INFO[listed].limits:
        # Asked to, the spawn refuses a limit that does not hold instead of warning.
        with pytest.raises(RuntimeError, match=f"^spawn: isolation hardening unavailable: {key} "):
            _native.spawn({"script_type": "shell", "input": "true", "backend": backend,
                           "require_limits": True, **keys})
        pytest.skip(f"{key} is not enforceable by {backend} here "
                    f"(it holds {', '.join(INFO[listed].limits) or 'none'})")
    tag = f"ventra-limit-{uuid.uuid4().hex}"
    p = _native.spawn({"script_type": "shell", "input": script.format(tag=tag),
                       "backend": backend, "host_work_dir": str(tmp_path),
                       "timeout_s": HANG_S, **keys})
    code, out, err = p.wait_and_collect()
    leaked = [os.path.join(d, f) for d in ("/tmp", "/dev/shm", "/", "/dev") for f in os.listdir(d)
              if f.startswith(tag)]
    for f in leaked:
        os.unlink(f)
    assert leaked == [], "a sandboxed write reached the host"
    assert holds(code, out.strip(), p), (code, out, err)


@pytest.mark.parametrize("backend", ISOLATING)
def test_descriptor_limit_is_explicit(backend, tmp_path):
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    want = min(4096, hard) if hard != resource.RLIM_INFINITY else 4096
    assert run(backend, "ulimit -n; ulimit -Hn", tmp_path) == (0, f"{want}\n{want}\n".encode(), b"")
