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


def thermo_numpy(t, p, td):
    de = np.where(np.isnan(td), np.nan, np.minimum(td, t))
    R = 100000.0 / p
    theta = t * R**0.28542059262205427
    dc = de - 273.15
    e = np.exp((17.67 * dc) / (dc + 243.5)) * 611.2
    r = (0.6219569156569429 * e) / (p - e)
    rg = 1000.0 * r
    tl = 1.0 / (np.log(t / de) / 800.0 + 1.0 / (de - 56.0)) + 56.0
    x = np.exp((3.376 / tl - 0.00254) * rg * (0.00081 * rg + 1.0))
    theta_v = ((1.0 + r / 0.6219569156569429) * theta) / (r + 1.0)
    return np.stack([r, theta, theta_v, t * R ** ((1.0 - 0.00028 * rg) * 0.2854) * x])


def bench_thermo(floor) -> Result:
    n = 2_000_000
    rng = np.random.default_rng(2)
    t = rng.uniform(220, 310, n)
    p = rng.uniform(20000, 101000, n)
    td = t - rng.uniform(0, 30, n)
    t1 = best_time(lambda: _velmora.thermo(t, p, td, n_threads=1))
    t2 = best_time(lambda: _velmora.thermo(t, p, td, n_threads=2))
    peer = best_time(lambda: thermo_numpy(t, p, td), repeat=3)
    fl = best_time(lambda: floor.floor_thermo(ptr(t), ptr(p), ptr(td), I64(n)))
    res = Result("thermo", f"{n:,} points", n, t1, t2, peers={"numpy": peer},
                 floors={"libm 2 pow+2 exp+log": fl})
    res.targets = [
        ("1 thread within 1.6x of the libm floor", t1 <= 1.6 * fl),
        ("1 thread at least 1.5x faster than NumPy", peer >= 1.5 * t1),
        ("2 threads at least 1.8x 1 thread", res.scaling >= 1.8),
    ]
    return res


def bench_gradient(floor) -> Result:
    shape = (10, 1000, 1000)
    rng = np.random.default_rng(3)
    x = np.cumsum(rng.uniform(0.5, 1.5, shape[2]))
    y = np.cumsum(rng.uniform(0.5, 1.5, shape[1]))
    f = rng.normal(size=shape)
    f[rng.random(shape) < 0.01] = np.nan
    points = f.size
    t1 = best_time(lambda: _velmora.gradient(f, x, y, n_threads=1))
    t2 = best_time(lambda: _velmora.gradient(f, x, y, n_threads=2))
    peer = best_time(lambda: np.gradient(f, y, x, axis=(1, 2)), repeat=3)
    src, dst = f.ravel(), np.empty(points)
    copy = best_time(lambda: floor.floor_copy(ptr(src), ptr(dst), I64(points)))
    memory = copy * 24 / 16  # 8 bytes read and 16 written per point at copy bandwidth
    res = Result("gradient", "10 x 1000 x 1000", points, t1, t2,
                 peers={"numpy.gradient": peer}, floors={"memory 24 B/pt": memory})
    res.targets = [
        ("1 thread at least 3x faster than numpy.gradient", peer >= 3 * t1),
        ("1 thread within 2.5x of the memory floor", t1 <= 2.5 * memory),
    ]
    return res


def missing_columns(rng, K, J, fraction):
    z = np.cumsum(rng.uniform(50, 150, (K, J)), axis=1)
    z[rng.random((K, J)) < fraction] = np.nan
    return z


def profile_numpy(z, u, v, ground, bottom, top, cu, cv):
    """Level-by-level sweep, vectorised over columns: the best NumPy form we found."""
    K, J = u.shape
    valid = np.isfinite(z) & np.isfinite(u) & np.isfinite(v)
    first = np.where(valid.any(1), np.take_along_axis(z, valid.argmax(1)[:, None], 1)[:, 0], np.nan)
    g = np.where(np.isfinite(ground), ground, first)
    out = np.full((7, K), np.nan)
    winds = []
    for h in (bottom + g, top + g):
        lo_z = np.full(K, np.nan); lo_u = lo_z.copy(); lo_v = lo_z.copy()
        wu = np.full(K, np.nan); wv = wu.copy()
        done = np.zeros(K, bool)
        for k in range(J):
            ok = valid[:, k] & ~done
            zk, uk, vk = z[:, k], u[:, k], v[:, k]
            hit = ok & (zk >= h)
            with np.errstate(all="ignore"):
                f = np.where(np.isnan(lo_z), 0.0, (h - lo_z) / (zk - lo_z))
                f = np.where(zk == h, 1.0, f)
            wu = np.where(hit, (uk - np.nan_to_num(lo_u)) * f + np.nan_to_num(lo_u), wu)
            wv = np.where(hit, (vk - np.nan_to_num(lo_v)) * f + np.nan_to_num(lo_v), wv)
            done |= hit
            below = ok & ~hit
            lo_z = np.where(below, zk, lo_z); lo_u = np.where(below, uk, lo_u); lo_v = np.where(below, vk, lo_v)
        near = ~done & (h - lo_z <= 1e-6)
        winds.append((np.where(near, lo_u, wu), np.where(near, lo_v, wv)))
    (ub, vb), (ut, vt) = winds
    hb, ht = bottom + g, top + g
    up, vp, zp = ub.copy(), vb.copy(), hb.copy()
    su = np.zeros(K); sv = np.zeros(K); H = np.zeros(K)
    for k in range(J):
        inside = valid[:, k] & (z[:, k] > hb) & (z[:, k] < ht)
        zk, uk, vk = z[:, k], u[:, k], v[:, k]
        with np.errstate(all="ignore"):
            H = np.where(inside, (vp - cv) * (uk - cu) - (up - cu) * (vk - cv) + H, H)
            su = np.where(inside, (up + uk) * 0.5 * (zk - zp) + su, su)
            sv = np.where(inside, (vp + vk) * 0.5 * (zk - zp) + sv, sv)
        up = np.where(inside, uk, up); vp = np.where(inside, vk, vp); zp = np.where(inside, zk, zp)
    out[0], out[1], out[2], out[3] = ub, vb, ut, vt
    out[4] = (ut - cu) * (vp - cv) - (vt - cv) * (up - cu) + H
    with np.errstate(all="ignore"):
        out[5] = ((up + ut) * 0.5 * (ht - zp) + su) / (ht - hb)
        out[6] = ((vp + vt) * 0.5 * (ht - zp) + sv) / (ht - hb)
    return out


def cold_pool_numpy(z, b, bottom, threshold, top):
    """Level-by-level sweep over columns in threshold and fixed-depth mode."""
    K, J = z.shape
    valid = np.isfinite(z) & np.isfinite(b) & (~np.isfinite(bottom[:, None]) | (z >= bottom[:, None]))
    has = valid.any(1)
    k0 = valid.argmax(1)
    z0 = np.take_along_axis(z, k0[:, None], 1)[:, 0]
    b0 = np.take_along_axis(b, k0[:, None], 1)[:, 0]
    fixed = np.isfinite(top)
    target = top + z0
    zp, bp, S = z0.copy(), b0.copy(), np.zeros(K)
    done = ~has | (~fixed & (b0 >= threshold))
    res_i = np.where(done & has, 0.0, np.nan); res_d = res_i.copy(); res_f = res_i.copy()
    for k in range(J):
        ok = valid[:, k] & (k > k0) & ~done
        zk, bk = z[:, k], b[:, k]
        with np.errstate(all="ignore"):
            end_fixed = ok & fixed & (zk >= target)
            end_thr = ok & ~fixed & (bk >= threshold)
            bt = (bk - bp) * (target - zp) / (zk - zp) + bp
            zc = (threshold - bp) * (zk - zp) / (bk - bp) + zp
            I = np.where(end_fixed, (-bp - bt) * 0.5 * (target - zp) + S,
                         (-bp - threshold) * 0.5 * (zc - zp) + S)
            end = end_fixed | end_thr
            res_i = np.where(end, np.sqrt(np.maximum(I + I, 0)), res_i)
            res_d = np.where(end_fixed, top, np.where(end_thr, zc - z0, res_d))
            res_f = np.where(end, 0.0, res_f)
            go = ok & ~end
            S = np.where(go, S + (-bp - bk) * 0.5 * (zk - zp), S)
        zp = np.where(go, zk, zp); bp = np.where(go, bk, bp)
        done |= end
    open_ = has & ~done & ~fixed
    res_i = np.where(open_, np.sqrt(np.maximum(S + S, 0)), res_i)
    res_d = np.where(open_, zp - z0, res_d)
    res_f = np.where(open_, 1.0, res_f)
    return np.stack([res_i, res_d, res_f])


def numba_kernels():
    """The kernels' column loops compiled with numba, as a second peer."""
    import numba

    @numba.njit(cache=False)
    def wind_at(z, u, v, h):
        lo = -1
        for k in range(z.size):
            if not (np.isfinite(z[k]) and np.isfinite(u[k]) and np.isfinite(v[k])):
                continue
            if z[k] == h:
                return u[k], v[k], True
            if z[k] > h:
                if lo >= 0:
                    f = (h - z[lo]) / (z[k] - z[lo])
                    return (u[k] - u[lo]) * f + u[lo], (v[k] - v[lo]) * f + v[lo], True
                if z[k] - h > 1e-6:
                    return 0.0, 0.0, False
                return u[k], v[k], True
            lo = k
        if lo < 0 or not (h - z[lo] <= 1e-6):
            return 0.0, 0.0, False
        return u[lo], v[lo], True

    @numba.njit(cache=False)
    def profile(z, u, v, ground, bottom, top, cu, cv):
        K, J = u.shape
        out = np.full((7, K), np.nan)
        for i in range(K):
            zi, ui, vi = z[i], u[i], v[i]
            g = ground[i]
            if not np.isfinite(g):
                g = np.nan
                for k in range(J):
                    if np.isfinite(zi[k]) and np.isfinite(ui[k]) and np.isfinite(vi[k]):
                        g = zi[k]
                        break
                if np.isnan(g):
                    continue
            hb, ht = bottom + g, top + g
            ub, vb, ok1 = wind_at(zi, ui, vi, hb)
            ut, vt, ok2 = wind_at(zi, ui, vi, ht)
            if not (ok1 and ok2):
                continue
            out[0, i], out[1, i], out[2, i], out[3, i] = ub, vb, ut, vt
            up, vp, zp, su, sv, H = ub, vb, hb, 0.0, 0.0, 0.0
            for k in range(J):
                if not (np.isfinite(zi[k]) and np.isfinite(ui[k]) and np.isfinite(vi[k])):
                    continue
                if zi[k] <= hb:
                    continue
                if zi[k] >= ht:
                    break
                H = ((vp - cv[i]) * (ui[k] - cu[i]) - (up - cu[i]) * (vi[k] - cv[i])) + H
                d = zi[k] - zp
                su = ((up + ui[k]) * 0.5) * d + su
                sv = ((vp + vi[k]) * 0.5) * d + sv
                up, vp, zp = ui[k], vi[k], zi[k]
            if np.isfinite(cu[i]) and np.isfinite(cv[i]):
                out[4, i] = ((ut - cu[i]) * (vp - cv[i]) - (vt - cv[i]) * (up - cu[i])) + H
            if ht > hb:
                out[5, i] = (((up + ut) * 0.5) * (ht - zp) + su) / (ht - hb)
                out[6, i] = (((vp + vt) * 0.5) * (ht - zp) + sv) / (ht - hb)
            else:
                out[5, i], out[6, i] = ub, vb
        return out

    @numba.njit(cache=False)
    def cold_pool(z, b, bottom, threshold, top):
        K, J = z.shape
        out = np.full((3, K), np.nan)
        for i in range(K):
            k = 0
            while k < J and not (np.isfinite(z[i, k]) and np.isfinite(b[i, k])
                                 and (not np.isfinite(bottom[i]) or z[i, k] >= bottom[i])):
                k += 1
            if k >= J:
                continue
            z0, b0 = z[i, k], b[i, k]
            zp, bp, S = z0, b0, 0.0
            t = top[i]
            if np.isfinite(t):
                target = t + z0
                for k in range(k + 1, J):
                    if not (np.isfinite(z[i, k]) and np.isfinite(b[i, k])):
                        continue
                    if z[i, k] >= target:
                        bt = ((b[i, k] - bp) * (target - zp)) / (z[i, k] - zp) + bp
                        I = ((-bp - bt) * 0.5) * (target - zp) + S
                        out[0, i] = 0.0 if I + I < 0 else np.sqrt(I + I)
                        out[1, i], out[2, i] = t, 0.0
                        break
                    S = S + ((-bp - b[i, k]) * 0.5) * (z[i, k] - zp)
                    zp, bp = z[i, k], b[i, k]
                continue
            if b0 >= threshold:
                out[0, i] = out[1, i] = out[2, i] = 0.0
                continue
            found = False
            for k in range(k + 1, J):
                if not (np.isfinite(z[i, k]) and np.isfinite(b[i, k])):
                    continue
                if b[i, k] >= threshold:
                    zc = ((threshold - bp) * (z[i, k] - zp)) / (b[i, k] - bp) + zp
                    I = ((-bp - threshold) * 0.5) * (zc - zp) + S
                    out[0, i] = 0.0 if I + I < 0 else np.sqrt(I + I)
                    out[1, i], out[2, i] = zc - z0, 0.0
                    found = True
                    break
                S = S + ((-bp - b[i, k]) * 0.5) * (z[i, k] - zp)
                zp, bp = z[i, k], b[i, k]
            if not found:
                out[0, i] = 0.0 if S + S < 0 else np.sqrt(S + S)
                out[1, i], out[2, i] = zp - z0, 1.0
        return out

    return profile, cold_pool


def bench_column_kernel(name, kernel, numpy_peer, numba_peer, args, size, elements) -> Result:
    """A column kernel against its NumPy sweep and the same loop under numba."""
    t1 = best_time(lambda: kernel(*args, n_threads=1))
    t2 = best_time(lambda: kernel(*args, n_threads=2))
    peer = best_time(lambda: numpy_peer(*args), repeat=2)
    numba_peer(*args)  # compile outside the timing
    jit = best_time(lambda: numba_peer(*args))
    res = Result(name, size, elements, t1, t2, peers={"numpy sweep": peer, "numba": jit})
    res.targets = [("1 thread at least 20x faster than NumPy", peer >= 20 * t1),
                   ("1 thread at least as fast as numba", jit >= t1),
                   ("2 threads at least 1.8x 1 thread", res.scaling >= 1.8)]
    return res


def bench_columns(numba_profile, numba_cold_pool) -> list[Result]:
    rng = np.random.default_rng(4)
    K, J = 200_000, 60
    z = missing_columns(rng, K, J, 0.02)
    u = rng.normal(8, 6, (K, J))
    v = rng.normal(3, 6, (K, J))
    ground = np.where(rng.random(K) < 0.5, z[:, 0] - 10, np.nan)
    cu, cv = rng.normal(5, 3, (2, K))
    prof = bench_column_kernel("profile", _velmora.profile, profile_numpy, numba_profile,
                               (z, u, v, ground, 0.0, 3000.0, cu, cv), f"{K:,} x {J}", K * J)

    J = 80
    z = missing_columns(rng, K, J, 0.02) - 100
    b = -2.0 + 0.05 * np.arange(J) + rng.normal(0, 0.3, (K, J))
    b[rng.random((K, J)) < 0.02] = np.nan
    bottom = np.where(rng.random(K) < 0.5, 0.0, np.nan)
    top = np.where(rng.random(K) < 0.5, 2500.0, np.nan)
    cold = bench_column_kernel("cold_pool", _velmora.cold_pool, cold_pool_numpy, numba_cold_pool,
                               (z, b, bottom, -0.3, top), f"{K:,} x {J}", K * J)
    return [prof, cold]


def run() -> list[Result]:
    floor = load_floor("floor_velmora")
    floor.floor_vad.restype = ctypes.c_double
    floor.floor_thermo.restype = ctypes.c_double
    results = [bench_vad(floor), bench_thermo(floor), bench_gradient(floor)]
    return results + bench_columns(*numba_kernels())


if __name__ == "__main__":
    from run import print_table

    print_table(run())
