"""The native module's diagnostic events as `logging` records of the logger
``ventra.sandbox``.

Proxy threads never touch Python objects: they queue each event (bounded; an event that
finds the queue full is dropped and counted) and a daemon thread of ours,
"ventra-sandbox-events", takes them and logs them. It starts with the first
`AllowListProxy`. Refused destinations are logged at WARNING as
``refused example.org:443 (not in the allow list)``, other events at their own levels,
each decision of a proxy with its destination in the message (DEBUG for an admitted one).
The package's helpers log each run's start and end at INFO (pid, backend, exit code,
duration; also as record attributes).
Each record carries ``destination`` (``"host:port"`` or None), ``proxy`` (the URL of
the proxy that saw it, or None), ``reason`` (why it was refused, or None), ``refused``
and ``target`` as attributes. The level of the logger decides which events the module
builds at all, re-read about once a second.
"""

from __future__ import annotations

import logging
import threading
import time
from typing import Dict, List, Optional, Tuple

# One event as `_native._take_events` hands it over: level, target, message, destination,
# proxy URL, reason, refused.
_Record = Tuple[int, str, str, Optional[str], Optional[str], Optional[str], bool]

from . import _native

__all__ = ["LOGGER", "flush", "refusals", "forget", "RunRecord"]

LOGGER = logging.getLogger("ventra.sandbox")

_WAIT_S = 1.0
# Refusals kept per proxy URL for `refusals`; the count goes on past it.
_KEEP_REFUSALS = 1000

_lock = threading.Lock()  # one taker at a time, so records are logged in order
_started = False
_refused: Dict[str, List[Tuple[str, str]]] = {}


def _printable(name: str) -> str:
    """A name a child chose, as it is when plain, else quoted with every other character
    escaped: none of its control characters reaches a terminal or a log."""
    if name.isascii() and name.isprintable() and not any(c in name for c in ' "\\'):
        return name
    return '"' + "".join(c if c.isascii() and c.isprintable() and c not in '"\\'
                         else f"\\u{{{ord(c):x}}}" for c in name) + '"'


def _log(records: List[_Record], dropped: int) -> None:
    for level, target, message, destination, proxy, reason, refused in records:
        if refused or destination is None or destination in message:
            text = message  # printable: a name the child chose is quoted where it must be
        else:
            text = f"{message}: {_printable(destination)}"  # a decision names what it decided on
        if refused and proxy is not None:
            kept = _refused.setdefault(proxy, [])
            if len(kept) < _KEEP_REFUSALS:
                kept.append((destination or "", reason or ""))
        LOGGER.log(level, text, extra={"destination": destination, "proxy": proxy,
                                       "reason": reason, "refused": refused, "target": target})
    if dropped:
        LOGGER.warning("%d diagnostic events were dropped: the queue was full", dropped)


class RunRecord:
    """Logs a run's start at INFO when made, and its end (exit code, duration) by `ended`."""

    def __init__(self, proc: _native.LocalProcess) -> None:
        self.pid, self.backend = proc.pid(), proc.backend  # pid() fails once reaped
        self.started = time.monotonic()
        LOGGER.info("run started: pid %d, backend %s", self.pid, self.backend,
                    extra={"pid": self.pid, "backend": self.backend})

    def ended(self, exit_code: int) -> None:
        duration = time.monotonic() - self.started
        LOGGER.info("run ended: pid %d, backend %s, exit %d, %.3f s", self.pid, self.backend,
                    exit_code, duration, extra={"pid": self.pid, "backend": self.backend,
                                                "exit_code": exit_code, "duration_s": duration})


def flush() -> None:
    """Log every event queued so far, on the calling thread."""
    with _lock:
        records, dropped = _native._take_events(LOGGER.getEffectiveLevel())
        _log(records, dropped)


def _run() -> None:
    while True:
        try:
            # Waits (without the interpreter lock) until an event is queued, or a second.
            _native._wait_events(_WAIT_S, LOGGER.getEffectiveLevel())
            flush()
        except Exception:  # a failing handler must not end the hand-over for good
            pass


def _start() -> None:
    """Start the taking thread once per process (called by the native module)."""
    global _started
    with _lock:
        if _started:
            return
        _started = True
    threading.Thread(target=_run, name="ventra-sandbox-events", daemon=True).start()


def refusals(*proxy_urls: Optional[str]) -> List[Tuple[str, str]]:
    """The destinations refused so far by the proxies at ``proxy_urls``, as
    ``(destination, reason)`` pairs in the order logged (the first 1000 per proxy)."""
    flush()
    out: List[Tuple[str, str]] = []
    for url in proxy_urls:
        if url is not None:
            out.extend(_refused.get(url, ()))
    return out


def forget(*proxy_urls: Optional[str]) -> None:
    """Drop what `refusals` keeps for ``proxy_urls`` (their ports may be reused)."""
    with _lock:
        for url in proxy_urls:
            if url is not None:
                _refused.pop(url, None)
