"""Unfolding of aliased velocities: synthetic sweeps with known folds, the
shipped volume re-folded, detection without unfolding, the Nyquist velocity
from the file, and bad input."""

import bz2
import pathlib
import struct
import warnings

import numpy as np
import pytest
import xarray as xr

import radar_cases as cases
import unfold_cases as uc
from velmora import _radar, radar
from velmora.radar import level2

VOLUME = pathlib.Path(__file__).parent / "data" / "KLBB20160601_150025_V06"


def fold_scores(truth, folded, fold, unresolved, nyquist):
    """Shares of the valid gates that got the true fold, and a wrong one."""
    valid = np.isfinite(truth)
    true_fold = np.rint((truth - folded) / (2 * nyquist))
    right = valid & ~unresolved & (fold == true_fold)
    wrong = valid & ~unresolved & (fold != true_fold)
    return right.sum() / valid.sum(), wrong.sum() / valid.sum()


def unfold_case(nyquist, elevation, scattered):
    azimuth, rng, folded, truth = uc.case(nyquist, elevation, scattered)
    out = radar.dealias(uc.sweep_dataset(azimuth, rng, folded, elevation, nyquist))
    return truth, folded, out


CASES = [(ny, el) for ny in (8.0, 12.0, 16.0, 25.0) for el in (0.5, 2.4)]


@pytest.mark.parametrize("nyquist, elevation", CASES)
def test_contiguous_echo_gets_its_true_folds(nyquist, elevation):
    truth, folded, out = unfold_case(nyquist, elevation, scattered=False)
    right, wrong = fold_scores(truth, folded, out["fold_count"].values,
                               out["unresolved"].values, nyquist)
    assert right >= 0.995 and wrong <= 0.001, (right, wrong)
    ok = ~out["unresolved"].values & np.isfinite(truth)
    np.testing.assert_allclose(out["unfolded_velocity"].values[ok], truth[ok], atol=1e-9)


@pytest.mark.parametrize("nyquist, elevation", CASES)
def test_scattered_echo_is_unfolded_or_admitted(nyquist, elevation):
    truth, folded, out = unfold_case(nyquist, elevation, scattered=True)
    right, wrong = fold_scores(truth, folded, out["fold_count"].values,
                               out["unresolved"].values, nyquist)
    assert wrong <= 0.002, wrong
    assert right >= 0.99, right


def test_output_layout_follows_the_input_and_leaves_it_unchanged():
    azimuth, rng, folded, truth = uc.case(12.0, 0.5)
    ds = uc.sweep_dataset(azimuth, rng, folded, 0.5, 12.0).transpose("range", "azimuth")
    before = ds.copy(deep=True)
    out = radar.dealias(ds)
    xr.testing.assert_identical(ds, before)
    assert out["unfolded_velocity"].dims == ("range", "azimuth")
    assert out["fold_count"].dtype == np.int8 and out["unresolved"].dtype == bool
    assert out["unfolded_velocity"].attrs["units"] == "m s-1"
    missing = np.isnan(ds["VRADH"].values)
    assert not out["unresolved"].values[missing].any()
    assert np.isnan(out["unfolded_velocity"].values[missing]).all()


def test_same_bits_for_every_thread_count():
    sweeps = []
    for k, (ny, el) in enumerate([(8.0, 0.5), (12.0, 2.4), (16.0, 0.5)]):
        azimuth, rng, folded, _ = uc.case(ny, el, scattered=bool(k % 2), seed=k)
        sweeps.append(uc.sweep_dataset(azimuth, rng, folded, el, ny, number=k))
    tree = cases.volume(sweeps)
    outs = [radar.dealias(tree, n_threads=n) for n in (1, 2, 3, 0)]
    for out in outs[1:]:
        for k in range(3):
            for name in ("unfolded_velocity", "fold_count", "unresolved"):
                a, b = outs[0][f"sweep_{k}"][name].values, out[f"sweep_{k}"][name].values
                assert a.tobytes() == b.tobytes()


@pytest.mark.parametrize("shuffle", ["unsorted", "reversed"])
def test_ray_order_does_not_matter(shuffle, rng):
    azimuth, rg, folded, _ = uc.case(8.0, 0.5, scattered=True)
    ds = uc.sweep_dataset(azimuth, rg, folded, 0.5, 8.0)
    order = rng.permutation(azimuth.size) if shuffle == "unsorted" else np.arange(azimuth.size)[::-1]
    sorted_out = radar.dealias(ds)
    out = radar.dealias(ds.isel(azimuth=order))
    for name in ("unfolded_velocity", "fold_count", "unresolved"):
        np.testing.assert_array_equal(out[name].values, sorted_out[name].values[order])


def test_duplicated_azimuths_are_unfolded_like_their_twins():
    azimuth, rng, folded, truth = uc.case(12.0, 0.5)
    twice = np.repeat(np.arange(azimuth.size), 2)
    ds = uc.sweep_dataset(azimuth[twice], rng, folded[twice], 0.5, 12.0)
    out = radar.dealias(ds)
    right, wrong = fold_scores(truth[twice], folded[twice], out["fold_count"].values,
                               out["unresolved"].values, 12.0)
    assert right >= 0.995 and wrong <= 0.001


@pytest.mark.parametrize("case", ["all missing", "one ray", "one azimuth"])
def test_sweeps_without_a_wind_are_unresolved_not_guessed(case):
    azimuth, rng, folded, _ = uc.case(8.0, 0.5)
    if case == "all missing":
        folded = np.full_like(folded, np.nan)
    elif case == "one ray":
        azimuth, folded = azimuth[:1], folded[:1]
    else:
        azimuth = np.full_like(azimuth, 10.0)
    out = radar.dealias(uc.sweep_dataset(azimuth, rng, folded, 0.5, 8.0))
    valid = np.isfinite(folded)
    np.testing.assert_array_equal(out["unresolved"].values, valid)
    assert np.isnan(out["unfolded_velocity"].values).all()


@pytest.mark.parametrize("nyquist, match", [(None, "Nyquist"), (0.0, "positive"),
                                            (-5.0, "positive"), (np.nan, "Nyquist")])
def test_a_missing_or_bad_nyquist_velocity_is_an_error(nyquist, match):
    azimuth, rng, folded, _ = uc.case(8.0, 0.5)
    ds = uc.sweep_dataset(azimuth, rng, folded, 0.5)
    with pytest.raises(ValueError, match=match):
        radar.dealias(ds, nyquist=nyquist)


def test_a_sweep_without_velocity_is_an_error():
    with pytest.raises(ValueError, match="velocity"):
        radar.dealias(cases.sweep().drop_vars("VRADH"), nyquist=10.0)
    with pytest.raises(ValueError, match="VRADV"):
        radar.dealias(cases.volume([cases.sweep()]), "VRADV", nyquist=10.0)
    with pytest.raises(TypeError):
        radar.dealias(np.zeros((3, 3)), nyquist=10.0)


@pytest.mark.parametrize("bad", ["shape", "azimuth", "nyquist", "order"])
def test_kernel_checks_its_input(bad):
    vel, az, shape, ny = np.zeros(12), np.arange(4.0), np.array([[4, 3]]), np.array([8.0])
    if bad == "shape":
        shape = np.array([[4, 4]])
    elif bad == "azimuth":
        az = np.array([0.0, 1.0, 2.0, 360.0])
    elif bad == "nyquist":
        ny = np.array([0.0])
    else:
        az = az[::-1].copy()
    with pytest.raises(ValueError):
        _radar.unfold(vel, az, shape, ny)


def test_pyart_radar_gets_three_fields():
    pyart = pytest.importorskip("pyart")
    azimuth, rng, folded, truth = uc.case(12.0, 2.4)
    r = pyart.testing.make_empty_ppi_radar(rng.size, azimuth.size, 1)
    r.azimuth["data"] = azimuth
    r.range["data"] = rng
    r.elevation["data"] = np.full(azimuth.size, 2.4)
    r.fields["velocity"] = {"data": np.ma.masked_invalid(folded)}
    r.instrument_parameters = {"nyquist_velocity": {"data": np.full(azimuth.size, 12.0)}}
    out = radar.dealias(r)
    assert "unfolded_velocity" not in r.fields
    right, wrong = fold_scores(truth, folded, out.fields["fold_count"]["data"],
                               out.fields["unresolved"]["data"], 12.0)
    assert right >= 0.995 and wrong <= 0.001


@pytest.mark.parametrize("nyquist, elevation, scattered", [
    (8.0, 2.4, True), (12.0, 2.4, True), (16.0, 2.4, True), (12.0, 0.5, False)])
def test_as_many_true_folds_as_pyart_region_based(nyquist, elevation, scattered):
    pyart = pytest.importorskip("pyart")
    azimuth, rng, folded, truth = uc.case(nyquist, elevation, scattered)
    r = pyart.testing.make_empty_ppi_radar(rng.size, azimuth.size, 1)
    r.azimuth["data"] = azimuth
    r.range["data"] = rng
    r.elevation["data"] = np.full(azimuth.size, elevation)
    r.fields["velocity"] = {"data": np.ma.masked_invalid(folded), "_FillValue": -9999.0}
    r.instrument_parameters = {"nyquist_velocity": {"data": np.full(azimuth.size, nyquist)}}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs = pyart.correct.dealias_region_based(r, nyquist_vel=nyquist)
    data = np.ma.filled(theirs["data"].astype(float), np.nan)
    their_fold = np.rint((data - folded) / (2 * nyquist))
    valid = np.isfinite(truth)
    their_right = (their_fold == np.rint((truth - folded) / (2 * nyquist)))[valid].mean()
    out = radar.dealias(r)
    right, _ = fold_scores(truth, folded, out.fields["fold_count"]["data"],
                           out.fields["unresolved"]["data"], nyquist)
    assert right >= their_right


# The shipped volume, its native velocities as the truth.

@pytest.fixture(scope="module")
def shipped():
    return radar.open_volume(VOLUME).load()


def refolded(tree, nyquist):
    out = tree.copy()
    for name in out.children:
        ds = out[name].to_dataset()
        if "VRADH" in ds.data_vars:
            ds["VRADH"] = uc.wrap(ds["VRADH"], nyquist)
            ds["nyquist_velocity"] = ((), nyquist)
            out[name].dataset = ds
    return out


def test_open_volume_reads_the_nyquist_velocity_and_masks_codes(shipped):
    numbers = radar.doppler_sweeps(shipped)
    nyquist = {n: float(shipped[f"sweep_{n}"]["nyquist_velocity"]) for n in numbers}
    assert nyquist == {n: 22.56 if n < 8 else 31.08 for n in numbers}
    vel = shipped["sweep_1"]["VRADH"].values
    assert np.isnan(vel).any() and np.nanmin(vel) > -64.0
    with pytest.raises(ValueError, match="engine"):
        radar.open_volume(pathlib.Path(__file__))


@pytest.mark.parametrize("nyquist", [8.0, 12.0, 16.0])
def test_shipped_volume_refolded(shipped, nyquist):
    folded = refolded(shipped, nyquist)
    out = radar.dealias(folded)
    recovered = total = 0
    for n in radar.doppler_sweeps(shipped):
        truth = shipped[f"sweep_{n}"]["VRADH"].values
        valid = np.isfinite(truth)
        got = out[f"sweep_{n}"]["unfolded_velocity"].values
        recovered += (valid & (np.abs(got - truth) < 1e-6)).sum()
        total += valid.sum()
    assert recovered / total >= 0.96, recovered / total

    truth_profile = radar.vwp(shipped, dealias=False)
    profile = radar.vwp(folded)
    assert "sweeps [1, 3" in profile.attrs["dealias"]
    err = wind_error(profile, truth_profile)
    both = np.isfinite(err)  # bins with a wind in both profiles
    assert float((err[both] <= 1.0).mean()) >= 0.9


def wind_error(ds, truth):
    return np.hypot(ds["eastward_wind"] - truth["eastward_wind"],
                    ds["northward_wind"] - truth["northward_wind"])


@pytest.mark.parametrize("nyquist", [8.0, 12.0])
def test_folded_bins_are_never_silent_without_unfolding(shipped, nyquist):
    truth = radar.vwp(shipped, dealias=False)
    profile = radar.vwp(refolded(shipped, nyquist), dealias=False)
    err = wind_error(profile, truth)
    silent = (profile["gate_count"] > 0) & ~profile["aliased"] & (err > 2.0)
    assert not silent.any()
    assert "as given" in profile.attrs["dealias"]


def test_the_aliasing_check_is_skipped_only_on_request_and_says_so(shipped):
    folded = refolded(shipped, 12.0)
    assert radar.vwp(folded, dealias=False, qc=False)["aliased"].any()
    unchecked = radar.vwp(folded, dealias=False, qc=False, check_aliasing=False)
    assert not unchecked["aliased"].any() and "not checked" in unchecked.attrs["aliasing"]


def test_vad_marks_folded_gates_and_not_unfolded_ones():
    azimuth, rng, folded, truth = uc.case(8.0, 2.4)
    true_fit = radar.vad(uc.sweep_dataset(azimuth, rng, truth, 2.4), nyquist=8.0)
    assert not true_fit["aliased"].any()
    folded_fit = radar.vad(uc.sweep_dataset(azimuth, rng, folded, 2.4), nyquist=8.0)
    err = wind_error(folded_fit, true_fit).values
    assert (err > 2.0).any() and folded_fit["aliased"].values[err > 2.0].all()


# Level II radial headers, built byte by byte: message 31 with its
# radial-data block, and the legacy message 1.

def message(kind, body):
    slot = max(len(body) + 16, 2432 - 12) if kind != 31 else len(body) + 16
    header = struct.pack(">HBBHHIHH", slot // 2, 0, kind, 0, 0, 0, 1, 1)
    return (bytes(12) + header + body).ljust(12 + slot, b"\0")


def message31(elevation, nyquist):
    rad = b"RRAD" + struct.pack(">HhffhH", 20, 1000, 0.0, 0.0, round(nyquist * 100), 0)
    head = struct.pack(">4sIHHfBBHBBBBfBbH", b"KXYZ", 0, 0, 1, 0.0, 0, 0, 0, 1, 0, elevation, 1,
                       0.5, 0, 0, 1)
    head += struct.pack(">I", len(head) + 4 * 10) + bytes(4 * 9)
    return message(31, head + rad)


def message1(elevation, nyquist):
    body = bytearray(100)
    struct.pack_into(">H", body, 16, elevation)
    struct.pack_into(">h", body, 60, round(nyquist * 100))
    return message(1, bytes(body))


@pytest.mark.parametrize("compressed", [False, True])
def test_nyquist_velocity_from_radial_headers(tmp_path, compressed):
    stream = (message31(1, 8.47) + message31(2, 22.56) + message31(2, 22.56)
              + message1(3, 26.0) + message1(4, 0.0))
    if compressed:
        packed = bz2.compress(stream)
        stream = struct.pack(">i", len(packed)) + packed
    path = tmp_path / "volume"
    path.write_bytes(b"AR2V0006.001" + bytes(12) + stream)
    assert level2.nyquist_velocities(path) == {0: 8.47, 1: 22.56, 2: 26.0}
    (tmp_path / "other").write_bytes(b"CDF\x01" + bytes(100))
    with pytest.raises(ValueError, match="Level II"):
        level2.nyquist_velocities(tmp_path / "other")


def test_a_strong_wind_folded_is_flagged_and_unfolded():
    # 30 m/s folded at 22.56 m/s: fitted as given it looks like a weak wind
    # from the other side; it must be flagged, and unfolded it is 30 m/s.
    ds = cases.sweep(u=30.0, v=0.0, elevation=0.5, rays=720, gates=40, number=1, level2=False)
    ds["VRADH"] = uc.wrap(ds["VRADH"], 22.56)
    ds["nyquist_velocity"] = ((), 22.56)
    assert radar.vad(ds)["aliased"].all()
    tree = cases.volume([ds])
    profile = radar.vwp(tree)
    np.testing.assert_allclose(profile["eastward_wind"].dropna("height"), 30.0, atol=1e-9)
    silent = radar.vwp(tree, dealias=False)
    assert silent["aliased"].any() and silent["aliased"].where(silent["gate_count"] > 0, True).all()
