import numpy as np
import pytest

import _velmora
from conftest import assert_bits_equal
from velmora_reference import profile_column

NAN, INF = np.nan, np.inf


def one(z, u, v, ground=0.0, bottom=0.0, top=1000.0, cu=0.0, cv=0.0):
    return _velmora.profile([z], [u], [v], [ground], bottom, top, [cu], [cv])[:, 0]


def test_worked_example():
    out = one([0, 1000], [0, 10], [10, 0])
    assert_bits_equal(out, [0, 10, 10, 0, 100, 5, 5])


Z, U, V = [0.0, 500.0, 1000.0, 2000.0], [0.0, 4.0, 10.0, 12.0], [10.0, 6.0, 0.0, -2.0]


@pytest.mark.parametrize("kwargs, rows_0_to_3", [
    ({"bottom": 500.0, "top": 1000.0}, [4, 6, 10, 0]),  # bounds on levels: no interpolation
    ({"bottom": 250.0, "top": 1500.0}, [2, 8, 11, -1]),
    ({"bottom": -1e-6, "top": 2000.0 + 0.9e-6}, [0, 10, 12, -2]),  # within the tolerance
    ({"ground": NAN, "bottom": 0.0, "top": 500.0}, [0, 10, 4, 6]),  # first valid level
    ({"ground": 500.0, "bottom": 0.0, "top": 500.0}, [4, 6, 10, 0]),
])
def test_layer_winds(kwargs, rows_0_to_3):
    out = one(Z, U, V, **kwargs)
    np.testing.assert_allclose(out[:4], rows_0_to_3, rtol=0, atol=1e-12)


@pytest.mark.parametrize("kwargs", [
    {"bottom": -1.1e-6}, {"top": 2000.0 + 1.1e-6},  # beyond the tolerance
    {"bottom": NAN}, {"top": NAN}, {"ground": -INF, "bottom": -1.0},
])
def test_failed_lookups_leave_the_column_nan(kwargs):
    assert np.isnan(one(Z, U, V, **{"top": 1000.0, **kwargs})).all()


def test_missing_storm_motion_only_loses_helicity():
    out = one(Z, U, V, cu=NAN)
    assert np.isnan(out[4]) and np.isfinite(np.delete(out, 4)).all()


@pytest.mark.parametrize("bottom, top", [(500.0, 500.0), (1000.0, 250.0)])
def test_degenerate_layers(bottom, top):
    out = one(Z, U, V, bottom=bottom, top=top, cu=1.0, cv=2.0)
    bot, tip = out[:2], out[2:4]
    single_segment = (tip[0] - 1) * (bot[1] - 2) - (tip[1] - 2) * (bot[0] - 1)
    assert out[4] == single_segment
    assert_bits_equal(out[5:], bot)


def test_constant_wind_and_storm_following_v():
    out = one(Z, [3.0] * 4, [4.0] * 4, top=2000.0, cu=1.0, cv=1.0)
    np.testing.assert_allclose(out, [3, 4, 3, 4, 0, 3, 4], atol=1e-12)
    assert one(Z, U, [2.0] * 4, top=1500.0, cv=2.0)[4] == 0.0


def random_columns(rng, K, J, missing=0.1):
    z = np.cumsum(rng.uniform(50, 400, (K, J)), axis=1)
    u, v = rng.normal(5, 10, (2, K, J))
    for a in (z, u, v):
        a[rng.random(a.shape) < missing] = rng.choice([NAN, INF, -INF])
    ground = np.where(rng.random(K) < 0.7, rng.uniform(0, 300, K), NAN)
    cu, cv = rng.normal(5, 5, (2, K))
    cu[::17] = NAN
    return z, u, v, ground, cu, cv


@pytest.mark.parametrize("bottom, top", [(0.0, 1000.0), (500.0, 3000.0), (0.0, 0.0)])
def test_matches_scalar_reference_bit_for_bit(rng, bottom, top):
    z, u, v, ground, cu, cv = random_columns(rng, 200, 20)
    expected = np.array([profile_column(z[i], u[i], v[i], ground[i], bottom, top, cu[i], cv[i])
                         for i in range(len(z))]).T
    for n_threads in (1, 2, 0):
        out = _velmora.profile(z, u, v, ground, bottom, top, cu, cv, n_threads)
        assert_bits_equal(out, expected)


def test_flat_inputs_and_empty_shapes(rng):
    z, u, v, ground, cu, cv = random_columns(rng, 5, 8)
    expected = _velmora.profile(z, u, v, ground, 0.0, 1000.0, cu, cv)
    assert_bits_equal(_velmora.profile(z.ravel(), u, v.ravel(), ground[None], 0.0, 1000.0,
                                       cu[:, None], cv), expected)
    assert _velmora.profile([], np.zeros((0, 3)), [], [], 0.0, 1.0, [], []).shape == (7, 0)
    assert np.isnan(_velmora.profile([], np.zeros((2, 0)), [], [0, 0], 0.0, 1.0, [0, 0], [0, 0])).all()


@pytest.mark.parametrize("z, u, v, ground, cu, cv, message", [
    (np.zeros(4), np.zeros(4), np.zeros(4), [0.0], [0.0], [0.0], "u must be 2-D"),
    (np.zeros(3), np.zeros((1, 4)), np.zeros(4), [0.0], [0.0], [0.0], "shape mismatch"),
    (np.zeros(4), np.zeros((1, 4)), np.zeros(5), [0.0], [0.0], [0.0], "shape mismatch"),
    (np.zeros(4), np.zeros((1, 4)), np.zeros(4), [], [0.0], [0.0], "shape mismatch"),
    (np.zeros(4), np.zeros((1, 4)), np.zeros(4), [0.0], [0.0, 1.0], [0.0], "shape mismatch"),
    (np.zeros(4), np.zeros((1, 4)), np.zeros(4), [0.0], [0.0], [], "shape mismatch"),
])
def test_bad_shapes(z, u, v, ground, cu, cv, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        _velmora.profile(z, u, v, ground, 0.0, 1.0, cu, cv)
