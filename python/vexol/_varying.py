"""Types of values under shard_map: the mesh axes a value varies over.

Newer JAX releases record, in a traced value's type, the shard_map mesh axes
it varies over, and require both branches of a conditional and the carry of
a loop to keep one type. A value built from constants varies over none, so
a loop whose carry starts from constants but picks up a sharded input in
its body, or a custom call whose result reports no axes, needs its type
widened by hand. Releases that do not track these types need nothing.
"""

from __future__ import annotations

import jax
from jax import lax


def varying_axes(x) -> frozenset:
    """The mesh axes a traced value varies over (empty where untracked)."""
    aval = jax.typeof(x)
    manual = getattr(aval, "manual_axis_type", None)
    if manual is not None:
        return frozenset(manual.varying)
    return frozenset(getattr(aval, "vma", ()))


def vary(x, axes: frozenset):
    """`x`, typed as varying over `axes` as well as its own axes."""
    missing = tuple(sorted(frozenset(axes) - varying_axes(x)))
    if not missing:
        return x
    if hasattr(lax, "pcast"):
        return lax.pcast(x, missing, to="varying")
    return lax.pvary(x, missing)  # its name in the releases that introduced these types


def vary_like(x, *others):
    """`x`, typed as varying over every axis that one of `others` varies over."""
    return vary(x, frozenset().union(*map(varying_axes, others)))


def _axes(*values) -> frozenset:
    """The union of the mesh axes of every array leaf of `values`."""
    return frozenset().union(*map(varying_axes, jax.tree_util.tree_leaves(values)))


def uniform_carry(init, *context):
    """A loop's initial carry with every array leaf varying over the union
    of the axes of all its leaves and of `context` (the values the body
    computes from), so that a body mixing them keeps the carry's type: a
    carry that starts from constants varies over none."""
    axes = _axes(init, context)
    return jax.tree_util.tree_map(lambda x: vary(x, axes), init) if axes else init


def cond(pred, true_fn, false_fn, *context):
    """lax.cond whose branches' outputs vary over the axes of `pred` and of
    every array in `context` (the values the branches are computed from):
    a branch that skips work returns constants, which vary over none, while
    the other returns values computed from the sharded inputs."""
    axes = _axes(pred, context)

    def typed(fn):
        return lambda: jax.tree_util.tree_map(lambda x: vary(x, axes), fn())

    return lax.cond(pred, typed(true_fn), typed(false_fn))
