"""Command line over the native module: ``python -m ventra.sandbox run|backends|demo``.

Runs on the main thread; the blocking collect runs on a helper thread so that SIGINT and
SIGTERM reach Python while a child runs, and are answered by killing the child's group.
By default the child's output is passed through live: the module's drains forward it to
our descriptors 1 and 2 as it arrives (the child itself only ever writes into pipes).
"""

from __future__ import annotations

import argparse
import json
import logging
import math
import os
import signal
import sys
import threading
import time
from typing import Any, Dict, List, NoReturn, Optional, Sequence, Tuple

from . import _events, _native
from .session import Session
from .spawn_spec import check_entries, check_keys

# Exit codes of the command line itself; every other code is the child's own.
EXIT_USAGE = 2  # bad arguments or entries (ValueError / TypeError from the module)
EXIT_REFUSED = 125  # the module refused or failed to start the child (RuntimeError)

_NONE_WARNING = (
    "ventra.sandbox: warning: backend \"none\" does not isolate: the child sees the whole "
    "file system with your permissions and ignores the network policy; only clients that "
    "honour the proxy variables are filtered."
)

# What spawn picks when a spawn dict names no backend.
_DEFAULT_BACKEND = "bubblewrap"
_DEFAULT_TIMEOUT_S = 60.0
# Longer than any run we mean to supervise, short of what the monotonic clock refuses.
_MAX_TIMEOUT_S = 366 * 24 * 3600.0
# The module's cap on a collected stream: one this long was (or may have been) cut.
_OUTPUT_CAP_BYTES = 268435456

# The child was killed at its deadline if the collect ended this close to it or later.
_DEADLINE_SLACK_S = 0.05


def _err(message: str) -> None:
    print(f"ventra.sandbox: {message}", file=sys.stderr)


def _notice(args: argparse.Namespace, message: str) -> None:
    """One of the command line's own notices, which ``-q`` silences; errors are not."""
    if not getattr(args, "quiet", False):
        print(message, file=sys.stderr)


def backend_row(name: Optional[str]) -> Optional[_native.BackendInfo]:
    """The row of `available_backends()` for a name `spawn` accepts (the module's default
    for None), or None for a name it does not know."""
    wanted = _DEFAULT_BACKEND if name is None else name
    for info in _native.available_backends():
        if wanted in info.names:
            return info
    return None


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
    if not any(b.isolates for b in infos if b.available):
        hint += " (--backend none runs the command without any isolation)"
    return hint


_SIZE_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}

# The limits a Linux backend may or may not hold here; BackendInfo.limits says which.
_WHOLE_SANDBOX_LIMITS = ("memory_bytes", "max_processes", "cpu_milli")


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


def _unenforced(spec: Dict[str, Any], row: Optional[_native.BackendInfo]) -> List[str]:
    """The whole-sandbox limits a spawn dict asks for that its backend cannot hold here (the
    module warns through an event; the run goes on). Only an available backend that holds
    some limits of its own is asked: "none" holds none by design."""
    if row is None or not row.available or not row.isolates or row.kind == "sandbox-exec":
        return []
    return [k for k in _WHOLE_SANDBOX_LIMITS if spec.get(k) and k not in row.limits]


def _parse_env(items: Sequence[str]) -> Dict[str, str]:
    env: Dict[str, str] = {}
    for item in items:
        key, sep, value = item.partition("=")
        if not sep or not key:
            raise ValueError(f"--env expects KEY=VALUE, got {item!r}")
        env[key] = value
    return env


def _read_script(path: str, flag: str) -> str:
    """The text of a script file, or of standard input for ``-``."""
    try:
        if path == "-":
            data = sys.stdin.buffer.read() if sys.stdin is not None else b""
        else:
            with open(path, "rb") as f:
                data = f.read()
    except OSError as exc:
        raise ValueError(f"{flag} {_quoted(path)}: {exc.strerror or exc}") from None
    try:
        return data.decode("utf-8", "surrogateescape")
    except UnicodeDecodeError as exc:  # pragma: no cover (surrogateescape decodes all)
        raise ValueError(f"{flag} {_quoted(path)}: {exc}") from None


def _check_bound_paths(flag: str, paths: Sequence[str]) -> None:
    for path in paths:
        if not os.path.exists(path):
            raise ValueError(f"{flag} {_quoted(path)} does not exist")
        if os.path.realpath(path) == "/":
            raise ValueError(f"{flag} {_quoted(path)} would share the whole file system")


def _network(args: argparse.Namespace) -> Tuple[Optional[str], List[str], List[str]]:
    """The network mode and lists, judged in the command line's own words."""
    mode = args.network
    if mode is None:
        mode = "allowlist" if args.allow else "open" if args.deny else None
    if mode == "allowlist" and not args.allow:
        raise ValueError("--network allowlist needs at least one --allow")
    if args.allow and mode != "allowlist":
        raise ValueError(f"--allow needs --network allowlist, not --network {mode}")
    if args.deny and mode == "blocked":
        raise ValueError("--deny needs --network open or allowlist, not --network blocked")
    return mode, list(args.allow), list(args.deny)


def build_spec(args: argparse.Namespace) -> Dict[str, Any]:
    """Translate parsed ``run`` arguments into a spawn specification dictionary (the proxy
    variables are the `Session`'s to add)."""
    spec: Dict[str, Any] = {}
    command: List[str] = list(args.command)
    if command and command[0] == "--":
        command = command[1:]
    sources = [(flag, value) for flag, value in (
        ("--shell", args.shell), ("--python", args.python),
        ("--shell-file", args.shell_file), ("--python-file", args.python_file))
        if value is not None]
    if len(sources) > 1:
        raise ValueError(f"{sources[0][0]} and {sources[1][0]} are mutually exclusive")
    if sources:
        if command:
            raise ValueError(f"give either a command after -- or {sources[0][0]}, not both")
        flag, value = sources[0]
        if flag.endswith("-file"):
            if value == "-" and args.stdin:
                raise ValueError(f"{flag} - and --stdin both want standard input")
            value = _read_script(value, flag)
        spec["script_type"] = "python" if flag.startswith("--python") else "shell"
        spec["input"] = value
        if spec["script_type"] == "python" and args.interpreter is not None:
            spec["python_interpreter"] = args.interpreter
    else:
        if not command:
            raise ValueError("nothing to run: give a command after --, or --shell/--python")
        spec["script_type"] = "argv"
        spec["argv"] = command

    spec["env"] = _parse_env(args.env)

    if args.cwd is not None:
        spec["host_work_dir"] = args.cwd
    if args.timeout is not None:
        spec["timeout_s"] = args.timeout
    _check_bound_paths("--ro", args.ro)
    _check_bound_paths("--rw", args.rw)
    if args.ro:
        spec["extra_read_only_paths"] = list(args.ro)
    if args.rw:
        spec["extra_read_write_paths"] = list(args.rw)
    if args.memory is not None:
        spec["memory_bytes"] = args.memory
    if args.max_processes is not None:
        if args.max_processes < 1:  # the module's own words, before anything starts
            raise ValueError("max_processes must be at least 1")
        spec["max_processes"] = args.max_processes

    mode, allow, deny = _network(args)
    if mode is not None:
        spec["network_mode"] = mode
    if allow:
        spec["network_allowlist"] = allow
    if deny:
        spec["network_denylist"] = deny

    # Absent means the module's default ("bubblewrap"), whose refusal we explain below.
    if args.backend is not None:
        spec["backend"] = args.backend
    check_keys(spec)
    return spec


# Our standard descriptors that were closed when we started (they now hold the null
# device, so that nothing we open takes their numbers).
_CLOSED_AT_START: Tuple[int, ...] = ()


def _hold_closed_stdio() -> None:
    """Put the null device on any of descriptors 0, 1 and 2 that is closed, and give
    Python a stream for it: what was meant for a closed stream is discarded."""
    global _CLOSED_AT_START
    closed = []
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            closed.append(fd)
    for fd in closed:
        null = os.open(os.devnull, os.O_RDWR)
        if null != fd:
            os.dup2(null, fd)
            os.close(null)
    if 0 in closed:
        sys.stdin = open(0, "r", closefd=False)
    if 1 in closed:
        sys.stdout = open(1, "w", closefd=False)
    if 2 in closed:
        sys.stderr = open(2, "w", closefd=False)
    _CLOSED_AT_START = tuple(closed)


def _live_keys() -> Dict[str, Any]:
    """Spawn keys that forward the child's output to our descriptors 1 and 2.

    When both are the same file (a terminal, or ``>log 2>&1``) the child gets one pipe
    for both streams, like ``2>&1``: with two pipes, two drains could not keep what the
    child wrote to each in the order it wrote it. A descriptor of ours that was closed
    makes that stream go to the null device.
    """
    stats: List[Optional[os.stat_result]] = []
    for fd in (1, 2):
        try:
            stats.append(None if fd in _CLOSED_AT_START else os.fstat(fd))
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


def _own_root(row: Optional[_native.BackendInfo]) -> bool:
    # Of the isolating backends, those with a root of their own derive nothing from the
    # work directory for PATH; sandbox-exec (macOS) reads the host's files.
    return row is not None and row.isolates and bool(row.default_path) and sys.platform.startswith("linux")


def _visible_paths(spec: Dict[str, Any]) -> List[str]:
    """The host paths a sandbox with a root of its own shows: the built-in read-only and
    writable lists, the named extra paths and the working directory (its /tmp is its own)."""
    defaults = _native.default_fs_allowlist()
    paths = [p for p in defaults["read_only"] + defaults["read_write"] if p != "/tmp"]
    paths += list(spec.get("extra_read_only_paths", ())) + list(spec.get("extra_read_write_paths", ()))
    cwd = spec.get("working_dir") or spec.get("host_work_dir")
    if cwd:
        paths.append(cwd)
    return [os.path.realpath(p) for p in paths]


def _is_visible(path: str, visible: Sequence[str]) -> bool:
    real = os.path.realpath(path)
    return any(real == v or real.startswith(v.rstrip("/") + "/") for v in visible)


def missing_path_entries(spec: Dict[str, Any], row: Optional[_native.BackendInfo]) -> List[str]:
    """The directories of an explicit ``PATH`` that do not exist in the child's view: not
    on the host, or (under a backend with its own root) not shown inside the sandbox."""
    env = spec.get("env") or {}
    if "PATH" not in env:
        return []
    cwd = spec.get("working_dir") or spec.get("host_work_dir") or os.environ.get("TMPDIR") or "/tmp"
    visible = _visible_paths(spec) if _own_root(row) else None
    missing = []
    for entry in env["PATH"].split(":"):
        if not entry:
            continue
        where = os.path.join(cwd, entry)
        if not os.path.isdir(where) or (visible is not None and not _is_visible(where, visible)):
            missing.append(entry)
    return missing


def check_paths(spec: Dict[str, Any], row: Optional[_native.BackendInfo] = None) -> Optional[str]:
    """What would make the launch fail, named, or None. Checks the working directory and
    looks the program up as the child will (the module's own search): in the child's
    ``PATH`` (known here when the env sets it, or the backend's default), from its
    directory, among the directories the child sees."""
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
    env = spec.get("env") or {}
    if "/" in program:
        if not _executable(os.path.join(child_dir, program)):
            return f"program {_quoted(program)} not found or not executable"
        return None
    if "PATH" in env:
        search = env["PATH"]
    elif row is not None and row.default_path:
        search = row.default_path
    else:
        return None  # the backend's own default PATH; the module reports a miss
    visible = _visible_paths(spec) if _own_root(row) else None
    for candidate in _native.program_candidates(program, search):
        path = os.path.join(child_dir, candidate)
        if _executable(path) and (visible is None or _is_visible(os.path.dirname(path), visible)):
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

    def wait(self, until: Any = None) -> None:
        # Event.wait with a timeout returns to the interpreter regularly, so a signal
        # handler (KeyboardInterrupt included) runs promptly on the main thread, and
        # `until` (when given) is asked in between.
        while not self._done.wait(0.1):
            if until is not None and until():
                return

    def wait_briefly(self) -> None:
        # After a kill the collect returns within one poll interval; the bound only
        # matters if something outside the group still holds an output pipe.
        if self._thread.is_alive():
            self._thread.join(5.0)


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


def _refused_destinations(session: Optional[Session]) -> List[Dict[str, str]]:
    """The destinations the run's proxy refused, for ``--json``."""
    if session is None:
        return []
    _events.flush()
    return [{"destination": d, "reason": r} for d, r in session.refusals]


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


class _StdinPump:
    """Copies our standard input into a pipe whose read end the child gets: a terminal
    is never handed to the child (it could push input into the user's shell)."""

    def __init__(self) -> None:
        self.read_end, self._write_end = os.pipe()
        self._thread = threading.Thread(target=self._body, name="sandbox-stdin", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def close_read_end(self) -> None:
        os.close(self.read_end)

    def _body(self) -> None:
        try:
            while True:
                chunk = os.read(0, 65536)
                if not chunk:
                    break
                view = memoryview(chunk)
                while view:
                    view = view[os.write(self._write_end, view):]
        except OSError:
            pass  # the child is gone (EPIPE) or our input broke: its input ends here
        finally:
            os.close(self._write_end)


def _stdin_key(args: argparse.Namespace) -> Tuple[Dict[str, Any], Optional[_StdinPump]]:
    if not args.stdin:
        return {}, None
    if not os.isatty(0):
        return {"stdin_fd": 0}, None
    pump = _StdinPump()
    return {"stdin_fd": pump.read_end}, pump


def cmd_run(args: argparse.Namespace) -> int:
    session: Optional[Session] = None
    proc: Optional[_native.LocalProcess] = None
    pump: Optional[_StdinPump] = None
    # -q keeps the refusals off standard error; either way they stay off logging's
    # last-resort output.
    lines = logging.NullHandler() if getattr(args, "quiet", False) else _RefusalLines()
    _events.LOGGER.addHandler(lines)
    try:
        try:
            spec = build_spec(args)
            if args.allow or args.deny:
                session = Session(check_entries(args.allow, "--allow", "allow-list parse"),
                                  check_entries(args.deny, "--deny", "deny-list parse"))
                spec = session.prepare(spec)
            row = backend_row(spec.get("backend"))
            if not (args.collect or args.json):
                spec.update(_live_keys())
            problem = check_paths(spec, row)
            if problem is not None:
                _err(f"error: {problem}")
                return EXIT_REFUSED
            for entry in missing_path_entries(spec, row):
                _notice(args, f"ventra.sandbox: notice: PATH entry {_quoted(entry)} does not exist "
                              "inside the sandbox; a program there is looked up further along PATH")
            if row is not None and not row.isolates:
                _notice(args, _NONE_WARNING)
            unenforced = _unenforced(spec, row)
            if unenforced:
                _notice(args, "ventra.sandbox: note: not enforced on this host, the run goes on "
                              f"without: {', '.join(unenforced)} (see 'backends')")
            keys, pump = _stdin_key(args)
            spec.update(keys)
            # What we printed must come before anything the child's output adds to ours.
            sys.stdout.flush()
            sys.stderr.flush()
            proc = _native.spawn(spec)
            started = time.monotonic()
            if pump is not None:
                pump.close_read_end()
                pump.start()
        except (ValueError, TypeError) as exc:
            _err(f"error: {exc}")
            return EXIT_USAGE
        except RuntimeError as exc:
            _err(f"error: {exc}")
            if "sandbox backend" in str(exc):  # unknown or unavailable backend
                print(_refusal_hint(), file=sys.stderr)
            return EXIT_REFUSED
        code = _supervise(args, proc, started, _timeout_of(args), session)
        if proc.memory_limit_exceeded:
            _notice(args, "ventra.sandbox: killed: memory limit of "
                          f"{_shown_size(spec['memory_bytes'])} reached")
        return code
    except KeyboardInterrupt:
        # Ctrl-C outside the supervised wait. A handle that never reached `proc` is
        # dropped with the unwound call, and its disposal kills the group.
        if proc is not None:
            proc.kill()
        _notice(args, "ventra.sandbox: interrupted by signal 2; killed the child's process group")
        return 128 + int(signal.SIGINT)
    finally:
        if session is not None:
            session.close()
        _events.flush()  # the refusals still queued
        _events.LOGGER.removeHandler(lines)


def _timeout_of(args: argparse.Namespace) -> float:
    return _DEFAULT_TIMEOUT_S if args.timeout is None else float(args.timeout)


def _timeout_arg(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (0.0 <= value <= _MAX_TIMEOUT_S):  # also refuses nan
        raise argparse.ArgumentTypeError(
            f"expects seconds from 0 (no timeout) to {_MAX_TIMEOUT_S:.0f}, got {text!r}")
    return value


def _ending(code: int, timed_out: bool, pipe_closed: bool, memory: bool) -> str:
    """Why the run ended, for ``--json``: "exit", "signal", "timeout", "memory limit" or
    "pipe closed". A child that exits with 128 + N itself looks like signal N."""
    if pipe_closed:
        return "pipe closed"
    if timed_out:
        return "timeout"
    if memory:
        return "memory limit"
    return "signal" if code > 128 else "exit"


def _output_field(data: bytes) -> Dict[str, Any]:
    # Bytes that are not UTF-8 become U+FFFD: JSON carries text only.
    return {"text": data.decode("utf-8", "replace"), "bytes": len(data),
            "truncated": len(data) >= _OUTPUT_CAP_BYTES}


def _supervise(args: argparse.Namespace, proc: _native.LocalProcess, started: float,
               timeout: float, session: Optional[Session]) -> int:
    previous: Dict[int, Any] = {}
    collector: Optional[_Collector] = None
    status: Optional[int] = None
    pipe_closed = False
    try:
        try:
            # Without these, SIGTERM or SIGHUP would end this process and orphan the child
            # until its timeout; its own process group does not receive the terminal's
            # signals. Installed inside the try, so a signal at any point is handled.
            for sig in (signal.SIGTERM, signal.SIGHUP):
                previous[sig] = signal.signal(sig, _on_sigterm)
            collector = _Collector(proc)
            collector.start()
            # Our reader went away (``| head``): end the run as a pipeline's writer ends.
            collector.wait(until=lambda: proc.pipe_closed)
            if proc.pipe_closed:
                pipe_closed = True
                proc.kill()
                collector.wait_briefly()
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
    if status is not None:
        if result is not None and not args.json:
            # What the child wrote before it was interrupted; empty when passed through live.
            _write(sys.stdout, result[1])
            _write(sys.stderr, result[2])
        _notice(args, f"ventra.sandbox: interrupted by signal {status - 128}; "
                      "killed the child's process group")
        return status
    if pipe_closed:
        _discard_stdout()
        return 128 + int(signal.SIGPIPE)
    assert result is not None
    code, out, err = result
    elapsed = time.monotonic() - started
    timed_out = (code == 128 + int(signal.SIGKILL) and timeout > 0
                 and not proc.memory_limit_exceeded and elapsed >= timeout - _DEADLINE_SLACK_S)
    if args.json:
        report = {
            "exit_code": code,
            "reason": _ending(code, timed_out, False, proc.memory_limit_exceeded),
            "duration_s": round(elapsed, 6),
            "backend": proc.backend,
            "stdout": _output_field(out),
            "stderr": _output_field(err),
            "refused": _refused_destinations(session),
        }
        _write(sys.stdout, (json.dumps(report) + "\n").encode())
    else:
        _write(sys.stdout, out)
        _write(sys.stderr, err)
    if timed_out:
        _notice(args, f"ventra.sandbox: timed out after {timeout:g} s; "
                      "killed the child's process group")
    return code if 0 <= code <= 255 else 255


def _discard_stdout() -> None:
    # Nothing we still hold for a reader that is gone may fail at exit.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)


def cmd_backends(_args: argparse.Namespace) -> int:
    for info in _native.available_backends():
        state = "available" if info.available else "unavailable"
        note = info.summary if info.available else f"{info.summary} ({info.reason})"
        print(f"{info.kind:<13} {state:<12} {note}".rstrip())
    return 0


def cmd_demo(_args: argparse.Namespace) -> int:
    from . import _demo

    return _demo.main()


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("ventra-sandbox")
    except Exception:  # not installed as a distribution (a source tree on sys.path)
        return "unknown"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m ventra.sandbox",
        description="Run commands in a sandboxed child process with an egress allow-list.",
    )
    parser.add_argument("--version", action="version", version=f"ventra-sandbox {_version()}")
    sub = parser.add_subparsers(dest="cmd", metavar="COMMAND")
    sub.required = True

    run = sub.add_parser(
        "run",
        help="run a command, shell script or Python script in a sandbox",
        description=(
            "Run a command in a sandboxed child and exit with its exit code "
            f"(128+signal if it was killed, 137 at the timeout, 141 when the reader of "
            f"our output went away; {EXIT_USAGE} for bad "
            f"arguments, {EXIT_REFUSED} if the sandbox refused to start it or the working "
            "directory or program is missing). The child gets a cleared environment plus "
            "--env pairs, /dev/null as standard input (--stdin passes ours), and the system "
            "temporary directory as working directory unless --cwd is given. Its output is "
            "passed through as it comes (through pipes: the child never gets this terminal); "
            "--collect prints it after the child ends instead, --json prints one JSON object "
            "instead. With --allow/--deny, an egress proxy is started "
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
    run.add_argument("--timeout", type=_timeout_arg, metavar="S",
                     help="wall-clock limit in seconds; the group is killed after it "
                     "(default 60, 0 for none)")
    run.add_argument("--cwd", metavar="DIR",
                     help="working (and writable) directory of the child "
                     "(default: the system temporary directory)")
    run.add_argument("--env", action="append", default=[], metavar="K=V",
                     help="environment variable for the child (repeatable)")
    run.add_argument("--ro", action="append", default=[], metavar="PATH",
                     help="extra path the child may read, not write (repeatable; enforced by "
                     "the Linux backends)")
    run.add_argument("--memory", type=_size, metavar="BYTES",
                     help="memory of the whole sandbox, tmpfs and swap included, as bytes or "
                     "with K, M, G (256M); over it the sandbox is killed (bubblewrap and "
                     "userns, where this host has a memory cgroup)")
    run.add_argument("--max-processes", type=int, metavar="N",
                     help="processes and threads of the whole sandbox; past it fork fails "
                     "with EAGAIN (default 1024 under bubblewrap and userns)")
    run.add_argument("--rw", action="append", default=[], metavar="PATH",
                     help="extra writable path (repeatable)")
    run.add_argument("--shell", metavar="SCRIPT", help="run SCRIPT with sh -c")
    run.add_argument("--python", metavar="SCRIPT",
                     help="run SCRIPT with the Python interpreter found on the child's PATH "
                     "(python3, or --interpreter)")
    run.add_argument("--shell-file", metavar="FILE",
                     help="run the shell script in FILE (- for standard input)")
    run.add_argument("--python-file", metavar="FILE",
                     help="run the Python script in FILE (- for standard input)")
    run.add_argument("--interpreter", metavar="PROGRAM",
                     help="interpreter for --python (default python3, looked up on the "
                     "child's PATH)")
    run.add_argument("--stdin", action="store_true",
                     help="pass our standard input to the child (a terminal through a pipe); "
                     "without it the child reads /dev/null")
    run.add_argument("--collect", action="store_true",
                     help="collect the output and print it after the child ends, all of "
                     "stdout before stderr, each capped at 256 MiB (with a notice past it); "
                     "by default it is passed through live, uncapped")
    run.add_argument("--json", action="store_true",
                     help="print one JSON object when the run ends instead of the output: "
                     "exit_code, reason (exit, signal, timeout, memory limit, pipe closed), "
                     "duration_s, backend, stdout and stderr (text, bytes, truncated), refused")
    run.add_argument("-q", "--quiet", action="store_true",
                     help="no notices of the command line's own (the none warning, the "
                     "timeout, missing PATH entries); errors are still reported")
    run.add_argument("command", nargs=argparse.REMAINDER, metavar="-- COMMAND [ARG...]")
    run.set_defaults(func=cmd_run)

    backends = sub.add_parser("backends", help="list the four backends and their availability")
    backends.set_defaults(func=cmd_backends)

    demo = sub.add_parser("demo", help="self-contained tour of the egress proxy (no network needed)")
    demo.set_defaults(func=cmd_demo)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    _hold_closed_stdio()
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        rc: int = args.func(args)
    except BrokenPipeError:
        # Our reader went away (``... | head``): exit quietly, as a killed writer would,
        # without a second error when the interpreter flushes stdout at exit.
        _discard_stdout()
        return 128 + signal.SIGPIPE
    return rc
