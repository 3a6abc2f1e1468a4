"""The timing table of one pytest pass (scripts/test.sh prints it at the end
of each pass): wall and summed test time, time per xdist worker, XLA compile
time (JAX's monitoring events, in the pytest processes and in the processes
the tests start) and the persistent cache's hits, and the slowest tests
with their share of compiling.

    python scripts/timing/report.py DIR LABEL [--top N]
"""

import argparse
import glob
import json
import os
from collections import defaultdict


def load(directory):
    tests, wall = {}, 0.0
    for path in glob.glob(os.path.join(directory, "tests-*.json")):
        with open(path) as f:
            record = json.load(f)
        tests.update(record["tests"])
        wall = max(wall, record["wall"])
    compiles = defaultdict(lambda: defaultdict(float))
    cpu = 0.0
    for path in glob.glob(os.path.join(directory, "compile-*.json")):
        with open(path) as f:
            record = json.load(f)
        cpu += record.get("cpu", 0.0)
        for test, kinds in record["tests"].items():
            for kind, value in kinds.items():
                compiles[test][kind] += value
    return tests, wall, compiles, cpu


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("directory")
    parser.add_argument("label")
    parser.add_argument("--top", type=int, default=15)
    args = parser.parse_args()
    tests, wall, compiles, cpu = load(args.directory)
    if not tests:
        print(f"timing: {args.label}: no test timings in {args.directory}")
        return
    outcomes = defaultdict(int)
    per_worker = defaultdict(float)
    for entry in tests.values():
        outcomes[entry["outcome"]] += 1
        per_worker[entry.get("worker", "main")] += entry["seconds"]
    total = sum(e["seconds"] for e in tests.values())
    kinds = defaultdict(float)
    for by_kind in compiles.values():
        for kind, value in by_kind.items():
            kinds[kind] += value
    outside = sum(v.get("backend", 0.0) for t, v in compiles.items() if t not in tests)

    print(f"\n== timing: {args.label} ==")
    counted = ", ".join(f"{n} {o}" for o, n in sorted(outcomes.items()))
    print(f"{len(tests)} tests ({counted}) in {wall:.0f} s wall; test time summed {total:.0f} s")
    print("per worker: " + ", ".join(f"{w} {s:.0f} s" for w, s in sorted(per_worker.items())))
    if cpu:
        print(
            f"CPU time of the processes that imported JAX: {cpu:.0f} s"
            f" (on two idle cores, at least {cpu / 2:.0f} s of wall time)"
        )
    print(
        f"XLA backend compile {kinds['backend']:.0f} s ({100 * kinds['backend'] / total:.0f}% of"
        f" test time; persistent-cache reads included), tracing {kinds['trace']:.0f} s,"
        f" lowering {kinds['lower']:.0f} s; {outside:.0f} s of compiling outside tests"
    )
    print(
        f"persistent compilation cache: {int(kinds['hits'])} hits,"
        f" {int(kinds['misses'])} misses"
        + ("" if kinds["hits"] + kinds["misses"] else " (not enabled)")
    )
    print(f"slowest {args.top}: seconds, XLA compile (backend + trace + lower) and its share")
    slow = sorted(tests.items(), key=lambda kv: -kv[1]["seconds"])[: args.top]
    for test, entry in slow:
        c = compiles.get(test, {})
        comp = c.get("backend", 0.0) + c.get("trace", 0.0) + c.get("lower", 0.0)
        share = 100 * comp / entry["seconds"] if entry["seconds"] else 0.0
        print(f"  {entry['seconds']:7.1f}  {comp:7.1f}  {share:4.0f}%  {test}")
    by_file = defaultdict(float)
    for test, entry in tests.items():
        by_file[test.split("::")[0]] += entry["seconds"]
    print(
        "slowest files: "
        + ", ".join(
            f"{os.path.basename(f)} {s:.0f} s"
            for f, s in sorted(by_file.items(), key=lambda kv: -kv[1])[:6]
        )
    )


if __name__ == "__main__":
    main()
