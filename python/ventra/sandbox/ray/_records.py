"""`RunRecord`: what one command in a sandbox gave, as plain data that pickles anywhere.

A record crosses process boundaries (actor to task to driver), so it holds only builtins:
no handle, no native object, nothing that needs ``ventra.sandbox`` to unpickle.
"""

from __future__ import annotations

import dataclasses
from typing import Any, Mapping, Optional, Tuple

__all__ = ["RunRecord", "plain"]


def plain(value: Any) -> Any:
    """``value`` as builtins only: dataclasses and mappings become dicts, named tuples
    and other sequences tuples, anything else that is not a scalar its ``repr``."""
    if value is None or isinstance(value, (bool, int, float, str, bytes)):
        return value
    if dataclasses.is_dataclass(value) and not isinstance(value, type):
        return {f.name: plain(getattr(value, f.name)) for f in dataclasses.fields(value)}
    if hasattr(value, "_asdict"):
        return {str(k): plain(v) for k, v in value._asdict().items()}
    if isinstance(value, Mapping):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, set, frozenset)):
        return tuple(plain(v) for v in value)
    return repr(value)


@dataclasses.dataclass(frozen=True)
class RunRecord:
    """One command's outcome. ``exit_code`` follows `ventra.sandbox.Result` (128 + the
    signal for a killed command, 137 after a deadline). ``usage`` is the sandbox's resource
    record and ``egress`` the connections it made or was refused, as plain dicts and
    tuples (None where the result carried none). ``node_id`` is the Ray node that ran it,
    ``sandbox_id`` the sandbox, ``files`` what a one-shot run read back (None for a path
    that was absent)."""

    exit_code: int
    stdout: bytes
    stderr: bytes
    duration_s: float
    node_id: str = ""
    sandbox_id: str = ""
    usage: Optional[Mapping[str, Any]] = None
    egress: Optional[Tuple[Any, ...]] = None
    files: Mapping[str, Optional[bytes]] = dataclasses.field(default_factory=dict)

    @classmethod
    def from_result(cls, result: Any, *, duration_s: float, node_id: str = "",
                    sandbox_id: str = "") -> "RunRecord":
        usage = getattr(result, "usage", None)
        egress = getattr(result, "connections", None)
        return cls(exit_code=int(result.exit_code), stdout=bytes(result.stdout),
                   stderr=bytes(result.stderr), duration_s=duration_s, node_id=node_id,
                   sandbox_id=sandbox_id, usage=None if usage is None else plain(usage),
                   egress=None if egress is None else tuple(plain(egress)))
