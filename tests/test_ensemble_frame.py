"""The _ensemble frame: registration, argument conversion, the block runner."""

import subprocess
import sys
import threading

import numpy as np
import pytest

import _ensemble

KERNELS = ["perturb", "statistics", "mode", "words"]


@pytest.fixture
def rng():
    return np.random.default_rng(20261211)


def test_docstring_and_registration_order():
    assert _ensemble.__doc__ == "Random measurement errors and ensemble statistics"
    assert [n for n in vars(_ensemble) if not n.startswith("_")] == KERNELS


@pytest.mark.parametrize("kernel, names", [
    ("perturb", "dbz zdr phidp rhohv vel flags fac bias_dbz bias_zdr k0 k1 m0 n_threads"),
    ("statistics", "values percentiles min_valid n_threads"),
    ("mode", "values n_codes min_valid n_threads"),
    ("words", "k0 k1 member block n"),
])
def test_signatures_name_every_argument_and_only_n_threads_defaults(kernel, names):
    sig = getattr(_ensemble, kernel).__doc__.splitlines()[0]
    assert sig.startswith(f"{kernel}(")
    params = sig[len(kernel) + 1:sig.rindex(") ->")]
    assert [p.split(":")[0].strip() for p in params.split(", ") if ":" in p] == names.split()
    assert sig.count(" = ") == (kernel != "words")
    if kernel != "words":
        assert "n_threads: typing.SupportsInt | typing.SupportsIndex = 0)" in sig


@pytest.mark.parametrize("call", [
    lambda: _ensemble.statistics(np.zeros((2, 3)), [50], 1.0),
    lambda: _ensemble.statistics("not numbers", [50], 1),
    lambda: _ensemble.statistics(np.zeros((2, 3)), [50], 1, n_threads=2**31),
    lambda: _ensemble.mode(np.zeros((2, 3)), 2**63, 1),
    lambda: _ensemble.mode(np.zeros((2, 3)), 3, 1, n_threads=1.5),
    lambda: _ensemble.mode(np.zeros((2, 3)), 3),
    lambda: _ensemble.words(0, 0, 0, 0, 1, 1),
])
def test_unconvertible_arguments_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_keywords_and_array_likes(rng):
    x = rng.normal(size=(6, 40)).astype(np.float32)
    expected = _ensemble.statistics(x, [10, 90], 1)
    for out in (_ensemble.statistics(n_threads=1, min_valid=1, percentiles=[10, 90], values=x),
                _ensemble.statistics(x.tolist(), (10, 90), 1),
                _ensemble.statistics(np.asfortranarray(x), np.array([10, 90], np.int32), 1),
                _ensemble.statistics(np.repeat(x, 2, axis=1)[:, ::2], [10, 90], 1)):
        for got, want in zip(out, expected):
            assert np.array_equal(got, want, equal_nan=True)


@pytest.mark.parametrize("n", [1, 255, 256, 257, 1000, 4097])
@pytest.mark.parametrize("n_threads", [1, 2, 8, 64, 0, -1])
def test_every_point_is_computed_once_for_any_thread_count(n, n_threads):
    # mode of member values equal to the point index modulo 97 names each point.
    j = np.arange(n)
    x = np.tile((j % 97).astype(np.float32), (3, 1))
    code, fraction = _ensemble.mode(x, 97, 1, n_threads)
    assert np.array_equal(code, j % 97) and np.array_equal(fraction, np.ones(n))


def test_both_modules_import_into_one_process_in_either_order():
    for first, second in [("_velmora", "_ensemble"), ("_ensemble", "_velmora")]:
        code = f"import {first}, {second}; print({second}.__doc__ != {first}.__doc__)"
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              timeout=120)
        assert proc.returncode == 0, proc.stderr
        assert proc.stdout.strip() == "True"


def test_concurrent_calls_of_both_modules_from_python_threads(rng):
    import _velmora

    x = rng.normal(size=(30, 3000)).astype(np.float32)
    vr, az = rng.normal(size=(300, 40)), rng.uniform(0, 6.3, (300, 40))
    expected = (_ensemble.statistics(x, [25, 75], 1, 1)[2], _ensemble.words(1, 2, 3, 4, 500),
                _velmora.vad(vr, az, np.ones(300), 3, 0.1, n_threads=1))
    results = [None] * 8

    def work(k):
        results[k] = (_ensemble.statistics(x, [25, 75], 1, 3)[2], _ensemble.words(1, 2, 3, 4, 500),
                      _velmora.vad(vr, az, np.ones(300), 3, 0.1, n_threads=3))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for out in results:
        for got, want in zip(out, expected):
            assert np.array_equal(got, want, equal_nan=True)
