"""Run untrusted scripts in sandboxed child processes and filter their egress.

The native surface lives in `ventra.sandbox._native`. Re-exported here and imported on
first use, so importing this package stays cheap: the asyncio helpers `run`, `collect`
and `Result` (from `ventra.sandbox.aio`), the `Session` helper that owns an egress proxy
(`ventra.sandbox.session`), the `SpawnSpec` dictionary type
(`ventra.sandbox.spawn_spec`), and the per-run records `Usage` and `Connection`.
"""

from typing import TYPE_CHECKING, Any

from . import _native

if TYPE_CHECKING:
    from .aio import Result, collect, run
    from .sandbox import Sandbox
    from .session import Session
    from .connection import Connection
    from .spawn_spec import SpawnSpec
    from .usage import Usage

__all__ = ["Connection", "Result", "Sandbox", "Session", "SpawnSpec", "Usage", "_native", "collect",
           "run"]

_LAZY = {"Result": "aio", "collect": "aio", "run": "aio", "Session": "session", "Sandbox": "sandbox",
         "SpawnSpec": "spawn_spec", "Usage": "usage", "Connection": "connection"}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        import importlib

        return getattr(importlib.import_module(f".{_LAZY[name]}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
