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
from typing import Any, Callable, Dict, Iterable, List, Mapping, Optional, Sequence, Union

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
        ended: List[Optional[_Box]] = []
        try:
            with self._lock:
                if reuse is not None and reuse in self._keys:
                    box_id = self._keys[reuse]
                    if self._alive(self._boxes[box_id]):
                        return {"id": box_id, "reused": True, "carries_over": CARRIES_OVER}
                # Sandboxes ended by their limits free their slots.
                ended = [self._take(i) for i, b in list(self._boxes.items()) if not self._alive(b)]
                if len(self._boxes) + self._opening >= self._max:
                    raise RuntimeError(f"this node holds {self._max} sandboxes already "
                                       "(max_sandboxes); close one first")
                self._opening += 1
                if reuse is not None:  # made under the lock: one sandbox per key
                    return self._make(reuse, env, limits)
            return self._make(None, env, limits)  # made beside other calls
        finally:
            for box in ended:
                self._end(box)

    def _make(self, key: Optional[str], env: Optional[Mapping[str, str]],
              limits: Dict[str, Any]) -> Dict[str, Any]:
        box_id = uuid.uuid4().hex[:16]
        work_dir = os.path.join(self.root, box_id)
        try:
            os.mkdir(work_dir, 0o700)
            try:
                sandbox = self._session.sandbox(work_dir=work_dir, **limits)
            except BaseException:
                os.rmdir(work_dir)
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
        """One task's whole use of a fresh sandbox: write ``files`` into its work dir, run
        ``command``, read back the ``collect`` paths (None for one it cannot read), close it.
        Returns the `RunRecord` with those ``files``."""
        box_id = self.open(env=env, **limits)["id"]
        try:
            for path, data in (files or {}).items():
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


def _argv(command: Command) -> Union[str, List[str]]:
    if isinstance(command, (bytes, bytearray)):
        raise TypeError("a command is a str (run by sh -c) or a list of str, not bytes")
    return command if isinstance(command, str) else [str(a) for a in command]
