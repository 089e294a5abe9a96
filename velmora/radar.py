"""Radar volumes to VAD wind profiles and storm-relative helicity.

From a radar file to a wind profile in three lines::

    volume = xarray.open_datatree("KLBB20160601_150025_V06", engine="nexradlevel2")
    profile = velmora.radar.vwp(volume, nyquist={n: 22.56 if n < 8 else 31.08 for n in range(11)})
    layers = velmora.radar.helicity(profile, storm_motion=(8.0, 4.0))

`vad` fits one sweep, gate by gate: a row of the fit is one range gate, its
samples are the rays of the sweep, whatever order the sweep is stored in.
`vwp` runs every Doppler sweep of a volume through `vad` and averages the
accepted gates in height bins; `helicity` evaluates the storm-relative
helicity and the layer-mean wind of such a profile.

Sweeps come from xradar (a sweep Dataset or DataTree node; a volume as a
DataTree from ``xarray.open_datatree(path, engine=...)`` with the engines
``nexradlevel2``, ``odim`` or ``cfradial1``) or from a Py-ART ``Radar``.
Neither reader is imported here: the objects are recognised by their shape.

The velocity must be unfolded (dealiased): the fit assumes the radial
velocity is a smooth function of azimuth. Pass any velocity variable, for
example a dealiased field added by Py-ART, with ``field=``. Gates where the
fitted wind speed reaches the sweep's Nyquist velocity are flagged
(``near_nyquist``), since aliasing there makes the fit meaningless.

References
----------
Browning, K. A. and R. Wexler, 1968: The determination of kinematic
properties of a wind field using Doppler radar. J. Appl. Meteor., 7, 105-113.

Doviak, R. J. and D. S. Zrnić, 1993: Doppler Radar and Weather Observations,
2nd ed., Academic Press (Sect. 2.2: the 4/3 effective-earth-radius model).
"""

from __future__ import annotations

import warnings
from collections.abc import Mapping
from dataclasses import dataclass

import numpy as np
import xarray as xr

# The kernels through the front door, with arrays already in kernel units.
from . import calc as _kernels

__all__ = ["gate_height", "vad", "vwp", "helicity", "doppler_sweeps"]

EARTH_RADIUS = 6_371_000.0  # m, mean radius
EFFECTIVE_RADIUS_FACTOR = 4.0 / 3.0  # standard refraction

MIN_GATES = 30  # valid rays a gate needs for a fit
MIN_SPREAD = 0.1  # azimuth spread: 0.25 is the full circle, 0.1 about 220 degrees of arc
BIN_WIDTH = 100.0  # m
TOP = 6000.0  # m above the radar
LAYERS = ((0.0, 1000.0), (0.0, 3000.0))  # m above ground

# Level II moments reserve raw codes 0 ("below threshold") and 1 ("range
# folded"); packed without a _FillValue, they decode to ordinary-looking
# numbers (-64.5 and -64 m/s for velocity at 0.5 m/s resolution).
LEVEL2_RESERVED_CODES = (0, 1)

_ATTRS = {
    "u": dict(units="m s-1", standard_name="eastward_wind", long_name="eastward wind"),
    "v": dict(units="m s-1", standard_name="northward_wind", long_name="northward wind"),
    "wind_speed": dict(units="m s-1", standard_name="wind_speed", long_name="wind speed"),
    "wind_direction": dict(units="degree", standard_name="wind_from_direction",
                           long_name="direction the wind blows from, clockwise from north"),
    "offset": dict(units="m s-1", long_name="offset of the first-harmonic fit"),
    "rms": dict(units="m s-1", long_name="root-mean-square residual of the first-harmonic fit"),
    "count": dict(units="1", long_name="number of valid rays in the fit"),
    "offset2": dict(units="m s-1", long_name="offset of the two-harmonic fit"),
    "sin2": dict(units="m s-1", long_name="coefficient of sin(2 azimuth) in the two-harmonic fit"),
    "cos2": dict(units="m s-1", long_name="coefficient of cos(2 azimuth) in the two-harmonic fit"),
    "near_nyquist": dict(long_name="fitted wind speed reaches the Nyquist velocity"),
    "height": dict(units="m", standard_name="height", positive="up",
                   long_name="height above the radar"),
    "altitude": dict(units="m", standard_name="altitude", positive="up",
                     long_name="altitude above mean sea level"),
    "range": dict(units="m", long_name="range to the centre of the gate"),
    "elevation": dict(units="degree", long_name="median ray elevation of the sweep"),
    "nyquist_velocity": dict(units="m s-1", standard_name="nyquist_velocity",
                             long_name="Nyquist velocity of the sweep"),
    "u_spread": dict(units="m s-1", long_name="weighted standard deviation of u in the bin"),
    "v_spread": dict(units="m s-1", long_name="weighted standard deviation of v in the bin"),
    "gate_count": dict(units="1", long_name="number of accepted gates in the bin"),
    "sample_count": dict(units="1", long_name="number of rays behind the accepted gates"),
    "storm_relative_helicity": dict(units="m2 s-2", long_name="storm-relative helicity"),
    "mean_u": dict(units="m s-1", standard_name="eastward_wind",
                   long_name="layer-mean eastward wind"),
    "mean_v": dict(units="m s-1", standard_name="northward_wind",
                   long_name="layer-mean northward wind"),
}


def _var(name, dims, values, **extra):
    return xr.Variable(dims, values, {**_ATTRS[name], **extra})


# ---------------------------------------------------------------------------
# Geometry


def gate_height(range_m, elevation_deg, radius=EARTH_RADIUS, factor=EFFECTIVE_RADIUS_FACTOR):
    """Height of a gate above the radar, in m.

    h = sqrt(r² + (k a)² + 2 r k a sin θ) − k a, the beam path bent by
    standard refraction (effective earth radius k a, k = 4/3).

    Parameters
    ----------
    range_m : array_like
        Range to the gate, m.
    elevation_deg : array_like
        Elevation of the beam, degrees.
    """
    r = np.asarray(range_m, dtype=np.float64)
    ka = factor * radius
    sin_el = np.sin(np.deg2rad(np.asarray(elevation_deg, dtype=np.float64)))
    return np.sqrt(r * r + ka * ka + 2.0 * r * ka * sin_el) - ka


# ---------------------------------------------------------------------------
# Reading a sweep: one plain form for every reader


@dataclass
class _Sweep:
    """One sweep as read, before any masking: rays along rows, gates along columns."""

    data: np.ndarray  # (rays, gates), the reader's values
    reserved: list  # (low, high) value ranges that mean "no data"
    azimuth: np.ndarray  # (rays,), degrees
    elevation: float  # degrees, median over the rays
    range: np.ndarray  # (gates,), m
    altitude: float  # m above sea level of the antenna
    nyquist: float  # m/s, NaN when unknown
    number: int


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
    return _Sweep(data=data, reserved=_reserved_ranges(da),
                  azimuth=_along_rays(ds, "azimuth", da, ray_dim),
                  elevation=float(np.nanmedian(_along_rays(ds, "elevation", da, ray_dim))),
                  range=np.asarray(ds["range"].values, dtype=np.float64),
                  altitude=float(altitude), nyquist=_nyquist_from_dataset(ds), number=number)


def _pyart_sweep(radar, number, field):
    field = field or "velocity"
    rays = radar.get_slice(number)
    meta = radar.fields[field]
    # Masked gates become NaN; an unmasked _FillValue is caught as a reserved value.
    data = np.ma.filled(np.ma.asarray(meta["data"][rays], dtype=np.float64), np.nan)
    reserved = [(float(meta["_FillValue"]),) * 2] if "_FillValue" in meta else []
    nyquist = np.nan
    params = getattr(radar, "instrument_parameters", None) or {}
    if "nyquist_velocity" in params:
        nyquist = float(np.nanmedian(np.ma.filled(
            np.ma.asarray(params["nyquist_velocity"]["data"][rays], dtype=np.float64), np.nan)))
    return _Sweep(data=data, reserved=reserved,
                  azimuth=np.asarray(radar.azimuth["data"][rays], dtype=np.float64),
                  elevation=float(np.nanmedian(radar.elevation["data"][rays])),
                  range=np.asarray(radar.range["data"], dtype=np.float64),
                  altitude=float(np.ravel(radar.altitude["data"])[0]),
                  nyquist=nyquist, number=number)


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
        return [i for i in range(volume.nsweeps)
                if np.ma.count(data[volume.get_slice(i)]) > 0]
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


# ---------------------------------------------------------------------------
# Per sweep


def _gather(sweep, gates, min_gates):
    """The valid-ray count of the gates in slice `gates`, and the gates worth fitting.

    Returns the counts, the span (a slice within `gates`) from the first to
    the last gate with at least `min_gates` valid rays, and the span's
    (rays, gates) velocities with every missing value as NaN. In clear air
    most far gates are empty: leaving them out spares the kernel a pass
    over them, and their result is known (their count, NaN elsewhere).
    """
    x = sweep.data[:, gates]
    valid = np.isfinite(x)
    for low, high in sweep.reserved:
        valid &= (x < low) | (x > high)
    az_ok = np.isfinite(sweep.azimuth)
    if not az_ok.all():
        valid &= az_ok[:, None]
    count = valid.sum(axis=0)
    worth = np.flatnonzero(count >= max(min_gates, 3))
    span = slice(worth[0], worth[-1] + 1) if worth.size else slice(0, 0)
    return count, span, np.where(valid[:, span], x[:, span], np.nan)


def _fit_sweeps(sweeps, min_gates, min_spread, n_threads, gates=None):
    """The kernel's (8, gates) output for every sweep.

    Each row of the fit is one gate, its samples the rays of its sweep.
    Sweeps with the same number of rays go into one kernel call, so that
    the threads share them rather than one sweep at a time, and no row is
    padded. `gates`, a slice per sweep, limits the gates that are fitted;
    the others hold NaN, with a count of 0.
    """
    gates = [slice(None)] * len(sweeps) if gates is None else gates
    outs = []
    parts = []
    for sw, sel in zip(sweeps, gates):
        out = np.full((8, sw.data.shape[1]), np.nan)
        count, span, block = _gather(sw, sel, min_gates)
        out[4] = 0.0
        out[4, sel] = count
        outs.append(out)
        parts.append((np.arange(out.shape[1])[sel][span], block))
    by_rays = {}
    for k, sw in enumerate(sweeps):
        by_rays.setdefault(sw.data.shape[0], []).append(k)
    for rays, members in by_rays.items():
        # One copy each builds the kernel's layout: a row per gate, its rays along it.
        vr = np.concatenate([parts[k][1].T for k in members])
        az = np.concatenate([np.broadcast_to(np.deg2rad(sweeps[k].azimuth),
                                             (parts[k][0].size, rays)) for k in members])
        cos_el = np.concatenate([np.full(parts[k][0].size, np.cos(np.deg2rad(sweeps[k].elevation)))
                                 for k in members])
        fitted = _kernels.vad(vr, az, cos_el, min_gates, min_spread, n_threads)
        start = 0
        for k in members:
            index = parts[k][0]
            outs[k][:, index] = fitted[:, start:start + index.size]
            start += index.size
    return outs


def _near_nyquist(out, sweep, nyquist):
    ny = _nyquist_for(sweep, nyquist)
    # NaN compares False: an unknown Nyquist velocity flags nothing.
    return np.hypot(out[0], out[1]) >= ny, ny


def vad(sweep, field=None, *, index=None, min_gates=MIN_GATES, min_spread=MIN_SPREAD,
        nyquist=None, n_threads=0):
    """Horizontal wind at every range gate of one sweep, by a VAD fit.

    At each gate the radial velocities of all rays are fitted as
    vr = a0 + a1 sin(az) + b1 cos(az); u = a1 / cos(el) and v = b1 / cos(el),
    with el the median ray elevation of the sweep. A second fit adds the
    second harmonic (sin 2az, cos 2az), whose terms are returned as well.

    Parameters
    ----------
    sweep : xarray.Dataset or DataTree node or pyart Radar
        One xradar sweep with ``azimuth``, ``elevation``, ``range`` (m) and the
        velocity variable, in either dimension order; or a Py-ART Radar, of
        which sweep `index` (default: the first with velocities) is used.
    field : str, optional
        Velocity variable, m/s, unfolded. Default ``VRADH`` (xradar) or
        ``velocity`` (Py-ART).
    index : int, optional
        Sweep number, for a Py-ART Radar only.
    min_gates : int
        Least number of valid rays a gate needs (default 30).
    min_spread : float
        Least azimuth spread of the valid rays, the determinant of the
        covariance of (sin az, cos az): 0.25 for the full circle, 0.1 (the
        default) for about 220 degrees of contiguous arc.
    nyquist : float, optional
        Nyquist velocity, m/s, overriding the one in the data (xradar's
        Level II reader does not carry it; ODIM, CfRadial and Py-ART do).
        When unknown, no gate is flagged.
    n_threads : int
        Threads of the fit; 0 uses all cores.

    Returns
    -------
    xarray.Dataset
        Along ``range``: ``u``, ``v``, ``offset``, ``rms``, ``count``,
        ``offset2``, ``sin2``, ``cos2`` (m/s, counts as numbers) and
        ``near_nyquist``; coordinates ``height`` (above the radar) and
        ``altitude`` (above sea level), m. Missing values (masked,
        ``_FillValue``, Level II codes) are never fitted.
    """
    sw = _read_sweep(sweep, field, index)
    out, = _fit_sweeps([sw], min_gates, min_spread, n_threads)
    near, ny = _near_nyquist(out, sw, nyquist)
    height = gate_height(sw.range, sw.elevation)
    dims = ("range",)
    data = {name: _var(name, dims, out[k]) for k, name in
            enumerate(("u", "v", "offset", "rms", "count", "offset2", "sin2", "cos2"))}
    data["near_nyquist"] = _var("near_nyquist", dims, near)
    coords = {
        "range": _var("range", dims, sw.range),
        "height": _var("height", dims, height),
        "altitude": _var("altitude", dims, height + sw.altitude),
        "elevation": _var("elevation", (), sw.elevation),
        "nyquist_velocity": _var("nyquist_velocity", (), ny),
    }
    return xr.Dataset(data, coords, attrs={"sweep_number": sw.number,
                                           "min_gates": min_gates, "min_spread": min_spread})


# ---------------------------------------------------------------------------
# Per volume


def _bin_edges(lowest, bin_width, top):
    start = np.floor(lowest / bin_width) * bin_width
    n = int(np.ceil(round((top - start) / bin_width, 9)))
    return start + bin_width * np.arange(n + 1)


def _span(mask):
    """The slice from the first to the last True of a boolean vector."""
    where = np.flatnonzero(mask)
    return slice(where[0], where[-1] + 1) if where.size else slice(0, 0)


def _weighted_bins(index, nbins, weight, *values):
    """Per bin: the sum of weights, and the weighted mean and spread of each value."""
    total = np.bincount(index, weights=weight, minlength=nbins)
    with np.errstate(invalid="ignore", divide="ignore"):
        stats = []
        for x in values:
            mean = np.bincount(index, weights=weight * x, minlength=nbins) / total
            dev = x - mean[index]
            var = np.bincount(index, weights=weight * dev * dev, minlength=nbins) / total
            stats.append((mean, np.sqrt(var)))
    return total, stats


def vwp(volume, field=None, *, bin_width=BIN_WIDTH, top=TOP, edges=None,
        min_gates=MIN_GATES, min_spread=MIN_SPREAD, nyquist=None,
        exclude_near_nyquist=True, n_threads=0):
    """VAD wind profile of a radar volume: wind in height bins from all Doppler sweeps.

    Every sweep carrying `field` is fitted gate by gate (`vad`); the accepted
    gates are then combined in height bins. Combination rule: a gate is
    accepted where its fit is (u and v finite) and, by default, where its
    wind speed stays below the sweep's Nyquist velocity; the bin's wind is
    the mean of its accepted gates weighted by their number of valid rays,
    with the weighted standard deviation of u and v as the spread and the
    number of gates and of rays as counts. Empty bins hold NaN.

    Parameters
    ----------
    volume : xarray.DataTree or pyart Radar
        A whole volume (xradar: ``sweep_N`` groups, site ``altitude`` at the root).
    field : str, optional
        Velocity variable, unfolded; see `vad`.
    bin_width : float
        Bin depth, m (default 100); bins are aligned on multiples of it and run
        from the bin of the lowest gate of any Doppler sweep up to `top`.
    top : float
        Top of the profile, m above the radar (default 6000).
    edges : array_like, optional
        Bin edges, m above the radar, increasing; replaces `bin_width` and `top`.
    min_gates, min_spread, n_threads
        As for `vad`.
    nyquist : float or mapping, optional
        Nyquist velocity, m/s, for every sweep or per sweep number
        (``{1: 22.56, ...}``); overrides the data's.
    exclude_near_nyquist : bool
        Leave out gates flagged ``near_nyquist`` (default True).

    Returns
    -------
    xarray.Dataset
        Along ``height`` (bin centre above the radar, m; ``altitude`` above sea
        level): ``u``, ``v``, ``wind_speed``, ``wind_direction``, ``u_spread``,
        ``v_spread``, ``gate_count``, ``sample_count``; ``height_bounds``.
    """
    sweeps = list(_volume_sweeps(volume, field))
    if not sweeps:
        raise ValueError(f"no sweep carries the velocity field {field or 'VRADH/velocity'}")
    if edges is None:
        lowest = min(np.min(gate_height(sw.range, sw.elevation), initial=np.inf) for sw in sweeps)
        edges = _bin_edges(lowest, bin_width, top)
    edges = np.asarray(edges, dtype=np.float64)
    if edges.ndim != 1 or edges.size < 2 or not np.all(np.diff(edges) > 0):
        raise ValueError("edges must be increasing, at least two")

    heights = [gate_height(sw.range, sw.elevation) for sw in sweeps]
    inside = [(h >= edges[0]) & (h < edges[-1]) for h in heights]
    outs = _fit_sweeps(sweeps, min_gates, min_spread, n_threads, [_span(i) for i in inside])
    us, vs, counts, unknown = [], [], [], []
    for k, (sw, out) in enumerate(zip(sweeps, outs)):
        near, ny = _near_nyquist(out, sw, nyquist)
        ok = inside[k] & np.isfinite(out[0]) & np.isfinite(out[1])
        if exclude_near_nyquist:
            ok &= ~near
        if np.isnan(ny):
            unknown.append(sw.number)
        heights[k] = heights[k][ok]
        us.append(out[0, ok])
        vs.append(out[1, ok])
        counts.append(out[4, ok])
    if unknown and exclude_near_nyquist:
        warnings.warn(f"Nyquist velocity unknown for sweeps {unknown}: gates near it are not "
                      "flagged; pass nyquist=", stacklevel=2)
    nbins = edges.size - 1
    h, u, v, n = (np.concatenate(x) for x in (heights, us, vs, counts))
    index = np.clip(np.searchsorted(edges, h, side="right") - 1, 0, nbins - 1)
    samples, ((mu, su), (mv, sv)) = _weighted_bins(index, nbins, n, u, v)
    gates = np.bincount(index, minlength=nbins)

    dims = ("height",)
    centre = 0.5 * (edges[:-1] + edges[1:])
    direction = np.mod(np.rad2deg(np.arctan2(-mu, -mv)), 360.0)
    data = {
        "u": _var("u", dims, mu), "v": _var("v", dims, mv),
        "wind_speed": _var("wind_speed", dims, np.hypot(mu, mv)),
        "wind_direction": _var("wind_direction", dims, direction),
        "u_spread": _var("u_spread", dims, su), "v_spread": _var("v_spread", dims, sv),
        "gate_count": _var("gate_count", dims, gates),
        "sample_count": _var("sample_count", dims, samples),
        "height_bounds": xr.Variable(("height", "nv"), np.stack([edges[:-1], edges[1:]], 1),
                                     {"units": "m"}),
    }
    coords = {"height": _var("height", dims, centre, bounds="height_bounds"),
              "altitude": _var("altitude", dims, centre + sweeps[0].altitude)}
    return xr.Dataset(data, coords, attrs={
        "combination": "mean of accepted gates weighted by their number of valid rays",
        "min_gates": min_gates, "min_spread": min_spread,
        "exclude_near_nyquist": int(exclude_near_nyquist)})


# ---------------------------------------------------------------------------
# Helicity and layer-mean wind


def _meters_per_second(value):
    return float(value.m_as("m/s")) if hasattr(value, "m_as") else float(value)


def helicity(profile, storm_motion, layers=LAYERS, *, surface_wind=None, n_threads=0):
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
