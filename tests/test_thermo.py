import math

import numpy as np
import pytest

import _velmora
from conftest import assert_bits_equal
from velmora_reference import thermo_point


def test_worked_point():
    r, theta, theta_v, theta_e = _velmora.thermo(300.0, 100000.0, 290.0)[:, 0]
    assert theta == 300.0  # a pressure ratio of 1 leaves T unchanged
    assert r == pytest.approx(0.0121624, abs=1e-7)
    assert theta_v == pytest.approx(302.191, abs=1e-3)
    assert theta_e == pytest.approx(335.865, abs=1e-3)


def test_matches_scalar_reference_bit_for_bit(rng):
    n = 5000
    t = rng.uniform(200, 320, n)
    p = rng.uniform(10000, 105000, n)
    td = t - rng.uniform(-5, 40, n)  # some dew points above the temperature
    expected = np.array([thermo_point(*map(float, q)) for q in zip(t, p, td)]).T
    for n_threads in (1, 2, 0):
        assert_bits_equal(_velmora.thermo(t, p, td, n_threads=n_threads), expected)


def test_dew_point_above_temperature_means_saturated():
    out = _velmora.thermo(300.0, 90000.0, 305.0)
    assert_bits_equal(out, _velmora.thermo(300.0, 90000.0, 300.0))


@pytest.mark.parametrize("t, p, td, nan_rows", [
    (300.0, 90000.0, np.nan, [0, 2, 3]),  # theta survives a missing dew point
    (np.nan, 90000.0, 290.0, [0, 1, 2, 3]),
    (300.0, np.nan, 290.0, [0, 1, 2, 3]),
])
def test_missing_values_propagate(t, p, td, nan_rows):
    out = _velmora.thermo(t, p, td)[:, 0]
    assert [k for k in range(4) if math.isnan(out[k])] == nan_rows


def test_shapes_are_read_flat():
    t = np.linspace(250, 300, 6).reshape(2, 3)
    p = np.linspace(50000, 100000, 6)
    td = np.linspace(240, 290, 6).reshape(3, 2)
    out = _velmora.thermo(t, p, td)
    assert out.shape == (4, 6)
    assert_bits_equal(out, _velmora.thermo(t.ravel(), p, td.ravel()))
    assert _velmora.thermo([], [], []).shape == (4, 0)


@pytest.mark.parametrize("p, td", [(np.ones(5), np.ones(6)), (np.ones(6), np.ones(7))])
def test_size_mismatch(p, td):
    with pytest.raises(ValueError, match="^size mismatch$"):
        _velmora.thermo(np.ones(6), p, td)
