"""The typing stub: `mypy --strict` accepts an example using the whole surface."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from ventra.sandbox import _native

HERE = Path(__file__).parent


def test_stub_covers_the_runtime_surface():
    stub = (Path(_native.__file__).parent / "_native.pyi").read_text()
    for name in _native.__all__ + ["InternalError"]:
        assert f" {name}" in stub
    for cls in ("LocalProcess", "BackendInfo", "AllowListProxy"):
        for member in vars(getattr(_native, cls)):
            if not member.startswith("__"):
                assert f"def {member}(" in stub, (cls, member)


def test_mypy_strict_accepts_the_example(tmp_path):
    pytest.importorskip("mypy")
    # Check against a copy of the package's Python files and stub, wherever it is installed.
    package = Path(_native.__file__).parent
    target = tmp_path / "ventra" / "sandbox"
    target.mkdir(parents=True)
    for path in package.iterdir():
        if path.suffix in (".py", ".pyi") or path.name == "py.typed":
            shutil.copy(path, target / path.name)
    env = dict(os.environ, MYPYPATH=str(tmp_path))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--follow-imports=silent",
         "--no-incremental", "--cache-dir", os.devnull, str(HERE / "typing_example.py")],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
