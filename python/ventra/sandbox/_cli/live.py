"""Supervision of a running child: our descriptors, its standard input, signals, its output.

The blocking collect runs on a helper thread so that SIGINT and SIGTERM reach Python while
a child runs, and are answered by killing the child's group. By default the child's output
is passed through live: the module's drains forward it to our descriptors 1 and 2 as it
arrives (the child itself only ever writes into pipes).
"""

from __future__ import annotations

import argparse
import itertools
import os
import signal
import sys
import threading
import time
from typing import Any, Dict, List, NoReturn, Optional, Tuple

from .. import _events, _native
from .._backends import backend_row
from ..session import Session
from . import messages
from .messages import EXIT_OUTPUT_LOST, EXIT_REFUSED

# The child was killed at its deadline if the collect ended this close to it or later.
_DEADLINE_SLACK_S = 0.05

# Our standard descriptors that were closed when we started (they now hold the null
# device, so that nothing we open takes their numbers).
_CLOSED_AT_START: Tuple[int, ...] = ()


def hold_closed_stdio() -> None:
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


def live_keys() -> Dict[str, Any]:
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


def _write(stream: Any, data: bytes) -> Optional[str]:
    """Writes `data` to one of our standard streams; what failed (as the module words a
    forwarding failure) or None."""
    if not data:
        return None
    try:
        stream.buffer.write(data)
        stream.buffer.flush()
    except BrokenPipeError:
        raise  # our reader went away: ended by main as a pipeline's writer
    except OSError as exc:
        fd = 1 if stream is sys.stdout else 2
        _discard(fd)  # what is still buffered must not fail again at exit
        return messages.os_error("stdout" if fd == 1 else "stderr", exc)
    return None


def _refused_destinations(session: Optional[Session]) -> List[Dict[str, str]]:
    """The destinations the run's proxy refused, for ``--json``."""
    if session is None:
        return []
    _events.flush()
    return [{"destination": d, "reason": r} for d, r in session.refusals]


class StdinPump:
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


def stdin_key(args: argparse.Namespace) -> Tuple[Dict[str, Any], Optional[StdinPump]]:
    if not args.stdin:
        return {}, None
    if not os.isatty(0):
        return {"stdin_fd": 0}, None
    pump = StdinPump()
    return {"stdin_fd": pump.read_end}, pump


def supervise(args: argparse.Namespace, proc: _native.LocalProcess, started: float,
              timeout: float, session: Optional[Session]) -> int:
    """Wait for the child, answering our signals and a reader that went away; print what
    was collected (or the ``--json`` report); return our exit code."""
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
        messages.err(f"error: {collector.error}")
        return EXIT_REFUSED if status is None else status
    if status is not None:
        if result is not None and not args.json:
            # What the child wrote before it was interrupted; empty when passed through live.
            _deliver(result[1], result[2])
        messages.notice(args, messages.interrupted(status - 128))
        return status
    if pipe_closed:
        discard_stdout()
        return 128 + int(signal.SIGPIPE)
    assert result is not None
    code, out, err = result
    elapsed = time.monotonic() - started
    timed_out = (code == 128 + int(signal.SIGKILL) and timeout > 0
                 and not proc.memory_limit_exceeded and elapsed >= timeout - _DEADLINE_SLACK_S)
    lost = proc.output_error  # a forwarded stream that could not be written
    if args.json:
        report = {
            "exit_code": code,
            "reason": messages.ending(code, timed_out, False, proc.memory_limit_exceeded),
            "duration_s": round(elapsed, 6),
            "backend": _listed_name(proc.backend),
            "stdout": messages.output_field(out, args.max_output),
            "stderr": messages.output_field(err, args.max_output),
            "refused": _refused_destinations(session),
            "output_error": lost,
        }
        # A piece at a time: the report of a large output is never held encoded whole.
        for piece in itertools.chain(messages.json_chunks(report), [b"\n"]):
            failed = _write(sys.stdout, piece)
            if failed is not None:
                lost = failed
                break
    else:
        lost = _deliver(out, err) or lost
    if timed_out:
        messages.notice(args, messages.timed_out(timeout))
    if lost is not None:
        messages.err(messages.output_lost(lost))
        return EXIT_OUTPUT_LOST
    return code if 0 <= code <= 255 else 255


def _listed_name(backend: str) -> str:
    # One spelling in our output: the kind as `backends` lists it ("userns", not the
    # handle's "userns-lite").
    row = backend_row(backend)
    return row.kind if row is not None else backend


def _deliver(out: bytes, err: bytes) -> Optional[str]:
    """The collected output onto our streams; the first failure, or None."""
    lost = _write(sys.stdout, out)
    return _write(sys.stderr, err) or lost


def discard_stdout() -> None:
    # Nothing we still hold for a reader that is gone may fail at exit.
    _discard(1)


def _discard(fd: int) -> None:
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, fd)
    os.close(devnull)
