"""The typing stub: `mypy.stubtest` finds it consistent with the module (every name,
member and signature, and `__all__`), and `mypy --strict` accepts an example that uses it."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from ventra.sandbox import _native

PACKAGE = Path(_native.__file__).parent


def test_mypy_strict_accepts_the_example(tmp_path):
    pytest.importorskip("mypy")
    # Check against a copy of the package's Python files and stub, wherever it is installed.
    shutil.copytree(PACKAGE, tmp_path / "ventra" / "sandbox",
                    ignore=lambda _, names: [n for n in names if n.endswith((".so", "__pycache__"))])
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--follow-imports=silent", "--no-incremental",
         "--cache-dir", os.devnull, str(Path(__file__).parent / "typing_example.py")],
        capture_output=True, text=True, env=dict(os.environ, MYPYPATH=str(tmp_path)),
        cwd=tmp_path, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubtest_finds_the_stub_consistent_with_the_module(tmp_path):
    pytest.importorskip("mypy")
    # Run from an empty directory: the installed module and its stub are what is compared.
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", os.devnull,
         "ventra.sandbox._native"],
        capture_output=True, text=True, cwd=tmp_path, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
