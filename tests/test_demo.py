"""The storm case runs end to end and retrieves the winds it was built from."""

import importlib.util
import pathlib
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
import storm  # noqa: E402


@pytest.fixture(scope="module")
def case():
    return storm.run_case(seed=3, members=6, sizes=storm.SMALL)


def test_every_kernel_runs(case):
    assert set(case["times"]) == {"thermo", "cold_pool", "gradient", "vad", "profile",
                                  "perturb", "statistics", "mode"}
    assert "SRH" in storm.report(case)


def test_retrieved_winds_match_the_truth_within_the_noise(case):
    w = case["wind"]
    for retrieved, truth in ((w["u"], w["u_true"]), (w["v"], w["v_true"])):
        assert np.all(np.abs(retrieved - truth) < 5 * w["sigma"])
    for ret, tru in w["layers"].values():
        assert ret["srh"] == pytest.approx(tru["srh"], rel=0.1, abs=5.0)
        assert ret["mean_u"] == pytest.approx(tru["mean_u"], abs=0.5)


def test_same_seed_same_case():
    a = storm.run_case(seed=5, members=4, sizes=storm.SMALL)
    b = storm.run_case(seed=5, members=4, sizes=storm.SMALL)
    for stage in ("pool", "ensemble"):
        for key, value in a[stage].items():
            if isinstance(value, np.ndarray):
                np.testing.assert_array_equal(value, b[stage][key])


def test_storm_figure_is_drawn(case, tmp_path):
    pytest.importorskip("matplotlib")
    storm.figure(case, tmp_path / "storm.png")
    assert (tmp_path / "storm.png").stat().st_size > 10_000


def test_radar_demo_on_a_synthetic_volume(tmp_path):
    pytest.importorskip("xarray")
    import radar_cases
    import radar_vwp

    from velmora import radar

    heights = radar.gate_height(2125.0 + 250.0 * np.arange(60), 9.0)
    tree = radar_cases.volume([radar_cases.sweep(heights / 500.0, 10.0 - heights / 1000.0,
                                                 elevation=9.0, gates=60, number=2)])
    profile = radar.vwp(tree, nyquist=radar_vwp.parse_nyquist("2=40"))
    layers = radar.helicity(profile, radar_vwp.STORM_MOTION)
    text = radar_vwp.report(profile, layers, radar_vwp.STORM_MOTION, 0.01)
    assert "0-1 km: storm-relative helicity" in text and "0-3 km" in text
    assert radar_vwp.parse_nyquist("22.5") == 22.5
    tree.dataset = tree.root.to_dataset().assign(time_coverage_start="2016-06-01T15:00:25Z")
    series = radar.vwp_series(radar_vwp.shifted_copies(tree, 3), nyquist=40.0)
    assert series.sizes["time"] == 3 and series["time"][1] - series["time"][0] == np.timedelta64(
        radar_vwp.SERIES_STEP, "m")
    if importlib.util.find_spec("matplotlib"):
        radar_vwp.figure(profile, radar_vwp.STORM_MOTION, "synthetic", tmp_path / "vwp.png",
                         series)
        assert (tmp_path / "vwp.png").stat().st_size > 10_000
