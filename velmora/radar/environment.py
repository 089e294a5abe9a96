"""The storm environment of a wind profile: helicity, storm motion, bulk shear.

Every quantity comes from the `profile` kernel through `velmora.calc`, on
one column built from the profile: its heights above the radar, its winds
converted from their units, and the ground it counts from.

Heights count from the radar, which stands in for the ground. A VWP bin's
wind stands for its whole bin, so where the profile carries `height_bounds`
the lowest wind reaches down to its bin's lower edge and the highest up to
its bin's upper edge. A layer beyond the winds gives NaN with the reason,
never a shorter layer in disguise; `from_lowest_level=True` counts heights
from the lowest wind instead (the sounding convention), and `surface_wind`
adds the wind at the radar.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import Any


import numpy as np
import xarray as xr

from .. import calc as _kernels
from .. import storm as _storm
from .._inputs import HEIGHT, SPEED, is_dataarray, unwrap
from ._attrs import _var, dataset

LAYERS = ((0.0, 1000.0), (0.0, 3000.0))  # m above ground
SHEAR_LAYERS = ((0.0, 1000.0), (0.0, 3000.0), (0.0, 6000.0))  # m above ground
# Storms move at up to about 30 m/s; a component beyond this is more likely a
# direction in degrees than a speed.
PLAUSIBLE_STORM_SPEED = 50.0  # m s-1
BUNKERS = "Bunkers right mover (Bunkers et al. 2000, height-based 0-6 km)"


@dataclass
class _Column:
    """One wind column for the kernel, with what the messages need to say."""

    z: np.ndarray  # m above the radar, increasing
    u: np.ndarray  # m s-1
    v: np.ndarray  # m s-1
    ground: float  # m above the radar; NaN: the lowest wind
    ground_says: str  # the output's "ground" attribute

    @property
    def reference(self) -> float:
        return self.z[0] if np.isnan(self.ground) else self.ground

    def reason(self, bottom: float, top: float) -> str:
        """Why the layer (m above ground) has no value; "" when the column covers it."""
        if self.z.size == 0:
            return "the profile holds no wind"
        tolerance = 1e-6  # the kernel's
        g = self.reference
        reasons = []
        if bottom + g < self.z[0] - tolerance:
            reasons.append(f"the winds start at {self.z[0] - g:.0f} m above ground, above the "
                           f"layer bottom (from_lowest_level=True counts from there)")
        if top + g > self.z[-1] + tolerance:
            reasons.append(f"the winds end at {self.z[-1] - g:.0f} m above ground, below the "
                           f"layer top")
        return "; ".join(reasons)

    def profile(self, bottom: float, top: float, cu: float = np.nan, cv: float = np.nan):
        """The kernel's seven results for this column and layer."""
        return _kernels.profile(self.z, self.u[None, :], self.v, np.array([self.ground]),
                                bottom, top, np.array([cu]), np.array([cv]), 1)[:, 0]


def _wind_variable(profile: xr.Dataset, names: tuple[str, ...], standard_name: str):
    for name in names:
        if name in profile.variables:
            return name
    for name, var in profile.data_vars.items():
        if var.attrs.get("standard_name") == standard_name and var.dims == ("height",):
            return name
    raise ValueError(f"the profile has no {' or '.join(names)} variable along 'height'")


def _column(function: str, profile: Any, from_lowest_level: bool,
            surface_wind: Any) -> _Column:
    """The profile's valid levels in m and m s-1, and the ground they count from."""
    if not isinstance(profile, xr.Dataset) or "height" not in profile.variables:
        raise TypeError(f"{function}(): argument 'profile' must be a Dataset along 'height' "
                        f"(from velmora.radar.vwp), not {type(profile).__name__}")
    u_name = _wind_variable(profile, ("eastward_wind", "u"), "eastward_wind")
    v_name = _wind_variable(profile, ("northward_wind", "v"), "northward_wind")
    z = _values(function, "height", profile["height"], HEIGHT)
    u = _values(function, u_name, profile[u_name], SPEED)
    v = _values(function, v_name, profile[v_name], SPEED)
    if z.ndim != 1 or u.shape != z.shape or v.shape != z.shape:
        raise ValueError(f"{function}(): the profile's winds must be 1-D along 'height'")
    valid = np.isfinite(z) & np.isfinite(u) & np.isfinite(v)
    order = np.argsort(z[valid], kind="stable")
    z, u, v = z[valid][order], u[valid][order], v[valid][order]
    if from_lowest_level and surface_wind is not None:
        raise ValueError(f"{function}(): give either surface_wind or from_lowest_level=True")
    if from_lowest_level:
        where = f"{z[0]:.0f} m above the radar" if z.size else "none"
        return _Column(z, u, v, np.nan, f"lowest level with a wind ({where})")
    if surface_wind is not None:
        su, sv = (_speed(function, "surface_wind", c) for c in _pair("surface_wind", surface_wind))
        keep = z > 0.0  # the surface wind replaces anything at or below the radar
        return _Column(np.r_[0.0, z[keep]], np.r_[su, u[keep]], np.r_[sv, v[keep]], 0.0,
                       "radar, with the surface wind given")
    if "height_bounds" in profile.variables and z.size:
        z, u, v = _to_bin_edges(function, profile, z, u, v)
    return _Column(z, u, v, 0.0, "radar")


def _to_bin_edges(function, profile, z, u, v):
    """The end winds held to the outer edges of their bins (a bin mean stands for the bin)."""
    bounds = profile["height_bounds"]
    if "units" not in bounds.attrs and "units" in profile["height"].attrs:
        bounds = bounds.assign_attrs(units=profile["height"].attrs["units"])
    edges = _values(function, "height_bounds", bounds, HEIGHT).reshape(-1, 2)
    centres = _values(function, "height", profile["height"], HEIGHT)
    low = edges[np.flatnonzero(centres == z[0])[0]].min()
    high = edges[np.flatnonzero(centres == z[-1])[0]].max()
    if low < z[0]:
        z, u, v = np.r_[low, z], np.r_[u[0], u], np.r_[v[0], v]
    if high > z[-1]:
        z, u, v = np.r_[z, high], np.r_[u, u[-1]], np.r_[v, v[-1]]
    return z, u, v


def _values(function: str, name: str, da: xr.DataArray, units) -> np.ndarray:
    data, _ = unwrap(function, name, da, units)
    return np.asarray(data, dtype=np.float64)


def _pair(name: str, value: Any) -> tuple[Any, Any]:
    try:
        ok = not isinstance(value, (str, bytes)) and len(value) == 2
    except TypeError:
        ok = False
    if not ok:
        raise TypeError(f"argument '{name}' must be a pair (u, v) of speeds, got {value!r}")
    return value[0], value[1]


def _speed(function: str, name: str, value: Any) -> float:
    """One speed component in m s-1: a number (m s-1) or a Quantity, never a string."""
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{function}(): argument '{name}' holds the string {value!r}; "
                        f"expected a number in m s-1 or a Quantity")
    magnitude, given = unwrap(function, name, value, SPEED)
    if np.ndim(magnitude) != 0:
        raise TypeError(f"{function}(): argument '{name}' must hold two scalars (u, v)")
    return float(magnitude)


def _storm_motion_argument(function: str, storm_motion: Any) -> tuple[float, float]:
    cu, cv = (_speed(function, "storm_motion", c) for c in _pair("storm_motion", storm_motion))
    if max(abs(cu), abs(cv)) > PLAUSIBLE_STORM_SPEED:
        warnings.warn(f"{function}(): storm_motion ({cu:g}, {cv:g}) m/s is implausible as "
                      f"eastward and northward components; is it a direction and a speed? "
                      f"Give (u, v) in m/s", UserWarning, stacklevel=3)
    return cu, cv


def _length(function: str, value: Any) -> float:
    """A layer bound in m: a bare number (m), a Quantity or a string with units ("1 km")."""
    if isinstance(value, str):
        from ..units import units

        try:
            value = units.Quantity(value)
        except Exception:
            raise ValueError(f"{function}(): layer bound {value!r} is not understood; "
                             f"expected a length such as '1 km'") from None
        if not isinstance(value, units.Quantity):  # a bare number in a string
            value = float(value) * units.m
    if is_dataarray(value):
        value = value.data
    magnitude, _ = unwrap(function, "layers", value, HEIGHT)
    if np.ndim(magnitude) != 0:
        raise TypeError(f"{function}(): each layer bound must be a scalar")
    return float(magnitude)


def _layers(function: str, layers: Any) -> np.ndarray:
    """The (n, 2) layer bounds in m above ground, each bottom below its top."""
    if isinstance(layers, str) or not hasattr(layers, "__len__"):
        raise TypeError(f"{function}(): 'layers' must be a sequence of (bottom, top) pairs")
    if len(layers) == 2 and not any(np.ndim(b) or isinstance(b, (tuple, list)) for b in layers):
        layers = [layers]  # one layer given as a pair
    out = []
    for layer in layers:
        if isinstance(layer, str) or len(layer) != 2:
            raise TypeError(f"{function}(): each layer must be a (bottom, top) pair, "
                            f"got {layer!r}")
        bottom, top = (_length(function, b) for b in layer)
        if not bottom < top:
            raise ValueError(f"{function}(): the layer bottom ({bottom:g} m) must lie below "
                             f"its top ({top:g} m)")
        bare = not any(isinstance(b, str) or hasattr(b, "units") for b in layer)
        if bare and top <= 20.0:
            warnings.warn(f"{function}(): layer ({bottom:g}, {top:g}) is read in metres, as "
                          f"bare numbers are; for kilometres write ('{bottom:g} km', "
                          f"'{top:g} km')", UserWarning, stacklevel=3)
        out.append((bottom, top))
    return np.array(out, dtype=np.float64).reshape(-1, 2)


def _layer_coords(layers: np.ndarray) -> dict[str, xr.Variable]:
    dims = ("layer",)
    return {"layer_bottom": xr.Variable(dims, layers[:, 0],
                                        {"units": "m", "long_name": "layer bottom above ground"}),
            "layer_top": xr.Variable(dims, layers[:, 1],
                                     {"units": "m", "long_name": "layer top above ground"})}


def _reasons(reasons: list[str]) -> xr.Variable:
    return xr.Variable(("layer",), np.array(reasons, dtype=str),
                       {"long_name": "why the layer has no value (empty where it has one)"})


def _bunkers(column: _Column) -> tuple[np.ndarray, str]:
    """The six storm-motion values of the column, and why they are missing ("" if not)."""
    out = _storm.storm_motion(column.z, column.u[None, :], column.v,
                                np.array([column.ground]), 1)[:, 0]
    if np.all(np.isfinite(out)):
        return out, ""
    reason = column.reason(0.0, _storm.BUNKERS_DEPTH)
    return out, reason or "no shear between the lowest and highest 500 m of the 0-6 km layer"


def storm_motion(profile: xr.Dataset, *, from_lowest_level: bool = False,
                 surface_wind: Any = None) -> xr.Dataset:
    """Supercell motion of a wind profile: Bunkers et al. (2000), height-based.

    The 0–6 km mean wind, and 7.5 m/s to the right and to the left of the
    shear from the 0–0.5 km mean wind to the 5.5–6 km one (see
    `velmora.storm_motion`); no pressure is needed.

    Parameters
    ----------
    profile : xarray.Dataset
        ``eastward_wind``, ``northward_wind`` along ``height`` above the radar,
        as from `vwp`; any units of speed and length.
    from_lowest_level : bool
        Count heights from the lowest wind rather than from the radar.
    surface_wind : (float, float), optional
        Wind at the radar, m/s.

    Returns
    -------
    xarray.Dataset
        Scalars ``u_right``, ``v_right``, ``u_left``, ``v_left``, ``u_mean``,
        ``v_mean`` (m s-1); NaN with the reason in the attribute ``reason``
        when the winds do not cover 0–6 km.

    References
    ----------
    Bunkers, M. J., B. A. Klimowski, J. W. Zeitler, R. L. Thompson and
    M. L. Weisman, 2000: Predicting supercell motion using a new hodograph
    technique. Wea. Forecasting, 15, 61–79.
    """
    column = _column("storm_motion", profile, from_lowest_level, surface_wind)
    out, reason = _bunkers(column)
    data = {o.name: xr.Variable((), out[k], o.attrs({}))
            for k, o in enumerate(_storm.STORM_MOTION)}
    return xr.Dataset(data, attrs={"method": BUNKERS, "ground": column.ground_says,
                                   "reason": reason})


def bulk_shear(profile: xr.Dataset, layers: Any = SHEAR_LAYERS, *, from_lowest_level: bool = False,
               surface_wind: Any = None) -> xr.Dataset:
    """Bulk wind difference of each layer of a wind profile: top wind minus bottom wind.

    Parameters
    ----------
    profile : xarray.Dataset
        As for `storm_motion`.
    layers : sequence of (bottom, top)
        Layers above ground: bare numbers in m, Quantities, or strings with
        units ("6 km"). Default 0–1, 0–3 and 0–6 km.
    from_lowest_level, surface_wind
        As for `helicity`.

    Returns
    -------
    xarray.Dataset
        Along ``layer``: ``u_shear``, ``v_shear`` (m s-1) and ``reason``, with
        ``layer_bottom`` and ``layer_top`` (m) as coordinates. A layer the
        profile does not cover holds NaN, and its reason says why.
    """
    layers = _layers("bulk_shear", layers)
    column = _column("bulk_shear", profile, from_lowest_level, surface_wind)
    rows, reasons = [], []
    for bottom, top in layers:
        out = column.profile(bottom, top)
        rows.append((out[2] - out[0], out[3] - out[1]))
        reasons.append(column.reason(bottom, top))
    shear = np.array(rows, dtype=np.float64).reshape(-1, 2)
    dims = ("layer",)
    data = {o.name: xr.Variable(dims, shear[:, k], o.attrs({}))
            for k, o in enumerate(_storm.BULK_SHEAR)}
    data["reason"] = _reasons(reasons)
    return xr.Dataset(data, _layer_coords(layers), attrs={"ground": column.ground_says})


def helicity(profile: xr.Dataset, storm_motion: Any = None, layers: Any = LAYERS, *,
             from_lowest_level: bool = False, surface_wind: Any = None,
             n_threads: int = 0) -> xr.Dataset:
    """Storm-relative helicity and layer-mean wind of a wind profile.

    The helicity is the discrete sum over consecutive levels (u, v) of the
    layer, bounds interpolated: Σ (u_next − cu)(v − cv) − (u − cu)(v_next − cv),
    in m²/s²; the layer-mean wind is the height-weighted trapezoidal mean.

    Heights count from the radar, which stands in for the ground; a bin's
    wind stands for its whole bin (see the module notes). A layer the winds
    do not cover is NaN with its reason. `from_lowest_level=True` counts from
    the lowest level with a wind instead (as MetPy does with a sounding); give
    `surface_wind` to add the wind at the radar (height 0).

    Parameters
    ----------
    profile : xarray.Dataset
        ``eastward_wind``, ``northward_wind`` along ``height`` above the radar,
        for example from `vwp`; converted from their ``units`` (knots, km).
    storm_motion : (float, float), optional
        Storm motion (cu, cv): numbers in m/s or Quantities. Default: the
        Bunkers right mover of the profile (`storm_motion`).
    layers : sequence of (bottom, top)
        Layers above ground: bare numbers in m, Quantities, or strings with
        units ("1 km"). Default 0–1 km and 0–3 km.
    from_lowest_level : bool
        Count heights from the lowest wind (today's sounding convention).
    surface_wind : (float, float), optional
        Wind at the radar, m/s.
    n_threads : int
        Unused: one column is too little to share; kept for compatibility.

    Returns
    -------
    xarray.Dataset
        Along ``layer``: ``storm_relative_helicity``, ``u_mean``, ``v_mean`` and
        ``reason``, with ``layer_bottom`` and ``layer_top`` (m) as coordinates.
        Attributes name the storm motion used and the ground heights count
        from.

    Warns
    -----
    UserWarning
        A storm-motion component beyond 50 m/s (a direction and a speed?), a
        bare layer top of 20 m or less (kilometres meant?).
    """
    layers = _layers("helicity", layers)
    column = _column("helicity", profile, from_lowest_level, surface_wind)
    missing_motion = ""
    if storm_motion is None:
        motion, missing_motion = _bunkers(column)
        cu, cv = float(motion[0]), float(motion[1])
        if missing_motion:
            missing_motion = (f"no storm motion: {missing_motion}, and the Bunkers motion needs "
                              f"winds over 0-6 km; pass storm_motion=(u, v)")
        source = BUNKERS
    else:
        cu, cv = _storm_motion_argument("helicity", storm_motion)
        source = "given"
    rows, reasons = [], []
    for bottom, top in layers:
        rows.append(column.profile(bottom, top, cu, cv))
        reasons.append(column.reason(bottom, top) or missing_motion)
    out = np.array(rows, dtype=np.float64).reshape(-1, 7)
    dims = ("layer",)
    data = {"storm_relative_helicity": _var("storm_relative_helicity", dims, out[:, 4]),
            "u_mean": _var("u_mean", dims, out[:, 5]),
            "v_mean": _var("v_mean", dims, out[:, 6]),
            "reason": _reasons(reasons)}
    return dataset(data, _layer_coords(layers), attrs={
        "storm_motion": source, "storm_motion_u": cu, "storm_motion_v": cv,
        "ground": column.ground_says})
