"""Sandboxes on a Ray cluster (``pip install "ventra-sandbox[ray]"``).

Ray places the work; each node isolates it. Two ways in:

- `NodePool` (`ventra.sandbox.ray.pool`): one actor per node holding one `Session`,
  handing out sandboxes to the tasks on its node. Stable Ray core APIs only.
- `SandboxBackend` and `create` (`ventra.sandbox.ray.backend`): ventra sandboxes behind
  Ray's own sandbox interface, ``ray.experimental.sandbox`` (Ray 2.60 and later).

Results come back as `RunRecord`: plain data that unpickles without this package's native
module. Ray itself is imported on first use of a name that needs it.
"""

from typing import TYPE_CHECKING, Any

from ._records import RunRecord

if TYPE_CHECKING:
    from ._node import CARRIES_OVER, NodeSession
    from .backend import SandboxBackend, create
    from .pool import Lease, NodePool

__all__ = ["CARRIES_OVER", "Lease", "NodePool", "NodeSession", "RunRecord", "SandboxBackend",
           "create"]

_LAZY = {"CARRIES_OVER": "_node", "NodeSession": "_node", "Lease": "pool", "NodePool": "pool",
         "SandboxBackend": "backend", "create": "backend"}


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        import importlib

        if name in ("NodePool", "Lease", "SandboxBackend", "create"):
            try:
                importlib.import_module("ray")
            except ImportError:
                raise ImportError(f"ventra.sandbox.ray.{name} needs Ray: "
                                  'pip install "ventra-sandbox[ray]"') from None
        return getattr(importlib.import_module(f".{_LAZY[name]}", __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
