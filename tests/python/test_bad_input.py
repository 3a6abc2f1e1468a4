"""Bad input end to end, through the real runtime: every refusal of the
handlers arrives with its message, and arrays full of awkward doubles finish
with outputs that follow the rules (>= 1e-12 or NaN, NaN for a NaN shape),
through the custom calls and through the vexol package."""

import itertools

import jax
import jax.numpy as jnp
import numpy as np
import pytest

from pg_support import assert_refused, x64_disabled

jax.config.update("jax_enable_x64", True)

import vexol  # noqa: E402
import vexol_cpp  # noqa: E402
from vexol import gibbs  # noqa: E402

FLAT = "vexol_bad_input_pg_sample_f64"
BATCHED = "vexol_bad_input_pg_sample_batched_f64"
jax.ffi.register_ffi_target(FLAT, vexol_cpp.pg_sample_f64_capsule(), platform="cpu", api_version=1)
jax.ffi.register_ffi_target(
    BATCHED, vexol_cpp.pg_sample_batched_f64_capsule(), platform="cpu", api_version=1
)


def custom_call(target, h, z, seed, out_shape):
    call = jax.ffi.ffi_call(target, jax.ShapeDtypeStruct(out_shape, jnp.float64))
    return np.asarray(jax.jit(call)(h, z, seed))


REFUSALS = [
    # (target, h shape, z shape, seed length, out shape, message)
    (FLAT, (5,), (4,), 1, (5,), "vexol: h and z must have equal length"),
    (FLAT, (70000,), (70001,), 1, (70000,), "vexol: h and z must have equal length"),
    (FLAT, (5,), (5,), 1, (4,), "vexol: out must hold at least as many elements as h"),
    (BATCHED, (6,), (6,), 1, (6,), "vexol: batched h must be >= 2D"),
    (BATCHED, (), (), 1, (), "vexol: batched h must be >= 2D"),
    (BATCHED, (2, 3), (6,), 0, (6,), "vexol: batched seed must hold at least one element"),
    (BATCHED, (2, 3), (5,), 1, (6,), "vexol: batched z must hold at least as many elements as h"),
    (BATCHED, (2, 3), (6,), 1, (5,), "vexol: out must hold at least as many elements as h"),
]


@pytest.mark.parametrize("target, h_shape, z_shape, seeds, out_shape, message", REFUSALS)
def test_every_refusal_arrives_with_its_message(
    target, h_shape, z_shape, seeds, out_shape, message
):
    h = np.ones(h_shape)
    z = np.zeros(z_shape)
    seed = np.arange(seeds, dtype=np.int64)
    with pytest.raises(jax.errors.JaxRuntimeError) as caught:
        custom_call(target, h, z, seed, out_shape)
    assert_refused(caught.value, message)


TINY = np.finfo(np.float64).smallest_subnormal
HUGE = np.finfo(np.float64).max
AWKWARD = np.array(
    [
        *(np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, TINY, -TINY, 2.2250738585072014e-308),
        *(1e-300, 1e-12, 0.5, 1.0, -1.0, 3.0, 4.5, 8.0, 50.0, 50.5, -3.0, 710.5, 1e206),
        *(1e300, HUGE, -HUGE),
    ]
)


def awkward_grid():
    pairs = np.array(list(itertools.product(AWKWARD, AWKWARD)))
    return pairs[:, 0].copy(), pairs[:, 1].copy()


def check_rules(h, out):
    assert out.shape == h.shape
    ok = (out >= 1e-12) | np.isnan(out)
    assert ok.all(), list(zip(h[~ok], out[~ok], strict=True))
    assert np.isnan(out[np.isnan(h)]).all()


@pytest.mark.parametrize("seed", [0, -1, 12345])
def test_awkward_inputs_through_the_custom_calls(seed):
    h, z = awkward_grid()
    flat = custom_call(FLAT, h, z, np.array([seed], dtype=np.int64), h.shape)
    check_rules(h, flat)
    rows = (len(AWKWARD), len(AWKWARD))
    batched = custom_call(
        BATCHED, h.reshape(rows), z.reshape(rows), np.array([seed], dtype=np.int64), rows
    )
    check_rules(h.reshape(rows), batched)


def test_awkward_inputs_through_the_package():
    h, z = awkward_grid()
    check_rules(h, np.asarray(vexol.sample(h, z, 99)))
    check_rules(h, np.asarray(vexol.polya_gamma(jax.random.key(3), h, z)))
    # Long enough for the chunked path with workers.
    hh, zz = np.tile(h, 150), np.tile(z, 150)
    check_rules(hh, np.asarray(vexol.sample(hh, zz, 7)))


# --------------------------------------------------------------------------
# vexol.gibbs: bad data and arguments, refused when the sampler is built
# (or the run starts), with the function, the argument, the offending
# element and the expected form in the message
# --------------------------------------------------------------------------

N, P = 6, 3
X = np.column_stack([np.ones(N), np.linspace(-1, 1, N), np.cos(np.arange(N))])
LABELS = np.array([0.0, 1.0, 1.0, 0.0, 1.0, 0.0])
COUNTS = np.array([0.0, 3.0, 1.0, 7.0, 2.0, 0.0])


def with_value(a, index, value):
    a = np.array(a, dtype=float)
    a[index] = value
    return a


def logistic(**kw):
    return lambda: gibbs.logistic(kw.pop("X", X), kw.pop("y", LABELS), **kw)


def negbin(**kw):
    return lambda: gibbs.negbin(kw.pop("X", X), kw.pop("y", COUNTS), **kw)


def multinomial(**kw):
    return lambda: gibbs.multinomial(kw.pop("X", X), kw.pop("y", LABELS), **kw)


def hierarchical(**kw):
    return lambda: gibbs.hierarchical_logistic(kw.pop("X", X), kw.pop("y", LABELS), **kw)


def run(**kw):
    model = gibbs.logistic(X, LABELS)
    return lambda: gibbs.run(model, None, kw.pop("key", jax.random.key(0)), **{"sweeps": 2, **kw})


GIBBS_REFUSALS = {
    # X
    "logistic_nan_X": (
        logistic(X=with_value(X, (3, 1), np.nan)),
        r"logistic: X\[3, 1\] is nan; X must be finite",
    ),
    "negbin_inf_X": (
        negbin(X=with_value(X, (2, 2), np.inf)),
        r"negbin: X\[2, 2\] is inf; X must be finite",
    ),
    "multinomial_nan_X": (
        multinomial(X=with_value(X, (0, 1), np.nan)),
        r"multinomial: X\[0, 1\] is nan",
    ),
    "hierarchical_nan_X": (
        hierarchical(X=with_value(X, (5, 2), -np.inf)),
        r"hierarchical_logistic: X\[5, 2\] is -inf",
    ),
    "gibbs_fn_nan_X": (
        lambda: gibbs.logistic_gibbs_fn(with_value(X, (1, 1), np.nan), LABELS, prior_precision=1.0),
        r"logistic_gibbs_fn: X\[1, 1\] is nan",
    ),
    "nb_gibbs_fn_inf_X": (
        lambda: gibbs.negbin_gibbs_fn(with_value(X, (1, 2), np.inf), COUNTS, prior_precision=1.0),
        r"negbin_gibbs_fn: X\[1, 2\] is inf",
    ),
    "vector_X": (logistic(X=X[:, 1]), r"logistic: X must be an \(n, p\) matrix, got shape \(6,\)"),
    # y
    "labels_0_1_2": (
        logistic(y=with_value(LABELS, 4, 2.0)),
        r"logistic: y\[4\] is 2; without trials y must hold 0/1 labels \(pass trials= for counts\)",
    ),
    "labels_minus_1_plus_1": (
        logistic(y=2 * LABELS - 1),
        r"logistic: y holds -1/\+1 labels; y must hold 0/1 labels: pass \(y \+ 1\) / 2",
    ),
    "nan_label": (
        logistic(y=with_value(LABELS, 3, np.nan)),
        r"logistic: y\[3\] is nan; y must be finite",
    ),
    "fractional_count": (
        logistic(y=with_value(COUNTS, 2, 2.5), trials=7),
        r"logistic: y\[2\] is 2.5; y must hold integer counts between 0 and trials",
    ),
    "count_above_trials": (
        logistic(y=COUNTS, trials=with_value(np.full(N, 7), 3, 6)),
        r"logistic: y\[3\] is 7, above trials\[3\] = 6",
    ),
    "y_wrong_length": (
        hierarchical(y=LABELS[:5]),
        r"hierarchical_logistic: y has shape \(5,\); it must have shape \(6,\)",
    ),
    "gibbs_fn_labels": (
        lambda: gibbs.logistic_gibbs_fn(X, with_value(LABELS, 0, 3.0), prior_precision=1.0),
        r"logistic_gibbs_fn: y\[0\] is 3; without trials",
    ),
    "negbin_inf_count": (
        negbin(y=with_value(COUNTS, 2, np.inf)),
        r"negbin: y\[2\] is inf; y must be finite",
    ),
    "negbin_negative_count": (
        negbin(y=with_value(COUNTS, 0, -1)),
        r"negbin: y\[0\] is -1; y must hold non-negative integer counts",
    ),
    "nb_gibbs_fn_nan_count": (
        lambda: gibbs.negbin_gibbs_fn(X, with_value(COUNTS, 5, np.nan), prior_precision=1.0),
        r"negbin_gibbs_fn: y\[5\] is nan",
    ),
    "fractional_label": (
        multinomial(y=with_value(LABELS, 1, 0.5)),
        r"multinomial: y\[1\] is 0.5; y must hold integer labels 0..K-1",
    ),
    "label_beyond_classes": (
        multinomial(y=with_value(LABELS, 2, 3), num_classes=3),
        r"multinomial: y\[2\] is 3; with num_classes=3 the labels lie in 0..2",
    ),
    "negative_class_count": (
        multinomial(y=np.column_stack([COUNTS, with_value(COUNTS, 4, -2)])),
        r"multinomial: y\[4, 1\] is -2; y must hold non-negative integer counts",
    ),
    # trials, offsets, priors
    "nan_trials": (
        logistic(trials=with_value(np.full(N, 7), 1, np.nan), y=COUNTS),
        r"logistic: trials\[1\] is nan; trials must be finite",
    ),
    "fractional_trials": (
        logistic(trials=2.5),
        r"logistic: trials is 2.5; trials must hold non-negative integers",
    ),
    "trials_wrong_length": (
        logistic(trials=np.full(N - 1, 7), y=COUNTS),
        r"logistic: trials has shape \(5,\); it must be a scalar or have shape \(6,\)",
    ),
    "nan_offset": (
        logistic(offset=with_value(np.zeros(N), 4, np.nan)),
        r"logistic: offset\[4\] is nan; offset must be finite",
    ),
    "negbin_offset_wrong_length": (
        negbin(offset=np.zeros(2)),
        r"negbin: offset has shape \(2,\); it must be a scalar or have shape \(6,\)",
    ),
    "nan_prior_mean": (
        logistic(prior_mean=[0.0, np.nan, 0.0]),
        r"logistic: prior_mean\[1\] is nan; prior_mean must be finite",
    ),
    "prior_sd_wrong_length": (
        logistic(prior_sd=[1.0, 2.0]),
        r"logistic: prior_sd has shape \(2,\); it must be a scalar or have shape \(3,\)",
    ),
    "zero_prior_sd": (
        multinomial(prior_sd=[1.0, 0.0, 1.0]),
        r"multinomial: prior_sd\[1\] is 0; prior_sd must be positive",
    ),
    "negbin_nan_prior_mean": (negbin(prior_mean=np.nan), r"negbin: prior_mean is nan"),
    "gibbs_fn_prior_precision": (
        lambda: gibbs.logistic_gibbs_fn(X, LABELS, prior_precision=[1.0, -1.0, 1.0]),
        r"logistic_gibbs_fn: prior_precision\[1\] is -1; prior_precision must be positive",
    ),
    "tau2_shape": (
        hierarchical(tau2_shape=0.0),
        r"hierarchical_logistic: tau2_shape is 0; tau2_shape must be positive",
    ),
    "r_rate": (negbin(r_rate=np.inf), r"negbin: r_rate is inf; r_rate must be positive and finite"),
    # indices and counts
    "slow_directions": (
        logistic(slow_directions=4),
        r"logistic: slow_directions is 4; it must be an integer in \[0, 3\]",
    ),
    "multinomial_slow_directions": (
        multinomial(slow_directions=-1),
        r"multinomial: slow_directions is -1; it must be an integer in \[0, 3\]",
    ),
    "unpenalized": (
        hierarchical(unpenalized=(5,)),
        r"hierarchical_logistic: unpenalized holds 5; it must hold column indices of X in \[0, 3\)",
    ),
    "gibbs_fn_unpenalized": (
        # The same rule, and the same words, as the builder's.
        lambda: gibbs.hierarchical_gibbs_fn(X, LABELS, unpenalized=(0, -4)),
        r"hierarchical_gibbs_fn: unpenalized holds -4; it must hold column indices of X in \[0, 3\)",
    ),
    "intercept": (
        negbin(intercept=3),
        r"negbin: intercept is 3; it must be a column index of X in \[0, 3\) or None",
    ),
    "pg_options": (
        logistic(pg_options={"method": "no-such-method"}),
        r"logistic: method must be .*'no-such-method'",
    ),
    # the runner
    "run_sweeps": (run(sweeps=-1), r"run: sweeps is -1; it must be >= 0"),
    "run_warmup": (run(warmup=-3), r"run: warmup is -3; it must be >= 0"),
    "run_chains": (run(chains=0), r"run: chains is 0; it must be >= 1"),
    "run_thin": (run(thin=0), r"run: thin is 0; it must be >= 1"),
    "run_block_size": (run(block_size=0), r"run: block_size is 0; it must be >= 1"),
}

GIBBS_TYPE_REFUSALS = {
    "run_int_key": (run(key=0), r"run: key must be a JAX PRNG key from jax\.random\.key"),
    "run_float_sweeps": (run(sweeps=2.5), r"run: sweeps must be an integer, got 2.5"),
    "fractional_slow_directions": (
        logistic(slow_directions=1.5),
        r"logistic: slow_directions must be an integer, got 1.5",
    ),
    "text_X": (logistic(X=X.astype(str)), r"logistic: X must be numeric, got dtype <U"),
}


@pytest.mark.parametrize("call, message", GIBBS_REFUSALS.values(), ids=GIBBS_REFUSALS.keys())
def test_gibbs_bad_values_are_refused_early(call, message):
    with pytest.raises(ValueError, match=r"^vexol\.gibbs\." + message):
        call()


@pytest.mark.parametrize(
    "call, message", GIBBS_TYPE_REFUSALS.values(), ids=GIBBS_TYPE_REFUSALS.keys()
)
def test_gibbs_bad_types_are_refused_early(call, message):
    with pytest.raises(TypeError, match=r"^vexol\.gibbs\." + message):
        call()


def test_float64_without_x64_is_one_error_everywhere():
    # A ValueError (a bad dtype for the configuration) that is also the
    # RuntimeError vexol.polya_gamma raised before, for callers catching that.
    with x64_disabled():
        calls = {
            "polya_gamma": lambda: vexol.polya_gamma(
                jax.random.key(0), 1.0, 0.0, dtype=jnp.float64
            ),
            "sample": lambda: vexol.sample(1.0, 0.0, 1, dtype=jnp.float64),
            "gibbs.logistic": lambda: gibbs.logistic(X, LABELS, dtype=jnp.float64),
            "gibbs.negbin_gibbs_fn": lambda: gibbs.negbin_gibbs_fn(
                X, COUNTS, prior_precision=1.0, dtype=jnp.float64
            ),
        }
        for name, call in calls.items():
            with pytest.raises(ValueError, match=rf"^vexol\.{name}: .*jax_enable_x64") as caught:
                call()
            assert isinstance(caught.value, RuntimeError)
