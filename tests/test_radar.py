"""Radar sweeps and volumes to VAD wind profiles and helicity."""

import contextlib
import io
import pathlib
import warnings

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

import radar_cases as cases  # noqa: E402
from velmora import radar  # noqa: E402

VOLUME = pathlib.Path(__file__).parent / "data" / "KLBB20160601_150025_V06"
# Nyquist velocities in the file's radial headers (as Py-ART reports them);
# xradar's Level II reader does not carry them.
NYQUIST = {n: 22.56 for n in range(8)} | {n: 31.08 for n in range(8, 11)}


@pytest.fixture(scope="module")
def volume():
    pytest.importorskip("xradar")
    tree = xr.open_datatree(VOLUME, engine="nexradlevel2")
    return tree.load()


@pytest.fixture(scope="module")
def pyart_radar():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        pyart = pytest.importorskip("pyart")
        with contextlib.redirect_stdout(io.StringIO()):
            return pyart, pyart.io.read_nexrad_archive(str(VOLUME))


def lstsq_winds(vr, az_deg, valid, elevation_deg):
    """Independent float64 normal-equations fit of vr = a0 + a1 sin + b1 cos, per gate.

    vr, valid: (rays, gates); returns u, v per gate.
    """
    az = np.deg2rad(az_deg)
    x = np.stack([np.ones_like(az), np.sin(az), np.cos(az)], axis=1)  # (rays, 3)
    w = valid.astype(np.float64)
    y = np.where(valid, vr, 0.0)
    a = np.einsum("rg,ri,rj->gij", w, x, x)
    b = np.einsum("rg,ri->gi", w * y, x)
    ok = np.linalg.det(a) > 1e-9
    coef = np.full(b.shape, np.nan)
    coef[ok] = np.linalg.solve(a[ok], b[ok][..., None])[..., 0]
    cos_el = np.cos(np.deg2rad(elevation_deg))
    return coef[:, 1] / cos_el, coef[:, 2] / cos_el


# ---------------------------------------------------------------------------
# The shipped volume


def test_accepted_gates_equal_an_independent_least_squares_fit(volume):
    fitted = 0
    for number in radar.doppler_sweeps(volume):
        ds = volume[f"sweep_{number}"].to_dataset()
        values = ds["VRADH"].values
        # Level II codes: below threshold and range folded.
        valid = np.isfinite(values) & (values != -64.5) & (values != -64.0)
        out = radar.vad(volume[f"sweep_{number}"], qc=False)  # the raw fit
        np.testing.assert_array_equal(out["n_valid"], valid.sum(axis=0))
        u, v = lstsq_winds(values, ds["azimuth"].values, valid,
                           np.median(ds["elevation"].values))
        accepted = np.isfinite(out["eastward_wind"].values)
        assert np.all(out["n_valid"].values[accepted] >= radar.MIN_GATES)
        np.testing.assert_allclose(out["eastward_wind"].values[accepted], u[accepted], rtol=0, atol=1e-9)
        np.testing.assert_allclose(out["northward_wind"].values[accepted], v[accepted], rtol=0, atol=1e-9)
        fitted += accepted.sum()
    assert fitted > 1500


def test_leaving_empty_gates_out_changes_no_bit(volume):
    import _velmora
    from conftest import assert_bits_equal

    ds = volume["sweep_3"].to_dataset()
    values = ds["VRADH"].values
    vr = np.where((values == -64.5) | (values == -64.0), np.nan, values).T
    az = np.broadcast_to(np.deg2rad(ds["azimuth"].values), vr.shape)
    cos_el = np.full(vr.shape[0], np.cos(np.deg2rad(np.median(ds["elevation"].values))))
    whole = _velmora.vad(vr, az, cos_el, radar.MIN_GATES, radar.MIN_SPREAD)
    out = radar.vad(volume["sweep_3"], qc=False)
    names = ["eastward_wind", "northward_wind", "offset", "rms_residual", "n_valid", "offset_2",
             "sin_2az", "cos_2az"]
    assert_bits_equal(np.stack([out[n].values for n in names]), whole)


def test_volume_profile_is_plausible_and_described(volume):
    profile = radar.vwp(volume, nyquist=NYQUIST, top=6000.0)
    assert profile["height"][0] == 50.0 and profile["height"][-1] == 5950.0
    assert float(profile["altitude"][0]) == 50.0 + float(volume["altitude"])
    filled = profile.where(np.isfinite(profile["eastward_wind"]), drop=True)
    assert filled.sizes["height"] > 30
    assert np.all(filled["wind_speed"] < 22.56)
    assert np.all(filled["sample_count"] >= radar.MIN_GATES * filled["gate_count"])
    for name, std in [("eastward_wind", "eastward_wind"), ("northward_wind", "northward_wind"),
                      ("wind_speed", "wind_speed"), ("wind_direction", "wind_from_direction"),
                      ("height", "height")]:
        assert profile[name].attrs["standard_name"] == std
        assert "units" in profile[name].attrs
    layers = radar.helicity(profile, (8.0, 4.0))
    assert np.all(np.isfinite(layers["storm_relative_helicity"]))
    assert layers["storm_relative_helicity"].attrs["units"] == "m2 s-2"


def test_unknown_nyquist_is_said(volume):
    with pytest.warns(UserWarning, match="Nyquist velocity unknown"):
        radar.vwp(volume)


def test_transposed_sweep_gives_the_same_result(volume):
    node = volume["sweep_4"]
    ds = node.to_dataset()
    ds["altitude"] = volume["altitude"]
    stored = radar.vad(ds)
    transposed = radar.vad(ds.transpose("range", "azimuth"))
    xr.testing.assert_identical(stored, transposed)
    xr.testing.assert_identical(stored, radar.vad(node))


# ---------------------------------------------------------------------------
# Synthetic sweeps: missing data, geometry, binning


@pytest.mark.parametrize("code", [cases.BELOW_THRESHOLD, cases.RANGE_FOLDED, np.nan, np.inf])
def test_missing_values_never_reach_the_fit(code):
    ds = cases.sweep(gates=6)
    ds["VRADH"].values[::3, :] = code  # a third of the rays, unevenly placed
    ds["VRADH"].values[:, 5] = code  # and one whole gate
    out = radar.vad(ds, min_gates=3)
    np.testing.assert_allclose(out["eastward_wind"][:5], 10.0, atol=1e-12)
    np.testing.assert_allclose(out["northward_wind"][:5], 5.0, atol=1e-12)
    np.testing.assert_array_equal(out["n_valid"], [240] * 5 + [0])
    assert np.isnan(out["eastward_wind"][5])


def test_fill_and_undetect_codes_of_a_decoded_variable():
    ds = cases.sweep(gates=3)
    ds["VRADH"].encoding.update(_FillValue=255)
    ds["VRADH"].attrs["_Undetect"] = 0
    vals = ds["VRADH"].values
    vals[:100] = 255 * cases.SCALE + cases.OFFSET
    vals[100:150] = cases.OFFSET
    vals[150:160] = cases.RANGE_FOLDED  # raw 1: a real value when codes are declared
    out = radar.vad(ds, min_gates=3)
    np.testing.assert_array_equal(out["n_valid"], 210)


def test_masked_pyart_like_sweep():
    """A Radar-shaped object: masked gates and an unmasked _FillValue are missing."""
    ds = cases.sweep(gates=4)
    data = np.ma.masked_array(ds["VRADH"].values.astype(np.float32), mask=False)
    data.mask[:90, 0] = True
    data.data[:90, 0] = 999.0  # what lies under the mask must not matter
    data[200:220, 1] = -9999.0

    class Radar:
        fields = {"velocity": {"data": data, "_FillValue": -9999.0}}
        sweep_start_ray_index = {"data": np.array([0])}
        azimuth = {"data": ds["azimuth"].values.astype(np.float32)}
        elevation = {"data": ds["elevation"].values.astype(np.float32)}
        range = {"data": ds["range"].values}
        altitude = {"data": np.array([900.0])}
        instrument_parameters = {"nyquist_velocity": {"data": np.full(360, 9.0)}}
        nsweeps = 1

        def get_slice(self, n):
            return slice(0, 360)

    out = radar.vad(Radar(), min_gates=3, qc=False)  # a quarter of gate 0 is masked
    np.testing.assert_array_equal(out["n_valid"], [270, 340, 360, 360])
    np.testing.assert_allclose(out["eastward_wind"], 10.0, atol=1e-5)
    assert float(out["nyquist_velocity"]) == 9.0
    assert not np.any(out["aliased"])  # a smooth wind faster than the Nyquist velocity is kept
    assert float(out["altitude"][0] - out["height"][0]) == 900.0


def test_gate_height_four_thirds_model():
    ka = 4.0 / 3.0 * 6_371_000.0
    r = np.array([0.0, 10_000.0, 100_000.0])
    # Law of cosines in the triangle earth centre, radar, gate.
    expected = np.sqrt(r**2 + ka**2 - 2 * r * ka * np.cos(np.deg2rad(90.0 + 2.0))) - ka
    np.testing.assert_allclose(radar.gate_height(r, 2.0), expected, rtol=1e-12, atol=1e-9)
    np.testing.assert_allclose(radar.gate_height(1000.0, 90.0), 1000.0)


def test_elevation_divides_out_and_heights_follow_it():
    out = radar.vad(cases.sweep(elevation=19.5, gates=5))
    np.testing.assert_allclose(out["eastward_wind"], 10.0, atol=1e-12)
    np.testing.assert_allclose(out["height"], radar.gate_height(out["range"], 19.5))


def test_partial_coverage_follows_min_spread():
    ds = cases.sweep(azimuth_stop=180.0, gates=2)  # half the circle: spread 0.047
    assert np.all(np.isnan(radar.vad(ds)["eastward_wind"]))
    np.testing.assert_allclose(radar.vad(ds, min_spread=0.04, qc=False)["eastward_wind"], 10.0,
                               atol=1e-9)


def test_bins_weight_gates_by_their_rays():
    low = cases.sweep(u=4.0, v=0.0, elevation=0.5, rays=720, gates=20, number=1)
    high = cases.sweep(u=10.0, v=0.0, elevation=0.5, rays=360, gates=20, number=3)
    profile = radar.vwp(cases.volume([low, high]), nyquist=30.0, top=200.0)
    filled = profile.where(profile["gate_count"] > 0, drop=True)
    # Each bin holds as many gates of each sweep; 720 rays weigh twice 360.
    np.testing.assert_allclose(filled["eastward_wind"], (2 * 4.0 + 10.0) / 3, atol=1e-9)
    np.testing.assert_allclose(filled["u_spread"], np.sqrt(2 / 3 * 2**2 + 1 / 3 * 4**2), atol=1e-9)
    assert np.all(filled["sample_count"] == 1080 * filled["gate_count"] / 2)


def test_profile_of_a_veering_wind():
    heights = radar.gate_height(2125.0 + 250.0 * np.arange(60), 9.0)
    u, v = heights / 500.0, 10.0 - heights / 1000.0
    tree = cases.volume([cases.sweep(u, v, elevation=9.0, gates=60, number=2)], altitude=0.0)
    profile = radar.vwp(tree, nyquist={2: 40.0}, bin_width=250.0, top=3000.0)
    # The lowest gate is at 336 m: bins aligned on 250 m start at 250 m.
    assert profile["height"][0] == 375.0 and profile["height"][-1] == 2875.0
    filled = profile.where(profile["gate_count"] > 0, drop=True)
    np.testing.assert_allclose(filled["northward_wind"], 10.0 - filled["height"] / 1000.0, atol=0.1)
    direction = np.rad2deg(np.arctan2(-filled["eastward_wind"], -filled["northward_wind"])) % 360
    np.testing.assert_allclose(filled["wind_direction"], direction)


def test_winds_faster_than_the_nyquist_velocity_are_kept():
    tree = cases.volume([cases.sweep(u=20.0, v=0.0, number=1)])
    for dealias in (True, False):
        profile = radar.vwp(tree, nyquist=15.0, dealias=dealias)
        np.testing.assert_allclose(profile["eastward_wind"].dropna("height"), 20.0, atol=1e-9)
        assert not profile["aliased"].any()


@pytest.mark.parametrize("edges", [[0.0], [0.0, 100.0, 50.0], [[0.0, 1.0]]])
def test_bad_edges(edges):
    with pytest.raises(ValueError, match="edges"):
        radar.vwp(cases.volume([cases.sweep()]), nyquist=30.0, edges=edges)


def test_no_velocity_in_the_volume():
    with pytest.raises(ValueError, match="no sweep"):
        radar.vwp(cases.volume([cases.sweep()]), field="VRADV")


# ---------------------------------------------------------------------------
# Helicity


def two_level_profile(z=(0.0, 1000.0)):
    return xr.Dataset({"u": ("height", [0.0, 10.0]), "v": ("height", [10.0, 0.0])},
                      {"height": ("height", list(z))})


def test_helicity_of_two_levels():
    out = radar.helicity(two_level_profile(), (0.0, 0.0), layers=[(0.0, 1000.0)])
    assert float(out["storm_relative_helicity"][0]) == 100.0
    assert float(out["u_mean"][0]) == 5.0 and float(out["v_mean"][0]) == 5.0


def test_helicity_counts_from_the_lowest_level_or_the_surface():
    lifted = two_level_profile((200.0, 1200.0))
    assert np.isnan(radar.helicity(lifted, (0.0, 0.0))["storm_relative_helicity"]).all()
    out = radar.helicity(lifted, (0.0, 0.0), layers=[(0.0, 1000.0), (0.0, 3000.0)],
                         from_lowest_level=True)
    assert float(out["storm_relative_helicity"][0]) == 100.0
    assert np.isnan(out["storm_relative_helicity"][1])  # the profile stops at 1 km
    surface = radar.helicity(lifted, (0.0, 0.0), layers=[(0.0, 200.0)],
                             surface_wind=(0.0, 10.0))
    assert float(surface["storm_relative_helicity"][0]) == 0.0


def test_storm_motion_in_units():
    pint = pytest.importorskip("pint")
    ureg = pint.UnitRegistry()
    out = radar.helicity(two_level_profile(), (0.0 * ureg("knot"), 0.0 * ureg("km/h")))
    assert float(out["storm_relative_helicity"][0]) == 100.0


# ---------------------------------------------------------------------------
# Against Py-ART


@pytest.mark.parametrize("number", [1, 4, 8])
def test_pyart_radar_gives_the_xradar_result(pyart_radar, volume, number):
    _, r = pyart_radar
    ours = radar.vad(r, index=number)
    theirs = radar.vad(volume[f"sweep_{number}"], nyquist=NYQUIST[number])
    n = theirs.sizes["range"]
    np.testing.assert_array_equal(ours["n_valid"][:n], theirs["n_valid"])
    # Py-ART keeps angles in float32.
    np.testing.assert_allclose(ours["eastward_wind"][:n], theirs["eastward_wind"], atol=1e-3)
    assert float(ours["nyquist_velocity"]) == pytest.approx(NYQUIST[number], abs=0.01)
    assert float(ours["altitude"][0]) == float(theirs["altitude"][0])


def browning_fit(pyart, r, number):
    """The per-gate fit inside vad_browning, before its height averaging."""
    fit = getattr(pyart.retrieve.vad, "_vad_calculation_b", None)
    if fit is None:
        pytest.skip("this Py-ART has no separate per-gate fit")
    sweep = r.extract_sweeps([number])
    with warnings.catch_warnings():  # its empty gates warn
        warnings.simplefilter("ignore")
        return fit(sweep.fields["velocity"]["data"], sweep.azimuth["data"],
               sweep.fixed_angle["data"][0], 16)


@pytest.mark.parametrize("number", [1, 3, 4, 5, 8])
def test_balanced_gates_agree_with_vad_browning(pyart_radar, number):
    pyart, r = pyart_radar
    u, v = browning_fit(pyart, r, number)
    ours = radar.vad(r, index=number, min_gates=16, min_spread=0.0, qc=False)
    rays = r.get_slice(number)
    valid = ~np.ma.getmaskarray(r.fields["velocity"]["data"][rays])
    az = np.deg2rad(r.azimuth["data"][rays])[:, None]
    n = valid.sum(axis=0)
    with np.errstate(all="ignore"):
        centre = np.hypot((valid * np.sin(az)).sum(0), (valid * np.cos(az)).sum(0)) / n
    balanced = (n >= 0.8 * valid.shape[0]) & (centre < 0.05)
    assert balanced.sum() >= 15
    diff = np.hypot(ours["eastward_wind"].values - u, ours["northward_wind"].values - v)[balanced]
    assert np.median(diff) < 0.2


def test_uneven_coverage_biases_vad_browning_but_not_us(pyart_radar):
    """270 degrees of coverage, wind (10, 5): its fit does not centre sin and cos."""
    pyart, _ = pyart_radar
    fit = getattr(pyart.retrieve.vad, "_vad_calculation_b", None)
    if fit is None:
        pytest.skip("this Py-ART has no separate per-gate fit")
    # Rays centred on 90.5 ... 359.5 degrees: the north-east quadrant is empty.
    ds = cases.sweep(u=10.0, v=5.0, elevation=0.0, gates=1, rays=270,
                     azimuth_start=90.25, azimuth_stop=360.25)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs = fit(np.ma.masked_invalid(ds["VRADH"].values), ds["azimuth"].values, 0.0, 16)
    np.testing.assert_allclose(np.ravel(theirs), [8.29, 3.29], atol=0.01)
    ours = radar.vad(ds, qc=False)  # two sectors empty: the QC would refuse the gate
    np.testing.assert_allclose([ours["eastward_wind"][0], ours["northward_wind"][0]], [10.0, 5.0], atol=1e-12)


def test_gate_height_matches_pyart(pyart_radar):
    pyart, _ = pyart_radar
    r = np.array([2125.0, 50_000.0, 300_000.0])
    _, _, z = pyart.core.antenna_to_cartesian(r / 1000.0, 0.0, 4.3)
    np.testing.assert_allclose(radar.gate_height(r, 4.3), z, rtol=1e-9, atol=1e-6)


def test_signed_packing_without_codes_keeps_every_value():
    ds = cases.sweep(gates=2)
    ds["VRADH"].encoding.update(dtype=np.dtype("int16"), scale_factor=0.01, add_offset=0.0)
    ds["VRADH"].values[:40] = 0.0  # raw 0: a calm gate, not a code
    ds["VRADH"].values[40:50] = 0.01
    np.testing.assert_array_equal(radar.vad(ds)["n_valid"], 360)


def test_packed_raw_counts_are_refused():
    ds = cases.sweep(gates=2)
    raw = np.round((ds["VRADH"].values - cases.OFFSET) / cases.SCALE).astype(np.uint8)
    ds["VRADH"] = (("azimuth", "range"), raw, {"scale_factor": cases.SCALE,
                                                "add_offset": cases.OFFSET})
    with pytest.raises(ValueError, match="still packed"):
        radar.vad(ds)


def test_cfradial_round_trip_gives_the_same_profile(volume, tmp_path):
    xradar = pytest.importorskip("xradar")
    keep = ["VRADH", "sweep_number", "sweep_mode", "sweep_fixed_angle", "prt_mode",
            "follow_mode"]
    small = xr.DataTree.from_dict({
        "/": volume.to_dataset(),
        "/sweep_0": volume["sweep_4"].to_dataset().isel(range=slice(0, 200))[keep]})
    path = tmp_path / "small.nc"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # NaN without a _FillValue: the codes stay codes
        xradar.io.to_cfradial1(small, path)
    again = xr.open_datatree(path, engine="cfradial1")
    xr.testing.assert_identical(radar.vwp(again, nyquist=22.56),
                                radar.vwp(small, nyquist=22.56))
