"""The storm case runs end to end and retrieves the winds it was built from."""

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
