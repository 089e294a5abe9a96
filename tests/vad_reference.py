"""Scalar reference of the VAD fits, in the kernel's operation order.

Values are NumPy float64 scalars, whose arithmetic is IEEE double like the
kernel's (Python floats raise on division by zero); sin and cos come from the
`math` module, the same libm as the kernel.
"""

import math

import numpy as np

NAN = float("nan")
BIG = 1.7976931348623157e308


def finite(x):
    return abs(x) <= BIG


def solve4(m, h):
    """Gaussian elimination with partial pivoting; (x, det) or (None, 0.0)."""
    det = 1.0
    for k in range(3):
        p = k
        for r in range(k + 1, 4):
            if abs(m[r][k]) > abs(m[p][k]):
                p = r
        if m[p][k] == 0.0:
            return None, 0.0
        if p != k:
            m[p], m[k] = m[k], m[p]
            h[p], h[k] = h[k], h[p]
            det = -det
        det *= m[k][k]
        for r in range(k + 1, 4):
            f = m[r][k] / m[k][k]
            for s in range(k, 4):
                m[r][s] = m[r][s] - f * m[k][s]
            h[r] = h[r] - f * h[k]
    if m[3][3] == 0.0:
        return None, 0.0
    det *= m[3][3]
    x3 = h[3] / m[3][3]
    x2 = (h[2] - m[2][3] * x3) / m[2][2]
    x1 = ((h[1] - m[1][2] * x2) - m[1][3] * x3) / m[1][1]
    x0 = (((h[0] - m[0][1] * x1) - m[0][2] * x2) - m[0][3] * x3) / m[0][0]
    return (x0, x1, x2, x3), det


@np.errstate(all="ignore")
def vad_row(vr, az, cos_el, min_gates, min_spread):
    vr, az, cos_el = [np.float64(v) for v in vr], [np.float64(a) for a in az], np.float64(cos_el)
    out = [NAN] * 8
    samples = [(v, a) for v, a in zip(vr, az) if finite(v) and finite(a)]
    N = float(len(samples))
    out[4] = N
    if N < float(min_gates) or N < 3.0:
        return out
    Sv = Ss = Sc = 0.0
    for v, a in samples:
        Sv += v
        Ss += math.sin(a)
        Sc += math.cos(a)
    mv, ms, mc = Sv / N, Ss / N, Sc / N
    Sss = Scc = Ssc = Ssv = Scv = 0.0
    for v, a in samples:
        ds, dc, dv = math.sin(a) - ms, math.cos(a) - mc, v - mv
        Sss += ds * ds
        Scc += dc * dc
        Ssc += ds * dc
        Ssv += ds * dv
        Scv += dc * dv
    det = Sss * Scc - Ssc * Ssc
    if not (det / (N * N) >= min_spread):
        return out
    a1 = (Scc * Ssv - Ssc * Scv) / det
    b1 = (Sss * Scv - Ssc * Ssv) / det
    a0 = (mv - ms * a1) - mc * b1
    SSR = 0.0
    for v, a in samples:
        r = ((v - a0) - a1 * math.sin(a)) - b1 * math.cos(a)
        SSR += r * r
    out[0:4] = [a1 / cos_el, b1 / cos_el, a0, math.sqrt(SSR / N)]
    Ss2 = Sc2 = 0.0
    for v, a in samples:
        Ss2 += math.sin(a + a)
        Sc2 += math.cos(a + a)
    ms2, mc2 = Ss2 / N, Sc2 / N
    m = [[0.0] * 4 for _ in range(4)]
    h = [0.0] * 4
    for v, a in samples:
        d = (math.sin(a) - ms, math.cos(a) - mc, math.sin(a + a) - ms2, math.cos(a + a) - mc2)
        dv = v - mv
        for r in range(4):
            for s in range(4):
                m[r][s] += d[r] * d[s]
            h[r] += d[r] * dv
    x, D = solve4(m, h)
    if D == 0.0 or not (D / (N * N * N * N) >= 0.25 * min_spread):
        return out
    out[5] = (((mv - ms * x[0]) - mc * x[1]) - ms2 * x[2]) - mc2 * x[3]
    out[6], out[7] = x[2], x[3]
    return out
