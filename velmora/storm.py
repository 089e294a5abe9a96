"""The storm environment of wind profiles, without pressure: supercell motion
and bulk wind difference, on any grid of columns.

Both are built on the `profile` kernel's layer means and end winds, through
the same input families as `velmora.calc`: NumPy arrays (heights in m above
sea level or any common datum, winds in m s-1), masked arrays, pint
Quantities, dask arrays and xarray DataArrays.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from . import _arrays
from ._inputs import HEIGHT, SPEED, Call, Output, threads
from .calc import Result, _eastward, _layer, _northward

__all__ = ["storm_motion", "bulk_shear"]

STORM_MOTION = [
    _eastward("u_right", "of the right-moving supercell (Bunkers)"),
    _northward("v_right", "of the right-moving supercell (Bunkers)"),
    _eastward("u_left", "of the left-moving supercell (Bunkers)"),
    _northward("v_left", "of the left-moving supercell (Bunkers)"),
    _eastward("u_mean", "averaged over 0-6 km above ground"),
    _northward("v_mean", "averaged over 0-6 km above ground"),
]

BULK_SHEAR = [
    Output("u_shear", "m s-1", "eastward wind at the layer top minus at its bottom"),
    Output("v_shear", "m s-1", "northward wind at the layer top minus at its bottom"),
]

# Bunkers et al. (2000), the height-based form: the 0-6 km mean wind, the
# shear from the 0-0.5 km mean to the 5.5-6 km mean, 7.5 m/s off to each side.
BUNKERS_DEPTH = 6000.0  # m
BUNKERS_END_DEPTH = 500.0  # m, depth of the layers at each end of the shear vector
BUNKERS_DEVIATION = 7.5  # m s-1



def _rowwise(combine, n_rows: int, *outs: Any) -> Any:
    """combine(*outs) on NumPy outputs of the profile kernel, or block by block on dask ones.

    The kernel's outputs of one call share their column chunks, so each block
    of the result comes from the same columns of every input.
    """
    if not any(_arrays._any_dask(o) for o in outs):
        return combine(*outs)
    import dask.array as da

    return da.map_blocks(combine, *outs, chunks=((n_rows,),) + outs[0].chunks[1:],
                         dtype=np.float64)


def _bunkers(layer: np.ndarray, low: np.ndarray, high: np.ndarray) -> np.ndarray:
    """Right mover, left mover and mean wind (6, ...) from three profile outputs.

    `layer` is the 0-6 km output, `low` the 0-0.5 km one, `high` the 5.5-6 km
    one; rows 5 and 6 of each are the layer-mean wind.
    """
    mean_u, mean_v = layer[5], layer[6]
    shear_u, shear_v = high[5] - low[5], high[6] - low[6]
    with np.errstate(divide="ignore", invalid="ignore"):
        # No shear, no direction to deviate to: NaN rather than a guess.
        scale = BUNKERS_DEVIATION / np.hypot(shear_u, shear_v)
        scale = np.where(np.isfinite(scale), scale, np.nan)
    dev_u, dev_v = shear_v * scale, -shear_u * scale
    return np.stack([mean_u + dev_u, mean_v + dev_v, mean_u - dev_u, mean_v - dev_v,
                     mean_u, mean_v])


def _shear(layer: np.ndarray) -> np.ndarray:
    return np.stack([layer[2] - layer[0], layer[3] - layer[1]])


def _from_layers(call: Call, layers: list[tuple[float, float]], combine, outputs: list[Output],
                 n_threads: int | None, dim: str) -> Result:
    """combine(*outs) of the profile kernel's outputs over `layers`, in the call's family."""
    nan = np.array(np.nan)  # no storm motion: the helicity row is not wanted
    if call.labelled:
        def kernel(z, u, v, ground):
            outs = [_arrays._profile_nd(z, u, v, ground, bottom, top, nan, nan, n_threads)
                    for bottom, top in layers]
            return tuple(_rowwise(combine, len(outputs), *outs))

        return call.dataset(kernel, ["z", "u", "v", "ground"], outputs,
                            input_core_dims={"z": [dim], "u": [dim], "v": [dim]})
    k = np.shape(call["u"])[0] if np.ndim(call["u"]) == 2 else 0
    nan_k = np.full(k, np.nan)
    outs = [_arrays.profile(call["z"], call["u"], call["v"], call["ground"], bottom, top,
                            nan_k, nan_k, n_threads) for bottom, top in layers]
    return call.result(_rowwise(combine, len(outputs), *outs), outputs)


def storm_motion(z: ArrayLike, u: ArrayLike, v: ArrayLike, ground: ArrayLike,
                 n_threads: int | None = None, *, dim: str = "level") -> Result:
    """Supercell motion without pressure: Bunkers et al. (2000), height-based.

    Parameters
    ----------
    z, u, v, ground : array_like
        Heights (m), eastward and northward wind (m s-1) of K columns of J
        levels and the ground height per column, laid out as for `profile`.
    n_threads : int, optional
        Worker threads; None or 0 for all hardware threads (one per dask task).
    dim : str
        DataArrays only: the level dimension, as for `profile`.

    Returns
    -------
    ndarray, Dataset or tuple of Quantity
        For NumPy input an ndarray of shape (6, K): u and v of the right mover,
        u and v of the left mover, and u and v of the 0–6 km mean wind (m s-1).
        DataArrays give a Dataset with `u_right`, `v_right`, `u_left`, `v_left`,
        `u_mean`, `v_mean`; Quantities a tuple of six Quantities. A column whose
        winds end below 6 km above ground (or start above it) is NaN; so is a
        column without shear between the two end layers.

    Notes
    -----
    With V the 0–6 km mean wind, S the 5.5–6 km mean wind minus the 0–0.5 km
    mean wind and D = 7.5 m s-1, the right mover is V + D (S_v, −S_u) / |S| and
    the left mover V − D (S_v, −S_u) / |S|. Every mean is the `profile`
    kernel's height-weighted trapezoidal layer mean, so no pressure is needed;
    the original method weights by pressure, which differs by a few tenths
    of a m s-1 on real soundings.

    References
    ----------
    Bunkers, M. J., B. A. Klimowski, J. W. Zeitler, R. L. Thompson and
    M. L. Weisman, 2000: Predicting supercell motion using a new hodograph
    technique. Wea. Forecasting, 15, 61–79.

    Examples
    --------
    >>> z = np.array([0.0, 6000.0])
    >>> velmora.storm_motion(z, [[0.0, 10.0]], [0.0, 0.0], [0.0])[:, 0]
    array([ 5. , -7.5,  5. ,  7.5,  5. ,  0. ])
    """
    call = Call("storm_motion", z=(z, HEIGHT), u=(u, SPEED), v=(v, SPEED),
                ground=(ground, HEIGHT))
    n_threads = threads("storm_motion", n_threads)
    layers = [(0.0, BUNKERS_DEPTH), (0.0, BUNKERS_END_DEPTH),
              (BUNKERS_DEPTH - BUNKERS_END_DEPTH, BUNKERS_DEPTH)]
    return _from_layers(call, layers, _bunkers, STORM_MOTION, n_threads, dim)


def bulk_shear(z: ArrayLike, u: ArrayLike, v: ArrayLike, ground: ArrayLike, bottom: float,
               top: float, n_threads: int | None = None, *, dim: str = "level") -> Result:
    """Bulk wind difference over a layer: the wind at its top minus the wind at its bottom.

    Parameters
    ----------
    z, u, v, ground : array_like
        Heights (m), eastward and northward wind (m s-1) of K columns of J
        levels and the ground height per column, laid out as for `profile`.
    bottom, top : float
        Layer bounds above ground (m), `bottom` below `top`.
    n_threads : int, optional
        Worker threads; None or 0 for all hardware threads (one per dask task).
    dim : str
        DataArrays only: the level dimension, as for `profile`.

    Returns
    -------
    ndarray, Dataset or tuple of Quantity
        For NumPy input an ndarray of shape (2, K): the eastward and northward
        components of the shear (m s-1). DataArrays give a Dataset with
        `u_shear`, `v_shear`; Quantities two Quantities. A column whose winds
        do not reach both bounds is NaN.

    Raises
    ------
    ValueError
        When `bottom` is not below `top`.

    Notes
    -----
    The end winds are the `profile` kernel's: a level's wind where a bound
    falls on it, else interpolated linearly in height between the levels
    either side.

    Examples
    --------
    >>> velmora.bulk_shear([0.0, 6000.0], [[0.0, 12.0]], [0.0, 6.0], [0.0], 0.0, 6000.0)[:, 0]
    array([12.,  6.])
    """
    call = Call("bulk_shear", z=(z, HEIGHT), u=(u, SPEED), v=(v, SPEED),
                ground=(ground, HEIGHT))
    bottom, top = _layer("bulk_shear", call, bottom, top)
    n_threads = threads("bulk_shear", n_threads)
    return _from_layers(call, [(bottom, top)], _shear, BULK_SHEAR, n_threads, dim)
