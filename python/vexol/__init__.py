"""On-device Pólya-Gamma sampling for JAX.

The sampling itself happens in the extension module ``vexol_cpp``, whose
handlers are registered with XLA as custom calls on the CPU platform the
first time a draw is requested.

    >>> import jax
    >>> import jax.numpy as jnp
    >>> import vexol
    >>> omega = vexol.polya_gamma(jax.random.key(0), 1.0, jnp.linspace(-3, 3, 7))
    >>> density = vexol.pdf(omega, 1.0, jnp.linspace(-3, 3, 7))

Draws follow JAX's precision: float32 by default, float64 with
``jax_enable_x64`` (or ``dtype=``).
"""

from vexol._compat import IncompatibleJaxError
from vexol._density import cdf, logcdf, logpdf, logsf, mean, pdf, sf, variance
from vexol._sampling import ROW_SEED_MULTIPLIER, polya_gamma, sample, seed_from_key

__all__ = [
    "ROW_SEED_MULTIPLIER",
    "IncompatibleJaxError",
    "cdf",
    "logcdf",
    "logpdf",
    "logsf",
    "mean",
    "pdf",
    "polya_gamma",
    "sample",
    "seed_from_key",
    "sf",
    "variance",
]
__version__ = "0.2.0"
