"""The keys of a spawn specification, at run time: `SpawnSpec` and the checks that the
package's own helpers run before they call `ventra.sandbox._native`.

The native module is lenient where callers may rely on it: `spawn` ignores keys it does
not know, so a misspelt ``timeout`` silently runs with the default 60 s, and an allow or
deny entry that can never match (``https://example.org/``, ``example.org:443``,
``300.1.1.1``, ``""``) is kept, inert, with only a warning, so a deny list holding one
fails open. The helpers of this package (`run`, `Session`, the command line) refuse both
instead, naming the key (and the nearest known one) or the entry, and name the key of a
value of the wrong type (`spawn` itself says only what it could not convert).
"""

from __future__ import annotations

import difflib
from typing import (Any, Callable, Dict, FrozenSet, List, Literal, Mapping, Sequence, Tuple,
                    TypedDict, Union)

from . import _native

__all__ = ["KNOWN_KEYS", "BackendName", "SpawnSpec", "check_entries", "check_keys", "check_spec",
           "check_values"]

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
    max_output_bytes: int
    output_tail: bool


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


def _is_str(v: Any) -> bool:
    return isinstance(v, str)


def _is_int(v: Any) -> bool:
    return hasattr(type(v), "__index__")


def _is_number(v: Any) -> bool:
    return not isinstance(v, (str, bytes)) and (_is_int(v) or hasattr(type(v), "__float__"))


def _is_bool(v: Any) -> bool:
    return isinstance(v, bool) or type(v).__module__ == "numpy"


def _is_texts(v: Any) -> bool:
    return (not isinstance(v, (str, bytes, bytearray, Mapping)) and hasattr(v, "__getitem__")
            and hasattr(v, "__iter__") and all(isinstance(item, str) for item in v))


def _is_env(v: Any) -> bool:
    return isinstance(v, dict) and all(isinstance(k, str) and isinstance(x, str)
                                       for k, x in v.items())


# What each key's value must be (as `spawn` converts it), in the words of the message.
_VALUE_KINDS: Dict[str, Tuple[Callable[[Any], bool], Tuple[str, ...]]] = {
    "str": (_is_str, ("script_type", "input", "python_interpreter",
            "host_work_dir", "working_dir", "network_mode", "backend")),
    "a number": (_is_number, ("timeout_s",)),
    "an int": (_is_int, ("cpu_milli", "memory_bytes", "gpu", "ephemeral_storage_bytes",
               "max_processes", "stdout_fd", "stderr_fd", "stdin_fd")),
    "a bool": (_is_bool, ("capture_stdout", "capture_stderr", "stderr_to_stdout",
               "require_limits")),
    "a list of str": (_is_texts, ("argv", "network_allowlist", "network_denylist",
                      "extra_read_only_paths", "extra_read_write_paths")),
    "a dict of str to str": (_is_env, ("env",)),
}
_KIND_OF = {key: (what, test) for what, (test, keys) in _VALUE_KINDS.items() for key in keys}


def check_values(spec: Mapping[str, Any]) -> None:
    """Raise `TypeError` naming the first key whose value `spawn` could not convert:
    ``spawn key 'timeout_s' must be a number, not str``."""
    for key, value in spec.items():
        what, test = _KIND_OF.get(key, ("", lambda _: True))  # a key without a kind: spawn's
        if not test(value):
            raise TypeError(f"spawn key {key!r} must be {what}, not {type(value).__name__}")


def check_spec(spec: Any) -> None:
    """`check_keys`, after refusing anything but a mapping with `TypeError`, then
    `check_values`, and `check_entries` on ``network_allowlist`` and ``network_denylist``."""
    if isinstance(spec, (str, bytes, bytearray)) or not isinstance(spec, Mapping):
        raise TypeError("a spawn specification is a dict of spawn keys, "
                        f"not {type(spec).__name__}")
    check_keys(spec)
    lists = [key for key in ("network_allowlist", "network_denylist") if key in spec]
    for key in lists:  # a single str gets the list's own message
        if isinstance(spec[key], (str, bytes, bytearray)):
            check_entries(spec[key], key, key)
    check_values(spec)
    for key in lists:
        check_entries(spec[key], key, key)
