"""Benchmarks of the _velmora kernels against NumPy peers and C++ cost floors."""

from __future__ import annotations

import ctypes

import numpy as np

import _velmora
from common import Result, best_time, load_floor, ptr

I64 = ctypes.c_int64


def vad_numpy(vr, az, cos_el, min_gates, min_spread):
    """The same two least-squares fits, vectorised over rows with NumPy."""
    valid = np.isfinite(vr) & np.isfinite(az)
    w = valid.astype(np.float64)
    v = np.where(valid, vr, 0.0)
    a = np.where(valid, az, 0.0)
    n = w.sum(axis=1)
    s, c = np.sin(a) * w, np.cos(a) * w
    s2, c2 = np.sin(a + a) * w, np.cos(a + a) * w
    with np.errstate(all="ignore"):
        mv, ms, mc = v.sum(1) / n, s.sum(1) / n, c.sum(1) / n
        ds, dc, dv = (s - ms[:, None]) * w, (c - mc[:, None]) * w, (v - mv[:, None]) * w
        sss, scc, ssc = (ds * ds).sum(1), (dc * dc).sum(1), (ds * dc).sum(1)
        ssv, scv = (ds * dv).sum(1), (dc * dv).sum(1)
        det = sss * scc - ssc * ssc
        ok1 = (n >= np.maximum(min_gates, 3)) & (det / (n * n) >= min_spread)
        a1 = (scc * ssv - ssc * scv) / det
        b1 = (sss * scv - ssc * ssv) / det
        a0 = mv - ms * a1 - mc * b1
        r = (v - a0[:, None] - a1[:, None] * s - b1[:, None] * c) * w
        rms = np.sqrt((r * r).sum(1) / n)
        ms2, mc2 = s2.sum(1) / n, c2.sum(1) / n
        d = np.stack([ds, dc, (s2 - ms2[:, None]) * w, (c2 - mc2[:, None]) * w], axis=2)
        m = np.einsum("rgi,rgj->rij", d, d)
        h = np.einsum("rgi,rg->ri", d, dv)
        D = np.linalg.det(m)
        ok2 = ok1 & (D / n**4 >= 0.25 * min_spread)
        x = np.linalg.solve(np.where(ok2[:, None, None], m, np.eye(4)), h[:, :, None])[:, :, 0]
    out = np.full((8, len(vr)), np.nan)
    out[0], out[1], out[2], out[3] = (np.where(ok1, q, np.nan) for q in (a1 / cos_el, b1 / cos_el, a0, rms))
    out[4] = n
    c0 = mv - ms * x[:, 0] - mc * x[:, 1] - ms2 * x[:, 2] - mc2 * x[:, 3]
    out[5], out[6], out[7] = (np.where(ok2, q, np.nan) for q in (c0, x[:, 2], x[:, 3]))
    return out


def bench_vad(floor) -> Result:
    rows, gates = 10_000, 360
    rng = np.random.default_rng(1)
    az = np.tile(np.linspace(0, 2 * np.pi, gates, endpoint=False), (rows, 1))
    cos_el = np.cos(rng.uniform(0.0, 0.3, rows))
    vr = (8 * np.sin(az) + 3 * np.cos(az)) * cos_el[:, None] + rng.normal(0, 1, az.shape)
    vr[rng.random(vr.shape) < 0.02] = np.nan

    t1 = best_time(lambda: _velmora.vad(vr, az, cos_el, 3, 0.1, n_threads=1))
    t2 = best_time(lambda: _velmora.vad(vr, az, cos_el, 3, 0.1, n_threads=2))
    peer = best_time(lambda: vad_numpy(vr, az, cos_el, 3, 0.1), repeat=2)
    flat = np.ascontiguousarray(az).ravel()
    fl = best_time(lambda: floor.floor_vad(ptr(flat), I64(flat.size)))
    res = Result("vad", f"{rows} x {gates}", rows * gates, t1, t2,
                 peers={"numpy fits": peer}, floors={"libm sincos x2": fl})
    res.targets = [
        ("1 thread within 1.3x of the libm floor", t1 <= 1.3 * fl),
        ("1 thread at least 3x faster than NumPy", peer >= 3 * t1),
        ("2 threads at least 1.8x 1 thread", res.scaling >= 1.8),
    ]
    return res


def run() -> list[Result]:
    floor = load_floor("floor_velmora")
    floor.floor_vad.restype = ctypes.c_double
    return [bench_vad(floor)]


if __name__ == "__main__":
    from run import print_table

    print_table(run())
