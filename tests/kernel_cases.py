"""One ordinary call of every threaded kernel, at a chosen size, for the
tests that exercise the frame rather than a kernel's arithmetic."""

import numpy as np

import _ensemble
import _velmora


def calls(rng, scale=1):
    """{name: (kernel, args)} with inputs of about `scale` x 10^4 elements."""
    n = 10_000 * scale
    K, J = n // 20, 20
    z = np.cumsum(rng.uniform(10, 200, (K, J)), axis=1)
    z[rng.random(z.shape) < 0.05] = np.nan
    wind = rng.normal(5, 5, (2, K, J))
    rows = max(1, n // 100)
    az = rng.uniform(0, 2 * np.pi, (rows, 100))
    vr = 3 * np.sin(az) + rng.normal(0, 1, az.shape)
    grid = rng.normal(size=(max(1, n // 2500), 50, 50))
    members = rng.normal(30, 10, (20, n // 20)).astype(np.float32)
    members[rng.random(members.shape) < 0.05] = np.nan
    fields = [rng.normal(size=n // 10) for _ in range(5)]
    return {
        "thermo": (_velmora.thermo, (rng.uniform(250, 300, n), rng.uniform(5e4, 1e5, n),
                                     rng.uniform(240, 290, n))),
        "cold_pool": (_velmora.cold_pool, (z, -np.abs(wind[0]) / 10, np.full(K, np.nan), -0.2,
                                           np.where(rng.random(K) < 0.5, 500.0, np.nan))),
        "profile": (_velmora.profile, (z, wind[0], wind[1], np.full(K, np.nan), 0.0, 1000.0,
                                       np.zeros(K), np.zeros(K))),
        "gradient": (_velmora.gradient, (grid, np.arange(50.0), np.arange(50.0) ** 1.5)),
        "vad": (_velmora.vad, (vr, az, np.ones(rows), 3, 0.1)),
        "perturb": (_ensemble.perturb, (*fields, 31, np.full((6, n // 10), 0.1),
                                        np.zeros(10), np.zeros(10), 1, 2, 0)),
        "statistics": (_ensemble.statistics, (members, [10.0, 50.0, 90.0], 1)),
        "mode": (_ensemble.mode, (np.floor(members / 10), 8, 1)),
    }


def as_tuple(result):
    return result if isinstance(result, tuple) else (result,)
