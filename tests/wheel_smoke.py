"""Smoke check of an installed wheel, run from outside the repository.

Every kernel once through the public package, on the README's small inputs
with their known results; any failure raises.
"""

import pathlib

import numpy as np

import velmora

assert "site-packages" in pathlib.Path(velmora.__file__).parts, velmora.__file__
assert velmora.__version__ != "0.0.0+unknown"

az = np.linspace(0, 2 * np.pi, 360, endpoint=False)[None, :]
u, v, *_ = velmora.vad(2 + 0.9 * (10 * np.sin(az) + 5 * np.cos(az)), az, [0.9], 3, 0.1)
np.testing.assert_allclose([u[0], v[0]], [10, 5], rtol=1e-12)

x, y = np.array([0.0, 1.0, 3.0]), np.array([0.0, 2.0])
dfdx, dfdy = velmora.gradient((2 * x + 3 * y[:, None])[None], x, y)
np.testing.assert_allclose([dfdx, dfdy], [np.full((1, 2, 3), 2.0), np.full((1, 2, 3), 3.0)])

layer = velmora.profile([0, 1000], [[0, 10]], [10, 0], [0], 0.0, 1000.0, [0], [0])
np.testing.assert_allclose(layer[:, 0], [0, 10, 10, 0, 100, 5, 5])

pool = velmora.cold_pool([[0, 100, 200]], [[-2, -1, 0]], [np.nan], -0.5, [np.nan])
np.testing.assert_allclose(pool[:, 0], [np.sqrt(375), 150, 0])

r, theta, theta_v, theta_e = velmora.thermo([300.0], [100000.0], [290.0])
np.testing.assert_allclose([r[0], theta_e[0]], [0.01216, 335.86], rtol=1e-3)

n = 4
fields = [np.full(n, 30.0), np.full(n, 1.0), np.zeros(n), np.full(n, 0.98), np.full(n, 5.0)]
ens = velmora.perturb(*fields, 31, np.full((6, n), 0.1), np.zeros(20), np.zeros(20), 7, 42, 0)
assert ens.shape == (20, 5, 4) and np.isfinite(ens).all()
assert velmora.words(7, 42, 0, 0, 3).dtype == np.uint64

mean, std, pct = velmora.statistics([[1], [2], [3], [4]], [0, 25, 50, 100], 1)
np.testing.assert_allclose(pct[:, 0], [1, 1.75, 2.5, 4])
code, share = velmora.mode([[0, 2], [1, 2], [1, 9]], 3, 1)
np.testing.assert_allclose([code, share], [[1, 2], [2 / 3, 1]])

# The radar module's kernels: one sweep of a known wind, fitted, then folded and unfolded.
from velmora import _radar  # noqa: E402

az_ray = np.linspace(0, 2 * np.pi, 360, endpoint=False)
vr = (2 + 0.9 * (10 * np.sin(az_ray) + 5 * np.cos(az_ray)))[:, None].repeat(3, axis=1)
fits = _radar.vad_sweeps([(vr.astype(np.float32), None, az_ray, np.full(360, 0.9),
                           np.zeros((0, 2)), 0, 3)], 3, 0.1)
np.testing.assert_allclose(fits[:2], [[10] * 3, [5] * 3], rtol=1e-5)
folded = (vr + 8.0) % 16.0 - 8.0
unfolded, folds, unresolved = _radar.unfold(folded.ravel(), np.rad2deg(az_ray), [[360, 3]], [8.0])
assert unfolded.shape == (1080,) and folds.dtype == np.int8 and unresolved.dtype == bool
assert unresolved.mean() < 0.1
np.testing.assert_allclose(unfolded[~unresolved], vr.ravel()[~unresolved], atol=1e-9)
print(f"velmora {velmora.__version__} from {pathlib.Path(velmora.__file__).parent}: "
      "11 kernels ok")
