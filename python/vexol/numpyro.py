"""The Pólya-Gamma distribution PG(h, z) as a NumPyro distribution.

NumPyro is an optional extra (``pip install "vexol[numpyro]"``): only this
module imports it, so ``import vexol`` works without it.

    >>> import numpyro
    >>> from vexol.numpyro import PolyaGamma
    >>> def model(psi):
    ...     omega = numpyro.sample("omega", PolyaGamma(1.0, psi))
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, ClassVar

import jax
import jax.numpy as jnp
from numpyro.distributions import Distribution, constraints
from numpyro.distributions.util import promote_shapes, validate_sample

import vexol
from vexol._density import cdf as _cdf
from vexol._density import logpdf as _logpdf
from vexol._density import mean as _mean
from vexol._density import variance as _variance


def _as_floating(x: Any) -> jax.Array:
    # Integer shapes such as PG(1, z) written with a literal 1 are valid;
    # the sampler wants floating point, at the default float width.
    x = jnp.asarray(x)
    return x if jnp.issubdtype(x.dtype, jnp.floating) else x.astype(float)


class PolyaGamma(Distribution):
    """PG(h, z), the Pólya-Gamma distribution with shape ``h > 0`` and tilt ``z``.

    ``h`` and ``z`` broadcast against each other to the batch shape; the
    event shape is ``()``. Draws come from :func:`vexol.polya_gamma` in one
    call per :meth:`sample`, so they are the package's stream for the key
    (``jax.vmap`` over keys gives every key its own stream). Samples have the
    floating dtype of ``h`` and ``z`` combined: float64 with 64-bit types
    enabled (``jax_enable_x64``) and float inputs given as Python numbers,
    float32 without, or for float32 arrays; float16 and bfloat16 parameters
    give float32 draws rounded to their dtype.

    ``method`` and ``implementation`` are passed to :func:`vexol.polya_gamma`
    (e.g. ``method="exact"`` for exact draws at every shape). The sampler
    runs on every platform: the C++ custom calls on the CPU, the pure-JAX
    sampler elsewhere.

    Examples:
      >>> import jax, jax.numpy as jnp, numpy as np, numpyro
      >>> from vexol.numpyro import PolyaGamma
      >>> d = PolyaGamma(1.0, jnp.array([0.0, 2.0]))        # batch shape (2,)
      >>> omega = d.sample(jax.random.key(0), (1000,))       # one vexol call
      >>> omega.shape, d.batch_shape
      ((1000, 2), (2,))
      >>> print(np.asarray(d.mean, 'f8').round(4))
      [0.25   0.1904]
      >>> d.log_prob(omega).shape
      (1000, 2)

      In a model:

      >>> def model(psi):
      ...     return numpyro.sample("omega", PolyaGamma(1.0, psi))
      >>> with numpyro.handlers.seed(rng_seed=0):
      ...     model(jnp.zeros(3)).shape
      (3,)
    """

    arg_constraints: ClassVar[dict[str, Any]] = {
        "h": constraints.positive,
        "z": constraints.real,
    }
    support = constraints.positive
    # Kept through jax.tree_util (jit, vmap of a distribution) as static data.
    pytree_aux_fields = ("method", "implementation")

    def __init__(
        self,
        h: Any,
        z: Any = 0.0,
        *,
        method: str | None = None,
        implementation: str | None = None,
        validate_args: bool | None = None,
    ) -> None:
        # Checked here, so that a misspelt name fails where it is written.
        vexol._sampling._method(method, "numpyro.PolyaGamma")
        vexol._sampling._implementation(implementation)
        self.method, self.implementation = method, implementation
        self.h, self.z = promote_shapes(_as_floating(h), _as_floating(z))
        batch_shape = jax.lax.broadcast_shapes(jnp.shape(self.h), jnp.shape(self.z))
        super().__init__(batch_shape=batch_shape, validate_args=validate_args)

    def _params_shape(self) -> tuple[int, ...]:
        # The batch shape, read from the parameters rather than from
        # batch_shape, which keeps the unmapped shape when the distribution
        # itself is mapped by jax.vmap.
        return jax.lax.broadcast_shapes(jnp.shape(self.h), jnp.shape(self.z))

    def sample(self, key: jax.Array, sample_shape: tuple[int, ...] = ()) -> jax.Array:
        shape = tuple(sample_shape) + self._params_shape()
        dtype = jnp.result_type(self.h, self.z)
        # The sampler draws in float32 or float64; narrower parameters get
        # float32 draws rounded to their own dtype, as jax.random does.
        draw_dtype = dtype if jnp.finfo(dtype).bits >= 32 else jnp.float32
        draws = vexol.polya_gamma(
            key,
            self.h,
            self.z,
            shape=shape,
            dtype=draw_dtype,
            implementation=self.implementation,
            method=self.method,
        )
        return draws.astype(dtype)

    def expand(self, batch_shape: Sequence[int]) -> PolyaGamma:
        # A PG distribution with broadcast parameters is the expanded
        # distribution, and keeps cdf, mean and variance. broadcast_to raises
        # ValueError for a shape the batch shape does not broadcast to.
        batch_shape = tuple(batch_shape)
        return PolyaGamma(
            jnp.broadcast_to(self.h, batch_shape),
            jnp.broadcast_to(self.z, batch_shape),
            method=self.method,
            implementation=self.implementation,
            validate_args=self._validate_args,
        )

    @validate_sample
    def log_prob(self, value: Any) -> jax.Array:
        return _logpdf(value, self.h, self.z)

    def cdf(self, value: Any) -> jax.Array:
        return _cdf(value, self.h, self.z)

    @property
    def mean(self) -> jax.Array:
        return jnp.broadcast_to(_mean(self.h, self.z), self._params_shape())

    @property
    def variance(self) -> jax.Array:
        return jnp.broadcast_to(_variance(self.h, self.z), self._params_shape())


__all__ = ["PolyaGamma"]
