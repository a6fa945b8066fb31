"""The keys of a spawn specification, at run time: `SpawnSpec` and the check that the
package's own helpers run before they call `ventra.sandbox._native.spawn`.

The native `spawn` ignores keys it does not know (callers may rely on that), so a
misspelt ``timeout`` silently runs with the default 60 s. The helpers of this package
refuse such a key instead and name the nearest known one.
"""

from __future__ import annotations

import difflib
from typing import Any, FrozenSet, Literal, Mapping, Sequence, TypedDict, Union

__all__ = ["KNOWN_KEYS", "BackendName", "SpawnSpec", "check_keys"]

# Every name `spawn` accepts for a backend.
BackendName = Literal[
    "bubblewrap", "bwrap", "userns-lite", "userns", "sandbox-exec", "sandboxexec", "none"
]


class SpawnSpec(TypedDict, total=False):
    """The keys `spawn` reads; every key is optional except the script's own
    (``argv`` for ``"argv"``, ``input`` for ``"shell"`` and ``"python"``)."""

    script_type: Literal["shell", "python", "argv"]
    argv: Sequence[str]
    input: str
    python_interpreter: str
    env: Mapping[str, str]
    host_work_dir: str
    working_dir: str
    timeout_s: float
    cpu_milli: int
    memory_bytes: int
    gpu: int
    ephemeral_storage_bytes: int
    network_mode: Literal["blocked", "open", "allowlist"]
    network_allowlist: Sequence[str]
    network_denylist: Sequence[str]
    extra_read_only_paths: Sequence[str]
    extra_read_write_paths: Sequence[str]
    capture_stdout: bool
    capture_stderr: bool
    backend: Union[BackendName, str]
    stdout_fd: int
    stderr_fd: int
    stderr_to_stdout: bool
    stdin_fd: int


KNOWN_KEYS: FrozenSet[str] = frozenset(SpawnSpec.__annotations__)

# Names from other process APIs that spelling alone does not lead to.
_ALIASES = {"cwd": "host_work_dir"}


def check_keys(spec: Mapping[Any, Any]) -> None:
    """Raise `ValueError` naming each key of ``spec`` that `spawn` does not read, with
    the nearest known key."""
    unknown = [key for key in spec if key not in KNOWN_KEYS]
    if not unknown:
        return
    known = sorted(KNOWN_KEYS)
    parts = []
    for key in unknown:
        nearest = _ALIASES.get(key) if isinstance(key, str) else None
        if nearest is None:
            nearest = difflib.get_close_matches(str(key), known, n=1, cutoff=0.0)[0]
        parts.append(f"{key!r} (nearest known key: {nearest!r})")
    noun = "key" if len(unknown) == 1 else "keys"
    raise ValueError(f"unknown spawn {noun}: {', '.join(parts)}")
