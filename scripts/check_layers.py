#!/usr/bin/env python3
"""Fails when an include runs from a lower folder of the core to a higher one.

The order, lowest first, is written down here once. The binding (src/sandbox_py) sits
above all of the core; the freestanding init (src/sandbox_init) sits just above
isolation/, whose constants it may share. Prints the folder graph with --graph.
"""

import pathlib
import re
import sys

ORDER = ["base", "events", "netfilter", "spec", "launch", "isolation", "proxy",
         ("http", "socks"), "backend"]

RANK = {}
for rank, entry in enumerate(ORDER):
    for name in (entry if isinstance(entry, tuple) else (entry,)):
        RANK[name] = rank
RANK["sandbox_py"] = len(ORDER)
RANK["sandbox_init"] = RANK["isolation"] + 0.5

INCLUDE = re.compile(r'^\s*#\s*include\s+"sandbox_core/([a-z_0-9]+)/', re.M)


def main() -> int:
    src = pathlib.Path(__file__).resolve().parent.parent / "src"
    edges: dict[tuple[str, str], int] = {}
    bad = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cc"):
            continue
        parts = path.relative_to(src).parts
        folder = parts[1] if parts[0] == "sandbox_core" else parts[0]
        if folder not in RANK:
            bad.append(f"{path.relative_to(src)}: folder {folder!r} has no place in the order")
            continue
        for target in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if target == folder:
                continue
            if target not in RANK:
                bad.append(f"{path.relative_to(src)}: includes unknown folder {target!r}")
                continue
            edges[(folder, target)] = edges.get((folder, target), 0) + 1
            if RANK[target] >= RANK[folder]:
                bad.append(f"{path.relative_to(src)}: {folder} includes {target}, which is not below it")
    if "--graph" in sys.argv:
        for (a, b), n in sorted(edges.items(), key=lambda e: (RANK[e[0][0]], RANK[e[0][1]])):
            print(f"{a} -> {b} ({n})")
    for line in bad:
        print(line, file=sys.stderr)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
