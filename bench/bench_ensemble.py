"""Benchmarks of _ensemble against NumPy peers and C++ cost floors."""

from __future__ import annotations

import ctypes
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from common import Result, best_time, load_floor  # noqa: E402

import _ensemble  # noqa: E402

K = 4.342944819032518
TWO_PI = 6.283185307179586
KEY = (0x243F6A8885A308D3, 0x13198A2E03707344)


# --------------------------------------------------------------------------
# perturb


def numpy_normal_pairs(w_r, w_t):
    radius = np.sqrt(np.log(((w_r >> np.uint64(11)) + np.uint64(1)) * 2.0**-53) * -2.0)
    angle = (w_t >> np.uint64(11)) * 2.0**-53 * TWO_PI
    return radius * np.cos(angle), radius * np.sin(angle)


def numpy_perturb(f, fac, bias_dbz, bias_zdr, m0):
    """The same error model vectorised, on the same words (flags = 31)."""
    n, members = fac.shape[1], len(bias_dbz)
    out = np.empty((members, 5, n))
    for i in range(members):
        main, vel = (np.random.Philox(key=np.array(KEY, np.uint64),
                                      counter=np.array([0, m0 + i, b, 0], np.uint64))
                     .random_raw(4 * n).reshape(n, 4) for b in (0, 1))
        d0, d1 = numpy_normal_pairs(main[:, 0], main[:, 1])
        d2, d3 = numpy_normal_pairs(main[:, 2], main[:, 3])
        e0 = numpy_normal_pairs(vel[:, 0], vel[:, 1])[0]
        eh = d0 * fac[0]
        ev = d1 * fac[2] + fac[1] * d0
        out[i, 0] = (f[0] + bias_dbz[i]) + K * eh
        out[i, 1] = (f[1] + bias_zdr[i]) + K * (eh - ev)
        out[i, 2] = d2 * fac[3] + f[2]
        out[i, 3] = np.clip(d3 * fac[4] + f[3], 0.0, 1.0)
        out[i, 4] = e0 * fac[5] + f[4]
    return out


def bench_perturb(members=20, n=1_000_000, repeat=3) -> Result:
    rng = np.random.default_rng(1)
    f = np.stack([rng.uniform(-10, 60, n), rng.uniform(-1, 4, n), rng.uniform(0, 180, n),
                  rng.uniform(0.7, 1, n), rng.uniform(-30, 30, n)])
    fac = np.abs(rng.normal(0.3, 0.2, (6, n)))
    bias_dbz, bias_zdr = rng.normal(0, 1, members), rng.normal(0, 0.2, members)

    def kernel(n_threads):
        return lambda: _ensemble.perturb(*f, 31, fac, bias_dbz, bias_zdr, *KEY, 0, n_threads)

    floor = load_floor("floor_ensemble").perturb_floor
    floor.restype = ctypes.c_double
    floor.argtypes = [ctypes.c_int64, ctypes.c_int64, ctypes.c_uint64, ctypes.c_uint64]
    t1, t2 = best_time(kernel(1), repeat), best_time(kernel(2), repeat)
    peer = best_time(lambda: numpy_perturb(f, fac, bias_dbz, bias_zdr, 0), 1)
    t_floor = best_time(lambda: floor(members, n, *KEY), repeat)
    return Result("perturb", f"M={members}, n={n:,}, flags=31", members * n, t1, t2,
                  peers={"numpy": peer}, floors={"generator+box-muller": t_floor},
                  targets=[("1 thread <= 1.25 x floor", t1 <= 1.25 * t_floor),
                           ("1 thread <= numpy", t1 <= peer),
                           ("2 threads >= 1.8 x 1 thread", t1 >= 1.8 * t2)])


def bench_words(n=10_000_000, repeat=5) -> Result:
    def kernel():
        return _ensemble.words(*KEY, 3, 0, n)

    def peer():
        gen = np.random.Philox(key=np.array(KEY, np.uint64),
                               counter=np.array([0, 3, 0, 0], np.uint64))
        return gen.random_raw(4 * n).reshape(n, 4)

    t = best_time(kernel, repeat)
    t_peer = best_time(peer, repeat)
    return Result("words", f"n={n:,} rows", 4 * n, t, t, peers={"numpy random_raw": t_peer},
                  targets=[(">= 2 x numpy per word", 2 * t <= t_peer)])


def run() -> list[Result]:
    return [bench_perturb(), bench_words()]


def show(results: list[Result]) -> None:
    for r in results:
        print(f"{r.kernel:10s} {r.size:32s} 1 thread {r.ns(r.t1):8.2f} ns  "
              f"2 threads {r.ns(r.t2):8.2f} ns  scaling {r.scaling:4.2f}")
        for name, t in {**r.peers, **r.floors}.items():
            print(f"{'':12s}{name:28s} {r.ns(t):8.2f} ns   kernel(1) is {t / r.t1:5.2f} x faster")
        for name, ok in r.targets:
            print(f"{'':12s}target {name}: {'met' if ok else 'NOT met'}")


if __name__ == "__main__":
    show(run())
