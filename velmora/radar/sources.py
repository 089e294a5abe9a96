"""xradar and Py-ART sweeps read into one plain record: rays along rows,
gates along columns, with what the reader knows of azimuth, elevation, range,
site and Nyquist velocity."""

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import xarray as xr

from . import _units

# Level II moments reserve raw codes 0 ("below threshold") and 1 ("range
# folded"); packed without a _FillValue, they decode to ordinary-looking
# numbers (-64.5 and -64 m/s for velocity at 0.5 m/s resolution).
LEVEL2_RESERVED_CODES = (0, 1)


@dataclass
class _Sweep:
    """One sweep as read, before any masking: rays along rows, gates along columns.

    `data` is the reader's array itself (float32 or float64, possibly a
    transposed view), never a copy: the fit reads it in place and applies
    the mask, the reserved ranges and non-finite values as it goes.
    """

    data: np.ndarray  # (rays, gates), the reader's values
    reserved: list  # (low, high) value ranges, both included, that mean "no data"
    azimuth: np.ndarray  # (rays,), degrees
    elevation: float  # degrees, median over the rays
    range: np.ndarray  # (gates,), m
    altitude: float  # m above sea level of the antenna
    nyquist: float  # m/s, NaN when unknown
    number: int
    mask: np.ndarray | None = None  # (rays, gates), True where the reader masked a gate
    ray_elevation: np.ndarray | None = None  # (rays,), degrees; None: `elevation` for all


def _is_pyart(obj):
    # xarray objects answer a missing attribute slowly (with suggestions).
    if isinstance(obj, (xr.Dataset, xr.DataTree)):
        return False
    return hasattr(obj, "fields") and hasattr(obj, "sweep_start_ray_index")


def _code_runs(codes):
    """Sorted integer codes grouped into runs of consecutive values, as (first, last)."""
    runs = []
    for c in sorted(set(codes)):
        if runs and c == runs[-1][1] + 1:
            runs[-1][1] = c
        else:
            runs.append([c, c])
    return runs


def _reserved_ranges(da):
    """Value ranges of the raw codes that mean "no data" for this variable.

    xarray turns _FillValue into NaN when it decodes, but not ODIM's
    _Undetect, nor the Level II codes, which have no attribute at all.
    """
    enc, attrs = da.encoding, da.attrs
    codes = [c for c in (enc.get("_FillValue"), attrs.get("_FillValue"),
                         attrs.get("_Undetect"), enc.get("_Undetect")) if c is not None]
    raw_dtype = np.dtype(enc.get("dtype", da.dtype))
    if not np.issubdtype(raw_dtype, np.integer):
        return [(float(c), float(c)) for c in codes]
    if np.issubdtype(da.dtype, np.integer) and "scale_factor" in attrs:
        raise ValueError(f"{da.name} is still packed: open the file with mask_and_scale=True")
    scale = float(enc.get("scale_factor", 1.0))
    offset = float(enc.get("add_offset", 0.0))
    if not codes:
        # Only Level II packs velocities as unsigned bytes or shorts without a
        # fill value; elsewhere raw 0 may well be a real velocity.
        if not (np.issubdtype(raw_dtype, np.unsignedinteger) and offset < 0):
            return []
        codes = LEVEL2_RESERVED_CODES
    # Half a step either side: robust to float32 decoding, never reaching a real value.
    half = 0.5 * abs(scale)
    ranges = []
    for first, last in _code_runs(int(c) for c in codes):
        a, b = first * scale + offset, last * scale + offset
        ranges.append((min(a, b) - half, max(a, b) + half))
    return ranges


def _nyquist_from_dataset(ds, function="vad"):
    for name in ("nyquist_velocity", "NI"):
        if name in ds.variables:
            values = np.asarray(ds[name].values, dtype=np.float64)
            values = values[np.isfinite(values)]
            nyquist = float(np.median(values)) if values.size else np.nan
            return _units.nyquist_in_ms(function, nyquist, ds[name].attrs.get("units"))
        if name in ds.attrs:
            return float(ds.attrs[name])
    return np.nan


def _site_altitude(tree):
    root = tree.root.ds
    return float(root["altitude"]) if "altitude" in root.variables else None


def _along_rays(ds, name, da, ray_dim):
    """A per-ray coordinate as a float64 vector (broadcast only if stored otherwise)."""
    var = ds[name]
    if var.dims != (ray_dim,):
        var = var.broadcast_like(da[{"range": 0}])
    return np.asarray(var.values, dtype=np.float64)


def _xradar_sweep(ds, field, altitude=None, number=0, function="vad", root_attrs=None):
    if isinstance(ds, xr.DataTree):  # a node: the site sits at the root
        altitude = _site_altitude(ds) if altitude is None else altitude
        root_attrs = ds.root.attrs
        ds = ds.ds
    field = field or "VRADH"
    _units.require_field(function, ds, field)
    da = ds[field]
    if "range" not in da.dims or da.ndim != 2:
        raise ValueError(f"{field} must be 2-D with a 'range' dimension, got {da.dims}")
    ray_dim = next(d for d in da.dims if d != "range")
    # Rays along rows whatever the stored order: the fit transposes once, later.
    data = da.values if da.dims == (ray_dim, "range") else da.values.T
    if altitude is None:
        altitude = float(ds["altitude"]) if "altitude" in ds.variables else 0.0
    if "sweep_number" in ds.variables:
        number = int(ds["sweep_number"])
    # Units and coordinates read once: the fit sees m/s, m and degrees.
    _units.require_coordinate(function, ds, "azimuth", "the azimuth of each ray (degrees)")
    _units.require_coordinate(function, ds, "elevation", "the elevation of each ray (degrees)")
    reserved = _reserved_ranges(da) + _units.derived_level2_codes(ds, field, root_attrs)
    data, reserved = _units.velocity_in_ms(function, field, da.attrs.get("units"), data, reserved)
    azimuth = _units.angle_in_degrees(function, "azimuth", _along_rays(ds, "azimuth", da, ray_dim),
                                      ds["azimuth"].attrs.get("units"))
    elevation = _units.angle_in_degrees(function, "elevation",
                                        _along_rays(ds, "elevation", da, ray_dim),
                                        ds["elevation"].attrs.get("units"))
    _units.require_not_vertical(function, elevation, number)
    return _Sweep(data=data, reserved=reserved,
                  azimuth=azimuth,
                  elevation=float(np.nanmedian(elevation)),
                  range=_units.range_in_m(function, ds.coords),
                  altitude=float(altitude), nyquist=_nyquist_from_dataset(ds, function),
                  number=number, ray_elevation=elevation)


def _pyart_sweep(radar, number, field, function="vad"):
    field = field or "velocity"
    _units.require_pyart_field(function, radar, field)
    rays = radar.get_slice(number)
    meta = radar.fields[field]
    # The data and mask as stored; an unmasked _FillValue is caught as a reserved value.
    stored = meta["data"][rays]
    mask = np.ma.getmask(stored)
    reserved = [(float(meta["_FillValue"]),) * 2] if "_FillValue" in meta else []
    data, reserved = _units.velocity_in_ms(function, field, meta.get("units"),
                                           np.ma.getdata(stored), reserved)
    azimuth = _units.angle_in_degrees(function, "azimuth", radar.azimuth["data"][rays],
                                      radar.azimuth.get("units"))
    elevation = _units.angle_in_degrees(function, "elevation", radar.elevation["data"][rays],
                                        radar.elevation.get("units"))
    _units.require_not_vertical(function, elevation, number)
    nyquist = np.nan
    params = getattr(radar, "instrument_parameters", None) or {}
    if "nyquist_velocity" in params:
        nyquist = float(np.nanmedian(np.ma.filled(
            np.ma.asarray(params["nyquist_velocity"]["data"][rays], dtype=np.float64), np.nan)))
    return _Sweep(data=data, reserved=reserved,
                  azimuth=azimuth,
                  elevation=float(np.nanmedian(elevation)),
                  range=_units.range_in_m(function, {"range": radar.range["data"]},
                                          radar.range.get("units")),
                  altitude=float(np.ravel(radar.altitude["data"])[0]),
                  nyquist=nyquist, number=number,
                  mask=None if mask is np.ma.nomask else mask,
                  ray_elevation=np.asarray(elevation, dtype=np.float64))


def _read_sweep(sweep, field, index, function="vad"):
    if _is_pyart(sweep):
        _units.require_pyart_field(function, sweep, field or "velocity")
        if index is None:  # the first sweep with velocities, not a surveillance one
            index = next(iter(doppler_sweeps(sweep, field)), 0)
        return _pyart_sweep(sweep, _units.pyart_index(function, sweep, index), field, function)
    sweep = _units.one_sweep(function, sweep, index)
    return _xradar_sweep(sweep, field, function=function)


def doppler_sweeps(volume: Any, field: str | None = None) -> list[int]:
    """Numbers of the sweeps of a volume that carry the velocity `field`.

    Level II volumes at low elevation alternate surveillance sweeps (no
    velocity) and Doppler sweeps; only the latter are fitted.
    """
    if _is_pyart(volume):
        _units.require_pyart_field("doppler_sweeps", volume, field or "velocity")
        data = volume.fields[field or "velocity"]["data"]
        missing = np.ma.getmask(data)
        if missing is np.ma.nomask:
            return [i for i in range(volume.nsweeps) if np.size(data[volume.get_slice(i)]) > 0]
        return [i for i in range(volume.nsweeps)
                if np.size(missing[volume.get_slice(i)]) > 0
                and not missing[volume.get_slice(i)].all()]
    return [int(name.removeprefix("sweep_")) for name in _sweep_names(volume)
            if (field or "VRADH") in volume[name].ds.data_vars]


def _sweep_names(tree):
    # Only sweep_N children are sweeps; a "sweep_extra" group is something else.
    names = [n for n in tree.children if _units.sweep_number_of(n) is not None]
    return sorted(names, key=_units.sweep_number_of)


def _volume_sweeps(volume, field, function="vwp", vertical=None):
    """The Doppler sweeps of a volume; numbers of near-vertical ones go to `vertical`."""
    if _is_pyart(volume):
        _units.require_pyart_field(function, volume, field or "velocity")
        for i in doppler_sweeps(volume, field):
            if _pyart_vertical(volume, i, vertical):
                continue
            yield _pyart_sweep(volume, i, field, function)
        return
    _units.require_volume(function, volume)
    altitude = _site_altitude(volume)
    for i in doppler_sweeps(volume, field):
        ds = volume[f"sweep_{i}"].ds
        if _xradar_vertical(ds, function, i, vertical):
            continue
        yield _xradar_sweep(ds, field, altitude, i, function, volume.root.attrs)


def _xradar_vertical(ds, function, number, vertical):
    if vertical is None or "elevation" not in ds.variables:
        return False
    elevation = _units.angle_in_degrees(function, "elevation", ds["elevation"].values,
                                        ds["elevation"].attrs.get("units"))
    if _units.is_vertical(elevation):
        vertical.append(number)
        return True
    return False


def _pyart_vertical(radar, number, vertical):
    if vertical is None:
        return False
    elevation = _units.angle_in_degrees("vwp", "elevation",
                                        radar.elevation["data"][radar.get_slice(number)],
                                        radar.elevation.get("units"))
    if _units.is_vertical(elevation):
        vertical.append(number)
        return True
    return False


def _nyquist_for(sweep, nyquist):
    if nyquist is None:
        return sweep.nyquist
    if isinstance(nyquist, Mapping):
        return float(nyquist.get(sweep.number, np.nan))
    return float(nyquist)


@dataclass
class _Site:
    """When and where a volume was taken, as far as its reader knows (NaT, NaN, "")."""

    time: np.datetime64
    latitude: float
    longitude: float
    altitude: float
    instrument_name: str


def _scalar(ds, name):
    if name not in ds.variables:
        return np.nan
    value = np.ravel(np.asarray(ds[name].values, dtype=np.float64))
    return float(value[0]) if value.size else np.nan


def _start_time(text):
    """An ISO 8601 start time ("2016-06-01T15:00:25Z") as datetime64[ns] in UTC, else NaT."""
    text = np.asarray(text).item() if np.ndim(text) == 0 else text
    if isinstance(text, bytes):  # CfRadial files keep it as characters
        text = text.decode("ascii", "replace")
    try:
        return np.datetime64(str(text).strip().removesuffix("Z"), "ns")
    except ValueError:
        return np.datetime64("NaT", "ns")


def _volume_site(volume):
    """The start time, antenna position and instrument name of a volume."""
    if _is_pyart(volume):
        meta = getattr(volume, "metadata", None) or {}
        time = np.datetime64("NaT", "ns")
        units = str(volume.time.get("units", ""))
        if units.startswith("seconds since ") and np.size(volume.time["data"]):
            start = _start_time(units.removeprefix("seconds since "))
            offset = float(np.min(volume.time["data"]))
            if np.isfinite(offset) and abs(offset) < 1e9:  # within about 30 years of the epoch
                time = start + np.timedelta64(round(offset * 1e9), "ns")
        return _Site(time, float(np.ravel(volume.latitude["data"])[0]),
                     float(np.ravel(volume.longitude["data"])[0]),
                     float(np.ravel(volume.altitude["data"])[0]),
                     str(meta.get("instrument_name", "")))
    root = volume.root.ds
    time = (_start_time(root["time_coverage_start"].values) if "time_coverage_start" in root
            else np.datetime64("NaT", "ns"))
    return _Site(time, _scalar(root, "latitude"), _scalar(root, "longitude"),
                 _scalar(root, "altitude"), str(volume.root.attrs.get("instrument_name", "")))
