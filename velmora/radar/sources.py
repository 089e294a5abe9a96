"""xradar and Py-ART sweeps read into one plain record: rays along rows,
gates along columns, with what the reader knows of azimuth, elevation, range,
site and Nyquist velocity."""

from collections.abc import Mapping
from dataclasses import dataclass

import numpy as np
import xarray as xr

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


def _nyquist_from_dataset(ds):
    for name in ("nyquist_velocity", "NI"):
        if name in ds.variables:
            values = np.asarray(ds[name].values, dtype=np.float64)
            values = values[np.isfinite(values)]
            return float(np.median(values)) if values.size else np.nan
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


def _xradar_sweep(ds, field, altitude=None, number=0):
    if isinstance(ds, xr.DataTree):  # a node: the site sits at the root
        altitude = _site_altitude(ds) if altitude is None else altitude
        ds = ds.ds
    field = field or "VRADH"
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
    elevation = _along_rays(ds, "elevation", da, ray_dim)
    return _Sweep(data=data, reserved=_reserved_ranges(da),
                  azimuth=_along_rays(ds, "azimuth", da, ray_dim),
                  elevation=float(np.nanmedian(elevation)),
                  range=np.asarray(ds["range"].values, dtype=np.float64),
                  altitude=float(altitude), nyquist=_nyquist_from_dataset(ds), number=number,
                  ray_elevation=elevation)


def _pyart_sweep(radar, number, field):
    field = field or "velocity"
    rays = radar.get_slice(number)
    meta = radar.fields[field]
    # The data and mask as stored; an unmasked _FillValue is caught as a reserved value.
    stored = meta["data"][rays]
    mask = np.ma.getmask(stored)
    reserved = [(float(meta["_FillValue"]),) * 2] if "_FillValue" in meta else []
    nyquist = np.nan
    params = getattr(radar, "instrument_parameters", None) or {}
    if "nyquist_velocity" in params:
        nyquist = float(np.nanmedian(np.ma.filled(
            np.ma.asarray(params["nyquist_velocity"]["data"][rays], dtype=np.float64), np.nan)))
    elevation = radar.elevation["data"][rays]
    return _Sweep(data=np.ma.getdata(stored), reserved=reserved,
                  azimuth=np.asarray(radar.azimuth["data"][rays], dtype=np.float64),
                  elevation=float(np.nanmedian(elevation)),
                  range=np.asarray(radar.range["data"], dtype=np.float64),
                  altitude=float(np.ravel(radar.altitude["data"])[0]),
                  nyquist=nyquist, number=number,
                  mask=None if mask is np.ma.nomask else mask,
                  ray_elevation=np.asarray(elevation, dtype=np.float64))


def _read_sweep(sweep, field, index):
    if _is_pyart(sweep):
        if index is None:  # the first sweep with velocities, not a surveillance one
            index = next(iter(doppler_sweeps(sweep, field)), 0)
        return _pyart_sweep(sweep, index, field)
    return _xradar_sweep(sweep, field)


def doppler_sweeps(volume, field=None):
    """Numbers of the sweeps of a volume that carry the velocity `field`.

    Level II volumes at low elevation alternate surveillance sweeps (no
    velocity) and Doppler sweeps; only the latter are fitted.
    """
    if _is_pyart(volume):
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
    names = [n for n in tree.children if n.startswith("sweep_")]
    return sorted(names, key=lambda n: int(n.removeprefix("sweep_")))


def _volume_sweeps(volume, field):
    if _is_pyart(volume):
        for i in doppler_sweeps(volume, field):
            yield _pyart_sweep(volume, i, field)
        return
    altitude = _site_altitude(volume)
    for i in doppler_sweeps(volume, field):
        yield _xradar_sweep(volume[f"sweep_{i}"].ds, field, altitude, i)


def _nyquist_for(sweep, nyquist):
    if nyquist is None:
        return sweep.nyquist
    if isinstance(nyquist, Mapping):
        return float(nyquist.get(sweep.number, np.nan))
    return float(nyquist)
