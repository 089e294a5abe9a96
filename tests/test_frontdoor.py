"""The public velmora package: every input family, units, metadata, level order, errors."""

import inspect
import os
import re
import subprocess
import sys
import textwrap

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
NAMES = ["thermo", "vad", "profile", "cold_pool", "gradient", "perturb", "words", "statistics",
         "mode"]


def kernel_of(name):
    return getattr(_velmora, name, None) or getattr(_ensemble, name)


def assert_same(actual, expected):
    """The same structure (array or tuple) with the same bits."""
    if isinstance(expected, tuple):
        assert isinstance(actual, tuple) and len(actual) == len(expected)
        for a, e in zip(actual, expected):
            assert_same(a, e)
        return
    assert type(actual) is np.ndarray and actual.dtype == expected.dtype
    if expected.dtype == np.uint64:
        assert np.array_equal(actual, expected)
    else:
        assert_bits_equal(actual, expected)


# --------------------------------------------------------------------------
# one small call per kernel, in kernel units


def sounding(rng, n=50):
    t = rng.uniform(240, 310, n)
    return t, rng.uniform(5e4, 1.05e5, n), t - rng.uniform(0, 20, n)


def columns(rng, k=6, j=9):
    z = np.cumsum(rng.uniform(50, 300, (k, j)), axis=1)
    return z, rng.normal(5, 8, (k, j)), rng.normal(0, 8, (k, j))


def sweep(rng, rows=5, samples=40):
    az = np.sort(rng.uniform(0, 2 * np.pi, (rows, samples)), axis=1)
    return 2 + 0.9 * (10 * np.sin(az) + 5 * np.cos(az)) + rng.normal(0, 0.5, az.shape), az


def radar_fields(rng, n=300):
    fields = [rng.uniform(0, 50, n), rng.uniform(0, 3, n), rng.uniform(0, 90, n),
              rng.uniform(0.8, 1, n), rng.normal(0, 10, n)]
    return fields, np.abs(rng.normal(0.1, 0.05, (6, n)))


def numpy_args(name, rng):
    """Arguments of one call, the same for velmora and the kernel."""
    if name == "thermo":
        return sounding(rng)
    if name == "vad":
        vr, az = sweep(rng)
        return vr, az, np.full(5, 0.9), 3, 0.1
    if name == "profile":
        z, u, v = columns(rng)
        return z, u, v, np.zeros(6), 0.0, 1000.0, np.ones(6), np.ones(6)
    if name == "cold_pool":
        z, b, _ = columns(rng)
        return z, b - 5, np.full(6, np.nan), -0.5, np.where(np.arange(6) % 2, np.nan, 500.0)
    if name == "gradient":
        return rng.normal(size=(2, 5, 4)), np.cumsum(rng.uniform(1, 2, 4)), np.arange(5.0)
    if name == "perturb":
        fields, fac = radar_fields(rng)
        return (*fields, 31, fac, rng.normal(size=7), rng.normal(size=7), *KEY, 3)
    if name == "words":
        return (*KEY, -1, 1, 20)
    if name == "statistics":
        return rng.normal(size=(9, 30)), [5, 50, 95], 2
    return np.floor(rng.uniform(0, 4, (9, 30))), 4, 2


@pytest.mark.parametrize("name", NAMES)
def test_numpy_in_gives_the_kernels_result(name, rng):
    args = numpy_args(name, rng)
    assert_same(getattr(velmora, name)(*args), kernel_of(name)(*args))


@pytest.mark.parametrize("name", NAMES)
def test_signature_and_docstring(name):
    """The kernel's argument names in order, n_threads None by default, numpydoc text."""
    function = getattr(velmora, name)
    kernel_names = re_names(kernel_of(name).__doc__)
    params = inspect.signature(function).parameters
    positional = [p for p, v in params.items() if v.kind is v.POSITIONAL_OR_KEYWORD]
    assert positional == kernel_names
    if "n_threads" in params:
        assert params["n_threads"].default is None
    doc = inspect.getdoc(function)
    for section in ("Parameters", "Returns"):
        assert f"{section}\n----" in doc
    for argument in kernel_names:
        assert argument in doc


def re_names(kernel_doc):
    """Argument names from the generated signature line of a kernel."""
    head = kernel_doc.splitlines()[0]
    return re.findall(r"(\w+): ", head[head.index("(") + 1:head.rindex(")")])


def test_import_is_light_and_versioned():
    code = ("import sys, velmora\n"
            "assert velmora.__version__ and velmora.__version__[0].isdigit()\n"
            "heavy = {'xarray', 'pint', 'dask', 'cf_xarray'} & set(sys.modules)\n"
            "assert not heavy, heavy\n")
    subprocess.run([sys.executable, "-c", code], check=True)


# --------------------------------------------------------------------------
# units


def test_celsius_and_hpa_dataarrays_equal_the_kelvin_pascal_call(rng):
    t, p, td = sounding(rng)
    labelled = velmora.thermo(xr.DataArray(t - 273.15, dims="level", attrs={"units": "degC"}),
                              xr.DataArray(p / 100, dims="level", attrs={"units": "hPa"}),
                              xr.DataArray(td - 273.15, dims="level", attrs={"units": "degC"}))
    expected = _velmora.thermo(t, p, td)
    for k, name in enumerate(labelled.data_vars):
        np.testing.assert_allclose(labelled[name].values, expected[k], rtol=1e-13)


def test_quantities_are_converted_and_come_back_with_units(rng):
    t, p, td = sounding(rng)
    r, theta, theta_v, theta_e = velmora.thermo((t - 273.15) * units.degC, p / 100 * units.hPa,
                                                td * units.K)
    expected = _velmora.thermo(t, p, td)
    assert str(theta.units) == "kelvin" and r.dimensionless
    np.testing.assert_allclose(theta_e.m_as("K"), expected[3], rtol=1e-13)
    dfdx, _ = velmora.gradient(np.ones((1, 2, 3)) * units.K, [0, 1, 2] * units.km,
                               [0, 1] * units.km)
    assert dfdx.units == units("K / m").units


def test_quantified_dataarrays_are_read_through_their_quantities(rng):
    t, p, td = sounding(rng)
    ds = velmora.thermo(xr.DataArray((t - 273.15) * units.degC, dims="n"),
                        xr.DataArray(p / 100 * units.hPa, dims="n"),
                        xr.DataArray(td * units.K, dims="n"))
    np.testing.assert_allclose(ds["potential_temperature"], _velmora.thermo(t, p, td)[1],
                               rtol=1e-13)


def test_kernel_units_give_the_kernels_bits(rng):
    """No conversion at all when the units are already the kernel's."""
    t, p, td = sounding(rng)
    ds = velmora.thermo(xr.DataArray(t, dims="n", attrs={"units": "K"}),
                        xr.DataArray(p, dims="n", attrs={"units": "Pa"}),
                        xr.DataArray(td, dims="n", attrs={"units": "K"}))
    assert_bits_equal(ds["equivalent_potential_temperature"].values, _velmora.thermo(t, p, td)[3])


@pytest.mark.parametrize("degrees", [True, False], ids=["degree", "radian"])
def test_azimuths_in_degrees_give_the_right_wind(degrees):
    az = np.linspace(0, 2 * np.pi, 360, endpoint=False)
    vr = xr.DataArray(2 + 0.9 * (10 * np.sin(az) + 5 * np.cos(az)), dims="azimuth",
                      attrs={"units": "m s-1"})
    angle = xr.DataArray(np.rad2deg(az) if degrees else az, dims="azimuth",
                         attrs={"units": "degree" if degrees else "radian"})
    wind = velmora.vad(vr, angle, 0.9, 3, 0.1)
    np.testing.assert_allclose([wind.eastward_wind, wind.northward_wind], [10, 5], rtol=1e-12)


@pytest.mark.parametrize("call, argument, shown", [
    (lambda t, p: velmora.thermo(t, p.assign_attrs(units="m"), t), "p", "'m'"),
    (lambda t, p: velmora.thermo(t, p.drop_attrs(), t), "p", "no units"),
    (lambda t, p: velmora.thermo(t, p, t.assign_attrs(units="furlongs")), "td", "furlongs"),
    (lambda t, p: velmora.thermo(t, p, 280.0), "td", "no units"),
    (lambda t, p: velmora.thermo(t.values * units.K, p.values, t.values * units.K), "p",
     "no units"),
    (lambda t, p: velmora.vad(p.assign_attrs(units="m s-1"), t, 1.0, 3, 0.1), "az", "'K'"),
    (lambda t, p: velmora.profile(p, p, p, 0 * units.m, 0, 1, 0, 0), "z", "'Pa'"),
    (lambda t, p: velmora.cold_pool(t.assign_attrs(units="m"), t.assign_attrs(units="m s-2"),
                                    np.nan * units.m, -0.5 * units.K, np.nan * units.m),
     "threshold", "kelvin"),
    (lambda t, p: velmora.gradient(t.expand_dims(y=2).rename(level="x")), "x", "no units"),
    (lambda t, p: velmora.gradient(t), "x", "no dimension"),
    (lambda t, p: velmora.perturb(p.assign_attrs(units="dB"), None, None, None, None, 1,
                                  np.ones((6, 3)), [0], [0], 1, 2, 0), "dbz", "'dB'"),
])
def test_missing_or_wrong_units_name_the_argument(call, argument, shown):
    t = xr.DataArray([280.0, 290.0, 300.0], dims="level", attrs={"units": "K"})
    p = xr.DataArray([9e4, 8e4, 7e4], dims="level", attrs={"units": "Pa"})
    with pytest.raises(ValueError, match=f"argument '{argument}'") as info:
        call(t, p)
    assert shown in str(info.value)


def test_likely_unit_slips_warn_once_for_bare_arrays(rng):
    t, p, td = sounding(rng)
    with pytest.warns(RuntimeWarning, match="hPa") as record:
        velmora.thermo(t, p / 100, td)
    assert len(record) == 1
    vr, az = sweep(rng)
    with pytest.warns(RuntimeWarning, match="degrees") as record:
        velmora.vad(vr, np.rad2deg(az), np.ones(5), 3, 0.1)
    assert len(record) == 1


# --------------------------------------------------------------------------
# masked arrays


def test_masked_elements_are_missing_never_their_fill(rng):
    vr, az = sweep(rng)
    hidden = rng.random(vr.shape) < 0.2
    masked = np.ma.masked_array(np.where(hidden, -9999.0, vr), mask=hidden)
    out = velmora.vad(masked, az, np.full(5, 0.9), 3, 0.1)
    expected = _velmora.vad(np.where(hidden, np.nan, vr), az, np.full(5, 0.9), 3, 0.1)
    assert isinstance(out, np.ma.MaskedArray)
    assert_bits_equal(out.filled(np.nan), expected)
    np.testing.assert_allclose(out[:2].mean(axis=1), [10, 5], atol=0.5)

    values = np.ma.masked_array([[1.0, 1e9], [3.0, 2.0]], mask=[[False, True], [False, False]])
    mean, std, pct = velmora.statistics(values, [50], 1)
    assert mean.tolist() == [2.0, 2.0] and std.mask.tolist() == [False, True]


# --------------------------------------------------------------------------
# level order


def flip(a):
    return np.asarray(a)[..., ::-1]


def test_top_down_columns_equal_bottom_up(rng):
    z, u, v = columns(rng)
    z[1, 3] = np.nan  # a missing height inside a column
    mixed = np.arange(6) % 2 == 0  # every other column stored top-down
    down = [np.where(mixed[:, None], flip(a), a) for a in (z, u, v)]
    expected = _velmora.profile(z, u, v, np.zeros(6), 100.0, 2000.0, np.ones(6), np.ones(6))
    assert_bits_equal(velmora.profile(*down, np.zeros(6), 100.0, 2000.0, np.ones(6), np.ones(6)),
                      expected)
    b = u - 5
    top = np.where(np.arange(6) % 3, np.nan, 700.0)
    expected = _velmora.cold_pool(z, b, np.full(6, 150.0), -2.0, top)
    assert_bits_equal(velmora.cold_pool(down[0], down[1] - 5, np.full(6, 150.0), -2.0, top),
                      expected)
    lazy = velmora.cold_pool(da.from_array(down[0], chunks=(2, 4)), down[1] - 5,
                             np.full(6, 150.0), -2.0, top)
    assert_bits_equal(lazy.compute(scheduler="sync"), expected)

    level = {"dims": ("column", "level"), "attrs": {"units": "m"}}
    labelled = velmora.cold_pool(xr.DataArray(flip(z), **level),
                                 xr.DataArray(flip(b), dims=level["dims"],
                                              attrs={"units": "m s-2"}),
                                 150 * units.m, -2.0 * units("m s-2"),
                                 xr.DataArray(top, dims="column", attrs={"units": "m"}))
    assert_bits_equal(labelled["intensity"].values, expected[0])


# --------------------------------------------------------------------------
# xarray front ends


def test_metadata_is_built_per_quantity(rng):
    t, p, td = sounding(rng, 4)
    air = {"units": "K", "standard_name": "air_temperature"}  # must not reach any output
    ds = velmora.thermo(xr.DataArray(t, dims="n", attrs=air),
                        xr.DataArray(p, dims="n", attrs={"units": "Pa"}),
                        xr.DataArray(td, dims="n", attrs={"units": "K"}))
    assert ds["mixing_ratio"].attrs == {"units": "kg kg-1",
                                        "long_name": "water vapour mixing ratio",
                                        "standard_name": "humidity_mixing_ratio"}
    assert "standard_name" not in ds["virtual_potential_temperature"].attrs
    assert ds["potential_temperature"].attrs["standard_name"] == "air_potential_temperature"
    assert ds["equivalent_potential_temperature"].attrs["units"] == "K"

    z, u, v = (xr.DataArray(a, dims=("column", "level"), attrs={"units": "m s-1"})
               for a in columns(rng))
    z.attrs["units"] = "m"
    prof = velmora.profile(z, u, v, 0 * units.m, 0 * units.m, 1 * units.km, 0 * units("m/s"),
                           0 * units("m/s"))
    assert prof["storm_relative_helicity"].attrs["units"] == "m2 s-2"
    assert prof["u_mean"].attrs["standard_name"] == "eastward_wind"

    codes = xr.DataArray(np.ones((3, 2)), dims=("member", "point"), attrs={"units": "dBZ"})
    modal = velmora.mode(codes, 2, 1)
    assert modal["fraction"].attrs["units"] == "1"
    field = xr.DataArray(np.ones((2, 3)), dims=("y", "x"), name="theta", attrs={"units": "K"},
                         coords={"y": ("y", [0.0, 1.0], {"units": "km"}),
                                 "x": ("x", [0.0, 1.0, 3.0], {"units": "km"})})
    assert velmora.gradient(field)["dtheta_dx"].attrs["units"] == "K m-1"


def test_gradient_coordinates_in_km_give_per_metre(rng):
    x, y = np.cumsum(rng.uniform(1, 2, 6)), np.cumsum(rng.uniform(1, 2, 5))
    f = xr.DataArray(2 * x + 3 * y[:, None], dims=("y", "x"), attrs={"units": "K"},
                     coords={"y": ("y", y, {"units": "km"}), "x": ("x", x, {"units": "km"})})
    grad = velmora.gradient(f)
    np.testing.assert_allclose(grad["df_dx"], 2e-3, rtol=1e-12)
    np.testing.assert_allclose(grad["df_dy"], 3e-3, rtol=1e-12)


def labelled_case(name, rng):
    """(dask-backed front-door result, the single kernel call's outputs in order)."""
    if name == "thermo":
        t, p, td = sounding(rng)
        args = [xr.DataArray(a, dims="n", attrs={"units": u}).chunk(7)
                for a, u in ((t, "K"), (p, "Pa"), (td, "K"))]
        return velmora.thermo(*args), list(_velmora.thermo(t, p, td))
    if name == "vad":
        vr, az = sweep(rng)
        out = velmora.vad(xr.DataArray(vr.T, dims=("azimuth", "range"),
                                       attrs={"units": "m s-1"}).chunk({"range": 2}),
                          xr.DataArray(np.rad2deg(az.T), dims=("azimuth", "range"),
                                       attrs={"units": "degree"}).chunk({"range": 3}),
                          0.9, 3, 0.1)
        return out, list(_velmora.vad(vr, np.deg2rad(np.rad2deg(az)), np.full(5, 0.9), 3, 0.1))
    if name in ("profile", "cold_pool"):
        z, u, v = columns(rng, k=12)
        grid = {"dims": ("y", "x", "level")}
        zz, uu, vv = (xr.DataArray(a.reshape(3, 4, -1), **grid).chunk({"y": 2}) for a in (z, u, v))
        zz.attrs["units"], uu.attrs["units"], vv.attrs["units"] = "m", "m s-1", "m s-1"
        if name == "profile":
            out = velmora.profile(zz, uu, vv, 0 * units.m, 0 * units.m, 900 * units.m,
                                  1 * units("m/s"), 2 * units("m/s"))
            return out, list(_velmora.profile(z, u, v, np.zeros(12), 0.0, 900.0, np.ones(12),
                                              np.full(12, 2.0)))
        uu.attrs["units"] = "m s-2"
        out = velmora.cold_pool(zz, uu - 5, np.nan * units.m, -0.5 * units("m s-2"),
                                np.nan * units.m)
        return out, list(_velmora.cold_pool(z, u - 5, np.full(12, np.nan), -0.5,
                                            np.full(12, np.nan)))
    if name == "gradient":
        f, x, y = numpy_args("gradient", rng)
        out = velmora.gradient(xr.DataArray(f, dims=("t", "y", "x"), coords={
            "x": ("x", x, {"units": "m"}), "y": ("y", y, {"units": "m"})}).chunk({"y": 2}))
        return out, list(_velmora.gradient(f, x, y))
    if name == "perturb":
        fields, fac = radar_fields(rng)
        shape = (3, 100)
        names = ["dBZ", "dB", "degree", "1", "m s-1"]
        labelled = [xr.DataArray(f.reshape(shape), dims=("azimuth", "range"),
                                 attrs={"units": u}).chunk({"range": 30})
                    for f, u in zip(fields, names)]
        bias_dbz, bias_zdr = rng.normal(size=7), rng.normal(size=7)
        out = velmora.perturb(*labelled, 31, fac.reshape((6,) + shape), bias_dbz, bias_zdr,
                              *KEY, 3, member_chunks=3)
        single = _ensemble.perturb(*fields, 31, fac, bias_dbz, bias_zdr, *KEY, 3)
        return out, [single[:, s].reshape((7,) + shape) for s in range(5)]
    if name == "words":
        out = velmora.words(*KEY, 5, 0, 10, lazy=True, labelled=True).to_dataset()
        return out, [_ensemble.words(*KEY, 5, 0, 10)]
    values = numpy_args(name, rng)[0]
    labelled = xr.DataArray(values.T, dims=("point", "member")).chunk({"point": 7})
    if name == "statistics":
        out = velmora.statistics(labelled, [5, 50, 95], 2)
        return out, list(_ensemble.statistics(values, [5, 50, 95], 2))
    return velmora.mode(labelled, 4, 2), list(_ensemble.mode(values, 4, 2))


@pytest.mark.parametrize("name", NAMES)
def test_dask_backed_dataarrays_stay_lazy_and_give_one_calls_bits(name, rng):
    out, expected = labelled_case(name, rng)
    assert all(dask.is_dask_collection(out[v]) for v in out.data_vars)
    (computed,) = dask.compute(out, scheduler="threads")
    assert len(computed.data_vars) == len(expected)
    for variable, single in zip(computed.data_vars.values(), expected):
        assert_same(np.ascontiguousarray(variable.values).reshape(single.shape), single)


def test_vad_over_a_sweep_of_any_layout(rng):
    vr, az = sweep(rng)
    single = _velmora.vad(vr, az, np.full(5, 0.9), 3, 0.1)
    for dims, data in ((("azimuth", "range"), vr.T), (("range", "azimuth"), vr)):
        out = velmora.vad(xr.DataArray(data, dims=dims, attrs={"units": "m s-1"}),
                          xr.DataArray(az if dims[0] == "range" else az.T, dims=dims,
                                       attrs={"units": "rad"}), 0.9, 3, 0.1)
        assert out["eastward_wind"].dims == ("range",)
        assert_bits_equal(out["eastward_wind"].values, single[0])


# --------------------------------------------------------------------------
# errors and types


@pytest.mark.parametrize("call, argument", [
    (lambda big: velmora.thermo(big, {"not": "numbers"}, big), "p"),
    (lambda big: velmora.vad([big], [big], [1.0], "3", 0.1), "min_gates"),
    (lambda big: velmora.statistics([big], ["x"], 1), "percentiles"),
    (lambda big: velmora.perturb(None, None, None, None, None, 0, [[0.0]] * 6, [], [],
                                 -1, 0, 0), "k0"),
    (lambda big: velmora.cold_pool([big], [big], [0.0], "cold", [1.0]), "threshold"),
    (lambda big: velmora.gradient(np.ones((1, 2, 2)), [0, 1], [0, object()]), "y"),
])
def test_conversion_failures_are_one_short_line_naming_the_argument(call, argument):
    big = [0.5] * 1_000_000
    with pytest.raises(TypeError) as info:
        call(big)
    message = str(info.value)
    assert f"'{argument}'" in message and "\n" not in message and len(message) < 200


def test_mypy_sees_the_types_of_a_user_script(tmp_path, request):
    script = tmp_path / "user.py"
    script.write_text(textwrap.dedent("""\
        import numpy as np
        import pint
        import xarray as xr
        import velmora

        wind = velmora.vad(np.ones((2, 8)), np.ones((2, 8)), np.ones(2), 3, 0.1, n_threads=1)
        reveal_type(wind)
        reveal_type(velmora.thermo(xr.DataArray([300.0]), xr.DataArray([1e5]), 290.0))
        ureg = pint.UnitRegistry()
        height = ureg.Quantity(np.ones((1, 2)), "m")
        reveal_type(velmora.profile(height, height, height, height, ureg.Quantity(0.0, "m"),
                                    ureg.Quantity(1.0, "km"), height, height))
        reveal_type(velmora.statistics(np.ones((3, 2)), [50], 1))
        velmora.thermo(np.ones(3), np.ones(3))
    """))
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    # mypy's cache (kept by pytest when it can) spares re-reading NumPy's stubs every run.
    cache = getattr(request.config, "cache", None)
    cache_dir = cache.mkdir("mypy") if cache is not None else tmp_path / "mypy-cache"
    proc = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(cache_dir),
                           "--config-file", os.devnull, str(script)], capture_output=True,
                          text=True, cwd=tmp_path, env=env, timeout=300)
    out = proc.stdout
    revealed = re.findall(r'Revealed type is "(.*)"', out)
    assert len(revealed) == 4, out
    assert revealed[0].startswith("numpy.ndarray") and "float64" in revealed[0]
    assert revealed[1] == "xarray.core.dataset.Dataset"
    assert re.match(r"(builtins\.)?tuple\[pint\..*Quantity", revealed[2]), revealed[2]
    assert re.match(r"(builtins\.)?tuple\[numpy\.ndarray", revealed[3]), revealed[3]
    assert 'No overload variant of "thermo" matches' in out or "Missing positional" in out, out
    assert "Found 1 error" in out, out


def test_the_unit_registry_leaves_pints_application_registry_alone():
    """Code built on the application registry (MetPy's) keeps working after velmora's units."""
    code = ("import pint\n"
            "before = pint.get_application_registry().get()\n"
            "import velmora.units\n"
            "assert pint.get_application_registry().get() is before\n")
    subprocess.run([sys.executable, "-c", code], check=True)
