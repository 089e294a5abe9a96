"""The module frame: registration, argument conversion, the runner."""

import inspect
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _velmora
from conftest import assert_bits_equal

KERNELS = ["thermo", "cold_pool", "profile", "gradient", "vad"]


def test_docstring_and_registration_order():
    assert _velmora.__doc__ == "Cold-pool, wind-profile and baroclinity kernel (multithreaded)."
    names = [n for n in vars(_velmora) if not n.startswith("_")]
    assert names == [k for k in KERNELS if hasattr(_velmora, k)]


def test_vad_signature_names_and_default():
    sig = _velmora.vad.__doc__.splitlines()[0]
    assert sig.startswith("vad(vr: ")
    for name in ["az", "cos_el", "min_gates", "min_spread"]:
        assert f"{name}: " in sig
    assert "n_threads: typing.SupportsInt | typing.SupportsIndex = 0" in sig


def call_vad(**overrides):
    args = dict(vr=np.zeros((2, 4)), az=np.zeros((2, 4)), cos_el=[1.0, 1.0],
                min_gates=3, min_spread=0.1)
    args.update(overrides)
    return _velmora.vad(**{k: v for k, v in args.items() if v is not inspect.Parameter.empty})


@pytest.mark.parametrize("overrides", [
    {"min_spread": inspect.Parameter.empty},  # missing argument
    {"bogus": 1},  # unknown keyword
    {"vr": "not numbers"},
    {"vr": object()},
    {"min_gates": 3.5},  # floats are not integers
    {"min_gates": 2**63},  # does not fit 64 bits
    {"n_threads": 2**31},  # does not fit 32 bits
    {"min_spread": "0.1"},
])
def test_unconvertible_arguments_raise_type_error(overrides):
    with pytest.raises(TypeError):
        call_vad(**overrides)


def test_positional_and_keyword_calls_agree(rng):
    vr, az = rng.normal(size=(3, 20)), rng.uniform(0, 6.3, (3, 20))
    assert_bits_equal(_velmora.vad(vr, az, np.ones(3), 3, 0.1, 1),
                      _velmora.vad(n_threads=1, min_spread=0.1, min_gates=3, cos_el=np.ones(3),
                                   az=az, vr=vr))


def test_array_likes_are_seen_in_logical_order(rng):
    vr, az = rng.normal(size=(5, 30)), rng.uniform(0, 6.3, (5, 30))
    expected = _velmora.vad(vr, az, np.ones(5), 3, 0.1)
    as_list = _velmora.vad(vr.tolist(), az.tolist(), [1] * 5, 3, 0.1)
    transposed = _velmora.vad(np.asfortranarray(vr), az.T.copy().T, np.ones(5), 3, 0.1)
    strided = _velmora.vad(np.repeat(vr, 2, axis=1)[:, ::2], az, np.ones(5), 3, 0.1)
    for out in (as_list, transposed, strided):
        assert_bits_equal(out, expected)
    narrow = _velmora.vad(vr.astype(np.float32), az.astype(np.float32), np.ones(5), 3, 0.1)
    assert_bits_equal(narrow, _velmora.vad(vr.astype(np.float32).astype(np.float64),
                                           az.astype(np.float32).astype(np.float64),
                                           np.ones(5), 3, 0.1))


def test_inputs_are_not_written(rng):
    vr, az = rng.normal(size=(70, 30)), rng.uniform(0, 6.3, (70, 30))
    before = vr.copy(), az.copy()
    _velmora.vad(vr, az, np.ones(70), 3, 0.1, n_threads=2)
    assert_bits_equal(vr, before[0])
    assert_bits_equal(az, before[1])


def run_python(code, python=sys.executable, **kwargs):
    return subprocess.run([python, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=120, **kwargs)


def other_python():
    for name in ["python3.13", "python3.11"]:
        found = shutil.which(name)
        root = pathlib.Path(os.environ.get("PYENV_ROOT", pathlib.Path.home() / ".pyenv"))
        candidates = [found] if found else []
        candidates += sorted(map(str, root.glob(f"versions/{name[6:]}*/bin/{name}")))
        for c in candidates:
            if run_python("import sys", python=c).returncode == 0:
                return c
    return None


def test_other_interpreters_refuse_to_import():
    python = other_python()
    if python is None:
        pytest.skip("no second Python interpreter on this machine")
    proc = run_python(f"""
        import importlib.machinery, importlib.util, os, sys
        sys.setdlopenflags(os.RTLD_LAZY)  # reach the entry point despite ABI differences
        loader = importlib.machinery.ExtensionFileLoader("_velmora", {_velmora.__file__!r})
        spec = importlib.util.spec_from_file_location("_velmora", {_velmora.__file__!r}, loader=loader)
        try:
            importlib.util.module_from_spec(spec)
        except ImportError as e:
            print(e)
    """, python=python)
    version = run_python("import sys; print(sys.version)", python=python).stdout.strip()
    assert proc.stdout.strip() == (
        "Python version mismatch: module was compiled for Python 3.12, "
        f"but the interpreter version is incompatible: {version}.")
