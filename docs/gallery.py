"""Runs the examples for the documentation's gallery, at a reduced size.

Each example in RUNS is run as a user would run it (its own script, from
the repository root, with .venv's Python and the installed vexol), and its
printed output, its command and its figure are written to OUT/<name>.txt,
OUT/<name>.cmd and OUT/<name>.png, which the gallery pages include. A run
that fails stops the build: the gallery shows only output the build made.

    python docs/gallery.py --out build/docs/gallery [--only NAME ...]
"""

from __future__ import annotations

import argparse
import concurrent.futures
import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]

# name: (script, reduced-size arguments, the figures it writes: NAME.png
# at --output and NAME<suffix>.png beside it for each further suffix; the
# main job adds its forest plot of Gibbs beside NUTS). The sizes keep
# the whole gallery within about two minutes on two cores (the
# negative-binomial and digits examples take longer even when reduced: their
# pages show the commands); the examples'
# defaults, and what they cost, are on the gallery's index page.
RUNS = {
    "gibbs_logistic": (
        "examples/gibbs_logistic.py",
        ["--sweeps", "500", "--warmup", "100", "--nuts-warmup", "100", "--nuts-samples", "100"],
        ("", "_vs_nuts"),
    ),
    "hierarchical_logistic": (
        "examples/hierarchical_logistic.py",
        ["--sweeps", "300", "--warmup", "100", "--nuts-warmup", "100", "--nuts-samples", "100"],
        (),
    ),
    "horseshoe_logistic": (
        "examples/horseshoe_logistic.py",
        ["--columns", "100", "--sweeps", "200", "--warmup", "100", "--nuts-samples", "0"],
        (),
    ),
    "mixed_logistic": (
        "examples/mixed_logistic.py",
        ["--sweeps", "300", "--warmup", "100", "--nuts-warmup", "100", "--nuts-samples", "100"],
        ("",),
    ),
    "distributed_gibbs": (
        "examples/distributed_gibbs.py",
        ["--rows", "20000", "--sweeps", "200"],
        (),
    ),
}

WORKERS = 2

# Progress lines (tqdm's bars and the runner's throttled lines) say nothing
# a reader of the page needs.
PROGRESS = re.compile(r"(\d+%\|)|(^vexol\.gibbs: \d+/\d+ sweeps)|(\r)")


def arguments_for(script: str, arguments: list[str]) -> list[str]:
    """The main job counted its sweeps with warm-up as --iterations before
    it took --sweeps (warm-up apart) as the other examples do: the same run
    either way. Only a script that names --iterations and not --sweeps is
    the old one (the examples that take their command line from
    mcmc_compare name neither)."""
    text = (ROOT / script).read_text()
    if "--sweeps" not in arguments or '"--iterations"' not in text or '"--sweeps"' in text:
        return arguments
    arguments = list(arguments)
    i = arguments.index("--sweeps")
    warmup = int(arguments[arguments.index("--warmup") + 1])
    arguments[i : i + 2] = ["--iterations", str(int(arguments[i + 1]) + warmup)]
    return arguments


def run(name: str, out: pathlib.Path) -> float:
    script, arguments, figures = RUNS[name]
    arguments = arguments_for(script, arguments)
    command = [sys.executable, script, *arguments]
    if figures:
        command += ["--output", str(out / f"{name}.png")]
    env = dict(os.environ, PYTHONUNBUFFERED="1", MPLBACKEND="Agg")
    start = time.perf_counter()
    done = subprocess.run(
        command, cwd=ROOT, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True
    )
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        sys.stderr.write(done.stdout)
        raise SystemExit(f"gallery: {name} failed (exit status {done.returncode})")
    lines = [line for line in done.stdout.splitlines() if not PROGRESS.search(line)]
    (out / f"{name}.txt").write_text("\n".join(lines).rstrip() + "\n")
    shown = ["python", script, *arguments]
    if figures:
        shown += ["--output", f"{name}.png"]
    (out / f"{name}.cmd").write_text(shlex.join(shown) + "\n")
    missing = [f"{name}{suffix}.png" for suffix in figures]
    missing = [figure for figure in missing if not (out / figure).is_file()]
    if missing:
        raise SystemExit(f"gallery: {name} did not write {', '.join(missing)}")
    print(f"gallery: {name} in {seconds:.0f} s", flush=True)
    return seconds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=pathlib.Path, default=ROOT / "build/docs/gallery")
    parser.add_argument("--only", nargs="*", choices=sorted(RUNS), help="run these only")
    args = parser.parse_args()
    args.out = args.out.resolve()
    if not args.only and args.out.is_dir():
        shutil.rmtree(args.out)  # no page shows output of an earlier build
    args.out.mkdir(parents=True, exist_ok=True)
    # Two at a time: each run spends most of its time in XLA compiling on one
    # thread, so two share the machine's two cores without slowing each
    # other much, and the docs stage of CI takes about half as long.
    start = time.perf_counter()
    with concurrent.futures.ThreadPoolExecutor(max_workers=WORKERS) as pool:
        futures = [pool.submit(run, name, args.out) for name in (args.only or RUNS)]
        total = sum(future.result() for future in futures)
    print(f"gallery: {total:.0f} s of runs in {time.perf_counter() - start:.0f} s", flush=True)


if __name__ == "__main__":
    main()
