"""Run untrusted scripts in sandboxed child processes and filter their egress.

The native surface lives in `ventra.sandbox._native`. Re-exported here and imported on
first use, so importing this package stays cheap: the asyncio helpers `run`, `collect`
and `Result` (from `ventra.sandbox.aio`), the `Session` helper that owns an egress proxy
(`ventra.sandbox.session`) and the `SpawnSpec` dictionary type
(`ventra.sandbox.spawn_spec`).
"""

from typing import TYPE_CHECKING, Any

from . import _native

if TYPE_CHECKING:
    from .aio import Result, collect, run
    from .sandbox import Sandbox
    from .session import Session
    from .spawn_spec import SpawnSpec

__all__ = ["Result", "Sandbox", "Session", "SpawnSpec", "_native", "collect", "run"]

_LAZY = {"Result": "aio", "collect": "aio", "run": "aio", "Session": "session", "Sandbox": "sandbox",
         "SpawnSpec": "spawn_spec"}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        import importlib

        return getattr(importlib.import_module(f".{_LAZY[name]}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
