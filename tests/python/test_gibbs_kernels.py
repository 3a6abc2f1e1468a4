"""vexol's samplers run inside BlackJAX's and NumPyro's machinery.

Each chain is checked against an exact reference: every posterior here has
two coefficients (per stick), so its mean and sd come from a fine grid in
NumPy, with a hyperparameter integrated out in closed form. A draw mean must
lie within 4.5 Monte Carlo standard errors (ArviZ's bulk ESS) of the grid's
mean and the sd within 15%: a kernel that hands back its old state, reads a
stale conditioning value or mixes the wrong stick's data fails by far more.
"""

import jax
import jax.numpy as jnp
import numpy as np
import pytest
from scipy.special import expit, log_expit

from vexol import gibbs

blackjax = pytest.importorskip("blackjax")
numpyro_infer = pytest.importorskip("numpyro.infer")
pytest.importorskip("arviz")
import numpyro  # noqa: E402
import numpyro.distributions as dist  # noqa: E402

rng = np.random.default_rng(7)
N = 40
X = np.column_stack([np.ones(N), rng.normal(size=N)])
Y = (rng.random(N) < expit(X @ [0.4, 1.2])).astype(float)
LABELS = np.digitize(X[:, 1] + rng.normal(scale=0.7, size=N), [-0.4, 0.5])  # 3 classes
PRIOR_SD = 2.5
# The hierarchical prior: β₀ ~ N(0, 5²), β₁ ~ N(0, τ²), τ² ~ InvGamma(A, B).
# A = 5 gives τ²'s posterior the moments up to the 8th that a test of its
# mean and sd needs.
A, B = 5.0, 4.0
CHAINS, DRAWS, WARMUP = 4, 1000, 100
GRID = np.linspace(-6.0, 6.0, 601)


def grid_posterior(log_likelihood, log_prior):
    """(weights on the grid, b0, b1) of a two-coefficient posterior."""
    b0, b1 = np.meshgrid(GRID, GRID, indexing="ij")
    log_post = log_likelihood(b0, b1) + log_prior(b0, b1)
    w = np.exp(log_post - log_post.max())
    return w / w.sum(), b0, b1


def bernoulli(X, y, offset=0.0, trials=1.0):
    def log_likelihood(b0, b1):
        psi = b0[..., None] * X[:, 0] + b1[..., None] * X[:, 1] + offset
        return np.sum(y * log_expit(psi) + (trials - y) * log_expit(-psi), axis=-1)

    return log_likelihood


def normal_prior(sd):
    return lambda b0, b1: -0.5 * (b0**2 + b1**2) / sd**2


def hierarchical_prior(b0, b1):
    # τ² integrated out: β₁ is Student-t with 2A degrees of freedom, scale √(B/A).
    return -0.5 * b0**2 / 25.0 - (A + 0.5) * np.log1p(b1**2 / (2 * B))


def tau2_moments(w, b1):
    """Mean and sd of τ²: given β, τ² ~ InvGamma(A + 1/2, B + β₁²/2)."""
    shape, scale = A + 0.5, B + 0.5 * b1**2
    mean = np.sum(w * scale / (shape - 1))
    second = np.sum(w * scale**2 / ((shape - 1) * (shape - 2)))
    return mean, np.sqrt(second - mean**2)


def moments(w, b0, b1):
    mean = np.array([np.sum(w * b0), np.sum(w * b1)])
    sd = np.sqrt(np.array([np.sum(w * b0**2), np.sum(w * b1**2)]) - mean**2)
    return mean, sd


def assert_close(draws, mean, sd, name="beta"):
    """draws (chains, draws, ...) against the reference mean and sd (same trailing shape)."""
    draws = np.asarray(draws, np.float64)
    ess = gibbs.ess({name: draws})[name]
    error = np.abs(draws.mean(axis=(0, 1)) - mean) / (sd / np.sqrt(ess))
    ratio = draws.std(axis=(0, 1)) / sd
    print(f"\n{name}: |z| {np.round(error, 2)}, sd ratio {np.round(ratio, 3)}, ess {ess.round()}")
    assert np.all(error < 4.5), f"{name}: means off by {error} Monte Carlo errors"
    assert np.all(np.abs(ratio - 1.0) < 0.15), f"{name}: sd ratios {ratio}"


LOGISTIC = moments(*grid_posterior(bernoulli(X, Y), normal_prior(PRIOR_SD)))


def test_kernel_in_blackjax_loop_vmapped_over_chains():
    model = gibbs.logistic(X, Y, prior_sd=PRIOR_SD)
    kernel = gibbs.as_kernel(model)

    def chain(key, start):
        return blackjax.util.run_inference_algorithm(
            key, kernel, WARMUP + DRAWS, initial_position={"beta": start}
        )[1]

    # Dispersed starts far from the mode, given as float64 NumPy.
    starts = np.array([[-3.0, 3.0], [3.0, -3.0], [0.0, 4.0], [-4.0, 0.0]])
    states, infos = jax.jit(jax.vmap(chain))(jax.random.split(jax.random.key(1), CHAINS), starts)
    beta = states.position["beta"]
    assert beta.dtype == jnp.zeros(()).dtype and beta.shape == (CHAINS, WARMUP + DRAWS, 2)
    # The statistics are the model's own (whatever moves it makes).
    assert set(infos.stats) <= set(model.sample_stats)
    assert_close(beta[:, WARMUP:], *LOGISTIC)


def test_composes_with_a_blackjax_random_walk_on_a_hyperparameter():
    # Metropolis within Gibbs: BlackJAX's random walk on log τ² given β, then
    # β | τ² from the adapter, which reads τ² from the step's conditioning.
    fn = gibbs.logistic_gibbs_fn(
        X, Y, prior_precision=lambda s: jnp.stack([1 / 25.0, jnp.exp(-s["log_tau2"])])
    )
    beta_kernel = gibbs.as_kernel(fn)

    def log_tau2_density(log_tau2, beta):
        # InvGamma(A, B) on τ², N(β₁; 0, τ²), and the Jacobian of log τ².
        return -(A + 0.5) * log_tau2 - (B + 0.5 * beta[1] ** 2) * jnp.exp(-log_tau2)

    def sweep(carry, key):
        state, log_tau2 = carry
        tau_key, beta_key = jax.random.split(key)
        rw = blackjax.normal_random_walk(lambda t: log_tau2_density(t, state.position["beta"]), 1.5)
        log_tau2 = rw.step(tau_key, rw.init(log_tau2))[0].position
        state, _ = beta_kernel.step(beta_key, state, {"log_tau2": log_tau2})
        return (state, log_tau2), (state.position["beta"], jnp.exp(log_tau2))

    def chain(key):
        start = (beta_kernel.init({"beta": jnp.zeros(2)}), jnp.zeros(()))
        return jax.lax.scan(sweep, start, jax.random.split(key, WARMUP + 3 * DRAWS))[1]

    beta, tau2 = jax.jit(jax.vmap(chain))(jax.random.split(jax.random.key(2), CHAINS))
    w, b0, b1 = grid_posterior(bernoulli(X, Y), hierarchical_prior)
    assert_close(beta[:, WARMUP:], *moments(w, b0, b1))
    assert_close(tau2[:, WARMUP:], *tau2_moments(w, b1), name="tau2")


def test_numpyro_mcmc_runs_a_model_and_keeps_its_statistics():
    model = gibbs.logistic(X, Y, prior_sd=PRIOR_SD, slow_directions=1)
    kernel = gibbs.numpyro_kernel(model)
    mcmc = numpyro_infer.MCMC(
        kernel,
        num_warmup=WARMUP,
        num_samples=DRAWS,
        num_chains=CHAINS,
        chain_method="vectorized",
        progress_bar=False,
    )
    mcmc.run(jax.random.key(3), extra_fields=("stats",))
    assert_close(mcmc.get_samples(group_by_chain=True)["beta"], *LOGISTIC)
    accepted = mcmc.get_extra_fields(group_by_chain=True)["stats"]["accepted"]
    # One direction move a sweep: taken on some sweeps, not on all.
    assert accepted.shape == (CHAINS, DRAWS) and 0.05 < float(accepted.mean()) < 0.999


def stick_reference(k, precision):
    """Mean and sd (2,) of stick k's coefficients: a binomial of the trials left."""
    counts = np.eye(3)[LABELS]
    trials = counts[:, k:].sum(axis=1)
    offset = -np.log(2.0 - k)
    return moments(
        *grid_posterior(bernoulli(X, counts[:, k], offset, trials), normal_prior(precision**-0.5))
    )


def multinomial_case():
    # The intercepts and slopes as two sites, joined by the adapter along
    # the sticks' rows; the sticks' precisions differ.
    precision = np.array([[PRIOR_SD**-2, PRIOR_SD**-2], [0.5, 0.5]])
    fn = gibbs.multinomial_gibbs_fn(X, LABELS, sites=("alpha", "beta"), prior_precision=precision)

    def model():
        numpyro.sample("alpha", dist.Normal(0.0, precision[:, 0] ** -0.5).to_event(1))
        numpyro.sample("beta", dist.Normal(0.0, precision[:, 1:] ** -0.5).to_event(2))

    refs = [stick_reference(k, precision[k, 0]) for k in range(2)]
    mean = np.stack([r[0] for r in refs])
    sd = np.stack([r[1] for r in refs])

    def check(samples):
        joined = np.concatenate([samples["alpha"][..., None], samples["beta"]], axis=-1)
        assert_close(joined, mean, sd)

    return model, fn, ["alpha", "beta"], check


def hierarchical_case():
    def model():
        tau2 = numpyro.sample("tau2", dist.InverseGamma(A, B))
        numpyro.sample("beta", dist.Normal(0.0, jnp.stack([5.0, jnp.sqrt(tau2)])).to_event(1))

    fn = gibbs.hierarchical_gibbs_fn(X, Y, tau2_shape=A, tau2_scale=B)
    w, b0, b1 = grid_posterior(bernoulli(X, Y), hierarchical_prior)

    def check(samples):
        assert_close(samples["beta"], *moments(w, b0, b1))
        assert_close(samples["tau2"], *tau2_moments(w, b1), name="tau2")

    return model, fn, ["beta", "tau2"], check


@pytest.mark.parametrize("case", [multinomial_case, hierarchical_case], ids=lambda c: c.__name__)
def test_adapters_as_numpyro_gibbs_blocks(case):
    # NumPyro's block Gibbs: the adapter draws its sites by CustomGibbs; the
    # NUTS block takes what is left of the model (nothing here, so the
    # posterior is the adapter's alone and has a grid reference).
    model, fn, sites, check = case()
    kernel = numpyro_infer.Gibbs(
        [(numpyro_infer.CustomGibbs(fn), sites), (numpyro_infer.NUTS(model), None)]
    )
    mcmc = numpyro_infer.MCMC(
        kernel,
        num_warmup=WARMUP,
        num_samples=DRAWS,
        num_chains=CHAINS,
        chain_method=jax.vmap,
        progress_bar=False,
    )
    mcmc.run(jax.random.key(4))
    check(mcmc.get_samples(group_by_chain=True))


def test_kernel_init_names_what_does_not_fit():
    kernel = gibbs.as_kernel(gibbs.logistic(X, Y))
    with pytest.raises(ValueError, match="gamma"):
        kernel.init({"gamma": np.zeros(2)})
    with pytest.raises(ValueError, match=r"position\['beta'\] has shape \(3,\)"):
        kernel.init({"beta": np.zeros(3)})
    opaque = gibbs.Gibbs(
        init=lambda key: jnp.zeros(()), step=lambda key, mu: mu, collect=lambda mu: {"mu": mu}
    )
    with pytest.raises(TypeError, match="to_state"):
        gibbs.as_kernel(opaque).init({"mu": 1.0})
    # With to_state, the same model runs from the given position.
    kernel = gibbs.as_kernel(opaque, to_state=lambda position, template: position["mu"])
    state, info = kernel.step(jax.random.key(0), kernel.init({"mu": jnp.float32(2.0)}))
    assert float(state.position["mu"]) == 2.0 and info.stats == {}
