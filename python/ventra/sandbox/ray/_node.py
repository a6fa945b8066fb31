"""`NodeSession`: one `Session` (and so one set of egress proxies) per process, and the
sandboxes it hands out, addressed by id so that other processes can drive them.

This is the part of the Ray pool that needs no Ray: the pool actor and the backend for
Ray's sandbox interface each hold one. Every sandbox gets a fresh work dir under a root
that a reaper process removes when this process ends, however it ends; the sandboxes
themselves die with this process (a sandbox never outlives its host).
"""

from __future__ import annotations

import contextlib
import dataclasses
import inspect
import os
import subprocess
import sys
import tempfile
import threading
import time
import uuid
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

from . import _reaper
from ._reaper import remove_tree
from ._records import RunRecord

__all__ = ["CARRIES_OVER", "NodeSession", "UnknownSandbox"]

# What a sandbox handed out again under the same reuse key still holds: nothing is wiped
# between tasks, because wiping (say ``rm -rf work_dir/*``) misses dotfiles, /tmp, and the
# processes a previous task left running.
CARRIES_OVER = (
    "every file in the work dir, dotfiles included",
    "every file under /tmp",
    "every process still running, started by any earlier task",
    "the memory, process and lifetime budget already spent",
)

Command = Union[str, Sequence[str]]
_HELD = contextlib.nullcontext()  # for a step that runs under the lock already


class UnknownSandbox(KeyError):
    """No live sandbox has this id (never made, closed, or ended by its limits)."""

    def __str__(self) -> str:
        return f"no sandbox {self.args[0]!r} on this node (closed, ended, or never made)"


class _Box:
    __slots__ = ("sandbox", "work_dir", "key", "env", "spawned", "lock")

    def __init__(self, sandbox: Any, work_dir: str, key: Optional[str],
                 env: Mapping[str, str]) -> None:
        self.sandbox, self.work_dir, self.key = sandbox, work_dir, key
        self.env = dict(env)
        self.spawned: List[Any] = []
        self.lock = threading.Lock()


def _session_class() -> Callable[..., Any]:
    # Relative: the package resolves as itself however it is imported or checked.
    from ..session import Session

    if not hasattr(Session, "sandbox"):
        raise RuntimeError("this ventra.sandbox has no persistent sandboxes (Session.sandbox); "
                           "ventra.sandbox.ray needs them")
    return Session


class NodeSession:
    """The sandboxes of this process under one `Session`.

    ``allow``, ``deny`` and ``backend`` go to the `Session`. ``root`` is where the work
    dirs go (the system's temporary directory when None); ``max_sandboxes`` bounds the
    live ones. ``node_id`` only labels the records.
    """

    def __init__(self, allow: Sequence[str] = (), deny: Sequence[str] = (), *,
                 backend: Optional[str] = None, root: Optional[str] = None,
                 max_sandboxes: int = 64, node_id: str = "",
                 session_factory: Optional[Callable[..., Any]] = None) -> None:
        if not isinstance(max_sandboxes, int) or max_sandboxes < 1:
            raise ValueError(f"max_sandboxes must be a positive int, not {max_sandboxes!r}")
        factory = session_factory or _session_class()
        keys: Dict[str, Any] = {"backend": backend}
        if "max_sandboxes" in inspect.signature(factory).parameters:
            keys["max_sandboxes"] = max_sandboxes
        self._session = factory(allow, deny, **keys)
        self.node_id, self._max = node_id, max_sandboxes
        self._boxes: Dict[str, _Box] = {}
        self._keys: Dict[str, str] = {}
        self._opening = 0  # sandboxes being made outside the lock
        self._lock = threading.Lock()
        try:
            self.root = tempfile.mkdtemp(prefix="ventra-ray-", dir=root)
            package = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(
                os.path.abspath(__file__)))))
            reaper = subprocess.Popen([sys.executable, "-I", _reaper.__file__, self.root,
                                       package, backend or ""],
                                      stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
            reaper.wait()  # it forked off: its stdin lives on until this process ends
            assert reaper.stdin is not None
            self._reaper_pipe = reaper.stdin
        except BaseException:
            self._session.close()
            raise

    # Sandboxes --------------------------------------------------------------------------

    def open(self, *, reuse: Optional[str] = None, env: Optional[Mapping[str, str]] = None,
             **limits: Any) -> Dict[str, Any]:
        """Make a sandbox (``limits`` go to `Session.sandbox`) and return ``{"id",
        "reused", "carries_over"}``. With ``reuse``, a live sandbox made under the same key
        is handed out again, unchanged: ``reused`` is True and ``carries_over`` says what
        it still holds (`CARRIES_OVER`); the new ``limits`` and ``env`` are then ignored."""
        if reuse is not None and (not isinstance(reuse, str) or not reuse):
            raise TypeError(f"reuse must be a non-empty str key, not {reuse!r}")
        return self._open(reuse, env, limits, {})

    def _open(self, reuse: Optional[str], env: Optional[Mapping[str, str]],
              limits: Dict[str, Any], files: Mapping[str, bytes]) -> Dict[str, Any]:
        ended: List[Optional[_Box]] = []
        try:
            with self._lock:
                if reuse is not None and reuse in self._keys:
                    box_id = self._keys[reuse]
                    if self._alive(self._boxes[box_id]):
                        return {"id": box_id, "reused": True, "carries_over": CARRIES_OVER}
                ended = self._ended()
                self._reserve()
                if reuse is not None:  # made under the lock: one sandbox per key
                    return self._make(reuse, env, limits, files)
            return self._make(None, env, limits, files)  # made beside other calls
        finally:
            for box in ended:
                self._end(box)

    def _ended(self) -> List[Optional[_Box]]:
        """Takes out (under the lock) the sandboxes their limits ended, freeing their
        slots; the caller ends them after the lock."""
        return [self._take(i) for i, b in list(self._boxes.items()) if not self._alive(b)]

    def _reserve(self) -> None:
        """Counts one more sandbox being made (under the lock); raises when the node is full."""
        if len(self._boxes) + self._opening >= self._max:
            raise RuntimeError(f"this node holds {self._max} sandboxes already "
                               "(max_sandboxes); close one first")
        self._opening += 1

    def _new_work_dir(self, files: Mapping[str, bytes]) -> Tuple[str, str]:
        """A fresh work dir holding ``files``: written by the host before any sandbox
        sees the directory, so no link or race of a command's can redirect them."""
        box_id = uuid.uuid4().hex[:16]
        work_dir = os.path.join(self.root, box_id)
        os.mkdir(work_dir, 0o700)
        try:
            for path, data in files.items():
                parent = os.path.dirname(path)
                if parent:
                    os.makedirs(os.path.join(work_dir, parent), 0o755, exist_ok=True)
                fd = os.open(os.path.join(work_dir, path),
                             os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
                             0o644)
                with os.fdopen(fd, "wb") as f:
                    f.write(data)
        except BaseException:
            remove_tree(work_dir)
            raise
        return box_id, work_dir

    def _make(self, key: Optional[str], env: Optional[Mapping[str, str]],
              limits: Dict[str, Any], files: Mapping[str, bytes]) -> Dict[str, Any]:
        try:
            box_id, work_dir = self._new_work_dir(files)
            try:
                sandbox = self._session.sandbox(work_dir=work_dir, **limits)
            except BaseException:
                remove_tree(work_dir)
                raise
            with self._lock if key is None else _HELD:
                self._boxes[box_id] = _Box(sandbox, work_dir, key, env or {})
                if key is not None:
                    self._keys[key] = box_id
        finally:
            with self._lock if key is None else _HELD:
                self._opening -= 1
        return {"id": box_id, "reused": False, "carries_over": ()}

    def _alive(self, box: _Box) -> bool:
        return str(getattr(box.sandbox, "status", "running")) in ("running", "frozen")

    def _get(self, box_id: str) -> _Box:
        box = self._boxes.get(box_id)
        if box is None:
            raise UnknownSandbox(box_id)
        return box

    def exec(self, box_id: str, command: Command, *, env: Optional[Mapping[str, str]] = None,
             **kw: Any) -> RunRecord:
        """Run ``command`` in the sandbox and return its record (``kw``: ``cwd``,
        ``timeout_s``, ``stdin`` as `Sandbox.exec`)."""
        box = self._get(box_id)
        merged = {**box.env, **(env or {})}
        t0 = time.monotonic()
        result = box.sandbox.exec(_argv(command), env=merged or None, **kw)
        return RunRecord.from_result(result, duration_s=time.monotonic() - t0,
                                     node_id=self.node_id, sandbox_id=box_id)

    def exec_many(self, box_id: str, commands: Sequence[Command],
                  **kw: Any) -> List[RunRecord]:
        """`exec` each of ``commands`` in turn, in the one sandbox (each sees what the
        earlier ones left), with the same ``kw``; every command is checked first."""
        if isinstance(commands, (str, bytes, bytearray)):
            raise TypeError("commands is a list of commands; for one command use exec")
        calls = [_run_call(i, c, {})["command"] for i, c in enumerate(commands)]
        self._get(box_id)
        return [self.exec(box_id, c, **kw) for c in calls]

    def spawn(self, box_id: str, command: Command) -> int:
        """Start ``command`` in the background; it runs until it ends or the sandbox
        closes. Returns its pid."""
        box = self._get(box_id)
        with box.lock:
            handle = box.sandbox.spawn(_argv(command))
            box.spawned.append(handle)
        pid = handle.pid  # a method on LocalProcess
        return int(pid() if callable(pid) else pid)

    def write_file(self, box_id: str, path: str, data: bytes) -> None:
        self._get(box_id).sandbox.write_file(path, data)

    def read_file(self, box_id: str, path: str) -> bytes:
        return bytes(self._get(box_id).sandbox.read_file(path))

    def status(self, box_id: str) -> str:
        box = self._boxes.get(box_id)
        return "closed" if box is None else str(getattr(box.sandbox, "status", "running"))

    def close(self, box_id: str) -> None:
        """End the sandbox: everything in it is killed and its work dir removed
        (idempotent)."""
        with self._lock:
            box = self._take(box_id)
        if box is not None:
            self._end(box)

    def _take(self, box_id: str) -> Optional[_Box]:
        box = self._boxes.pop(box_id, None)
        if box is not None and box.key is not None and self._keys.get(box.key) == box_id:
            del self._keys[box.key]
        return box

    def _end(self, box: Optional[_Box]) -> None:
        if box is None:
            return
        try:
            box.sandbox.close()
        finally:
            remove_tree(box.work_dir)

    def run(self, command: Command, *, files: Optional[Mapping[str, bytes]] = None,
            collect: Iterable[str] = (), env: Optional[Mapping[str, str]] = None,
            timeout_s: Optional[float] = None, **limits: Any) -> RunRecord:
        """One task's whole use of a fresh sandbox: write ``files`` into its work dir
        (relative paths, or absolute ones as the sandbox sees them), run ``command``, read
        back the ``collect`` paths (None for one it cannot read), close it. Returns the
        `RunRecord` with those ``files``. Without absolute paths or ``collect`` the run is
        a one-shot sandbox (no command server to start and stop), with the usage and
        egress records of that run alone; without ``files`` either, its work dir is its
        private one, within ``ephemeral_storage_bytes``."""
        _argv(command)
        if isinstance(collect, (str, bytes)):
            raise TypeError(f"collect is a list of paths, not one: write [{collect!r}]")
        collect = [str(p) for p in collect]
        own, inside = _split_files(files or {})
        if not inside and not collect and set(limits) <= _ONE_SHOT_LIMITS:
            return self._run_once(command, own, env, timeout_s, limits)
        box_id = self._open(None, env, limits, own)["id"]
        try:
            for path, data in inside.items():
                self.write_file(box_id, path, data)
            kw: Dict[str, Any] = {} if timeout_s is None else {"timeout_s": timeout_s}
            record = self.exec(box_id, command, **kw)
            out: Dict[str, Optional[bytes]] = {}
            for path in collect:
                try:
                    out[path] = self.read_file(box_id, path)
                except OSError:  # absent, or not a file the sandbox can read
                    out[path] = None
            return dataclasses.replace(record, files=out)
        finally:
            self.close(box_id)

    def _run_once(self, command: Command, files: Mapping[str, bytes],
                  env: Optional[Mapping[str, str]], timeout_s: Optional[float],
                  limits: Dict[str, Any]) -> RunRecord:
        from ..aio import result_of

        ended: List[Optional[_Box]] = []
        try:
            with self._lock:
                ended = self._ended()
                self._reserve()
        finally:
            for box in ended:
                self._end(box)
        try:
            # Without files the sandbox's own private work dir serves: no host directory
            # to make, bind and remove.
            box_id, work_dir = self._new_work_dir(files) if files else (uuid.uuid4().hex[:16], None)
            try:
                spec = _one_shot_spec(command, work_dir, env, timeout_s, limits)
                t0 = time.monotonic()
                proc = self._session.spawn(spec)
                result = result_of(proc, *proc.wait_and_collect())
                duration = time.monotonic() - t0
            finally:
                if work_dir is not None:
                    remove_tree(work_dir)
        finally:
            with self._lock:
                self._opening -= 1
        return RunRecord.from_result(result, duration_s=duration, node_id=self.node_id,
                                     sandbox_id=box_id)

    def run_many(self, runs: Sequence[Union[Command, Mapping[str, Any]]], *,
                 concurrency: Optional[int] = None, return_exceptions: bool = False,
                 **common: Any) -> List[Any]:
        """`run` for each of ``runs``, up to ``concurrency`` at once, each in a fresh
        sandbox; the records come back in the order of ``runs``. ``concurrency`` is at most
        ``max_sandboxes`` (when None: the node's CPUs, within that). A run is a command, or a
        mapping of `run`'s arguments (``command`` and any of ``files``, ``collect``,
        ``env``, ``timeout_s`` and the limits) over the ``common`` ones. Every run is
        checked before the first starts. A run that raises (no sandbox could be made, say)
        does not stop the others: once all have ended, the first such error is raised, or
        with ``return_exceptions`` each takes its record's place."""
        if concurrency is None:
            concurrency = min(os.cpu_count() or 1, self._max)
        if not isinstance(concurrency, int) or isinstance(concurrency, bool) or not (
                1 <= concurrency <= self._max):
            raise ValueError(f"concurrency must be an int from 1 to max_sandboxes "
                             f"({self._max}), not {concurrency!r}")
        if isinstance(runs, (str, bytes, bytearray, Mapping)):
            raise TypeError("runs is a list of runs; for one command use run")
        calls = [_run_call(i, run, common) for i, run in enumerate(runs)]

        def one(call: Dict[str, Any]) -> Any:
            try:
                return self.run(**call)
            except Exception as exc:  # the others run on; the caller sees it below
                return _Failed(exc)

        if concurrency == 1 or len(calls) <= 1:
            out = [one(c) for c in calls]
        else:
            with ThreadPoolExecutor(min(concurrency, len(calls)),
                                    thread_name_prefix="ventra-ray-run") as pool:
                out = list(pool.map(one, calls))
        failed = next((r.exc for r in out if isinstance(r, _Failed)), None)
        if failed is not None and not return_exceptions:
            raise failed
        return [r.exc if isinstance(r, _Failed) else r for r in out]

    # The node ---------------------------------------------------------------------------

    def stats(self) -> Dict[str, Any]:
        return {"node_id": self.node_id, "pid": os.getpid(), "root": self.root,
                "sandboxes": len(self._boxes), "max_sandboxes": self._max,
                "refusals": [tuple(r) for r in self._session.refusals]}

    def shutdown(self) -> None:
        """Close every sandbox, then the session, and remove the root."""
        with self._lock:
            for box_id in list(self._boxes):
                try:
                    self._end(self._take(box_id))
                except Exception:  # one stuck sandbox must not keep the others alive
                    pass
            self._session.close()
        remove_tree(self.root)
        try:  # closed cleanly: the sandboxes removed their groups themselves
            self._reaper_pipe.write(b"closed")
        finally:
            self._reaper_pipe.close()


# The limits a one-shot run honours as a persistent sandbox would; any other key takes the
# persistent way, whose checks name it.
_ONE_SHOT_LIMITS = frozenset({"memory_bytes", "max_processes", "cpu_milli",
                              "ephemeral_storage_bytes", "lifetime_s", "idle_timeout_s"})


def _split_files(files: Mapping[str, bytes]) -> Tuple[Dict[str, bytes], Dict[str, bytes]]:
    """``files`` as (relative to the work dir, normalised; absolute), every value bytes;
    a path that leaves the work dir raises ValueError before anything is made."""
    own: Dict[str, bytes] = {}
    inside: Dict[str, bytes] = {}
    for path, data in files.items():
        if not isinstance(path, str) or not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"files maps str paths to bytes, not {path!r}: {type(data).__name__}")
        if os.path.isabs(path):
            inside[path] = bytes(data)
            continue
        norm = os.path.normpath(path)
        if norm in (".", "..") or norm.startswith("../") or "\0" in norm:
            raise ValueError(f"files: {path!r} is not a file path within the work dir")
        own[norm] = bytes(data)
    return own, inside


def _one_shot_spec(command: Command, work_dir: Optional[str], env: Optional[Mapping[str, str]],
                   timeout_s: Optional[float], limits: Mapping[str, Any]) -> Dict[str, Any]:
    timeout = 60.0 if timeout_s is None else float(timeout_s)  # as Sandbox.exec
    lifetime = limits.get("lifetime_s")
    if lifetime is not None and lifetime > 0:
        timeout = min(timeout, float(lifetime)) if timeout > 0 else float(lifetime)
    spec: Dict[str, Any] = {"script_type": "argv", "argv": _sandbox_argv(command),
                            "env": dict(env or {})}
    if work_dir is not None:
        spec["host_work_dir"] = work_dir
    if timeout > 0:
        spec["timeout_s"] = timeout
    spec.update((k, v) for k, v in limits.items() if k not in ("lifetime_s", "idle_timeout_s"))
    return spec


def _sandbox_argv(command: Command) -> List[str]:
    argv = _argv(command)
    return ["sh", "-c", argv] if isinstance(argv, str) else argv


class _Failed:
    __slots__ = ("exc",)

    def __init__(self, exc: Exception) -> None:
        self.exc = exc


def _run_call(index: int, run: Union[Command, Mapping[str, Any]],
              common: Mapping[str, Any]) -> Dict[str, Any]:
    """The `NodeSession.run` keywords of one run of a batch; bad input raises here,
    before any run starts."""
    if isinstance(run, Mapping):
        call = {**common, **run}
        if "command" not in run:
            raise TypeError(f"runs[{index}] has no 'command'")
    else:
        call = {**common, "command": run}
    command = call["command"]
    if isinstance(command, (bytes, bytearray)) or not (isinstance(command, str) or (
            isinstance(command, Sequence) and command
            and all(isinstance(a, str) for a in command))):
        raise TypeError(f"runs[{index}]: a command is a str (run by sh -c) or a non-empty "
                        f"list of str, not {command!r}")
    return call


def _argv(command: Command) -> Union[str, List[str]]:
    if isinstance(command, (bytes, bytearray)):
        raise TypeError("a command is a str (run by sh -c) or a list of str, not bytes")
    return command if isinstance(command, str) else [str(a) for a in command]
