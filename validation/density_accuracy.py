"""Accuracy of vexol.logpdf / logcdf / logsf against the arbitrary-precision
reference of validation/pg_exact.py, and the normalisation of vexol.pdf.

    python validation/density_accuracy.py [--md docs/density_validation.md] [--h 1,2.5]
        [--z 0,3] [--no-normalisation]

Grid: h in H_GRID (both sides of every h at which the representations
switch: 1, where the first-singularity expansion's sum becomes finite; 12
and 24, where the contour takes the bulk in float32 and float64; 35, where
the small-x series' switch starts to follow its convergence; and up to
2000), z in {0, 0.5, 3, 20, 100, 1e5}; x at the 1e-9, 1e-6, 1e-3, 0.5,
1 - 1e-3, 1 - 1e-6 and 1 - 1e-9 quantiles (located with vexol's own CDF, by
bisection in log x), three far-tail points: x = 1e-300, half the 1e-9
quantile, and the 1 - 1e-9 quantile plus half its distance from the median,
and both sides (a relative 1e-9 apart) of the x at which the small-x series
hands over, and of the contour's upper end for h >= 24.

Reverse-mode gradients: jax.grad of logcdf and logsf in h and z at the
points of the four tail bands, against central finite differences of the
functions themselves (NaN counted as a failure).

Errors (float64 and float32 inputs):
  logpdf: |error| / max(1, |logpdf|) (absolute below 1, relative above);
  cdf: the larger of |cdf - ref| and |sf - ref| (absolute), and the relative
       error of whichever of cdf and sf is the smaller (the tail it resolves).
Normalisation: for every h (z = 0 and z = 3), the integral of vexol.pdf and
its first two moments by Simpson's rule in log x, against 1 and against
vexol.mean / vexol.variance, which are checked against the closed forms of
pg_exact.exact_moments.
"""

import argparse
import json
import math
import multiprocessing
import os
import pathlib
import sys
import time

import jax
import numpy as np

jax.config.update("jax_enable_x64", True)
# Compiled programs kept between runs and shared by the workers (the
# reverse-mode one takes minutes to compile on a loaded machine).
_ROOT = pathlib.Path(__file__).resolve().parents[1]
jax.config.update("jax_compilation_cache_dir", str(_ROOT / "build" / "jax_cache"))
jax.config.update("jax_persistent_cache_min_compile_time_secs", 0.0)
import jax.numpy as jnp  # noqa: E402
import mpmath  # noqa: E402
from scipy.integrate import simpson  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
from pg_exact import (  # noqa: E402
    _bromwich,
    exact_moments,
    log_cdf_sf_mp,
    log_density_mp,
    log_sf_complement_mp,
    log_sf_series_mp,
    reference,
)

import vexol  # noqa: E402

H_GRID = [
    0.05, 0.3, 0.999, 1.001, 2.5, 7.0, 11.9, 12.1, 20.0, 23.9, 24.1, 34.0, 36.0,
    75.0, 300.0, 1000.0, 2000.0,
]  # fmt: skip
Z_GRID = [0.0, 0.5, 3.0, 20.0, 100.0, 1e5]
PROBS = [1e-9, 1e-6, 1e-3, 0.5, 1 - 1e-3, 1 - 1e-6, 1 - 1e-9]
BANDS = ["far left", "left tail", "bulk", "right tail", "far right", "switch"]
GRAD_BANDS = ("far left", "left tail", "right tail", "far right")


# One program per dtype for the values (the bisection, the errors and the
# finite differences all call it, always on 0-d arrays of that dtype, so
# that nothing is compiled twice for a weak-typed Python float), and one for
# the reverse-mode gradients: compiling is most of a worker's cost on a
# loaded machine.
@jax.jit
def _all3(x, h, z):
    return vexol.logpdf(x, h, z), vexol.logcdf(x, h, z), vexol.logsf(x, h, z)


def _values(x, h, z, dtype=np.float64):
    out = _all3(*(jnp.asarray(v, dtype) for v in (x, h, z)))
    return tuple(float(v) for v in out)


def _logcdf(x, h, z):
    return _values(x, h, z)[1]


def _logsf(x, h, z):
    return _values(x, h, z)[2]


def _both(h, z, x):
    return vexol.logcdf(x, h, z), vexol.logsf(x, h, z)


def _both_jit(h, z, x):
    return _values(x, h, z)[1:]


_grads_jit = jax.jit(jax.jacrev(_both, argnums=(0, 1)))


def _grads(h, z, x):
    return _grads_jit(*(jnp.asarray(v, np.float64) for v in (h, z, x)))


_logpdf_jit = jax.jit(vexol.logpdf)
NORM_POINTS = 20001


def _logpdf_grid(x, h, z):
    return _logpdf_jit(*(jnp.asarray(v, np.float64) for v in (x, h, z)))


def warm_up(part=None):
    """Compile the programs into the persistent cache: half 0 the float64
    values and the gradients (the dearest), half 1 the rest, so that two
    workers compile half each and then load the other half."""
    if part in (None, 0):
        _values(1.0, 1.0, 0.5)
        _grads(1.0, 0.5, 1.0)
    if part in (None, 1):
        _values(1.0, 1.0, 0.5, np.float32)
        _logpdf_grid(np.ones(NORM_POINTS), 1.0, 0.5)


def switch_points(h):
    """Both sides of the small-x series' upper end and, for h >= 24, of the
    contour's upper end (float64 routing)."""
    from vexol import _density as d

    hh = jnp.float64(h)
    xs = [float(d._small_x_limit(hh))]
    if h >= d.CONTOUR_MIN_H:
        xs.append(float(d._large_x_limit(hh)))
    return [(x * f, "switch") for x in xs for f in (1 - 1e-9, 1 + 1e-9)]


def grad_error(x, h, z):
    """Largest relative difference between jax.grad of (logcdf, logsf) in
    (h, z) and central differences, less the differences' own rounding
    error (eps |f| / step: at x = 1e-300 log cdf is -1e299 and a step in z
    changes it by less than its last bit); inf if a gradient is not finite."""
    (ch, cz), (sh, sz) = (tuple(map(float, g)) for g in _grads(h, z, x))
    worst = 0.0
    eps = float(np.finfo(np.float64).eps)
    for k, (gh, gz) in enumerate(((ch, cz), (sh, sz))):
        if not (math.isfinite(gh) and math.isfinite(gz)):
            return math.inf
        f0 = abs(float(_both_jit(h, z, x)[k]))
        eh, ez = 1e-6 * h, 1e-6 * max(abs(z), 1.0)
        fh = (float(_both_jit(h + eh, z, x)[k]) - float(_both_jit(h - eh, z, x)[k])) / (2 * eh)
        fz = (float(_both_jit(h, z + ez, x)[k]) - float(_both_jit(h, z - ez, x)[k])) / (2 * ez)
        dh = max(0.0, abs(gh - fh) - 4 * eps * f0 / eh) / max(1, abs(fh))
        dz = max(0.0, abs(gz - fz) - 4 * eps * f0 / ez) / max(1, abs(fz))
        worst = max(worst, dh, dz)
    return worst


def quantile(p, h, z):
    """x with cdf = p (p <= 1/2) or sf = 1 - p, by bisection in log x."""
    lo, hi = np.log(1e-8 * max(h, 0.01) / (1 + z * z)), np.log(10 * h + 60.0)
    for _ in range(80):
        mid = 0.5 * (lo + hi)
        x = math.exp(mid)
        if p <= 0.5:
            below = float(_logcdf(x, h, z)) < math.log(p)
        else:
            below = float(_logsf(x, h, z)) > math.log1p(-p)
        lo, hi = (mid, hi) if below else (lo, mid)
    # Ten digits: the point need not be the quantile to the last bit, and a
    # change of vexol's CDF in its last digits should not move the point off
    # its cached reference. Such a change moves the bisection's x by about
    # as much, relative (1e-16 to 1e-13 where the tails are 1e-13 off); a
    # point then crosses a rounding boundary of ten digits with a chance of
    # that over 1e-10, of twelve digits with a hundred times more.
    return float(f"{math.exp(0.5 * (lo + hi)):.10g}")


def points(h, z):
    """The cell's points. Each quantile is moved to a point of the reference
    cache within 1e-9 of it (relative) if there is one, and each switch
    point to one within 1e-11 (the two sides are 2e-9 apart): the grid
    then keeps its points, and their cached references, through changes of
    vexol's CDF or of the switches in the last digits, which the rounding
    alone survives only mostly."""
    q = [_CACHE.nearest(quantile(p, h, z), h, z, 1e-9) for p in PROBS]
    xs = [(1e-300, "far left"), (0.5 * q[0], "far left")]
    xs += [(x, "left tail") for x in q[:3]]
    xs += [(q[3], "bulk")]
    xs += [(x, "right tail") for x in q[4:]]
    xs += [(q[-1] + 0.5 * (q[-1] - q[3]), "far right")]
    return xs + [(_CACHE.nearest(x, h, z, 1e-11), band) for x, band in switch_points(h)]


def errors(x, h, z, dtype):
    lp, lc, ls = _values(x, h, z, dtype)
    # The reference at the arguments vexol was given: in float32 h and z
    # are rounded too (0.3, 11.9 and 24.1 are not float32 numbers), and at
    # z = 1e5 the law is narrow enough that h's rounding alone moves logpdf
    # by 3e-5 in the tails.
    xr, hr, zr = (float(np.asarray(v, dtype)) for v in (x, h, z))
    ref_lp, ref_lc, ref_ls = cached_reference(xr, hr, zr)
    with mpmath.workdps(40):
        e_lp = float(abs(lp - ref_lp) / max(1, abs(ref_lp)))
        cdf_abs = max(
            float(abs(mpmath.exp(lc) - mpmath.exp(ref_lc))),
            float(abs(mpmath.exp(ls) - mpmath.exp(ref_ls))),
        )
        small, ref_small = (lc, ref_lc) if ref_lc < ref_ls else (ls, ref_ls)
        # Through the log, so that tails below the float range still count:
        # for |log| < 1 this is the relative error of the tail itself.
        tail_rel = float(abs(small - ref_small) / max(1, abs(ref_small)))
    return e_lp, cdf_abs, tail_rel


class ReferenceTimeout(RuntimeError):
    pass


def _timed(seconds, fn, *args):
    """fn(*args), or ReferenceTimeout after `seconds` of wall time (SIGALRM:
    the reference is pure Python, so the signal lands between two mpmath
    operations; main thread only, which a pool worker's task is)."""
    import signal

    if not seconds or not hasattr(signal, "setitimer"):
        return fn(*args)

    def expire(signum, frame):
        raise ReferenceTimeout(f"reference not done after {seconds:g} s")

    previous = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        return fn(*args)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


class ReferenceCache:
    """Reference values on disk, one JSON line per point (x, h, z as exact
    float reprs, the three logs as 30-digit strings), so that a rerun (or a
    run after a change to vexol) only computes the points it has not seen.
    A point whose reference failed (did not settle, or ran out of its time
    budget) is kept with the reason, so that a rerun reports it at once
    instead of spending the budget again (retry_failed computes it anew).
    Appended line by line: two worker processes may share the file."""

    def __init__(self, path, timeout=0.0, retry_failed=False):
        self.path = pathlib.Path(path) if path else None
        self.timeout = timeout
        self.retry_failed = retry_failed
        self.values = {}
        self.failed = {}
        self.computed = 0  # reference values computed (not found) in this process
        self.by_cell = {}  # (h, z) -> the x of its cached points
        if self.path and self.path.exists():
            for line in self.path.read_text().splitlines():
                try:
                    row = json.loads(line)
                except json.JSONDecodeError:  # a line cut short by a killed run
                    continue
                key = tuple(row["key"])
                self._index(key)
                if "logs" in row:
                    self.values[key] = row["logs"]
                    self.failed.pop(key, None)
                elif key not in self.values:
                    self.failed[key] = row["failed"]

    def _index(self, key):
        self.by_cell.setdefault(key[1:], set()).add(float(key[0]))

    def nearest(self, x, h, z, rel):
        """The cached point of (h, z) nearest x if within rel * x of it, else x."""
        xs = self.by_cell.get((repr(float(h)), repr(float(z))), ())
        best = min(xs, key=lambda v: abs(v - x), default=None)
        return best if best is not None and abs(best - x) <= rel * abs(x) else x

    def _append(self, row):
        if self.path:
            with open(self.path, "a") as f:
                f.write(json.dumps(row) + "\n")

    def get(self, x, h, z):
        key = (repr(float(x)), repr(float(h)), repr(float(z)))
        hit = self.values.get(key)
        if hit is None:
            if key in self.failed and not self.retry_failed:
                raise RuntimeError(f"(cached) {self.failed[key]}")
            self._index(key)
            try:
                hit = [mpmath.nstr(v, 30) for v in _timed(self.timeout, reference, x, h, z)]
            except (RuntimeError, ValueError, ZeroDivisionError) as err:
                msg = f"{type(err).__name__}: {err}"
                self.failed[key] = msg
                self._append({"key": key, "failed": msg})
                raise
            self.values[key] = hit
            self.computed += 1
            self.failed.pop(key, None)
            self._append({"key": key, "logs": hit})
        with mpmath.workdps(40):
            return tuple(mpmath.mpf(v) for v in hit)


_CACHE = ReferenceCache(None)


def cached_reference(x, h, z):
    return _CACHE.get(x, h, z)


def accuracy_at(h, z_grid, log):
    """The worst errors for one h over the z grid, and the points where the
    reference did not settle."""
    worst = {}
    failed = []
    for z in z_grid:
        t0 = time.time()
        computed = _CACHE.computed
        for x, band in points(h, z):
            if band in GRAD_BANDS:
                g = grad_error(x, h, z)
                key = (h, band, "grad")
                worst[key] = max(worst.get(key, (0.0, None)), (g, (x, z)), key=lambda t: t[0])
            for dtype, tag in ((np.float64, "f64"), (np.float32, "f32")):
                if dtype is np.float32 and not (np.float32(x) > 0):
                    continue  # 1e-300 is 0 in float32
                if dtype is np.float32 and not math.isfinite(np.float32(z)):
                    continue
                try:
                    e = errors(x, h, z, dtype)
                except (RuntimeError, ValueError, ZeroDivisionError) as err:
                    failed.append((x, h, z, tag, f"{type(err).__name__}: {err}"))
                    continue
                key = (h, band, tag)
                old = worst.get(key, ((0.0, None),) * 3)
                worst[key] = tuple(
                    max(o, (v, (x, z)), key=lambda t: t[0]) for o, v in zip(old, e, strict=True)
                )
        log(
            f"h={h} z={z}: {time.time() - t0:.1f}s, "
            f"{_CACHE.computed - computed} reference values computed"
        )
    return worst, failed


def _code_version(salt=""):
    """A hash of the density's sources: cells measured with other code are
    not reused. A salt (--salt or VEXOL_GRID_SALT) gives another hash for
    the same code, to measure the cells anew while keeping the reference
    cache (e.g. to time a rerun whose references are all cached)."""
    import hashlib

    src = _ROOT / "python" / "vexol"
    digest = hashlib.sha1()
    for path in sorted(src.glob("_density*.py")):
        digest.update(path.read_bytes())
    if salt:
        digest.update(salt.encode())
    return digest.hexdigest()[:10]


def _merge(worst, part):
    """Fold one cell's worst errors into the grid's (the larger wins)."""
    for key, value in part.items():
        if key not in worst:
            worst[key] = value
        elif key[2] == "grad":
            worst[key] = max(worst[key], value, key=lambda t: t[0])
        else:
            worst[key] = tuple(
                max(o, v, key=lambda t: t[0]) for o, v in zip(worst[key], value, strict=True)
            )


def _cell_key(cell):
    return json.dumps([cell[0], *map(repr, cell[1:])])


def _worker(task):
    """One cell in a worker process: ("acc", h, z) or ("norm", h). The
    result is appended to the results file as soon as it is known, so that
    a run stopped early keeps its cells and a rerun skips them."""
    cell, (cache_path, timeout, retry_failed), results_path = task
    global _CACHE
    if _CACHE.path != (pathlib.Path(cache_path) if cache_path else None):
        _CACHE = ReferenceCache(cache_path, timeout, retry_failed)
    t0 = time.time()
    if cell[0] == "norm":
        out = {"rows": normalisation([cell[1]])}
    else:
        h, z = cell[1], cell[2]
        worst, failed = accuracy_at(h, [z], lambda s: print(f"[{os.getpid()}] {s}", flush=True))
        out = {"worst": [[list(k), v] for k, v in worst.items()], "failed": failed}
    out["key"] = _cell_key(cell)
    out["seconds"] = time.time() - t0
    with open(results_path, "a") as f:
        f.write(json.dumps(out) + "\n")
    return out


def _tuples(v):
    return tuple(_tuples(u) for u in v) if isinstance(v, list) else v


def load_results(results_path):
    done = {}
    if results_path.exists():
        for line in results_path.read_text().splitlines():
            try:
                row = json.loads(line)
            except json.JSONDecodeError:
                continue
            done[row["key"]] = row
    return done


def run(h_grid, z_grid, cache, with_norm, jobs, results_path, deadline):
    """The grid cell by cell, in an order that covers every h early: z = 0,
    then the largest tilt, 3, 20, 100 and 0.5, largest h first within each
    z; the normalisation after the first z. Cells already in the results file (for
    this version of the code) are not recomputed; no cell is started after
    the deadline (seconds since the epoch). cache: (reference cache path or
    None, seconds allowed per reference point or 0, retry cached failures).
    Returns (worst, failed, rows, missing cells, seconds spent on the
    measured cells)."""
    order = [z for z in (0.0, 1e5, 3.0, 20.0, 100.0, 0.5) if z in z_grid]
    order += [z for z in z_grid if z not in order]
    cells = [("acc", h, order[0]) for h in sorted(h_grid, reverse=True)]
    if with_norm:
        cells += [("norm", h) for h in sorted(h_grid, reverse=True)]
    cells += [("acc", h, z) for z in order[1:] for h in sorted(h_grid, reverse=True)]
    done = load_results(results_path)
    todo = [c for c in cells if _cell_key(c) not in done]
    tasks = [(c, cache, str(results_path)) for c in todo]
    if jobs <= 1:
        for i, t in enumerate(tasks):
            if time.time() > deadline:
                break
            if i == 0:
                warm_up()
            _worker(t)
    elif tasks and time.time() <= deadline:
        # spawn: JAX's runtime does not survive a fork. One task at a time
        # per worker, each checking the deadline before it starts.
        ctx = multiprocessing.get_context("spawn")
        with ctx.Pool(jobs) as pool:
            # Each worker compiles half the programs (a barrier of sorts:
            # with two workers each takes one part, as neither returns
            # before its compile ends).
            pool.map(warm_up, range(2), chunksize=1)
            pending = []
            for t in tasks:
                pending.append(pool.apply_async(_worker_until, (t, deadline)))
            for p in pending:
                p.get()
    done = load_results(results_path)
    worst, failed, rows, missing, seconds = {}, [], [], [], 0.0
    for c in cells:
        row = done.get(_cell_key(c))
        if row is None:
            missing.append(c)
            continue
        seconds += row["seconds"]
        if c[0] == "norm":
            rows += [tuple(r) for r in row["rows"]]
        else:
            _merge(worst, {tuple(k): _tuples(v) for k, v in row["worst"]})
            failed += [tuple(f) for f in row["failed"]]
    rows.sort()
    return worst, failed, rows, missing, seconds


def _worker_until(task, deadline):
    if time.time() > deadline:
        return None
    return _worker(task)


def check_reference(samples):
    """The Bromwich reference against the series where both are computed,
    and against itself at 15 more digits: the largest relative differences
    of (log pdf, log cdf, log sf) over `samples` points (h >= 50, x from
    the left tail to the right)."""
    worst = [0.0, 0.0, 0.0]
    worst_prec = [0.0, 0.0]
    rng = np.random.default_rng(1)
    for _ in range(samples):
        h = float(rng.choice([50.0, 75.0, 300.0, 1000.0, 2000.0]))
        z = float(rng.choice([0.0, 0.5, 3.0, 20.0]))
        m, v = exact_moments(h, z)
        x = float(m) + float(rng.uniform(-6, 8)) * math.sqrt(float(v))
        b = reference(x, h, z)
        s = (log_density_mp(x, h, z), *log_cdf_sf_mp(x, h, z))
        with mpmath.workdps(40):
            for i in range(3):
                d = float(abs(b[i] - s[i]) / max(1, abs(s[i])))
                worst[i] = max(worst[i], d)
            lp45 = _bromwich(x, h, z, "pdf", 45)
            tail45, _ = _bromwich(x, h, z, "tail", 45)
            tail30 = min(b[1], b[2])
            worst_prec[0] = max(worst_prec[0], float(abs(lp45 - b[0]) / max(1, abs(lp45))))
            worst_prec[1] = max(worst_prec[1], float(abs(tail45 - tail30) / max(1, abs(tail45))))
        print(f"x={x:.6g} h={h:g} z={z:g}: against the series {worst}, at 45 digits {worst_prec}")
    return worst, worst_prec


def check_sf_series(samples):
    """The survival series (pg_exact.log_sf_series_mp, the reference's deep
    right tail for h < 20 and |z| >= 1) against 1 - CDF summed with as many
    digits as that needs (where sf > 1e-400) and, for h >= 7, against the
    Bromwich integral of the tail at 30 and 45 digits: the largest
    differences of log sf (the relative error of sf) over `samples` points
    in the right tail, sf from 1e-10 down; a value not computed within
    five minutes counts as an infinite difference."""
    worst = {"complement": 0.0, "bromwich 30": 0.0, "bromwich 45": 0.0}
    rng = np.random.default_rng(2)
    for _ in range(samples):
        h = float(rng.choice([0.05, 0.3, 1.001, 2.5, 7.0, 11.9, 12.1, 19.0]))
        z = float(rng.choice([1.0, 3.0, 20.0, 100.0, 1e5]))
        m, v = exact_moments(h, z)
        x = float(f"{float(m) + float(rng.uniform(6, 60)) * math.sqrt(float(v)):.6g}")
        t0 = time.time()
        try:
            s = _timed(300, log_sf_series_mp, x, h, z)
        except RuntimeError as err:
            worst = dict.fromkeys(worst, math.inf)
            print(f"x={x:.6g} h={h:g} z={z:g}: survival series failed: {err}", flush=True)
            continue
        seconds = {"series": time.time() - t0}
        with mpmath.workdps(40):
            if s > -400 * math.log(10):
                t0 = time.time()
                d = float(abs(log_sf_complement_mp(x, h, z) - s))
                seconds["complement"] = time.time() - t0
                worst["complement"] = max(worst["complement"], d)
            if h >= 7:
                for dps in (30, 45):
                    t0 = time.time()
                    tail, is_cdf = _bromwich(x, h, z, "tail", dps)
                    seconds[f"bromwich {dps}"] = time.time() - t0
                    d = math.inf if is_cdf else float(abs(tail - s))
                    worst[f"bromwich {dps}"] = max(worst[f"bromwich {dps}"], d)
        print(
            f"x={x:.6g} h={h:g} z={z:g} log sf={float(s):.6g}: "
            + ", ".join(f"{k} {t:.2f}s" for k, t in seconds.items())
            + f"; worst |d log sf| so far {worst}",
            flush=True,
        )
    return worst


def normalisation(h_grid):
    rows = []
    for h in h_grid:
        for z in (0.0, 3.0):
            m, v = float(vexol.mean(h, z)), float(vexol.variance(h, z))
            em, ev = exact_moments(h, z)
            lo = quantile(1e-12, h, z) / 4
            hi = quantile(1 - 1e-15, h, z) * 1.5 + 1
            u = np.linspace(np.log(lo), np.log(hi), NORM_POINTS)
            x = np.exp(u)
            p = np.exp(np.asarray(_logpdf_grid(x, h, z)))
            mass = simpson(p * x, x=u)
            m1 = simpson(p * x * x, x=u) / mass
            m2 = simpson(p * x**3, x=u) / mass
            rows.append(
                (
                    h,
                    z,
                    mass - 1,
                    m1 / m - 1,
                    (m2 - m1 * m1) / v - 1,
                    max(abs(m / float(em) - 1), abs(v / float(ev) - 1)),
                )
            )
    return rows


def markdown(worst, failed, rows, h_grid, z_grid, seconds, missing=()):
    out = [
        "# Density and distribution function: accuracy",
        "",
        "Generated by `validation/density_accuracy.py` "
        f"({seconds / 60:.0f} minutes of worker time). `vexol.logpdf`, `vexol.logcdf` and `vexol.logsf` "
        "(jitted) against an arbitrary-precision reference (`validation/pg_exact.py`, "
        "`reference`): the alternating series of the density and of the CDF summed in mpmath "
        "with the working precision raised until the cancellation is covered (deep in the "
        "right tail the survival function from its Bromwich integral for h >= 20, below that "
        "from its own series under a tilt |z| >= 1, whose terms are of the tail's size where "
        "1 - CDF would need as many digits as the tail has, 4e9 at |z| = 1e5); for "
        "h >= 50 and x >= h/40 the density, the CDF and the survival function from their "
        "Bromwich integrals on a vertical line through the saddle point, by mpmath's "
        "adaptive tanh-sinh quadrature at 30 digits, where the series need hundreds of "
        "digits and up to minutes per point. Neither shares code with vexol; the series "
        "reference was checked against mpmath's Talbot inversion of the Laplace transform, "
        "the Bromwich integrals against the series and against themselves at 45 digits "
        "(`--check-reference`), the survival series against 1 - CDF and the Bromwich "
        "integral (`--check-sf-series`).",
        "",
        f"Grid: h in {h_grid}, z in {z_grid}; x at the 1e-9, 1e-6, 1e-3 quantiles (left "
        "tail), the median (bulk), the 1 - 1e-3, 1 - 1e-6, 1 - 1e-9 quantiles (right tail), "
        "far tails: x = 1e-300 and half the 1e-9 quantile (far left), the 1 - 1e-9 quantile "
        "plus half its distance to the median (far right), and both sides of the x where the "
        "small-x series hands over and, for h >= 24, where the contour does (switch). The h "
        "values straddle the switches in h: 1 (the first-singularity expansion's sum), 12 and "
        "24 (the contour in float32 and float64), 35 (the series' switch follows its "
        "convergence above). Each cell is the worst over the z.",
        "",
        "logpdf error: absolute where |logpdf| < 1, relative above (goal 1e-10 in float64, "
        "1e-5 in float32). CDF: the larger absolute error of cdf and sf (goal 1e-12), and "
        "the error of the log of the smaller of the two, the tail that function resolves "
        "(relative error of the tail where that log is above -1; relative error of the log "
        "below, since such tails leave the float range, e.g. cdf(1e-300)). grad: reverse-mode "
        "d/dh and d/dz of logcdf and logsf (float64) against central finite differences "
        "(relative, absolute below 1; inf if not finite), in the four tail bands.",
        "",
        "| h | region | logpdf f64 | cdf/sf abs f64 | tail rel f64 | logpdf f32 | tail rel f32 "
        "| grad |",
        "| ---: | --- | ---: | ---: | ---: | ---: | ---: | ---: |",
    ]
    for h in h_grid:
        for band in BANDS:
            a = worst.get((h, band, "f64"))
            b = worst.get((h, band, "f32"))
            g = worst.get((h, band, "grad"))
            if a is None:
                continue
            f32 = (f"{b[0][0]:.1e}", f"{b[2][0]:.1e}") if b else ("—", "—")
            gt = f"{g[0]:.1e}" if g else "—"
            out.append(
                f"| {h:g} | {band} | {a[0][0]:.1e} | {a[1][0]:.1e} | {a[2][0]:.1e} "
                f"| {f32[0]} | {f32[1]} | {gt} |"
            )
    allw = [v for k, v in worst.items() if k[2] == "f64"]
    all32 = [v for k, v in worst.items() if k[2] == "f32"]
    allg = [v for k, v in worst.items() if k[2] == "grad"]
    out += [
        "",
        "Worst figures over the whole grid: float64 logpdf "
        f"{max(v[0][0] for v in allw):.1e}, cdf/sf absolute {max(v[1][0] for v in allw):.1e}, "
        f"tail relative {max(v[2][0] for v in allw):.1e}; float32 logpdf "
        f"{max(v[0][0] for v in all32):.1e}, tail relative {max(v[2][0] for v in all32):.1e}"
        + (f"; gradients {max(v[0] for v in allg):.1e}." if allg else "."),
        "",
        "Worst points (x, z) of each column, float64: "
        + ", ".join(
            f"{name} at h = {k[0]:g} {v[i][1]}"
            for i, name in enumerate(("logpdf", "cdf/sf", "tail"))
            for k, v in [
                max(
                    ((k, v) for k, v in worst.items() if k[2] == "f64"),
                    key=lambda kv, i=i: kv[1][i][0],
                )
            ]
        )
        + ".",
    ]
    if missing:
        out += ["", "Cells not measured in this run (not in the table or the figures above):", ""]
        out += [
            "- "
            + (f"h = {c[1]:g}, z = {c[2]:g}" if c[0] == "acc" else f"normalisation, h = {c[1]:g}")
            for c in missing
        ]
    if failed:
        out += [
            "",
            "Points where the reference did not settle or ran out of its time (not counted):",
            "",
        ]
        out += [
            f"- x = {x:.6g}, h = {h:g}, z = {z:g} ({tag}): {msg}" for x, h, z, tag, msg in failed
        ]
    if rows:
        out += [
            "",
            "## Normalisation",
            "",
            "Simpson's rule on 20001 points in log x between a quarter of the 1e-12 quantile and "
            "1.5 times the 1 - 1e-15 quantile: the mass of `vexol.pdf`, its mean and variance "
            "against `vexol.mean` and `vexol.variance`, and those against the closed forms of "
            "`pg_exact.exact_moments`.",
            "",
            "| h | z | mass - 1 | mean rel. error | variance rel. error "
            "| mean/variance vs closed form |",
            "| ---: | ---: | ---: | ---: | ---: | ---: |",
        ]
        for h, z, dm, e1, e2, ec in rows:
            out.append(f"| {h:g} | {z:g} | {dm:+.1e} | {e1:+.1e} | {e2:+.1e} | {ec:.1e} |")
    return "\n".join(out) + "\n"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--md", default="docs/density_validation.md")
    ap.add_argument("--h", default=None, help="comma-separated subset of the h grid")
    ap.add_argument("--z", default=None, help="comma-separated subset of the z grid")
    ap.add_argument("--no-normalisation", action="store_true")
    ap.add_argument(
        "--cache",
        default="build/density_reference_cache.jsonl",
        help="file of reference values kept between runs ('' for none)",
    )
    ap.add_argument("--jobs", type=int, default=2, help="worker processes (one cell each)")
    ap.add_argument(
        "--results",
        default=None,
        help="file of measured cells (default: build/density_accuracy_cells-<code hash>.jsonl)",
    )
    ap.add_argument(
        "--minutes", type=float, default=0, help="start no cell after this many minutes"
    )
    ap.add_argument(
        "--point-timeout",
        type=float,
        default=900.0,
        help="seconds of wall time allowed per reference point before it is reported "
        "as failed (0: no limit); failures are cached (see --retry-failed)",
    )
    ap.add_argument("--retry-failed", action="store_true", help="compute cached failed points anew")
    ap.add_argument(
        "--salt",
        default=os.environ.get("VEXOL_GRID_SALT", ""),
        help="mixed into the code hash of the results file: measures every cell anew "
        "while keeping the reference cache (default: $VEXOL_GRID_SALT)",
    )
    ap.add_argument(
        "--check-reference",
        type=int,
        default=0,
        metavar="N",
        help="only compare the Bromwich reference with the series at N random points",
    )
    ap.add_argument(
        "--check-sf-series",
        type=int,
        default=0,
        metavar="N",
        help="only compare the survival series with 1 - CDF and the Bromwich integral "
        "at N random right-tail points",
    )
    args = ap.parse_args()
    if args.check_reference:
        check_reference(args.check_reference)
        return
    if args.check_sf_series:
        check_sf_series(args.check_sf_series)
        return
    h_grid = [float(v) for v in args.h.split(",")] if args.h else H_GRID
    z_grid = [float(v) for v in args.z.split(",")] if args.z else Z_GRID
    if args.cache:
        pathlib.Path(args.cache).parent.mkdir(parents=True, exist_ok=True)
    results = pathlib.Path(
        args.results or f"build/density_accuracy_cells-{_code_version(args.salt)}.jsonl"
    )
    results.parent.mkdir(parents=True, exist_ok=True)
    deadline = time.time() + 60 * args.minutes if args.minutes else math.inf
    cache = (args.cache or None, args.point_timeout, args.retry_failed)
    worst, failed, rows, missing, seconds = run(
        h_grid, z_grid, cache, not args.no_normalisation, args.jobs, results, deadline
    )
    text = markdown(worst, failed, rows, h_grid, z_grid, seconds, missing)
    pathlib.Path(args.md).write_text(text)
    print(text)


if __name__ == "__main__":
    main()
