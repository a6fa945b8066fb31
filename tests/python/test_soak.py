"""Soak: repeated spawn/collect cycles and proxied connections leave no descriptor,
thread, zombie child or temporary file behind, and resident memory stays flat.

The work runs in a fresh interpreter (scripts/soak.py), so that its private TMPDIR and a
fake sandbox-exec on PATH are in place before the module is first used, and so that the
counts are not disturbed by other tests. Short by default; SANDBOX_SOAK=long runs 10,000
spawns and 10,000 connections and prints the before/after figures."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.soak

SOAK_SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "soak.py"
LONG = os.environ.get("SANDBOX_SOAK") == "long"


def test_spawns_and_proxied_connections_leave_no_resources_behind(package_env):
    proc = subprocess.run(
        [sys.executable, str(SOAK_SCRIPT), *(["--long"] if LONG else [])],
        capture_output=True, text=True, timeout=3 * 3600 if LONG else 600, env=package_env,
    )
    print(proc.stdout)  # visible with -s, and in the failure report otherwise
    assert proc.returncode == 0, proc.stdout + proc.stderr
    reports = [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("{")]
    assert [r["phase"] for r in reports] == ["spawn", "connections"]
    for r in reports:
        before, after = r["before"], r["after"]
        for key in ("fds", "threads", "children", "zombies", "tmp_files"):
            assert after[key] <= before[key], (r["phase"], key, before, after)
        assert after["zombies"] == 0 and after["children"] == 0 and after["tmp_files"] == 0, r
        assert r["flat"], r
