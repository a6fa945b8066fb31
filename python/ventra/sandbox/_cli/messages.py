"""What the command line says: its exit codes, its error and notice lines, its fixed texts.

Errors always reach standard error; notices are the command line's own remarks, which
``-q`` silences. Every line starts with "ventra.sandbox: ".
"""

from __future__ import annotations

import argparse
import codecs
import json
import logging
import os
import sys
from typing import Any, Dict, Iterator, Sequence

from .. import _native

# Exit codes of the command line itself; every other code is the child's own.
EXIT_USAGE = 2  # bad arguments or entries (ValueError / TypeError from the module)
EXIT_REFUSED = 125  # the module refused or failed to start the child (RuntimeError)
EXIT_OUTPUT_LOST = 74  # the child's output could not be delivered (a full disk, EIO)

# The module's cap on a collected stream: one this long was (or may have been) cut.
OUTPUT_CAP_BYTES = 268435456

NONE_WARNING = (
    "ventra.sandbox: warning: backend \"none\" does not isolate: the child sees the whole "
    "file system with your permissions and ignores the network policy; only clients that "
    "honour the proxy variables are filtered."
)


def _say(line: str) -> None:
    # Straight to the descriptor: a failed write leaves nothing buffered to fail again at
    # exit, and the streams stay as they are for the output that follows.
    data = memoryview((line + "\n").encode("utf-8", "surrogateescape"))
    try:
        sys.stderr.flush()
        while data:
            data = data[os.write(2, data):]
    except OSError:
        pass  # standard error itself is lost; the exit status still tells


def err(message: str) -> None:
    _say(f"ventra.sandbox: {message}")


def notice(args: argparse.Namespace, message: str) -> None:
    """One of the command line's own notices, which ``-q`` silences; errors are not."""
    if not getattr(args, "quiet", False):
        _say(message)


def os_error(stream: str, exc: OSError) -> str:
    """An error of ours writing ``stream`` in the module's words:
    "stdout: No space left on device (os error 28)"."""
    if exc.errno is None:
        return f"{stream}: {exc}"
    return f"{stream}: {os.strerror(exc.errno)} (os error {exc.errno})"


def output_lost(what: str) -> str:
    return f"error: could not deliver the child's output: {what}; the rest was discarded"


def quoted(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def shown_size(n: int) -> str:
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n >= scale and n % scale == 0:
            return f"{n // scale} {unit}"
    return f"{n} bytes"


def missing_path_entry(entry: str) -> str:
    return (f"ventra.sandbox: notice: PATH entry {quoted(entry)} does not exist inside the "
            "sandbox; a program there is looked up further along PATH")


def unenforced(keys: Sequence[str]) -> str:
    return ("ventra.sandbox: note: not enforced on this host, the run goes on without: "
            f"{', '.join(keys)} (see 'backends')")


def memory_killed(memory_bytes: int) -> str:
    return f"ventra.sandbox: killed: memory limit of {shown_size(memory_bytes)} reached"


def interrupted(signum: int) -> str:
    return f"ventra.sandbox: interrupted by signal {signum}; killed the child's process group"


def timed_out(timeout: float) -> str:
    return f"ventra.sandbox: timed out after {timeout:g} s; killed the child's process group"


def refusal_hint() -> str:
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


def ending(code: int, timed_out: bool, pipe_closed: bool, memory: bool) -> str:
    """Why the run ended, for ``--json``: "exit", "signal", "timeout", "memory limit" or
    "pipe closed". A child that exits with 128 + N itself looks like signal N."""
    if pipe_closed:
        return "pipe closed"
    if timed_out:
        return "timeout"
    if memory:
        return "memory limit"
    return "signal" if code > 128 else "exit"


def output_field(data: bytes, bound: int = OUTPUT_CAP_BYTES) -> Dict[str, Any]:
    # The bytes themselves: json_chunks writes them as text, a piece at a time.
    return {"text": data, "bytes": len(data), "truncated": len(data) >= bound}


_JSON_PIECE = 1 << 20


def json_chunks(value: Any) -> Iterator[bytes]:
    """``value`` as ``json.dumps`` writes it, in pieces, with each bytes value written as
    text (bytes that are not UTF-8 become U+FFFD) a MiB at a time: a large output is never
    held decoded or encoded whole."""
    if isinstance(value, bytes):
        decoder = codecs.getincrementaldecoder("utf-8")("replace")
        yield b'"'
        for at in range(0, len(value), _JSON_PIECE):
            piece = decoder.decode(value[at:at + _JSON_PIECE], final=at + _JSON_PIECE >= len(value))
            yield json.dumps(piece)[1:-1].encode()
        yield b'"'
    elif isinstance(value, dict):
        yield b"{"
        for i, (key, item) in enumerate(value.items()):
            yield (", " if i else "").encode() + json.dumps(key).encode() + b": "
            yield from json_chunks(item)
        yield b"}"
    else:
        yield json.dumps(value).encode()


class RefusalLines(logging.Handler):
    """Each destination the proxy refuses, as one line on standard error as it happens:
    ``ventra.sandbox: refused example.org:443 (not in the allow list)``."""

    def emit(self, record: logging.LogRecord) -> None:
        if getattr(record, "refused", False):
            _say(f"ventra.sandbox: {record.getMessage()}")
