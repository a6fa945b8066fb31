"""The typing stub: stubtest checks every name, signature and `__all__`; `mypy --strict` on
the package and on an example that uses it checks the return types, which stubtest cannot
see, and the package's own annotations."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from ventra.sandbox import _native

PACKAGE = Path(_native.__file__).parent
EXAMPLE = Path(__file__).parent / "typing_example.py"


@pytest.mark.parametrize("check", [
    ["mypy.stubtest", "--mypy-config-file", os.devnull, "ventra.sandbox._native"],
    ["mypy", "--strict", "--explicit-package-bases", "--follow-imports=silent", "--no-incremental", "--cache-dir", os.devnull,
     "ventra/sandbox", str(EXAMPLE)],
], ids=["stubtest", "strict"])
def test_mypy_accepts_the_stub(tmp_path, check):
    pytest.importorskip("mypy")
    # mypy reads a copy of the package's Python files and stub, wherever it is installed;
    # stubtest compares the installed module with its own stub, from an empty directory.
    if check[0] == "mypy":
        shutil.copytree(PACKAGE, tmp_path / "ventra" / "sandbox",
                        ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    result = subprocess.run([sys.executable, "-m", *check], capture_output=True, text=True,
                            env=dict(os.environ, MYPYPATH=str(tmp_path)), cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
