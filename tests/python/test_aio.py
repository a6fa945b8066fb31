"""The asyncio helper: results, timeout, and cancellation that kills the child."""

import asyncio
import dataclasses
import time

import pytest

from ventra.sandbox import Result, _native, collect, run


def shell(script, **extra):
    return {"script_type": "shell", "input": script, "backend": "none", **extra}


@pytest.mark.parametrize(
    "spec,expected",
    [
        (shell("echo out; echo err >&2; exit 3"), Result(exit_code=3, stdout=b"out\n", stderr=b"err\n")),
        # A timeout gives 137, and output written before the kill is kept.
        (shell("echo started; sleep 30", timeout_s=0.5), Result(137, b"started\n", b"")),
    ],
)
def test_run_returns_exit_code_and_both_streams(spec, expected):
    result = asyncio.run(run(spec))
    assert result == expected
    with pytest.raises(dataclasses.FrozenInstanceError):
        result.exit_code = 0


def test_spawn_errors_are_raised_by_run():
    with pytest.raises(ValueError, match="unknown script_type"):
        asyncio.run(run({"script_type": "bash", "input": "true", "backend": "none"}))


def test_cancellation_kills_the_group_promptly_and_leaves_no_child(fifo):
    async def scenario():
        # Held open by the shell and its background sleep: end of file means both are dead.
        proc = _native.spawn(
            shell(f'exec 3>"{fifo.path}"; sleep 1000 & echo ready >&3; wait', timeout_s=0))
        task = asyncio.create_task(collect(proc))
        assert await asyncio.get_running_loop().run_in_executor(None, fifo.read_line) == "ready\n"
        task.cancel()
        started = time.monotonic()
        with pytest.raises(asyncio.CancelledError):
            await task
        return time.monotonic() - started

    assert asyncio.run(scenario()) < 1.0
    fifo.wait_eof()
