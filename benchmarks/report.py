"""Runs the per-draw benchmarks and prints them as a table.

    python benchmarks/report.py BUILD/benchmarks/vexol_benchmarks [--repetitions N] [--min-time S]
                                [--filter REGEX]

Every benchmark is repeated; the first table shows the median of the
repetitions of the CPU time per draw (CPU time of the benchmarking thread, so
that time lost to other processes on a shared machine does not count), its
ratio to the floor (the generator filling the same array with uniforms) and,
where there is one, the goal for that regime. The second table sets each
regime ("pg/...") against its libm floor ("libm floor/..."): the libm calls
its draws make, issued again independently, per draw-equivalent, measured in
the same run; with the calls per draw that make up that floor.
"""

import argparse
import json
import subprocess
import sys

# Goals in ns per draw on one core; the series200 rows carry the limit that
# the exact and saddle-point regimes are judged against (a tenth of it).
GOALS = {
    "pg/h=1,z~U[0,4]": 60.0,
    "chunk/h=1,z~U[0,4]": 60.0,
    "pg/h=1,z=0": 60.0,
    "pg/h=3,z=0.5 (sum)": 180.0,
    "pg/h=100,z=1 (normal)": 30.0,
    "pg/h=0.5,z=1 (gamma series)": 450.0,
}
# Regime -> benchmark whose tenth is its goal.
TENTH_OF = {
    "pg/h=2.5,z=1 (alternate)": "series200/h=2.5,z=1",
    "pg/h=20,z=1 (saddle point)": "series200/h=20,z=1",
}
FLOOR = "floor/uniform"
# Regime -> goal for its time over its libm floor.
LIBM_GOALS = {"h=1,z~U[0,4]": 1.6}
LIBM_FLOOR = "libm floor/"
LIBM_FUNCTIONS = (
    "exp",
    "log",
    "log1p",
    "pow",
    "tan",
    "tanh",
    "cos",
    "cosh",
    "sinh",
    "erfc",
    "lgamma",
)


def run(binary, repetitions, min_time, only=None):
    cmd = [
        binary,
        "--benchmark_format=json",
        f"--benchmark_repetitions={repetitions}",
        "--benchmark_report_aggregates_only=true",
        f"--benchmark_min_time={min_time}",
    ]
    if only:
        # The floor of the first table always runs.
        cmd.append(f"--benchmark_filter={FLOOR}|{only}")
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def medians(report):
    """name -> (cpu ns per draw, wall ns per draw), medians of the repetitions,
    and name -> {libm function: calls per draw} for the libm floor rows."""
    rows, calls = {}, {}
    for b in report["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        name = b["run_name"]
        if b.get("error_occurred"):
            raise SystemExit(f"{name}: {b.get('error_message')}")
        per_second = b["items_per_second"]
        # items_per_second is computed from CPU time; scale for wall time.
        cpu_ns = 1e9 / per_second
        wall_ns = cpu_ns * b["real_time"] / b["cpu_time"]
        rows[name] = (cpu_ns, wall_ns)
        mix = {f: b[f] for f in LIBM_FUNCTIONS if f in b}
        if mix:
            calls[name] = mix
    return rows, calls


def table(rows):
    floor = rows[FLOOR][0]
    lines = [
        f"{'benchmark':34s} {'ns/draw':>10s} {'wall ns':>9s} {'x floor':>8s} {'goal ns':>8s}  verdict",
        "-" * 86,
    ]
    for name, (cpu, wall) in rows.items():
        if name.startswith(LIBM_FLOOR):
            continue
        goal = GOALS.get(name)
        if name in TENTH_OF and TENTH_OF[name] in rows:
            goal = rows[TENTH_OF[name]][0] / 10.0
        verdict = ""
        if goal is not None:
            verdict = "met" if cpu <= goal else "MISSED"
        goal_text = f"{goal:8.1f}" if goal is not None else " " * 8
        lines.append(
            f"{name:34s} {cpu:10.1f} {wall:9.1f} {cpu / floor:8.1f} {goal_text}  {verdict}"
        )
    return "\n".join(lines)


def libm_table(rows, calls):
    """Each regime against its libm floor from the same run."""
    lines = [
        f"{'regime':28s} {'ns/draw':>8s} {'libm ns':>8s} {'x libm':>7s} {'goal':>5s}  "
        f"{'verdict':7s}  libm calls per draw",
        "-" * 100,
    ]
    for name, (cpu, _) in rows.items():
        if not name.startswith("pg/"):
            continue
        regime = name[len("pg/") :]
        floor_name = LIBM_FLOOR + regime
        if floor_name not in rows:
            continue
        libm = rows[floor_name][0]
        ratio = cpu / libm
        goal = LIBM_GOALS.get(regime)
        verdict = "" if goal is None else ("met" if ratio <= goal else "MISSED")
        goal_text = f"{goal:5.2f}" if goal is not None else " " * 5
        mix = " ".join(f"{f} {n:.2f}" for f, n in calls.get(floor_name, {}).items())
        lines.append(
            f"{regime:28s} {cpu:8.1f} {libm:8.1f} {ratio:7.2f} {goal_text}  {verdict:7s}  {mix}"
        )
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("binary")
    parser.add_argument("--repetitions", type=int, default=5)
    parser.add_argument("--min-time", default="0.1")
    parser.add_argument(
        "--filter", help="regular expression of the benchmarks to run (Google Benchmark's)"
    )
    args = parser.parse_args()
    report = run(args.binary, args.repetitions, args.min_time, args.filter)
    ctx = report["context"]
    print(
        f"{ctx.get('num_cpus')} x {ctx.get('mhz_per_cpu')} MHz, "
        f"load average {ctx.get('load_avg')}; medians of {args.repetitions} "
        f"repetitions, floor = {FLOOR}"
    )
    rows, calls = medians(report)
    print(table(rows))
    print()
    print(libm_table(rows, calls))
    return 0


if __name__ == "__main__":
    sys.exit(main())
