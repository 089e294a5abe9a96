import os
import sys
import pathlib

import numpy as np
import pytest

# The scalar references live beside the tests.
sys.path.insert(0, str(pathlib.Path(__file__).parent))
# The tests import the installed package: velmora._radar is built into it,
# and the source tree (on the path under `python -m pytest`) has no such file.
ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path[:] = [p for p in sys.path if pathlib.Path(p or ".").resolve() != ROOT]


def _load_pinned_radar(build):
    """velmora._radar from a build pinned to one vector path (tests/test_vector_paths.py)."""
    import importlib.util

    path = next(pathlib.Path(build).glob("_radar.*.so"))
    spec = importlib.util.spec_from_file_location("velmora._radar", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules["velmora._radar"] = module


if os.environ.get("RADAR_PATH_BUILD"):
    _load_pinned_radar(os.environ["RADAR_PATH_BUILD"])

THREAD_COUNTS = [1, 2, 7, 0, -1]


def assert_bits_equal(actual, expected):
    """Equal to the last bit, NaN payloads and signed zeros included."""
    actual = np.ascontiguousarray(actual, dtype=np.float64)
    expected = np.ascontiguousarray(expected, dtype=np.float64)
    assert actual.shape == expected.shape
    diff = np.flatnonzero(actual.view(np.uint64) != expected.view(np.uint64))
    assert diff.size == 0, (
        f"{diff.size} elements differ, first at flat index {diff[0]}: "
        f"{actual.flat[diff[0]]!r} != {expected.flat[diff[0]]!r}"
    )


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)
