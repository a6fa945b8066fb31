"""The asyncio helper: results, timeout, and cancellation that kills the child."""

from __future__ import annotations

import asyncio
import dataclasses
import os
import select
import time
from pathlib import Path
from typing import Any, Dict

import pytest

from ventra.sandbox import Result, _native, collect, run

HANG_S = 30  # generous bound that only catches hangs


def shell(script: str, **extra: Any) -> Dict[str, Any]:
    return {"script_type": "shell", "input": script, "backend": "none", **extra}


def test_run_returns_exit_code_and_both_streams() -> None:
    result = asyncio.run(run(shell("echo out; echo err >&2; exit 3")))
    assert result == Result(exit_code=3, stdout=b"out\n", stderr=b"err\n")
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.exit_code = 0  # type: ignore[misc]


def test_timeout_gives_137() -> None:
    result = asyncio.run(run(shell("echo started; sleep 30", timeout_s=0.5)))
    assert result.exit_code == 137
    assert result.stdout == b"started\n"  # output written before the kill is kept


def test_spawn_errors_are_raised_by_run() -> None:
    with pytest.raises(ValueError, match="unknown script_type"):
        asyncio.run(run({"script_type": "bash", "input": "true", "backend": "none"}))


def test_cancellation_kills_the_group_promptly_and_leaves_no_child(tmp_path: Path) -> None:
    fifo = tmp_path / "alive"
    os.mkfifo(fifo)
    # Held open by the shell and its background sleep: end of file means both are dead.
    fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)

    def read_some() -> bytes:
        deadline = time.monotonic() + HANG_S
        while time.monotonic() < deadline:
            select.select([fd], [], [], 0.1)
            data = os.read(fd, 4096)
            if data:
                return data
            time.sleep(0.02)  # no writer yet
        raise AssertionError("the child never started")

    async def scenario() -> float:
        proc = _native.spawn(
            shell(f'exec 3>"{fifo}"; sleep 1000 & echo ready >&3; wait', timeout_s=0)
        )
        task = asyncio.create_task(collect(proc))
        assert await asyncio.get_running_loop().run_in_executor(None, read_some) == b"ready\n"
        task.cancel()
        started = time.monotonic()
        with pytest.raises(asyncio.CancelledError):
            await task
        return time.monotonic() - started

    try:
        elapsed = asyncio.run(scenario())
        assert elapsed < 1.0
        ready, _, _ = select.select([fd], [], [], HANG_S)
        assert ready and os.read(fd, 4096) == b"", "a process of the child's group survived"
    finally:
        os.close(fd)
