#!/usr/bin/env python3
"""Sandboxed runs per second through Ray against the same runs through our own API directly
on one node, and against plain Ray tasks that run the same command with no sandbox.

Every run is one short command (``sh -c 'echo $((6 * 7))'``) in a fresh sandbox, and every
path keeps the same number of runs in flight (``--callers``, 4 by default):

- direct: in this process, no Ray: `NodeSession.run` from that many threads (the pool's
  own per-run work), and the one-shot `Session.spawn` from that many threads (our API's
  cheapest fresh sandbox: no files in or out);
- through Ray, on a one-node cluster with that many CPUs: one task per run calling
  `NodePool.run`; tasks of ``--batch`` runs each calling `NodePool.run_many` (one after
  another within a task, as many tasks at once as CPUs); the driver calling `run_many` on
  the node's actor with that concurrency;
- plain Ray tasks running the command with ``subprocess``, one per task and ``--batch``
  per task.

The paths take turns within each round, so a change in the machine's load hits them all;
each figure is the best of ``--rounds``. The load average is printed before and after.

    unshare -n sh -c 'ip link set lo up; python bench/ray_bench.py [--backend B]'

Ray binds more than loopback unless it has nothing else, hence the namespace. Goal: through
Ray at least 0.8x the best direct rate.
"""

from __future__ import annotations

import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Callable, Dict, List

COMMAND = ["sh", "-c", "echo $((6 * 7))"]


def loadavg() -> str:
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=200, help="runs per path and round")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--callers", type=int, default=4, help="runs in flight on every path")
    ap.add_argument("--batch", type=int, default=20, help="runs per task of the batched paths")
    ap.add_argument("--backend", default="userns")
    args = ap.parse_args()
    if [n for _, n in socket.if_nameindex()] != ["lo"]:
        sys.exit("run me where loopback is the only interface: "
                 "unshare -n sh -c 'ip link set lo up; ...'")
    n, c, k = args.runs, args.callers, args.batch
    scratch = tempfile.mkdtemp(prefix="vrb", dir="/tmp")
    os.environ["RAY_TMPDIR"] = scratch
    os.environ["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)  # for the workers
    load_before = loadavg()
    import ray
    from ventra.sandbox import Session
    from ventra.sandbox.ray import NodePool, NodeSession

    try:
        ray.init(num_cpus=c, include_dashboard=False, _temp_dir=os.path.join(scratch, "ray"),
                 log_to_driver=False)
        node = NodeSession(backend=args.backend)
        session = Session(backend=args.backend)
        threads = ThreadPoolExecutor(c)
        pool = NodePool.start(backend=args.backend)

        @ray.remote(num_cpus=1)
        def one_run(pool):
            return pool.run(COMMAND).exit_code

        @ray.remote(num_cpus=1)
        def batch_run(pool, m):
            return [r.exit_code for r in pool.run_many([COMMAND] * m, concurrency=1)]

        @ray.remote(num_cpus=1)
        def plain(m):
            return [subprocess.run(COMMAND, capture_output=True).returncode for _ in range(m)]

        def oneshot() -> int:
            return session.spawn({"script_type": "argv", "argv": COMMAND}).wait_and_collect()[0]

        chunks = [k] * (n // k) + ([n % k] if n % k else [])
        paths: Dict[str, Callable[[], List[int]]] = {
            "direct: NodeSession.run, threads": lambda: list(
                threads.map(lambda _: node.run(COMMAND).exit_code, range(n))),
            "direct: one-shot Session.spawn, threads": lambda: list(
                threads.map(lambda _: oneshot(), range(n))),
            "Ray: one task per run (NodePool.run)": lambda: ray.get(
                [one_run.remote(pool) for _ in range(n)]),
            f"Ray: tasks of {k} runs (NodePool.run_many)": lambda: [
                e for es in ray.get([batch_run.remote(pool, m) for m in chunks]) for e in es],
            "Ray: driver -> actor, run_many": lambda: [
                r.exit_code for r in pool.run_many([COMMAND] * n, concurrency=c,
                                                   node_id=pool.nodes[0])],
            "plain Ray: one task per command": lambda: [
                e for es in ray.get([plain.remote(1) for _ in range(n)]) for e in es],
            f"plain Ray: tasks of {k} commands": lambda: [
                e for es in ray.get([plain.remote(m) for m in chunks]) for e in es],
        }
        for fn in (lambda: one_run.remote(pool), lambda: plain.remote(1)):  # warm workers
            ray.get([fn() for _ in range(2 * c)])
        best = dict.fromkeys(paths, 0.0)
        for _ in range(args.rounds):
            for name, fn in paths.items():
                t0 = time.perf_counter()
                codes = fn()
                elapsed = time.perf_counter() - t0
                assert codes == [0] * n, (name, sorted(set(codes)))
                best[name] = max(best[name], n / elapsed)
        pool.shutdown()
        node.shutdown()
        session.close()
        threads.shutdown()
    finally:
        ray.shutdown()
        shutil.rmtree(scratch, ignore_errors=True)
    direct = max(v for name, v in best.items() if name.startswith("direct"))
    print(f"backend {args.backend}, uid {os.getuid()}, {n} runs per path x {args.rounds} "
          f"rounds (best shown), {c} runs in flight on every path, {os.cpu_count()} cores, "
          f"load average {load_before} before, {loadavg()} after")
    print("| path | runs/s | vs best direct |\n|---|---:|---:|")
    for name, r in best.items():
        print(f"| {name} | {r:.0f} | {r / direct:.2f}x |")
    batched = best[f"Ray: tasks of {k} runs (NodePool.run_many)"]
    bare = best[f"plain Ray: tasks of {k} commands"]
    print(f"sandboxed through Ray, tasks of {k}: {batched / direct:.2f}x the best direct "
          f"(goal 0.8x: {'met' if batched >= 0.8 * direct else 'NOT met'}), "
          f"{batched / bare:.2f}x plain Ray tasks of {k} commands")


if __name__ == "__main__":
    main()
