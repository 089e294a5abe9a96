"""Interpreter exit with calls in flight, many times over (`make soak`).

Each child starts daemon threads that call kernels in a loop and lets the main
thread end after a short, varied delay, so that the interpreter finalizes while
the threads are somewhere in a call: converting an argument, computing, taking
the lock back, or in a module's very first call.  Any non-zero exit status
fails the soak, which prints the variant and the child's stderr.

    python tests/exit_soak.py [--children N] [--parallel P]
"""

import argparse
import itertools
import os
import subprocess
import sys
import textwrap
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# Inputs that make the binding copy (float32, strided, Fortran-order,
# broadcast, a list) and one it passes through unchanged.
LAYOUTS = {
    "float32": "np.full(SHAPE, 300.0, np.float32)",
    "strided": "np.full((SHAPE[0], 2 * SHAPE[-1]), 300.0)[:, ::2].reshape(SHAPE) if len(SHAPE) == 2 "
               "else np.full(2 * SHAPE[0], 300.0)[::2]",
    "fortran": "np.asfortranarray(np.full(SHAPE, 300.0))",
    "broadcast": "np.broadcast_to(np.full(SHAPE[-1], 300.0), SHAPE)",
    "list": "np.full(SHAPE, 300.0).tolist()",
    "float64": "np.full(SHAPE, 300.0)",
}

# One call per kernel: SHAPE is the input's shape, `x` the input in the
# layout under test, `nt` the thread count.  Some raise on purpose after
# converting their arguments (a size mismatch), the way the first repro did.
RAW_CALLS = {
    "thermo": ((200_000,), "_velmora.thermo(x, x, x, nt)"),
    "thermo-mismatch": ((200_000,), "_velmora.thermo(x, x, one, nt)"),
    "vad": ((64, 2_000), "_velmora.vad(x, x, np.ones(64), 3, 0.1, nt)"),
    "profile": ((64, 2_000), "_velmora.profile(x, x, x, np.zeros(64), 0.0, 1e9, np.zeros(64), "
                             "np.zeros(64), nt)"),
    "cold_pool": ((64, 2_000), "_velmora.cold_pool(x, -x, np.zeros(64), -1.0, np.full(64, np.nan), nt)"),
    "gradient": ((256, 512), "_velmora.gradient(np.asarray(x)[None], np.arange(512.0), "
                             "np.arange(256.0), nt)"),
    "statistics": ((20, 20_000), "_ensemble.statistics(x, [50.0], 1, nt)"),
    "mode": ((20, 20_000), "_ensemble.mode(x, 10, 1, nt)"),
    "perturb": ((4_096,), "_ensemble.perturb(x, x, x, x, x, 31, np.full((6, 4_096), 0.5), "
                          "np.zeros(8), np.zeros(8), 1, 2, 0, nt)"),
    "vad_sweeps": ((360, 500), "_radar.vad_sweeps([(x, None, np.arange(360, dtype=np.float32), "
                               "np.ones(360), np.zeros((0, 2)), 0, 500)], 3, 0.1, nt)"),
    "unfold": ((180_000,), "_radar.unfold(x, np.arange(360, dtype=np.float32), [[360, 500]], "
                           "[8.0], nt)"),
}

FRONT_DOOR_CALLS = {
    "thermo": ((200_000,), "velmora.thermo(x, x, x, n_threads=nt)"),
    "vad": ((64, 2_000), "velmora.vad(x, x, np.ones(64), 3, 0.1, n_threads=nt)"),
    "statistics": ((20, 20_000), "velmora.statistics(x, [50.0], 1, n_threads=nt)"),
    "mode": ((20, 20_000), "velmora.mode(x, 10, 1, n_threads=nt)"),
}

LAZY_CALLS = {
    "dask-thermo": "velmora.thermo(*[da.from_array(np.full(200_000, 300.0), chunks=50_000)] * 3, "
                   "n_threads=nt).compute(scheduler='threads')",
    "xarray-thermo": "velmora.thermo(xr.DataArray(np.full(100_000, 300.0), dims='z', "
                     "attrs={'units': 'K'}), xr.DataArray(np.full(100_000, 9e4), dims='z', "
                     "attrs={'units': 'Pa'}), xr.DataArray(np.full(100_000, 290.0), dims='z', "
                     "attrs={'units': 'K'}), n_threads=nt)",
}

# How long the main thread lives: zero catches a module's first call (the
# threads start before any call has been made), the others calls in steady
# state.
DELAYS = (0.0, 0.005, 0.02, 0.1)


def child_code(imports, setup, call, delay):
    return textwrap.dedent(f"""
        import threading, time
        import numpy as np
        {imports}
        one = np.zeros(1)
        {setup}
        def loop(nt):
            while True:
                try:
                    {call}
                except (ValueError, TypeError):
                    pass
        for nt in (1, 2):
            threading.Thread(target=loop, args=(nt,), daemon=True).start()
        time.sleep({delay})
    """)


def variants():
    """Every variant as (name, child code), in a fixed order."""
    out = []
    for (name, (shape, call)), layout in itertools.product(RAW_CALLS.items(), LAYOUTS):
        setup = f"SHAPE = {shape}\nx = {LAYOUTS[layout]}"
        out.append((f"raw {name} {layout}", "import _ensemble, _velmora; from velmora import _radar",
                    setup, call))
    for (name, (shape, call)), layout in itertools.product(FRONT_DOOR_CALLS.items(),
                                                           ("float32", "strided", "list")):
        setup = f"SHAPE = {shape}\nx = {LAYOUTS[layout]}"
        out.append((f"velmora {name} {layout}", "import velmora", setup, call))
    for name, call in LAZY_CALLS.items():
        out.append((name, "import dask.array as da, xarray as xr, velmora", "", call))
    return out


def run(children, parallel):
    base = variants()
    plan = [(name, child_code(imports, textwrap.indent(setup, " " * 8).lstrip(), call, delay))
            for (name, imports, setup, call), delay in itertools.product(base, DELAYS)]
    jobs = [plan[k % len(plan)] for k in range(children)]
    failures, running, started = [], [], time.monotonic()
    for name, code in jobs:
        while len(running) >= parallel:
            running = reap(running, failures)
        proc = subprocess.Popen([sys.executable, "-c", code], cwd=HERE, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, text=True)
        running.append((name, proc, time.monotonic()))
    while running:
        running = reap(running, failures)
    print(f"{children} exit children in {len(plan)} variants, {parallel} at a time: "
          f"{len(failures)} failed, {time.monotonic() - started:.0f} s")
    for name, status, err in failures:
        print(f"--- {name}: exit status {status}\n{err.strip()[-2000:]}")
    return not failures


def reap(running, failures, timeout=120.0):
    time.sleep(0.01)
    still = []
    for name, proc, start in running:
        status = proc.poll()
        if status is None and time.monotonic() - start > timeout:
            proc.kill()
            status = "timeout"
        if status is None:
            still.append((name, proc, start))
            continue
        err = proc.stderr.read()
        proc.stderr.close()
        if status != 0:
            failures.append((name, status, err))
    return still


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--children", type=int, default=2000)
    parser.add_argument("--parallel", type=int, default=20)
    args = parser.parse_args()
    sys.exit(0 if run(args.children, args.parallel) else 1)
