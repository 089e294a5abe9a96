"""Radar sweeps read by their units and coordinates; every unreadable input named."""

import re
import warnings

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

import radar_cases as cases  # noqa: E402
from velmora import radar  # noqa: E402


def one_line(message, *words):
    assert "\n" not in message and len(message) < 300, message
    for word in words:
        assert word in message, (word, message)


def fitted(ds, **kw):
    out = radar.vad(ds, min_gates=3, **kw)
    return float(out["eastward_wind"][0]), float(out["northward_wind"][0])


# ---------------------------------------------------------------------------
# units of the velocity, the range and the angles


@pytest.mark.parametrize("units, per_ms", [("knots", 1 / 0.514444), ("kt", 1 / 0.514444),
                                           ("cm s-1", 100.0), ("km/h", 3.6),
                                           ("meters per seconds", 1.0), ("m/s", 1.0)])
def test_velocity_in_any_speed_unit_gives_the_wind_in_ms(units, per_ms):
    ds = cases.sweep(gates=3, level2=False)
    ds["VRADH"] = ds["VRADH"] * per_ms
    ds["VRADH"].attrs["units"] = units
    np.testing.assert_allclose(fitted(ds), (10.0, 5.0), rtol=1e-5)


@pytest.mark.parametrize("units", ["dBZ", "dB", "degrees", "K", "1"])
def test_a_field_that_is_no_velocity_is_refused(units):
    ds = cases.sweep(gates=3)
    ds["VRADH"].attrs["units"] = units
    with pytest.raises(ValueError) as info:
        radar.vad(ds)
    one_line(str(info.value), "vad()", "'VRADH'", f"'{units}'", "m s-1")


def test_one_sweep_in_knots_among_sweeps_in_ms():
    low = cases.sweep(elevation=0.5, gates=20, number=1)
    high = cases.sweep(elevation=0.5, gates=20, number=3, level2=False)
    high["VRADH"] = high["VRADH"] / 0.514444
    high["VRADH"].attrs["units"] = "knots"
    profile = radar.vwp(cases.volume([low, high]), nyquist=30.0, top=500.0)
    filled = profile.where(profile["gate_count"] > 0, drop=True)
    np.testing.assert_allclose(filled["eastward_wind"], 10.0, rtol=1e-5)
    np.testing.assert_allclose(filled["u_spread"], 0.0, atol=1e-4)


def test_range_in_km_is_converted():
    ds = cases.sweep(gates=3)
    metres = radar.vad(ds)
    ds = ds.assign_coords(range=("range", ds["range"].values / 1000.0, {"units": "km"}))
    km = radar.vad(ds)
    np.testing.assert_allclose(km["height"], metres["height"], rtol=1e-12)
    np.testing.assert_allclose(km["range"], metres["range"], rtol=1e-12)


@pytest.mark.parametrize("units", ["radians", "rad", "radian"])
def test_azimuth_and_elevation_in_radians_are_converted(units):
    ds = cases.sweep(gates=3, elevation=4.0)
    ds = ds.assign_coords(
        azimuth=("azimuth", np.deg2rad(ds["azimuth"].values), {"units": units}),
        elevation=("azimuth", np.deg2rad(ds["elevation"].values), {"units": units}))
    np.testing.assert_allclose(fitted(ds), (10.0, 5.0), atol=1e-9)


@pytest.mark.parametrize("name, units", [("azimuth", "percent"), ("azimuth", "m"),
                                         ("elevation", "1"), ("range", "degree"),
                                         ("range", "furlongs per fortnight")])
def test_coordinates_of_the_wrong_kind_are_refused(name, units):
    ds = cases.sweep(gates=3)
    ds[name].attrs["units"] = units
    with pytest.raises(ValueError) as info:
        radar.vad(ds)
    one_line(str(info.value), "vad()", f"'{name}'", units)


def test_unitless_radians_are_refused_not_read_as_degrees():
    ds = cases.sweep(gates=3)
    ds = ds.assign_coords(azimuth=("azimuth", np.deg2rad(ds["azimuth"].values)))
    with pytest.raises(ValueError) as info:
        radar.vad(ds)
    one_line(str(info.value), "vad()", "'azimuth'", "radian")


@pytest.mark.parametrize("name", ["range", "azimuth", "elevation"])
def test_a_missing_coordinate_is_refused(name):
    ds = cases.sweep(gates=3).drop_vars(name)
    with pytest.raises(ValueError) as info:
        radar.vad(ds)
    one_line(str(info.value), "vad()", f"'{name}'")


# ---------------------------------------------------------------------------
# near-vertical sweeps


@pytest.mark.parametrize("elevation", [90.0, np.array([0.5, 90.0] * 180), 85.0])
def test_vertically_pointing_sweeps_are_refused_by_vad(elevation):
    ds = cases.sweep(gates=3)
    ds["elevation"] = ("azimuth", np.broadcast_to(elevation, (360,)).astype(float))
    with pytest.raises(ValueError) as info:
        radar.vad(ds)
    one_line(str(info.value), "vad()", "sweep 0", "80")


def test_vwp_leaves_vertical_sweeps_out_and_says_so():
    good = cases.sweep(elevation=0.5, gates=20, number=1)
    vertical = cases.sweep(elevation=0.5, gates=20, number=2)
    vertical["elevation"] = ("azimuth", np.full(360, 90.0))
    with pytest.warns(UserWarning, match=r"sweeps \[2\]"):
        profile = radar.vwp(cases.volume([good, vertical]), nyquist=30.0, top=500.0)
    assert float(np.nanmax(np.abs(profile["eastward_wind"]))) < 10.0 + 1e-9
    with pytest.warns(UserWarning, match="vertical"), pytest.raises(ValueError, match="vwp()"):
        radar.vwp(cases.volume([vertical]), nyquist=30.0)


# ---------------------------------------------------------------------------
# Level II codes in a derived velocity


def derived(ds, root_attrs=None):
    """A field computed from the Level II velocity: codes kept, packing lost."""
    ds["VCORR"] = ds["VRADH"] * 1.0
    ds["VCORR"].attrs["units"] = "m s-1"
    assert not ds["VCORR"].encoding
    return ds


@pytest.mark.parametrize("code", [cases.BELOW_THRESHOLD, cases.RANGE_FOLDED])
def test_level2_codes_in_a_derived_field_are_missing(code):
    ds = cases.sweep(gates=3)
    ds["VRADH"].values[::3] = code
    ds = derived(ds)
    np.testing.assert_allclose(fitted(ds, field="VCORR"), (10.0, 5.0), atol=1e-12)
    assert int(radar.vad(ds, field="VCORR", min_gates=3)["n_valid"][0]) == 240


def test_level2_codes_are_known_from_the_volume_when_no_sibling_is_packed():
    ds = cases.sweep(gates=3, level2=False)
    ds["VRADH"].values[::3] = cases.BELOW_THRESHOLD
    tree = cases.volume([ds])
    tree.attrs["doppler_velocity_resolution"] = 0.5
    out = radar.vad(tree["sweep_0"])
    np.testing.assert_allclose([out["eastward_wind"][0], out["northward_wind"][0]], (10.0, 5.0),
                               atol=1e-12)


def test_the_same_values_elsewhere_are_real_data():
    """An ODIM or CfRadial sweep may hold -64.5 m/s: it is fitted."""
    ds = cases.sweep(u=60.0, v=30.0, gates=2, level2=False)
    ds["VRADH"].values[0] = cases.BELOW_THRESHOLD
    assert int(radar.vad(ds, qc=False)["n_valid"][0]) == 360  # the QC would call it an outlier
    # Values near a code in a Level II volume are not codes either.
    ds = cases.sweep(gates=2)
    ds = derived(ds)
    ds["VCORR"].values[::3] = cases.BELOW_THRESHOLD - 0.12
    assert int(radar.vad(ds, field="VCORR")["n_valid"][0]) == 360


# ---------------------------------------------------------------------------
# arguments and objects


class PyartLike:
    """The parts of a Py-ART Radar the readers use: two sweeps of 360 rays."""

    def __init__(self, units="meters_per_second"):
        ds = cases.sweep(gates=4, level2=False)
        vr = np.concatenate([ds["VRADH"].values] * 2)
        self.fields = {"velocity": {"data": np.ma.masked_array(vr), "units": units}}
        self.azimuth = {"data": np.tile(ds["azimuth"].values, 2), "units": "degrees"}
        self.elevation = {"data": np.tile(ds["elevation"].values, 2), "units": "degrees"}
        self.range = {"data": ds["range"].values, "units": "meters"}
        self.altitude = {"data": np.array([900.0])}
        self.sweep_start_ray_index = {"data": np.array([0, 360])}
        self.nsweeps = 2

    def get_slice(self, n):
        return slice(360 * n, 360 * (n + 1))


def test_pyart_units_are_read():
    np.testing.assert_allclose(fitted(PyartLike()), (10.0, 5.0), atol=1e-5)
    knots = PyartLike("knots")
    knots.fields["velocity"]["data"] /= 0.514444
    np.testing.assert_allclose(fitted(knots, index=1), (10.0, 5.0), rtol=1e-5)


def sweep_extra_volume():
    tree = cases.volume([cases.sweep(number=1)])
    tree["sweep_extra"] = xr.DataTree(xr.Dataset({"note": ((), 1)}))
    return tree


@pytest.mark.parametrize("call, words", [
    (lambda: radar.vad(PyartLike(), index=2), ["'index'", "2", "0 .. 1"]),
    (lambda: radar.vad(PyartLike(), index="1"), ["'index'", "str"]),
    (lambda: radar.vad(PyartLike(), field="VEL"), ["'field'", "'VEL'", "velocity"]),
    (lambda: radar.vad(cases.sweep(), field="VEL"), ["'field'", "'VEL'", "VRADH"]),
    (lambda: radar.vad(cases.sweep(), nyquist="abc"), ["'nyquist'", "str"]),
    (lambda: radar.vad(cases.sweep(), nyquist=-3.0), ["'nyquist'", "positive"]),
    (lambda: radar.vwp(cases.volume([cases.sweep()]), nyquist={"a": 3.0}), ["'nyquist'", "'a'"]),
    (lambda: radar.vad(cases.sweep(), min_gates="30"), ["'min_gates'", "str"]),
    (lambda: radar.vad(cases.sweep(), min_gates=2.5), ["'min_gates'", "float"]),
    (lambda: radar.vad(cases.sweep(), min_spread="0.1"), ["'min_spread'", "str"]),
    (lambda: radar.vwp(cases.volume([cases.sweep()]), bin_width=0), ["'bin_width'", "0"]),
    (lambda: radar.vwp(cases.volume([cases.sweep()]), bin_width=np.nan), ["'bin_width'", "nan"]),
    (lambda: radar.vwp(cases.volume([cases.sweep()]), bin_width=-100.0), ["'bin_width'", "-100"]),
    (lambda: radar.vwp(cases.volume([cases.sweep()]), top=10.0), ["'top'", "10", "lowest gate"]),
    (lambda: radar.vwp(cases.volume([cases.sweep()]), edges=[0.0, np.nan]), ["'edges'"]),
    (lambda: radar.vad(cases.volume([cases.sweep()])), ["'sweep'", "whole volume", "sweep_0"]),
    (lambda: radar.vad(cases.volume([cases.sweep()]), index=4), ["'index'", "4", "sweep_0"]),
    (lambda: radar.vad(cases.sweep(), index=0), ["'index'", "already one sweep"]),
    (lambda: radar.vad(np.zeros((3, 3))), ["'sweep'", "ndarray"]),
    (lambda: radar.vwp(cases.sweep()), ["'volume'", "single sweep"]),
])
def test_bad_arguments_get_one_line_naming_them(call, words):
    with pytest.raises((ValueError, TypeError)) as info:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # an unknown Nyquist velocity
            call()
    one_line(str(info.value), *words)
    assert re.match(r"(vad|vwp)\(\)", str(info.value)), str(info.value)


def test_a_sweep_of_a_volume_by_its_number():
    tree = cases.volume([cases.sweep(u=4.0, number=1), cases.sweep(number=3)])
    xr.testing.assert_identical(radar.vad(tree, index=3), radar.vad(tree["sweep_3"]))


def test_other_children_of_a_volume_are_not_sweeps():
    tree = sweep_extra_volume()
    assert radar.doppler_sweeps(tree) == [1]
    profile = radar.vwp(tree, nyquist=30.0, top=500.0)
    np.testing.assert_allclose(profile["eastward_wind"].dropna("height"), 10.0, atol=1e-9)


def test_nyquist_in_units_and_per_sweep():
    pint = pytest.importorskip("pint")
    ureg = pint.UnitRegistry()
    ds = cases.sweep(u=20.0, v=0.0, gates=2)
    out = radar.vad(ds, nyquist=40 * ureg.knot)
    assert float(out["nyquist_velocity"]) == pytest.approx(40 * 1852 / 3600)
    assert not out["aliased"].any()
    with pytest.raises(ValueError, match="'nyquist'"):
        radar.vad(ds, nyquist=3 * ureg.K)
