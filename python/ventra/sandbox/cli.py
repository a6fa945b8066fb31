"""Command line over the native module: ``python -m ventra.sandbox run|backends|demo``.

Runs on the main thread; the blocking collect runs on a helper thread so that SIGINT and
SIGTERM reach Python while a child runs, and are answered by killing the child's group.
By default the child's output is passed through live: the module's drains forward it to
our descriptors 1 and 2 as it arrives (the child itself only ever writes into pipes).
"""

from __future__ import annotations

import argparse
import logging
import math
import os
import signal
import sys
import threading
import time
from typing import Any, Dict, List, NoReturn, Optional, Sequence, Tuple

from . import _events, _native
from .spawn_spec import check_entries, check_keys

# Exit codes of the command line itself; every other code is the child's own.
EXIT_USAGE = 2  # bad arguments or entries (ValueError / TypeError from the module)
EXIT_REFUSED = 125  # the module refused or failed to start the child (RuntimeError)

_NONE_WARNING = (
    "ventra.sandbox: warning: backend \"none\" does not isolate: the child sees the whole "
    "file system with your permissions and ignores the network policy; only clients that "
    "honour the proxy variables are filtered."
)

# The PATH "none" and the Linux backends give a child whose env sets none.
_NONE_DEFAULT_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
_DEFAULT_TIMEOUT_S = 60.0

# The child was killed at its deadline if the collect ended this close to it or later.
_DEADLINE_SLACK_S = 0.05


def _err(message: str) -> None:
    print(f"ventra.sandbox: {message}", file=sys.stderr)


def _quoted(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _refusal_hint() -> str:
    infos = _native.available_backends()
    names = [b.kind for b in infos if b.available]
    listed = ", ".join(names) if names else "(none)"
    missing = "; ".join(f"{b.kind}: {b.reason}" for b in infos if not b.available)
    hint = f"backends available here: {listed}\n"
    if missing:
        hint += f"unavailable: {missing}\n"
    hint += "choose one explicitly with --backend NAME"
    if names == ["none"]:
        hint += " (--backend none runs the command without any isolation)"
    return hint


_SIZE_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}

# The limits a Linux backend may or may not hold here; BackendInfo.limits says which.
_WHOLE_SANDBOX_LIMITS = ("memory_bytes", "max_processes", "cpu_milli")
_LISTED = {"bubblewrap": "bubblewrap", "bwrap": "bubblewrap", "userns": "userns",
           "userns-lite": "userns"}


def _size(text: str) -> int:
    """``--memory``: bytes, or a number with K, M, G or T (powers of 1024; "MiB" too)."""
    t = text.strip().upper().removesuffix("IB").removesuffix("B")
    unit = t[-1:] if t[-1:] in _SIZE_UNITS else ""
    number = t[: len(t) - len(unit)]
    if not number.isdigit():
        raise argparse.ArgumentTypeError(f"expected bytes such as 268435456 or 256M, got {text!r}")
    return int(number) * _SIZE_UNITS[unit]


def _shown_size(n: int) -> str:
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n >= scale and n % scale == 0:
            return f"{n // scale} {unit}"
    return f"{n} bytes"


def _unenforced(spec: Dict[str, Any]) -> List[str]:
    """The whole-sandbox limits the spec asks for that its Linux backend cannot hold here
    (the module warns through an event; the run goes on)."""
    listed = _LISTED.get(spec.get("backend", "bubblewrap"))
    if listed is None:
        return []
    info = {b.kind: b for b in _native.available_backends()}.get(listed)
    if info is None or not info.available:
        return []
    return [k for k in _WHOLE_SANDBOX_LIMITS if spec.get(k) and k not in info.limits]


def _set_default(env: Dict[str, str], pairs: Sequence[Tuple[str, str]]) -> None:
    # Set-default semantics: a variable the caller already set keeps its value.
    for key, value in pairs:
        env.setdefault(key, value)


def _parse_env(items: Sequence[str]) -> Dict[str, str]:
    env: Dict[str, str] = {}
    for item in items:
        key, sep, value = item.partition("=")
        if not sep or not key:
            raise ValueError(f"--env expects KEY=VALUE, got {item!r}")
        env[key] = value
    return env


def build_spec(
    args: argparse.Namespace, proxy: Optional[_native.AllowListProxy] = None
) -> Dict[str, Any]:
    """Translate parsed ``run`` arguments into a spawn specification dictionary."""
    spec: Dict[str, Any] = {}
    command: List[str] = list(args.command)
    if command and command[0] == "--":
        command = command[1:]
    if args.shell is not None and args.python is not None:
        raise ValueError("--shell and --python are mutually exclusive")
    if args.shell is not None or args.python is not None:
        if command:
            raise ValueError("give either a command after -- or --shell/--python, not both")
        if args.shell is not None:
            spec["script_type"] = "shell"
            spec["input"] = args.shell
        else:
            spec["script_type"] = "python"
            spec["input"] = args.python
            if args.interpreter is not None:
                spec["python_interpreter"] = args.interpreter
    else:
        if not command:
            raise ValueError("nothing to run: give a command after --, or --shell/--python")
        spec["script_type"] = "argv"
        spec["argv"] = command

    env = _parse_env(args.env)
    if proxy is not None:
        _set_default(env, _native.proxy_env_vars(proxy.url, proxy.socks_url))
    spec["env"] = env

    if args.cwd is not None:
        spec["host_work_dir"] = args.cwd
    if args.timeout is not None:
        spec["timeout_s"] = args.timeout
    if args.rw:
        spec["extra_read_write_paths"] = list(args.rw)
    if args.memory is not None:
        spec["memory_bytes"] = args.memory
    if args.max_processes is not None:
        if args.max_processes < 1:  # the module's own words, before anything starts
            raise ValueError("max_processes must be at least 1")
        spec["max_processes"] = args.max_processes

    if args.network is not None:
        spec["network_mode"] = args.network
    elif args.allow:
        spec["network_mode"] = "allowlist"
    elif args.deny:
        spec["network_mode"] = "open"
    if args.allow:
        spec["network_allowlist"] = list(args.allow)
    if args.deny:
        spec["network_denylist"] = list(args.deny)

    # Absent means the module's default ("bubblewrap"), whose refusal we explain below.
    if args.backend is not None:
        spec["backend"] = args.backend
    check_keys(spec)
    return spec


def _live_keys() -> Dict[str, Any]:
    """Spawn keys that forward the child's output to our descriptors 1 and 2.

    When both are the same file (a terminal, or ``>log 2>&1``) the child gets one pipe
    for both streams, like ``2>&1``: with two pipes, two drains could not keep what the
    child wrote to each in the order it wrote it. A closed descriptor of ours makes that
    stream go to the null device.
    """
    stats: List[Optional[os.stat_result]] = []
    for fd in (1, 2):
        try:
            stats.append(os.fstat(fd))
        except OSError:
            stats.append(None)
    out, err = stats
    keys: Dict[str, Any] = {}
    if out is None:
        keys["capture_stdout"] = False
    else:
        keys["stdout_fd"] = 1
    if out is not None and err is not None and (out.st_dev, out.st_ino) == (err.st_dev, err.st_ino):
        keys["stderr_to_stdout"] = True
    elif err is None:
        keys["capture_stderr"] = False
    else:
        keys["stderr_fd"] = 2
    return keys


def _program(spec: Dict[str, Any]) -> str:
    kind = spec.get("script_type", "shell")
    if kind == "argv":
        return str(spec["argv"][0]) if spec.get("argv") else ""
    if kind == "python":
        return str(spec.get("python_interpreter", "python3"))
    return "sh"


def _executable(path: str) -> bool:
    return os.path.isfile(path) and os.access(path, os.X_OK)


def check_paths(spec: Dict[str, Any]) -> Optional[str]:
    """What would make the launch fail, named, or None. Checks the working directory and
    looks the program up as the child will: in the child's ``PATH`` (known here when the
    env sets it, or the default that every backend but sandbox-exec adds), from its directory."""
    cwd = spec.get("working_dir") or spec.get("host_work_dir")
    if cwd:
        if not os.path.exists(cwd):
            return f"working directory {_quoted(cwd)} does not exist"
        if not os.path.isdir(cwd):
            return f"working directory {_quoted(cwd)} is not a directory"
    child_dir = cwd or os.environ.get("TMPDIR") or "/tmp"  # as the module picks it
    program = _program(spec)
    if not program:
        return None
    if "/" in program:
        path = os.path.join(child_dir, program)
        if not _executable(path):
            return f"program {_quoted(program)} not found or not executable"
        return None
    env = spec.get("env") or {}
    if "PATH" in env:
        search = env["PATH"]
    elif spec.get("backend") not in ("sandbox-exec", "sandboxexec"):
        search = _NONE_DEFAULT_PATH
    else:
        return None  # the backend's own default PATH; the module reports a miss
    for entry in search.split(":"):
        if _executable(os.path.join(child_dir, entry, program)):
            return None
    return f"program {_quoted(program)} not found on the child's PATH ({search})"


class _Collector:
    """Runs ``wait_and_collect`` on a helper thread so the main thread stays signalable."""

    def __init__(self, proc: _native.LocalProcess) -> None:
        self._proc = proc
        self._done = threading.Event()
        self.result: Optional[Tuple[int, bytes, bytes]] = None
        self.error: Optional[BaseException] = None
        self._thread = threading.Thread(target=self._body, name="sandbox-collect", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def _body(self) -> None:
        try:
            self.result = self._proc.wait_and_collect()
        except BaseException as exc:  # reported by the main thread
            self.error = exc
        finally:
            self._done.set()

    def wait(self) -> None:
        # Event.wait with a timeout returns to the interpreter regularly, so a signal
        # handler (KeyboardInterrupt included) runs promptly on the main thread.
        while not self._done.wait(0.2):
            pass

    def wait_briefly(self) -> None:
        # After a kill the collect returns within one poll interval; the bound only
        # matters if something outside the group still holds an output pipe.
        if self._thread.is_alive():
            self._thread.join(5.0)


class _RefusalLines(logging.Handler):
    """Each destination the proxy refuses, as one line on standard error as it happens:
    ``ventra.sandbox: refused example.org:443 (not in the allow list)``."""

    def emit(self, record: logging.LogRecord) -> None:
        if getattr(record, "refused", False):
            try:
                sys.stderr.write(f"ventra.sandbox: {record.getMessage()}\n")
                sys.stderr.flush()
            except Exception:
                self.handleError(record)


class _Terminated(Exception):
    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _on_sigterm(signum: int, _frame: Any) -> NoReturn:
    raise _Terminated(signum)


def _write(stream: Any, data: bytes) -> None:
    if data:
        stream.buffer.write(data)
        stream.buffer.flush()


def cmd_run(args: argparse.Namespace) -> int:
    proxy: Optional[_native.AllowListProxy] = None
    proc: Optional[_native.LocalProcess] = None
    # -q keeps the refusals off standard error; either way they stay off logging's
    # last-resort output.
    lines = logging.NullHandler() if getattr(args, "quiet", False) else _RefusalLines()
    _events.LOGGER.addHandler(lines)
    try:
        try:
            if args.allow or args.deny:
                proxy = _native.AllowListProxy(check_entries(args.allow, "--allow", "allow-list parse"),
                                               check_entries(args.deny, "--deny", "deny-list parse"))
            spec = build_spec(args, proxy)
            if not args.collect:
                spec.update(_live_keys())
            problem = check_paths(spec)
            if problem is not None:
                _err(f"error: {problem}")
                return EXIT_REFUSED
            if spec.get("backend") == "none":
                print(_NONE_WARNING, file=sys.stderr)
            unenforced = _unenforced(spec)
            if unenforced and not getattr(args, "quiet", False):
                _err(f"note: not enforced on this host, the run goes on without: "
                     f"{', '.join(unenforced)} (see 'backends')")
            # What we printed must come before anything the child's output adds to ours.
            sys.stdout.flush()
            sys.stderr.flush()
            proc = _native.spawn(spec)
            started = time.monotonic()
        except (ValueError, TypeError) as exc:
            _err(f"error: {exc}")
            return EXIT_USAGE
        except RuntimeError as exc:
            _err(f"error: {exc}")
            if "sandbox backend" in str(exc):  # unknown or unavailable backend
                print(_refusal_hint(), file=sys.stderr)
            return EXIT_REFUSED
        code = _supervise(proc, started, _timeout_of(args))
        if proc.memory_limit_exceeded and not getattr(args, "quiet", False):
            _err(f"killed: memory limit of {_shown_size(spec['memory_bytes'])} reached")
        return code
    except KeyboardInterrupt:
        # Ctrl-C outside the supervised wait. A handle that never reached `proc` is
        # dropped with the unwound call, and its disposal kills the group.
        if proc is not None:
            proc.kill()
        _err("interrupted by signal 2; killed the child's process group")
        return 128 + int(signal.SIGINT)
    finally:
        if proxy is not None:
            proxy.close()
        _events.flush()  # the refusals still queued
        _events.LOGGER.removeHandler(lines)


def _timeout_of(args: argparse.Namespace) -> float:
    t = _DEFAULT_TIMEOUT_S if args.timeout is None else float(args.timeout)
    return t if t > 0 and not math.isnan(t) else 0.0


def _supervise(proc: _native.LocalProcess, started: float, timeout: float) -> int:
    previous: Dict[int, Any] = {}
    collector: Optional[_Collector] = None
    status: Optional[int] = None
    try:
        try:
            # Without these, SIGTERM or SIGHUP would end this process and orphan the child
            # until its timeout; its own process group does not receive the terminal's
            # signals. Installed inside the try, so a signal at any point is handled.
            for sig in (signal.SIGTERM, signal.SIGHUP):
                previous[sig] = signal.signal(sig, _on_sigterm)
            collector = _Collector(proc)
            collector.start()
            collector.wait()
        except KeyboardInterrupt:
            status = 128 + int(signal.SIGINT)
        except _Terminated as exc:
            status = 128 + exc.signum
        if status is not None:
            proc.kill()
            if collector is not None:
                collector.wait_briefly()
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)

    result = collector.result if collector is not None else None
    if collector is not None and collector.error is not None:
        _err(f"error: {collector.error}")
        return EXIT_REFUSED if status is None else status
    if result is not None:
        # What the child wrote, even when it was interrupted; empty when passed through live.
        _write(sys.stdout, result[1])
        _write(sys.stderr, result[2])
    if status is not None:
        _err(f"interrupted by signal {status - 128}; killed the child's process group")
        return status
    assert result is not None
    code = result[0]
    if code == 128 + int(signal.SIGKILL) and timeout and (
        time.monotonic() - started >= timeout - _DEADLINE_SLACK_S
    ):
        _err(f"timed out after {timeout:g} s; killed the child's process group")
    # A stopped child reports -1; shells show that as 255.
    return code if 0 <= code <= 255 else 255


def cmd_backends(_args: argparse.Namespace) -> int:
    for info in _native.available_backends():
        state = "available" if info.available else "unavailable"
        note = info.summary if info.available else f"{info.summary} ({info.reason})"
        print(f"{info.kind:<13} {state:<12} {note}".rstrip())
    return 0


def cmd_demo(_args: argparse.Namespace) -> int:
    from . import _demo

    return _demo.main()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m ventra.sandbox",
        description="Run commands in a sandboxed child process with an egress allow-list.",
    )
    sub = parser.add_subparsers(dest="cmd", metavar="COMMAND")
    sub.required = True

    run = sub.add_parser(
        "run",
        help="run a command, shell script or Python script in a sandbox",
        description=(
            "Run a command in a sandboxed child and exit with its exit code "
            f"(128+signal if it was killed, 137 at the timeout; {EXIT_USAGE} for bad "
            f"arguments, {EXIT_REFUSED} if the sandbox refused to start it or the working "
            "directory or program is missing). The child gets a cleared environment plus "
            "--env pairs, /dev/null as standard input, and the system temporary directory "
            "as working directory unless --cwd is given. Its output is passed through as it "
            "comes (through pipes: the child never gets this terminal); --collect prints it "
            "after the child ends instead. With --allow/--deny, an egress proxy is started "
            "and its variables (HTTPS_PROXY, ALL_PROXY, ...) are added unless set by --env."
        ),
    )
    run.add_argument(
        "--backend",
        metavar="NAME",
        help='isolation backend: bubblewrap, userns, sandbox-exec or none (default: the '
        'module\'s default, "bubblewrap"; there is never a silent fallback)',
    )
    run.add_argument("--allow", action="append", default=[], metavar="ENTRY",
                     help="allow-list entry: CIDR block, address, name or *.suffix (repeatable)")
    run.add_argument("--deny", action="append", default=[], metavar="ENTRY",
                     help="deny-list entry, checked before the allow list (repeatable)")
    run.add_argument("--network", choices=["blocked", "open", "allowlist"],
                     help="network mode (default: allowlist with --allow, open with only "
                     "--deny, else blocked)")
    run.add_argument("--timeout", type=float, metavar="S",
                     help="wall-clock limit in seconds; the group is killed after it "
                     "(default 60, 0 for none)")
    run.add_argument("--cwd", metavar="DIR",
                     help="working (and writable) directory of the child "
                     "(default: the system temporary directory)")
    run.add_argument("--env", action="append", default=[], metavar="K=V",
                     help="environment variable for the child (repeatable)")
    run.add_argument("--rw", action="append", default=[], metavar="PATH",
                     help="extra writable path (repeatable)")
    run.add_argument("--memory", type=_size, metavar="BYTES",
                     help="memory of the whole sandbox, tmpfs and swap included, as bytes or "
                     "with K, M, G (256M); over it the sandbox is killed (bubblewrap and "
                     "userns, where this host has a memory cgroup)")
    run.add_argument("--max-processes", type=int, metavar="N",
                     help="processes and threads of the whole sandbox; past it fork fails "
                     "with EAGAIN (default 1024 under bubblewrap and userns)")
    run.add_argument("--shell", metavar="SCRIPT", help="run SCRIPT with sh -c")
    run.add_argument("--python", metavar="SCRIPT",
                     help="run SCRIPT with the Python interpreter found on the child's PATH "
                     "(python3, or --interpreter)")
    run.add_argument("--interpreter", metavar="PROGRAM",
                     help="interpreter for --python (default python3, looked up on the "
                     "child's PATH)")
    run.add_argument("--collect", action="store_true",
                     help="collect the output and print it after the child ends, all of "
                     "stdout before stderr, each capped at 256 MiB (with a notice past it); "
                     "by default it is passed through live, uncapped")
    run.add_argument("command", nargs=argparse.REMAINDER, metavar="-- COMMAND [ARG...]")
    run.set_defaults(func=cmd_run)

    backends = sub.add_parser("backends", help="list the four backends and their availability")
    backends.set_defaults(func=cmd_backends)

    demo = sub.add_parser("demo", help="self-contained tour of the egress proxy (no network needed)")
    demo.set_defaults(func=cmd_demo)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        rc: int = args.func(args)
    except BrokenPipeError:
        # Our reader went away (``... | head``): exit quietly, as a killed writer would,
        # without a second error when the interpreter flushes stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 128 + signal.SIGPIPE
    return rc
