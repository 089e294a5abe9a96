"""Ensemble statistics against a scalar reference."""

import math
import subprocess
import sys

import numpy as np
import pytest

import _ensemble

F32_MAX = 3.4028234663852886e38


def reference(values, levels, min_valid):
    """Member-order sums, a sorted list and the interpolation, in Python floats."""
    members, n = values.shape
    levels = [float(q) for q in np.ravel(levels)]
    mean, std, pct = np.full(n, np.nan), np.full(n, np.nan), np.full((len(levels), n), np.nan)
    for j in range(n):
        x = [float(values[i, j]) for i in range(members) if abs(float(values[i, j])) <= F32_MAX]
        v = len(x)
        if v == 0 or v < min_valid:
            continue
        total = 0.0
        for e in x:
            total += e
        mean[j] = total / v
        if v > 1:
            q = 0.0
            for e in x:
                q += (e - mean[j]) * (e - mean[j])
            std[j] = math.sqrt(q / (v - 1))
        s = sorted(x)
        for k, level in enumerate(levels):
            h = (level / 100.0) * float(v - 1)
            lo = math.floor(h)
            hi = min(lo + 1, v - 1)
            pct[k, j] = (s[hi] - s[lo]) * (h - lo) + s[lo]
    return mean, std, pct


def same_bits(a, b):
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


@pytest.fixture
def rng():
    return np.random.default_rng(20261209)


def ensemble(rng, members, n):
    x = rng.normal(5.0, 3.0, (members, n)).astype(np.float32)
    bad = rng.random((members, n))
    x[bad < 0.08] = np.nan
    x[(bad >= 0.08) & (bad < 0.1)] = np.inf
    x[(bad >= 0.1) & (bad < 0.11)] = -np.inf
    x[:, :3] = np.nan  # points without any valid member
    x[1:, 3] = np.nan  # a point with one valid member
    return x


@pytest.mark.parametrize("members, n", [(1, 40), (7, 300), (50, 40), (17, 5), (130, 20), (64, 33),
                                        (4100, 18)])
@pytest.mark.parametrize("min_valid", [-3, 0, 1, 6])
def test_matches_scalar_reference_bit_for_bit(rng, members, n, min_valid):
    x = ensemble(rng, members, n)
    levels = np.array([0.0, 100.0, 50.0, 12.5, 99.9, 1e-300, 33.3])
    out = _ensemble.statistics(x, levels, min_valid, n_threads=1)
    for got, want in zip(out, reference(x, levels, min_valid)):
        assert same_bits(got, want)


def test_worked_example_in_any_member_order():
    for order in ([1, 2, 3, 4], [4, 2, 1, 3], [3, 4, 2, 1]):
        mean, std, pct = _ensemble.statistics(np.array(order, np.float32)[:, None],
                                              [0, 25, 50, 100], 1)
        assert mean[0] == 2.5 and std[0] == math.sqrt(5 / 3)
        assert pct[:, 0].tolist() == [1.0, 1.75, 2.5, 4.0]


def test_thread_count_does_not_change_bits(rng):
    x = ensemble(rng, 20, 2000)
    expected = _ensemble.statistics(x, [5, 50, 95], 2, n_threads=1)
    for n_threads in [2, 0, 7]:
        for got, want in zip(_ensemble.statistics(x, [5, 50, 95], 2, n_threads), expected):
            assert same_bits(got, want)


def test_min_valid_boundary():
    x = np.array([[1.0, 1.0], [2.0, np.nan], [np.nan, np.nan]], np.float32)
    mean = _ensemble.statistics(x, 50, 2)[0]
    assert mean[0] == 1.5 and math.isnan(mean[1])


def test_percentile_shapes_are_read_flat(rng):
    x = ensemble(rng, 9, 30)
    flat = _ensemble.statistics(x, np.arange(6.0) * 20, 1)[2]
    assert same_bits(_ensemble.statistics(x, (np.arange(6.0) * 20).reshape(2, 3), 1)[2], flat)
    assert same_bits(_ensemble.statistics(x, 40.0, 1)[2], flat[2:3])
    assert _ensemble.statistics(x, [], 1)[2].shape == (0, 30)


def test_empty_inputs():
    mean, std, pct = _ensemble.statistics(np.zeros((5, 0), np.float32), [10, 90], 1)
    assert mean.shape == std.shape == (0,) and pct.shape == (2, 0)
    mean, std, pct = _ensemble.statistics(np.zeros((0, 4), np.float32), [10, 90], 1)
    assert np.isnan(mean).all() and np.isnan(std).all() and np.isnan(pct).all()
    assert pct.view(np.uint64).tolist() == [[0x7FF8000000000000] * 4] * 2


def test_float64_values_beyond_float32_are_skipped():
    x = np.array([[1.0], [3.0], [1e39], [-1e300]])
    with np.errstate(over="ignore"):  # NumPy's cast warns on the overflow
        mean, std, pct = _ensemble.statistics(x, [0, 100], 1)
    assert mean[0] == 2.0 and pct[:, 0].tolist() == [1.0, 3.0]


@pytest.mark.parametrize("levels", [[-1e-9], [100.000001], [50, np.nan], [np.inf]])
def test_levels_outside_0_to_100_are_rejected(levels):
    with pytest.raises(ValueError, match="^percentiles must be between 0 and 100$"):
        _ensemble.statistics(np.zeros((3, 5), np.float32), levels, 1)


def test_values_must_be_two_dimensional():
    for bad in (np.zeros(4, np.float32), np.zeros((2, 2, 2), np.float32)):
        with pytest.raises(ValueError, match=r"^values must be \(members, n\)$"):
            _ensemble.statistics(bad, [-5.0], 1)  # the shape is checked first


def test_scratch_stays_within_what_a_block_reads():
    # One point of 4,000,000 members (16 MB): scratch for 16 points side by
    # side would take 256 MB.
    code = """
import resource, numpy as np, _ensemble
x = np.linspace(0, 1, 4_000_000, dtype=np.float32)[:, None]
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
mean, std, pct = _ensemble.statistics(x, [0, 100], 1, n_threads=1)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before, pct[:, 0].tolist())
"""
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    grown_kib, pct = proc.stdout.split(maxsplit=1)
    assert int(grown_kib) < 40 << 10 and pct.strip() == "[0.0, 1.0]"
