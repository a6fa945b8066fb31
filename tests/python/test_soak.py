"""One small leak cycle per subsystem (spawns, proxied connections, persistent
sandboxes), run by scripts/soak.py in a fresh interpreter so that other tests do not
disturb its counts."""

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
    # The exit status says that every figure came back; here, that every phase ran and
    # left no child, zombie or marked sandboxed process at all.
    assert [(r["phase"], r["after"]["children"], r["after"]["zombies"], r["after"]["marked"])
            for r in reports] == [("spawn", 0, 0, 0), ("connections", 0, 0, 0),
                                  ("persistent", 0, 0, 0)]
