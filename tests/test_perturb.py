"""Random measurement errors: perturb against a scalar reference."""

import math

import numpy as np
import pytest

import _ensemble

K = 4.342944819032518  # 10 / ln 10, correctly rounded
TWO_POW_MINUS_53 = 2.0**-53
NAMES = ["dbz", "zdr", "phidp", "rhohv", "vel"]


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


def signed64(x):
    return (x + 2**63) % 2**64 - 2**63


def normal_pair(w_r, w_t):
    radius = math.sqrt(math.log(((w_r >> 11) + 1) * TWO_POW_MINUS_53) * -2.0)
    angle = ((w_t >> 11) * TWO_POW_MINUS_53) * 6.283185307179586
    return radius * math.cos(angle), radius * math.sin(angle)


def clip(x):
    return 0.0 if x < 0.0 else 1.0 if x > 1.0 else x


def reference(f, flags, fac, bias_dbz, bias_zdr, k0, k1, m0):
    """The error model point by point, on the words of the public stream."""
    n, members = fac.shape[1], len(bias_dbz)
    slots = [b for b in range(5) if flags >> b & 1]
    out = np.empty((members, len(slots), n))
    for i in range(members):
        w = _ensemble.words(k0, k1, signed64(m0 + i), 0, n)
        y = _ensemble.words(k0, k1, signed64(m0 + i), 1, n)
        for g in range(n):
            d0, d1 = normal_pair(int(w[g, 0]), int(w[g, 1]))
            d2, d3 = normal_pair(int(w[g, 2]), int(w[g, 3]))
            e0 = normal_pair(int(y[g, 0]), int(y[g, 1]))[0]
            c = [float(fac[r, g]) for r in range(6)]
            eh = d0 * c[0]
            ev = (d1 * c[2]) + (c[1] * d0)
            values = [
                (float(f["dbz"][g]) + float(bias_dbz[i])) + K * eh,
                (float(f["zdr"][g]) + float(bias_zdr[i])) + K * (eh - ev),
                (d2 * c[3]) + float(f["phidp"][g]),
                clip((d3 * c[4]) + float(f["rhohv"][g])),
                (e0 * c[5]) + float(f["vel"][g]),
            ]
            for s, b in enumerate(slots):
                out[i, s, g] = values[b]
    return out


def radar(rng, n):
    f = {
        "dbz": rng.uniform(-10, 60, n), "zdr": rng.uniform(-1, 4, n),
        "phidp": rng.uniform(0, 180, n), "rhohv": rng.uniform(0.7, 1.0, n),
        "vel": rng.uniform(-30, 30, n),
    }
    fac = np.abs(rng.normal(0.3, 0.2, (6, n)))
    fac[4] *= 0.1
    return f, fac


def call(f, flags, fac, bias_dbz, bias_zdr, k0=11, k1=22, m0=0, **kw):
    return _ensemble.perturb(f["dbz"], f["zdr"], f["phidp"], f["rhohv"], f["vel"], flags, fac,
                             bias_dbz, bias_zdr, k0, k1, m0, **kw)


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


@pytest.mark.parametrize("flags", [31, -1, 1, 2, 3, 4 + 16, 8, 16, 2 + 8 + 32])
@pytest.mark.parametrize("k0, k1, m0", [(11, 22, 0), (2**64 - 1, 0, -2), (5, 2**63, 2**63 - 2)])
def test_matches_scalar_reference_bit_for_bit(rng, flags, k0, k1, m0):
    f, fac = radar(rng, 40)
    f["rhohv"][:3] = [1.0, 0.0, np.nan]
    f["dbz"][5] = np.nan
    fac[0, 7] = np.nan
    bias_dbz, bias_zdr = rng.normal(0, 1, 3), rng.normal(0, 0.2, 3)
    out = call(f, flags, fac, bias_dbz, bias_zdr, k0, k1, m0, n_threads=1)
    expected = reference(f, flags, fac, bias_dbz, bias_zdr, k0, k1, m0)
    assert out.shape == expected.shape
    assert np.array_equal(bits(out), bits(expected))


def test_thread_count_does_not_change_bits(rng):
    f, fac = radar(rng, 1000)
    bias = rng.normal(0, 1, 5)
    expected = call(f, 31, fac, bias, bias, n_threads=1)
    for n_threads in [2, 64, 0, -3]:
        assert np.array_equal(bits(call(f, 31, fac, bias, bias, n_threads=n_threads)),
                              bits(expected))


def test_members_split_over_calls_agree(rng):
    f, fac = radar(rng, 600)
    b_dbz, b_zdr = rng.normal(0, 1, 4), rng.normal(0, 1, 4)
    whole = call(f, 31, fac, b_dbz, b_zdr, m0=0)
    tail = call(f, 31, fac, b_dbz[2:], b_zdr[2:], m0=2)
    assert np.array_equal(bits(whole[2:]), bits(tail))


def test_other_flags_only_move_a_field_to_another_slot(rng):
    f, fac = radar(rng, 300)
    bias = rng.normal(0, 1, 2)
    only_zdr = call(f, 2, fac, bias, bias)
    with_dbz = call(f, 3, fac, bias, bias)
    assert np.array_equal(bits(only_zdr[:, 0]), bits(with_dbz[:, 1]))
    all_fields = call(f, 31, fac, bias, bias)
    assert np.array_equal(bits(call(f, 4 + 16, fac, bias, bias)), bits(all_fields[:, [2, 4]]))


def test_zero_errors_return_the_inputs_with_rhohv_clipped(rng):
    f, _ = radar(rng, 50)
    f["rhohv"][:2] = [1.2, -0.1]
    out = call(f, 31, np.zeros((6, 50)), np.zeros(2), np.zeros(2))
    expected = [f[k] for k in NAMES]
    expected[3] = np.clip(expected[3], 0.0, 1.0)
    for i in range(2):
        assert np.array_equal(out[i], np.array(expected))


def test_shapes_members_and_flat_fields(rng):
    f, fac = radar(rng, 6)
    empty = np.empty(0)
    f2 = dict(f, dbz=f["dbz"].reshape(2, 3), vel=empty, rhohv=empty)
    out = call(f2, 1 + 2 + 4, fac, np.zeros((2, 3)), np.zeros(6))
    assert out.shape == (6, 3, 6)
    assert np.array_equal(bits(out), bits(call(f, 7, fac, np.zeros(6), np.zeros(6))))
    assert call(f, 0, fac, np.zeros(2), np.zeros(2)).shape == (2, 0, 6)
    assert call(f, 64 + 128, fac, np.zeros(2), np.zeros(2)).shape == (2, 0, 6)
    assert call(f, 31, fac, empty, empty).shape == (0, 5, 6)
    nothing = dict.fromkeys(NAMES, empty)
    assert call(nothing, 31, np.zeros((6, 0)), np.zeros(3), np.zeros(3)).shape == (3, 5, 0)


def test_inputs_are_not_written(rng):
    f, fac = radar(rng, 700)
    before = {k: v.copy() for k, v in f.items()}, fac.copy()
    call(f, 31, fac, np.ones(2), np.ones(2), n_threads=2)
    for k in NAMES:
        assert np.array_equal(f[k], before[0][k])
    assert np.array_equal(fac, before[1])


@pytest.mark.parametrize("fac_shape, bias_zdr, sizes, message", [
    ((6,), 2, {}, "fac must be (6, n)"),
    ((5, 4), 2, {}, "fac must be (6, n)"),
    ((6, 4, 1), 2, {}, "fac must be (6, n)"),
    ((6, 4), 3, {"dbz": 3}, "bias arrays differ in length"),
    ((6, 4), 2, {"vel": 5}, "a field differs in size from fac"),
    ((6, 4), 2, {"dbz": 3}, "a field differs in size from fac"),
])
def test_bad_input_messages_in_check_order(fac_shape, bias_zdr, sizes, message):
    f = {k: np.zeros(sizes.get(k, 4)) for k in NAMES}
    with pytest.raises(ValueError) as err:
        call(f, 31, np.zeros(fac_shape), np.zeros(2), np.zeros(bias_zdr))
    assert str(err.value) == message


@pytest.mark.parametrize("kw", [{"k0": -1}, {"k1": 2**64}, {"k0": 1.0}, {"m0": 2**63}])
def test_keys_outside_their_types_raise_type_error(kw):
    f = dict.fromkeys(NAMES, np.zeros(4))
    with pytest.raises(TypeError):
        call(f, 31, np.zeros((6, 4)), np.zeros(1), np.zeros(1), **kw)


@pytest.mark.parametrize("flags", [2**31, -2**31 - 1, 1.0])
def test_flags_outside_32_bits_raise_type_error(flags):
    f = dict.fromkeys(NAMES, np.zeros(4))
    with pytest.raises(TypeError):
        call(f, flags, np.zeros((6, 4)), np.zeros(1), np.zeros(1))
