#!/usr/bin/env python3
"""Side-by-side benchmarks of ventra.sandbox against Python's subprocess, a direct
loopback connection, a peer proxy (tinyproxy) and the bare bwrap and unshare tools,
measured in one run on this machine.

    python bench/run.py [--quick] [--build] [--only NAME,...] [--busy N] [--json PATH]

Every figure is a ratio against a reference taken in the same run, interleaved where
that makes sense, because absolute times on a shared 2-core machine are noise. The
table goes to stdout (plain and Markdown) and all raw numbers to bench/results/latest.json.

The native module is taken from the Release build in build/bench (staged with the pure
Python files into build/bench/stage), or, if that build is absent, from whatever
`ventra.sandbox` is importable. `--build` runs the CMake build first. Small C helpers
(bench/helpers/*.c) are compiled with `cc` into the build directory on each run.

All network traffic stays on 127.0.0.1; every loop is bounded in count and time.
"""

from __future__ import annotations

import argparse
import json
import mmap
import os
import platform
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
GIB = 1 << 30
MIB = 1 << 20

native: Any = None  # ventra.sandbox._native, bound by load_native()


# ---------------------------------------------------------------- setup


def load_native(build_dir: Path, build: bool) -> str:
    global native
    if build:
        subprocess.run(
            ["cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
             "-DSANDBOX_BUILD_PYTHON=ON", "-DSANDBOX_BUILD_TESTS=OFF", "-DSANDBOX_BUILD_BENCH=ON",
             "-DCMAKE_BUILD_TYPE=Release"], check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "-j2"], check=True)
    libs = sorted(build_dir.glob("src/sandbox_py/_native*.so"))
    if libs:
        stage = build_dir / "stage" / "ventra" / "sandbox"
        if stage.exists():
            shutil.rmtree(stage)
        shutil.copytree(ROOT / "python" / "ventra" / "sandbox", stage,
                        ignore=shutil.ignore_patterns("__pycache__"))
        shutil.copy2(libs[-1], stage / libs[-1].name)
        sys.path.insert(0, str(stage.parent.parent))
    from ventra.sandbox import _native  # noqa: PLC0415

    native = _native
    return str(Path(_native.__file__).resolve())


def compile_helpers(out: Path) -> dict[str, Path]:
    out.mkdir(parents=True, exist_ok=True)
    built = {}
    for name in ("netbench", "emit", "splice_relay", "connect_responder", "busy"):
        src = ROOT / "bench" / "helpers" / f"{name}.c"
        exe = out / name
        subprocess.run(["cc", "-O2", "-pthread", "-o", str(exe), str(src)], check=True)
        built[name] = exe
    # Named bwrap, in a directory of its own that only its owner may write: the backend
    # refuses a bwrap that others could swap.
    shim_dir = out / "bwrap-shim"
    shim_dir.mkdir(mode=0o755, exist_ok=True)
    shim_dir.chmod(0o755)
    built["bwrap"] = shim_dir / "bwrap"
    subprocess.run(["cc", "-O2", "-o", str(built["bwrap"]),
                    str(ROOT / "bench" / "helpers" / "bwrap_log.c")], check=True)
    return built


def raise_fd_limit() -> None:
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def load_average() -> list[float]:
    return [round(x, 2) for x in os.getloadavg()]


# ---------------------------------------------------------------- small tools


def median(xs: list[float]) -> float:
    return statistics.median(xs) if xs else float("nan")


def p90(xs: list[float]) -> float:
    if not xs:
        return float("nan")
    s = sorted(xs)
    return s[min(len(s) - 1, int(0.9 * len(s)))]


def interleave(n: int, fns: dict[str, Callable[[], float]], warmup: int = 0) -> dict[str, list[float]]:
    """Runs each function n times, rotating the order every round; returns samples."""
    names = list(fns)
    out: dict[str, list[float]] = {k: [] for k in names}
    for i in range(warmup + n):
        order = names[i % len(names):] + names[:i % len(names)]
        for k in order:
            v = fns[k]()
            if i >= warmup:
                out[k].append(v)
    return out


@contextmanager
def stderr_to_devnull() -> Iterator[None]:
    """The capped drain writes its truncation notice to fd 2; keep the report clean."""
    sys.stderr.flush()
    saved = os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    os.close(null)
    try:
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def proc_status(pid: int | str = "self") -> dict[str, int]:
    out = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "Threads"):
                out[key] = int(rest.split()[0])
    return out


def thread_count(pid: int | str = "self") -> int:
    return len(os.listdir(f"/proc/{pid}/task"))


def rss_kib(pid: int | str = "self") -> int:
    return proc_status(pid)["VmRSS"]


def cpu_seconds(pid: int | None) -> float:
    """CPU time (user + system, all threads) of this process or of `pid`."""
    if pid is None:
        r = resource.getrusage(resource.RUSAGE_SELF)
        return r.ru_utime + r.ru_stime
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / ticks


def settle_threads(pid: int | str = "self", quiet_s: float = 0.3, limit_s: float = 10.0) -> int:
    """Waits until the thread count stops falling; returns it."""
    end = time.monotonic() + limit_s
    last = thread_count(pid)
    stable_since = time.monotonic()
    while time.monotonic() < end:
        time.sleep(0.02)
        n = thread_count(pid)
        if n != last:
            last, stable_since = n, time.monotonic()
        elif time.monotonic() - stable_since >= quiet_s:
            break
    return last


# ---------------------------------------------------------------- peers


class TinyProxy:
    """tinyproxy on 127.0.0.1 with a throwaway config that allows CONNECT to any port."""

    def __init__(self) -> None:
        self.dir = tempfile.mkdtemp(prefix="bench-tinyproxy-")
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        conf = Path(self.dir) / "tinyproxy.conf"
        user = "User nobody\nGroup nogroup\n" if os.geteuid() == 0 else ""
        # No ConnectPort line: CONNECT is allowed to every port.
        conf.write_text(
            f"Port {self.port}\nListen 127.0.0.1\nTimeout 600\nMaxClients 4096\n"
            f"LogLevel Critical\nDisableViaHeader Yes\n{user}")
        self.proc = subprocess.Popen(["tinyproxy", "-d", "-c", str(conf)],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
                return
            except OSError:
                time.sleep(0.05)
        self.close()
        raise RuntimeError("tinyproxy did not start")

    @property
    def pid(self) -> int:
        return self.proc.pid

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class Reference:
    """A reference helper of bench/helpers on 127.0.0.1; it prints "port=N" and runs until
    its stdin ends."""

    def __init__(self, exe: Path) -> None:
        self.proc = subprocess.Popen([str(exe)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True)
        assert self.proc.stdout
        self.port = int(parse_kv(self.proc.stdout.readline())["port"])

    def close(self) -> None:
        if self.proc.stdin:
            self.proc.stdin.close()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def port_of(url: str) -> int:
    return int(url.rsplit(":", 1)[1].rstrip("/"))


# ---------------------------------------------------------------- 1-3: spawn, exit notice


def spawn_spec(argv: list[str]) -> dict[str, Any]:
    return {"script_type": "argv", "argv": argv, "backend": "none", "timeout_s": 600.0}


def time_ours(argv: list[str]) -> Callable[[], float]:
    spec = spawn_spec(argv)

    def run() -> float:
        t0 = time.perf_counter()
        code, _, _ = native.spawn(spec).wait_and_collect()
        dt = time.perf_counter() - t0
        assert code == 0, code
        return dt

    return run


def time_subprocess(argv: list[str], new_session: bool = False) -> Callable[[], float]:
    def run() -> float:
        t0 = time.perf_counter()
        r = subprocess.run(argv, capture_output=True, start_new_session=new_session)
        dt = time.perf_counter() - t0
        assert r.returncode == 0, r.returncode
        return dt

    return run


def spawn_pair(n: int) -> dict[str, Any]:
    s = interleave(n, {"ours": time_ours(["true"]), "subprocess": time_subprocess(["true"])},
                   warmup=max(5, n // 10))
    return {
        "ours_ms": median(s["ours"]) * 1e3, "ours_p90_ms": p90(s["ours"]) * 1e3,
        "subprocess_ms": median(s["subprocess"]) * 1e3,
        "subprocess_p90_ms": p90(s["subprocess"]) * 1e3,
        "ratio": median(s["ours"]) / median(s["subprocess"]), "n": n,
    }


class Ballast:
    """Anonymous memory of the given size, every page touched."""

    def __init__(self, size: int) -> None:
        self.map = mmap.mmap(-1, size, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
        chunk = b"\x01" * (64 * MIB)
        for off in range(0, size, len(chunk)):
            self.map[off:off + len(chunk)] = chunk[:size - off]

    def close(self) -> None:
        self.map.close()


def bench_spawn(quick: bool) -> dict[str, Any]:
    n = 100 if quick else 400
    res: dict[str, Any] = {"plain": spawn_pair(n)}
    b = Ballast(64 * MIB)
    res["64MiB"] = spawn_pair(n)
    b.close()
    try:
        b = Ballast(4 * GIB)
    except (OSError, MemoryError, ValueError) as e:
        res["4GiB"] = {"skipped": f"could not map and touch 4 GiB: {e}"}
    else:
        try:
            res["4GiB"] = spawn_pair(n)
        finally:
            b.close()
    if "ours_ms" in res["4GiB"]:
        res["ours_4GiB_vs_64MiB"] = res["4GiB"]["ours_ms"] / res["64MiB"]["ours_ms"]
        res["subprocess_4GiB_vs_64MiB"] = (res["4GiB"]["subprocess_ms"]
                                           / res["64MiB"]["subprocess_ms"])
    return res


def bench_exit_notice(quick: bool) -> dict[str, Any]:
    res = {}
    for life_ms, n in ((0, 40 if quick else 150), (5, 30 if quick else 100),
                       (50, 12 if quick else 40)):
        argv = ["true"] if life_ms == 0 else ["sleep", f"{life_ms / 1000:.3f}"]
        s = interleave(n, {"ours": time_ours(argv), "subprocess": time_subprocess(argv)},
                       warmup=3)
        ours = median(s["ours"]) * 1e3 - life_ms
        sub = median(s["subprocess"]) * 1e3 - life_ms
        res[f"{life_ms}ms"] = {
            "ours_ms": ours, "subprocess_ms": sub, "ratio": ours / sub,
            "ours_p90_ms": p90(s["ours"]) * 1e3 - life_ms,
            "subprocess_p90_ms": p90(s["subprocess"]) * 1e3 - life_ms, "n": n,
        }
    return res


# ---------------------------------------------------------------- 4: drain


def bench_drain(quick: bool, emit: Path) -> dict[str, Any]:
    """1 GiB (past the cap, as the goals are stated) and 256 MiB (all of it kept)."""
    reps = 1 if quick else 3
    res: dict[str, Any] = {}
    for key, size, both in (("stdout", GIB, 0), ("both", GIB, 1), ("kept_stdout", 256 * MIB, 0),
                            ("kept_both", 128 * MIB, 1)):
        argv = [str(emit), str(size), str(both)]
        spec = spawn_spec(argv)
        total = size * (2 if both else 1)

        def ours(size: int = size, spec: dict[str, Any] = spec) -> float:
            with stderr_to_devnull():
                t0 = time.perf_counter()
                code, out, err = native.spawn(spec).wait_and_collect()
                dt = time.perf_counter() - t0
            assert code == 0 and len(out) == min(size, 256 * MIB), (code, len(out))
            del out, err
            return dt

        def sub(size: int = size, argv: list[str] = argv) -> float:
            t0 = time.perf_counter()
            r = subprocess.run(argv, capture_output=True)
            dt = time.perf_counter() - t0
            assert r.returncode == 0 and len(r.stdout) == size
            del r
            return dt

        s = interleave(reps, {"ours": ours, "subprocess": sub})
        o, p = total / median(s["ours"]) / 1e9, total / median(s["subprocess"]) / 1e9
        res[key] = {"bytes_per_stream": size, "ours_GBps": o, "subprocess_GBps": p,
                    "ratio": o / p, "reps": reps}
    res["cli_json"] = cli_json_peak(emit)
    return res


def cli_json_peak(emit: Path) -> dict[str, Any]:
    """Peak resident memory of the command line's --json over 1 GiB of stdout, of which it
    keeps 256 MiB, against those kept bytes; in a fresh interpreter of its own."""
    probe = ("import resource, subprocess, sys\n"
             "subprocess.run([sys.executable, '-m', 'ventra.sandbox', 'run', '--backend', 'none',"
             " '-q', '--json', '--', sys.argv[1], str(1 << 30), '0'],"
             " stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)\n"
             "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(Path(native.__file__).resolve().parents[2])] + sys.path))
    out = subprocess.run([sys.executable, "-c", probe, str(emit)], capture_output=True,
                         text=True, check=True, env=env).stdout
    peak = int(out.split()[-1]) * 1024
    return {"peak_bytes": peak, "kept_bytes": 256 * MIB, "ratio": peak / (256 * MIB)}


# ---------------------------------------------------------------- 8: Linux backends


def backend_available(kind: str) -> bool:
    return any(b.kind == kind and b.available for b in native.available_backends())


def time_spawn(spec: dict[str, Any]) -> Callable[[], float]:
    def run() -> float:
        t0 = time.perf_counter()
        code, _, err = native.spawn(spec).wait_and_collect()
        dt = time.perf_counter() - t0
        assert code == 0, (code, err)
        return dt

    return run


def bwrap_argv(shim: Path, work: str, network_mode: str) -> list[str]:
    """The bubblewrap backend's own bwrap options, recorded once by the `bwrap_log` shim
    standing first on PATH, made into the bare command that builds the same sandbox with
    `true` as the command. The backend resolves bwrap once per process, so the recording
    runs in a fresh interpreter. The backend binds the caller's paths from a staging area
    of its set-up child; the bare command binds them from where they are. Its own network
    namespace is `--unshare-net`. `--seccomp FD` and the root caller's `--uid 0 --gid 0`
    are left out (loading a filter of this size costs microseconds)."""
    real = shutil.which("bwrap")
    assert real
    d = shim.parent
    (d / "real").write_text(real)
    for name in ("argv", "args"):  # bwrap runs as uid 65534 for a root caller
        f = d / name
        f.write_bytes(b"")
        if os.geteuid() == 0:
            os.chown(f, 65534, 65534)
    code = ("import sys; from ventra.sandbox import _native as n; "
            "p = n.spawn({'script_type': 'argv', 'argv': ['true'], 'backend': 'bubblewrap', "
            "'host_work_dir': sys.argv[1], 'network_mode': sys.argv[2], 'timeout_s': 60.0}); "
            "assert p.wait_and_collect()[0] == 0")
    env = dict(os.environ, PATH=f"{d}:{os.environ['PATH']}",
               PYTHONPATH=str(Path(native.__file__).parents[2]))
    subprocess.run([sys.executable, "-c", code, work, network_mode], env=env, check=True)
    opts = [a.decode() for a in (d / "args").read_bytes().split(b"\0")[:-1]]
    bare: list[str] = []
    i = 0
    while i < len(opts):
        a = opts[i]
        if a == "--seccomp":
            i += 2
            continue
        if a in ("--uid", "--gid"):
            i += 2
            continue
        if a in ("--bind", "--ro-bind") and opts[i + 1] != "/dev/null":
            bare += [a, opts[i + 2], opts[i + 2]]
            i += 3
            continue
        bare.append(a)
        i += 1
    if network_mode == "blocked":
        bare.insert(0, "--unshare-net")
    return [real, *bare, "--", "true"]


def bench_isolation(quick: bool, shim: Path) -> dict[str, Any]:
    """spawn+collect of `true` under each Linux backend against "none" and the bare tools,
    every variant run as a child of ours (the bare tools under "none"), interleaved."""
    n = 40 if quick else 150
    work = tempfile.mkdtemp(prefix="bench-iso-")
    res: dict[str, Any] = {"n": n}
    try:
        def spec(backend: str, mode: str = "blocked", argv: list[str] | None = None) -> dict[str, Any]:
            return {"script_type": "argv", "argv": argv or ["true"], "backend": backend,
                    "host_work_dir": work, "network_mode": mode, "timeout_s": 60.0}

        fns: dict[str, Callable[[], float]] = {"none": time_spawn(spec("none"))}
        if backend_available("bubblewrap"):
            for mode in ("blocked", "open"):
                fns[f"bubblewrap_{mode}"] = time_spawn(spec("bubblewrap", mode))
                argv = bwrap_argv(shim, work, mode)
                res[f"bare_bwrap_{mode}_argv"] = argv
                fns[f"bare_bwrap_{mode}"] = time_spawn(spec("none", argv=argv))
        if backend_available("userns"):
            for mode in ("blocked", "open"):
                fns[f"userns_{mode}"] = time_spawn(spec("userns-lite", mode))
            if shutil.which("unshare"):
                fns["bare_unshare_blocked"] = time_spawn(spec("none", argv=["unshare", "-Urnmpf", "true"]))
                fns["bare_unshare_open"] = time_spawn(spec("none", argv=["unshare", "-Urmpf", "true"]))
        s = interleave(n, fns, warmup=5)
        for k, v in s.items():
            res[f"{k}_ms"] = median(v) * 1e3
            res[f"{k}_p90_ms"] = p90(v) * 1e3

        # The availability probe, once per process: a fresh interpreter each time.
        code = ("import time; t=time.perf_counter(); from ventra.sandbox import _native; "
                "t1=time.perf_counter(); _native.available_backends(); "
                "print(time.perf_counter()-t1)")
        env = dict(os.environ, PYTHONPATH=str(Path(native.__file__).parents[2]))
        probes = [float(subprocess.run([sys.executable, "-c", code], env=env, check=True,
                                       capture_output=True, text=True).stdout)
                  for _ in range(5 if quick else 15)]
        res["probe_ms"] = median(probes) * 1e3

        # A large parent must not slow the namespace launch (no page-table copy).
        if backend_available("userns"):
            m = 20 if quick else 60
            for label, size in (("64MiB", 64 * MIB), ("4GiB", 4 * GIB)):
                try:
                    b = Ballast(size)
                except (OSError, MemoryError, ValueError) as e:
                    res[f"userns_{label}"] = {"skipped": str(e)}
                    continue
                try:
                    t = interleave(m, {"userns": time_spawn(spec("userns-lite")),
                                       "none": time_spawn(spec("none"))}, warmup=3)
                finally:
                    b.close()
                res[f"userns_{label}_ms"] = median(t["userns"]) * 1e3
                res[f"none_{label}_ms"] = median(t["none"]) * 1e3
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return res


def rate(threads: int, per_thread: int, once: Callable[[], object]) -> float:
    """Runs per_thread calls of `once` on each of `threads` threads; calls per second."""
    import threading  # noqa: PLC0415

    start = threading.Barrier(threads + 1)

    def worker() -> None:
        start.wait()
        for _ in range(per_thread):
            once()

    ts = [threading.Thread(target=worker) for _ in range(threads)]
    for t in ts:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    for t in ts:
        t.join()
    return threads * per_thread / (time.perf_counter() - t0)


def ticker_p99_gap(n: int, once: Callable[[], object]) -> float:
    """The 99th percentile of the gaps between a 0.5 ms ticker thread's wake-ups (ms) while
    this thread runs `once` n times."""
    import threading  # noqa: PLC0415

    gaps: list[float] = []
    stop = threading.Event()

    def tick() -> None:
        last = time.perf_counter()
        while not stop.is_set():
            time.sleep(0.0005)
            now = time.perf_counter()
            gaps.append(now - last)
            last = now

    t = threading.Thread(target=tick)
    t.start()
    try:
        for _ in range(n):
            once()
    finally:
        stop.set()
        t.join()
    s = sorted(gaps)
    return s[min(len(s) - 1, int(0.99 * len(s)))] * 1e3 if s else float("nan")


def bench_concurrency(quick: bool, shim: Path) -> dict[str, Any]:
    """Sandboxes per second from 1 and 4 threads, and how long a spawn stalls the other
    Python threads, under each Linux backend; the bare bwrap run through subprocess is the
    reference."""
    per = 10 if quick else 40
    work = tempfile.mkdtemp(prefix="bench-conc-")
    res: dict[str, Any] = {"per_thread": per}
    try:
        def spec(backend: str, argv: list[str] | None = None) -> dict[str, Any]:
            return {"script_type": "argv", "argv": argv or ["true"], "backend": backend,
                    "host_work_dir": work, "timeout_s": 60.0}

        runs: dict[str, Callable[[], object]] = {}
        for name, kind, backend in (("none", "none", "none"),
                                    ("userns", "userns", "userns-lite"),
                                    ("bubblewrap", "bubblewrap", "bubblewrap")):
            if backend_available(kind):
                runs[name] = time_spawn(spec(backend))
        if "bubblewrap" in runs:
            argv = bwrap_argv(shim, work, "blocked")

            def bare() -> None:
                assert subprocess.run(argv, capture_output=True).returncode == 0

            runs["bare_bwrap"] = bare
        for _ in range(2 if quick else 3):  # interleaved rounds; the best rate of each
            for name, once in runs.items():
                for threads in (1, 4):
                    key = f"{name}_{threads}t_per_s"
                    res[key] = max(res.get(key, 0.0), rate(threads, per, once))
        for name, once in runs.items():
            res[f"{name}_tick_p99_ms"] = ticker_p99_gap(per * 4, once)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return res


def bench_persistent(quick: bool) -> dict[str, Any]:
    """Persistent sandboxes under each Linux backend, interleaved in one run: an exec of
    `true` into a running sandbox (start + collect) against a "none" spawn of `true`;
    making one as the caller sees it (open_sandbox to its return, then close; and the same
    with one exec of `true` between) against a one-shot spawn+collect of `true` of that
    backend; execs per second from 8 threads into one sandbox against one thread, with a
    bare posix_spawn from 8 threads and one beside them for what the machine allows."""
    n = 60 if quick else 300
    work = tempfile.mkdtemp(prefix="bench-box-")
    res: dict[str, Any] = {"n": n}
    backends = [(name, backend) for name, kind, backend in
                (("bubblewrap", "bubblewrap", "bubblewrap"), ("userns", "userns", "userns-lite"))
                if backend_available(kind)]
    boxes: dict[str, Any] = {}
    try:
        def spec(backend: str) -> dict[str, Any]:
            return {"script_type": "argv", "argv": ["true"], "backend": backend,
                    "host_work_dir": work, "timeout_s": 60.0}

        def exec_true(box: Any) -> None:
            code, _, err = box.start(["true"]).wait_and_collect()
            assert code == 0, (code, err)

        def timed(fn: Callable[[], object]) -> Callable[[], float]:
            def run() -> float:
                t0 = time.perf_counter()
                fn()
                return time.perf_counter() - t0
            return run

        def make(backend: str, execs: int) -> None:
            box = native.open_sandbox(spec(backend))
            try:
                for _ in range(execs):
                    exec_true(box)
            finally:
                box.close()

        from ventra.sandbox import Sandbox  # noqa: PLC0415  (the staged package)

        def exec_with(box: Any) -> Callable[[], None]:
            return lambda: exec_true(box)

        def make_with(backend: str, execs: int) -> Callable[[], None]:
            return lambda: make(backend, execs)

        def py_exec_with(box: Any) -> Callable[[], object]:
            return lambda: box.exec(["true"])

        exec_fns: dict[str, Callable[[], float]] = {"none": time_spawn(spec("none"))}
        make_fns: dict[str, Callable[[], float]] = {}
        for name, backend in backends:
            boxes[name] = native.open_sandbox(spec(backend))
            py_box = boxes[f"{name}_py"] = Sandbox(spec(backend))
            exec_fns[f"{name}_exec"] = timed(exec_with(boxes[name]))
            exec_fns[f"{name}_py_exec"] = timed(py_exec_with(py_box))
            make_fns[f"{name}_oneshot"] = time_spawn(spec(backend))
            make_fns[f"{name}_open_close"] = timed(make_with(backend, 0))
            make_fns[f"{name}_open_exec_close"] = timed(make_with(backend, 1))
        for fns in (exec_fns, make_fns):
            for k, v in interleave(n if fns is exec_fns else n // 2, fns, warmup=5).items():
                res[f"{k}_ms"] = median(v) * 1e3
                res[f"{k}_p90_ms"] = p90(v) * 1e3
        # What 8 threads can gain over one on this machine: the same rates of a bare
        # os.posix_spawn + waitpid of `true`, whose CPU (mostly the child's own exec)
        # is most of an exec's. ("none" spawns are made on one spawner thread.)
        per = 10 if quick else 25
        onces: dict[str, Callable[[], object]] = {name: exec_with(boxes[name])
                                                  for name, _ in backends}
        true = shutil.which("true") or "/bin/true"
        onces["bare"] = lambda: os.waitpid(os.posix_spawn(true, [true], {}), 0)
        rates: dict[str, list[float]] = {f"{k}_{t}": [] for k in onces for t in ("1t", "8t")}
        for _ in range(3 if quick else 7):  # interleaved rounds; the median of each
            for name, once in onces.items():
                rates[f"{name}_1t"].append(rate(1, per * 8, once))
                rates[f"{name}_8t"].append(rate(8, per, once))
        for k, v in rates.items():
            res[f"{k}_per_s"] = median(v)
    finally:
        for box in boxes.values():
            box.close()
        shutil.rmtree(work, ignore_errors=True)
    return res


def persistent_rows(v: dict[str, Any] | None) -> list[tuple[str, str, str, str, str, str]]:
    if not v:
        return []
    rows = []
    none = v["none_ms"]
    for name, label in (("bubblewrap", "\"bubblewrap\""), ("userns", "\"userns-lite\"")):
        if f"{name}_exec_ms" not in v:
            continue
        ex = v[f"{name}_exec_ms"]
        rows.append((f"persistent {label}: exec `true` into it, start+collect (ms)", fmt(ex, 3),
                     f"\"none\" spawn+collect {fmt(none, 3)}", f"+{fmt(ex - none, 3)} ms",
                     "≤ 1 ms above \"none\"", verdict(ex - none <= 1.0)))
        py = v[f"{name}_py_exec_ms"]
        rows.append(("", "", f"Sandbox.exec (Result, usage) {fmt(py, 3)}",
                     f"+{fmt(py - none, 3)} ms", "", "–"))
        one, oc = v[f"{name}_oneshot_ms"], v[f"{name}_open_close_ms"]
        rows.append((f"persistent {label}: open_sandbox + close, as the caller waits (ms)",
                     fmt(oc, 3), f"one-shot spawn+collect `true` {fmt(one, 3)}",
                     fmt(oc / one) + "×", "≤ 1.1× one-shot", verdict(oc / one <= 1.1)))
        oec = v[f"{name}_open_exec_close_ms"]
        rows.append(("… with one exec of `true` between (ms)", fmt(oec, 3),
                     f"one-shot spawn+collect `true` {fmt(one, 3)}", fmt(oec / one) + "×", "",
                     "–"))
        eight, single = v[f"{name}_8t_per_s"], v[f"{name}_1t_per_s"]
        rows.append((f"persistent {label}: execs/s, 8 threads into one sandbox", f"{eight:.0f}",
                     f"1 thread {single:.0f}", fmt(eight / single) + "×", "≥ 1.5× one thread",
                     verdict(eight / single >= 1.5)))
        if "bare_8t_per_s" in v:
            limit = v["bare_8t_per_s"] / v["bare_1t_per_s"]
            rows.append(("", "", f"bare posix_spawn, 8 threads / 1: {v['bare_8t_per_s']:.0f} / "
                         f"{v['bare_1t_per_s']:.0f}", fmt(limit) + "×", "", "–"))
    return rows


class Busy:
    """One busy loop per core, as separate processes, until closed."""

    def __init__(self, exe: Path, count: int) -> None:
        self.procs = [subprocess.Popen([str(exe)], stdin=subprocess.PIPE) for _ in range(count)]

    def close(self) -> None:
        for p in self.procs:
            if p.stdin:
                p.stdin.close()
        for p in self.procs:
            p.wait(10)


def bench_contention(quick: bool, busy: Path) -> dict[str, Any]:
    """spawn+collect of `true` against subprocess.run while two busy loops hold both
    cores, interleaved in one run."""
    n = 60 if quick else 300
    b = Busy(busy, 2)
    try:
        time.sleep(0.2)
        # Our child is the leader of a session of its own (setsid), which where the
        # scheduler groups tasks by session (autogroup) puts it in a new group: the
        # same launch through subprocess is the like-for-like reference.
        s = interleave(n, {"ours": time_ours(["true"]), "subprocess": time_subprocess(["true"]),
                           "subprocess_session": time_subprocess(["true"], new_session=True)},
                       warmup=5)
    finally:
        b.close()
    return {
        "ours_ms": median(s["ours"]) * 1e3, "ours_p90_ms": p90(s["ours"]) * 1e3,
        "subprocess_ms": median(s["subprocess"]) * 1e3,
        "subprocess_p90_ms": p90(s["subprocess"]) * 1e3,
        "subprocess_session_ms": median(s["subprocess_session"]) * 1e3,
        "subprocess_session_p90_ms": p90(s["subprocess_session"]) * 1e3, "n": n,
        "autogroup": Path("/proc/sys/kernel/sched_autogroup_enabled").read_text().strip()
        if Path("/proc/sys/kernel/sched_autogroup_enabled").exists() else "absent",
    }


def bench_fence(quick: bool, exe: Path) -> dict[str, Any]:
    """A sandboxed client (netbench, copied into the work directory) reaching an origin of
    the host's through AllowListProxy: under userns-lite with the allowlist the fence
    carries it, under "none" the same client connects to the proxy directly."""
    res: dict[str, Any] = {}
    if not backend_available("userns"):
        return {"skipped": "userns-lite unavailable"}
    work = tempfile.mkdtemp(prefix="bench-fence-")
    client = Path(work) / "netbench"
    shutil.copy2(exe, client)
    origin = subprocess.Popen([str(exe), "serve", "bulk", "-", "900"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    proxy = native.AllowListProxy(["127.0.0.1"], [])
    try:
        assert origin.stdout
        port = int(parse_kv(origin.stdout.readline())["port"])
        env = dict(native.proxy_env_vars(proxy.url, proxy.socks_url))
        env["NETBENCH_ORIGIN"] = str(port)
        pport = port_of(proxy.url)

        def spec(backend: str, argv: list[str], with_proxy: bool = True,
                 mode: str = "allowlist") -> dict[str, Any]:
            s = {"script_type": "argv", "argv": argv, "backend": backend, "host_work_dir": work,
                 "network_mode": mode, "env": env if with_proxy else {}, "timeout_s": 600.0}
            if mode == "allowlist":
                s["network_allowlist"] = ["127.0.0.1"]
            return s

        def child_kv(variant: tuple[str, str], argv: list[Any]) -> dict[str, float]:
            backend, mode = variant
            code, out, err = native.spawn(spec(backend, [str(a) for a in argv], mode=mode)).wait_and_collect()
            assert code == 0, (variant, code, err)
            return parse_kv(out.decode())

        # The fence's own cost: the same sandbox with the network open (the proxy reached
        # directly, no fence) against allowlist (through the fence); "none" for scale.
        variants = {"fence": ("userns-lite", "allowlist"), "open": ("userns-lite", "open"),
                    "none": ("none", "allowlist")}
        size = 256 * MIB if quick else GIB
        rounds = 2 if quick else 3
        bulk = interleave(rounds, {
            k: (lambda v=v: size / child_kv(v, [str(client), "bulk", "http", pport, "down", size])["secs"] / 1e9)
            for k, v in variants.items()})
        res["bulk_bytes"] = size
        res["bulk_none_GBps"] = median(bulk["none"])
        res["bulk_open_GBps"] = median(bulk["open"])
        res["bulk_fence_GBps"] = median(bulk["fence"])

        count = 200 if quick else 1000
        lat = interleave(3, {
            k: (lambda v=v: child_kv(v, [str(client), "latency", "http", pport, count])["median_us"])
            for k, v in variants.items()})
        res["connect_none_us"] = median(lat["none"])
        res["connect_open_us"] = median(lat["open"])
        res["connect_fence_us"] = median(lat["fence"])

        n = 40 if quick else 150
        # Without proxy variables the spawn warns, on purpose, that the child gets no
        # network: once per spawn, which would bury the report.
        with stderr_to_devnull():
            setup = interleave(n, {"fence": time_spawn(spec("userns-lite", ["true"])),
                                   "no_fence": time_spawn(spec("userns-lite", ["true"], with_proxy=False))},
                               warmup=5)
        res["spawn_fence_ms"] = median(setup["fence"]) * 1e3
        res["spawn_no_fence_ms"] = median(setup["no_fence"]) * 1e3
    finally:
        proxy.close()
        if origin.stdin:
            origin.stdin.close()
        origin.wait(10)
        shutil.rmtree(work, ignore_errors=True)
    return res


# ---------------------------------------------------------------- 5-7: proxies


def netbench(exe: Path, *args: object, timeout: float = 300) -> str:
    r = subprocess.run([str(exe), *map(str, args)], capture_output=True, text=True,
                       timeout=timeout)
    if r.returncode != 0:
        raise RuntimeError(f"netbench {args} failed: {r.stderr.strip()}")
    return r.stdout


def parse_kv(line: str) -> dict[str, float]:
    return {k: float(v) for k, v in (f.split("=") for f in line.split() if "=" in f)}


def bench_bulk(quick: bool, exe: Path, proxy: Any, tiny: TinyProxy | None,
               relay: Reference) -> dict[str, Any]:
    size = 256 * MIB if quick else GIB
    rounds = 2 if quick else 3
    paths = {"direct": ("direct", 0), "relay": ("http", relay.port),
             "ours_http": ("http", port_of(proxy.url)),
             "ours_socks": ("socks", port_of(proxy.socks_url))}
    if tiny:
        paths["tinyproxy"] = ("http", tiny.port)
    res: dict[str, Any] = {"bytes": size, "rounds": rounds}
    for direction in ("down", "up"):
        fns = {name: (lambda k=k, p=p: parse_kv(netbench(exe, "bulk", k, p, direction, size))["secs"])
               for name, (k, p) in paths.items()}
        s = interleave(rounds, fns)
        gbps = {name: size / median(v) / 1e9 for name, v in s.items()}
        row: dict[str, Any] = {f"{k}_GBps": v for k, v in gbps.items()}
        for ours in ("ours_http", "ours_socks"):
            row[f"{ours}_vs_direct"] = gbps[ours] / gbps["direct"]
            row[f"{ours}_vs_relay"] = gbps[ours] / gbps["relay"]
            if tiny:
                row[f"{ours}_vs_tinyproxy"] = gbps[ours] / gbps["tinyproxy"]
        if tiny:
            row["tinyproxy_vs_direct"] = gbps["tinyproxy"] / gbps["direct"]
        res[direction] = row
    return res


def bench_handshakes(quick: bool, exe: Path, proxy: Any, tiny: TinyProxy | None,
                     responder: Reference) -> dict[str, Any]:
    secs = 2.0 if quick else 4.0
    rounds = 1 if quick else 2
    targets: dict[str, tuple[str, int, int | None]] = {
        "ours_http": ("http", port_of(proxy.url), None),
        "ours_socks": ("socks", port_of(proxy.socks_url), None),
        "responder": ("http", responder.port, responder.proc.pid),
    }
    if tiny:
        targets["tinyproxy"] = ("http", tiny.port, tiny.pid)
    res: dict[str, Any] = {"seconds": secs, "rounds": rounds}
    for clients in (1, 8):
        acc: dict[str, dict[str, float]] = {k: {"count": 0, "secs": 0, "cpu": 0, "fails": 0}
                                            for k in targets}

        def one(name: str, clients: int = clients) -> float:
            kind, port, pid = targets[name]
            settle_threads("self" if pid is None else pid, quiet_s=0.2, limit_s=3)
            c0 = cpu_seconds(pid)
            kv = parse_kv(netbench(exe, "handshake", kind, port, clients, secs).strip())
            c1 = cpu_seconds(pid)
            a = acc[name]
            a["count"] += kv["count"]
            a["secs"] += kv["secs"]
            a["fails"] += kv["fails"]
            a["cpu"] += c1 - c0
            return kv["count"] / kv["secs"]

        interleave(rounds, {k: (lambda k=k: one(k)) for k in targets})
        row: dict[str, Any] = {}
        for k, a in acc.items():
            row[f"{k}_per_s"] = a["count"] / a["secs"]
            row[f"{k}_cpu_us"] = a["cpu"] / max(a["count"], 1) * 1e6
            row[f"{k}_fails"] = int(a["fails"])
        for k in ("ours_http", "ours_socks"):
            row[f"{k}_vs_responder"] = row[f"{k}_per_s"] / row["responder_per_s"]
            if tiny:
                row[f"{k}_vs_tinyproxy"] = row[f"{k}_per_s"] / row["tinyproxy_per_s"]
        res[f"{clients}_clients"] = row
    return res


def hold_one(exe: Path, kind: str, port: int, pid: int | None, n: int) -> dict[str, Any]:
    who: int | str = "self" if pid is None else pid
    idle_threads = settle_threads(who)
    idle_rss = rss_kib(who)
    p = subprocess.Popen([str(exe), "hold", kind, str(port), str(n)], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, text=True)
    assert p.stdin and p.stdout
    try:
        line = p.stdout.readline()
        kv = parse_kv(line)
        time.sleep(0.2)  # let the last connection threads finish their hand-over
        held_threads = thread_count(who)
        held_rss = rss_kib(who)
        p.stdin.write("close\n")
        p.stdin.flush()
        p.stdout.readline()
        t0 = time.monotonic()
        back = None
        while time.monotonic() - t0 < 10:
            if thread_count(who) <= idle_threads:
                back = time.monotonic() - t0
                break
            time.sleep(0.005)
    finally:
        p.stdin.close()
        p.wait(30)
    ok = int(kv.get("ok", 0))
    return {
        "tunnels": n, "ok": ok, "failures": int(kv.get("fail", n)),
        "idle_threads": idle_threads, "held_threads": held_threads,
        "threads_per_tunnel": (held_threads - idle_threads) / max(ok, 1),
        "rss_per_tunnel_KiB": (held_rss - idle_rss) / max(ok, 1),
        "back_to_idle_s": back,
    }


def bench_hold(exe: Path, proxy: Any, tiny: TinyProxy | None) -> dict[str, Any]:
    n = 2000
    res = {"ours_http": hold_one(exe, "http", port_of(proxy.url), None, n),
           "ours_socks": hold_one(exe, "socks", port_of(proxy.socks_url), None, n)}
    if tiny:
        res["tinyproxy"] = hold_one(exe, "http", tiny.port, tiny.pid, n)
    return res


# ---------------------------------------------------------------- report


def bench_cgroup(quick: bool, build_dir: Path) -> dict[str, Any]:
    """The control groups of one sandbox (made, joined by the child, removed after the
    collect) per spawn, from bench_cgroup of a build with -DSANDBOX_BUILD_BENCH=ON."""
    exe = build_dir / "bench" / "bench_cgroup"
    if not exe.exists():
        return {"skipped": f"{exe} not built (configure with -DSANDBOX_BUILD_BENCH=ON)"}
    res: dict[str, Any] = {}
    # Back to back, and 50 ms apart as sandboxes started now and then are.
    for key, pause in (("back_to_back", "0"), ("apart", "50")):
        out = subprocess.run([str(exe), "60" if quick else "200", pause], capture_output=True,
                             text=True, timeout=600).stdout.strip()
        if out.startswith("cgroup_skipped="):
            return {"skipped": out.partition("=")[2]}
        res[key] = {k: float(v) for k, _, v in (part.partition("=") for part in out.split())}
    return res


def cgroup_rows(v: dict[str, Any] | None) -> list[tuple[str, str, str, str, str, str]]:
    if v is None:
        return []
    label = "cgroups per spawn: memory, pids, cpu (ms added)"
    if "skipped" in v:
        return [(label, "skipped", v["skipped"], "–", "", "–")]
    rows = []
    for key, what in (("back_to_back", "back to back"), ("apart", "50 ms apart")):
        r = v[key]
        added = r["cgroup_added_us"] / 1000
        rows.append((f"{label}, {what}", fmt(added, 3),
                     f"launch without {fmt(r['without_us'] / 1000, 3)}", "–", "≤ 1 ms",
                     verdict(added <= 1.0)))
    if "usage_read_us" in v["apart"]:
        read = v["apart"]["usage_read_us"] / 1000
        rows.append(("usage record: the teardown's counter reads (ms per spawn)", fmt(read, 3),
                     "–", "–", "≤ 0.1 ms", verdict(read <= 0.1)))
    return rows


def bench_usage(quick: bool) -> dict[str, Any]:
    """What handing out a collected run's usage and egress record costs the caller: one
    `usage()` and one `connections()` on a handle of a fenced run, per call pair."""
    backend = next((b for b in ("userns-lite", "bubblewrap") if backend_available(
        "userns" if b == "userns-lite" else b)), "none")
    proxy = native.AllowListProxy(["127.0.0.1"], [])
    try:
        env = dict(native.proxy_env_vars(proxy.url, proxy.socks_url))
        proc = native.spawn({"script_type": "shell", "input": "true", "backend": backend,
                             "env": env, "network_mode": "allowlist",
                             "network_allowlist": ["127.0.0.1"]})
        proc.wait_and_collect()
        n = 2000 if quick else 20000
        start = time.perf_counter()
        for _ in range(n):
            proc.usage()
            proc.connections()
        per_ms = (time.perf_counter() - start) / n * 1000
    finally:
        proxy.close()
    return {"backend": backend, "per_run_ms": per_ms}


def usage_rows(v: dict[str, Any] | None) -> list[tuple[str, str, str, str, str, str]]:
    if v is None:
        return []
    return [(f"usage record: usage() + connections() to Python ({v['backend']}, ms per run)",
             fmt(v["per_run_ms"], 4), "–", "–", "≤ 0.1 ms", verdict(v["per_run_ms"] <= 0.1))]


def bench_usage_spawn(quick: bool) -> dict[str, Any]:
    """spawn+collect of `true` through a proxy (so the run keeps an egress record) with and
    without handing its usage and egress record to Python as `Session` does
    (`aio.result_of`: a `Usage` and its `Connection`s), interleaved, per backend; and that
    hand-out alone, repeated on one collected handle, which the spawn's noise cannot hide."""
    from ventra.sandbox import aio  # noqa: PLC0415

    proxy = native.AllowListProxy(["127.0.0.1"], [])
    res: dict[str, Any] = {}
    try:
        env = dict(native.proxy_env_vars(proxy.url, proxy.socks_url))
        n = 60 if quick else 300
        for backend, kind in (("none", "none"), ("userns-lite", "userns"),
                              ("bubblewrap", "bubblewrap")):
            if not backend_available(kind):
                continue
            spec = {"script_type": "argv", "argv": ["true"], "backend": backend, "env": env,
                    "network_mode": "allowlist", "network_allowlist": ["127.0.0.1"],
                    "timeout_s": 600.0}

            def once(read: bool, spec: dict[str, Any] = spec) -> float:
                t0 = time.perf_counter()
                p = native.spawn(spec)
                code, out, err = p.wait_and_collect()
                if read:
                    aio.result_of(p, code, out, err)
                dt = time.perf_counter() - t0
                assert code == 0, (spec["backend"], code, err)
                return dt

            s = interleave(n, {"without": lambda: once(False), "with": lambda: once(True)},
                           warmup=5)
            p = native.spawn(spec)
            code, out, err = p.wait_and_collect()
            reps = 2000 if quick else 10000
            t0 = time.perf_counter()
            for _ in range(reps):
                aio.result_of(p, code, out, err)
            res[backend] = {"without_ms": median(s["without"]) * 1e3,
                            "with_ms": median(s["with"]) * 1e3,
                            "hand_out_ms": (time.perf_counter() - t0) / reps * 1e3,
                            "peak_rss_source": p.usage()["sources"]["peak_rss_bytes"], "n": n}
    finally:
        proxy.close()
    return res


def usage_spawn_rows(v: dict[str, Any] | None) -> list[tuple[str, str, str, str, str, str]]:
    if not v:
        return []
    rows = []
    for backend, r in v.items():
        added = r["with_ms"] - r["without_ms"]
        rows.append((f"usage record: spawn+collect `true` via proxy, {backend}, with the hand-out (ms)",
                     fmt(r["with_ms"], 3), f"without {fmt(r['without_ms'], 3)}",
                     f"{'+' if added >= 0 else ''}{fmt(added, 3)} ms", "", "–"))
        rows.append(("", fmt(r["hand_out_ms"], 4), "the hand-out alone (ms per run)", "–",
                     "≤ 0.1 ms", verdict(r["hand_out_ms"] <= 0.1)))
    return rows


def bench_usage_tunnel(quick: bool, exe: Path, relay_exe: Path) -> dict[str, Any]:
    """Tunnel bytes counted into the egress record: a bulk download by a sandboxed client
    through the fence and the proxy (the run's record must hold exactly the bytes), by a
    host client through the proxy (the session's record, likewise) and through the bare
    splice relay, which counts nothing; interleaved."""
    if not backend_available("userns"):
        return {"skipped": "userns-lite unavailable"}
    size = 256 * MIB if quick else GIB
    rounds = 2 if quick else 3
    work = tempfile.mkdtemp(prefix="bench-usage-")
    client = Path(work) / "netbench"
    shutil.copy2(exe, client)
    origin = subprocess.Popen([str(exe), "serve", "bulk", "-", "900"], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    proxy = native.AllowListProxy(["127.0.0.1"], [])
    relay = Reference(relay_exe)
    counted: dict[str, list[int]] = {"fence": [], "proxy": []}
    try:
        assert origin.stdout
        env = dict(native.proxy_env_vars(proxy.url, proxy.socks_url))
        env["NETBENCH_ORIGIN"] = str(int(parse_kv(origin.stdout.readline())["port"]))
        pport = port_of(proxy.url)

        def fenced() -> float:
            p = native.spawn({"script_type": "argv", "backend": "userns-lite", "env": env,
                              "argv": [str(client), "bulk", "http", str(pport), "down", str(size)],
                              "host_work_dir": work, "network_mode": "allowlist",
                              "network_allowlist": ["127.0.0.1"], "timeout_s": 600.0})
            code, out, err = p.wait_and_collect()
            assert code == 0, (code, err)
            run = p.connections()
            counted["fence"] += [e["bytes_down"] for e in run[0] if e["bytes_down"] is not None] if run else [-1]
            return size / parse_kv(out.decode())["secs"] / 1e9

        def hosted(port: int) -> float:
            before = len(proxy.connections()[0])
            secs = parse_kv(netbench(exe, "bulk", "http", port, "down", size))["secs"]
            if port == pport:
                # The entry is added as the tunnel ends, a moment after the client has all.
                deadline = time.monotonic() + 5
                while len(proxy.connections()[0]) == before and time.monotonic() < deadline:
                    time.sleep(0.01)
                counted["proxy"].append(proxy.connections()[0][-1]["bytes_down"])
            return size / secs / 1e9

        s = interleave(rounds, {"fence": fenced, "proxy": lambda: hosted(pport),
                                "relay": lambda: hosted(relay.port)})
    finally:
        proxy.close()
        relay.close()
        if origin.stdin:
            origin.stdin.close()
        origin.wait(10)
        shutil.rmtree(work, ignore_errors=True)
    return {"bytes": size, "rounds": rounds, **{f"{k}_GBps": median(v) for k, v in s.items()},
            "counted": counted,
            "exact": all(c == size for v in counted.values() for c in v)
            and all(len(v) == rounds for v in counted.values())}


def usage_tunnel_rows(v: dict[str, Any] | None) -> list[tuple[str, str, str, str, str, str]]:
    if not v:
        return []
    label = "usage record: bulk download, bytes counted in the record (GB/s)"
    if "skipped" in v:
        return [(label, "skipped", v["skipped"], "–", "", "–")]
    size = v["bytes"] // MIB
    r = v["proxy_GBps"] / v["relay_GBps"]
    return [
        (f"usage record: {size} MiB down via proxy, counted (GB/s)", fmt(v["proxy_GBps"]),
         f"bare splice relay, uncounted {fmt(v['relay_GBps'])}", fmt(r) + "×",
         "≥ 0.95× bare relay, counts exact", verdict(r >= 0.95 and v["exact"])),
        ("", fmt(v["fence_GBps"]), f"through the fence, the run's record (counts exact: {v['exact']})",
         fmt(v["fence_GBps"] / v["proxy_GBps"]) + "× of the proxy row", "", "–"),
    ]


def fmt(x: Any, digits: int = 2) -> str:
    if x is None:
        return "–"
    if isinstance(x, float):
        return f"{x:.{digits}f}"
    return str(x)


def verdict(ok: bool | None) -> str:
    return "–" if ok is None else ("met" if ok else "NOT met")


def table(r: dict[str, Any]) -> list[tuple[str, str, str, str, str, str]]:
    """Rows of (measure, ours, reference, ratio, goal, verdict)."""
    rows = []
    sp = r.get("spawn")
    if sp:
        for key, label in (("plain", "spawn+collect `true` (ms)"),
                           ("64MiB", "… parent holding 64 MiB (ms)"),
                           ("4GiB", "… parent holding 4 GiB (ms)")):
            v = sp[key]
            if "skipped" in v:
                rows.append((label, "skipped", v["skipped"], "–", "", "–"))
                continue
            goal = "≤ 1.0× subprocess" if key == "plain" else ""
            ok = v["ratio"] <= 1.0 if key == "plain" else None
            rows.append((label, fmt(v["ours_ms"], 3), f"subprocess {fmt(v['subprocess_ms'], 3)}",
                         fmt(v["ratio"]) + "×", goal, verdict(ok)))
        if "ours_4GiB_vs_64MiB" in sp:
            g = sp["ours_4GiB_vs_64MiB"]
            rows.append(("spawn: 4 GiB parent / 64 MiB parent", fmt(g) + "×",
                         f"subprocess {fmt(sp['subprocess_4GiB_vs_64MiB'])}×", fmt(g) + "×",
                         "≤ 1.2×", verdict(g <= 1.2)))
    ex = r.get("exit_notice")
    if ex:
        for life, v in ex.items():
            rows.append((f"exit notice, child living {life} (ms beyond life)",
                         fmt(v["ours_ms"], 3), f"subprocess {fmt(v['subprocess_ms'], 3)}",
                         fmt(v["ratio"]) + "×", "≤ 1.3× subprocess", verdict(v["ratio"] <= 1.3)))
    dr = r.get("drain")
    if dr:
        for key, label, goal in (("stdout", "drain 1 GiB stdout (GB/s)", 1.7),
                                 ("both", "drain 1 GiB on each stream (GB/s)", 5.0),
                                 ("kept_stdout", "drain 256 MiB stdout, all kept (GB/s)", 1.6),
                                 ("kept_both", "drain 128 MiB on each stream, all kept (GB/s)", 1.5)):
            v = dr[key]
            rows.append((label, fmt(v["ours_GBps"]), f"subprocess {fmt(v['subprocess_GBps'])}",
                         fmt(v["ratio"]) + "×", f"≥ {goal}× subprocess" if goal else "",
                         verdict(v["ratio"] >= goal) if goal else "–"))
    if dr and "cli_json" in dr:
        v = dr["cli_json"]
        rows.append(("command line --json over 1 GiB, peak memory (MiB)",
                     fmt(v["peak_bytes"] / MIB), f"kept {fmt(v['kept_bytes'] / MIB)}",
                     fmt(v["ratio"]) + "×", "≤ 1.5× kept", verdict(v["ratio"] <= 1.5)))
    bu = r.get("bulk")
    if bu:
        size = bu["bytes"] // MIB
        for d in ("down", "up"):
            v = bu[d]
            for ours, name in (("ours_http", "url (CONNECT)"), ("ours_socks", "socks_url")):
                # The limit is the bare splice relay: a second loopback hop costs that much.
                rows.append((f"bulk {size} MiB {d}, {name} (GB/s)", fmt(v[f"{ours}_GBps"]),
                             f"bare splice relay {fmt(v['relay_GBps'])}",
                             fmt(v[f"{ours}_vs_relay"]) + "×", "≥ 0.95× bare relay",
                             verdict(v[f"{ours}_vs_relay"] >= 0.95)))
                rows.append(("", "", f"direct {fmt(v['direct_GBps'])}",
                             fmt(v[f"{ours}_vs_direct"]) + "×", "", "–"))
                if "tinyproxy_GBps" in v:
                    rows.append(("", "", f"tinyproxy {fmt(v['tinyproxy_GBps'])}",
                                 fmt(v[f"{ours}_vs_tinyproxy"]) + "×", "≥ 1.8× tinyproxy",
                                 verdict(v[f"{ours}_vs_tinyproxy"] >= 1.8)))
    hs = r.get("handshakes")
    if hs:
        for c in (1, 8):
            v = hs[f"{c}_clients"]
            for ours, name in (("ours_http", "CONNECT"), ("ours_socks", "SOCKS5")):
                ref = (f"tinyproxy {v['tinyproxy_per_s']:.0f}/s, {fmt(v['tinyproxy_cpu_us'], 0)} µs CPU"
                       if "tinyproxy_per_s" in v else "tinyproxy missing")
                ratio = v.get(f"{ours}_vs_tinyproxy")
                rows.append((f"{name} handshakes/s, {c} client{'s' if c > 1 else ''}",
                             f"{v[f'{ours}_per_s']:.0f}/s, {fmt(v[f'{ours}_cpu_us'], 0)} µs CPU",
                             ref, (fmt(ratio) + "×") if ratio is not None else "–",
                             "≥ 1.2× tinyproxy", verdict(ratio >= 1.2 if ratio is not None else None)))
                lim = v[f"{ours}_vs_responder"]
                rows.append(("", "", f"bare responder {v['responder_per_s']:.0f}/s, "
                             f"{fmt(v['responder_cpu_us'], 0)} µs CPU", fmt(lim) + "×",
                             "≥ 0.6× bare responder", verdict(lim >= 0.6)))
    ho = r.get("hold")
    if ho:
        for k, v in ho.items():
            back = v["back_to_idle_s"]
            is_ours = k.startswith("ours")
            ok = (v["failures"] == 0 and v["rss_per_tunnel_KiB"] <= 32 and back is not None
                  and back <= 2.0) if is_ours else None
            rows.append((f"2000 tunnels held, {k}",
                         f"fail {v['failures']}, {fmt(v['threads_per_tunnel'])} thr/tunnel, "
                         f"{fmt(v['rss_per_tunnel_KiB'], 1)} KiB/tunnel, idle after "
                         f"{fmt(back, 3) if back is not None else '>10'} s",
                         f"threads {v['idle_threads']} → {v['held_threads']}", "–",
                         "0 fail, ≤ 32 KiB, idle ≤ 2 s" if is_ours else "", verdict(ok)))
    co = r.get("contention")
    if co:
        for key, what in (("ms", "median"), ("p90_ms", "90th percentile")):
            ratio = co[f"ours_{key}"] / co[f"subprocess_{key}"]
            rows.append((f"spawn+collect `true`, both cores busy, {what} (ms)",
                         fmt(co[f"ours_{key}"], 3), f"subprocess {fmt(co[f'subprocess_{key}'], 3)}",
                         fmt(ratio) + "×", "≤ 1.2× subprocess", verdict(ratio <= 1.2)))
            if f"subprocess_session_{key}" in co:
                sess = co[f"subprocess_session_{key}"]
                rows.append(("", "", f"subprocess, own session {fmt(sess, 3)}",
                             fmt(co[f"ours_{key}"] / sess) + "×", "", "–"))
    rows += isolation_rows(r.get("isolation"))
    rows += fence_rows(r.get("fence"))
    rows += concurrency_rows(r.get("concurrency"))
    rows += cgroup_rows(r.get("cgroup"))
    rows += usage_rows(r.get("usage"))
    rows += usage_spawn_rows(r.get("usage_spawn"))
    rows += usage_tunnel_rows(r.get("usage_tunnel"))
    rows += persistent_rows(r.get("persistent"))
    return rows


def isolation_rows(v: dict[str, Any] | None) -> list[tuple[str, str, str, str, str, str]]:
    if not v:
        return []
    rows = []
    none = v["none_ms"]
    rows.append(("spawn+collect `true`, \"none\" (ms)", fmt(none, 3), "", "–", "", "–"))
    for mode in ("blocked", "open"):
        if f"bubblewrap_{mode}_ms" not in v:
            continue
        bw, bare = v[f"bubblewrap_{mode}_ms"], v[f"bare_bwrap_{mode}_ms"]
        rows.append((f"… \"bubblewrap\", network {mode} (ms)", fmt(bw, 3), f"bare bwrap {fmt(bare, 3)}",
                     fmt(bw / bare) + "×", "≤ 1.1× bare bwrap", verdict(bw / bare <= 1.1)))
    for mode in ("blocked", "open"):
        if f"userns_{mode}_ms" not in v:
            continue
        us = v[f"userns_{mode}_ms"]
        # The limit is the bare namespace creation (unshare), about 3× "none" by itself.
        if f"bare_unshare_{mode}_ms" in v:
            un = v[f"bare_unshare_{mode}_ms"]
            flags = "-Urnmpf" if mode == "blocked" else "-Urmpf"
            rows.append((f"… \"userns-lite\", network {mode} (ms)", fmt(us, 3),
                         f"bare unshare {flags} {fmt(un, 3)}", fmt(us / un) + "×",
                         "≤ 1.1× bare unshare", verdict(us / un <= 1.1)))
        else:
            rows.append((f"… \"userns-lite\", network {mode} (ms)", fmt(us, 3), "unshare missing",
                         "–", "≤ 1.1× bare unshare", "–"))
        rows.append(("", "", f"\"none\" + {fmt(us - none, 3)} ms", fmt(us / none) + "×",
                     "≤ 2.5 ms above \"none\"", verdict(us - none <= 2.5)))
        if f"bubblewrap_{mode}_ms" in v:
            bw = v[f"bubblewrap_{mode}_ms"]
            rows.append(("", "", f"bubblewrap {fmt(bw, 3)}", fmt(us / bw) + "×",
                         "≤ 0.75× bubblewrap", verdict(us / bw <= 0.75)))
    rows.append(("availability probe, fresh interpreter (ms)", fmt(v["probe_ms"], 2), "", "–",
                 "≤ 10 ms", verdict(v["probe_ms"] <= 10)))
    if "userns_4GiB_ms" in v and "userns_64MiB_ms" in v:
        g = v["userns_4GiB_ms"] / v["userns_64MiB_ms"]
        rows.append(("\"userns-lite\": 4 GiB parent / 64 MiB parent",
                     f"{fmt(v['userns_4GiB_ms'], 3)} / {fmt(v['userns_64MiB_ms'], 3)} ms",
                     f"\"none\" {fmt(v['none_4GiB_ms'] / v['none_64MiB_ms'])}×", fmt(g) + "×",
                     "≤ 1.2×", verdict(g <= 1.2)))
    return rows


def concurrency_rows(v: dict[str, Any] | None) -> list[tuple[str, str, str, str, str, str]]:
    if not v:
        return []
    rows = []
    for name, label in (("userns", "\"userns-lite\""), ("bubblewrap", "\"bubblewrap\"")):
        if f"{name}_4t_per_s" not in v:
            continue
        four, one = v[f"{name}_4t_per_s"], v[f"{name}_1t_per_s"]
        rows.append((f"{label} from 4 threads (sandboxes/s)", f"{four:.0f}",
                     f"1 thread {one:.0f}", fmt(four / one) + "×", "≥ 1.5× one thread",
                     verdict(four / one >= 1.5)))
        if name == "bubblewrap" and "bare_bwrap_4t_per_s" in v:
            bare = v["bare_bwrap_4t_per_s"]
            rows.append(("", "", f"bare bwrap via subprocess, 4 threads {bare:.0f}",
                         fmt(four / bare) + "×", "≥ 0.9× bare bwrap", verdict(four / bare >= 0.9)))
    for name, label in (("none", "\"none\""), ("userns", "\"userns-lite\""),
                        ("bubblewrap", "\"bubblewrap\""), ("bare_bwrap", "bare bwrap via subprocess")):
        if f"{name}_tick_p99_ms" not in v:
            continue
        gap = v[f"{name}_tick_p99_ms"]
        linux = name in ("userns", "bubblewrap")
        rows.append((f"0.5 ms ticker's p99 gap while spawning, {label} (ms)", fmt(gap, 2),
                     "", "–", "≤ 2 ms" if linux else "", verdict(gap <= 2.0) if linux else "–"))
    return rows


def fence_rows(v: dict[str, Any] | None) -> list[tuple[str, str, str, str, str, str]]:
    if not v or "skipped" in v:
        return []
    size = v["bulk_bytes"] // MIB
    r = v["bulk_fence_GBps"] / v["bulk_open_GBps"]
    added_us = v["connect_fence_us"] - v["connect_open_us"]
    added_ms = v["spawn_fence_ms"] - v["spawn_no_fence_ms"]
    return [
        (f"fence: download {size} MiB via proxy, userns-lite (GB/s)", fmt(v["bulk_fence_GBps"]),
         f"no fence (network open) {fmt(v['bulk_open_GBps'])}", fmt(r) + "×",
         "≥ 0.8× without fence", verdict(r >= 0.8)),
        ("", "", f"\"none\" via proxy {fmt(v['bulk_none_GBps'])}",
         fmt(v["bulk_fence_GBps"] / v["bulk_none_GBps"]) + "×", "", "–"),
        ("fence: CONNECT handshake, median (µs)", fmt(v["connect_fence_us"], 0),
         f"no fence (network open) {fmt(v['connect_open_us'], 0)}", f"+{fmt(added_us / 1e3, 3)} ms",
         "≤ 0.2 ms added", verdict(added_us <= 200)),
        ("", "", f"\"none\" via proxy {fmt(v['connect_none_us'], 0)}",
         f"+{fmt((v['connect_fence_us'] - v['connect_none_us']) / 1e3, 3)} ms", "", "–"),
        ("fence: spawn+collect `true`, allowlist (ms)", fmt(v["spawn_fence_ms"], 3),
         f"without proxy variables {fmt(v['spawn_no_fence_ms'], 3)}", f"+{fmt(added_ms, 3)} ms",
         "≤ 1.5 ms added", verdict(added_ms <= 1.5)),
    ]


def markdown(rows: list[tuple[str, ...]]) -> str:
    head = ("Measure", "ventra.sandbox", "Reference (same run)", "Ratio", "Goal", "")
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    lines += ["| " + " | ".join(c.replace("|", "\\|") for c in row) + " |" for row in rows]
    return "\n".join(lines)


def plain(rows: list[tuple[str, ...]]) -> str:
    widths = [max(len(r[i]) for r in rows) for i in range(6)]
    return "\n".join("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip() for r in rows)


# ---------------------------------------------------------------- main


SECTIONS = ("spawn", "exit_notice", "drain", "contention", "bulk", "handshakes", "hold",
            "isolation", "fence", "concurrency", "cgroup", "usage", "usage_spawn", "usage_tunnel",
            "persistent")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="smaller sizes, fewer rounds (~2 min)")
    ap.add_argument("--build", action="store_true", help="run the CMake Release build first")
    ap.add_argument("--build-dir", type=Path, default=ROOT / "build" / "bench")
    ap.add_argument("--only", default="", help="comma-separated subset of " + ",".join(SECTIONS))
    ap.add_argument("--json", type=Path, default=ROOT / "bench" / "results" / "latest.json")
    ap.add_argument("--busy", type=int, default=0, metavar="N",
                    help="keep N busy loops spinning for the whole run (the loaded table: 2)")
    args = ap.parse_args()
    only = [s for s in args.only.split(",") if s] or list(SECTIONS)
    for s in only:
        if s not in SECTIONS:
            ap.error(f"unknown section {s}")

    args.build_dir = args.build_dir.resolve()  # helpers run from the child's own directory
    module = load_native(args.build_dir, args.build)
    helpers = compile_helpers(args.build_dir / "bench-helpers")
    raise_fd_limit()
    started = time.time()
    results: dict[str, Any] = {
        "meta": {
            "quick": args.quick, "module": module, "python": sys.version.split()[0],
            "kernel": platform.release(), "cpus": os.cpu_count(),
            "commit": subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
                                     capture_output=True, text=True).stdout.strip(),
            "load_at_start": load_average(), "busy_loops": args.busy,
            "started": time.strftime("%Y-%m-%d %H:%M:%S %z", time.localtime(started)),
        },
    }
    print(f"module: {module}\nload average at start: {results['meta']['load_at_start']}",
          flush=True)
    background = Busy(helpers["busy"], args.busy) if args.busy > 0 else None

    def section(name: str, fn: Callable[[], Any]) -> None:
        if name not in only:
            return
        t0 = time.monotonic()
        print(f"== {name} …", end=" ", flush=True)
        results[name] = fn()
        print(f"{time.monotonic() - t0:.1f} s, load {load_average()}", flush=True)

    section("spawn", lambda: bench_spawn(args.quick))
    section("exit_notice", lambda: bench_exit_notice(args.quick))
    section("drain", lambda: bench_drain(args.quick, helpers["emit"]))
    section("contention", lambda: bench_contention(args.quick, helpers["busy"]))

    if any(s in only for s in ("bulk", "handshakes", "hold")):
        tiny = None
        if shutil.which("tinyproxy"):
            tiny = TinyProxy()
        else:
            results["meta"]["tinyproxy"] = "not installed: peer-proxy columns skipped"
            print("tinyproxy not installed: peer-proxy columns skipped")
        proxy = native.AllowListProxy([], [])
        relay = Reference(helpers["splice_relay"])
        responder = Reference(helpers["connect_responder"])
        try:
            section("bulk", lambda: bench_bulk(args.quick, helpers["netbench"], proxy, tiny, relay))
            section("handshakes", lambda: bench_handshakes(args.quick, helpers["netbench"], proxy,
                                                           tiny, responder))
            section("hold", lambda: bench_hold(helpers["netbench"], proxy, tiny))
        finally:
            proxy.close()
            relay.close()
            responder.close()
            if tiny:
                tiny.close()

    section("isolation", lambda: bench_isolation(args.quick, helpers["bwrap"]))
    section("fence", lambda: bench_fence(args.quick, helpers["netbench"]))
    section("concurrency", lambda: bench_concurrency(args.quick, helpers["bwrap"]))
    section("cgroup", lambda: bench_cgroup(args.quick, args.build_dir))
    section("usage", lambda: bench_usage(args.quick))
    section("usage_spawn", lambda: bench_usage_spawn(args.quick))
    section("usage_tunnel", lambda: bench_usage_tunnel(args.quick, helpers["netbench"],
                                                       helpers["splice_relay"]))
    section("persistent", lambda: bench_persistent(args.quick))

    if background:
        background.close()
    results["meta"]["load_at_end"] = load_average()
    results["meta"]["seconds"] = round(time.time() - started, 1)
    rows = table(results)
    results["table_markdown"] = markdown(rows)
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(json.dumps(results, indent=2) + "\n")
    print()
    print(plain([("Measure", "ventra.sandbox", "Reference", "Ratio", "Goal", "")] + rows))
    print()
    print(results["table_markdown"])
    print(f"\n{results['meta']['seconds']} s; load {results['meta']['load_at_start']} → "
          f"{results['meta']['load_at_end']}; raw numbers in {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
