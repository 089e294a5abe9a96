"""Raw Philox4x64-10 words: the stream behind perturb."""

import numpy as np
import pytest

import _ensemble

MASK = 2**64 - 1


def expected_words(k0, k1, member, block, n):
    # NumPy's Philox increments its counter before each draw, so counter word
    # 0 starts at 0 here and row j is drawn with c0 = j + 1.
    key = np.array([k0, k1], dtype=np.uint64)
    counter = np.array([0, member & MASK, block & MASK, 0], dtype=np.uint64)
    gen = np.random.Philox(key=key, counter=counter)
    return gen.random_raw(4 * n).reshape(n, 4)


@pytest.mark.parametrize("k0, k1", [(0, 0), (1, 2), (2**64 - 1, 2**63), (0x243F6A8885A308D3, 7)])
@pytest.mark.parametrize("member, block", [(0, 0), (1, 0), (5, 1), (-1, 0), (0, -1), (2**62, 3)])
def test_rows_equal_a_conforming_philox(k0, k1, member, block):
    out = _ensemble.words(k0, k1, member, block, 300)
    assert out.dtype == np.uint64 and out.shape == (300, 4)
    assert out.flags.c_contiguous and out.strides == (32, 8)
    assert np.array_equal(out, expected_words(k0, k1, member, block, 300))


def test_rows_do_not_depend_on_the_row_count():
    long = _ensemble.words(3, 4, 5, 6, 1000)
    for n in [1, 2, 17, 999]:
        assert np.array_equal(_ensemble.words(3, 4, 5, 6, n), long[:n])


def test_empty_and_negative_counts():
    assert _ensemble.words(0, 0, 0, 0, 0).shape == (0, 4)
    with pytest.raises(ValueError):
        _ensemble.words(0, 0, 0, 0, -1)


@pytest.mark.parametrize("args", [
    (-1, 0, 0, 0, 1), (0, 2**64, 0, 0, 1), (0, 0, 2**63, 0, 1), (0, 0, 0, -2**63 - 1, 1),
    (0.0, 0, 0, 0, 1), (0, 0, 0, 0, 1.0), ("1", 0, 0, 0, 1),
])
def test_keys_and_counters_outside_their_types_raise_type_error(args):
    with pytest.raises(TypeError):
        _ensemble.words(*args)
