"""Storm motion, bulk shear and helicity without pressure, on grids and on wind profiles."""

import pathlib
import warnings

import numpy as np
import pytest

import velmora
from conftest import assert_bits_equal

xr = pytest.importorskip("xarray")
from velmora import radar  # noqa: E402
from velmora.units import units  # noqa: E402

DATA = pathlib.Path(__file__).parent / "data"
SOUNDINGS = ["may4_sounding.txt", "20110522_OUN_12Z.txt"]
KNOT = 1852.0 / 3600.0


def read_sounding(name):
    """Height (m) and wind (m s-1) of the levels with both, from the fixed 7-character columns."""
    rows = []
    for line in (DATA / name).read_text().splitlines():
        fields = [line[7 * k:7 * k + 7].strip() for k in range(8)]
        try:
            rows.append([float(fields[1]), float(fields[6]), float(fields[7])])
        except ValueError:
            continue
    z, direction, speed = np.array(rows).T
    rad = np.deg2rad(direction)
    return z, -speed * KNOT * np.sin(rad), -speed * KNOT * np.cos(rad)


def columns():
    """Both soundings as two columns padded with NaN, and their ground heights."""
    soundings = [read_sounding(n) for n in SOUNDINGS]
    j = max(s[0].size for s in soundings)
    z, u, v = (np.full((2, j), np.nan) for _ in range(3))
    for k, (zk, uk, vk) in enumerate(soundings):
        z[k, :zk.size], u[k, :zk.size], v[k, :zk.size] = zk, uk, vk
    return z, u, v, np.array([s[0][0] for s in soundings])


# An independent computation of the same formulas: np.interp at the bounds,
# np.trapezoid over the layer.


def layer_wind(z, w, bottom, top):
    ends = np.interp([bottom, top], z, w)
    inside = (z > bottom) & (z < top)
    zz = np.r_[bottom, z[inside], top]
    ww = np.r_[ends[0], w[inside], ends[1]]
    return ends, np.trapezoid(ww, zz) / (top - bottom)


def bunkers_reference(z, u, v):
    z = z - z[0]
    means = {}
    for name, (bottom, top) in {"all": (0, 6000), "low": (0, 500), "high": (5500, 6000)}.items():
        means[name] = np.array([layer_wind(z, w, bottom, top)[1] for w in (u, v)])
    shear = means["high"] - means["low"]
    dev = 7.5 * np.array([shear[1], -shear[0]]) / np.hypot(*shear)
    return np.r_[means["all"] + dev, means["all"] - dev, means["all"]]


def test_storm_motion_and_shear_equal_an_independent_computation():
    z, u, v, ground = columns()
    motion = velmora.storm_motion(z, u, v, ground)
    for k in range(2):
        ok = np.isfinite(z[k])
        expected = bunkers_reference(z[k, ok], u[k, ok], v[k, ok])
        np.testing.assert_allclose(motion[:, k], expected, rtol=0, atol=1e-12)
        for bottom, top in [(0.0, 1000.0), (0.0, 6000.0), (500.0, 3000.0)]:
            shear = velmora.bulk_shear(z, u, v, ground, bottom, top)[:, k]
            zk = z[k, ok] - ground[k]
            expected = [np.diff(layer_wind(zk, w, bottom, top)[0])[0] for w in (u[k, ok],
                                                                                v[k, ok])]
            np.testing.assert_allclose(shear, expected, rtol=0, atol=1e-12)


def test_right_mover_lies_right_of_the_shear():
    z = np.array([0.0, 6000.0])
    motion = velmora.storm_motion(z, [[0.0, 10.0]], [0.0, 0.0], [0.0])[:, 0]
    np.testing.assert_allclose(motion, [5.0, -7.5, 5.0, 7.5, 5.0, 0.0], atol=1e-12)


@pytest.mark.parametrize("top, ground, motion_nan", [
    (5000.0, np.nan, True),   # the winds end below 6 km
    (7000.0, 2000.0, True),   # ground given: 6 km above it is 8000 m
    (7000.0, np.nan, False),
])
def test_a_column_ending_below_the_layer_is_nan(top, ground, motion_nan):
    z = np.linspace(0.0, top, 30)
    u, v = z / 500.0, np.sin(z / 2000.0)
    motion = velmora.storm_motion(z, u[None], v, [ground])[:, 0]
    assert np.all(np.isnan(motion)) == motion_nan and np.all(np.isfinite(motion)) != motion_nan
    shear = velmora.bulk_shear(z, u[None], v, [ground], 0.0, 6000.0)
    assert np.all(np.isnan(shear)) == motion_nan


def test_no_shear_gives_no_storm_motion_but_a_mean_wind():
    z = np.linspace(0.0, 8000.0, 9)
    out = velmora.storm_motion(z, np.full((1, 9), 3.0), np.full(9, 4.0), [0.0])[:, 0]
    assert np.all(np.isnan(out[:4]))
    np.testing.assert_allclose(out[4:], [3.0, 4.0])


def test_input_families_give_the_same_values():
    z, u, v, ground = columns()
    plain = velmora.storm_motion(z, u, v, ground)
    shear = velmora.bulk_shear(z, u, v, ground, 0.0, 6000.0)
    # Masked levels are missing ones.
    masked = velmora.storm_motion(np.ma.masked_invalid(z), u, v, ground)
    assert_bits_equal(masked.filled(np.nan), plain)
    # Quantities in km and knots.
    q = velmora.storm_motion(z / 1000.0 * units.km, u / KNOT * units.knot, v * units("m/s"),
                             ground * units.m)
    assert len(q) == 6 and str(q[0].units) == "meter / second"
    np.testing.assert_allclose(np.array([a.m for a in q]), plain, rtol=1e-13, atol=1e-12)
    # DataArrays: a Dataset with the names, columns along "station".
    dims = ("station", "level")
    ds = velmora.storm_motion(xr.DataArray(z, dims=dims, attrs={"units": "m"}),
                              xr.DataArray(u, dims=dims, attrs={"units": "m s-1"}),
                              xr.DataArray(v, dims=dims, attrs={"units": "m s-1"}),
                              xr.DataArray(ground, dims="station", attrs={"units": "m"}))
    assert list(ds.data_vars) == ["u_right", "v_right", "u_left", "v_left", "u_mean", "v_mean"]
    assert_bits_equal(np.stack([ds[n].values for n in ds.data_vars]), plain)
    assert ds["u_right"].attrs["standard_name"] == "eastward_wind"
    out = velmora.bulk_shear(xr.DataArray(z, dims=dims, attrs={"units": "m"}),
                             xr.DataArray(u, dims=dims, attrs={"units": "m s-1"}),
                             xr.DataArray(v, dims=dims, attrs={"units": "m s-1"}),
                             xr.DataArray(ground, dims="station", attrs={"units": "m"}),
                             0 * units.m, 6 * units.km)
    assert_bits_equal(np.stack([out["u_shear"].values, out["v_shear"].values]), shear)


def test_dask_gives_the_bits_of_one_call():
    da = pytest.importorskip("dask.array")
    z, u, v, ground = columns()
    z, u, v = np.repeat(z, 3, 0), np.repeat(u, 3, 0), np.repeat(v, 3, 0)
    ground = np.repeat(ground, 3)
    lazy = velmora.storm_motion(da.from_array(z, chunks=(2, 5)), da.from_array(u, chunks=(2, 7)),
                                v, ground)
    assert isinstance(lazy, da.Array)
    assert_bits_equal(lazy.compute(), velmora.storm_motion(z, u, v, ground))
    dims = ("station", "level")
    labelled = velmora.storm_motion(
        xr.DataArray(z, dims=dims, attrs={"units": "m"}).chunk({"station": 4}),
        xr.DataArray(u, dims=dims, attrs={"units": "m s-1"}).chunk({"station": 4}),
        xr.DataArray(v, dims=dims, attrs={"units": "m s-1"}),
        xr.DataArray(ground, dims="station", attrs={"units": "m"}))
    assert labelled["u_right"].chunks == ((4, 2),)
    assert_bits_equal(np.stack([labelled[n].values for n in labelled.data_vars]),
                      velmora.storm_motion(z, u, v, ground))


@pytest.mark.parametrize("function", [
    lambda b, t: velmora.profile([0.0, 2000.0], [[0.0, 1.0]], [0.0, 1.0], [0.0], b, t, [0.0],
                                 [0.0]),
    lambda b, t: velmora.bulk_shear([0.0, 2000.0], [[0.0, 1.0]], [0.0, 1.0], [0.0], b, t),
])
@pytest.mark.parametrize("bottom, top", [(1000.0, 0.0), (500.0, 500.0)])
def test_a_reversed_or_empty_layer_is_refused(function, bottom, top):
    with pytest.raises(ValueError, match=rf"bottom \({bottom:g} m\).*top \({top:g} m\)"):
        function(bottom, top)


# ---------------------------------------------------------------------------
# On a wind profile


def profile_of(z, u, v, z_units="m", wind_units="m s-1", bounds=None):
    ds = xr.Dataset({"eastward_wind": ("height", u, {"units": wind_units}),
                     "northward_wind": ("height", v, {"units": wind_units})},
                    {"height": ("height", z, {"units": z_units})})
    if bounds is not None:
        ds["height_bounds"] = (("height", "nv"), bounds)
    return ds


def sounding_profile(name):
    z, u, v = read_sounding(name)
    return profile_of(z - z[0], u, v)


@pytest.mark.parametrize("name", SOUNDINGS)
def test_helicity_with_the_bunkers_motion_equals_metpy(name):
    mpcalc = pytest.importorskip("metpy.calc")
    from metpy.units import units as mpu

    profile = sounding_profile(name)
    motion = radar.storm_motion(profile)
    out = radar.helicity(profile)
    assert out.attrs["storm_motion"].startswith("Bunkers right mover")
    assert out.attrs["storm_motion_u"] == float(motion["u_right"])
    z, u, v = (profile[n].values for n in ("height", "eastward_wind", "northward_wind"))
    for k, depth in enumerate((1000.0, 3000.0)):
        *_, total = mpcalc.storm_relative_helicity(
            z * mpu.m, u * mpu("m/s"), v * mpu("m/s"), depth * mpu.m,
            storm_u=float(motion["u_right"]) * mpu("m/s"),
            storm_v=float(motion["v_right"]) * mpu("m/s"))
        assert float(out["storm_relative_helicity"][k]) == pytest.approx(
            total.m_as("m^2/s^2"), rel=0, abs=1e-9)


def test_radar_storm_motion_and_shear_are_the_grid_functions():
    profile = sounding_profile(SOUNDINGS[1])
    z, u, v = (profile[n].values for n in ("height", "eastward_wind", "northward_wind"))
    motion = radar.storm_motion(profile)
    assert_bits_equal([float(motion[n]) for n in motion.data_vars],
                      velmora.storm_motion(z, u[None], v, [0.0])[:, 0])
    shear = radar.bulk_shear(profile, layers=[("0 km", "6 km")])
    assert_bits_equal([float(shear["u_shear"][0]), float(shear["v_shear"][0])],
                      velmora.bulk_shear(z, u[None], v, [0.0], 0.0, 6000.0)[:, 0])


def test_units_of_the_profile_are_read():
    z, u, v = read_sounding(SOUNDINGS[0])
    metres = radar.helicity(profile_of(z - z[0], u, v), (7.0, 4.0))
    converted = radar.helicity(profile_of((z - z[0]) / 1000.0, u / KNOT, v / KNOT, "km", "knot"),
                               (7.0, 4.0))
    np.testing.assert_allclose(converted["storm_relative_helicity"],
                               metres["storm_relative_helicity"], rtol=1e-12)


def test_layers_in_units_and_uncovered_layers_say_why():
    z = np.arange(500.0, 4001.0, 100.0)
    profile = profile_of(z, z / 400.0, np.sin(z / 1000.0) * 5)
    out = radar.helicity(profile, (5.0, 2.0), layers=[("0 km", "1 km"), ("1 km", 3000.0),
                                                       (1 * units.km, 5 * units.km)])
    assert np.isnan(out["storm_relative_helicity"][0])
    assert "start at 500 m" in out["reason"][0].item() and "from_lowest_level" in out["reason"][0].item()
    assert np.isfinite(out["storm_relative_helicity"][1]) and out["reason"][1].item() == ""
    assert "end at 4000 m" in out["reason"][2].item()
    assert out.attrs["ground"] == "radar"
    lowest = radar.helicity(profile, (5.0, 2.0), layers=[(0.0, 1000.0)], from_lowest_level=True)
    assert np.isfinite(lowest["storm_relative_helicity"][0])
    assert "lowest level with a wind (500 m" in lowest.attrs["ground"]
    same = radar.helicity(profile, (5.0, 2.0), layers=[(500.0, 1500.0)])
    assert float(same["storm_relative_helicity"][0]) == float(lowest["storm_relative_helicity"][0])


def test_a_bin_stands_for_its_whole_bin():
    centres = np.arange(50.0, 6000.0, 100.0)
    bounds = np.stack([centres - 50.0, centres + 50.0], 1)
    u, v = centres / 600.0, 2.0 + 0 * centres
    out = radar.helicity(profile_of(centres, u, v, bounds=bounds), (0.0, 0.0),
                         layers=[(0.0, 1000.0), (0.0, 6000.0)])
    # The lowest bin's wind holds down to 0 m, the highest up to 6000 m.
    expected = velmora.profile(np.r_[0.0, centres, 6000.0], np.r_[u[0], u, u[-1]][None],
                               np.r_[v[0], v, v[-1]], [0.0], 0.0, 1000.0, [0.0], [0.0])[4, 0]
    assert float(out["storm_relative_helicity"][0]) == expected
    assert np.isfinite(out["storm_relative_helicity"][1])
    assert np.isfinite(radar.storm_motion(profile_of(centres, u, v, bounds=bounds))["u_right"])


def test_without_a_storm_motion_the_reason_names_the_argument():
    z = np.arange(100.0, 4001.0, 100.0)
    out = radar.helicity(profile_of(z, z / 400.0, z / 900.0), layers=[(100.0, 1000.0)])
    assert np.isnan(out["storm_relative_helicity"][0])
    assert "storm_motion=" in out["reason"][0].item() and "4000 m" in out["reason"][0].item()
    assert np.isfinite(out["u_mean"][0])
    motion = radar.storm_motion(profile_of(z, z / 400.0, z / 900.0))
    assert np.isnan(motion["u_right"]) and "end at 4000 m" in motion.attrs["reason"]


@pytest.mark.parametrize("storm_motion, error", [(("7", "4"), TypeError),
                                                 ("7 4", TypeError), ((1.0,), TypeError)])
def test_storm_motion_not_a_pair_of_speeds_is_refused(storm_motion, error):
    with pytest.raises(error, match="storm_motion"):
        radar.helicity(sounding_profile(SOUNDINGS[0]), storm_motion)


def test_direction_and_speed_are_warned_about():
    with pytest.warns(UserWarning, match=r"storm_motion \(240, 8\).*direction and a speed"):
        radar.helicity(sounding_profile(SOUNDINGS[0]), (240, 8))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        radar.helicity(sounding_profile(SOUNDINGS[0]), (8 * units.knot, 4 * units("km/h")))


@pytest.mark.parametrize("layers, match", [([(1000.0, 0.0)], "bottom"),
                                           ([("1 parsec", "x km")], "not understood"),
                                           ([("1 s", "2 s")], "length")])
def test_bad_layers_are_refused(layers, match):
    with pytest.raises(ValueError, match=match):
        radar.helicity(sounding_profile(SOUNDINGS[0]), (7.0, 4.0), layers=layers)


def test_kilometres_as_bare_numbers_are_warned_about():
    with pytest.warns(UserWarning, match="read in metres"):
        radar.helicity(sounding_profile(SOUNDINGS[0]), (7.0, 4.0), layers=((0, 1), (0, 3)))
