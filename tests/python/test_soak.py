"""One small leak cycle per subsystem (spawns, proxied connections), run by
scripts/soak.py in a fresh interpreter so that other tests do not disturb its counts."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.soak

SOAK_SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "soak.py"


def test_spawns_and_proxied_connections_leave_no_resources_behind(package_env):
    proc = subprocess.run([sys.executable, str(SOAK_SCRIPT)], capture_output=True, text=True,
                          timeout=600, env=package_env)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    reports = [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("{")]
    assert [r["phase"] for r in reports] == ["spawn", "connections"]
    for r in reports:
        before, after = r["before"], r["after"]
        assert all(after[k] <= before[k] for k in ("fds", "threads", "tmp_files")), r
        assert after["zombies"] == 0 and after["children"] == 0 and r["flat"], r
