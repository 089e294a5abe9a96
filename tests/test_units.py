"""Unit strings read as meant or refused, quantities and masks kept, mistakes named."""

import subprocess
import sys

import numpy as np
import pytest

import _velmora
import velmora
from conftest import assert_bits_equal
from velmora._inputs import ALIASES

xr = pytest.importorskip("xarray")
pint = pytest.importorskip("pint")
da = pytest.importorskip("dask.array")

from velmora.units import units  # noqa: E402


def column(values, unit):
    return xr.DataArray(np.asarray(values, dtype=float), dims="level", attrs={"units": unit})


def one_line(message, *words):
    assert "\n" not in message and len(message) < 300, message
    for word in words:
        assert word in message, (word, message)


# ---------------------------------------------------------------------------
# spellings


SPELLED = {"degC": 26.85, "K": 300.0, "degF": 80.33, "hPa": 1000.0, "knot": 10.0, "m s-1": 10.0}
IN_KERNEL_UNITS = {"degC": 300.0, "K": 300.0, "degF": 300.0 - 0.0002777777777,
                   "hPa": 1e5, "knot": 5.144444444444445, "m s-1": 10.0}


@pytest.mark.parametrize("spelling", sorted(ALIASES))
def test_every_spelling_is_read_as_meant(spelling):
    meant = ALIASES[spelling]
    value = SPELLED[meant]
    if meant in ("hPa",):
        ds = velmora.thermo(column([300.0], "K"), column([value], spelling), column([290.0], "K"))
        assert float(ds["potential_temperature"][0]) == pytest.approx(300.0, rel=1e-12)
    elif meant in ("knot", "m s-1"):
        out = velmora.profile(column([0.0, 1000.0], "m"), column([0.0, value], spelling),
                              column([0.0, 0.0], "m/s"), 0 * units.m, 0 * units.m,
                              1000 * units.m, 0 * units("m/s"), 0 * units("m/s"))
        assert float(out["u_top"]) == pytest.approx(IN_KERNEL_UNITS[meant], rel=1e-9)
    else:
        ds = velmora.thermo(column([value], spelling), column([1e5], "Pa"),
                            column([value], spelling))
        assert float(ds["potential_temperature"][0]) == pytest.approx(
            IN_KERNEL_UNITS[meant], abs=1e-3)


def test_registry_spellings_pint_misreads_are_refused_not_guessed():
    """Unlisted spellings that pint reads as angle x temperature are no temperature."""
    with pytest.raises(ValueError) as info:
        velmora.thermo(column([26.85], "arcdegree degC"), column([1e5], "Pa"),
                       column([16.85], "degC"))
    one_line(str(info.value), "thermo()", "'t'", "arcdegree degC", "temperature")


@pytest.mark.parametrize("call, argument, given", [
    (lambda: velmora.vad(xr.DataArray(np.ones((2, 8)), dims=("range", "azimuth"),
                                      attrs={"units": "m/s"}),
                         xr.DataArray(np.ones((2, 8)), dims=("range", "azimuth"),
                                      attrs={"units": "percent"}), 0.9, 3, 0.1), "az", "percent"),
    (lambda: velmora.vad(np.ones((2, 8)) * units("m/s"), np.ones((2, 8)) * units.degree,
                         np.ones(2) * units.degree, 3, 0.1), "cos_el", "degree"),
    (lambda: velmora.thermo(column([10.0], "delta_degC"), column([1e5], "Pa"),
                            column([280.0], "K")), "t", "delta_degC"),
    (lambda: velmora.thermo(column([300.0], "K"), column([1000.0], "mb m"),
                            column([280.0], "K")), "p", "mb m"),
])
def test_units_matching_only_because_angles_are_dimensionless_are_refused(call, argument, given):
    with pytest.raises(ValueError) as info:
        call()
    one_line(str(info.value), f"'{argument}'", given)


def labelled(data, **attrs):
    return xr.DataArray(data, dims=("range", "azimuth"), attrs=attrs)


@pytest.mark.parametrize("vr, az", [
    (labelled(np.ones((2, 8)), units="m/s"), np.zeros((2, 8))),
    (labelled(np.ones((2, 8)), units="m/s"), labelled(np.zeros((2, 8)))),
    (np.ones((2, 8)) * units("m/s"), np.zeros((2, 8))),
], ids=["xarray-bare", "xarray-no-units", "pint-bare"])
def test_a_bare_azimuth_in_a_call_with_units_is_refused(vr, az):
    with pytest.raises(ValueError) as info:
        velmora.vad(vr, az, 0.9, 3, 0.1)
    one_line(str(info.value), "vad()", "'az'", "no units", "angle")


def test_a_bare_cosine_in_a_call_with_units_is_fine():
    az = np.linspace(0, 2 * np.pi, 36, endpoint=False)[None, :]
    vr = 0.9 * (10 * np.sin(az) + 5 * np.cos(az))
    u, *_ = velmora.vad(vr * units("m/s"), az * units.radian, 0.9, 3, 0.1)
    np.testing.assert_allclose(u.m_as("m/s"), 10.0, rtol=1e-12)


# ---------------------------------------------------------------------------
# spreads, masks, labels and inputs


def test_spreads_are_differences():
    values = np.array([[10.0, 0.0], [12.0, 4.0]])
    ds = velmora.statistics(xr.DataArray(values, dims=("member", "x"), attrs={"units": "degC"}),
                            [50], 1)
    std = units.Quantity(ds["std"].values, ds["std"].attrs["units"])
    np.testing.assert_allclose(std.m_as("K"), [np.sqrt(2), np.sqrt(8)], rtol=1e-6)
    assert ds["mean"].attrs["units"] == "degC"
    mean, std, levels = velmora.statistics(units.Quantity(values, "degC"), [50], 1)
    np.testing.assert_allclose(std.m_as("K"), [np.sqrt(2), np.sqrt(8)], rtol=1e-6)
    np.testing.assert_allclose(mean.m_as("K"), [284.15, 275.15], rtol=1e-6)
    _, std, _ = velmora.statistics(units.Quantity(values, "m"), [50], 1)
    assert std.units == units.m


def masked_sounding():
    t = np.ma.masked_array([300.0, 290.0, 1e9, 280.0], mask=[0, 0, 1, 0])
    p = np.array([1e5, 9e4, 8e4, 7e4])
    td = np.array([290.0, 280.0, 270.0, 260.0])
    return t, p, td


def test_dask_chunks_of_masked_arrays_keep_their_mask():
    t, p, td = masked_sounding()
    expected = _velmora.thermo(t.filled(np.nan), p, td)
    lazy = velmora.thermo(da.from_array(t, chunks=2), p, td)
    computed = lazy.compute()
    assert isinstance(computed, np.ma.MaskedArray)
    assert_bits_equal(computed.filled(np.nan), expected)
    values = np.ma.masked_array(np.arange(12.0).reshape(4, 3), mask=np.zeros((4, 3), bool))
    values[0] = np.ma.masked
    values.data[0] = 1e6  # what lies under the mask must not count
    mean, std, levels = velmora.statistics(da.from_array(values, chunks=(4, 1)), [50], 1)
    np.testing.assert_array_equal(mean.compute(), [6.0, 7.0, 8.0])
    dataarray = xr.DataArray(da.from_array(values, chunks=(4, 1)), dims=("member", "x"))
    np.testing.assert_array_equal(velmora.statistics(dataarray, [50], 1)["mean"], [6, 7, 8])


def test_a_quantity_of_a_masked_array_comes_back_masked():
    t, p, td = masked_sounding()
    r, theta, *_ = velmora.thermo(units.Quantity(t, "K"), units.Quantity(p, "Pa"),
                                  units.Quantity(td, "K"))
    assert isinstance(theta.magnitude, np.ma.MaskedArray)
    np.testing.assert_array_equal(np.ma.getmaskarray(theta.magnitude), t.mask)


def test_perturb_fac_is_taken_by_label():
    x = [0, 1, 2]
    dbz = xr.DataArray([30.0] * 3, dims="x", coords={"x": x}, attrs={"units": "dBZ"})
    fac = xr.DataArray(np.zeros((6, 3)), dims=("factor", "x"), coords={"x": x})
    fac[0, 2] = 0.5
    args = (np.zeros(8), np.zeros(8), 1, 2, 0)
    straight = velmora.perturb(dbz, None, None, None, None, 1, fac, *args)
    shuffled = velmora.perturb(dbz, None, None, None, None, 1, fac.isel(x=[2, 0, 1]), *args)
    xr.testing.assert_identical(straight, shuffled)
    np.testing.assert_array_equal(shuffled["dbz"].std("member")[:2], 0.0)
    with pytest.raises(ValueError, match="'fac' has labels along 'x'"):
        velmora.perturb(dbz, None, None, None, None, 1, fac.assign_coords(x=[3, 4, 5]), *args)


def snapshot(a):
    return (np.ma.getdata(a).copy(), np.ma.getmaskarray(a).copy(),
            getattr(a, "fill_value", None), a.dtype)


@pytest.mark.parametrize("bad", ["bottom", "top", "b"])
def test_cold_pool_never_touches_its_inputs(bad):
    args = {"z": np.ma.masked_array([[0.0, 100.0, 200.0]], mask=[[0, 0, 1]]),
            "b": np.ma.masked_array([[-2.0, -1.0, 0.0]], mask=[[0, 1, 0]]),
            "bottom": np.ma.masked_array([np.nan], mask=[1]),
            "top": np.ma.masked_array([np.nan], mask=[0])}
    before = {k: snapshot(v) for k, v in args.items()}
    velmora.cold_pool(args["z"], args["b"], args["bottom"], -0.5, args["top"])
    shape = args[bad].shape
    args[bad] = np.ma.masked_array(np.full(shape, {"not": "a number"}, dtype=object),
                                   mask=np.zeros(shape, bool))
    before[bad] = snapshot(args[bad])
    with pytest.raises(TypeError) as info:
        velmora.cold_pool(args["z"], args["b"], args["bottom"], -0.5, args["top"])
    one_line(str(info.value), f"'{bad}'", "object")
    for name, value in args.items():
        for x, y in zip(before[name], snapshot(value)):
            if isinstance(x, np.ndarray) and x.dtype != object:
                assert np.array_equal(x, y, equal_nan=True), name
            else:
                assert np.all(x == y), name


# ---------------------------------------------------------------------------
# bare hPa


def real_sounding_in_hpa():
    p = np.linspace(1000.0, 100.0, 70)
    t = 300.0 - 60.0 * np.log(1000.0 / p)
    return t, p, t - 10.0


@pytest.mark.parametrize("t, p, td", [
    ([253.15], [500.0], [253.15]),
    real_sounding_in_hpa(),
    ([300.0, 220.0], [1e5, 1000.0], [290.0, 200.0]),  # one level in hPa among Pa
])
def test_bare_hpa_is_caught_at_every_level(t, p, td):
    with pytest.warns(RuntimeWarning, match="'p'.*hPa") as record:
        velmora.thermo(t, p, td)
    assert len(record) == 1


def test_a_real_sounding_in_pa_is_not_warned_about():
    t, p, td = real_sounding_in_hpa()
    velmora.thermo(t, p * 100.0, td)  # warnings are errors here


# ---------------------------------------------------------------------------
# the registry


def test_the_registry_is_the_one_users_already_have():
    code = ("import pint, numpy as np\n"
            "from velmora.units import units\n"
            "theirs = pint.get_application_registry()\n"
            "total = 1 * units.m + theirs.Quantity(1.0, 'km')\n"
            "assert total.m_as('m') == 1001.0\n"
            "assert units('m s-1') == theirs('m/s')\n"
            "assert (20.0 * units.degC).m_as('K') == 293.15\n")
    subprocess.run([sys.executable, "-c", code], check=True)


@pytest.mark.parametrize("first", ["metpy.units", "velmora.units"])
def test_quantities_combine_with_metpys_whichever_is_imported_first(first):
    pytest.importorskip("metpy")
    second = "velmora.units" if first == "metpy.units" else "metpy.units"
    code = (f"import {first}, {second}\n"
            "from metpy.units import units as theirs\n"
            "from velmora.units import units\n"
            "import velmora\n"
            "r, theta, *_ = velmora.thermo(theirs.Quantity([20.0], 'degC'),\n"
            "                              [1000.0] * units.hPa, theirs.Quantity([15.0], 'degC'))\n"
            "assert (theta + 1 * units.K - 1 * theirs.K).m_as('K')[0] == 293.15\n")
    subprocess.run([sys.executable, "-W", "error", "-c", code], check=True)


# ---------------------------------------------------------------------------
# shapes and conversions named


@pytest.mark.parametrize("call, words", [
    (lambda: velmora.thermo([300.0, 1.0], [1e5], [290.0]), ["'t' (2,)", "'p' (1,)"]),
    (lambda: velmora.vad(np.ones((2, 8)), np.ones((2, 7)), [1, 1], 3, 0.1),
     ["'vr' (2, 8)", "'az' (2, 7)"]),
    (lambda: velmora.profile([0, 1], [0, 1], [0, 1], [0], 0.0, 1.0, [0], [0]), ["'u' (2,)"]),
    (lambda: velmora.cold_pool([[0, 1]], [[0, 1]], [0, 1], 0.1, [0]), ["'bottom' (2,)"]),
    (lambda: velmora.gradient(np.ones((1, 2, 3)), [0, 1], [0, 1]), ["'x' (2,)"]),
    (lambda: velmora.statistics(np.ones(3), [50], 1), ["'values' (3,)"]),
    (lambda: velmora.profile(column([0.0, 1.0], "m").rename(level="z"),
                             column([0.0, 1.0], "m/s").rename(level="z"),
                             column([0.0, 1.0], "m/s").rename(level="z"), 0 * units.m,
                             0 * units.m, 1 * units.m, 0 * units("m/s"), 0 * units("m/s")),
     ["'z'", "('z',)", "'level'", "dim="]),
])
def test_shape_errors_name_the_arguments_and_their_shapes(call, words):
    with pytest.raises(ValueError) as info:
        call()
    one_line(str(info.value), *words)


@pytest.mark.parametrize("call, argument", [
    (lambda: velmora.thermo(np.ma.masked_array(["a", "b"]), [1e5, 1e5], [290.0, 290.0]), "t"),
    (lambda: velmora.thermo(["300"], [1e5], [290.0]), "t"),
    (lambda: velmora.vad(np.ones((1, 8)), np.ones((1, 8)), [1.0], 3, "0.1"), "min_spread"),
    (lambda: velmora.profile([0, 1], [[0, 1]], [0, 1], [0], "0", 1.0, [0], [0]), "bottom"),
])
def test_strings_are_refused_naming_the_argument(call, argument):
    with pytest.raises(TypeError) as info:
        call()
    one_line(str(info.value), f"'{argument}'")
