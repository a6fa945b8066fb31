#!/usr/bin/env python3
"""Leak cycles for ventra.sandbox._native: spawn/collect cycles, proxied connections and
persistent sandboxes, then proof that open descriptors, threads, child and sandboxed
processes, control groups, mounts and temporary files are back where they started and
that resident memory stayed flat.

It runs in a fresh interpreter: it points TMPDIR at a private directory and puts a fake
`sandbox-exec` (which checks its "-f <profile>" arguments and execs the command) first on
PATH before the module is first used, so the sandbox-exec path, with its profile files,
is cycled too. All traffic stays on 127.0.0.1.

    python3 scripts/soak.py            # the test suite's small cycle (200 of each;
                                       # 50 persistent sandboxes, 500 execs)
    python3 scripts/soak.py --long     # the soak, by hand: 10,000 of each; 1,000
                                       # persistent sandboxes, 10,000 execs
    python3 scripts/soak.py --long --threads 6   # the spawns from 6 threads at once

Prints one JSON object per phase with the before/after figures, then a final line
"soak: ok" or "soak: FAILED"; the exit status is 0 only when every phase came back flat.
"""

import argparse
import json
import os
import random
import re
import shutil
import socket
import struct
import sys
import tempfile
import threading
import time

SETTLE_S = 60.0  # generous: detached proxy threads exit on their own schedule
RSS_SLACK = 24 * 1024 * 1024  # allowed growth after warm-up (allocator arenas, caches)
USERNS_SLACK = 16  # cached user namespaces (see fd_counts) a phase may add

FAKE_SANDBOX_EXEC = """#!/bin/sh
[ "$1" = -f ] && [ -f "$2" ] || exit 99
shift 2
exec "$@"
"""


# --- process figures -------------------------------------------------------------


def fd_counts() -> tuple:
    """(descriptors, of which user namespaces). The module keeps one user namespace per
    host id pair a root caller's sandbox has run under, for its idmapped binds: ids are
    the lowest free ones host-wide, so that cache grows with what else on the host holds
    ids at the time, not with the count of sandboxes; it is bounded apart."""
    total = userns = 0
    for name in os.listdir("/proc/self/fd"):
        total += 1
        try:
            userns += os.readlink(f"/proc/self/fd/{name}").startswith("user:[")
        except OSError:
            pass
    return total - userns, userns


def thread_count() -> int:
    """Threads but the one spawner thread the module keeps for the process's life."""
    n = 0
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                n += f.read().strip() != "sbx-spawner"
        except OSError:
            pass
    return n


def children() -> tuple:
    """(children, zombies) of this process."""
    me, n, zombies = os.getpid(), 0, 0
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == me:
            n += 1
            zombies += fields[0] == "Z"
    return n, zombies


def tmp_count(tmpdir: str) -> int:
    """Everything in the private TMPDIR, the soak's own fixtures included (constant)."""
    return len(os.listdir(tmpdir))


def mount_counts() -> tuple:
    """Lines of this process's mount table and of pid 1's (the host's, as far as it is
    visible from here); a sandbox's own mounts must never show in either."""
    counts = []
    for path in ("/proc/self/mountinfo", "/proc/1/mountinfo"):
        try:
            with open(path) as f:
                counts.append(sum(1 for _ in f))
        except OSError:
            counts.append(0)
    return tuple(counts)


# Every process a persistent sandbox's command leaves behind carries this in its
# command line, so the soak finds it wherever it was reparented to.
MARK = f"ventra-soak-{os.getpid()}-{random.randrange(1 << 30)}"


def marked_count() -> int:
    n = 0
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                n += MARK.encode() in f.read()
        except OSError:
            pass
    return n


def cgroup_count() -> int:
    """Sandbox control groups of this process still present (a sandbox's limits, a
    persistent sandbox's freezer group): in its own group of each hierarchy, and beside
    it (a v2 caller lives in a leaf of the group that holds them)."""
    tag = re.compile(rf"ventra-[a-z]+-{os.getpid()}\.")
    mounts = []
    with open("/proc/self/mountinfo") as f:
        for line in f:
            left, _, right = line.partition(" - ")
            if right.split()[0] in ("cgroup", "cgroup2"):
                mounts.append(left.split()[4])
    seen, n = set(), 0
    with open("/proc/self/cgroup") as f:
        paths = [line.rstrip("\n").split(":", 2)[2] for line in f]
    for mount in mounts:
        for path in paths:
            for d in {os.path.normpath(mount + path), os.path.dirname(os.path.normpath(mount + path))}:
                if d in seen or not d.startswith(mount):
                    continue
                seen.add(d)
                try:
                    n += sum(1 for name in os.listdir(d) if tag.match(name))
                except OSError:
                    pass
    return n


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def snapshot(tmpdir: str) -> dict:
    kids, zombies = children()
    mounts, host_mounts = mount_counts()
    fds, userns_fds = fd_counts()
    return {
        "fds": fds,
        "userns_fds": userns_fds,
        "threads": thread_count(),
        "children": kids,
        "zombies": zombies,
        "tmp_files": tmp_count(tmpdir),
        "cgroups": cgroup_count(),
        "mounts": mounts,
        "host_mounts": host_mounts,
        "marked": marked_count(),
        "rss_kib": rss_bytes() // 1024,
    }


COUNTED = ("fds", "threads", "children", "zombies", "tmp_files", "cgroups", "mounts",
           "host_mounts", "marked")


def flat(before: dict, after: dict, rss_slack: int = -1) -> bool:
    """Every counted figure back; the cache and, given a slack, memory within bounds."""
    return (all(after[k] <= before[k] for k in COUNTED)
            and after["userns_fds"] <= before["userns_fds"] + USERNS_SLACK
            and (rss_slack < 0 or after["rss_kib"] * 1024 <= before["rss_kib"] * 1024 + rss_slack))


def settle(baseline: dict, tmpdir: str) -> dict:
    """Polls until every counted figure is back to the baseline or the bound passes."""
    deadline = time.monotonic() + SETTLE_S
    while True:
        now = snapshot(tmpdir)
        if flat(baseline, now) or time.monotonic() > deadline:
            return now
        time.sleep(0.05)


# --- spawn/collect cycles --------------------------------------------------------


def spawn_cycles(native, count: int, tmpdir: str) -> None:
    def spawn(**spec):
        spec.setdefault("backend", "none")
        return native.spawn(spec)

    # The Linux backends' set-up (namespaces, init, mounts) and its failure path, where
    # this host runs them.
    isolating = [i.kind for i in native.available_backends()
                 if i.available and i.kind in ("bubblewrap", "userns")]

    for i in range(count):
        kind = i % 10
        if i % 100 == 7:
            # Killed while running: the group dies and the child is reaped.
            p = spawn(script_type="argv", argv=["sleep", "30"])
            p.kill()
            code, _, _ = p.wait_and_collect()
            assert code == 137, code
        elif i % 100 == 17:
            # Deadline kill.
            p = spawn(script_type="argv", argv=["sleep", "30"], timeout_s=0.02)
            code, _, _ = p.wait_and_collect()
            assert code == 137, code
        elif i % 100 == 27:
            # Dropped while running, never collected: the owner kills and reaps.
            p = spawn(script_type="argv", argv=["sleep", "30"])
            del p
        elif i % 100 == 37:
            # Launch failure: nothing may stay behind (no zombie, pipe or profile file).
            try:
                spawn(script_type="argv", argv=["/nonexistent/soak-missing-program"])
            except RuntimeError:
                pass
            else:
                raise AssertionError("missing program launched")
        elif i % 100 == 47:
            try:
                spawn(
                    script_type="argv",
                    argv=["true"],
                    backend="sandbox-exec",
                    working_dir=os.path.join(tmpdir, "no-such-dir"),
                )
            except RuntimeError:
                pass
            else:
                raise AssertionError("spawn in a missing directory succeeded")
        elif i % 100 in (57, 67) and isolating:
            backend = isolating[(i // 100) % len(isolating)]
            if i % 100 == 57:
                # Every limit's group where this host makes them; none may stay behind.
                p = spawn(script_type="shell", input="echo iso; exit 4", backend=backend,
                          memory_bytes=256 << 20, cpu_milli=1000, max_processes=64)
                assert p.wait_and_collect() == (4, b"iso\n", b""), backend
            else:
                try:
                    spawn(script_type="argv", argv=["/nonexistent/soak-missing"], backend=backend)
                except RuntimeError:
                    pass
                else:
                    raise AssertionError(f"missing program launched under {backend}")
        elif kind in (0, 5):
            code, out, err = spawn(script_type="argv", argv=["true"]).wait_and_collect()
            assert (code, out, err) == (0, b"", b""), (code, out, err)
        elif kind in (1, 6):
            p = spawn(script_type="shell", input=f"echo out{i}; echo err{i} >&2; exit 3")
            code, out, err = p.wait_and_collect()
            assert (code, out, err) == (3, f"out{i}\n".encode(), f"err{i}\n".encode())
        elif kind in (2, 7):
            p = spawn(script_type="argv", argv=["sh", "-c", "echo sx"], backend="sandbox-exec")
            code, out, _ = p.wait_and_collect()
            assert (code, out) == (0, b"sx\n"), (code, out)
        elif kind in (3, 8):
            p = spawn(script_type="argv", argv=["true"], capture_stdout=False, capture_stderr=False)
            assert p.wait() == 0
        else:
            p = spawn(script_type="shell", input="kill -TERM $$", backend="sandbox-exec")
            assert p.wait_and_collect()[0] == 128 + 15


# --- proxied connections ---------------------------------------------------------


class EchoUpstream:
    """Loopback upstream: echoes each connection until its end of stream, then closes.
    Serves connections one after another on one thread."""

    def __init__(self) -> None:
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(128)
        self.port = self.listener.getsockname()[1]
        self.accepted = 0
        self.stopping = False
        self.thread = threading.Thread(target=self.run, name="soak-echo", daemon=True)
        self.thread.start()

    def run(self) -> None:
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            if self.stopping:
                conn.close()
                return
            self.accepted += 1
            with conn:
                conn.settimeout(30)
                try:
                    while True:
                        data = conn.recv(65536)
                        if not data:
                            break
                        conn.sendall(data)
                except OSError:
                    pass

    def close(self) -> None:
        self.stopping = True
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=5).close()
        except OSError:
            pass
        self.thread.join(30)
        self.listener.close()


def recv_exact(sock: socket.socket, n: int) -> bytes:
    out = bytearray()
    while len(out) < n:
        chunk = sock.recv(n - len(out))
        if not chunk:
            break
        out += chunk
    return bytes(out)


def recv_to_end(sock: socket.socket) -> bytes:
    out = bytearray()
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return bytes(out)
        out += chunk


def port_of(url: str) -> int:
    return int(url.rsplit(":", 1)[1])


def open_http(proxy_port: int, target: str) -> socket.socket:
    s = socket.create_connection(("127.0.0.1", proxy_port), timeout=30)
    s.sendall(f"CONNECT {target} HTTP/1.1\r\nHost: {target}\r\n\r\n".encode())
    return s


def socks_request(host: bytes, port: int, atyp: int) -> bytes:
    addr = host if atyp == 1 else bytes([len(host)]) + host
    return b"\x05\x01\x00" + bytes([5, 1, 0, atyp]) + addr + struct.pack(">H", port)


def open_socks(proxy_port: int, request: bytes) -> socket.socket:
    s = socket.create_connection(("127.0.0.1", proxy_port), timeout=30)
    s.sendall(request)
    return s


def echo_through(sock: socket.socket, payload: bytes) -> None:
    # Lock-step chunks: the echo never has more than one chunk in flight.
    for off in range(0, len(payload), 16384):
        chunk = payload[off : off + 16384]
        sock.sendall(chunk)
        assert recv_exact(sock, len(chunk)) == chunk, "tunnel corrupted the bytes"
    sock.shutdown(socket.SHUT_WR)
    assert recv_to_end(sock) == b"", "bytes after end of stream"


OK_200 = b"HTTP/1.1 200 Connection Established\r\n\r\n"
SOCKS_OK = b"\x05\x00" + b"\x05\x00\x00\x01" + bytes(6)
SOCKS_REFUSED = b"\x05\x00" + b"\x05\x02\x00\x01" + bytes(6)


def connection_cycles(native, count: int) -> None:
    upstream = EchoUpstream()
    rng = random.Random(1234)
    proxy = native.AllowListProxy(["127.0.0.1"], ["blocked.invalid"])
    http_port, socks_port = port_of(proxy.url), port_of(proxy.socks_url)
    target = f"127.0.0.1:{upstream.port}"
    admitted = 0
    try:
        for i in range(count):
            size = 200_000 if i % 97 == 0 else rng.randrange(1, 4096)
            payload = rng.randbytes(size) if hasattr(rng, "randbytes") else os.urandom(size)
            kind = i % 8
            if kind in (0, 4):
                with open_http(http_port, target) as s:
                    assert recv_exact(s, len(OK_200)) == OK_200
                    echo_through(s, payload)
                admitted += 1
            elif kind in (1, 5):
                req = socks_request(socket.inet_aton("127.0.0.1"), upstream.port, 1)
                with open_socks(socks_port, req) as s:
                    assert recv_exact(s, len(SOCKS_OK)) == SOCKS_OK
                    echo_through(s, payload)
                admitted += 1
            elif kind == 2:
                with open_http(http_port, "blocked.invalid:443") as s:
                    assert recv_to_end(s).startswith(b"HTTP/1.1 403 Forbidden\r\n")
            elif kind == 3:
                req = socks_request(b"blocked.invalid", 443, 3)
                with open_socks(socks_port, req) as s:
                    assert recv_to_end(s) == SOCKS_REFUSED
            elif kind == 6:
                # A client that hangs up mid-request: the handler must still end.
                with socket.create_connection(("127.0.0.1", http_port), timeout=30) as s:
                    s.sendall(b"CONNECT 127.0.0.1:")
            else:
                # Payload sent right behind the head, before the 200 arrives.
                with open_http(http_port, f"127.0.0.1:{upstream.port}") as s:
                    s.sendall(payload[:1])  # early byte in the same stream as the head
                    assert recv_exact(s, len(OK_200)) == OK_200
                    assert recv_exact(s, 1) == payload[:1]
                    echo_through(s, payload[1:] or b"x")
                admitted += 1
        # Short-lived proxies: construction, close and deallocation release everything.
        for j in range(max(10, count // 20)):
            p = native.AllowListProxy([] if j % 2 else ["127.0.0.1"])
            with open_http(port_of(p.url), target) as s:
                assert recv_exact(s, len(OK_200)) == OK_200
                echo_through(s, b"ping")
            admitted += 1
            if j % 3 == 0:
                p.close()
            del p
    finally:
        proxy.close()
        upstream.close()
    assert upstream.accepted == admitted, (upstream.accepted, admitted)


# --- persistent sandboxes --------------------------------------------------------


def persistent_cycles(count: int, execs: int, tmpdir: str) -> None:
    """``count`` sandboxes, ``execs`` commands over them: each sandbox leaves a
    background process, has a spawn killed and a deadline pass, writes and reads a file,
    and is closed with everything still in it."""
    from ventra.sandbox import Sandbox  # noqa: PLC0415

    from ventra.sandbox import _native as native  # noqa: PLC0415

    backends = [b for b, kind in (("bubblewrap", "bubblewrap"), ("userns-lite", "userns"))
                if any(i.kind == kind and i.available for i in native.available_backends())]
    if not backends:
        return
    shared_work = os.path.join(tmpdir, "box-work")
    os.makedirs(shared_work, exist_ok=True)
    per_box = max(execs // max(count, 1), 7)
    freezes = True
    for i in range(count):
        spec = {"script_type": "argv", "argv": ["-"], "backend": backends[i % len(backends)]}
        if i % 4 == 1:
            spec["host_work_dir"] = shared_work  # the caller's own; the others are private
        if i % 4 == 2:
            spec.update(memory_bytes=256 << 20, max_processes=64, cpu_milli=1000)
        box = Sandbox(spec)
        try:
            # Left running in a session of its own (its pid file is written once it is
            # there): only the close ends it; the next commands see it.
            bg = f".bg-{i}"
            r = box.exec(["sh", "-c", f"setsid sh -c 'echo $$ > {bg}; sleep 3600; :' {MARK}-bg "
                                      f"</dev/null >/dev/null 2>&1 & "
                                      f"until [ -s {bg} ]; do sleep 0.01; done"])
            assert r.exit_code == 0, r
            p = box.spawn(["sh", "-c", "sleep 3600; :", f"{MARK}-spawn"])
            p.kill()
            assert p.wait_and_collect()[0] == 137, box.backend
            r = box.exec(["sh", "-c", "sleep 3600; :", f"{MARK}-deadline"], timeout_s=0.05)
            assert r.exit_code == 137, r
            data = f"box {i}\n".encode() * (1 + i % 50)
            box.write_file(f"soak-{i}.txt", data)
            assert box.read_file(f"soak-{i}.txt") == data
            if freezes and i % 10 == 3:
                try:
                    box.freeze()
                    box.thaw()
                except RuntimeError:
                    freezes = False  # no freezer group on this host
            for j in range(per_box - 7):
                if j % 2:
                    r = box.exec(["true"])
                    assert (r.exit_code, r.stdout, r.stderr) == (0, b"", b""), r
                else:
                    r = box.exec('echo "$V"; ls soak-*.txt; exit 3', env={"V": str(j)})
                    assert (r.exit_code, r.stdout) == (3, f"{j}\nsoak-{i}.txt\n".encode()), r
            r = box.exec(f'kill -0 "$(cat {bg})" && rm -f {bg} soak-{i}.txt')
            assert r.exit_code == 0, ("the background process is gone", r)
        finally:
            box.close()
        assert box.status == "closed", box.status


# --- driver ----------------------------------------------------------------------


def from_threads(threads: int, body, count: int) -> None:
    """``body(count // threads)`` on each of ``threads`` threads at once; the first
    failure of any of them is raised here."""
    failures = []

    def run():
        try:
            body(count // threads)
        except BaseException as e:  # reported below, on the calling thread
            failures.append(e)

    workers = [threading.Thread(target=run) for _ in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    if failures:
        raise failures[0]


def run_phase(name: str, body, tmpdir: str, warmup) -> dict:
    warmup()
    before = settle(snapshot(tmpdir), tmpdir)  # let warm-up threads finish first
    started = time.monotonic()
    body()
    after = settle(before, tmpdir)
    report = {
        "phase": name,
        "seconds": round(time.monotonic() - started, 1),
        "before": before,
        "after": after,
        "flat": flat(before, after, RSS_SLACK),
    }
    print(json.dumps(report), flush=True)
    return report


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--long", action="store_true", help="10,000 spawns and connections")
    parser.add_argument("--spawns", type=int)
    parser.add_argument("--connections", type=int)
    parser.add_argument("--sandboxes", type=int, help="persistent sandboxes to cycle")
    parser.add_argument("--execs", type=int, help="commands run in them, all told")
    parser.add_argument("--threads", type=int, default=1,
                        help="run the spawn cycles from this many threads at once")
    args = parser.parse_args(argv)
    spawns = args.spawns if args.spawns is not None else (10_000 if args.long else 200)
    connections = args.connections if args.connections is not None else (10_000 if args.long else 200)
    sandboxes = args.sandboxes if args.sandboxes is not None else (1_000 if args.long else 50)
    execs = args.execs if args.execs is not None else (10_000 if args.long else 500)

    tmpdir = tempfile.mkdtemp(prefix="ventra-soak-")
    tooldir = os.path.join(tmpdir, "bin")
    os.mkdir(tooldir)
    tool = os.path.join(tooldir, "sandbox-exec")
    with open(tool, "w") as f:
        f.write(FAKE_SANDBOX_EXEC)
    os.chmod(tool, 0o755)
    os.environ["TMPDIR"] = tmpdir
    os.environ["PATH"] = tooldir + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin")

    from ventra.sandbox import _native as native  # first use after PATH and TMPDIR are set

    names = [i.kind for i in native.available_backends() if i.available]
    if "sandbox-exec" not in names:
        print("soak: the fake sandbox-exec was not picked up", file=sys.stderr)
        return 2

    reports = [
        run_phase("spawn", lambda: from_threads(max(args.threads, 1),
                                                lambda n: spawn_cycles(native, n, tmpdir), spawns),
                  tmpdir,
                  lambda: spawn_cycles(native, 100, tmpdir)),
        run_phase("connections", lambda: connection_cycles(native, connections), tmpdir,
                  lambda: connection_cycles(native, 100)),
        run_phase("persistent", lambda: persistent_cycles(sandboxes, execs, tmpdir), tmpdir,
                  lambda: persistent_cycles(4, 40, tmpdir)),
    ]
    shutil.rmtree(tmpdir, ignore_errors=True)
    ok = all(r["flat"] for r in reports)
    print("soak: ok" if ok else "soak: FAILED", flush=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
