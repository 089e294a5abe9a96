"""Scalar references of thermo, cold_pool, profile and gradient.

Python floats and the `math` module (the kernels' libm), with every formula
grouped as the kernels group it, so that results agree to the last bit.
Arithmetic that may divide by zero runs on NumPy float64 scalars, which follow
IEEE rules where Python floats would raise.
"""

import math

import numpy as np

NAN = float("nan")
BIG = 1.7976931348623157e308
TOL = 1e-6


def finite(x):
    return abs(x) <= BIG


def thermo_point(T, P, D):
    De = NAN if math.isnan(D) else (D if D < T else T)
    R = 100000.0 / P
    theta = T * math.pow(R, 0.28542059262205427)
    Dc = De - 273.15
    e = math.exp((17.67 * Dc) / (Dc + 243.5)) * 611.2
    r = (0.6219569156569429 * e) / (P - e)
    L = math.log(T / De)
    rg = 1000.0 * r
    F = math.pow(R, (1.0 - 0.00028 * rg) * 0.2854)
    TL = 1.0 / (L / 800.0 + 1.0 / (De - 56.0)) + 56.0
    X = math.exp((3.376 / TL - 0.00254) * rg * (0.00081 * rg + 1.0))
    return [r, theta, ((1.0 + r / 0.6219569156569429) * theta) / (r + 1.0), (T * F) * X]


def intensity(I):
    v = I + I
    return 0.0 if v < 0 else math.sqrt(v)


@np.errstate(all="ignore")
def cold_pool_column(z, b, bottom, threshold, top):
    z, b = [np.float64(q) for q in z], [np.float64(q) for q in b]
    levels = [(zk, bk) for zk, bk in zip(z, b) if finite(zk) and finite(bk)]
    base = next((n for n, (zk, _) in enumerate(levels)
                 if not finite(bottom) or zk >= bottom), None)
    if base is None:
        return [NAN] * 3
    z0, b0 = levels[base]
    zp, bp, S = z0, b0, 0.0
    rest = levels[base + 1:]
    if finite(top):
        target = top + z0
        for zk, bk in rest:
            if zk >= target:
                bt = ((bk - bp) * (target - zp)) / (zk - zp) + bp
                return [intensity(((-bp - bt) * 0.5) * (target - zp) + S), top, 0.0]
            S = S + ((-bp - bk) * 0.5) * (zk - zp)
            zp, bp = zk, bk
        return [NAN] * 3
    h = threshold
    if b0 >= h:
        return [0.0, 0.0, 0.0]
    for zk, bk in rest:
        if bk >= h:
            zc = ((h - bp) * (zk - zp)) / (bk - bp) + zp
            return [intensity(((-bp - h) * 0.5) * (zc - zp) + S), zc - z0, 0.0]
        S = S + ((-bp - bk) * 0.5) * (zk - zp)
        zp, bp = zk, bk
    return [intensity(S), zp - z0, 1.0]


@np.errstate(all="ignore")
def wind_at(levels, h):
    lo = None
    for zk, uk, vk in levels:
        if zk == h:
            return uk, vk
        if zk > h:
            if lo is not None:
                zl, ul, vl = lo
                f = (h - zl) / (zk - zl)
                return (uk - ul) * f + ul, (vk - vl) * f + vl
            return None if zk - h > TOL else (uk, vk)
        lo = (zk, uk, vk)
    if lo is None or not (h - lo[0] <= TOL):
        return None
    return lo[1], lo[2]


@np.errstate(all="ignore")
def profile_column(z, u, v, ground, bottom, top, cu, cv):
    out = [NAN] * 7
    levels = [(np.float64(a), np.float64(b), np.float64(c)) for a, b, c in zip(z, u, v)
              if finite(a) and finite(b) and finite(c)]
    if finite(ground):
        g = ground
    elif levels:
        g = levels[0][0]
    else:
        return out
    hb, ht = np.float64(bottom) + g, np.float64(top) + g
    bot, tip = wind_at(levels, hb), wind_at(levels, ht)
    if bot is None or tip is None:
        return out
    out[0:4] = [bot[0], bot[1], tip[0], tip[1]]
    up, vp, zp, Su, Sv, H = bot[0], bot[1], hb, 0.0, 0.0, 0.0
    for zk, uk, vk in levels:
        if zk <= hb:
            continue
        if zk >= ht:
            break
        H = ((vp - cv) * (uk - cu) - (up - cu) * (vk - cv)) + H
        d = zk - zp
        Su = ((up + uk) * 0.5) * d + Su
        Sv = ((vp + vk) * 0.5) * d + Sv
        up, vp, zp = uk, vk, zk
    if finite(cu) and finite(cv):
        out[4] = ((tip[0] - cu) * (vp - cv) - (tip[1] - cv) * (up - cu)) + H
    if ht > hb:
        out[5] = (((up + tip[0]) * 0.5) * (ht - zp) + Su) / (ht - hb)
        out[6] = (((vp + tip[1]) * 0.5) * (ht - zp) + Sv) / (ht - hb)
    else:
        out[5], out[6] = bot
    return out


@np.errstate(all="ignore")
def derivative_line(f, s):
    """The difference rule along one line of values f at coordinates s."""
    f, s = [np.float64(q) for q in f], [np.float64(q) for q in s]
    n = len(f)
    out = []
    for i in range(n):
        usable = lambda k: 0 <= k < n and finite(f[k])  # noqa: E731
        if not finite(f[i]):
            out.append(NAN)
        elif usable(i + 1):
            out.append((f[i + 1] - f[i - 1]) / (s[i + 1] - s[i - 1]) if usable(i - 1)
                       else (f[i + 1] - f[i]) / (s[i + 1] - s[i]))
        elif usable(i - 1):
            out.append((f[i] - f[i - 1]) / (s[i] - s[i - 1]))
        else:
            out.append(NAN)
    return out


def gradient(f, x, y):
    f = np.asarray(f, dtype=np.float64)
    out = np.empty((2,) + f.shape)
    for b in range(f.shape[0]):
        for j in range(f.shape[1]):
            out[0, b, j] = derivative_line(f[b, j], x)
        for i in range(f.shape[2]):
            out[1, b, :, i] = derivative_line(f[b, :, i], y)
    return out
