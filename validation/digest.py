"""Does this machine reproduce vexol's reference draws?

Draws 400,000 PG(h, z) variates of a fixed input that mixes every sampling
regime through `vexol.sample` with a fixed seed, and compares them with the
reference stored beside this script (digest_reference.npz): the SHA-256 of
all the draws, and a 16-bit fingerprint of each draw, so that it can say how
many draws differ and in which regimes.

The draws call the platform's libm (exp, log, pow, ...), and glibc picks
variants of those functions from the CPU at load time (FMA or not), which
may differ in the last bit. The script therefore also fingerprints the libm
it runs on, and judges as follows:
  - this libm is one the reference was recorded on: the draws must be
    bit-identical to that libm's reference; any difference is a change of
    vexol, its compiler or its flags, and the exit status is 1;
  - another libm (another CPU type or C library): the differences from the
    reference are reported, not judged (exit 0, or 1 with --strict). A last-
    bit difference that flips an accept/reject decision makes the rest of a
    65,536-draw chunk differ; in the exact regimes those are still exact
    draws of the same law, only not the same ones.

    python validation/digest.py                 # check this machine
    GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA,-AVX512F python validation/digest.py
    python validation/digest.py --record        # (re)write the reference here
    python validation/digest.py --record-variant   # add this libm to the reference
"""

from __future__ import annotations

import argparse
import ctypes
import ctypes.util
import hashlib
import pathlib
import sys

import numpy as np

N = 400_000
SEED = 0x5EED_D16E_57AB_1E00
REFERENCE = pathlib.Path(__file__).resolve().with_name("digest_reference.npz")

# The shapes cycle through every regime; the tilts sweep [-8, 8] in steps of
# 0.01 in a scrambled order, so that each shape meets small and large tilts
# and integer shapes fall on both sides of |z| = 1.
# fmt: off
SHAPES = np.array([
    0.1, 0.3, 0.5, 0.7, 0.95, 1.0, 2.0, 3.0, 4.0, 1.5, 2.5, 3.7, 4.5, 6.0, 7.5,
    8.0, 12.5, 30.0, 50.0, 50.5, 100.0, 1000.0, 1.0, 2.0,
])
# fmt: on
REGIMES = (
    ("gamma series", "h < 1", False),
    ("Devroye", "h = 1", True),
    ("Devroye sum", "h = 2, 3, 4 and |z| <= 1", True),
    ("alternate", "1 < h <= 4 otherwise", True),
    ("alternate pieces", "4 < h < 8", True),
    ("saddle point", "8 <= h <= 50", False),
    ("normal", "h > 50", False),
)

# libm functions the samplers call; their outputs on fixed arguments tell
# one libm (or one variant of it) from another.
LIBM_FUNCTIONS = ("exp", "log", "log1p", "pow", "tan", "tanh", "cos", "cosh", "sinh", "erfc")


def inputs(n: int = N) -> tuple[np.ndarray, np.ndarray]:
    i = np.arange(n, dtype=np.int64)
    h = SHAPES[i % len(SHAPES)]
    z = ((i * 7919) % 1601 - 800) / 100.0
    return h, z


def regime_of(h: np.ndarray, z: np.ndarray) -> np.ndarray:
    """Index into REGIMES of the method each element uses (the dispatch of
    csrc/polya_gamma/pg_sample.h)."""
    a = np.abs(z)
    integer_sum = (h == np.floor(h)) & (h >= 2.0) & (h <= 4.0) & (a <= 1.0)
    conditions = [
        h > 50.0,
        h >= 8.0,
        h == 1.0,
        integer_sum,
        h < 1.0,
        h <= 4.0,
    ]
    choices = [6, 5, 1, 2, 0, 3]
    return np.select(conditions, choices, default=4)


def fingerprints(draws: np.ndarray) -> np.ndarray:
    """16 bits per draw that change with any bit of it (a 64-bit mix)."""
    x = np.ascontiguousarray(draws, dtype=np.float64).view(np.uint64).copy()
    with np.errstate(over="ignore"):
        x ^= x >> np.uint64(33)
        x *= np.uint64(0xFF51AFD7ED558CCD)
        x ^= x >> np.uint64(33)
        x *= np.uint64(0xC4CEB9FE1A85EC53)
        x ^= x >> np.uint64(33)
    return (x >> np.uint64(48)).astype(np.uint16)


def libm_fingerprint() -> str:
    """SHA-256 (first 16 hex digits) of the process's libm on fixed
    arguments: the variant glibc chose for this CPU, or another libm."""
    libm = ctypes.CDLL(ctypes.util.find_library("m") or "libm.so.6")
    x = np.linspace(-20.0, 20.0, 20001)
    digest = hashlib.sha256()
    for name in LIBM_FUNCTIONS:
        function = getattr(libm, name)
        function.restype = ctypes.c_double
        if name == "pow":
            function.argtypes = [ctypes.c_double, ctypes.c_double]
            values = [function(abs(a) + 0.5, a / 7.0) for a in x.tolist()]
        else:
            function.argtypes = [ctypes.c_double]
            args = np.abs(x) + 1e-3 if name in ("log", "log1p") else x
            values = [function(a) for a in args.tolist()]
        digest.update(np.array(values, dtype=np.float64).tobytes())
    return digest.hexdigest()[:16]


def glibc_version() -> str:
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6")
        libc.gnu_get_libc_version.restype = ctypes.c_char_p
        return "glibc " + libc.gnu_get_libc_version().decode()
    except (OSError, AttributeError):
        return "not glibc"


def draws() -> np.ndarray:
    import jax

    jax.config.update("jax_enable_x64", True)
    import vexol

    h, z = inputs()
    return np.asarray(vexol.sample(h, z, SEED))


def load_reference(path: pathlib.Path) -> dict:
    with np.load(path, allow_pickle=False) as stored:
        reference = {key: stored[key] for key in stored.files}
    variants = {}
    for key in reference:
        if key.startswith("variant_libm_"):
            name = key.removeprefix("variant_libm_")
            variants[str(reference[key])] = {
                "name": name,
                "sha256": str(reference[f"variant_sha256_{name}"]),
                "index": reference[f"variant_index_{name}"],
                "fingerprint": reference[f"variant_fingerprint_{name}"],
            }
    return {
        "libm": str(reference["libm"]),
        "sha256": str(reference["sha256"]),
        "fingerprints": reference["fingerprints"],
        "variants": variants,
        "arrays": reference,
    }


def expected_fingerprints(reference: dict, libm: str) -> tuple[str, str, np.ndarray] | None:
    """(name, sha256, fingerprints) the reference holds for this libm."""
    if libm == reference["libm"]:
        return "primary", reference["sha256"], reference["fingerprints"]
    variant = reference["variants"].get(libm)
    if variant is None:
        return None
    expected = reference["fingerprints"].copy()
    expected[variant["index"]] = variant["fingerprint"]
    return variant["name"], variant["sha256"], expected


def regime_table(differ: np.ndarray, regimes: np.ndarray) -> list[str]:
    lines = [f"  {'regime':<28} {'shapes':<26} {'draws':>7} {'differ':>7}"]
    for k, (name, shapes, exact) in enumerate(REGIMES):
        mask = regimes == k
        label = f"{name} ({'exact' if exact else 'approx.'})"
        lines.append(
            f"  {label:<28} {shapes:<26} {int(mask.sum()):>7} {int(differ[mask].sum()):>7}"
        )
    return lines


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reference", type=pathlib.Path, default=REFERENCE)
    parser.add_argument("--strict", action="store_true", help="fail on any difference")
    parser.add_argument("--record", action="store_true", help="write the reference from here")
    parser.add_argument(
        "--record-variant", metavar="NAME", help="add this machine's libm to the reference"
    )
    args = parser.parse_args(argv)

    values = draws()
    sha = hashlib.sha256(values.tobytes()).hexdigest()
    prints = fingerprints(values)
    libm = libm_fingerprint()
    h, z = inputs()
    regimes = regime_of(h, z)
    print(f"vexol digest: {N} draws, seed {SEED:#x}, libm {libm} ({glibc_version()})")
    print(f"sha256 {sha}")

    if args.record:
        np.savez(args.reference, libm=libm, sha256=sha, fingerprints=prints)
        print(f"recorded {args.reference}")
        return 0
    reference = load_reference(args.reference)
    if args.record_variant:
        name = args.record_variant
        index = np.flatnonzero(prints != reference["fingerprints"])
        arrays = dict(reference["arrays"])
        arrays.update(
            {
                f"variant_libm_{name}": np.array(libm),
                f"variant_sha256_{name}": np.array(sha),
                f"variant_index_{name}": index.astype(np.int32),
                f"variant_fingerprint_{name}": prints[index],
            }
        )
        np.savez(args.reference, **arrays)
        print(f"recorded variant {name} ({index.size} draws differ from the primary)")
        return 0

    differ_primary = prints != reference["fingerprints"]
    print(
        f"draws that differ from the reference (primary, libm {reference['libm']}): "
        f"{int(differ_primary.sum())} of {N}"
    )
    print("\n".join(regime_table(differ_primary, regimes)))
    exact_regimes = [k for k, (_, _, exact) in enumerate(REGIMES) if exact]
    exact_differ = int(differ_primary[np.isin(regimes, exact_regimes)].sum())
    print(f"exact regimes: {exact_differ} draws differ")

    expected = expected_fingerprints(reference, libm)
    if expected is None:
        same = sha == reference["sha256"]
        print(
            "result: "
            + ("REPRODUCED" if same else "NOT REPRODUCED")
            + f" - this libm ({libm}) is not one the reference was recorded on; "
            "the differences above are reported, not judged"
        )
        return 1 if (args.strict and not same) else 0
    name, expected_sha, expected_prints = expected
    if sha == expected_sha:
        print(f"result: REPRODUCED - bit-identical to the reference for this libm ({name})")
        return 0
    differ = prints != expected_prints
    print(
        f"result: FAILED - this libm is the reference's {name}, yet "
        f"{max(int(differ.sum()), 1)} draws differ: vexol, its compiler or its flags changed"
    )
    print("\n".join(regime_table(differ, regimes)))
    return 1


if __name__ == "__main__":
    sys.exit(main())
