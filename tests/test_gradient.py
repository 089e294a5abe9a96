import numpy as np
import pytest

import _velmora
from conftest import assert_bits_equal
from velmora_reference import gradient

NAN = np.nan


def grid(rng, nx=7, ny=5):
    x = np.cumsum(rng.uniform(0.5, 2.0, nx))
    y = np.cumsum(rng.uniform(0.5, 2.0, ny))
    return x, y


def test_linear_field_on_a_non_uniform_grid(rng):
    x, y = grid(rng)
    f = (2 * x[None, None, :] + 3 * y[None, :, None]).repeat(2, axis=0)
    out = _velmora.gradient(f, x, y)
    np.testing.assert_allclose(out[0], 2, rtol=1e-12)
    np.testing.assert_allclose(out[1], 3, rtol=1e-12)


def test_a_gap_switches_its_neighbours_to_one_sided_differences():
    x, y = np.arange(5.0) ** 2, np.arange(4.0) * 3
    f = np.add.outer(y, x)[None].copy()
    f[0, 2, 2] = NAN
    out = _velmora.gradient(f, x, y)
    assert np.isnan(out[:, 0, 2, 2]).all()
    assert out[0, 0, 2, 1] == (f[0, 2, 1] - f[0, 2, 0]) / (x[1] - x[0])  # backward
    assert out[0, 0, 2, 3] == (f[0, 2, 4] - f[0, 2, 3]) / (x[4] - x[3])  # forward
    assert out[1, 0, 1, 2] == (f[0, 1, 2] - f[0, 0, 2]) / (y[1] - y[0])


def test_gaps_on_both_sides_lose_only_that_axis():
    f = np.ones((1, 3, 3))
    f[0, 1, 0] = f[0, 1, 2] = np.inf
    out = _velmora.gradient(f, [0, 1, 2], [0, 1, 2])
    assert np.isnan(out[0, 0, 1, 1]) and out[1, 0, 1, 1] == 0.0


def test_matches_scalar_reference_bit_for_bit(rng):
    x, y = grid(rng, 9, 11)
    f = rng.normal(size=(3, 11, 9))
    f[rng.random(f.shape) < 0.15] = rng.choice([NAN, np.inf, -np.inf])
    x[4] = x[3]  # equal coordinates divide by zero
    expected = gradient(f, x, y)
    for n_threads in (1, 2, 0):
        assert_bits_equal(_velmora.gradient(f, x, y, n_threads), expected)


@pytest.mark.parametrize("shape", [(0, 3, 4), (2, 0, 4), (2, 3, 0), (1, 1, 1), (1, 1, 5), (1, 5, 1)])
def test_degenerate_shapes(rng, shape):
    f = rng.normal(size=shape)
    out = _velmora.gradient(f, np.arange(shape[2]), np.arange(shape[1]))
    assert out.shape == (2,) + shape
    if shape[2] == 1:
        assert np.isnan(out[0]).all()
    if shape[1] == 1:
        assert np.isnan(out[1]).all()


def test_coordinates_are_read_flat(rng):
    x, y = grid(rng)
    f = rng.normal(size=(2, 5, 7))
    assert_bits_equal(_velmora.gradient(f, x[None], y[:, None]), _velmora.gradient(f, x, y))


@pytest.mark.parametrize("f, x, y, message", [
    (np.zeros((3, 4)), np.zeros(4), np.zeros(3), "f must be 3-D (batch, y, x)"),
    (np.zeros((1, 3, 4)), np.zeros(3), np.zeros(3), "coordinate size"),
    (np.zeros((1, 3, 4)), np.zeros(3), np.zeros(4), "coordinate size"),  # x checked first
    (np.zeros((1, 3, 4)), np.zeros(4), np.zeros(4), "coordinate size"),
])
def test_bad_shapes(f, x, y, message):
    with pytest.raises(ValueError, match=f"^{message.replace('(', '[(]').replace(')', '[)]')}$"):
        _velmora.gradient(f, x, y)
