"""Run untrusted scripts in sandboxed child processes and filter their egress.

The native surface lives in `ventra.sandbox._native`. The asyncio helpers `run`,
`collect` and `Result` (from `ventra.sandbox.aio`) are re-exported here and imported on
first use, so importing this package stays cheap.
"""

from typing import TYPE_CHECKING, Any

from . import _native

if TYPE_CHECKING:
    from .aio import Result, collect, run

__all__ = ["Result", "_native", "collect", "run"]


def __getattr__(name: str) -> Any:
    if name in ("Result", "collect", "run"):
        from . import aio

        return getattr(aio, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
