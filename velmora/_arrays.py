"""The nine kernels on NumPy and dask arrays, bit-identical to one call on the whole array.

The front door (`velmora.calc`, `velmora.ensemble`) hands these functions
plain arrays already in the kernels' units. Every function takes the kernel's
own arguments. Given NumPy arrays (anything that is not a dask array) it
calls the kernel once, as the kernel itself would be called. Given a dask
array for any array argument it returns a lazy dask array, or a tuple of
them, with the kernel's output layout, built from one kernel call per chunk.
The `_nd` forms take item axes of any shape (a grid) for the xarray paths.

Each kernel computes every output element from its own item alone: a point, a
row of samples, a column of levels, a grid point and its two neighbours, an
ensemble member at a point. A chunk that never cuts an item therefore gives
the same bits as one call, so every function below chunks only between items
and rechunks the axes that must stay whole (the samples of a row, the levels
of a column, the members of a point, the points of a perturbation).

Inside a task a kernel runs on one thread unless `n_threads` says otherwise,
since Dask already runs one task per core. A direct NumPy call keeps the
kernel's default of all hardware threads.

Columns stored top-down (height decreasing with the level index, as in much
model output) are turned upright per column before `profile` and `cold_pool`
see them, in the NumPy path and inside every dask task alike.
"""

from __future__ import annotations

import math
import operator
import sys

import numpy as np

import _ensemble
import _velmora

# Index letters for blockwise: point or column axes, never a core axis.
_ITEM_AXES = "abcdefghij"
_EMPTY = np.empty(0)


# --------------------------------------------------------------------------
# helpers


def _dask():
    """dask.array, imported on first use so that the package works without it."""
    try:
        import dask.array as da
    except ImportError as err:  # pragma: no cover - depends on the installation
        raise ImportError("dask arrays need dask: pip install 'velmora[dask]'") from err
    return da


def _any_dask(*args) -> bool:
    """True when any argument is a dask array.

    A dask array cannot exist before dask.array is imported, so this never
    imports dask itself.
    """
    if sys.modules.get("dask.array") is None:
        return False
    import dask.array as da

    return any(isinstance(a, da.Array) for a in args)


def _threads(n_threads, in_tasks: bool) -> int:
    if n_threads is not None:
        return n_threads
    return 1 if in_tasks else 0


def _check(ok: bool, message: str) -> None:
    """Shape errors are raised when the graph is built, with the kernel's message."""
    if not ok:
        raise ValueError(message)


def _flat(a):
    """A secondary argument read flat in C order, as the kernels read it."""
    return _dask().asarray(a).ravel()


def _signed64(value: int) -> int:
    """value modulo 2**64, as the signed 64-bit integer the kernel takes."""
    return (value + 2**63) % 2**64 - 2**63


def _meta(ndim: int, dtype=np.float64):
    return np.empty((0,) * ndim, dtype=dtype)


def _top_down(z):
    """Per column of z (K, J): True where the first finite height lies above the last."""
    finite = np.isfinite(z)
    first = np.argmax(finite, axis=1)
    last = z.shape[1] - 1 - np.argmax(finite[:, ::-1], axis=1)
    rows = np.arange(z.shape[0])
    return z[rows, first] > z[rows, last]


def _upright(z, *fields):
    """z (K, J) and fields of its shape, with top-down columns reversed along the levels.

    Each column is judged on its own, so a grid may mix both orders. Upright
    input is returned as it is: the kernel then sees the caller's arrays.
    """
    z = np.asarray(z, dtype=np.float64)
    if z.ndim != 2 or z.shape[1] < 2:
        return (z, *fields)
    down = _top_down(z)
    if not down.any():
        return (z, *fields)
    fields = [np.asarray(f, dtype=np.float64) for f in fields]
    if any(f.shape != z.shape for f in fields):
        return (z, *fields)  # the kernel reports the mismatch
    return tuple(np.where(down[:, None], a[:, ::-1], a) for a in (z, *fields))


def _whole(*blocks, kernel, **scalars):
    """Call `kernel` on the blocks of one task.

    An axis that a kernel reads whole (samples, levels, members) is absent
    from the output, so blockwise hands it over as the list of its blocks:
    here always a single block, taken as it is rather than concatenated,
    which would copy it.
    """
    return kernel(*(b[0] if isinstance(b, list) else b for b in blocks), **scalars)


# --------------------------------------------------------------------------
# block functions: one kernel call on the chunk of items in hand. Leading item
# axes are flattened for the kernel and restored on its output.


def _thermo_block(t, p, td, n_threads):
    return _velmora.thermo(t, p, td, n_threads).reshape((4,) + t.shape)


def _profile_block(z, u, v, ground, cu, cv, bottom, top, n_threads):
    columns, levels = u.shape[:-1], u.shape[-1]
    k = math.prod(columns)
    z, u, v = _upright(z.reshape(k, levels), u.reshape(k, levels), v.reshape(k, levels))
    out = _velmora.profile(z, u, v, np.ravel(ground), bottom, top, np.ravel(cu), np.ravel(cv),
                           n_threads)
    return out.reshape((7,) + columns)


def _cold_pool_block(z, b, bottom, threshold, top, n_threads):
    columns, levels = b.shape[:-1], b.shape[-1]
    k = math.prod(columns)
    z, b = _upright(z.reshape(k, levels), b.reshape(k, levels))
    out = _velmora.cold_pool(z, b, np.ravel(bottom), threshold, np.ravel(top), n_threads)
    return out.reshape((3,) + columns)


def _vad_block(vr, az, cos_el, min_gates, min_spread, n_threads):
    rows, samples = vr.shape[:-1], vr.shape[-1]
    r = math.prod(rows)
    out = _velmora.vad(vr.reshape(r, samples), az.reshape(r, samples), np.ravel(cos_el),
                       min_gates, min_spread, n_threads)
    return out.reshape((8,) + rows)


def _gradient_block(f, x, y, n_threads):
    batch = f.shape[:-2]
    out = _velmora.gradient(f.reshape((math.prod(batch),) + f.shape[-2:]), x, y, n_threads)
    return out.reshape((2,) + f.shape)


def _statistics_block(values, percentiles, min_valid, n_threads):
    points = values.shape[1:]
    mean, std, levels = _ensemble.statistics(values.reshape(values.shape[0], math.prod(points)),
                                             percentiles, min_valid, n_threads)
    return mean.reshape(points), std.reshape(points), levels.reshape((len(levels),) + points)


def _mode_block(values, n_codes, min_valid, n_threads):
    points = values.shape[1:]
    code, fraction = _ensemble.mode(values.reshape(values.shape[0], math.prod(points)),
                                    n_codes, min_valid, n_threads)
    return code.reshape(points), fraction.reshape(points)


def _perturb_block(bias_dbz, bias_zdr, member, fac, *fields, flags, k0, k1, m0, n_threads):
    """Members member[0] ... of the whole run: the counter addresses them by m0 + index."""
    flagged = iter(fields)
    all_fields = [next(flagged) if flags >> bit & 1 else _EMPTY for bit in range(5)]
    first = int(member[0]) if member.size else 0
    return _ensemble.perturb(*all_fields, flags, fac, bias_dbz, bias_zdr, k0, k1,
                             _signed64(m0 + first), n_threads)


# --------------------------------------------------------------------------
# grid-shaped forms, shared with the labelled front ends: item axes may be
# many (y, x, ...), each output quantity keeps them.


def _thermo_nd(t, p, td, n_threads=None):
    """thermo on broadcast inputs of any shape: (4, *shape)."""
    if not _any_dask(t, p, td):
        t, p, td = np.broadcast_arrays(t, p, td)
        return _thermo_block(t, p, td, _threads(n_threads, False))
    da = _dask()
    t, p, td = da.broadcast_arrays(t, p, td)
    idx = _ITEM_AXES[:t.ndim]
    return da.blockwise(_thermo_block, "q" + idx, t, idx, p, idx, td, idx,
                        new_axes={"q": 4}, meta=_meta(t.ndim + 1), token="thermo",
                        n_threads=_threads(n_threads, True))


def _profile_nd(z, u, v, ground, bottom, top, cu, cv, n_threads=None):
    """profile on columns of any shape (..., levels): (7, ...)."""
    if not _any_dask(z, u, v, ground, cu, cv):
        z, u, v = np.broadcast_arrays(z, u, v)
        ground, cu, cv = (np.broadcast_to(a, u.shape[:-1]) for a in (ground, cu, cv))
        return _profile_block(z, u, v, ground, cu, cv, bottom, top, _threads(n_threads, False))
    da = _dask()
    z, u, v = da.broadcast_arrays(z, u, v)
    u = u.rechunk({-1: -1})  # the levels of a column are one item
    z, v = z.rechunk(u.chunks), v.rechunk(u.chunks)
    ground, cu, cv = (da.broadcast_to(a, u.shape[:-1]).rechunk(u.chunks[:-1])
                      for a in (ground, cu, cv))
    idx = _ITEM_AXES[:u.ndim - 1]
    return da.blockwise(_whole, "q" + idx, z, idx + "l", u, idx + "l", v, idx + "l",
                        ground, idx, cu, idx, cv, idx, new_axes={"q": 7}, meta=_meta(u.ndim),
                        token="profile", kernel=_profile_block, bottom=bottom, top=top,
                        n_threads=_threads(n_threads, True))


def _vad_nd(vr, az, cos_el, min_gates, min_spread, n_threads=None):
    """vad on rows of any shape (..., samples): (8, ...)."""
    if not _any_dask(vr, az, cos_el):
        vr, az = np.broadcast_arrays(vr, az)
        cos_el = np.broadcast_to(cos_el, vr.shape[:-1])
        return _vad_block(vr, az, cos_el, min_gates, min_spread, _threads(n_threads, False))
    da = _dask()
    vr, az = da.broadcast_arrays(vr, az)
    vr = vr.rechunk({-1: -1})  # the samples of a row are one fit
    az = az.rechunk(vr.chunks)
    cos_el = da.broadcast_to(cos_el, vr.shape[:-1]).rechunk(vr.chunks[:-1])
    idx = _ITEM_AXES[:vr.ndim - 1]
    return da.blockwise(_whole, "q" + idx, vr, idx + "s", az, idx + "s", cos_el, idx,
                        new_axes={"q": 8}, meta=_meta(vr.ndim), token="vad", kernel=_vad_block,
                        min_gates=min_gates, min_spread=min_spread,
                        n_threads=_threads(n_threads, True))


def _cold_pool_nd(z, b, bottom, threshold, top, n_threads=None):
    """cold_pool on columns of any shape (..., levels): (3, ...)."""
    if not _any_dask(z, b, bottom, top):
        z, b = np.broadcast_arrays(z, b)
        bottom, top = (np.broadcast_to(a, b.shape[:-1]) for a in (bottom, top))
        return _cold_pool_block(z, b, bottom, threshold, top, _threads(n_threads, False))
    da = _dask()
    z, b = da.broadcast_arrays(z, b)
    b = b.rechunk({-1: -1})  # a column is integrated from its base upwards
    z = z.rechunk(b.chunks)
    bottom, top = (da.broadcast_to(a, b.shape[:-1]).rechunk(b.chunks[:-1]) for a in (bottom, top))
    idx = _ITEM_AXES[:b.ndim - 1]
    return da.blockwise(_whole, "q" + idx, z, idx + "l", b, idx + "l", bottom, idx,
                        threshold, None, top, idx, new_axes={"q": 3}, meta=_meta(b.ndim),
                        token="cold_pool", kernel=_cold_pool_block,
                        n_threads=_threads(n_threads, True))


def _gradient_nd(f, x, y, n_threads=None):
    """gradient of fields (..., NY, NX) with any leading batch axes: (2, ..., NY, NX).

    Interior chunk edges get a halo of one row or column from the neighbouring
    chunk (`boundary="none"`: nothing is padded outside the grid), so every
    point sees its true neighbours and only the grid's own edges take
    one-sided differences. The coordinates get the same halo, and the halo is
    trimmed from the result.
    """
    if not _any_dask(f, x, y):
        return _gradient_block(np.asarray(f), x, y, _threads(n_threads, False))
    da = _dask()
    from dask.array.overlap import overlap, trim_internal

    f = da.asarray(f)
    x, y = _flat(x), _flat(y)
    ax_y, ax_x = f.ndim - 2, f.ndim - 1
    # Empty chunks cannot carry a halo; an axis of one chunk needs none.
    f = f.rechunk({ax: tuple(c for c in f.chunks[ax] if c) or (0,) for ax in (ax_y, ax_x)})
    depth = {ax: int(len(f.chunks[ax]) > 1) for ax in (ax_y, ax_x)}
    y = overlap(y.rechunk((f.chunks[ax_y],)), depth={0: depth[ax_y]}, boundary="none")
    x = overlap(x.rechunk((f.chunks[ax_x],)), depth={0: depth[ax_x]}, boundary="none")
    f = overlap(f, depth=depth, boundary="none")
    idx = _ITEM_AXES[:f.ndim - 2] + "yx"
    out = da.blockwise(_gradient_block, "q" + idx, f, idx, x, "x", y, "y", new_axes={"q": 2},
                       meta=_meta(f.ndim + 1), token="gradient",
                       n_threads=_threads(n_threads, True))
    return trim_internal(out, {ax + 1: d for ax, d in depth.items()}, boundary="none")


def _ensemble_nd(block, values, leading, n_threads, token, **scalars):
    """A per-point reduction of values (members, ...) to the kernel's tuple.

    One task per point chunk returns the kernel's tuple of outputs, and each
    output takes its part of it, so the kernel runs once per chunk whichever
    outputs are computed. `leading` gives, per output, the length of its
    extra leading axis, or None for an output shaped like the points.
    """
    if not _any_dask(values):
        return block(np.asarray(values), n_threads=_threads(n_threads, False), **scalars)
    da = _dask()
    # The kernel reads float32; casting first halves what the rechunk moves.
    values = da.asarray(values).astype(np.float32).rechunk({0: -1})  # members of a point: one item
    idx = _ITEM_AXES[:values.ndim - 1]
    # An array of tuples in all but name: only the outputs below read it.
    parts = da.blockwise(_whole, idx, values, "m" + idx, meta=_meta(len(idx)), token=token,
                         kernel=block, n_threads=_threads(n_threads, True), **scalars)
    outputs = []
    for k, rows in enumerate(leading):
        if rows is None:
            outputs.append(parts.map_blocks(operator.getitem, k, meta=_meta(len(idx))))
        else:
            outputs.append(parts.map_blocks(operator.getitem, k, new_axis=0,
                                            chunks=((rows,),) + parts.chunks,
                                            meta=_meta(len(idx) + 1)))
    return tuple(outputs)


def _statistics_nd(values, percentiles, min_valid, n_threads=None):
    """statistics of values (members, ...): mean (...), std (...), percentiles (P, ...)."""
    levels = np.asarray(percentiles, dtype=np.float64).ravel()
    return _ensemble_nd(_statistics_block, values, (None, None, levels.size), n_threads,
                        "statistics", percentiles=levels, min_valid=min_valid)


def _mode_nd(values, n_codes, min_valid, n_threads=None):
    """mode of values (members, ...): modal code (...), modal fraction (...)."""
    return _ensemble_nd(_mode_block, values, (None, None), n_threads, "mode",
                        n_codes=n_codes, min_valid=min_valid)


# --------------------------------------------------------------------------
# the nine kernels


def thermo(t, p, td, n_threads=None):
    """Mixing ratio, θ, θv and θe, shape (4, n): any chunks.

    Points are independent, so chunks may fall anywhere. The inputs are read
    flat in C order, as by the kernel: a multi-dimensional dask input is
    raveled first, which merges its chunks along all axes but the first
    (dask's ravel). `dask_radar.labelled.thermo` keeps the grid instead.
    """
    if not _any_dask(t, p, td):
        return _velmora.thermo(t, p, td, _threads(n_threads, False))
    t, p, td = _flat(t), _flat(p), _flat(td)
    _check(p.size == t.size, "size mismatch")
    _check(td.size == t.size, "size mismatch")
    return _thermo_nd(t, p.rechunk(t.chunks), td.rechunk(t.chunks), n_threads)


def vad(vr, az, cos_el, min_gates, min_spread, n_threads=None):
    """VAD fit per row, shape (8, R): chunks over rows.

    The samples of a row form one fit, so the sample axis is rechunked to a
    single chunk; `az` and `cos_el` follow the row chunks of `vr`.
    """
    if not _any_dask(vr, az, cos_el):
        return _velmora.vad(vr, az, cos_el, min_gates, min_spread, _threads(n_threads, False))
    da = _dask()
    vr, az, cos_el = da.asarray(vr), da.asarray(az), _flat(cos_el)
    _check(vr.ndim == 2 and az.ndim == 2, "vr, az must be 2-D")
    _check(az.shape == vr.shape, "shape mismatch")
    _check(cos_el.size == vr.shape[0], "shape mismatch")
    vr = vr.rechunk({1: -1})
    az, cos_el = az.rechunk(vr.chunks), cos_el.rechunk(vr.chunks[:1])
    return da.blockwise(_whole, "qr", vr, "rs", az, "rs", cos_el, "r",
                        min_gates, None, min_spread, None, new_axes={"q": 8}, meta=_meta(2),
                        token="vad", kernel=_velmora.vad, n_threads=_threads(n_threads, True))


def cold_pool(z, b, bottom, threshold, top, n_threads=None):
    """Cold-pool intensity, depth and flag per column, shape (3, K): chunks over columns.

    A column is integrated from its base upwards, so the level axis is
    rechunked to a single chunk; the other arguments follow the column
    chunks of `b`.
    """
    if not _any_dask(z, b, bottom, top):
        z, b = _upright(z, b)
        return _velmora.cold_pool(z, b, bottom, threshold, top, _threads(n_threads, False))
    da = _dask()
    z, b, bottom, top = da.asarray(z), da.asarray(b), _flat(bottom), _flat(top)
    _check(b.ndim == 2 and z.ndim == 2, "z and b must be 2-D")
    _check(z.shape == b.shape, "shape mismatch")
    _check(bottom.size == b.shape[0], "shape mismatch")
    _check(top.size == b.shape[0], "shape mismatch")
    b = b.rechunk({1: -1})
    z, bottom, top = z.rechunk(b.chunks), bottom.rechunk(b.chunks[:1]), top.rechunk(b.chunks[:1])
    return da.blockwise(_whole, "qc", z, "cl", b, "cl", bottom, "c",
                        threshold, None, top, "c", new_axes={"q": 3}, meta=_meta(2),
                        token="cold_pool", kernel=_cold_pool_block,
                        n_threads=_threads(n_threads, True))


def profile(z, u, v, ground, bottom, top, cu, cv, n_threads=None):
    """Layer winds, helicity and mean wind per column, shape (7, K): chunks over columns.

    The wind look-ups and the layer walk run over all levels of a column, so
    the level axis is rechunked to a single chunk. `z` and `v` are read as
    (K, J) in C order and `ground`, `cu`, `cv` flat, as by the kernel; all
    follow the column chunks of `u`.
    """
    if not _any_dask(z, u, v, ground, cu, cv):
        shape = np.shape(u)
        if len(shape) == 2 and np.size(z) == np.size(v) == math.prod(shape):
            z, u, v = _upright(np.reshape(z, shape), u, np.reshape(v, shape))
        return _velmora.profile(z, u, v, ground, bottom, top, cu, cv, _threads(n_threads, False))
    da = _dask()
    u = da.asarray(u)
    _check(u.ndim == 2, "u must be 2-D")
    z, v, ground, cu, cv = (_flat(a) for a in (z, v, ground, cu, cv))
    _check(z.size == u.size, "shape mismatch")
    _check(v.size == u.size, "shape mismatch")
    for a in (ground, cu, cv):
        _check(a.size == u.shape[0], "shape mismatch")
    return _profile_nd(z.reshape(u.shape), u, v.reshape(u.shape), ground, bottom, top, cu, cv,
                       n_threads)


def gradient(f, x, y, n_threads=None):
    """x and y derivatives, shape (2, B, NY, NX): chunks over batch, y and x.

    Chunk edges inside the grid are bridged by a halo of depth 1 on y and x
    (`map_overlap`-style, `boundary="none"`), so the result is that of one
    call: only the grid's true edges use one-sided differences.
    """
    if not _any_dask(f, x, y):
        return _velmora.gradient(f, x, y, _threads(n_threads, False))
    f, x, y = _dask().asarray(f), _flat(x), _flat(y)
    _check(f.ndim == 3, "f must be 3-D (batch, y, x)")
    _check(x.size == f.shape[2], "coordinate size")
    _check(y.size == f.shape[1], "coordinate size")
    return _gradient_nd(f, x, y, n_threads)


def statistics(values, percentiles, min_valid, n_threads=None):
    """Mean (n,), standard deviation (n,) and percentiles (P, n): chunks over points.

    Each point sorts all its members, so the member axis is rechunked to a
    single chunk. The three results come from one kernel call per chunk.
    """
    if not _any_dask(values, percentiles):
        return _ensemble.statistics(values, percentiles, min_valid, _threads(n_threads, False))
    values = _dask().asarray(values)
    _check(values.ndim == 2, "values must be (members, n)")
    return _statistics_nd(values, percentiles, min_valid, n_threads)


def mode(values, n_codes, min_valid, n_threads=None):
    """Modal code (n,) and modal fraction (n,): chunks over points.

    Each point counts all its members, so the member axis is rechunked to a
    single chunk. Both results come from one kernel call per chunk.
    """
    if not _any_dask(values):
        return _ensemble.mode(values, n_codes, min_valid, _threads(n_threads, False))
    values = _dask().asarray(values)
    _check(values.ndim == 2, "values must be (members, n)")
    _check(n_codes > 0, "n_codes must be positive")
    return _mode_nd(values, n_codes, min_valid, n_threads)


def perturb(dbz, zdr, phidp, rhohv, vel, flags, fac, bias_dbz, bias_zdr, k0, k1, m0,
            n_threads=None, *, member_chunks=None):
    """Perturbed fields, shape (M, F, n): chunks over members.

    The random numbers of member i at point g are addressed by the member
    number m0 + i and by g. A chunk of members starting at member s is one
    kernel call with first member m0 + s (modulo 2**64, as in the kernel) and
    that chunk's biases, so it draws exactly the numbers of the single call.

    Points are not split: the counter is built from the point index within a
    call, so a call on a later slice of points would redraw the numbers of
    the first points. `fac` and the flagged fields are rechunked to a single
    chunk, which every member chunk reads.

    The member chunks are those of `bias_dbz` (else of `bias_zdr`) when it is
    a dask array, or `member_chunks` when given (any dask chunks value, such as
    an int or a tuple of sizes).
    """
    fields = (dbz, zdr, phidp, rhohv, vel)
    if not _any_dask(*fields, fac, bias_dbz, bias_zdr) and member_chunks is None:
        return _ensemble.perturb(*fields, flags, fac, bias_dbz, bias_zdr, k0, k1, m0,
                                 _threads(n_threads, False))
    da = _dask()
    from dask.array.core import normalize_chunks

    fac = da.asarray(fac)
    _check(fac.ndim == 2 and fac.shape[0] == 6, "fac must be (6, n)")
    chunked = [isinstance(b, da.Array) for b in (bias_dbz, bias_zdr)]
    bias_dbz, bias_zdr = _flat(bias_dbz), _flat(bias_zdr)
    _check(bias_dbz.size == bias_zdr.size, "bias arrays differ in length")
    flagged = [_flat(f) for bit, f in enumerate(fields) if flags >> bit & 1]
    for field in flagged:
        _check(field.size == fac.shape[1], "a field differs in size from fac")

    if member_chunks is None:
        member_chunks = bias_dbz.chunks if chunked[0] else bias_zdr.chunks if chunked[1] else -1
    bias_dbz = bias_dbz.rechunk(normalize_chunks(member_chunks, bias_dbz.shape))
    bias_zdr = bias_zdr.rechunk(bias_dbz.chunks)
    member = da.arange(bias_dbz.size, chunks=bias_dbz.chunks, dtype=np.int64)
    points = [a for field in flagged for a in (field.rechunk(-1), "g")]
    return da.blockwise(_whole, "msg", bias_dbz, "m", bias_zdr, "m", member, "m",
                        fac.rechunk(-1), "rg", *points, new_axes={"s": len(flagged)},
                        meta=_meta(3), token="perturb", kernel=_perturb_block,
                        flags=flags, k0=k0, k1=k1, m0=m0, n_threads=_threads(n_threads, True))


def words(k0, k1, member, block, n):
    """Raw generator words (n, 4) as a lazy dask array of one chunk.

    Row j is drawn from counter j + 1 and the kernel always starts at row 0,
    so rows cannot be split over tasks without recomputing every row before
    the chunk: the array is a single chunk.
    """
    da = _dask()
    import dask

    if n < 0:
        raise ValueError("negative dimensions are not allowed")
    rows = dask.delayed(_ensemble.words, pure=True)(k0, k1, member, block, n)
    return da.from_delayed(rows, shape=(n, 4), dtype=np.uint64, meta=_meta(2, np.uint64))
