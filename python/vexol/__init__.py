"""Pólya-Gamma sampling for JAX, on every backend.

On the CPU the sampling happens in the extension module ``vexol_cpp``,
whose handlers are registered with XLA as custom calls the first time a
draw is requested; on other platforms a pure-JAX implementation of the same
methods draws instead, chosen per platform when the program is lowered.

    >>> import jax
    >>> import jax.numpy as jnp
    >>> import vexol
    >>> omega = vexol.polya_gamma(jax.random.key(0), 1.0, jnp.linspace(-3, 3, 7))
    >>> density = vexol.pdf(omega, 1.0, jnp.linspace(-3, 3, 7))

Draws follow JAX's precision: float32 by default, float64 with
``jax_enable_x64`` (or ``dtype=``).
"""

from vexol import _registration
from vexol._compat import IncompatibleJaxError
from vexol._density import cdf, logcdf, logpdf, logsf, mean, pdf, sf, variance
from vexol._registration import ensure_registered as register
from vexol._sampling import ROW_SEED_MULTIPLIER, polya_gamma, sample, seed_from_key

__all__ = [
    "CUSTOM_CALL_TARGETS",
    "ROW_SEED_MULTIPLIER",
    "IncompatibleJaxError",
    "cdf",
    "logcdf",
    "logpdf",
    "logsf",
    "mean",
    "pdf",
    "polya_gamma",
    "register",
    "sample",
    "seed_from_key",
    "sf",
    "variance",
]
__version__ = "0.2.0"

#: The names of vexol's XLA custom-call targets (CPU), for example to disable
#: jax.export's safety check for each of them by name.
CUSTOM_CALL_TARGETS = tuple(_registration._CAPSULES)
