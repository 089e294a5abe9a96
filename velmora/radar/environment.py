"""Storm-relative helicity and layer-mean wind of a wind profile."""

from typing import Any

import numpy as np
import xarray as xr

from .. import calc as _kernels
from ._attrs import _var

LAYERS = ((0.0, 1000.0), (0.0, 3000.0))  # m above ground


def _meters_per_second(value):
    return float(value.m_as("m/s")) if hasattr(value, "m_as") else float(value)


def helicity(profile: xr.Dataset, storm_motion: Any, layers: Any = LAYERS, *,
             surface_wind: Any = None, n_threads: int = 0) -> xr.Dataset:
    """Storm-relative helicity and layer-mean wind of a wind profile.

    The helicity is the discrete sum over consecutive levels (u, v) of the
    layer, bounds interpolated: Σ (u_next − cu)(v − cv) − (u − cu)(v_next − cv),
    in m²/s²; the layer-mean wind is the height-weighted trapezoidal mean.

    Heights count from the ground. A VWP sees nothing below its lowest gate,
    so by default the lowest level with a wind is taken as the ground (as
    MetPy does with a sounding); give `surface_wind` to add the wind at the
    radar (height 0) and count from there instead.

    Parameters
    ----------
    profile : xarray.Dataset
        ``u``, ``v`` (m/s) along ``height`` (m), for example from `vwp`.
    storm_motion : (float, float)
        Storm motion (cu, cv), m/s (plain numbers or pint quantities).
    layers : sequence of (bottom, top)
        Layers in m above ground; default 0-1 km and 0-3 km.
    surface_wind : (float, float), optional
        Wind at the ground, m/s.

    Returns
    -------
    xarray.Dataset
        Along ``layer``: ``storm_relative_helicity``, ``mean_u``, ``mean_v``,
        with ``layer_bottom`` and ``layer_top`` (m) as coordinates. A layer the
        profile does not cover holds NaN.
    """
    z = np.asarray(profile["height"], dtype=np.float64)
    u = np.asarray(profile["u"], dtype=np.float64)
    v = np.asarray(profile["v"], dtype=np.float64)
    ground = np.nan
    if surface_wind is not None:
        z = np.concatenate([[0.0], z])
        u = np.concatenate([[_meters_per_second(surface_wind[0])], u])
        v = np.concatenate([[_meters_per_second(surface_wind[1])], v])
        ground = 0.0
    cu = np.array([_meters_per_second(storm_motion[0])])
    cv = np.array([_meters_per_second(storm_motion[1])])
    layers = np.asarray(layers, dtype=np.float64).reshape(-1, 2)
    rows = [_kernels.profile(z, u[None, :], v, np.array([ground]), bottom, top, cu, cv,
                             n_threads)[:, 0] for bottom, top in layers]
    out = np.array(rows).reshape(-1, 7)
    dims = ("layer",)
    return xr.Dataset(
        {"storm_relative_helicity": _var("storm_relative_helicity", dims, out[:, 4]),
         "mean_u": _var("mean_u", dims, out[:, 5]),
         "mean_v": _var("mean_v", dims, out[:, 6])},
        {"layer_bottom": xr.Variable(dims, layers[:, 0], {"units": "m",
                                                          "long_name": "layer bottom above ground"}),
         "layer_top": xr.Variable(dims, layers[:, 1], {"units": "m",
                                                       "long_name": "layer top above ground"})},
        attrs={"storm_motion_u": float(cu[0]), "storm_motion_v": float(cv[0]),
               "ground": "lowest level" if surface_wind is None else "radar (surface wind given)"})
