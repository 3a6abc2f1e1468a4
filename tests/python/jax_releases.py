"""What differs between the JAX releases the tests run on, from the oldest
supported one (CI's second environment) to the newest. Importing it has no
side effect beyond importing jax, so that tests in fresh processes can use
it before anything is registered."""

import functools
import importlib.metadata
import re

import jax
import jax.experimental


def _release(distribution):
    version = importlib.metadata.version(distribution)
    return tuple(int(part) for part in re.findall(r"\d+", version)[:3])


JAXLIB_RELEASE = _release("jaxlib")


def x64_disabled():
    """A context in which 64-bit types are off: `jax.enable_x64(False)`
    from jax 0.8 on, `jax.experimental.disable_x64()` before."""
    if hasattr(jax, "enable_x64"):
        return jax.enable_x64(False)
    return jax.experimental.disable_x64()


def assert_refused(error, message=None):
    """A call refused through the runtime: the JaxRuntimeError carries the
    handler's message where it has one, with status INVALID_ARGUMENT (the
    handlers' code 3) on runtimes from 0.9 on, which report the handler's
    status as it is; older ones may put another status and text before it
    (0.5.3 reports "FAILED_PRECONDITION: Buffer Definition Event: ...")."""
    text = str(error)
    if message is not None:
        assert message in text, text
    if JAXLIB_RELEASE >= (0, 9):
        expected = "INVALID_ARGUMENT: " + (message or "")
        assert expected in text, text


def shard_map():
    """`jax.shard_map` (jax 0.7 on), or `jax.experimental.shard_map`'s with
    check_rep=False: that one has no replication rule for the custom_vmap
    that vexol's calls are wrapped in, and refuses them unless told not to
    check (a limit users of those releases meet too; the README says so)."""
    if hasattr(jax, "shard_map"):
        return jax.shard_map
    from jax.experimental.shard_map import shard_map as experimental

    return functools.partial(experimental, check_rep=False)


def prunes_platform_branches():
    """Whether this JAX leaves the other platforms' branches of
    lax.platform_dependent out of a lowered program. Older releases lower
    them all and XLA folds the choice when it compiles for one platform."""
    import jax

    def f(x):
        return jax.lax.platform_dependent(x, cpu=lambda x: x + 1.0, default=lambda x: x * 3.0)

    lowered = jax.jit(f).trace(1.0).lower(lowering_platforms=("cuda",))
    return "stablehlo.add" not in lowered.as_text()
