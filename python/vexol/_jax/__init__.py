"""PG(h, z) sampling in pure JAX: the C++ sampler's methods as vectorised
rejection loops, for backends that cannot run vexol's CPU custom calls.

The entry point is `draw` (vexol._jax.dispatch); the methods are:

- devroye: exact PG(1, z) (Devroye's alternating series);
- alternate: exact PG(h, z) for 1 <= h <= 4 (Windle, Polson and Scott's
  alternate sampler), summed in pieces for 4 < h < 8;
- saddle: the saddle-point approximation for 8 <= h <= 50;
- series: the normal approximation (h > 50) and the truncated gamma series
  (h < 1);
- inversion: exact PG(h, z) for h < 1 by inverting vexol's own CDF.
"""

from vexol._jax.dispatch import METHODS, draw

__all__ = ["METHODS", "draw"]
