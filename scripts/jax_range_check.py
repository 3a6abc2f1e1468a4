"""One row of scripts/test_jax_range.sh's table, in the environment under test:
import, registration, a call, and whether the digest of
validation/digest.py equals the stored reference for this machine's libm.

    python scripts/jax_range_check.py validation/digest_reference.npz

Prints "import | registration | call | digest |" cells and exits 1 when any
of them failed.
"""

import hashlib
import importlib.util
import pathlib
import sys
import traceback


def cell(step):
    try:
        return True, step()
    except Exception as exc:  # reported in the table, with the traceback on stderr
        traceback.print_exc()
        return False, f"FAIL: {type(exc).__name__}: {str(exc).splitlines()[0][:120]}"


def main(reference_path):
    digest_path = pathlib.Path(__file__).resolve().parents[1] / "validation" / "digest.py"
    spec = importlib.util.spec_from_file_location("vexol_digest", digest_path)
    digest = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(digest)

    state = {}

    def do_import():
        import jax

        jax.config.update("jax_enable_x64", True)
        import vexol
        import vexol_cpp

        state["jax"], state["vexol"], state["vexol_cpp"] = jax, vexol, vexol_cpp
        built = vexol_cpp.ffi_api_version()
        return f"ok (jaxlib {jax.lib.__version__}, built for FFI {built[0]}.{built[1]})"

    def do_register():
        from vexol import _registration

        _registration.ensure_registered()
        assert _registration.is_registered()
        return "ok"

    def do_call():
        jax, vexol = state["jax"], state["vexol"]
        key = jax.random.key(3)
        by_key = vexol.polya_gamma(key, 1.0, 0.5, shape=(4,))
        by_seed = vexol.sample(jax.numpy.ones(4), 0.5, vexol.seed_from_key(key))
        assert (by_key == by_seed).all() and (by_key > 0).all()
        return "ok"

    def do_digest():
        values = digest.draws()
        sha = hashlib.sha256(values.tobytes()).hexdigest()
        reference = digest.load_reference(pathlib.Path(reference_path))
        expected = digest.expected_fingerprints(reference, digest.libm_fingerprint())
        if expected is None:
            return f"unknown libm (sha256 {sha[:12]})"
        name, expected_sha, expected_prints = expected
        if sha == expected_sha:
            return f"yes ({name}, {sha[:12]})"
        differ = int((digest.fingerprints(values) != expected_prints).sum())
        raise AssertionError(f"{differ} draws differ from the {name} reference")

    cells, good = [], True
    for step in (do_import, do_register, do_call, do_digest):
        ok, text = cell(step)
        cells.append(text)
        good = good and ok
        if not ok:
            break
    cells += [""] * (4 - len(cells))
    print(" | ".join(cells) + " |")
    return 0 if good else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
