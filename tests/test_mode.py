"""Ensemble mode against a scalar reference."""

import math
import subprocess
import sys

import numpy as np
import pytest

import _ensemble

F32_MAX = 3.4028234663852886e38


def reference(values, n_codes, min_valid):
    members, n = values.shape
    code, fraction = np.full(n, np.nan), np.full(n, np.nan)
    for j in range(n):
        counts = {}
        for i in range(members):
            x = float(values[i, j])
            if abs(x) <= F32_MAX and 0 <= math.trunc(x) < n_codes:
                counts[math.trunc(x)] = counts.get(math.trunc(x), 0) + 1
        total = sum(counts.values())
        if total == 0 or total < min_valid:
            continue
        best = max(counts.values())
        code[j] = min(c for c, k in counts.items() if k == best)
        fraction[j] = best / total
    return code, fraction


def same_bits(a, b):
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


@pytest.fixture
def rng():
    return np.random.default_rng(20261210)


def codes(rng, members, n, n_codes):
    x = rng.uniform(-1.5, n_codes + 0.5, (members, n)).astype(np.float32)
    x[rng.random((members, n)) < 0.1] = np.nan
    x[rng.random((members, n)) < 0.02] = rng.choice([np.inf, -np.inf, 2.0**63, -2.0**63, 3e38])
    return x


@pytest.mark.parametrize("n_codes", [1, 3, 10, 600, 5000])
@pytest.mark.parametrize("members, min_valid", [(1, 1), (9, 0), (40, 5), (40, -2)])
def test_matches_scalar_reference_bit_for_bit(rng, n_codes, members, min_valid):
    x = codes(rng, members, 300, n_codes)
    out = _ensemble.mode(x, n_codes, min_valid, n_threads=1)
    for got, want in zip(out, reference(x, n_codes, min_valid)):
        assert same_bits(got, want)


@pytest.mark.parametrize("members, n_codes, expected", [
    ([1, 2, 2, 3, np.nan], 4, (2.0, 0.5)),
    ([3, 1, 3, 1], 4, (1.0, 0.5)),  # ties go to the lowest code
    ([2.0, 2.7, 2.2, 1.0], 4, (2.0, 0.75)),  # truncated toward zero
    ([-0.5, -1.0, -0.99, 0.5], 4, (0.0, 1.0)),  # -1.0 is not counted
    ([3, 3, 0], 3, (0.0, 1.0)),  # codes at or above n_codes are not counted
    ([0.9, -0.9, 0.0], 1, (0.0, 1.0)),
    ([2.0**63, -2.0**63, 2.0**64, 1], 2, (1.0, 1.0)),
])
def test_worked_examples(members, n_codes, expected):
    code, fraction = _ensemble.mode(np.array(members, np.float32)[:, None], n_codes, 1)
    assert (code[0], fraction[0]) == expected


def test_min_valid_boundary():
    x = np.array([[1, 1], [1, np.nan], [0, np.nan]], np.float32)
    code, fraction = _ensemble.mode(x, 2, 2)
    assert code[0] == 1.0 and fraction[0] == 2 / 3
    assert math.isnan(code[1]) and math.isnan(fraction[1])


def test_thread_count_does_not_change_bits(rng):
    x = codes(rng, 25, 3000, 7)
    expected = _ensemble.mode(x, 7, 1, n_threads=1)
    for n_threads in [2, 0, 5]:
        for got, want in zip(_ensemble.mode(x, 7, 1, n_threads), expected):
            assert same_bits(got, want)


def test_empty_inputs():
    assert [a.shape for a in _ensemble.mode(np.zeros((3, 0), np.float32), 4, 1)] == [(0,), (0,)]
    code, fraction = _ensemble.mode(np.zeros((0, 5), np.float32), 4, 1)
    assert np.isnan(code).all() and np.isnan(fraction).all()


def test_float64_codes_are_cast_to_float32():
    x = np.array([[2.0**24 + 1], [2.0**24 + 1], [2.0**24]])  # 2^24 + 1 becomes 2^24
    code, fraction = _ensemble.mode(x, 2**25, 1)
    assert code[0] == 2.0**24 and fraction[0] == 1.0


@pytest.mark.parametrize("n_codes", [2**24 + 3, 2**31, 2**53 + 1, 2**62, 2**63 - 1])
@pytest.mark.parametrize("members, n", [(3, 40), (40, 300), (300, 20)])
def test_huge_n_codes_count_from_the_members(rng, n_codes, members, n):
    x = rng.integers(0, 6, (members, n)).astype(np.float32) * np.float32(2.0**40)
    x[rng.random((members, n)) < 0.3] = rng.choice([2.0**24 + 1.5, 0.9, 2.0**63, 2.0**62, 2.0**53])
    x[rng.random((members, n)) < 0.1] = np.nan
    out = _ensemble.mode(x, n_codes, 1, n_threads=2)
    for got, want in zip(out, reference(x, n_codes, 1)):
        assert same_bits(got, want)


@pytest.mark.parametrize("n_codes, members", [(10, 4100), (600, 4100), (2**31, 4100), (10, 300), (64, 255), (65, 255)])
def test_every_counting_scheme(rng, n_codes, members):
    x = codes(rng, members, 37, min(n_codes, 70))
    out = _ensemble.mode(x, n_codes, 2, n_threads=1)
    for got, want in zip(out, reference(x, n_codes, 2)):
        assert same_bits(got, want)


def test_scratch_does_not_grow_with_n_codes():
    # A count table of n_codes counters would need 16 GiB here.
    code = """
import resource, numpy as np, _ensemble
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
out = _ensemble.mode(np.arange(12, dtype=np.float32).reshape(4, 3), 2**31, 1, n_threads=2)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before, out[0].tolist())
"""
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    grown_kib, codes_found = proc.stdout.split(maxsplit=1)
    assert int(grown_kib) < 16 << 10 and codes_found.strip() == "[0.0, 1.0, 2.0]"


def test_output_that_cannot_be_allocated_raises_memory_error():
    with pytest.raises(MemoryError):
        _ensemble.mode(np.zeros((0, 2**50), np.float32), 4, 1)


@pytest.mark.parametrize("values, n_codes, message", [
    (np.zeros(4), 3, r"^values must be \(members, n\)$"),
    (np.zeros((1, 2, 2)), 0, r"^values must be \(members, n\)$"),  # checked first
    (np.zeros((2, 2)), 0, "^n_codes must be positive$"),
    (np.zeros((2, 2)), -5, "^n_codes must be positive$"),
])
def test_bad_input_messages_in_check_order(values, n_codes, message):
    with pytest.raises(ValueError, match=message):
        _ensemble.mode(values, n_codes, 1)
