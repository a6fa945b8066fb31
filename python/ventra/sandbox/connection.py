"""`Connection`: one decision an egress proxy took, as plain data (picklable).

``host`` is what the child asked for, kept as data: bytes that are not UTF-8 survive as
surrogate escapes. Show it through `shown_host` (or ``repr``), never raw, since a child
chose it.
"""

from __future__ import annotations

from dataclasses import asdict, dataclass
from typing import Any, Dict, Mapping, Optional, Sequence, Tuple

__all__ = ["Connection", "connections_from_native"]


@dataclass(frozen=True)
class Connection:
    """``verdict`` is ``"admitted"``, ``"refused"`` (``reason`` says why) or ``"failed"``
    (admitted, but the destination could not be reached). For an admitted tunnel,
    ``bytes_up`` (child to destination), ``bytes_down`` and ``duration_s`` are measured;
    otherwise they are None. ``time`` is the decision's Unix time, ``address`` the resolved
    address it went (or would have gone) to."""

    time: float
    protocol: str
    host: str
    port: int
    address: Optional[str]
    verdict: str
    reason: Optional[str]
    bytes_up: Optional[int] = None
    bytes_down: Optional[int] = None
    duration_s: Optional[float] = None

    @property
    def destination(self) -> str:
        """``host:port``, escaped for display (``[...]`` around an IPv6 literal)."""
        host = self.shown_host
        return f"[{host}]:{self.port}" if ":" in host else f"{host}:{self.port}"

    @property
    def shown_host(self) -> str:
        """The host with anything unprintable escaped as in ``repr``."""
        if self.host.isprintable() and self.host.isascii():
            return self.host
        return repr(self.host)[1:-1]

    def to_dict(self) -> Dict[str, Any]:
        """The fields as a JSON-ready dictionary (the host with its bytes escaped)."""
        out = asdict(self)
        out["host"] = self.host.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
        return out


def connections_from_native(
    record: Optional[Tuple[Sequence[Mapping[str, Any]], int]],
) -> Tuple[Optional[Tuple[Connection, ...]], int]:
    """``(connections, dropped)`` from what `connections()` of the native module returns;
    ``(None, 0)`` for None."""
    if record is None:
        return None, 0
    entries, dropped = record
    return tuple(Connection(**dict(e)) for e in entries), dropped
