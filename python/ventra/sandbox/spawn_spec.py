"""The keys of a spawn specification, at run time: `SpawnSpec` and the checks that the
package's own helpers run before they call `ventra.sandbox._native`.

The native module is lenient where callers may rely on it: `spawn` ignores keys it does
not know, so a misspelt ``timeout`` silently runs with the default 60 s, and an allow or
deny entry that can never match (``https://example.org/``, ``example.org:443``,
``300.1.1.1``, ``""``) is kept, inert, with only a warning, so a deny list holding one
fails open. The helpers of this package (`run`, `Session`, the command line) refuse both
instead, naming the key (and the nearest known one) or the entry.
"""

from __future__ import annotations

import difflib
from typing import Any, FrozenSet, List, Literal, Mapping, Sequence, TypedDict, Union

from . import _native

__all__ = ["KNOWN_KEYS", "BackendName", "SpawnSpec", "check_entries", "check_keys", "check_spec"]

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
    max_processes: int
    require_limits: bool
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


def check_entries(entries: Any, name: str, prefix: str) -> List[str]:
    """The entries of an allow or deny list as a new list. A `str` or `bytes` (which would
    be taken character by character) raises `TypeError` naming the argument ``name``; an
    entry that can never match raises `ValueError` ``"{prefix}: entry ... can never
    match: {why}"``."""
    if isinstance(entries, (str, bytes, bytearray)):
        raise TypeError(f"{name} must be a list of entries, not a single "
                        f"{type(entries).__name__}: write [{entries!r}]")
    listed = list(entries)
    problems = _native._never_matching(listed)
    if problems:
        raise ValueError(f"{prefix}: {problems[0]}")
    return listed


def check_spec(spec: Any) -> None:
    """`check_keys`, after refusing anything but a mapping with `TypeError`, and then
    `check_entries` on ``network_allowlist`` and ``network_denylist``."""
    if isinstance(spec, (str, bytes, bytearray)) or not isinstance(spec, Mapping):
        raise TypeError("a spawn specification is a dict of spawn keys, "
                        f"not {type(spec).__name__}")
    check_keys(spec)
    for key in ("network_allowlist", "network_denylist"):
        if spec.get(key) is not None:
            check_entries(spec[key], key, key)
