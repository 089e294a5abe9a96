"""Cold-pool, wind-profile and baroclinity kernel (multithreaded)."""

import typing

import numpy
import numpy.typing

_Floats = typing.Annotated[numpy.typing.ArrayLike, numpy.float64]
_Int = typing.SupportsInt | typing.SupportsIndex
_Out = numpy.typing.NDArray[numpy.float64]

def thermo(t: _Floats, p: _Floats, td: _Floats, n_threads: _Int = 0) -> _Out:
    """Moist-thermodynamic quantities, point by point.

    Parameters
    ----------
    t : array_like, any shape, n elements read flat
        Temperature in K.
    p : array_like, n elements read flat
        Pressure in Pa.
    td : array_like, n elements read flat
        Dew point in K; a dew point above the temperature is lowered to it.
    n_threads : int
        Worker threads; 0 or negative means all hardware threads.

    Returns
    -------
    ndarray, shape (4, n)
        Rows: mixing ratio (kg/kg), potential temperature, virtual potential
        temperature and equivalent potential temperature (K).

    Missing values are not checked: NaN and infinities follow IEEE
    arithmetic (a missing dew point leaves only the potential temperature).

    Raises
    ------
    ValueError
        "size mismatch" when `p` or `td` has another element count than `t`.
    """

def cold_pool(
    z: _Floats, b: _Floats, bottom: _Floats, threshold: float, top: _Floats, n_threads: _Int = 0
) -> _Out:
    """Cold-pool intensity per column: sqrt(2 I), I the integral of -b over height.

    Parameters
    ----------
    z : array_like, shape (K, J)
        Heights of J levels in K columns, ascending with the level index (m).
    b : array_like, shape (K, J)
        Buoyancy at the same points (m/s²), negative inside the cold pool.
    bottom : array_like, K elements read flat
        Lowest height of the base level; non-finite means no lower bound.
    threshold : float
        Buoyancy that marks the pool top in threshold mode.
    top : array_like, K elements read flat
        Finite: depth of the layer above the base level (fixed-depth mode).
        Non-finite: integrate up to where b first reaches `threshold`.
    n_threads : int
        Worker threads; 0 or negative means all hardware threads.

    Returns
    -------
    ndarray, shape (3, K)
        Rows: intensity (m/s), layer depth (m), and 1.0 where threshold mode
        reached the last valid level without finding the threshold (else 0).

    A level is used when both z and b are finite there. A column without a
    base level, or whose fixed-depth target lies above its last valid level,
    is NaN in all three rows.

    Raises
    ------
    ValueError
        "z and b must be 2-D", or "shape mismatch" when the shapes or the
        lengths of `bottom` and `top` disagree.
    """

def profile(
    z: _Floats,
    u: _Floats,
    v: _Floats,
    ground: _Floats,
    bottom: float,
    top: float,
    cu: _Floats,
    cv: _Floats,
    n_threads: _Int = 0,
) -> _Out:
    """Layer winds, storm-relative helicity and layer-mean wind per column.

    Parameters
    ----------
    z : array_like, K·J elements read as (K, J)
        Heights of the levels.
    u : array_like, shape (K, J)
        Eastward wind; axis 0 columns, axis 1 levels.
    v : array_like, K·J elements read as (K, J)
        Northward wind.
    ground : array_like, K elements read flat
        Ground height per column; non-finite means the height of the first
        valid level.
    bottom, top : float
        Layer bounds above ground, in the units of `z`. A bound within 1e-6
        beyond the valid levels takes the end level's wind.
    cu, cv : array_like, K elements read flat
        Storm motion per column.
    n_threads : int
        Worker threads; 0 or negative means all hardware threads.

    Returns
    -------
    ndarray, shape (7, K)
        Rows: u and v at the layer bottom, u and v at the layer top,
        storm-relative helicity (wind squared; NaN when the storm motion is
        missing), and the height-weighted mean u and v of the layer.

    A level is used when z, u and v are all finite. A column whose bottom or
    top wind cannot be found is NaN in all seven rows.

    Raises
    ------
    ValueError
        "u must be 2-D", or "shape mismatch" when an element count disagrees.
    """

def gradient(f: _Floats, x: _Floats, y: _Floats, n_threads: _Int = 0) -> _Out:
    """Derivatives along x and y of a batch of fields on a non-uniform grid.

    Parameters
    ----------
    f : array_like, shape (B, NY, NX)
        B fields, laid out (batch, y, x).
    x : array_like, NX elements read flat
        Coordinates of the columns (last axis of `f`).
    y : array_like, NY elements read flat
        Coordinates of the rows (axis 1 of `f`).
    n_threads : int
        Worker threads; 0 or negative means all hardware threads.

    Returns
    -------
    ndarray, shape (2, B, NY, NX)
        Plane 0: df/dx; plane 1: df/dy.

    Centred differences where both neighbours are finite, one-sided next to
    missing values and at the grid edges, NaN where the point itself or both
    neighbours are missing.

    Raises
    ------
    ValueError
        "f must be 3-D (batch, y, x)", or "coordinate size" when `x` or `y`
        has the wrong length (`x` is checked first).
    """

def vad(
    vr: _Floats, az: _Floats, cos_el: _Floats, min_gates: _Int, min_spread: float, n_threads: _Int = 0
) -> _Out:
    """Horizontal wind from radial velocities by harmonic fits against azimuth.

    Parameters
    ----------
    vr : array_like, shape (R, G)
        Radial velocities; each row is one fit (one elevation and range).
    az : array_like, shape (R, G)
        Azimuths in radians, clockwise from north.
    cos_el : array_like, R elements read flat
        Cosine of each row's elevation angle.
    min_gates : int
        Least number of valid samples for a fit (3 at the least).
    min_spread : float
        Least azimuth spread, the determinant of the covariance of
        (sin az, cos az): 0.25 for evenly spread azimuths, 0 when they
        coincide. The two-harmonic fit needs 0.25 × `min_spread`.
    n_threads : int
        Worker threads; 0 or negative means all hardware threads.

    Returns
    -------
    ndarray, shape (8, R)
        Rows: u and v (eastward and northward wind), offset a0 and rms
        residual of the first-harmonic fit, number of valid samples, and the
        offset c0 and second-harmonic terms c2, d2 of the two-harmonic fit.

    A sample is used when both vr and az are finite. Rejected fits leave NaN.

    Raises
    ------
    ValueError
        "vr, az must be 2-D", or "shape mismatch".
    """
