"""Radar sweep kernels of velmora (multithreaded)."""

import typing

import numpy
import numpy.typing

_Floats = typing.Annotated[numpy.typing.ArrayLike, numpy.float64]
_Int = typing.SupportsInt | typing.SupportsIndex

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
