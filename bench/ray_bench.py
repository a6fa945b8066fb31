#!/usr/bin/env python3
"""Sandboxed runs per second through Ray (`NodePool.run` from Ray tasks) against the same
runs through our own API in one process (`NodeSession.run` from threads), and against plain
Ray tasks that run the same command with no sandbox. One Ray node, so all three use the
same cores; each figure is the best of a few rounds.

    unshare -n sh -c 'ip link set lo up; python bench/ray_bench.py [--runs N] [--backend B]'

Ray binds more than loopback unless it has nothing else, hence the namespace. Goal: Ray
reaches at least 0.8x the direct rate.
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

COMMAND = ["sh", "-c", "echo $((6 * 7))"]


def rate(fn, runs: int, rounds: int) -> float:
    best = 0.0
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn(runs)
        best = max(best, runs / (time.perf_counter() - t0))
    return best


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=200)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--callers", type=int, default=4, help="concurrent tasks or threads")
    ap.add_argument("--backend", default="userns")
    args = ap.parse_args()
    if [n for _, n in socket.if_nameindex()] != ["lo"]:
        sys.exit("run me where loopback is the only interface: "
                 "unshare -n sh -c 'ip link set lo up; ...'")
    scratch = tempfile.mkdtemp(prefix="vrb", dir="/tmp")
    os.environ["RAY_TMPDIR"] = scratch
    os.environ["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)  # for the workers
    import ray
    from ventra.sandbox.ray import NodePool, NodeSession

    try:
        ray.init(num_cpus=args.callers, include_dashboard=False,
                 _temp_dir=os.path.join(scratch, "ray"), log_to_driver=False)
        node = NodeSession(backend=args.backend)
        with ThreadPoolExecutor(args.callers) as ex:
            direct = rate(lambda n: list(ex.map(lambda _: node.run(COMMAND), range(n))),
                          args.runs, args.rounds)
        node.shutdown()

        pool = NodePool.start(backend=args.backend)

        @ray.remote(num_cpus=1)
        def sandboxed(pool):
            return pool.run(COMMAND).exit_code

        @ray.remote(num_cpus=1)
        def sandboxed_chunk(pool, k):
            return [pool.run(COMMAND).exit_code for _ in range(k)]

        @ray.remote(num_cpus=1)
        def plain():
            return subprocess.run(COMMAND, capture_output=True).returncode

        ray.get([sandboxed.remote(pool) for _ in range(args.callers * 2)])  # warm workers
        via_ray = rate(lambda n: ray.get([sandboxed.remote(pool) for _ in range(n)]),
                       args.runs, args.rounds)
        chunk = 10
        via_chunks = rate(lambda n: ray.get([sandboxed_chunk.remote(pool, chunk)
                                             for _ in range(n // chunk)]), args.runs, args.rounds)
        actor = pool.actor()  # the calls a task makes, without the task around them
        via_actor = rate(lambda n: ray.get([actor.call.remote("run", COMMAND) for _ in range(n)]),
                         args.runs, args.rounds)
        bare = rate(lambda n: ray.get([plain.remote() for _ in range(n)]), args.runs, args.rounds)
        pool.shutdown()
    finally:
        ray.shutdown()
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"backend {args.backend}, {args.runs} runs x {args.rounds} rounds, "
          f"{args.callers} concurrent callers, {os.cpu_count()} cores")
    print(f"| path | runs/s | vs direct |\n|---|---:|---:|")
    for name, r in (("our API, one process (threads)", direct),
                    ("through Ray (NodePool.run in tasks)", via_ray),
                    ("through Ray, 10 runs per task", via_chunks),
                    ("the pool actor called from the driver", via_actor),
                    ("plain Ray tasks, no sandbox", bare)):
        print(f"| {name} | {r:.0f} | {r / direct:.2f}x |")
    for name, r in (("one run per task", via_ray), ("10 runs per task", via_chunks)):
        print(f"goal, Ray >= 0.8x direct, {name}: {'met' if r >= 0.8 * direct else 'NOT met'}")


if __name__ == "__main__":
    main()
