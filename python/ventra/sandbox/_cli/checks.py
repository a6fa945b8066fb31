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


def _work_dir(spec: Dict[str, Any]) -> Optional[str]:
    return spec.get("working_dir") or spec.get("host_work_dir") or None


def _view(spec: Dict[str, Any], program: str, search: Optional[str]) -> _native._SandboxView:
    """What the module says the child will see: its work dir, the host paths bound in, and
    the file it runs for `program`."""
    return _native.sandbox_view(program, search, _work_dir(spec),
                                spec.get("extra_read_only_paths", ()),
                                spec.get("extra_read_write_paths", ()))


def _shown(path: str, view: _native._SandboxView) -> bool:
    """Whether a host directory is there inside, as the host has it."""
    real = os.path.realpath(path)
    return any(real == v or real.startswith(v.rstrip("/") + "/") for v, _ in view["visible"])


def missing_path_entries(spec: Dict[str, Any], row: Optional[_native.BackendInfo]) -> List[str]:
    """The directories of an explicit ``PATH`` that do not exist in the child's view: not
    on the host, or (under a backend with its own root) not shown inside the sandbox."""
    env = spec.get("env") or {}
    if "PATH" not in env:
        return []
    view = _view(spec, "", env["PATH"]) if _own_root(row) else None
    cwd = view["work_dir"] if view else _work_dir(spec) or os.environ.get("TMPDIR") or "/tmp"
    missing = []
    for entry in env["PATH"].split(":"):
        if not entry:
            continue
        where = os.path.join(cwd, entry)
        if view is not None and (not _shown(where, view) or (
                view["private_work_dir"] and not os.path.isabs(entry))):
            missing.append(entry)
        elif not os.path.isdir(where):
            missing.append(entry)
    return missing


def launch_problem(spec: Dict[str, Any], row: Optional[_native.BackendInfo] = None) -> Optional[str]:
    """What would make the launch fail, named, or None. Checks the working directory and
    looks the program up as the child will: in the child's ``PATH`` (known here when the
    env sets it, or the backend's default), from its directory, among the files it sees
    (the module's own view under a backend with a root of its own)."""
    cwd = _work_dir(spec)
    if cwd:
        if not os.path.exists(cwd):
            return f"working directory {quoted(cwd)} does not exist"
        if not os.path.isdir(cwd):
            return f"working directory {quoted(cwd)} is not a directory"
    program = _program(spec)
    if not program:
        return None
    env = spec.get("env") or {}
    search = env.get("PATH", row.default_path if row is not None else "") or None
    if _own_root(row):
        if _view(spec, program, search)["program"] is not None:
            return None
    else:
        child_dir = cwd or os.environ.get("TMPDIR") or "/tmp"  # as the module picks it
        if "/" not in program and search is None:
            return None  # the backend's own default PATH; the module reports a miss
        for candidate in _native.program_candidates(program, search):
            if _executable(os.path.join(child_dir, candidate)):
                return None
    if "/" in program:
        return f"program {quoted(program)} not found or not executable"
    return f"program {quoted(program)} not found on the child's PATH ({search})"
