"""Exact PG(h, z) for 0 < h < 1 by inverting vexol's CDF."""


def draw(key, h, z, active):
    raise NotImplementedError(
        'method="exact" for h < 1 (inversion of the CDF) is not implemented yet'
    )
