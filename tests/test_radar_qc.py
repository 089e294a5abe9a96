"""Quality control of the VAD fits and VWP bins, each step reproduced by an independent NumPy computation."""

import pathlib

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

import radar_cases as cases  # noqa: E402
from velmora import radar  # noqa: E402
from velmora.radar.qc import FLAG, FLAGS, QC  # noqa: E402

VOLUME = pathlib.Path(__file__).parent / "data" / "KLBB20160601_150025_V06"
NYQUIST = {n: 22.56 for n in range(8)} | {n: 31.08 for n in range(8, 11)}
SWEEPS = [1, 4, 9]  # lowest, middle and high: enough to see every step act


@pytest.fixture(scope="module")
def volume():
    pytest.importorskip("xradar")
    return xr.open_datatree(VOLUME, engine="nexradlevel2").load()


def raw(volume, number):
    """Velocities, azimuths (deg), validity and the median elevation of a sweep."""
    ds = volume[f"sweep_{number}"].to_dataset()
    vr = ds["VRADH"].values
    valid = np.isfinite(vr) & (vr != -64.5) & (vr != -64.0)  # Level II codes
    return vr, ds["azimuth"].values, valid, float(np.median(ds["elevation"].values))


def lstsq(vr, az_deg, valid):
    """Per gate: (a0, a1, b1), rms and count of the least-squares fit over `valid`."""
    az = np.deg2rad(az_deg)
    x = np.stack([np.ones_like(az), np.sin(az), np.cos(az)], axis=1)
    w = valid.astype(np.float64)
    y = np.where(valid, vr, 0.0)
    a = np.einsum("rg,ri,rj->gij", w, x, x)
    b = np.einsum("rg,ri->gi", w * y, x)
    n = valid.sum(axis=0)
    coef = np.full(b.shape, np.nan)
    ok = (n >= 3) & (np.abs(np.linalg.det(a)) > 1e-6)
    coef[ok] = np.linalg.solve(a[ok], b[ok][..., None])[..., 0]
    resid = np.where(valid, vr - (x @ coef.T), 0.0)
    with np.errstate(invalid="ignore", divide="ignore"):
        rms = np.sqrt((resid**2).sum(axis=0) / n)
    return coef, rms, n


@pytest.mark.parametrize("number", SWEEPS)
def test_outliers_rejected_and_refitted_as_numpy_does(volume, number):
    out = radar.vad(volume[f"sweep_{number}"], qc=QC(sectors=None, max_rms=None,
                                                      max_offset=None))
    vr, az, valid, el = raw(volume, number)
    kept = valid.copy()
    fitted = np.isfinite(out["eastward_wind"].values)
    for _ in range(5):
        coef, rms, n = lstsq(vr, az, kept)
        x = np.deg2rad(az)[:, None]
        resid = vr - (coef[:, 0] + coef[:, 1] * np.sin(x) + coef[:, 2] * np.cos(x))
        with np.errstate(invalid="ignore"):
            far = kept & (np.abs(resid) > np.maximum(3.0 * rms, 1.0)) & (n >= 30)
        if not far.any():
            break
        kept &= ~far
    coef, rms, n = lstsq(vr, az, kept)
    cos_el = np.cos(np.deg2rad(el))
    np.testing.assert_array_equal(out["n_outliers"].values[fitted], (valid & ~kept).sum(0)[fitted])
    np.testing.assert_allclose(out["eastward_wind"].values[fitted], coef[fitted, 1] / cos_el,
                               rtol=0, atol=1e-9)
    np.testing.assert_allclose(out["rms_residual"].values[fitted], rms[fitted], rtol=1e-9)
    assert out["n_outliers"].sum() > 0


@pytest.mark.parametrize("number", SWEEPS)
def test_azimuth_sectors_as_numpy_counts_them(volume, number):
    out = radar.vad(volume[f"sweep_{number}"], qc=QC(outlier_factor=None))
    vr, az, valid, _ = raw(volume, number)
    sector = (np.floor(az / 45.0) % 8).astype(int)
    empty = sum(~valid[sector == s].any(axis=0) for s in range(8))
    flag = out["qc_flag"].values
    enough = valid.sum(0) >= radar.MIN_GATES
    np.testing.assert_array_equal(flag[enough & (empty > 1)], FLAG["azimuth_gap"])
    assert np.all(empty[flag == 0] <= 1)
    np.testing.assert_array_equal(flag[~enough], FLAG["too_few_rays"])


@pytest.mark.parametrize("step, qc, variable, limit", [
    ("large_rms", QC(sectors=None, outlier_factor=None, max_rms=2.0, max_offset=None),
     "rms_residual", 2.0),
    ("asymmetric", QC(sectors=None, outlier_factor=None, max_rms=None, max_offset=0.5),
     "offset", 0.5),
])
def test_rms_and_symmetry_thresholds(volume, step, qc, variable, limit):
    out = radar.vad(volume["sweep_4"], qc=qc)
    raw_fit = radar.vad(volume["sweep_4"], qc=False)
    fitted = np.isfinite(raw_fit["eastward_wind"].values)
    over = fitted & (np.abs(raw_fit[variable].values) > limit)
    assert over.sum() > 5
    np.testing.assert_array_equal(out["qc_flag"].values[over], FLAG[step])
    assert np.all(out["qc_flag"].values[fitted & ~over] == 0)
    assert np.all(np.isnan(out["eastward_wind"].values[over]))  # a rejected gate has no wind
    np.testing.assert_array_equal(out[variable].values, raw_fit[variable].values)


def test_the_vwp_bins_the_accepted_gates_of_every_sweep(volume):
    # As given, so that the fits are those of vad on the same sweeps.
    profile = radar.vwp(volume, nyquist=NYQUIST, dealias=False)
    edges = np.r_[profile["height_bounds"].values[:, 0], profile["height_bounds"].values[-1, 1]]
    h, u, n, flags = [], [], [], []
    for number in radar.doppler_sweeps(volume):
        out = radar.vad(volume[f"sweep_{number}"], nyquist=NYQUIST[number])
        ok = (out["qc_flag"].values == 0) & ~out["aliased"].values
        inside = (out["height"].values >= edges[0]) & (out["height"].values < edges[-1])
        h.append(out["height"].values[ok & inside])
        u.append(out["eastward_wind"].values[ok & inside])
        n.append(out["n_valid"].values[ok & inside])
        flags.append(out["qc_flag"].values[inside & (out["n_valid"].values > 0)])
    h, u, n = np.concatenate(h), np.concatenate(u), np.concatenate(n)
    index = np.searchsorted(edges, h, side="right") - 1
    gates = np.bincount(index, minlength=edges.size - 1)
    with np.errstate(invalid="ignore"):
        mean = np.bincount(index, n * u, edges.size - 1) / np.bincount(index, n, edges.size - 1)
    np.testing.assert_array_equal(profile["gate_count"], gates)
    # Bin QC: no wind from fewer than the minimum gates or too wide a spread.
    spread = np.hypot(profile["u_spread"], profile["v_spread"]).values
    accepted = (gates >= 3) & (spread <= 5.0)
    np.testing.assert_allclose(profile["eastward_wind"].values[accepted], mean[accepted],
                               rtol=0, atol=1e-12)
    assert np.all(np.isnan(profile["eastward_wind"].values[~accepted]))
    np.testing.assert_array_equal(profile["qc_flag"].values[gates < 3], FLAG["too_few_gates"])
    # Every rejected gate is counted under its reason.
    counts = np.bincount(np.concatenate(flags), minlength=len(FLAGS))
    np.testing.assert_array_equal(profile["rejected_gates"].sum("height").values[:5], counts[1:6])
    assert int(np.isfinite(profile["eastward_wind"]).sum()) > 30
    assert profile["height_bounds"].values[-1, 1] >= 10_000.0


def test_qc_is_said_and_can_be_switched_off(tmp_path):
    tree = cases.volume([cases.sweep(number=1)])
    on = radar.vwp(tree, nyquist=30.0)
    off = radar.vwp(tree, nyquist=30.0, qc=False)
    assert on.attrs["qc_max_rms"] == "5.0 m s-1" and off.attrs["qc_max_rms"] == "off"
    assert on["qc_flag"].attrs["flag_meanings"].split()[FLAG["too_few_gates"]] == "too_few_gates"
    np.testing.assert_array_equal(on["qc_flag"].attrs["flag_values"], [v for v, *_ in FLAGS])
    on.to_netcdf(tmp_path / "qc.nc")  # the flag attributes are netCDF-safe
    with pytest.raises(TypeError, match="qc"):
        radar.vad(cases.sweep(), qc="yes")


def test_the_top_rises_to_where_the_data_end():
    high = cases.sweep(elevation=19.5, gates=160, number=2)  # gates up to about 14 km
    profile = radar.vwp(cases.volume([high]), nyquist=30.0)
    top = radar.gate_height(high["range"].values[-1], 19.5)
    assert profile["height_bounds"].values[-1, 1] == np.floor(top / 100.0) * 100.0 + 100.0
    low = radar.vwp(cases.volume([cases.sweep(number=1)]), nyquist=30.0)
    assert low["height_bounds"].values[-1, 1] == 10_000.0


def test_a_misread_first_gate_is_warned_about_by_name():
    far = cases.sweep(first=65_161.0, number=3)
    with pytest.warns(UserWarning, match=r"sweep 3: the first gate lies at 65161 m"):
        radar.vad(far)
    with pytest.warns(UserWarning, match="ten gate spacings"):
        radar.vwp(cases.volume([far]), nyquist=30.0)
