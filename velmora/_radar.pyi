"""Radar sweep kernels of velmora (multithreaded)."""

import typing

import numpy
import numpy.typing

_Int = typing.SupportsInt | typing.SupportsIndex
_Sweep = tuple[
    numpy.typing.ArrayLike,  # vr: (rays, gates), float32 or float64, any strides
    numpy.typing.ArrayLike | None,  # mask: (rays, gates), true where missing
    numpy.typing.ArrayLike,  # az: (rays,), radians
    numpy.typing.ArrayLike,  # cos_el: (rays,)
    numpy.typing.ArrayLike,  # reserved: (k, 2) value ranges that mean missing
    _Int,  # start: first gate fitted
    _Int,  # stop: one past the last gate fitted
]

def vad_sweeps(sweeps: typing.Sequence[_Sweep], min_gates: _Int, min_spread: float,
               n_threads: _Int = 0) -> numpy.typing.NDArray[numpy.float64]:
    """VAD fits of every gate of a volume, from the sweeps as stored.

    Each gate [start, stop) of each sweep is one fit whose samples are the
    sweep's rays in ray order; the results equal those of
    ``_velmora.vad(vr.T, az, cos_el, min_gates, min_spread)`` bit for bit,
    with the missing values of `vr` as NaN and `az` broadcast along the gates.

    Parameters
    ----------
    sweeps : sequence of (vr, mask, az, cos_el, reserved, start, stop)
        vr: radial velocities (rays, gates), m/s, float32 or float64 read in
        place (other dtypes are converted to float64). mask: None, or true
        where a gate is missing. az: azimuth of each ray, radians. cos_el:
        cosine of each ray's elevation. reserved: (low, high) ranges, both
        included, of values that mean "no data" (fill values, codes); a
        NaN bound matches nothing. start, stop: the gates to fit.
        A sample is valid when it is finite, outside every reserved range,
        not masked and its ray's azimuth is finite.
    min_gates : int
        Least number of valid rays for a fit (3 at the least).
    min_spread : float
        Least azimuth spread: the determinant of the covariance of
        (sin az, cos az), 0.25 for the full circle.
    n_threads : int
        Worker threads; 0 or negative means all hardware threads.

    Returns
    -------
    ndarray, shape (8, total gates)
        The gates of each sweep after those of the sweep before it. Rows:
        u and v (m/s), offset and rms residual of the first-harmonic fit,
        number of valid rays, offset and sin 2az, cos 2az coefficients of
        the two-harmonic fit. Rejected fits are NaN.

    Notes
    -----
    When every ray of a sweep has the same cos_el, u = a1 / cos_el and
    v = b1 / cos_el exactly as ``_velmora.vad``. When they differ, each ray
    enters with its own cosine: the regressors are (cos_el_j / c) sin az_j
    and (cos_el_j / c) cos az_j, with c the median cosine of the sweep, and
    u = a1 / c, v = b1 / c (the same u and v as regressors cos_el_j sin az_j
    and cos_el_j cos az_j would give, with the spread still measured on
    regressors near sin az, cos az). Rays with a non-finite cos_el then have
    no data.
    """

_Floats = typing.Annotated[numpy.typing.ArrayLike, numpy.float64]

def unfold(
    velocity: _Floats,
    azimuth: _Floats,
    shape: typing.Annotated[numpy.typing.ArrayLike, numpy.int64],
    nyquist: _Floats,
    n_threads: _Int = 0,
) -> tuple:
    """Unfold aliased radial velocities of sweeps concatenated ray by ray.

    Parameters
    ----------
    velocity : array_like, 1-D
        Each sweep's (rays, gates) radial velocities in C order, m/s, NaN
        where missing; the rays of a sweep sorted by azimuth.
    azimuth : array_like, 1-D
        Azimuth of every ray, degrees in [0, 360), increasing within a sweep.
    shape : array_like, (sweeps, 2)
        Rays and gates of each sweep.
    nyquist : array_like, (sweeps,)
        Nyquist velocity of each sweep, m/s, positive.
    n_threads : int
        Threads, one sweep each at a time; 0 uses all cores.

    Returns
    -------
    tuple of ndarray
        In the layout of `velocity`: the unfolded velocity (float64, NaN where
        missing or unresolved), the fold count (int8, multiples of twice the
        Nyquist velocity added) and the unresolved flag (bool).
    """
