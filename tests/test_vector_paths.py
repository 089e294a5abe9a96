"""The narrower vector paths of _ensemble and velmora._radar, each built on
its own (make test builds them and names their build dirs), against the same
scalar references."""

import os
import pathlib
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).parent
BUILDS = os.environ.get("ENSEMBLE_PATH_BUILDS", "").split()
SUITES = ["test_statistics.py", "test_mode.py", "test_perturb.py"]


@pytest.mark.skipif(not BUILDS, reason="no forced-path builds named (make test names them)")
@pytest.mark.parametrize("build", BUILDS, ids=lambda b: pathlib.Path(b).name)
def test_path_matches_the_references(build):
    env = {**os.environ, "PYTHONPATH": build}
    found = subprocess.run([sys.executable, "-c", "import _ensemble; print(_ensemble.__file__)"],
                           capture_output=True, text=True, env=env, timeout=60)
    assert found.returncode == 0 and found.stdout.startswith(build), found.stdout + found.stderr
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *SUITES],
                         capture_output=True, text=True, env=env, cwd=HERE, timeout=900)
    assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-2000:]


RADAR_SUITES = ["test_radar_kernel.py"]


@pytest.mark.skipif(not BUILDS, reason="no forced-path builds named (make test names them)")
@pytest.mark.parametrize("build", BUILDS, ids=lambda b: pathlib.Path(b).name)
def test_radar_path_matches_the_row_fit(build):
    # conftest.py loads velmora._radar from RADAR_PATH_BUILD in place of the installed one.
    env = {**os.environ, "RADAR_PATH_BUILD": build}
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *RADAR_SUITES],
                         capture_output=True, text=True, env=env, cwd=HERE, timeout=900)
    assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-2000:]
    assert " skipped" not in run.stdout.splitlines()[-1], run.stdout[-3000:]
