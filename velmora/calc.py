"""Wind, gradient, wind-profile, cold-pool and moist-thermodynamic calculations.

The five functions over the `_velmora` kernels. Each takes NumPy arrays (in
the units given for each argument), masked arrays, pint Quantities, dask
arrays or xarray DataArrays, and returns its result in the same family; see
`velmora` for the rules shared by all.
"""

from __future__ import annotations

import math
import warnings
from typing import TYPE_CHECKING, Any, TypeAlias, overload

import numpy as np
from numpy.typing import ArrayLike

from . import _arrays
from ._types import Array, Dataset, Labelled, Plain, Quantity, Scalar
from ._inputs import (ANGLE, ANY, BUOYANCY, FRACTION, HEIGHT, INT64, PRESSURE, SPEED,
                      TEMPERATURE, Call, Output, integer, is_dataarray, scalar, threads)

__all__ = ["thermo", "cold_pool", "profile", "gradient", "vad"]

if TYPE_CHECKING:
    import pint
    import xarray as xr

# What a call returns depends on the family of its inputs: the kernel's array
# for NumPy, a Dataset for DataArrays, a tuple of Quantities for pint, a lazy
# dask array for dask. The overloads of each function say so for the first
# array argument; mixtures decided at run time are left open.
Result: TypeAlias = Any
Input: TypeAlias = "ArrayLike | xr.DataArray | pint.Quantity"
Quantities: TypeAlias = "tuple[pint.Quantity, ...]"


def _eastward(name: str, where: str) -> Output:
    return Output(name, "m s-1", f"eastward wind {where}", "eastward_wind")


def _northward(name: str, where: str) -> Output:
    return Output(name, "m s-1", f"northward wind {where}", "northward_wind")


THERMO = [
    Output("mixing_ratio", "kg kg-1", "water vapour mixing ratio", "humidity_mixing_ratio"),
    Output("potential_temperature", "K", "potential temperature", "air_potential_temperature"),
    Output("virtual_potential_temperature", "K", "virtual potential temperature"),
    Output("equivalent_potential_temperature", "K", "equivalent potential temperature",
           "equivalent_potential_temperature"),
]

VAD = [
    _eastward("eastward_wind", "from the first-harmonic fit"),
    _northward("northward_wind", "from the first-harmonic fit"),
    Output("offset", "m s-1", "offset a0 of the first-harmonic fit"),
    Output("rms_residual", "m s-1", "root-mean-square residual of the first-harmonic fit"),
    Output("n_valid", "1", "number of valid samples"),
    Output("offset_2", "m s-1", "offset c0 of the two-harmonic fit"),
    Output("sin_2az", "m s-1", "coefficient c2 of sin(2 az) in the two-harmonic fit"),
    Output("cos_2az", "m s-1", "coefficient d2 of cos(2 az) in the two-harmonic fit"),
]

PROFILE = [
    _eastward("u_bottom", "at the layer bottom"),
    _northward("v_bottom", "at the layer bottom"),
    _eastward("u_top", "at the layer top"),
    _northward("v_top", "at the layer top"),
    Output("storm_relative_helicity", "m2 s-2", "storm-relative helicity of the layer"),
    _eastward("u_mean", "averaged over the layer"),
    _northward("v_mean", "averaged over the layer"),
]

COLD_POOL = [
    Output("intensity", "m s-1", "cold-pool intensity sqrt(2 integral of -b dz)"),
    Output("depth", "m", "depth of the integrated layer above the base level"),
    Output("top_not_found", "1", "1 where the buoyancy never reached the threshold"),
]


@overload
def thermo(t: Plain, p: Plain, td: Plain, n_threads: int | None = None) -> Array: ...
@overload
def thermo(t: Labelled, p: Any, td: Any, n_threads: int | None = None) -> Dataset: ...
@overload
def thermo(t: Quantity, p: Any, td: Any, n_threads: int | None = None) -> Quantities: ...
@overload
def thermo(t: Any, p: Any, td: Any, n_threads: int | None = None) -> Result: ...
def thermo(t: Input, p: Input, td: Input, n_threads: int | None = None) -> Result:
    """Mixing ratio, potential, virtual potential and equivalent potential temperature.

    Parameters
    ----------
    t : array_like
        Air temperature. Bare arrays in K.
    p : array_like
        Pressure, as many elements as `t`. Bare arrays in Pa (not hPa).
    td : array_like
        Dew point, as many elements as `t`. Bare arrays in K. A dew point above
        the temperature is lowered to it (saturated air).
    n_threads : int, optional
        Worker threads; None or 0 for all hardware threads (one per dask task).

    Returns
    -------
    ndarray, Dataset or tuple of Quantity
        For NumPy input, the kernel's ndarray of shape (4, n) (inputs read flat):
        rows mixing ratio r (kg kg-1), potential temperature θ (K), virtual
        potential temperature θv (K) and equivalent potential temperature θe (K).
        DataArrays give a Dataset with `mixing_ratio`, `potential_temperature`,
        `virtual_potential_temperature` and `equivalent_potential_temperature` on
        the inputs' broadcast dimensions; Quantities give a tuple of four
        Quantities; masked arrays a masked (4, n) array; dask arrays a lazy one.

    Warns
    -----
    RuntimeWarning
        Bare arrays only: once per call when the vapour pressure reaches the
        pressure somewhere (the mixing ratio is then negative), most likely
        because the pressure was given in hPa.

    Notes
    -----
    With the pressure ratio R = 100000 Pa / p and the dew point in °C,
    td_c = td − 273.15:

    - θ = t · R^κ with κ = 0.28542 (0.28542059262205427, R_d / c_pd);
    - vapour pressure e = 611.2 Pa · exp(17.67 · td_c / (td_c + 243.5))
      (Bolton 1980, eq. 10);
    - r = ε e / (p − e) with ε = 0.6219569156569429;
    - θv = θ (1 + r / ε) / (1 + r);
    - θe = t · R^(0.2854 (1 − 0.28e-3 r_g))
      · exp((3.376 / T_L − 0.00254) r_g (1 + 0.81e-3 r_g))
      with r_g = 1000 r in g/kg and the condensation temperature
      T_L = 1 / (1 / (td − 56) + ln(t / td) / 800) + 56 (Bolton 1980, eqs. 15
      and 43).

    θ and θe use different exponents, as Bolton's formula is fitted with
    0.2854. Missing values (NaN) propagate; a missing dew point leaves θ.

    References
    ----------
    Bolton, D., 1980: The computation of equivalent potential temperature.
    Mon. Wea. Rev., 108, 1046–1053.

    Examples
    --------
    >>> r, theta, theta_v, theta_e = velmora.thermo([300.0], [100000.0], [290.0])
    >>> round(float(theta_e[0]), 2)
    335.87
    """
    call = Call("thermo", t=(t, TEMPERATURE), p=(p, PRESSURE), td=(td, TEMPERATURE))
    n_threads = threads("thermo", n_threads)
    if call.labelled:
        def kernel(t, p, td):
            return tuple(_arrays._thermo_nd(t, p, td, n_threads))

        return call.dataset(kernel, ["t", "p", "td"], THERMO)
    if (size := _sizes(call, "t", "p", "td")) is not None:
        call.require(size["t"] == size["p"] == size["td"],
                     "'t', 'p' and 'td' need the same number of elements", "t", "p", "td")
    out = _arrays.thermo(call["t"], call["p"], call["td"], n_threads)
    if call.bare and isinstance(out, np.ndarray):
        _warn_unlikely_pressure(np.asarray(call["p"]), out)
    return call.result(out, THERMO)


# Surface pressure stays below 1100 hPa; below 1100 Pa (11 hPa) lies only the
# upper stratosphere, where no sounding has all its levels. θ above 800 K is
# found only above about 10 hPa.
LOWEST_LIKELY_SURFACE_PRESSURE = 1100.0  # Pa
HIGHEST_LIKELY_THETA = 800.0  # K


def _warn_unlikely_pressure(p, out) -> None:
    """One warning when bare pressures look like hPa read as Pa."""
    # Comparisons with NaN are False and raise no floating-point warning.
    message = None
    if not (p >= LOWEST_LIKELY_SURFACE_PRESSURE).any() and np.isfinite(p).any():
        message = (f"every value of argument 'p' is below {LOWEST_LIKELY_SURFACE_PRESSURE:g} "
                   "Pa, no surface pressure")
    elif (out[1] > HIGHEST_LIKELY_THETA).any():
        message = (f"the potential temperature exceeds {HIGHEST_LIKELY_THETA:g} K at some "
                   "points, where argument 'p' is small")
    elif (out[0] < 0).any():
        message = ("the vapour pressure reaches the pressure at some points, so the "
                   "mixing ratio is negative")
    if message:
        warnings.warn(f"thermo: {message}; is p in hPa? Bare arrays are read in Pa",
                      RuntimeWarning, stacklevel=3)


def _sizes(call: Call, *names: str) -> dict[str, int] | None:
    """The number of elements of each argument; None when a dask array does not know one.

    Dask arrays of unknown chunks are checked by the kernel when they run.
    """
    sizes = {}
    for name in names:
        array = call[name]
        size = array.size if isinstance(array, np.ndarray) else math.prod(call.shape(name))
        if math.isnan(size):
            return None
        sizes[name] = int(size)
    return sizes


@overload
def vad(vr: Plain, az: Plain, cos_el: Plain, min_gates: int, min_spread: float,
        n_threads: int | None = None, *, dim: str = "azimuth") -> Array: ...
@overload
def vad(vr: Labelled, az: Any, cos_el: Any, min_gates: int, min_spread: float,
        n_threads: int | None = None, *, dim: str = "azimuth") -> Dataset: ...
@overload
def vad(vr: Quantity, az: Any, cos_el: Any, min_gates: int, min_spread: float,
        n_threads: int | None = None, *, dim: str = "azimuth") -> Quantities: ...
@overload
def vad(vr: Any, az: Any, cos_el: Any, min_gates: int, min_spread: float,
        n_threads: int | None = None, *, dim: str = "azimuth") -> Result: ...
def vad(vr: Input, az: Input, cos_el: Input, min_gates: int, min_spread: float,
        n_threads: int | None = None, *, dim: str = "azimuth") -> Result:
    """Horizontal wind from radial velocities, by harmonic fits against azimuth.

    Parameters
    ----------
    vr : array_like, shape (R, G)
        Radial velocities, one fit per row (R rows of G samples). Bare arrays
        in m s-1. A sample is used when `vr` and `az` are both finite.
    az : array_like, shape (R, G)
        Azimuth of each sample, clockwise from north. Bare arrays in radians;
        DataArrays and Quantities in any angle units ("degree").
    cos_el : array_like, R elements
        Cosine of each row's elevation angle (dimensionless).
    min_gates : int
        Least number of valid samples for a fit (3 at the least).
    min_spread : float
        Least azimuth spread, the determinant of the covariance of
        (sin az, cos az): 0.25 for evenly spread azimuths, 0 when they
        coincide. The two-harmonic fit needs 0.25 × `min_spread`.
    n_threads : int, optional
        Worker threads; None or 0 for all hardware threads (one per dask task).
    dim : str
        DataArrays only: the sample dimension. Every other dimension of the
        broadcast `vr`, `az` and `cos_el` is a row (for a radar sweep of
        (azimuth, range): one fit per range gate).

    Returns
    -------
    ndarray, Dataset or tuple of Quantity
        For NumPy input, the kernel's ndarray of shape (8, R): u and v (eastward
        and northward wind, m s-1), offset a0 and rms residual of the
        first-harmonic fit (m s-1), number of valid samples, and offset c0 and
        second-harmonic coefficients c2, d2 of the two-harmonic fit (m s-1).
        DataArrays give a Dataset with `eastward_wind`, `northward_wind`,
        `offset`, `rms_residual`, `n_valid`, `offset_2`, `sin_2az`, `cos_2az`;
        Quantities a tuple of eight Quantities.

    Warns
    -----
    RuntimeWarning
        Bare arrays only: when an azimuth lies beyond 4π, which means degrees.

    Notes
    -----
    First-harmonic least-squares fit vr ≈ a0 + a1 sin(az) + b1 cos(az), so
    that u = a1 / cos_el and v = b1 / cos_el; the two-harmonic fit adds
    c2 sin(2 az) + d2 cos(2 az). Rejected fits are NaN.

    Examples
    --------
    >>> az = np.linspace(0, 2 * np.pi, 360, endpoint=False)[None, :]
    >>> vr = 2 + 0.9 * (10 * np.sin(az) + 5 * np.cos(az))
    >>> u, v, *_ = velmora.vad(vr, az, [0.9], 3, 0.1)
    """
    call = Call("vad", vr=(vr, SPEED), az=(az, ANGLE), cos_el=(cos_el, FRACTION))
    min_gates = integer("vad", "min_gates", min_gates, *INT64)
    min_spread = scalar("vad", "min_spread", min_spread, None)
    n_threads = threads("vad", n_threads)
    if call.labelled:
        def kernel(vr, az, cos_el):
            return tuple(_arrays._vad_nd(vr, az, cos_el, min_gates, min_spread, n_threads))

        return call.dataset(kernel, ["vr", "az", "cos_el"], VAD,
                            input_core_dims={"vr": [dim], "az": [dim]})
    if (size := _sizes(call, "vr", "az", "cos_el")) is not None:
        shape = call.shape("vr")
        call.require(len(shape) == 2 and call.shape("az") == shape,
                     "'vr' and 'az' must be 2-D (rows, samples) of one shape", "vr", "az")
        call.require(size["cos_el"] == shape[0],
                     "'cos_el' needs one value per row of 'vr'", "vr", "cos_el")
    az = call["az"]
    if call.bare and isinstance(az, np.ndarray) and az.size and np.nanmax(np.abs(az)) > 4 * np.pi:
        # No azimuth in radians needs more than two turns; degrees always do.
        warnings.warn("vad: azimuths beyond 4π; are they in degrees? Bare arrays are read in "
                      "radians", RuntimeWarning, stacklevel=2)
    out = _arrays.vad(call["vr"], az, call["cos_el"], min_gates, min_spread, n_threads)
    return call.result(out, VAD)


@overload
def profile(z: Plain, u: Plain, v: Plain, ground: Plain, bottom: float, top: float, cu: Plain,
            cv: Plain, n_threads: int | None = None, *, dim: str = "level") -> Array: ...
@overload
def profile(z: Labelled, u: Any, v: Any, ground: Any, bottom: Scalar, top: Scalar, cu: Any,
            cv: Any, n_threads: int | None = None, *, dim: str = "level") -> Dataset: ...
@overload
def profile(z: Quantity, u: Any, v: Any, ground: Any, bottom: Scalar, top: Scalar, cu: Any,
            cv: Any, n_threads: int | None = None, *, dim: str = "level") -> Quantities: ...
@overload
def profile(z: Any, u: Any, v: Any, ground: Any, bottom: Scalar, top: Scalar, cu: Any,
            cv: Any, n_threads: int | None = None, *, dim: str = "level") -> Result: ...
def profile(z: Input, u: Input, v: Input, ground: Input, bottom: Scalar, top: Scalar,
            cu: Input, cv: Input, n_threads: int | None = None, *,
            dim: str = "level") -> Result:
    """Layer winds, storm-relative helicity and layer-mean wind per column.

    Parameters
    ----------
    z : array_like, K·J elements read as (K, J)
        Heights of the levels. Bare arrays in m.
    u, v : array_like, shape (K, J) (v: K·J elements)
        Eastward and northward wind, columns × levels. Bare arrays in m s-1.
    ground : array_like, K elements
        Ground height per column (m); non-finite: the height of the column's
        first valid level.
    bottom, top : float
        Layer bounds above ground (m), `bottom` below `top`. A bound within
        1e-6 m beyond the valid levels takes the end level's wind.
    cu, cv : array_like, K elements
        Storm motion per column (m s-1).
    n_threads : int, optional
        Worker threads; None or 0 for all hardware threads (one per dask task).
    dim : str
        DataArrays only: the level dimension of `z`, `u` and `v`; every other
        dimension is a column (any grid). `z` may be 1-D (levels shared).

    Returns
    -------
    ndarray, Dataset or tuple of Quantity
        For NumPy input, the kernel's ndarray of shape (7, K): u and v at the
        layer bottom, u and v at the layer top (m s-1), storm-relative helicity
        (m2 s-2; NaN for a missing storm motion), and the height-weighted mean u
        and v of the layer (m s-1). A column whose layer bounds cannot be found is
        NaN. DataArrays give a Dataset with `u_bottom`, `v_bottom`, `u_top`,
        `v_top`, `storm_relative_helicity`, `u_mean`, `v_mean`.

    Raises
    ------
    ValueError
        When `bottom` is not below `top` (a reversed layer would flip the
        sign of the helicity).

    Notes
    -----
    Helicity is the discrete sum over consecutive points of the layer
    (bottom, levels inside, top) of (u₊ − cu)(v − cv) − (u − cu)(v₊ − cv);
    the mean wind is the trapezoidal height-weighted mean.

    Columns stored top-down (height decreasing with the level index) are
    reversed before the kernel sees them, so they give the results of the
    same column stored bottom-up. Each column is judged on its own by the
    first and last finite heights.

    Examples
    --------
    >>> velmora.profile([0, 1000], [[0, 10]], [10, 0], [0], 0.0, 1000.0, [0], [0])[:, 0]
    array([  0.,  10.,  10.,   0., 100.,   5.,   5.])
    """
    call = Call("profile", z=(z, HEIGHT), u=(u, SPEED), v=(v, SPEED), ground=(ground, HEIGHT),
                cu=(cu, SPEED), cv=(cv, SPEED))
    bottom, top = _layer("profile", call, bottom, top)
    n_threads = threads("profile", n_threads)
    if call.labelled:
        def kernel(z, u, v, ground, cu, cv):
            return tuple(_arrays._profile_nd(z, u, v, ground, bottom, top, cu, cv, n_threads))

        return call.dataset(kernel, ["z", "u", "v", "ground", "cu", "cv"], PROFILE,
                            input_core_dims={"z": [dim], "u": [dim], "v": [dim]})
    if (size := _sizes(call, "z", "u", "v", "ground", "cu", "cv")) is not None:
        call.require(len(call.shape("u")) == 2, "'u' must be 2-D (columns, levels)", "u")
        columns = call.shape("u")[0]
        call.require(size["z"] == size["v"] == size["u"],
                     "'z' and 'v' need as many elements as 'u'", "z", "u", "v")
        call.require(size["ground"] == size["cu"] == size["cv"] == columns,
                     "'ground', 'cu' and 'cv' need one value per column of 'u'",
                     "u", "ground", "cu", "cv")
    out = _arrays.profile(call["z"], call["u"], call["v"], call["ground"], bottom, top,
                          call["cu"], call["cv"], n_threads)
    return call.result(out, PROFILE)


def _layer(function: str, call: Call, bottom: Any, top: Any) -> tuple[float, float]:
    """The layer bounds in m, bottom below top (NaN passes: it gives NaN columns)."""
    bottom = call.scalar("bottom", bottom, HEIGHT)
    top = call.scalar("top", top, HEIGHT)
    if bottom >= top:
        raise ValueError(f"{function}(): the layer bottom ({bottom:g} m) must lie below its "
                         f"top ({top:g} m)")
    return bottom, top


@overload
def cold_pool(z: Plain, b: Plain, bottom: Plain, threshold: float, top: Plain,
              n_threads: int | None = None, *, dim: str = "level") -> Array: ...
@overload
def cold_pool(z: Labelled, b: Any, bottom: Any, threshold: Scalar, top: Any,
              n_threads: int | None = None, *, dim: str = "level") -> Dataset: ...
@overload
def cold_pool(z: Quantity, b: Any, bottom: Any, threshold: Scalar, top: Any,
              n_threads: int | None = None, *, dim: str = "level") -> Quantities: ...
@overload
def cold_pool(z: Any, b: Any, bottom: Any, threshold: Scalar, top: Any,
              n_threads: int | None = None, *, dim: str = "level") -> Result: ...
def cold_pool(z: Input, b: Input, bottom: Input, threshold: Scalar, top: Input,
              n_threads: int | None = None, *, dim: str = "level") -> Result:
    """Cold-pool intensity, layer depth and top-not-found flag per column.

    Parameters
    ----------
    z : array_like, shape (K, J)
        Heights of J levels in K columns. Bare arrays in m.
    b : array_like, shape (K, J)
        Buoyancy (m s-2), negative inside the cold pool. A level is used when
        `z` and `b` are both finite.
    bottom : array_like, K elements
        Lowest height of the base level (m); non-finite: no lower bound.
    threshold : float
        Buoyancy that marks the pool top in threshold mode (m s-2).
    top : array_like, K elements
        Finite: depth of the layer above the base level (m, fixed-depth mode).
        Non-finite: integrate up to where `b` first reaches `threshold`.
    n_threads : int, optional
        Worker threads; None or 0 for all hardware threads (one per dask task).
    dim : str
        DataArrays only: the level dimension of `z` and `b`; every other
        dimension is a column (any grid). `z` may be 1-D (levels shared).

    Returns
    -------
    ndarray, Dataset or tuple of Quantity
        For NumPy input, the kernel's ndarray of shape (3, K): intensity
        sqrt(2 I) (m s-1) with I the trapezoidal integral of −b dz over the layer,
        the layer depth (m), and 1.0 where threshold mode ran out of levels
        before reaching the threshold (else 0). A column without a base level is
        NaN. DataArrays give a Dataset with `intensity`, `depth`, `top_not_found`.

    Notes
    -----
    Columns stored top-down (height decreasing with the level index) are
    reversed before the kernel sees them, so they give the results of the
    same column stored bottom-up. Each column is judged on its own by the
    first and last finite heights.

    Examples
    --------
    >>> velmora.cold_pool([[0, 100, 200]], [[-2, -1, 0]], [np.nan], -0.5, [np.nan])[:, 0]
    array([ 19.36491673, 150.        ,   0.        ])
    """
    call = Call("cold_pool", z=(z, HEIGHT), b=(b, BUOYANCY), bottom=(bottom, HEIGHT),
                top=(top, HEIGHT))
    threshold = call.scalar("threshold", threshold, BUOYANCY)
    n_threads = threads("cold_pool", n_threads)
    if call.labelled:
        def kernel(z, b, bottom, top):
            return tuple(_arrays._cold_pool_nd(z, b, bottom, threshold, top, n_threads))

        return call.dataset(kernel, ["z", "b", "bottom", "top"], COLD_POOL,
                            input_core_dims={"z": [dim], "b": [dim]})
    if (size := _sizes(call, "z", "b", "bottom", "top")) is not None:
        shape = call.shape("b")
        call.require(len(shape) == 2 and call.shape("z") == shape,
                     "'z' and 'b' must be 2-D (columns, levels) of one shape", "z", "b")
        call.require(size["bottom"] == size["top"] == shape[0],
                     "'bottom' and 'top' need one value per column of 'b'", "b", "bottom", "top")
    out = _arrays.cold_pool(call["z"], call["b"], call["bottom"], threshold, call["top"],
                            n_threads)
    return call.result(out, COLD_POOL)


@overload
def gradient(f: Plain, x: Plain, y: Plain, n_threads: int | None = None, *,
             dims: tuple[str, str] = ("y", "x")) -> Array: ...
@overload
def gradient(f: Labelled, x: Any = None, y: Any = None, n_threads: int | None = None, *,
             dims: tuple[str, str] = ("y", "x")) -> Dataset: ...
@overload
def gradient(f: Quantity, x: Any, y: Any, n_threads: int | None = None, *,
             dims: tuple[str, str] = ("y", "x")) -> Quantities: ...
@overload
def gradient(f: Any, x: Any = None, y: Any = None, n_threads: int | None = None, *,
             dims: tuple[str, str] = ("y", "x")) -> Result: ...
def gradient(f: Input, x: Input | None = None, y: Input | None = None,
             n_threads: int | None = None, *, dims: tuple[str, str] = ("y", "x")) -> Result:
    """Derivatives along x and y of fields on a non-uniform rectilinear grid.

    Parameters
    ----------
    f : array_like, shape (B, NY, NX)
        B fields laid out (batch, y, x), in any units.
    x : array_like, NX elements
        Coordinates of the columns (last axis of `f`). Bare arrays in m.
        DataArrays: optional, by default the coordinate of `f` along
        ``dims[1]``, converted from its `units`.
    y : array_like, NY elements
        Coordinates of the rows. Bare arrays in m; DataArrays as `x`.
    n_threads : int, optional
        Worker threads; None or 0 for all hardware threads (one per dask task).
    dims : (str, str)
        DataArrays only: the y and x dimensions of `f`. All other dimensions
        are batch and keep their place.

    Returns
    -------
    ndarray, Dataset or tuple of Quantity
        For NumPy input, the kernel's ndarray of shape (2, B, NY, NX): ∂f/∂x and
        ∂f/∂y, in the units of `f` per metre. DataArrays give a Dataset with
        ``d{name}_d{x}`` and ``d{name}_d{y}`` (name of `f`, or "f"), units those
        of `f` followed by "m-1"; Quantities give two Quantities.

    Notes
    -----
    First-order centred difference (f[i+1] − f[i−1]) / (x[i+1] − x[i−1])
    where both neighbours are finite; one-sided differences (f[i+1] − f[i]) /
    (x[i+1] − x[i]) or (f[i] − f[i−1]) / (x[i] − x[i−1]) next to missing
    values and at the grid edges; NaN where the point itself or both
    neighbours are missing.

    Examples
    --------
    >>> x, y = np.array([0.0, 1.0, 3.0]), np.array([0.0, 2.0])
    >>> dfdx, dfdy = velmora.gradient((2 * x + 3 * y[:, None])[None], x, y)
    """
    y_dim, x_dim = dims
    if x is None or y is None:
        if not is_dataarray(f):
            raise TypeError("gradient(): arguments 'x' and 'y' are required unless f is a "
                            "DataArray")
        field: Any = f
        for name, dim in (("x", x_dim), ("y", y_dim)):
            if dim not in field.dims:
                raise ValueError(f"gradient(): argument '{name}' not given and f has no "
                                 f"dimension '{dim}'; pass dims=(y, x)")
        x = field[x_dim] if x is None else x
        y = field[y_dim] if y is None else y
    call = Call("gradient", f=(f, ANY), x=(x, HEIGHT), y=(y, HEIGHT))
    n_threads = threads("gradient", n_threads)
    if call.labelled:
        name = getattr(f, "name", None) or "f"
        outputs = [Output(f"d{name}_d{d}", "{f}", f"derivative of {name} along {d}",
                          per_metre=True) for d in (x_dim, y_dim)]
        x_coord = np.asarray(call["x"].values, dtype=np.float64)
        y_coord = np.asarray(call["y"].values, dtype=np.float64)

        def kernel(f):
            return tuple(_arrays._gradient_nd(f, x_coord, y_coord, n_threads))

        result = call.dataset(kernel, ["f"], outputs, input_core_dims={"f": [y_dim, x_dim]},
                              output_core_dims=[[y_dim, x_dim]] * 2)
        return result.transpose(*call["f"].dims)
    if (size := _sizes(call, "f", "x", "y")) is not None:
        shape = call.shape("f")
        call.require(len(shape) == 3, "'f' must be 3-D (batch, y, x)", "f")
        call.require(size["x"] == shape[2] and size["y"] == shape[1],
                     "'x' needs one value per column of 'f' and 'y' one per row", "f", "x", "y")
    out = _arrays.gradient(call["f"], call["x"], call["y"], n_threads)
    outputs = [Output(f"df_d{d}", "{f}", f"derivative along {d}", per_metre=True)
               for d in ("x", "y")]
    return call.result(out, outputs)
