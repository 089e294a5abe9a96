import math

import numpy as np
import pytest

import _velmora
from conftest import THREAD_COUNTS, assert_bits_equal
from vad_reference import vad_row

QUIET_NAN_BITS = 0x7FF8000000000000


def scan(rng, rows, gates, missing=0.05, noise=1.0):
    """Radial velocities of a veering wind seen at random elevations."""
    az = np.tile(np.linspace(0.0, 2 * np.pi, gates, endpoint=False), (rows, 1))
    az += rng.normal(0.0, 0.01, az.shape)
    cos_el = np.cos(rng.uniform(0.01, 0.3, rows))
    u = rng.normal(5, 5, rows)[:, None]
    v = rng.normal(5, 5, rows)[:, None]
    vr = (u * np.sin(az) + v * np.cos(az)) * cos_el[:, None] + rng.normal(0, noise, az.shape)
    vr += 0.5 * np.sin(2 * az)
    gaps = rng.random(az.shape) < missing
    vr[gaps] = rng.choice([np.nan, np.inf, -np.inf], gaps.sum())
    az[rng.random(az.shape) < missing / 5] = np.nan
    return vr, az, cos_el


def reference(vr, az, cos_el, min_gates, min_spread):
    cols = [vad_row(list(vr[i]), list(az[i]), float(cos_el.flat[i]), min_gates, min_spread)
            for i in range(vr.shape[0])]
    return np.array(cols, dtype=np.float64).T.reshape(8, vr.shape[0])


@pytest.mark.parametrize("min_gates, min_spread", [(3, 0.1), (30, 0.2), (3, 0.0), (3, -1.0)])
def test_matches_scalar_reference_bit_for_bit(rng, min_gates, min_spread):
    vr, az, cos_el = scan(rng, 12, 37, missing=0.2)
    vr[3, 5:] = np.nan  # a row with too few samples
    az[4] = 1.25  # a row with one azimuth
    az[5, ::2] = 0.0  # a row with a degenerate second harmonic
    out = _velmora.vad(vr, az, cos_el, min_gates, min_spread)
    assert_bits_equal(out, reference(vr, az, cos_el, min_gates, min_spread))


def test_identical_for_every_thread_count(rng):
    vr, az, cos_el = scan(rng, 1000, 50)  # 16 blocks of 64 rows
    first = _velmora.vad(vr, az, cos_el, 5, 0.1, n_threads=1)
    for n in THREAD_COUNTS:
        assert_bits_equal(_velmora.vad(vr, az, cos_el, 5, 0.1, n_threads=n), first)


def test_exact_wind_is_recovered():
    az = np.linspace(0, 2 * np.pi, 72, endpoint=False)[None, :]
    vr = 2 + 0.9 * (10 * np.sin(az) + 5 * np.cos(az))
    out = _velmora.vad(vr, az, [0.9], 3, 0.1)
    np.testing.assert_allclose(out[:3, 0], [10, 5, 2], atol=1e-12)
    assert out[3, 0] < 1e-12 and out[4, 0] == 72
    np.testing.assert_allclose(out[5:, 0], [2, 0, 0], atol=1e-12)


def test_unwritten_elements_are_the_positive_quiet_nan():
    az = np.full((2, 10), 0.5)
    out = _velmora.vad(np.ones((2, 10)), az, [1.0, 1.0], 3, 0.1)
    bits = out.view(np.uint64)
    assert (np.delete(bits, 4, axis=0) == QUIET_NAN_BITS).all()
    assert (out[4] == 10).all()


@pytest.mark.parametrize("vr, az, min_gates, n_valid", [
    ([1.0, 2.0], [0.0, 1.0], 0, 2),  # fewer than 3 samples
    ([1.0, 2.0, 3.0, 4.0], [0.0, 1.0, 2.0, 3.0], 5, 4),  # fewer than min_gates
    ([1.0, np.nan, np.inf, -np.inf, 5.0], [0.0, 1.0, 2.0, 3.0, 4.0], 0, 2),
    ([1.0, 2.0, 3.0, 4.0], [0.0, np.nan, np.inf, -np.inf], 0, 1),
])
def test_too_few_valid_samples_give_only_the_count(vr, az, min_gates, n_valid):
    out = _velmora.vad([vr], [az], [1.0], min_gates, 0.0)
    assert out[4, 0] == n_valid
    assert np.isnan(np.delete(out[:, 0], 4)).all()


def test_four_cardinal_azimuths_accept_only_the_first_harmonic():
    az = np.array([[0, np.pi / 2, np.pi, 3 * np.pi / 2]])
    vr = 3 * np.sin(az) + 4 * np.cos(az)
    out = _velmora.vad(vr, az, [1.0], 4, 0.1)
    np.testing.assert_allclose(out[:2, 0], [3, 4], atol=1e-12)
    assert np.isnan(out[5:, 0]).all()


@pytest.mark.parametrize("min_spread", [np.nan, 0.26])
def test_unreachable_spread_rejects_both_fits(min_spread):
    az = np.linspace(0, 2 * np.pi, 36, endpoint=False)[None, :]
    out = _velmora.vad(np.sin(az), az, [1.0], 3, min_spread)
    assert out[4, 0] == 36
    assert np.isnan(np.delete(out[:, 0], 4)).all()


def test_coincident_azimuths_with_nonpositive_spread_raise_nothing():
    out = _velmora.vad(np.ones((1, 8)), np.zeros((1, 8)), [1.0], 3, 0.0)
    assert out[4, 0] == 8
    assert np.isnan(np.delete(out[:, 0], 4)).all()


def test_zero_cos_el_affects_only_the_wind_rows():
    az = np.linspace(0, 2 * np.pi, 36, endpoint=False)[None, :]
    out = _velmora.vad(1 + np.sin(az), az, [0.0], 3, 0.1)
    assert np.isinf(out[0, 0]) and np.isfinite(out[2:, 0]).all()


@pytest.mark.parametrize("shape, expected", [((0, 5), (8, 0)), ((3, 0), (8, 3))])
def test_empty_inputs(shape, expected):
    out = _velmora.vad(np.zeros(shape), np.zeros(shape), np.ones(shape[0]), 3, 0.1)
    assert out.shape == expected
    if shape[1] == 0:
        assert (out[4] == 0).all() and np.isnan(np.delete(out, 4, axis=0)).all()


@pytest.mark.parametrize("cos_shape", [(6,), (6, 1), (1, 6), (2, 3)])
def test_cos_el_is_read_flat(rng, cos_shape):
    vr, az, cos_el = scan(rng, 6, 20)
    expected = _velmora.vad(vr, az, cos_el, 3, 0.1)
    assert_bits_equal(_velmora.vad(vr, az, cos_el.reshape(cos_shape), 3, 0.1), expected)


@pytest.mark.parametrize("vr, az, cos_el, message", [
    (np.zeros(4), np.zeros((1, 4)), [1.0], "vr, az must be 2-D"),
    (np.zeros((1, 4)), np.zeros((1, 1, 4)), [1.0], "vr, az must be 2-D"),
    (np.zeros((2, 4)), np.zeros((2, 5)), [1.0, 1.0], "shape mismatch"),
    (np.zeros((2, 4)), np.zeros((3, 4)), [1.0, 1.0], "shape mismatch"),
    (np.zeros((2, 4)), np.zeros((2, 4)), [1.0], "shape mismatch"),
    (np.zeros((2, 4)), np.zeros((2, 4)), np.ones((2, 2)), "shape mismatch"),
])
def test_bad_shapes_are_rejected_with_their_message(vr, az, cos_el, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        _velmora.vad(vr, az, cos_el, 3, 0.1)


def test_min_gates_compares_as_double():
    # A huge min_gates rejects every row; no overflow or wrap-around.
    out = _velmora.vad(np.ones((1, 5)), np.arange(5.0)[None], [1.0], 2**63 - 1, 0.0)
    assert out[4, 0] == 5 and np.isnan(out[0, 0])
    assert math.isnan(_velmora.vad(np.ones((1, 5)), np.arange(5.0)[None], [1.0], 6, 0.0)[0, 0])
