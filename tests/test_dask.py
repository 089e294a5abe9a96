"""Dask and xarray paths of velmora: chunked results equal one kernel call bit for bit.

Every case runs on the threaded scheduler and on a two-process
dask.distributed cluster on loopback (marked `cluster`).
"""

import subprocess
import sys

import dask
import dask.array as da
import numpy as np
import pytest
import xarray as xr

import _ensemble
import _velmora
import velmora
from conftest import assert_bits_equal
from velmora.units import units

KEY = (0x243F6A8885A308D3, 0x13198A2E03707344)


@pytest.fixture(scope="module")
def client():
    from distributed import Client, LocalCluster

    # No dashboard; the scheduler's own HTTP endpoints on a free loopback port.
    with (LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                       dashboard_address=None, worker_dashboard_address=None,
                       scheduler_kwargs={"dashboard_address": "127.0.0.1:0"}) as cluster,
          Client(cluster, set_as_default=False) as client):
        yield client


@pytest.fixture(params=["threads", pytest.param("cluster", marks=pytest.mark.cluster)])
def compute(request):
    """dask.compute on the threaded scheduler or on the cluster."""
    if request.param == "threads":
        return lambda *lazy: dask.compute(*lazy, scheduler="threads")
    client = request.getfixturevalue("client")
    return lambda *lazy: tuple(client.compute(list(lazy), sync=True))


def assert_identical(actual, expected):
    actual, expected = np.asarray(actual), np.asarray(expected)
    assert actual.dtype == expected.dtype
    if expected.dtype == np.uint64:
        assert np.array_equal(actual, expected)
    else:
        assert_bits_equal(actual, expected)


def with_nan(rng, a, share=0.1):
    a = a.copy()
    a[rng.random(a.shape) < share] = np.nan
    return a


# --------------------------------------------------------------------------
# each case: (lazy result or tuple, the single call's result or tuple)


def case_thermo_flat(rng):
    t = with_nan(rng, rng.uniform(240, 310, 1000))
    p, td = rng.uniform(5e4, 1.05e5, 1000), t - rng.uniform(-3, 25, 1000)
    lazy = velmora.thermo(da.from_array(t, chunks=((7, 300, 1, 692),)), p, td)
    assert lazy.chunks == ((4,), (7, 300, 1, 692))
    return lazy, _velmora.thermo(t, p, td)


def case_thermo_shapes(rng):
    t = with_nan(rng, rng.uniform(240, 310, (20, 30)))
    p, td = rng.uniform(5e4, 1.05e5, 600), with_nan(rng, rng.uniform(230, 300, (30, 20)))
    lazy = velmora.thermo(da.from_array(t, chunks=((3, 17), (11, 19))), p,
                             da.from_array(td, chunks=(7, 5)))
    return lazy, _velmora.thermo(t, p, td)


def case_vad(rng):
    az = with_nan(rng, rng.uniform(0, 2 * np.pi, (70, 37)), 0.05)
    vr = with_nan(rng, 3 + 10 * np.sin(az) + rng.normal(0, 1, az.shape))
    cos_el = rng.uniform(0.5, 1, (70, 1))
    lazy = velmora.vad(da.from_array(vr, chunks=((1, 30, 39), (20, 17))),
                          da.from_array(az, chunks=(9, 37)), da.from_array(cos_el, chunks=11),
                          5, 0.05)
    return lazy, _velmora.vad(vr, az, cos_el, 5, 0.05)


def case_profile(rng):
    k, j = 90, 25
    z = np.cumsum(rng.uniform(50, 300, (k, j)), axis=1) - 50
    u, v = with_nan(rng, rng.normal(5, 8, (k, j)), 0.05), rng.normal(0, 8, (k, j))
    ground = with_nan(rng, rng.uniform(-10, 10, k), 0.2)
    cu, cv = with_nan(rng, rng.normal(5, 2, k), 0.1), rng.normal(0, 2, k)
    lazy = velmora.profile(da.from_array(z.ravel(), chunks=700), da.from_array(u, chunks=(13, 7)),
                              v, ground, 100.0, 3000.0, cu, da.from_array(cv, chunks=40))
    return lazy, _velmora.profile(z.ravel(), u, v, ground, 100.0, 3000.0, cu, cv)


def case_cold_pool(rng):
    k, j = 90, 25
    z = np.cumsum(rng.uniform(20, 200, (k, j)), axis=1)
    b = with_nan(rng, rng.normal(-1, 1, (k, j)))
    bottom = with_nan(rng, rng.uniform(0, 200, k), 0.3)
    top = np.where(rng.random(k) < 0.5, np.nan, rng.uniform(100, 2000, k))
    lazy = velmora.cold_pool(da.from_array(z, chunks=((1, 44, 45), (10, 15))),
                                da.from_array(b, chunks=(7, 25)), bottom, -0.3, top)
    return lazy, _velmora.cold_pool(z, b, bottom, -0.3, top)


def case_gradient(rng):
    f = with_nan(rng, rng.normal(size=(3, 11, 10)))
    x, y = np.cumsum(rng.uniform(0.5, 2, 10)), np.cumsum(rng.uniform(0.5, 2, 11))
    lazy = velmora.gradient(da.from_array(f, chunks=((2, 1), (1, 4, 6), (3, 1, 6))), x, y)
    assert lazy.chunks[1:] == ((2, 1), (1, 4, 6), (3, 1, 6))
    return lazy, _velmora.gradient(f, x, y)


def case_statistics(rng):
    values = with_nan(rng, rng.normal(size=(13, 700)), 0.3)  # float64: cast like the kernel
    values[:, 5] = np.nan
    levels = [0, 12.5, 50, 99, 100]
    lazy = velmora.statistics(da.from_array(values, chunks=((5, 8), (1, 300, 399))), levels, 3)
    return lazy, _ensemble.statistics(values, levels, 3)


def case_mode(rng):
    codes = with_nan(rng, rng.uniform(-1.5, 6, (13, 700)).astype(np.float32), 0.3)
    lazy = velmora.mode(da.from_array(codes, chunks=(6, (250, 1, 449))), 5, 3)
    return lazy, _ensemble.mode(codes, 5, 3)


def case_words(rng):
    lazy = velmora.words(*KEY, -1, 1, 50, lazy=True)
    assert lazy.numblocks == (1, 1)
    return lazy, _ensemble.words(*KEY, -1, 1, 50)


CASES = {name[5:]: fn for name, fn in globals().items() if name.startswith("case_")}


@pytest.mark.parametrize("case", CASES)
def test_chunked_equals_one_call(case, compute, rng):
    lazy, expected = CASES[case](rng)
    lazy, expected = (lazy, expected) if isinstance(lazy, tuple) else ((lazy,), (expected,))
    for actual, single in zip(compute(*lazy), expected, strict=True):
        assert_identical(actual, single)


@pytest.mark.parametrize("chunks", [(4, 4, 3), (7, 1, 3), 1, (1, 10), (10, 1)], ids=str)
@pytest.mark.parametrize("m0", [0, -5, 2**63 - 7], ids=["m0=0", "m0=-5", "m0-wraps"])
@pytest.mark.parametrize("flags", [31, 4 + 16])
def test_perturb_member_chunks(compute, rng, chunks, m0, flags):
    n = 700  # more than one block of the kernel's runner
    fields = [with_nan(rng, rng.uniform(0, 1, n), 0.02) for _ in range(5)]
    fac = np.abs(rng.normal(0.3, 0.2, (6, n)))
    bias_dbz, bias_zdr = rng.normal(0, 1, 11), rng.normal(0, 0.2, 11)
    lazy = velmora.perturb(*fields, flags, da.from_array(fac, chunks=(2, 300)),
                              da.from_array(bias_dbz, chunks=chunks), bias_zdr, *KEY, m0)
    assert lazy.chunks[0] == da.from_array(bias_dbz, chunks=chunks).chunks[0]
    (actual,) = compute(lazy)
    assert_identical(actual, _ensemble.perturb(*fields, flags, fac, bias_dbz, bias_zdr, *KEY, m0))


def test_perturb_member_chunks_of_3_5_12(compute, rng):
    n = 300
    fields = [rng.uniform(0, 1, n) for _ in range(5)]
    fac, bias_dbz, bias_zdr = np.abs(rng.normal(0.3, 0.2, (6, n))), rng.normal(size=20), rng.normal(size=20)
    lazy = velmora.perturb(*fields, 31, fac, bias_dbz, bias_zdr, *KEY, 3, member_chunks=(3, 5, 12))
    assert lazy.chunks[0] == (3, 5, 12)
    (actual,) = compute(lazy)
    assert_identical(actual, _ensemble.perturb(*fields, 31, fac, bias_dbz, bias_zdr, *KEY, 3))


NY, NX = 7, 6
EDGES = ([((c, NY - c), NX) for c in range(1, NY)] + [(NY, (c, NX - c)) for c in range(1, NX)]
         + [(1, 1), ((2, 2, 3), (3, 3))])


@pytest.mark.parametrize("chunks", EDGES, ids=str)
def test_gradient_chunk_edge_anywhere(chunks, rng):
    f = with_nan(rng, rng.normal(size=(2, NY, NX)), 0.15)
    x, y = np.cumsum(rng.uniform(0.5, 2, NX)), np.cumsum(rng.uniform(0.5, 2, NY))
    lazy = velmora.gradient(da.from_array(f, chunks=(1,) + chunks), x, y)
    assert_identical(lazy.compute(scheduler="threads"), _velmora.gradient(f, x, y))


# --------------------------------------------------------------------------
# xarray front ends


def test_labelled_front_ends(compute, rng):
    ny, nx, nm, nl = 9, 8, 11, 14
    coords = {"y": np.cumsum(rng.uniform(1, 2, ny)), "x": np.cumsum(rng.uniform(1, 2, nx))}
    grid = ("y", "x")
    metres = {d: xr.DataArray(c, dims=d, attrs={"units": "m"}) for d, c in coords.items()}
    t = xr.DataArray(with_nan(rng, rng.uniform(240, 310, (ny, nx))), dims=grid, coords=coords,
                     attrs={"units": "K"})
    # broadcast over x by name
    p = xr.DataArray(rng.uniform(5e4, 1e5, ny), dims="y", attrs={"units": "Pa"})
    ensemble = xr.DataArray(with_nan(rng, rng.normal(size=(ny, nm, nx)).astype(np.float32), 0.2),
                            dims=("y", "member", "x"), coords=coords)
    f = xr.DataArray(with_nan(rng, rng.normal(size=(ny, 2, nx))), dims=("y", "time", "x"),
                     coords=metres, name="theta")
    z = xr.DataArray(np.arange(nl) * 250.0, dims="level", attrs={"units": "m"})
    u = xr.DataArray(rng.normal(5, 5, (ny, nx, nl)), dims=grid + ("level",), coords=coords,
                     attrs={"units": "m s-1"})

    sizes = {"y": 4, "x": 3, "member": 5, "level": 6}

    def chunk(a):
        return a.chunk({d: c for d, c in sizes.items() if d in a.dims})

    results = compute(
        velmora.thermo(chunk(t), p, (t - 5).assign_attrs(units="K")),
        velmora.statistics(chunk(ensemble), [10, 50, 90], 2),
        velmora.mode(chunk(ensemble).round(), 3, 2),
        velmora.gradient(chunk(f)),
        velmora.profile(z, chunk(u), (-u).assign_attrs(units="m s-1"), 0.0 * units.m,
                        0.0 * units.m, 2000.0 * units.m, 1.0 * units("m/s"),
                        2.0 * units("m/s")),
    )
    thermo, stats, modal, grad, prof = results
    for ds in results:
        for name in grid:
            np.testing.assert_array_equal(ds[name].values, coords[name])

    tt, pp = xr.broadcast(t, p)
    expected = _velmora.thermo(tt.values, pp.values, tt.values - 5).reshape(4, ny, nx)
    for k, name in enumerate(["mixing_ratio", "potential_temperature",
                              "virtual_potential_temperature", "equivalent_potential_temperature"]):
        assert_identical(thermo[name].values, expected[k])

    members = ensemble.transpose("member", ...).values.reshape(nm, -1)
    mean, std, levels = _ensemble.statistics(members, [10, 50, 90], 2)
    assert_identical(stats["mean"].values.ravel(), mean)
    assert_identical(stats["std"].values.ravel(), std)
    assert_identical(stats["percentiles"].values.reshape(3, -1), levels)
    assert list(stats["percentile"].values) == [10, 50, 90]
    code, fraction = _ensemble.mode(members.round(), 3, 2)
    assert_identical(modal["mode"].values.ravel(), code)
    assert_identical(modal["fraction"].values.ravel(), fraction)

    assert grad["dtheta_dx"].dims == f.dims
    expected = _velmora.gradient(f.transpose("time", ...).values, coords["x"], coords["y"])
    assert_identical(grad["dtheta_dx"].transpose("time", ...).values, expected[0])
    assert_identical(grad["dtheta_dy"].transpose("time", ...).values, expected[1])

    columns = u.values.reshape(-1, nl)
    expected = _velmora.profile(np.broadcast_to(z.values, columns.shape), columns, -columns,
                                np.zeros(ny * nx), 0.0, 2000.0, np.ones(ny * nx), np.full(ny * nx, 2.0))
    for k, name in enumerate(prof.data_vars):
        assert_identical(prof[name].values.ravel(), expected[k])


# --------------------------------------------------------------------------
# frame: NumPy in, shape errors, optional dependencies


def test_numpy_inputs_call_the_kernel(rng):
    t = rng.uniform(250, 300, 10)
    out = velmora.thermo(t, np.full(10, 9e4), t - 3)
    assert type(out) is np.ndarray
    assert_identical(out, _velmora.thermo(t, np.full(10, 9e4), t - 3))


@pytest.mark.parametrize("call, message", [
    (lambda a: velmora.thermo(a, a[:-1], a), r"'p' \(3, 5\)"),
    (lambda a: velmora.vad(a, a, a[:3], 3, 0.1), r"'cos_el' \(3, 5\)"),
    (lambda a: velmora.vad(a[0], a[0], a[0], 3, 0.1), r"'vr' and 'az' must be 2-D"),
    (lambda a: velmora.gradient(a[None], a[0], a[0], 1), r"'x' \(5,\), 'y' \(5,\)"),
    (lambda a: velmora.profile(a, a, a, a[:, 0], 0, 1, a[:, 0], a[:3, 0]), r"'cv' \(3,\)"),
    (lambda a: velmora.statistics(a[0], [50], 1), r"'values' \(5,\)"),
    (lambda a: velmora.perturb(a, a, a, a, a, 31, a, a, a, 1, 2, 0), r"'fac' must be \(6, n\)"),
])
def test_shape_errors_when_building_the_graph(call, message):
    """Named by argument and shape, raised before anything is computed."""
    a = np.ones((4, 5))
    with pytest.raises(ValueError, match=message):
        call(a)
    with pytest.raises(ValueError, match=message):
        call(da.from_array(a, chunks=2))


def test_imports_without_dask_or_xarray():
    code = ("import sys; sys.modules.update(dask=None, xarray=None)\n"
            "import numpy as np, velmora\n"
            "assert velmora.thermo(np.ones(3) * 290, np.ones(3) * 9e4, np.ones(3) * 280).shape == (4, 3)\n")
    subprocess.run([sys.executable, "-c", code], check=True)
