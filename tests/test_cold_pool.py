import math

import numpy as np
import pytest

import _velmora
from conftest import assert_bits_equal
from velmora_reference import cold_pool_column

INF, NAN = np.inf, np.nan


def one(z, b, bottom=NAN, threshold=-0.5, top=NAN):
    return _velmora.cold_pool([z], [b], [bottom], threshold, [top])[:, 0]


def test_fixed_depth_worked_example():
    out = one([0, 100, 200, 300], [-1, -1, -1, -1], top=150)
    assert_bits_equal(out, [math.sqrt(300), 150, 0])


def test_threshold_worked_example():
    out = one([0, 100, 200], [-2, -1, 0], threshold=-0.5)
    assert_bits_equal(out, [math.sqrt(375), 150, 0])


@pytest.mark.parametrize("z, b, kwargs, expected", [
    ([0, 100, 200], [0, -1, -1], {}, [0, 0, 0]),  # base already at the threshold
    ([0, NAN, 200], [-1, -1, NAN], {}, [0, 0, 1]),  # base is the only valid level
    ([0, 100, 200], [-1, -1, -1], {}, [20, 200, 1]),  # threshold never reached
    ([0, 100, 200], [-1, -1, -1], {"threshold": NAN}, [20, 200, 1]),
    ([0, 100, 200], [-1, -1, -1], {"top": 250}, [NAN, NAN, NAN]),  # target above the column
    ([0, 100, 200], [-1, -1, -1], {"top": INF}, [20, 200, 1]),
    ([0, 100, 200], [-1, -1, -1], {"top": -INF}, [20, 200, 1]),
    ([0, 100, 200], [1, 1, -1], {"top": 200}, [0, 200, 0]),  # positive part outweighs
    ([0, 0, 100], [-1, -1, -1], {"top": 0}, [NAN, 0, 0]),  # 0/0 at the target
    ([0, 100, 200, 300], [5, -1, -1, -1], {"bottom": 50, "top": 150}, [math.sqrt(300), 150, 0]),
    ([0, 100], [-1, -1], {"bottom": 150}, [NAN, NAN, NAN]),  # every level below bottom
    ([NAN, INF], [-1, -1], {}, [NAN, NAN, NAN]),
    ([], [], {}, [NAN, NAN, NAN]),
])
def test_edge_cases(z, b, kwargs, expected):
    np.testing.assert_array_equal(one(z, b, **kwargs), expected)


def random_columns(rng, K, J, missing=0.1):
    z = np.cumsum(rng.uniform(10, 200, (K, J)), axis=1) - 100
    b = rng.normal(-0.5, 1.0, (K, J))
    for a in (z, b):
        a[rng.random(a.shape) < missing] = rng.choice([NAN, INF, -INF])
    bottom = np.where(rng.random(K) < 0.5, rng.uniform(-100, 300, K), NAN)
    top = np.where(rng.random(K) < 0.5, rng.uniform(-50, 2000, K), rng.choice([NAN, INF], K))
    return z, b, bottom, top


def test_matches_scalar_reference_bit_for_bit(rng):
    z, b, bottom, top = random_columns(rng, 300, 40)
    expected = np.array([cold_pool_column(z[i], b[i], bottom[i], -0.2, top[i])
                         for i in range(len(z))]).T
    for n_threads in (1, 2, 0):
        assert_bits_equal(_velmora.cold_pool(z, b, bottom, -0.2, top, n_threads), expected)


def test_bounds_are_read_flat(rng):
    z, b, bottom, top = random_columns(rng, 6, 10)
    expected = _velmora.cold_pool(z, b, bottom, -0.2, top)
    assert_bits_equal(_velmora.cold_pool(z, b, bottom.reshape(6, 1), -0.2, top.reshape(2, 3)),
                      expected)
    assert _velmora.cold_pool(np.zeros((0, 4)), np.zeros((0, 4)), [], 0.0, []).shape == (3, 0)


@pytest.mark.parametrize("z, b, bottom, top, message", [
    (np.zeros(4), np.zeros((1, 4)), [0.0], [0.0], "z and b must be 2-D"),
    (np.zeros((1, 4)), np.zeros(4), [0.0], [0.0], "z and b must be 2-D"),
    (np.zeros((1, 5)), np.zeros((1, 4)), [0.0], [0.0], "shape mismatch"),
    (np.zeros((4, 1)), np.zeros((1, 4)), [0.0], [0.0], "shape mismatch"),
    (np.zeros((1, 4)), np.zeros((1, 4)), [0.0, 0.0], [0.0], "shape mismatch"),
    (np.zeros((1, 4)), np.zeros((1, 4)), [0.0], [], "shape mismatch"),
])
def test_bad_shapes(z, b, bottom, top, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        _velmora.cold_pool(z, b, bottom, 0.0, top)
