"""The rows of `available_backends()` as the package's helpers look them up."""

from __future__ import annotations

from typing import Optional

from . import _native


def backend_row(name: Optional[str]) -> Optional[_native.BackendInfo]:
    """The row of `available_backends()` for a name `spawn` accepts (the module's default
    for None), or None for a name it does not know."""
    wanted = _native.DEFAULT_BACKEND if name is None else name
    for info in _native.available_backends():
        if wanted in info.names:
            return info
    return None
