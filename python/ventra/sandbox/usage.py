"""`Usage`: what one run used, as plain data (picklable, comparable).

Each figure comes from the most trustworthy place the host offers, and ``sources`` names
it per field: the sandbox's control group (``"cgroup v1 memory.max_usage_in_bytes"``),
the host's ``wait4`` of the sandbox's first process (``"wait4"``), the host's clock, or,
for ``peak_rss_bytes``, the sandbox's init (``"relayed from inside the sandbox: ...
(forgeable by code in the sandbox)"``). A figure this host cannot measure is None,
never 0, and its source says why (``"not measured: no pids cgroup for this run"``).
"""

from __future__ import annotations

from dataclasses import asdict, dataclass, field
from typing import Any, Dict, Mapping, Optional

__all__ = ["Usage"]


@dataclass(frozen=True)
class Usage:
    """Times in seconds, sizes in bytes.

    ``peak_memory_bytes`` is the whole sandbox's (page cache and tmpfs included),
    ``peak_rss_bytes`` the largest single process's, ``max_processes`` the most processes
    and threads alive at once, ``io_*_bytes`` what went to or came from storage.
    ``oom_killed`` tells whether the kernel's out-of-memory killer ended a process of the
    sandbox.
    """

    wall_s: Optional[float] = None
    cpu_user_s: Optional[float] = None
    cpu_system_s: Optional[float] = None
    peak_memory_bytes: Optional[int] = None
    peak_rss_bytes: Optional[int] = None
    max_processes: Optional[int] = None
    io_read_bytes: Optional[int] = None
    io_write_bytes: Optional[int] = None
    oom_killed: Optional[bool] = None
    sources: Dict[str, str] = field(default_factory=dict)

    @classmethod
    def from_native(cls, record: Mapping[str, Any]) -> "Usage":
        """From the dictionary of `LocalProcess.usage`."""
        return cls(**dict(record))

    def to_dict(self) -> Dict[str, Any]:
        """The fields as a JSON-ready dictionary (``sources`` included)."""
        return asdict(self)
