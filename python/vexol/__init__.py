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

from vexol import _registration, _sampling
from vexol._compat import IncompatibleJaxError
from vexol._density import cdf, logcdf, logpdf, logsf, mean, pdf, sf, variance
from vexol._environment import print_environment_info
from vexol._registration import ensure_registered as register
from vexol._sampling import polya_gamma, sample, seed_from_key

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
    "print_environment_info",
    "register",
    "sample",
    "seed_from_key",
    "sf",
    "variance",
]
__version__ = "0.2.0"

#: The names of vexol's XLA custom-call targets (CPU), for example to disable
#: jax.export's safety check for each of them by name.
#:
#: Examples:
#:   >>> import vexol
#:   >>> from jax import export
#:   >>> checks = [export.DisabledSafetyCheck.custom_call(t) for t in vexol.CUSTOM_CALL_TARGETS]
#:   >>> len(checks) == len(vexol.CUSTOM_CALL_TARGETS) > 0
#:   True
CUSTOM_CALL_TARGETS = tuple(_registration._CAPSULES)

#: The constant that seeds row r of a batched call from its seed:
#: ``seed[r] ^ ((r + 1) * ROW_SEED_MULTIPLIER)`` (mod 2**64). vexol passes
#: that value for row r, so that row r of ``jax.vmap`` over keys is exactly
#: the flat call with that row's own seed.
#:
#: Examples:
#:   >>> import vexol
#:   >>> hex(vexol.ROW_SEED_MULTIPLIER)
#:   '0x9e3779b97f4a7c15'
ROW_SEED_MULTIPLIER = _sampling.ROW_SEED_MULTIPLIER
