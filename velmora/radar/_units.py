"""What a sweep's numbers mean: units read and converted, coordinates found, arguments checked.

Every reader's values pass through here once, so that the fit sees m/s,
metres and degrees whatever the file stored (knots, km, radians), and a
sweep or argument it cannot read is refused with a message naming the
function, the argument, what it got and what it expects.
"""

from __future__ import annotations

import math
import operator
import re
from collections.abc import Mapping
from typing import Any

import numpy as np
import xarray as xr

from .._inputs import DEGREES, HEIGHT, SPEED, _convert, integer, scalar

# Beyond this elevation the beam is too close to vertical for a VAD: the
# wind is a1 / cos(el), and near 90° that divides by almost nothing.
STEEPEST_ELEVATION = 80.0  # degrees

# Level II velocity codes "below threshold" (raw 0) and "range folded" (raw 1)
# as xradar decodes them at the usual 0.5 m/s resolution.
LEVEL2_VELOCITY_CODES = (-64.5, -64.0)

_SWEEP_NAME = re.compile(r"sweep_(\d+)")


# ---------------------------------------------------------------------------
# units of the stored values


def velocity_in_ms(function: str, field: str, units: str | None, data: np.ndarray,
                   reserved: list[tuple[float, float]]) -> tuple[np.ndarray,
                                                                 list[tuple[float, float]]]:
    """The velocities and their reserved value ranges in m/s.

    Values without units are taken as m/s. Units of anything but a speed
    (dBZ, dB, degrees) mean the field is no velocity: refused.
    """
    if units is None or _is_metres_per_second(units):
        return data, reserved
    subject = f"field '{field}'"
    if units.strip().lower() in ("dbz", "db", "dbm"):
        raise ValueError(f"{function}(): {subject} has units '{units}'; expected a radial "
                         "velocity, a speed (e.g. 'm s-1')")
    converted = _convert(function, "field", data, units, SPEED, subject)
    bounds = np.asarray(reserved, dtype=np.float64).reshape(-1, 2)
    bounds = _convert(function, "field", bounds, units, SPEED, subject)
    return converted, [(float(low), float(high)) for low, high in bounds]


def _is_metres_per_second(units: str) -> bool:
    # The common spellings, without a trip through pint (the data stay untouched).
    return " ".join(units.split()).lower() in (
        "m s-1", "m/s", "m s^-1", "m.s-1", "meters per second", "meters per seconds",
        "metres per second", "meters_per_second", "metres_per_second", "meter second-1")


def range_in_m(function: str, coords: Mapping[str, Any], units: str | None = None) -> np.ndarray:
    """The gate ranges in m, from the `range` coordinate (km converted)."""
    if "range" not in coords:
        raise ValueError(f"{function}(): the sweep has no 'range' coordinate; expected the "
                         "range of each gate (m)")
    var = coords["range"]
    units = units if units is not None else getattr(var, "attrs", {}).get("units")
    values = np.asarray(getattr(var, "values", var), dtype=np.float64)
    if units is None or units.strip().lower() in ("m", "meters", "metres", "meter", "metre"):
        return values
    return np.asarray(_convert(function, "range", values, units, HEIGHT,
                               "coordinate 'range'"), dtype=np.float64)


def angle_in_degrees(function: str, name: str, values: np.ndarray,
                     units: str | None) -> np.ndarray:
    """Azimuths or elevations in degrees (radians converted).

    Without units, degrees are assumed, unless every azimuth lies within one
    turn of radians over many rays: those are refused rather than read as a
    sweep squeezed into 6 degrees.
    """
    values = np.asarray(values, dtype=np.float64)
    if units is None:
        finite = values[np.isfinite(values)]
        if (name == "azimuth" and finite.size > 36 and np.ptp(finite) > 3.0
                and np.max(np.abs(finite)) <= 2 * np.pi + 1e-6):
            raise ValueError(f"{function}(): coordinate 'azimuth' has no units and spans "
                             f"only {np.ptp(finite):.3g}; expected degrees: if these are "
                             "radians, give it units 'radian'")
        return values
    if units.strip().lower() in ("degrees", "degree", "deg", "degrees_north", "°"):
        return values
    return np.asarray(_convert(function, name, values, units, DEGREES, f"coordinate '{name}'"),
                      dtype=np.float64)


def nyquist_in_ms(function: str, value: Any, units: str | None) -> float:
    """A Nyquist velocity stored in the data, in m/s."""
    if units is None or _is_metres_per_second(units):
        return value
    return float(_convert(function, "nyquist", np.float64(value), units, SPEED,
                          "variable 'nyquist_velocity'"))


# ---------------------------------------------------------------------------
# coordinates and geometry


def require_coordinate(function: str, ds: xr.Dataset, name: str, what: str) -> None:
    if name not in ds.coords and name not in ds.data_vars:
        raise ValueError(f"{function}(): the sweep has no '{name}' coordinate; expected {what}")


def require_not_vertical(function: str, elevation: np.ndarray, number: int) -> None:
    """Refuse a sweep with rays near vertical, where the wind would divide by cos(el) ≈ 0."""
    finite = elevation[np.isfinite(elevation)]
    steepest = float(np.max(np.abs(finite))) if finite.size else math.nan
    if steepest > STEEPEST_ELEVATION:
        raise ValueError(f"{function}(): sweep {number} has rays at elevation {steepest:.4g}°; "
                         f"a VAD needs every ray below {STEEPEST_ELEVATION:g}° (a vertically "
                         "pointing sweep holds no horizontal wind)")


def is_vertical(elevation: np.ndarray) -> bool:
    finite = elevation[np.isfinite(elevation)]
    return bool(finite.size) and float(np.max(np.abs(finite))) > STEEPEST_ELEVATION


def sweep_number_of(name: str) -> int | None:
    """N of a child named sweep_N; None for any other child (sweep_extra)."""
    match = _SWEEP_NAME.fullmatch(name)
    return int(match.group(1)) if match else None


def one_sweep(function: str, sweep: Any, index: Any) -> Any:
    """The xradar sweep to fit: `sweep` itself, or sweep `index` of a whole volume.

    A whole volume without `index` is refused, as is an `index` for what is
    already one sweep: either way the caller meant another sweep than the
    one that would be fitted.
    """
    if not isinstance(sweep, (xr.Dataset, xr.DataTree)):
        raise TypeError(f"{function}(): argument 'sweep' must be an xradar sweep (Dataset or "
                        f"DataTree node) or a Py-ART Radar, not {type(sweep).__name__}")
    names = ([n for n in sweep.children if sweep_number_of(n) is not None]
             if isinstance(sweep, xr.DataTree) else [])
    if not names:
        if index is not None:
            raise ValueError(f"{function}(): argument 'index' = {index!r} is for a Py-ART Radar "
                             "or a whole volume; argument 'sweep' is already one sweep")
        return sweep
    if index is None:
        raise ValueError(f"{function}(): argument 'sweep' is a whole volume (sweeps "
                         f"{', '.join(names[:3])}{', ...' if len(names) > 3 else ''}); pass "
                         f"index=, or one sweep, e.g. volume['{names[0]}'], or use vwp")
    number = integer(function, "index", index, -(2**63), 2**63 - 1)
    if f"sweep_{number}" not in names:
        raise ValueError(f"{function}(): argument 'index' = {number} is not a sweep of the "
                         f"volume; it holds {', '.join(names)}")
    return sweep[f"sweep_{number}"]


def require_volume(function: str, volume: Any) -> None:
    if isinstance(volume, xr.Dataset) or (isinstance(volume, xr.DataTree)
                                          and not any(sweep_number_of(n) is not None
                                                      for n in volume.children)
                                          and "range" in volume.ds.dims):
        raise ValueError(f"{function}(): argument 'volume' is a single sweep; pass the whole "
                         "volume (a DataTree of sweep_N groups) or use vad on the sweep")
    if not isinstance(volume, xr.DataTree):
        raise TypeError(f"{function}(): argument 'volume' must be an xradar volume (DataTree) "
                        f"or a Py-ART Radar, not {type(volume).__name__}")


def require_field(function: str, ds: xr.Dataset, field: str) -> None:
    if field not in ds.data_vars:
        moments = ", ".join(str(n) for n, v in ds.data_vars.items() if v.ndim == 2)
        raise ValueError(f"{function}(): argument 'field' = '{field}' is not in the sweep; "
                         f"it holds {moments or 'no 2-D variable'}")


def require_pyart_field(function: str, radar: Any, field: str) -> None:
    if field not in radar.fields:
        raise ValueError(f"{function}(): argument 'field' = '{field}' is not in the Radar; "
                         f"it holds {', '.join(sorted(radar.fields)) or 'no field'}")


def pyart_index(function: str, radar: Any, index: Any) -> int:
    number = integer(function, "index", index, -(2**63), 2**63 - 1)
    if not 0 <= number < radar.nsweeps:
        raise ValueError(f"{function}(): argument 'index' = {number} is outside the Radar's "
                         f"sweeps 0 .. {radar.nsweeps - 1}")
    return number


# ---------------------------------------------------------------------------
# Level II codes in a field derived from a Level II velocity


def _level2_packing(da: xr.DataArray) -> tuple[float, float] | None:
    """(scale, offset) of a Level II packed moment: unsigned raw, negative offset, no fill."""
    enc = da.encoding
    raw = np.dtype(enc.get("dtype", da.dtype))
    if (np.issubdtype(raw, np.unsignedinteger) and float(enc.get("add_offset", 0.0)) < 0
            and "_FillValue" not in enc and "_FillValue" not in da.attrs):
        return float(enc.get("scale_factor", 1.0)), float(enc["add_offset"])
    return None


def derived_level2_codes(ds: xr.Dataset, field: str,
                         root_attrs: Mapping[str, Any] | None = None) -> list[tuple[float, float]]:
    """Value ranges of the Level II codes for a velocity field that lost its packing.

    A field computed from a Level II velocity (a copy, a correction, a
    unit-free arithmetic result) keeps the decoded codes -64.5 and -64 but not
    the encoding that marks them. When the sweep itself came from the Level II
    reader (a sibling velocity still packed as Level II, or the reader's
    volume attributes), those exact values are missing data. Elsewhere they
    may be real velocities and are kept.
    """
    da = ds[field]
    if np.issubdtype(np.dtype(da.encoding.get("dtype", da.dtype)), np.integer):
        return []  # packed itself: its own codes are read from its encoding
    packing = None
    for name in ("VRADH", "VRADV", "velocity"):
        if name != field and name in ds.data_vars:
            packing = _level2_packing(ds[name])
            if packing is not None:
                break
    if packing is None and root_attrs and "doppler_velocity_resolution" in root_attrs:
        # The Level II reader's volume: velocity resolution 0.5 or 1 m/s.
        scale = float(root_attrs["doppler_velocity_resolution"])
        packing = (scale, -129.0 * scale)
    if packing is None:
        return []
    scale, offset = packing
    # Exact decoded values (float32 decoding at most): never a real velocity nearby.
    tolerance = 1e-4 * abs(scale)
    codes = (offset, offset + scale)
    return [(c - tolerance, c + tolerance) for c in codes]


# ---------------------------------------------------------------------------
# arguments of vad and vwp


def fit_arguments(function: str, min_gates: Any, min_spread: Any) -> tuple[int, float]:
    """min_gates an integer, min_spread a finite number; strings are refused."""
    count = integer(function, "min_gates", min_gates, 0, 2**31 - 1)
    spread = scalar(function, "min_spread", min_spread, None)
    if not math.isfinite(spread):
        raise ValueError(f"{function}(): argument 'min_spread' = {spread} must be finite")
    return count, spread


def nyquist_argument(function: str, nyquist: Any) -> float | dict[int, float] | None:
    """None, one velocity (m/s) or one per sweep number; numbers or Quantities."""
    if nyquist is None:
        return None
    if isinstance(nyquist, Mapping):
        out = {}
        for key, value in nyquist.items():
            try:
                number = operator.index(key)
            except TypeError:
                raise TypeError(f"{function}(): argument 'nyquist' maps sweep numbers to "
                                f"velocities; got a key {key!r}") from None
            out[number] = _velocity(function, f"nyquist[{number}]", value)
        return out
    if isinstance(nyquist, (str, bytes)):
        raise TypeError(f"{function}(): argument 'nyquist' must be a velocity (m/s) or a mapping "
                        f"of sweep numbers to velocities, not {type(nyquist).__name__}")
    return _velocity(function, "nyquist", nyquist)


def _velocity(function: str, name: str, value: Any) -> float:
    number = scalar(function, name, value, SPEED)
    if not (number > 0 or math.isnan(number)) or math.isinf(number):
        raise ValueError(f"{function}(): argument '{name}' = {number} must be a positive "
                         "velocity (m/s), or NaN for unknown")
    return number


def length_argument(function: str, name: str, value: Any) -> float:
    """A positive finite length in m (Quantities converted)."""
    number = scalar(function, name, value, HEIGHT)
    if not (math.isfinite(number) and number > 0):
        raise ValueError(f"{function}(): argument '{name}' = {number} must be a positive, "
                         "finite length (m)")
    return number


def edges_argument(function: str, edges: Any) -> np.ndarray:
    """Bin edges in m (Quantities converted), increasing and finite."""
    given = None
    if hasattr(edges, "m_as"):
        edges = edges.m_as("m")
    elif isinstance(edges, xr.DataArray):
        given, edges = edges.attrs.get("units"), edges.values
    try:
        values = np.asarray(edges, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{function}(): argument 'edges' must be an array of heights (m), not "
                        f"{type(edges).__name__}") from None
    if given is not None:
        values = np.asarray(_convert(function, "edges", values, given, HEIGHT), np.float64)
    if (values.ndim != 1 or values.size < 2 or not np.all(np.isfinite(values))
            or not np.all(np.diff(values) > 0)):
        raise ValueError(f"{function}(): argument 'edges' must be increasing, finite, at least "
                         f"two; got shape {values.shape}")
    return values
