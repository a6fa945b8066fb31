"""`Session`: one egress proxy for a group of sandboxed runs, closed when the session ends.

    with Session(allow=["example.org"], deny=["169.254.169.254"], backend="none") as s:
        code, out, err = s.spawn({"script_type": "shell", "input": "..."}).wait_and_collect()

The proxy is closed on leaving the ``with`` block, also when its body raises, so a failed
``spawn`` cannot leak the proxy's listener threads and ports.
"""

from __future__ import annotations

import ipaddress
from concurrent.futures import Executor
from types import TracebackType
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Type

from . import _events, _native
from .aio import Result, _spawn_and_collect
from .connection import Connection, connections_from_native
from .spawn_spec import SpawnSpec, check_entries, check_spec

__all__ = ["Session"]


_LOOPBACK = (ipaddress.ip_network("127.0.0.0/8"), ipaddress.ip_network("::1/128"))


def _is_loopback(entry: str) -> bool:
    """Whether a list entry (an address, a CIDR block, a name) covers a loopback address."""
    text = entry.strip().lower()
    if text == "localhost":
        return True
    try:
        net = ipaddress.ip_network(text.strip("[]"), strict=False)
    except ValueError:
        return False
    return any(net.version == lo.version and net.overlaps(lo) for lo in _LOOPBACK)


def _admits_loopback(allow: Sequence[str]) -> bool:
    return any(_is_loopback(entry) for entry in allow)


def _fenced(spec: Mapping[str, Any]) -> bool:
    """Whether the child gets the network fence: a filtered policy under a backend that
    fences it."""
    mode = spec.get("network_mode")
    filtered = mode == "allowlist" or (mode == "open" and bool(spec.get("network_denylist")))
    return filtered and spec.get("backend", _native.DEFAULT_BACKEND) in _native.FENCED_BACKENDS


class Session:
    """Owns an `AllowListProxy` and runs children whose traffic goes through it.

    ``allow`` and ``deny`` are the proxy's lists (an empty ``allow`` admits anything not
    denied). A single `str` for either raises `TypeError`; an entry that can never match
    (``example.org:443``, ``https://example.org/``, ``300.1.1.1``, ``""``) raises
    `ValueError` naming it. `refusals` lists what the proxy refused. ``backend``, when
    given, is used for every spec that names none, and so is ``overlay`` (the work
    directory mounted copy-on-write: `Result.changes`); ``require_limits=True`` refuses every
    spawn whose limits this host cannot hold (see the spawn key of that name). `spawn` and
    `run` take the dictionary of `ventra.sandbox._native.spawn`, refuse keys it does not
    know, and fill in, where the dictionary does not set them itself: the eight proxy
    variables in ``env`` (set-default: your own values win), ``backend``,
    ``require_limits``, and the network mode with its lists (``"allowlist"`` with
    ``allow``, ``"open"`` with only ``deny``). Where ``allow`` admits a loopback
    destination and the child is fenced (a Linux backend under a filtered policy, whose
    loopback is the sandbox's own), ``NO_PROXY``/``no_proxy`` are left out, so clients
    reach the host's local service through the proxy.
    """

    def __init__(
        self,
        allow: Sequence[str] = (),
        deny: Sequence[str] = (),
        *,
        backend: Optional[str] = None,
        max_sandboxes: int = 16,
        require_limits: bool = False,
        overlay: bool = False,
    ) -> None:
        self._allow = check_entries(allow, "allow", "allow-list parse")
        self._max_sandboxes = max_sandboxes
        self._sandboxes: List[Any] = []
        self._deny = check_entries(deny, "deny", "deny-list parse")
        self._backend = backend
        self._require_limits = require_limits
        self._overlay = overlay
        self._refused: Optional[List[Tuple[str, str]]] = None
        self.proxy = _native.AllowListProxy(self._allow, self._deny)

    def __enter__(self) -> "Session":
        return self

    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> None:
        self.close()

    def close(self) -> None:
        """Stop the proxy (idempotent). Children already running lose their proxy; the
        session's persistent sandboxes are closed."""
        for box in list(self._sandboxes):
            box.close()
        self.proxy.close()
        if self._refused is None:
            self._refused = _events.refusals(self.proxy.url, self.proxy.socks_url)
            _events.forget(self.proxy.url, self.proxy.socks_url)

    @property
    def refusals(self) -> List[Tuple[str, str]]:
        """The destinations the proxy refused so far, as ``(destination, reason)`` pairs
        (``("example.org:443", "not in the allow list")``), in order, at most 1000 per
        protocol. Each was also logged to the ``ventra.sandbox`` logger."""
        if self._refused is not None:
            return list(self._refused)
        return _events.refusals(self.proxy.url, self.proxy.socks_url)

    @property
    def connections(self) -> List[Connection]:
        """Every decision the session's proxies took so far, by time: admitted tunnels
        with their bytes each way and duration, refusals with their reason, at most 1000
        per protocol (`connections_dropped` counts the rest). Per session: under backend
        ``"none"`` this is the only record, as the proxy cannot tell runs apart; under a
        Linux backend's fence each `Result` also carries its own run's."""
        entries, _ = connections_from_native(self.proxy.connections())
        return list(entries or ())

    @property
    def connections_dropped(self) -> int:
        """How many decisions did not fit the bound of `connections`."""
        return connections_from_native(self.proxy.connections())[1]

    def prepare(self, spec: Mapping[str, Any]) -> Dict[str, Any]:
        """The spawn dictionary `spawn` would pass to the module for ``spec``."""
        check_spec(spec)
        full: Dict[str, Any] = dict(spec)
        if self._backend is not None:
            full.setdefault("backend", self._backend)
        if self._require_limits:
            full.setdefault("require_limits", True)
        if self._overlay:
            full.setdefault("overlay", True)
        if "network_mode" not in full and (self._allow or self._deny):
            full["network_mode"] = "allowlist" if self._allow else "open"
            if self._allow:
                full.setdefault("network_allowlist", list(self._allow))
            if self._deny:
                full.setdefault("network_denylist", list(self._deny))
        # A fenced child's loopback is its own: an allowed local service of the host is
        # reached only through the proxy, so NO_PROXY must not send clients past it.
        through_proxy = _fenced(full) and _admits_loopback(self._allow)
        env = dict(full.get("env") or {})
        for key, value in _native.proxy_env_vars(self.proxy.url, self.proxy.socks_url):
            if through_proxy and key.lower() == "no_proxy":
                value = ",".join(e for e in value.split(",") if not _is_loopback(e))
                if not value:
                    continue
            env.setdefault(key, value)
        full["env"] = env
        return full

    def spawn(self, spec: SpawnSpec) -> _native.LocalProcess:
        """Spawn a child from ``spec`` (see `prepare`) and return its `LocalProcess`."""
        proc = _native.spawn(self.prepare(spec))
        _events.RunRecord(proc)  # its end is the caller's to see
        return proc

    async def run(self, spec: SpawnSpec, *, executor: Optional[Executor] = None) -> Result:
        """Spawn a child from ``spec`` and await its `Result`, as `ventra.sandbox.run`."""
        return await _spawn_and_collect(self.prepare(spec), executor)

    def _forget_sandbox(self, box: Any) -> None:
        if box in self._sandboxes:
            self._sandboxes.remove(box)

    def sandbox(self, *, work_dir: Optional[str] = None, lifetime_s: Optional[float] = None,
                idle_timeout_s: Optional[float] = None, **keys: Any) -> Any:
        """A persistent `Sandbox` whose commands' traffic goes through this session's
        proxy. ``work_dir`` is the host directory it works in (default: a private one,
        removed at close); ``keys`` are spawn keys of the whole sandbox: ``backend``,
        ``env`` (every command's base environment), ``memory_bytes``, ``max_processes``,
        ``cpu_milli``, ``ephemeral_storage_bytes``, ``extra_read_only_paths``,
        ``extra_read_write_paths``, ``overlay`` (``work_dir`` copy-on-write for the
        sandbox's whole life: see `Sandbox.changes`; close drops what was not applied)
        and the network keys. At most ``max_sandboxes`` (16) are open at once per
        session; past that RuntimeError."""
        from .sandbox import Sandbox

        refused = {"script_type", "argv", "input", "python_interpreter", "timeout_s",
                   "stdin_fd", "stdout_fd", "stderr_fd", "capture_stdout", "capture_stderr",
                   "stderr_to_stdout", "host_work_dir", "working_dir"} & set(keys)
        if refused:
            raise TypeError(f"sandbox() takes no {sorted(refused)[0]!r}: give it to exec or spawn")
        # One closed by applying its changes holds nothing any more.
        self._sandboxes = [b for b in self._sandboxes if b.status != "closed"]
        if len(self._sandboxes) >= self._max_sandboxes:
            raise RuntimeError(f"Session: {self._max_sandboxes} sandboxes are open already, the "
                               "most this session allows (max_sandboxes)")
        spec = self.prepare({"script_type": "argv", "argv": ["-"], **keys})
        if work_dir is not None:
            spec["host_work_dir"] = str(work_dir)
        box = Sandbox(spec, lifetime_s=lifetime_s, idle_timeout_s=idle_timeout_s,
                      on_close=self._forget_sandbox)
        self._sandboxes.append(box)
        return box
