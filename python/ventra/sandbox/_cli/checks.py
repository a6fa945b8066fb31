"""Pre-flight checks: what would make a run fail or surprise, judged before anything starts.

Each check takes the spawn dict (and the backend's row) and returns what it found: an
error text that stops the run, or the names a notice lists; the texts are in `messages`.
"""

from __future__ import annotations

import os
import sys
from typing import Any, Dict, List, Optional, Sequence

from .. import _native
from .messages import quoted

# The limits a Linux backend may or may not hold here; BackendInfo.limits says which.
_WHOLE_SANDBOX_LIMITS = ("memory_bytes", "max_processes", "cpu_milli")


def bound_paths(flag: str, paths: Sequence[str]) -> None:
    """``--ro``/``--rw``: each path exists and is not the whole file system (ValueError)."""
    for path in paths:
        if not os.path.exists(path):
            raise ValueError(f"{flag} {quoted(path)} does not exist")
        if os.path.realpath(path) == "/":
            raise ValueError(f"{flag} {quoted(path)} would share the whole file system")


def unenforced(spec: Dict[str, Any], row: Optional[_native.BackendInfo]) -> List[str]:
    """The whole-sandbox limits a spawn dict asks for that its backend cannot hold here (the
    module warns through an event; the run goes on). Only an available backend that holds
    such limits where the host lets it is asked: "none" holds none by design."""
    if row is None or not row.available or not row.holds_limits:
        return []
    return [k for k in _WHOLE_SANDBOX_LIMITS if spec.get(k) and k not in row.limits]


def _program(spec: Dict[str, Any]) -> str:
    kind = spec.get("script_type", "shell")
    if kind == "argv":
        return str(spec["argv"][0]) if spec.get("argv") else ""
    if kind == "python":
        return str(spec.get("python_interpreter", "python3"))
    return "sh"


def _executable(path: str) -> bool:
    return os.path.isfile(path) and os.access(path, os.X_OK)


def _own_root(row: Optional[_native.BackendInfo]) -> bool:
    # Of the isolating backends, those with a root of their own derive nothing from the
    # work directory for PATH; sandbox-exec (macOS) reads the host's files.
    return row is not None and row.isolates and bool(row.default_path) and sys.platform.startswith("linux")


def _visible_paths(spec: Dict[str, Any]) -> List[str]:
    """The host paths a sandbox with a root of its own shows: the built-in read-only and
    writable lists, the named extra paths and the working directory (its /tmp is its own)."""
    defaults = _native.default_fs_allowlist()
    paths = [p for p in defaults["read_only"] + defaults["read_write"] if p != "/tmp"]
    paths += list(spec.get("extra_read_only_paths", ())) + list(spec.get("extra_read_write_paths", ()))
    cwd = spec.get("working_dir") or spec.get("host_work_dir")
    if cwd:
        paths.append(cwd)
    return [os.path.realpath(p) for p in paths]


def _in_private_dir(path: str, named: Optional[str], row: Optional[_native.BackendInfo]) -> bool:
    # A sandbox with a root of its own runs a spec naming no work dir in a fresh, empty
    # directory of its private /tmp: nothing relative to it exists on the host's side.
    return _own_root(row) and not named and not os.path.isabs(path)


def _is_visible(path: str, visible: Sequence[str]) -> bool:
    real = os.path.realpath(path)
    return any(real == v or real.startswith(v.rstrip("/") + "/") for v in visible)


def missing_path_entries(spec: Dict[str, Any], row: Optional[_native.BackendInfo]) -> List[str]:
    """The directories of an explicit ``PATH`` that do not exist in the child's view: not
    on the host, or (under a backend with its own root) not shown inside the sandbox."""
    env = spec.get("env") or {}
    if "PATH" not in env:
        return []
    named = spec.get("working_dir") or spec.get("host_work_dir")
    cwd = named or os.environ.get("TMPDIR") or "/tmp"
    visible = _visible_paths(spec) if _own_root(row) else None
    missing = []
    for entry in env["PATH"].split(":"):
        if not entry:
            continue
        where = os.path.join(cwd, entry)
        if (not os.path.isdir(where) or (visible is not None and not _is_visible(where, visible))
                or _in_private_dir(entry, named, row)):
            missing.append(entry)
    return missing


def launch_problem(spec: Dict[str, Any], row: Optional[_native.BackendInfo] = None) -> Optional[str]:
    """What would make the launch fail, named, or None. Checks the working directory and
    looks the program up as the child will (the module's own search): in the child's
    ``PATH`` (known here when the env sets it, or the backend's default), from its
    directory, among the directories the child sees."""
    cwd = spec.get("working_dir") or spec.get("host_work_dir")
    if cwd:
        if not os.path.exists(cwd):
            return f"working directory {quoted(cwd)} does not exist"
        if not os.path.isdir(cwd):
            return f"working directory {quoted(cwd)} is not a directory"
    child_dir = cwd or os.environ.get("TMPDIR") or "/tmp"  # as the module picks it
    program = _program(spec)
    if not program:
        return None
    env = spec.get("env") or {}
    if "/" in program:
        if (not _executable(os.path.join(child_dir, program))
                or _in_private_dir(program, cwd, row)):
            return f"program {quoted(program)} not found or not executable"
        return None
    if "PATH" in env:
        search = env["PATH"]
    elif row is not None and row.default_path:
        search = row.default_path
    else:
        return None  # the backend's own default PATH; the module reports a miss
    visible = _visible_paths(spec) if _own_root(row) else None
    for candidate in _native.program_candidates(program, search):
        path = os.path.join(child_dir, candidate)
        if _in_private_dir(candidate, cwd, row):
            continue
        if _executable(path) and (visible is None or _is_visible(os.path.dirname(path), visible)):
            return None
    return f"program {quoted(program)} not found on the child's PATH ({search})"
