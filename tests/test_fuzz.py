"""Property-based calls of every kernel with arbitrary shapes, element types,
values and scalars.  Each call either returns arrays of the documented shape
and dtype or raises ValueError, TypeError or MemoryError; inputs are never
modified; results do not depend on the thread count."""

import os

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import _ensemble
import _velmora
from conftest import assert_bits_equal

settings.register_profile("default", max_examples=40, deadline=None, derandomize=True,
                          database=None, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("sanitize", max_examples=2000, deadline=None, database=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

BIG = 1.7976931348623157e308
SPECIAL = [np.nan, np.inf, -np.inf, BIG, -BIG, 5e-324, -5e-324, -0.0, 0.0, 3.5e38, -3.5e38]
values = st.one_of(st.sampled_from(SPECIAL), st.floats(-1e4, 1e4))
scalars = st.one_of(st.sampled_from(SPECIAL), st.floats())
INT_EDGES = [0, 1, -1, 2, 3, 2**31 - 1, -(2**31), 2**63 - 1, -(2**63)]
int64s = st.one_of(st.sampled_from(INT_EDGES), st.integers(-3, 20))
thread_counts = st.one_of(st.sampled_from([0, -1, 1, 2, 3, 64, 2**31 - 1, -(2**31)]),
                          st.integers(-(2**31), 2**31 - 1))
shapes = hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=5)


@st.composite
def array_like(draw, shape, elements=values):
    """An array of the shape in one of the forms a caller may pass."""
    a = draw(hnp.arrays(np.float64, shape, elements=elements))
    form = draw(st.sampled_from(["f64", "f32", "int", "bool", "list", "fortran", "strided"]))
    with np.errstate(all="ignore"):
        if form == "f32":
            return a.astype(np.float32)
        if form == "int":
            return np.nan_to_num(a, posinf=2**62, neginf=-(2**62)).clip(-2**62, 2**62).astype(np.int64)
        if form == "bool":
            return a > 0
        if form == "list":
            return a.tolist()
        if form == "fortran":
            return np.asfortranarray(a)
        if form == "strided":
            return np.repeat(a, 2, axis=-1)[..., ::2] if a.ndim else a
    return a


def shape_of(x):
    return np.shape(x)


def size_of(x):
    return int(np.prod(shape_of(x)))


def sized(n):
    """A shape with n elements, often flat, sometimes not, sometimes wrong."""
    return st.one_of(st.just((n,)), st.just((1, n)), st.just((n, 1)), shapes)


def snapshot(args):
    return [np.array(a, copy=True) if isinstance(a, np.ndarray) else a for a in args]


def check(kernel, args, n_threads, error=None, shapes_out=(), dtype=np.float64, may_fail=()):
    """Call with 1, 3 and n_threads threads and check the outcome."""
    before = snapshot(args)
    outcomes = []
    allowed = tuple(filter(None, [error])) + may_fail
    for threads in (1, 3, n_threads):
        try:
            # Casting float64 beyond the float32 range warns; the value becomes inf.
            with np.errstate(over="ignore"):
                outcomes.append(kernel(*args, n_threads=threads))
        except (ValueError, TypeError, MemoryError) as raised:
            assert isinstance(raised, allowed), repr(raised)
            outcomes.append(type(raised))
    for a, b in zip(args, before):
        if isinstance(a, np.ndarray):
            assert_bits_equal(a.astype(np.float64), b.astype(np.float64))
    first = outcomes[0]
    if isinstance(first, type):
        assert all(o is first for o in outcomes)
        return
    assert error is None, f"expected {error}"
    parts = first if isinstance(first, tuple) else (first,)
    assert [p.shape for p in parts] == list(shapes_out)
    assert all(p.dtype == dtype and p.flags.c_contiguous for p in parts)
    for other in outcomes[1:]:
        for p, q in zip(parts, other if isinstance(other, tuple) else (other,), strict=True):
            assert_bits_equal(p, q)


@given(st.data())
def test_thermo(data):
    t = data.draw(array_like(shapes))
    n = size_of(t)
    p, td = (data.draw(array_like(sized(n))) for _ in range(2))
    ok = size_of(p) == n and size_of(td) == n
    check(_velmora.thermo, (t, p, td), data.draw(thread_counts),
          None if ok else ValueError, [(4, n)])


@given(st.data())
def test_cold_pool(data):
    K, J = data.draw(st.integers(0, 70)), data.draw(st.integers(0, 6))
    z = data.draw(array_like(st.one_of(st.just((K, J)), shapes)))
    b = data.draw(array_like(st.one_of(st.just((K, J)), shapes)))
    bottom, top = (data.draw(array_like(sized(K))) for _ in range(2))
    kb = shape_of(b)[0] if len(shape_of(b)) == 2 else None
    ok = (len(shape_of(z)) == 2 and len(shape_of(b)) == 2 and shape_of(z) == shape_of(b)
          and size_of(bottom) == kb and size_of(top) == kb)
    check(_velmora.cold_pool, (z, b, bottom, data.draw(scalars), top), data.draw(thread_counts),
          None if ok else ValueError, [(3, kb)])


@given(st.data())
def test_profile(data):
    K, J = data.draw(st.integers(0, 70)), data.draw(st.integers(0, 6))
    u = data.draw(array_like(st.one_of(st.just((K, J)), shapes)))
    ku, ju = shape_of(u) if len(shape_of(u)) == 2 else (None, None)
    z, v = (data.draw(array_like(sized(K * J))) for _ in range(2))
    ground, cu, cv = (data.draw(array_like(sized(K))) for _ in range(3))
    ok = (ku is not None and size_of(z) == ku * ju and size_of(v) == ku * ju
          and size_of(ground) == size_of(cu) == size_of(cv) == ku)
    args = (z, u, v, ground, data.draw(scalars), data.draw(scalars), cu, cv)
    check(_velmora.profile, args, data.draw(thread_counts), None if ok else ValueError, [(7, ku)])


@given(st.data())
def test_gradient(data):
    B, NY, NX = (data.draw(st.integers(0, 5)) for _ in range(3))
    f = data.draw(array_like(st.one_of(st.just((B, NY, NX)), shapes)))
    x = data.draw(array_like(sized(NX)))
    y = data.draw(array_like(sized(NY)))
    s = shape_of(f)
    ok = len(s) == 3 and size_of(x) == s[2] and size_of(y) == s[1]
    check(_velmora.gradient, (f, x, y), data.draw(thread_counts),
          None if ok else ValueError, [(2, *s)])


@given(st.data())
def test_vad(data):
    R, G = data.draw(st.integers(0, 70)), data.draw(st.integers(0, 8))
    vr = data.draw(array_like(st.one_of(st.just((R, G)), shapes)))
    az = data.draw(array_like(st.one_of(st.just((R, G)), shapes)))
    cos_el = data.draw(array_like(sized(R)))
    min_gates = data.draw(st.one_of(int64s, st.sampled_from([2**63, -(2**63) - 1])))
    s = shape_of(vr)
    if not -(2**63) <= min_gates < 2**63:
        error = TypeError
    elif len(s) == 2 and shape_of(az) == s and size_of(cos_el) == s[0]:
        error = None
    else:
        error = ValueError
    check(_velmora.vad, (vr, az, cos_el, min_gates, data.draw(scalars)),
          data.draw(thread_counts), error, [(8, s[0] if s else 0)])


uint64s = st.one_of(st.sampled_from([0, 1, 2**63, 2**64 - 1, -1, 2**64]), st.integers(0, 2**64 - 1))


def uint64_ok(k):
    return 0 <= k < 2**64


@given(st.data())
def test_perturb(data):
    n, M = data.draw(st.integers(0, 600)), data.draw(st.integers(0, 4))
    fac = data.draw(array_like(st.one_of(st.just((6, n)), shapes)))
    fields = [data.draw(array_like(sized(n))) for _ in range(5)]
    bias_dbz = data.draw(array_like(sized(M)))
    bias_zdr = data.draw(array_like(sized(M)))
    flags = data.draw(st.one_of(st.integers(-1, 40), st.sampled_from([2**31 - 1, -(2**31), 2**31])))
    k0, k1, m0 = data.draw(uint64s), data.draw(uint64s), data.draw(int64s)
    nf = shape_of(fac)[1] if len(shape_of(fac)) == 2 and shape_of(fac)[0] == 6 else None
    flagged = [f for bit, f in enumerate(fields) if flags >> bit & 1] if flags < 2**31 else []
    if not (uint64_ok(k0) and uint64_ok(k1) and -(2**31) <= flags < 2**31):
        error = TypeError
    elif nf is None or size_of(bias_dbz) != size_of(bias_zdr) or any(size_of(f) != nf for f in flagged):
        error = ValueError
    else:
        error = None
    args = (*fields, flags, fac, bias_dbz, bias_zdr, k0, k1, m0)
    check(_ensemble.perturb, args, data.draw(thread_counts), error,
          [(size_of(bias_dbz), len(flagged), nf)])


@given(st.data())
def test_statistics(data):
    members, n = data.draw(st.integers(0, 6)), data.draw(st.integers(0, 600))
    vals = data.draw(array_like(st.one_of(st.just((members, n)), shapes)))
    levels = data.draw(array_like(shapes, elements=st.one_of(
        st.floats(0, 100), st.sampled_from([np.nan, -1e-9, 100.5, np.inf]))))
    s = shape_of(vals)
    lv = np.asarray(levels, dtype=np.float64)
    if len(s) != 2:
        error = ValueError
    elif not np.all((lv >= 0) & (lv <= 100)):
        error = ValueError
    else:
        error = None
    n_out = s[1] if len(s) == 2 else 0
    check(_ensemble.statistics, (vals, levels, data.draw(int64s)), data.draw(thread_counts),
          error, [(n_out,), (n_out,), (lv.size, n_out)])


@given(st.data())
def test_mode(data):
    members, n = data.draw(st.integers(0, 6)), data.draw(st.integers(0, 600))
    codes = st.one_of(st.integers(-2, 6).map(float), st.sampled_from(SPECIAL + [2.0**63, -(2.0**63), 9.3e18]))
    vals = data.draw(array_like(st.one_of(st.just((members, n)), shapes), elements=codes))
    # Counts live in a table of n_codes entries per block: sizes that cannot be
    # allocated raise MemoryError; sizes of gigabytes would merely be slow.
    n_codes = data.draw(st.one_of(st.integers(-2, 8), st.sampled_from(
        [0, -1, 1, 2**16, 2**40, 2**62, 2**63 - 1, -(2**31), -(2**63)])))
    s = shape_of(vals)
    error = ValueError if len(s) != 2 or n_codes <= 0 else None
    n_out = s[1] if len(s) == 2 else 0
    check(_ensemble.mode, (vals, n_codes, data.draw(int64s)), data.draw(thread_counts),
          error, [(n_out,), (n_out,)], may_fail=(MemoryError,))


@given(k0=uint64s, k1=uint64s, member=int64s, block=int64s,
       n=st.one_of(st.integers(-3, 50), st.sampled_from([-(2**63), 2**63 - 1, 2**63])))
def test_words(k0, k1, member, block, n):
    try:
        first = _ensemble.words(k0, k1, member, block, n)
    except (ValueError, TypeError, MemoryError) as raised:
        expect_type = not (uint64_ok(k0) and uint64_ok(k1) and -(2**63) <= n < 2**63)
        assert isinstance(raised, TypeError) == expect_type or isinstance(raised, MemoryError)
        assert expect_type or n < 0 or n > 2**40
        return
    assert first.shape == (n, 4) and first.dtype == np.uint64
    np.testing.assert_array_equal(first, _ensemble.words(k0, k1, member, block, n))
