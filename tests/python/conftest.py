"""Shared fixtures for the tests of ventra.sandbox._native (backend "none" throughout)."""

import os
import subprocess
import sys
import textwrap
from typing import Any, Callable, List

import pytest

from ventra.sandbox import _native


@pytest.fixture
def native():
    return _native


@pytest.fixture
def sh() -> Callable[..., Any]:
    """Spawns a shell script under the passthrough backend; extra keys go into the spec."""

    def spawn(script: str, **keys: Any):
        spec = {"script_type": "shell", "input": script, "backend": "none"}
        spec.update(keys)
        return _native.spawn(spec)

    return spawn


class RecordingKey:
    """A dict key equal to the str `name` that logs every lookup comparing against it."""

    def __init__(self, name: str, log: List[str]):
        self.name = name
        self.log = log

    def __hash__(self) -> int:
        return hash(self.name)

    def __eq__(self, other: object) -> bool:
        self.log.append(self.name)
        return other == self.name


@pytest.fixture
def recording_spec():
    """Builds a spec dict whose keys record, in order, which of them spawn looked up."""

    def build(spec: dict):
        log: List[str] = []
        return {RecordingKey(k, log): v for k, v in spec.items()}, log

    return build


@pytest.fixture
def fresh_python():
    """Runs code in a fresh interpreter that sees the same ventra package."""
    package_root = os.path.dirname(os.path.dirname(os.path.dirname(_native.__file__)))

    def run(code: str, timeout: float = 120) -> subprocess.CompletedProcess:
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            timeout=timeout,
            env=env,
        )

    return run
