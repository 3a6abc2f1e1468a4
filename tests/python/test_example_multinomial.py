"""examples/multinomial_digits.py: its class probabilities are the
stick-breaking ones, its NUTS model is the model its Gibbs sampler draws
from (the same log density), its pixels are scaled on the training images
alone, and a short run on a subsample of the digits classifies held-out
images and draws its figure."""

import jax.numpy as jnp
import numpy as np
import pytest
from scipy import special, stats

from example_loader import load_example


@pytest.fixture(scope="module")
def example():
    return load_example("multinomial_example", "multinomial_digits.py")


def stick_breaking(psi):
    """Class probabilities by the definition: class k takes what is left
    with probability sigmoid(psi_k); the last class takes the rest."""
    left = np.ones(psi.shape[:-1])
    out = []
    for k in range(psi.shape[-1]):
        take = special.expit(psi[..., k])
        out.append(left * take)
        left = left * (1 - take)
    return np.stack([*out, left], axis=-1)


def test_class_probabilities_are_the_stick_breaking_ones(example):
    from vexol import gibbs

    psi = np.random.default_rng(0).normal(scale=3.0, size=(50, example.CLASSES - 1))
    log_p = np.asarray(example.class_log_probabilities(jnp.asarray(psi)))
    np.testing.assert_allclose(np.exp(log_p), stick_breaking(psi), rtol=1e-12, atol=1e-300)
    np.testing.assert_allclose(np.exp(log_p).sum(axis=1), 1.0, rtol=1e-12)
    np.testing.assert_allclose(
        np.exp(log_p), np.asarray(gibbs.stick_breaking_probabilities(jnp.asarray(psi))), rtol=1e-10
    )
    # Zero coefficients give every class 1/K through the offsets.
    beta = np.zeros((3, example.CLASSES - 1, 5))
    X = np.random.default_rng(1).normal(size=(4, 5))
    np.testing.assert_allclose(example.predictive(X, beta), 1.0 / example.CLASSES, rtol=1e-12)


def test_nuts_runs_the_same_model_and_prior(example):
    numpyro_util = pytest.importorskip("numpyro.infer.util")
    rng = np.random.default_rng(3)
    n, p, K = 60, 5, example.CLASSES
    X = np.column_stack([np.ones(n), rng.normal(size=(n, p - 1))])
    y = rng.integers(0, K, size=n)
    offsets = -np.log(K - 1 - np.arange(K - 1))
    for _ in range(3):
        beta = rng.normal(scale=0.7, size=(K - 1, p))
        nuts, _ = numpyro_util.log_density(
            example.nuts_model, (jnp.asarray(X), jnp.asarray(y)), {}, {"beta": beta}
        )
        probabilities = stick_breaking(X @ beta.T + offsets)
        reference = np.sum(np.log(probabilities[np.arange(n), y])) + np.sum(
            stats.norm.logpdf(beta, 0.0, example.PRIOR_SD)
        )
        assert float(nuts) == pytest.approx(reference, abs=1e-8)


def test_pixels_are_scaled_on_the_training_images(example):
    pytest.importorskip("sklearn")
    X_train, X_test, y_train, y_test, shape = example.load_digits(0)
    assert shape == (8, 8)
    assert X_train.shape == (1347, 65) and X_test.shape == (450, 65)
    assert np.all(X_train[:, 0] == 1) and np.all(X_test[:, 0] == 1)
    pixels = X_train[:, 1:]
    live = pixels.std(axis=0) > 0
    np.testing.assert_allclose(pixels[:, live].mean(axis=0), 0.0, atol=1e-12)
    np.testing.assert_allclose(pixels[:, live].std(axis=0), 1.0, rtol=1e-12)
    # Pixels blank in every training image are 0 in both sets.
    assert (~live).sum() >= 1 and np.all(X_test[:, 1:][:, ~live] == 0.0)
    assert len(np.unique(y_train)) == example.CLASSES
    assert len(np.unique(y_test)) == example.CLASSES


def test_short_run_on_a_subsample_classifies_and_draws(example, monkeypatch, tmp_path):
    for extra in ("sklearn", "matplotlib", "arviz"):
        pytest.importorskip(extra)
    X_train, X_test, y_train, y_test, shape = example.load_digits(0)
    small = X_train[:400], X_test[:150], y_train[:400], y_test[:150], shape
    monkeypatch.setattr(example, "load_digits", lambda seed: small)
    real_raw = example._raw_images

    def raw(seed):
        train, test, a, b = real_raw(seed)
        return train[:400], test[:150], a[:400], b[:150]

    monkeypatch.setattr(example, "_raw_images", raw)
    figure = tmp_path / "digits.png"
    report = example.main(
        ["--sweeps", "150", "--warmup", "50", "--chains", "2", "--nuts-samples", "0",
         "--slow-directions", "8", "--output", str(figure)]
    )  # fmt: skip
    assert report["draws"].shape == (2, 150, (example.CLASSES - 1) * 65)
    assert report["accuracy"] > 0.85, report["accuracy"]
    assert figure.stat().st_size > 30_000
