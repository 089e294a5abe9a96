"""The frame under stress: concurrent callers, the released lock, thread starts
that fail, and block bodies that throw."""

import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import _ensemble
from conftest import assert_bits_equal
from kernel_cases import as_tuple, calls

KERNELS = ["thermo", "cold_pool", "profile", "gradient", "vad", "perturb", "statistics", "mode"]


def assert_results_equal(a, b):
    for x, y in zip(as_tuple(a), as_tuple(b), strict=True):
        assert_bits_equal(x, y)


def test_concurrent_callers_get_the_results_of_lone_calls():
    callers, calls_each = 8, 50
    cases = [calls(np.random.default_rng(seed), scale=1) for seed in range(callers)]
    alone = [{name: kernel(*args, n_threads=2) for name, (kernel, args) in case.items()}
             for case in cases]
    failures = []

    def caller(k):
        try:
            for c in range(calls_each):
                name = KERNELS[(k + c) % len(KERNELS)]
                kernel, args = cases[k][name]
                assert_results_equal(kernel(*args, n_threads=1 + c % 3), alone[k][name])
        except Exception as error:  # reported on the main thread
            failures.append(error)

    threads = [threading.Thread(target=caller, args=(k,)) for k in range(callers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures[0]


def ticks_during(fn, calls=5):
    """How often another Python thread ran while fn was being called.

    With a long switch interval a thread that holds the interpreter lock is
    never asked to give it up, so the other thread (which sleeps between
    ticks, releasing the lock) can only run inside fn if fn releases it.
    """
    old = sys.getswitchinterval()
    sys.setswitchinterval(60.0)
    state = {"inside": False, "ticks": 0}
    done = threading.Event()

    def python_work():
        while not done.is_set():
            state["ticks"] += state["inside"]
            time.sleep(0.0002)

    worker = threading.Thread(target=python_work)
    worker.start()
    time.sleep(0.01)
    try:
        # At least `calls` calls and 50 ms inside fn, so that a fast kernel
        # still gives the other thread its chances.
        start, made = time.perf_counter(), 0
        while made < calls or time.perf_counter() - start < 0.05:
            state["inside"] = True
            fn()
            state["inside"] = False
            made += 1
    finally:
        done.set()
        worker.join()
        sys.setswitchinterval(old)
    return state["ticks"]


def test_the_lock_test_sees_a_held_lock():
    assert ticks_during(lambda: _ensemble.words(1, 2, 3, 4, 2_000_000)) == 0


@pytest.mark.parametrize("name", KERNELS)
def test_the_interpreter_lock_is_released_during_a_call(name):
    kernel, args = calls(np.random.default_rng(0), scale=100)[name]
    assert ticks_during(lambda: kernel(*args, n_threads=1)) > 0


def native_threads():
    return len(os.listdir("/proc/self/task"))


def test_a_throwing_block_leaves_no_thread_and_a_usable_module():
    # Each block takes scratch of its own for 4,000 members side by side:
    # with the address space capped just above what the call needs before
    # the blocks start, the blocks cannot have it.
    code = textwrap.dedent("""
        import os, resource
        import numpy as np, _ensemble
        values = np.zeros((4000, 256 * 16), dtype=np.float32)
        before = len(os.listdir('/proc/self/task'))
        used = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (used + (1 << 20), hard))
        for _ in range(3):
            try:
                _ensemble.statistics(values, [50], 1, n_threads=8)
            except MemoryError:
                print("raised")
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        assert len(os.listdir('/proc/self/task')) <= before
        code, share = _ensemble.mode(values, 4, 1, n_threads=8)
        assert (code == 0).all() and (share == 1).all()
        print("ok")
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120, cwd=os.path.dirname(__file__))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["raised"] * 3 + ["ok"]


@pytest.mark.parametrize("name", KERNELS)
def test_refused_thread_starts_still_give_correct_results(name):
    # With the address space capped, most of the 64 thread stacks cannot be
    # mapped; the threads that did start (or the caller alone) finish the work.
    code = textwrap.dedent(f"""
        import resource, threading
        import numpy as np
        from kernel_cases import calls, as_tuple
        kernel, args = calls(np.random.default_rng(1), scale=4)[{name!r}]
        expected = as_tuple(kernel(*args, n_threads=1))
        used = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (96 << 20), resource.RLIM_INFINITY))
        parked = []
        try:  # show that thread starts really are refused now
            for _ in range(64):
                parked.append(threading.Timer(0.5, lambda: None))
                parked[-1].start()
        except RuntimeError:
            print("refused")
        for t in parked[:-1]:
            t.join()
        for _ in range(3):
            for got, want in zip(as_tuple(kernel(*args, n_threads=64)), expected):
                assert np.array_equal(got, want, equal_nan=True)
        print("ok")
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120, cwd=os.path.dirname(__file__))
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["refused", "ok"]


def unaligned(a):
    """The same values in a C-contiguous array at an odd byte offset."""
    a = np.ascontiguousarray(a)
    buf = np.zeros(a.nbytes + 1, dtype=np.uint8)
    out = np.frombuffer(buf.data, dtype=a.dtype, count=a.size, offset=1).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned and out.flags.c_contiguous
    return out


@pytest.mark.parametrize("name", KERNELS)
def test_unaligned_arrays_give_the_same_results(name):
    # Such arrays arrive, for example, from buffers unpickled in another process.
    kernel, args = calls(np.random.default_rng(2), scale=1)[name]
    moved = [unaligned(a) if isinstance(a, np.ndarray) else a for a in args]
    assert_results_equal(kernel(*moved, n_threads=2), kernel(*args, n_threads=2))
