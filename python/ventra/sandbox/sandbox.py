"""`Sandbox`: one persistent sandbox that runs many commands, keeping its state between them.

    with Session(allow=["files.example.org"]) as s:
        with s.sandbox(work_dir=wd, memory_bytes=2 << 30, lifetime_s=3600) as box:
            r = box.exec("pip install -e .", timeout_s=300)   # a Result, as run gives
            srv = box.spawn("python -m http.server 8000")     # runs on in the background
            r = box.exec(["curl", "-s", "http://127.0.0.1:8000/"])

Files, /tmp, background processes and the network fence last from one command to the
next; the environment and the working directory do not (each command starts from the
sandbox's base environment plus its own ``env``, in its own ``cwd``). A sandbox serves
one task: never share one across users or unrelated jobs (see docs/persistent-sandboxes.md).
"""

from __future__ import annotations

import asyncio
import os
import threading
from concurrent.futures import Executor
from types import TracebackType
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Type, Union

from . import _native
from .aio import Result
from .connection import Connection, connections_from_native
from .usage import Usage

__all__ = ["Sandbox", "SandboxProcess"]

Command = Union[str, Sequence[str]]

# The most bytes read_file returns unless asked for more.
READ_FILE_MAX_BYTES = 64 << 20

# The init's wait4 figures pass through pid 1 of the sandbox: code that subverts it can
# make them say anything, so their source says where they came from.
RELAYED = ("relayed from inside the sandbox: its init's wait4 of the command "
           "(forgeable by code in the sandbox)")
_NOT_RELAYED = "not measured: the sandbox's init relayed no usage for the command"
_NO_GROUP = "not measured: a command of a sandbox has no control group of its own"


def _usage(relayed: Optional[Mapping[str, int]], wall_s: float) -> Usage:
    group = {"peak_memory_bytes": _NO_GROUP, "max_processes": _NO_GROUP,
             "oom_killed": _NO_GROUP}
    if relayed is None:
        return Usage(wall_s=wall_s, sources={"wall_s": "host clock", **group, **{
            k: _NOT_RELAYED for k in ("cpu_user_s", "cpu_system_s", "peak_rss_bytes",
                                      "io_read_bytes", "io_write_bytes")}})
    # ru_maxrss is in KiB, ru_inblock/ru_oublock in blocks of 512 bytes.
    return Usage(wall_s=wall_s, cpu_user_s=relayed["utime_us"] / 1e6,
                 cpu_system_s=relayed["stime_us"] / 1e6,
                 peak_rss_bytes=relayed["maxrss_kb"] * 1024,
                 io_read_bytes=relayed["inblock"] * 512,
                 io_write_bytes=relayed["oublock"] * 512,
                 sources={"wall_s": "host clock", **group, **{
                     k: RELAYED for k in ("cpu_user_s", "cpu_system_s", "peak_rss_bytes",
                                          "io_read_bytes", "io_write_bytes")}})


def _argv(command: Command) -> List[str]:
    if isinstance(command, str):
        return ["sh", "-c", command]
    argv = list(command)
    if not argv or not all(isinstance(a, str) for a in argv):
        raise TypeError("command must be a str or a non-empty sequence of str")
    return argv


class SandboxProcess:
    """A command started by `Sandbox.spawn`: the same ``wait``, ``wait_and_collect``,
    ``read_stdout``, ``kill`` and ``pid`` as a `LocalProcess`. ``timeout_s`` given to
    spawn is a deadline from the start; past it the command's process group is killed."""

    def __init__(self, native: _native.SandboxCommand, deadline: Optional[float],
                 feeder: Optional[threading.Thread] = None,
                 started: Optional[float] = None) -> None:
        self._native = native
        self._deadline = deadline
        self._feeder = feeder
        self._started = _now() if started is None else started

    def _left(self) -> Optional[float]:
        if self._deadline is None:
            return None
        return max(0.0, self._deadline - _now())

    def wait(self) -> int:
        return self._native.wait(self._left())

    def wait_and_collect(self) -> Tuple[int, bytes, bytes]:
        try:
            return self._native.wait_and_collect(self._left())
        finally:
            if self._feeder is not None:
                self._feeder.join()

    def collect(self) -> Result:
        """`wait_and_collect` as a `Result` whose ``usage`` is a `Usage`: the relayed
        figures of `usage` (see ``RELAYED``) and ``wall_s`` from the start request to
        the collect's return on the host's clock."""
        code, out, err = self.wait_and_collect()
        return self.result(code, out, err)

    def result(self, code: int, out: bytes, err: bytes) -> Result:
        return Result(code, out, err, _usage(self.usage, _now() - self._started))

    def read_stdout(self) -> bytes:
        return self._native.read_stdout()

    def kill(self) -> None:
        self._native.kill()

    def pid(self) -> int:
        """The command's pid inside the sandbox."""
        return self._native.pid()

    def poll(self) -> Optional[int]:
        return self._native.poll()

    @property
    def usage(self) -> Optional[Dict[str, int]]:
        """See `SandboxCommand.usage`: the command's wait4 usage once it has exited."""
        usage = self._native.usage
        if usage is None:
            return None
        return {"utime_us": usage["utime_us"], "stime_us": usage["stime_us"],
                "maxrss_kb": usage["maxrss_kb"], "inblock": usage["inblock"],
                "oublock": usage["oublock"]}


def _now() -> float:
    import time

    return time.monotonic()


class Sandbox:
    """One persistent sandbox (made by `Session.sandbox`, or directly from a spawn
    dictionary's sandbox keys). Leaving the ``with`` block, or `close`, kills everything
    in it and removes what it made."""

    def __init__(self, spec: Mapping[str, Any], *, lifetime_s: Optional[float] = None,
                 idle_timeout_s: Optional[float] = None,
                 on_close: Optional[Callable[["Sandbox"], None]] = None) -> None:
        self._native = _native.open_sandbox(dict(spec), lifetime_s, idle_timeout_s)
        self._on_close = on_close

    def __enter__(self) -> "Sandbox":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]],
                 exc: Optional[BaseException], tb: Optional[TracebackType]) -> None:
        self.close()

    def close(self) -> None:
        """Kill everything inside and remove what the sandbox made (idempotent). With
        ``overlay``, changes not applied by then are dropped: the host work dir stays as
        it was."""
        self._native.close()
        if self._on_close is not None:
            on_close, self._on_close = self._on_close, None
            on_close(self)

    @property
    def status(self) -> str:
        """``"running"``, ``"frozen"``, or why it ended: ``"closed"``, ``"expired"``
        (lifetime_s or idle_timeout_s), ``"failed"`` (its init died)."""
        return self._native.status

    @property
    def backend(self) -> str:
        return self._native.backend

    @property
    def work_dir(self) -> str:
        """The work directory as commands see it; relative paths start there."""
        return self._native.work_dir

    def changes(self) -> Optional[_native.ChangeSet]:
        """With the spawn key ``overlay``: the `ChangeSet` of the sandbox's whole life,
        what every command changed in the work dir since the sandbox was made, the same
        type as ``Result.changes``; None otherwise (exec results carry None: their changes
        are this one set's). Review it while the sandbox is open: ``changes()`` lists the
        upper layer as it is at that moment (commands still running may change it; freeze
        first for a steady view). ``apply()`` and ``discard()`` first end the sandbox, as
        `close` does, so nothing writes into it meanwhile or after; ``close`` drops
        what was not applied."""
        return self._native.changes()

    @property
    def connections(self) -> Optional[Tuple[Connection, ...]]:
        """Every proxy decision on the sandbox's connections through its network fence
        over its whole life, refusals past the fence's share included, up to the
        record's bound (`connections_dropped` counts the rest); None without a fence."""
        return connections_from_native(self._native.connections())[0]

    @property
    def connections_dropped(self) -> int:
        return connections_from_native(self._native.connections())[1]

    def freeze(self) -> None:
        """Stop every process inside; the lifetime runs on. RuntimeError where the host
        gives the sandbox no freezer group."""
        self._native.freeze()

    def thaw(self) -> None:
        self._native.thaw()

    def _start(self, command: Command, env: Optional[Mapping[str, str]], cwd: Optional[str],
               stdin: Optional[bytes], capture: bool, timeout_s: Optional[float]) -> SandboxProcess:
        argv = _argv(command)
        if stdin is not None and not isinstance(stdin, (bytes, bytearray, memoryview)):
            raise TypeError("stdin must be bytes")
        started = _now()
        deadline = None if not timeout_s or timeout_s <= 0 else started + float(timeout_s)
        feeder = None
        read_end = None
        if stdin is not None:
            read_end, write_end = os.pipe()
        try:
            native = self._native.start(argv, dict(env or {}), cwd, read_end, capture, capture)
        except BaseException:
            if read_end is not None:
                os.close(write_end)
            raise
        finally:
            if read_end is not None:
                os.close(read_end)
        if stdin is not None:
            data = bytes(stdin)

            def feed() -> None:
                try:
                    with os.fdopen(write_end, "wb") as w:
                        w.write(data)
                except (BrokenPipeError, OSError):
                    pass

            feeder = threading.Thread(target=feed, name="sbx-stdin", daemon=True)
            feeder.start()
        return SandboxProcess(native, deadline, feeder, started)

    def exec(self, command: Command, *, env: Optional[Mapping[str, str]] = None,
             cwd: Optional[str] = None, timeout_s: Optional[float] = 60.0,
             stdin: Optional[bytes] = None) -> Result:
        """Run ``command`` (a str runs under ``sh -c``; a list is the argv) and return its
        `Result`, as ``run`` does: past ``timeout_s`` its process group is killed (137).
        Its ``changes`` is None: with ``overlay`` they go into the sandbox's one set,
        `changes`."""
        return self._start(command, env, cwd, stdin, True, timeout_s).collect()

    def spawn(self, command: Command, *, env: Optional[Mapping[str, str]] = None,
              cwd: Optional[str] = None, timeout_s: Optional[float] = None) -> SandboxProcess:
        """Start ``command`` in the background and return its `SandboxProcess`."""
        return self._start(command, env, cwd, None, True, timeout_s)

    async def aexec(self, command: Command, *, executor: Optional[Executor] = None,
                    **keys: Any) -> Result:
        """`exec` without blocking the event loop. Cancelling kills the command."""
        proc = self._start(command, keys.get("env"), keys.get("cwd"), keys.get("stdin"), True,
                           keys.get("timeout_s", 60.0))
        loop = asyncio.get_running_loop()
        fut = loop.run_in_executor(executor, proc.wait_and_collect)
        try:
            code, out, err = await asyncio.shield(fut)
        except asyncio.CancelledError:
            proc.kill()
            raise
        return proc.result(code, out, err)

    async def aspawn(self, command: Command, **keys: Any) -> SandboxProcess:
        """`spawn` from a coroutine (starting a command waits for the init briefly)."""
        return await asyncio.get_running_loop().run_in_executor(
            None, lambda: self.spawn(command, **keys))

    def read_file(self, path: str, *, max_bytes: int = READ_FILE_MAX_BYTES) -> bytes:
        """The file at ``path`` (relative to the work dir), read inside the sandbox, so
        a link there resolves as the sandbox sees it, never on the host. Past
        ``max_bytes`` raises ValueError; a file that cannot be read raises OSError."""
        r = self.exec(["head", "-c", str(max_bytes + 1), "--", path], timeout_s=60)
        if r.exit_code != 0:
            raise OSError(f"read_file {path!r}: {r.stderr.decode(errors='replace').strip()}")
        if len(r.stdout) > max_bytes:
            raise ValueError(f"read_file {path!r}: larger than max_bytes ({max_bytes})")
        return r.stdout

    def write_file(self, path: str, data: bytes) -> None:
        """Write ``data`` to ``path`` (relative to the work dir) from inside the sandbox:
        the write lands where the sandbox's own view resolves it, within its limits."""
        r = self.exec(["sh", "-c", 'cat > "$1"', "sh", path], stdin=bytes(data), timeout_s=60)
        if r.exit_code != 0:
            raise OSError(f"write_file {path!r}: {r.stderr.decode(errors='replace').strip()}")
