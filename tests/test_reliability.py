"""Calls that must end well: at interpreter exit, on Ctrl-C, with empty
outputs, without memory, and without keeping scratch memory afterwards.

The exit and Ctrl-C cases run in child processes with timeouts, so that a
regression fails the test instead of hanging or killing the suite."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import _ensemble
import _velmora

HERE = os.path.dirname(__file__)

# Under the sanitizer freed memory waits in quarantine, so the resident size
# says nothing about what a call kept.
SANITIZED = "ASAN_OPTIONS" in os.environ


def child(code, **kwargs):
    """A Python child process running `code` beside the tests."""
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], cwd=HERE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)


def interrupted(proc, after):
    """Ctrl-C to a child `after` s past its "calling" line: its output, errors and
    the seconds it took from the signal to its exit."""
    try:
        assert proc.stdout.readline() == "calling\n", proc.stderr.read()
        time.sleep(after)
        proc.send_signal(signal.SIGINT)
        sent = time.monotonic()
        out, err = proc.communicate(timeout=120)
        return out, err, time.monotonic() - sent
    finally:
        proc.kill()


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


EXIT_CASES = {
    # Daemon threads inside kernels of both modules, with one thread and with
    # two, when the main thread ends; the interpreter then ends each of them
    # as it takes the lock back.
    "kernels": """
        t = np.full(200_000, 300.0)
        v = np.ones((20, 20_000), np.float32)
        def call(n_threads):
            _velmora.thermo(t, t, t, n_threads)
            _ensemble.statistics(v, [50.0], 1, n_threads)
    """,
    # Arguments that the binding copies, NumPy releasing the lock while it
    # casts them; the call then fails on purpose ("size mismatch").
    "converting": """
        t32, one = np.full(200_000, 300.0, np.float32), np.zeros(1)
        def call(n_threads):
            try:
                _velmora.thermo(t32, t32, one, n_threads)
            except ValueError:
                pass
            _ensemble.mode(np.ones((20, 20_000)), 3, 1, n_threads)
    """,
    # The same through the front door, with strided views it passes on.
    "front door": """
        import velmora
        t = np.full(400_000, 300.0)[::2]
        def call(n_threads):
            velmora.thermo(t, t, t, n_threads=n_threads)
    """,
}


@pytest.mark.parametrize("case", EXIT_CASES)
def test_interpreter_exit_during_calls_is_clean(case):
    """Each case fails in nearly every child without the exit handling of the
    bindings (all 20 crash); with it, none of 2,000 soak children (make soak)
    nor of these 60 has failed here."""
    code = """
        import threading, time
        import numpy as np
        import _ensemble, _velmora
    """ + EXIT_CASES[case] + """
        def loop(n_threads):
            while True:
                call(n_threads)
        for n_threads in [1, 2]:
            threading.Thread(target=loop, args=(n_threads,), daemon=True).start()
        time.sleep(0.2)
    """
    runs = [child(textwrap.dedent(code)) for _ in range(20)]
    results = [(p.wait(timeout=120), p.communicate()[1]) for p in runs]
    assert [status for status, _ in results] == [0] * 20, results


def test_threads_are_capped_by_the_processors_not_the_request():
    # 2^31 - 1 threads requested over many blocks: a few per processor start.
    x = np.ones((4096, 64))
    peak = 0
    done = threading.Event()

    def work():
        for _ in range(5):
            _velmora.vad(x, x, np.ones(4096), 3, 0.1, n_threads=2**31 - 1)
        done.set()

    threading.Thread(target=work).start()
    while not done.is_set():
        peak = max(peak, len(os.listdir("/proc/self/task")))
    assert peak <= threading.active_count() + 4 * os.cpu_count() + 2


# One long call of each module, sized in the child so that it would run for
# several seconds: only an interrupt can end it early.
LONG_CALLS = {
    "vad": """
        def sized(rows):
            a = np.random.default_rng(0).uniform(0, 6, (rows, 10_000))
            return lambda nt: _velmora.vad(a, a, np.ones(rows), 3, 0.1, n_threads=nt)
    """,
    "perturb": """
        def sized(rows):
            n = 25_600
            f, fac, bias = np.ones(n), np.full((6, n), 0.5), np.zeros(rows)
            return lambda nt: _ensemble.perturb(f, f, f, f, f, 16, fac, bias, bias, 1, 2, 0,
                                                n_threads=nt)
    """,
}


@pytest.mark.parametrize("n_threads", [1, 2])
@pytest.mark.parametrize("name", LONG_CALLS)
def test_ctrl_c_interrupts_a_long_call_promptly(name, n_threads):
    code = textwrap.dedent("""
        import os, time
        import numpy as np
        import _ensemble, _velmora
    """) + textwrap.dedent(LONG_CALLS[name]) + textwrap.dedent(f"""
        start = time.monotonic()
        sized(20)(1)
        call = sized(min(1500, max(20, int(20 * 8.0 / (time.monotonic() - start)))))
        threads = len(os.listdir("/proc/self/task"))
        rss = int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        print("calling", flush=True)
        try:
            call({n_threads})
            print("finished")
        except KeyboardInterrupt:
            print("interrupted")
        print(len(os.listdir("/proc/self/task")) - threads)
        print(int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE") - rss)
    """)
    out, err, delay = interrupted(child(code), after=0.5)
    outcome, extra_threads, extra_bytes = out.split()
    assert outcome == "interrupted", err
    assert delay < 1.5
    assert int(extra_threads) == 0
    assert SANITIZED or int(extra_bytes) < 16 << 20  # the abandoned output is freed


def test_uninterrupted_calls_on_the_main_thread_are_unchanged():
    # The same call, long enough to pass several signal checks, with and
    # without other threads.
    a = np.random.default_rng(5).uniform(0, 6, (256, 4_000))
    one = _velmora.vad(a, a, np.ones(256), 3, 0.1, n_threads=1)
    assert np.array_equal(_velmora.vad(a, a, np.ones(256), 3, 0.1, n_threads=2), one,
                          equal_nan=True)


def test_an_output_without_elements_takes_no_work():
    # In a child: before, this walked 2^58 empty grid rows (about 45 years).
    proc = child("""
        import numpy as np, _velmora
        print(_velmora.gradient(np.empty((2**58, 1, 0)), [], [0.0]).shape)
    """)
    try:
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert out.strip() == str((2, 2**58, 1, 0)), err


@pytest.mark.parametrize("flags, members", [(0, 2000), (32, 2000), (31, 0)])
def test_perturb_without_fields_or_members_draws_nothing(flags, members):
    n = 20_000
    f = np.zeros(n)
    start = time.monotonic()
    out = _ensemble.perturb(f, f, f, f, f, flags, np.zeros((6, n)), np.zeros(members),
                            np.zeros(members), 1, 2, 0)
    assert time.monotonic() - start < 1.0  # drawing everything took about 7 s
    assert out.shape == (members, bin(flags & 31).count("1"), n)


@pytest.mark.skipif(SANITIZED, reason="freed memory is kept in quarantine")
def test_vad_keeps_no_scratch_after_a_call():
    a = np.zeros((1, 2_000_000))  # one row: the scratch is 2.5 times the row
    before = resident_bytes()
    _velmora.vad(a, a, [1.0], 3, 0.1, n_threads=1)
    assert resident_bytes() - before < 8 << 20


@pytest.mark.parametrize("call", [
    "_velmora.vad(a, a, [1.0], 3, 0.1, n_threads=2)",  # scratch of 160 MB
    "_velmora.thermo(a[0], a[0], a[0], n_threads=2)",  # output of 128 MB
    "_ensemble.statistics(np.zeros((2, 8)), np.zeros(4_000_000), 1, n_threads=2)",  # 256 MB
    "_velmora.thermo(a32, a32, a32)",  # the float64 copy of an argument: 96 MB
    "_ensemble.mode(a16, 3, 1)",  # the float32 copy of an argument: 256 MB
])
def test_memory_exhaustion_is_a_memory_error(call):
    # With the address space capped just above what the inputs need.  Also
    # run under the sanitizer, where an allocation that fails in operator new
    # aborts the process instead of throwing.
    code = f"""
        import os, resource
        import numpy as np
        import _ensemble, _velmora
        a = np.zeros((1, 4_000_000))
        a32 = np.zeros(12_000_000, np.float32)
        a16 = np.zeros((16, 4_000_000))
        used = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()
        threads = len(os.listdir("/proc/self/task"))
        resource.setrlimit(resource.RLIMIT_AS, (used + (64 << 20), resource.RLIM_INFINITY))
        try:
            {call}
            print("returned")
        except MemoryError:
            print("MemoryError")
        print(len(os.listdir("/proc/self/task")) - threads)
        print(_velmora.vad(np.zeros((2, 8)), np.zeros((2, 8)), [1.0, 1.0], 3, 0.1).shape)
    """
    proc = child(code)
    try:
        out, err = proc.communicate(timeout=120)
    finally:
        proc.kill()
    assert proc.returncode == 0, err
    assert out.split() == ["MemoryError", "0", "(8,", "2)"]


def test_ctrl_c_interrupts_the_front_door_converting_a_long_list():
    # NumPy converts a list in one call that no signal interrupts: 3 x 3e7
    # numbers took about 3 s before Ctrl-C was seen.
    proc = child("""
        import velmora
        t = [300.0] * 30_000_000
        print("calling", flush=True)
        try:
            velmora.thermo(t, t, t)
            print("finished")
        except KeyboardInterrupt:
            print("interrupted")
    """)
    out, err, delay = interrupted(proc, after=0.3)
    assert out.strip() == "interrupted", err
    assert delay < (1.5 if SANITIZED else 0.5)  # with the child's exit
