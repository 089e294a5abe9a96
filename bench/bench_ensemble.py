"""Benchmarks of _ensemble against NumPy peers and C++ cost floors."""

from __future__ import annotations

import ctypes
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from common import Result, best_time, best_times, load_before, load_floor, ptr, vector_path  # noqa: E402

import _ensemble  # noqa: E402

K = 4.342944819032518
TWO_PI = 6.283185307179586
KEY = (0x243F6A8885A308D3, 0x13198A2E03707344)
PATH = vector_path()
BEFORE = load_before()  # today's kernels as of the commit before the vector paths
BEFORE_NAME = "kernel before vector paths"


def against_before(kernel, before, repeat):
    """1- and 2-thread times of the kernel and, interleaved with them, the
    1-thread time of the kernel before (None without it)."""
    fns = [kernel(1), kernel(2)] + ([before] if BEFORE is not None else [])
    times = best_times(fns, repeat)
    return times[0], times[1], (times[2] if BEFORE is not None else None)


def speedup_target(text, t_before, t1, factor):
    return [(text, t_before >= factor * t1)] if t_before is not None else []


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
    t1, t2, t_before = against_before(kernel, BEFORE and (lambda: BEFORE.perturb(
        *f, 31, fac, bias_dbz, bias_zdr, *KEY, 0, 1)), repeat)
    peer = best_time(lambda: numpy_perturb(f, fac, bias_dbz, bias_zdr, 0), 1)
    t_floor = best_time(lambda: floor(members, n, *KEY), repeat)
    peers = {"numpy": peer} | ({BEFORE_NAME: t_before} if t_before else {})
    return Result("perturb", f"M={members}, n={n:,}, flags=31", members * n, t1, t2,
                  peers=peers, floors={"generator+box-muller": t_floor},
                  targets=[("1 thread <= 1.25 x floor", t1 <= 1.25 * t_floor),
                           ("1 thread <= numpy", t1 <= peer),
                           *speedup_target(">= 1.3 x the kernel before", t_before, t1, 1.3),
                           ("2 threads >= 1.8 x 1 thread", t1 >= 1.8 * t2)])


def bench_words(n=10_000_000, repeat=5) -> Result:
    def kernel():
        return _ensemble.words(*KEY, 3, 0, n)

    def peer():
        gen = np.random.Philox(key=np.array(KEY, np.uint64),
                               counter=np.array([0, 3, 0, 0], np.uint64))
        return gen.random_raw(4 * n).reshape(n, 4)

    floor = load_floor("floor_ensemble").words_floor
    floor.argtypes = [ctypes.c_int64, ctypes.c_uint64, ctypes.c_uint64,
                      ctypes.POINTER(ctypes.c_uint64)]
    buffer = np.zeros((n, 4), np.uint64)
    t = best_time(kernel, repeat)
    t_peer = best_time(peer, repeat)
    t_floor = best_time(lambda: floor(n, *KEY, ptr(buffer, ctypes.c_uint64)), repeat)
    return Result("words", f"n={n:,} rows", 4 * n, t, t, peers={"numpy random_raw": t_peer},
                  floors={"generator into a paged-in buffer": t_floor},
                  targets=[(">= 2 x numpy per word", 2 * t <= t_peer)])


# --------------------------------------------------------------------------
# statistics and mode


def ensemble(members=50, n=1_000_000, missing=0.05, codes=None, seed=2):
    rng = np.random.default_rng(seed)
    if codes is None:
        x = rng.normal(10.0, 3.0, (members, n)).astype(np.float32)
    else:
        x = rng.integers(0, codes, (members, n)).astype(np.float32)
    x[rng.random((members, n)) < missing] = np.nan
    return x


def numpy_sorted_statistics(x, levels):
    """Mask, sort along the member axis, gather the order statistics."""
    valid = np.isfinite(x)
    v = valid.sum(axis=0)
    mean = np.where(valid, x, 0.0).sum(axis=0, dtype=np.float64) / v
    dev = np.where(valid, x - mean, 0.0)
    std = np.sqrt((dev * dev).sum(axis=0) / (v - 1))
    s = np.sort(np.where(valid, x, np.inf), axis=0)
    h = (np.asarray(levels)[:, None] / 100.0) * (v - 1)
    lo = np.floor(h).astype(np.int64)
    hi = np.minimum(lo + 1, v - 1)
    s_lo = np.take_along_axis(s, lo, axis=0).astype(np.float64)
    s_hi = np.take_along_axis(s, hi, axis=0).astype(np.float64)
    return mean, std, (s_hi - s_lo) * (h - lo) + s_lo


def bench_statistics(repeat=3) -> Result:
    x = ensemble()
    clean = np.where(np.isfinite(x), x, np.float32(10.0))
    levels = np.array([10.0, 50.0, 90.0])

    def kernel(n_threads):
        return lambda: _ensemble.statistics(x, levels, 1, n_threads)

    def nan_aware():
        return (np.nanmean(x, axis=0), np.nanstd(x, axis=0, ddof=1),
                np.nanpercentile(x, levels, axis=0))

    def plain():
        return (np.mean(clean, axis=0), np.std(clean, axis=0, ddof=1),
                np.percentile(clean, levels, axis=0))

    t1, t2, t_before = against_before(kernel, BEFORE and (lambda: BEFORE.statistics(x, levels, 1, 1)),
                                      repeat)
    peers = {"numpy mask+sort+gather": best_time(lambda: numpy_sorted_statistics(x, levels), repeat),
             "numpy nanmean+nanstd+nanpercentile": best_time(nan_aware, 1),
             "numpy mean+std+percentile (no NaN)": best_time(plain, repeat)}
    if t_before:
        peers[BEFORE_NAME] = t_before
    factor = {"avx512": 5.0, "avx2": 2.5}.get(PATH, 1.0)
    return Result("statistics", f"float32 (50, 1,000,000), 5% NaN, {PATH}", x.shape[1], t1, t2,
                  peers=peers,
                  targets=[(">= 20 x nan-aware numpy",
                            20 * t1 <= peers["numpy nanmean+nanstd+nanpercentile"]),
                           (">= 12 x sort-based numpy", 12 * t1 <= peers["numpy mask+sort+gather"]),
                           *speedup_target(f">= {factor:g} x the kernel before ({PATH} path)",
                                           t_before, t1, factor),
                           ("2 threads >= 1.8 x 1 thread", t1 >= 1.8 * t2)])


def numpy_mode(x, n_codes):
    """Counts by comparison per code, then the first maximum."""
    codes = np.where((x > -1) & (x < n_codes), x, -1).astype(np.int8)
    counts = np.stack([np.count_nonzero(codes == c, axis=0) for c in range(n_codes)])
    best = counts.argmax(axis=0)
    total = counts.sum(axis=0)
    return best.astype(np.float64), counts.max(axis=0) / total


def bench_mode(n_codes=10, repeat=3) -> Result:
    x = ensemble(codes=n_codes)

    def kernel(n_threads):
        return lambda: _ensemble.mode(x, n_codes, 1, n_threads)

    t1, t2, t_before = against_before(kernel, BEFORE and (lambda: BEFORE.mode(x, n_codes, 1, 1)),
                                      repeat)
    # Counts that no longer come from an n_codes-sized table: within 3 x of 10 codes.
    t_huge = best_time(lambda: _ensemble.mode(x, 2**31, 1, 1), repeat)
    peer = best_time(lambda: numpy_mode(x, n_codes), repeat)
    peers = {"numpy compare per code + argmax": peer, "kernel with n_codes = 2^31": t_huge}
    if t_before:
        peers[BEFORE_NAME] = t_before
    return Result("mode", f"float32 (50, 1,000,000), codes 0-9, 5% NaN, {PATH}", x.shape[1],
                  t1, t2, peers=peers,
                  targets=[(">= 10 x numpy", 10 * t1 <= peer),
                           *speedup_target(">= 4 x the kernel before", t_before, t1, 4.0),
                           ("n_codes = 2^31 within 3 x of 10 codes", t_huge <= 3 * t1),
                           ("2 threads >= 1.8 x 1 thread", t1 >= 1.8 * t2)])


def run() -> list[Result]:
    return [bench_perturb(), bench_words(), bench_statistics(), bench_mode()]


def show(results: list[Result]) -> None:
    for r in results:
        print(f"{r.kernel:10s} {r.size:32s} 1 thread {r.ns(r.t1):8.2f} ns  "
              f"2 threads {r.ns(r.t2):8.2f} ns  scaling {r.scaling:4.2f}")
        for name, t in {**r.peers, **r.floors}.items():
            ratio = t / r.t1
            told = f"{ratio:.2f} x faster" if ratio >= 1 else f"{1 / ratio:.2f} x slower"
            print(f"{'':12s}{name:28s} {r.ns(t):8.2f} ns   kernel(1) is {told}")
        for name, ok in r.targets:
            print(f"{'':12s}target {name}: {'met' if ok else 'NOT met'}")


if __name__ == "__main__":
    chosen = sys.argv[1:]
    if chosen:
        show([globals()[f"bench_{name}"]() for name in chosen])
    else:
        show(run())
