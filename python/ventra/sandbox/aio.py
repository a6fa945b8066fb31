"""asyncio helpers: await a sandboxed child without blocking the event loop.

`LocalProcess.wait_and_collect()` blocks its thread for the child's whole life, so it
runs in an executor thread. Cancelling the awaiting task must not leave that thread (and
the child) running until the timeout: `kill()` is safe to call from the event-loop
thread while the collect is in flight, and makes it return at once with the killed
child's exit code.
"""

from __future__ import annotations

import asyncio
from concurrent.futures import Executor
from dataclasses import dataclass, field
from typing import Any, Dict, Mapping, Optional, Tuple

from . import _events, _native
from .connection import Connection, connections_from_native
from .spawn_spec import SpawnSpec, check_spec
from .usage import Usage

__all__ = ["Result", "collect", "run"]

# After a cancellation has killed the child's process group, how long to wait for the
# collector thread to reap it before re-raising. The kill is noticed within one poll
# interval (at most 20 ms); the bound only matters when something that escaped the group
# still holds an output pipe open, which keeps the drains (and the thread) busy.
_REAP_GRACE_S = 2.0


@dataclass(frozen=True)
class Result:
    """Outcome of one sandboxed run.

    ``exit_code`` follows the module's convention: the exit status byte for a child
    that exited, 128 + the signal number for one killed by a signal (137 for SIGKILL,
    which is also what a timed-out child gives), -1 for a stopped child.

    ``usage`` is what the run used (see `ventra.sandbox.usage.Usage`). ``connections``
    lists every decision the proxies took for this run's connections, in order, when the
    run's own network fence told them apart (the Linux backends with proxy variables);
    None otherwise (backend ``"none"``: see `Session.connections`, which is per session).
    ``connections_dropped`` counts the decisions past the record's bound.

    ``changes`` is the run's `ChangeSet` when the spawn dictionary set ``overlay`` (the work
    directory mounted copy-on-write), to list, ``apply()`` or ``discard()``; None
    otherwise. Dropping the result (and every other reference to it) discards them.
    """

    exit_code: int
    stdout: bytes
    stderr: bytes
    # Left out of comparisons: two runs with the same outcome compare equal, as before.
    usage: Optional[Usage] = field(default=None, compare=False)
    connections: Optional[Tuple[Connection, ...]] = field(default=None, compare=False)
    connections_dropped: int = field(default=0, compare=False)
    changes: Optional[_native.ChangeSet] = field(default=None, compare=False)


def _retrieve(fut: "asyncio.Future[Any]") -> None:
    # The collector future may finish after its awaiter gave up; reading the exception
    # keeps asyncio from logging "exception was never retrieved".
    if not fut.cancelled():
        fut.exception()


async def collect(proc: _native.LocalProcess, *, executor: Optional[Executor] = None) -> Result:
    """Wait for an already spawned `LocalProcess` and return its `Result`.

    ``proc.wait_and_collect()`` runs in ``executor`` (the loop's default executor when
    None). If the awaiting task is cancelled, the child's process group is killed with
    SIGKILL, the helper waits briefly for the collector thread to reap it, and the
    `asyncio.CancelledError` is re-raised. The handle is consumed either way:
    ``wait_and_collect`` can run only once per process.
    """
    return await _collect(proc, executor, _events.RunRecord(proc))


async def _collect(proc: _native.LocalProcess, executor: Optional[Executor],
                   record: _events.RunRecord) -> Result:
    loop = asyncio.get_running_loop()
    fut: asyncio.Future[Tuple[int, bytes, bytes]] = loop.run_in_executor(
        executor, proc.wait_and_collect
    )
    fut.add_done_callback(_retrieve)
    try:
        # shield: cancelling this task must not cancel `fut`, whose completion is how we
        # learn that the child has been reaped.
        code, out, err = await asyncio.shield(fut)
    except asyncio.CancelledError:
        proc.kill()
        await asyncio.wait({fut}, timeout=_REAP_GRACE_S)
        raise
    record.ended(code)
    return result_of(proc, code, out, err)


def result_of(proc: _native.LocalProcess, code: int, out: bytes, err: bytes) -> Result:
    """The `Result` of a collected `LocalProcess`, with its usage and egress record."""
    usage = proc.usage()
    connections, dropped = connections_from_native(proc.connections())
    return Result(code, out, err, Usage.from_native(usage) if usage is not None else None,
                  connections, dropped, proc.overlay)


async def run(spec: SpawnSpec, *, executor: Optional[Executor] = None) -> Result:
    """Spawn a child from a spawn specification and await its `Result`.

    ``spec`` is the dictionary that `ventra.sandbox._native.spawn` takes (``script_type``,
    ``input`` or ``argv``, ``env``, ``timeout_s``, ``backend``, ...); it is copied into a
    plain dict first. Anything but a mapping (a command line as a `str`, say) raises
    `TypeError`. A key that `spawn` does not read raises `ValueError` naming it and the
    nearest known key, and so does a ``network_allowlist`` or ``network_denylist``
    entry that can never match (``example.org:443``), naming the entry; a value of the
    wrong type (``{"timeout_s": "5"}``) raises `TypeError` naming its key. Spawn errors
    (`ValueError`, `TypeError`, `RuntimeError`) are raised from this call before the child
    is awaited. A Linux backend ("bubblewrap", "userns-lite") is spawned in ``executor``,
    as its sandbox takes a while to come up; the others on the loop's thread. A child that
    outlives its ``timeout_s`` is killed and reported with exit code 137, not as an
    exception. Cancellation kills the child as described for `collect`.
    """
    check_spec(spec)
    return await _spawn_and_collect(dict(spec), executor)


def _spawns_off_loop(spec: Mapping[str, Any]) -> bool:
    # A launch that waits for a whole sandbox to come up runs in the executor, so the loop
    # keeps running meanwhile; the others return at the program's exec, on the loop's thread.
    backend = spec.get("backend", _native.DEFAULT_BACKEND)
    return isinstance(backend, str) and backend in _native.WAITS_FOR_SANDBOX


def _kill_spawned(fut: "asyncio.Future[_native.LocalProcess]") -> None:
    if not fut.cancelled() and fut.exception() is None:
        fut.result().kill()


async def _spawn_and_collect(spec: Dict[str, Any], executor: Optional[Executor]) -> Result:
    if not _spawns_off_loop(spec):
        proc = _native.spawn(spec)
        return await _collect(proc, executor, _events.RunRecord(proc))
    loop = asyncio.get_running_loop()
    fut: asyncio.Future[_native.LocalProcess] = loop.run_in_executor(
        executor, _native.spawn, spec
    )
    fut.add_done_callback(_retrieve)
    try:
        # shield: a spawn cannot be stopped half-way; its child is needed to kill it.
        proc = await asyncio.shield(fut)
    except asyncio.CancelledError:
        # Whenever the spawn ends, even after this task has given up waiting, a child it
        # started is killed; its LocalProcess reaps it when dropped.
        fut.add_done_callback(_kill_spawned)
        await asyncio.wait({fut}, timeout=_REAP_GRACE_S)
        if fut.done() and not fut.cancelled() and fut.exception() is None:
            reaped = loop.run_in_executor(executor, fut.result().wait_and_collect)
            reaped.add_done_callback(_retrieve)
            await asyncio.wait({reaped}, timeout=_REAP_GRACE_S)
        raise
    return await _collect(proc, executor, _events.RunRecord(proc))
