"""`vwp`: the VAD wind profile of a volume, accepted gates in height bins."""

import warnings
from typing import Any

import numpy as np
import xarray as xr

from . import _units
from ._attrs import _var
from .fit import MIN_GATES, MIN_SPREAD, _fit_sweeps
from .geometry import gate_height
from .sources import _nyquist_for, _volume_sweeps
from .unfold import _aliased, _dealiased_sweeps

BIN_WIDTH = 100.0  # m
TOP = 6000.0  # m above the radar


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


def vwp(volume: Any, field: str | None = None, *, bin_width: Any = BIN_WIDTH, top: Any = TOP,
        edges: Any = None, min_gates: int = MIN_GATES, min_spread: float = MIN_SPREAD,
        nyquist: Any = None, dealias: bool = True, exclude_aliased: bool = True,
        n_threads: int = 0) -> xr.Dataset:
    """VAD wind profile of a radar volume: wind in height bins from all Doppler sweeps.

    Every sweep carrying `field` is unfolded (`dealias`, by default, where
    its Nyquist velocity is known) and fitted gate by gate (`vad`); the
    accepted gates are then combined in height bins. Combination rule: a
    gate is accepted where its fit is (u and v finite) and, by default,
    where its velocities are not aliased; the bin's wind is
    the mean of its accepted gates weighted by their number of valid rays,
    with the weighted standard deviation of u and v as the spread and the
    number of gates and of rays as counts. Empty bins hold NaN.

    Parameters
    ----------
    volume : xarray.DataTree or pyart Radar
        A whole volume (xradar: ``sweep_N`` groups, site ``altitude`` at the root).
    field : str, optional
        Velocity variable, unfolded; see `vad`.
    bin_width : float or pint.Quantity
        Bin depth, m (default 100; a Quantity in any length unit); bins are
        aligned on multiples of it and run from the bin of the lowest gate of
        any Doppler sweep up to `top`.
    top : float or pint.Quantity
        Top of the profile, m above the radar (default 6000); above the lowest gate.
    edges : array_like, optional
        Bin edges, m above the radar, increasing; replaces `bin_width` and `top`.
    min_gates, min_spread, n_threads
        As for `vad`.
    nyquist : float or mapping, optional
        Nyquist velocity, m/s, for every sweep or per sweep number
        (``{1: 22.56, ...}``); overrides the data's (`open_volume` reads it
        from Level II files).
    dealias : bool
        Unfold the velocities of every sweep whose Nyquist velocity is known
        before the fit (default True); unresolved gates stay out of it. Pass
        False for velocities already unfolded.
    exclude_aliased : bool
        Leave out gates flagged ``aliased`` by `vad` (default True).

    Returns
    -------
    xarray.Dataset
        Along ``height`` (bin centre above the radar, m; ``altitude`` above sea
        level): ``u``, ``v``, ``wind_speed``, ``wind_direction``, ``u_spread``,
        ``v_spread``, ``gate_count``, ``sample_count``, ``aliased`` (a gate of
        the bin was flagged aliased, left out or not); ``height_bounds``. The
        attributes ``dealias`` and ``aliasing`` say what was done.
    """
    min_gates, min_spread = _units.fit_arguments("vwp", min_gates, min_spread)
    nyquist = _units.nyquist_argument("vwp", nyquist)
    if edges is None:
        bin_width = _units.length_argument("vwp", "bin_width", bin_width)
        top = _units.length_argument("vwp", "top", top)
    vertical: list[int] = []
    sweeps = list(_volume_sweeps(volume, field, "vwp", vertical))
    if vertical:
        warnings.warn(f"vwp: sweeps {vertical} point near vertical (elevation above "
                      f"{_units.STEEPEST_ELEVATION:g}°) and hold no horizontal wind: left out",
                      stacklevel=2)
    if not sweeps:
        raise ValueError(f"vwp(): no sweep carries the velocity field "
                         f"{field or 'VRADH/velocity'}" + (" below vertical" if vertical else ""))
    if edges is None:
        lowest = min(np.min(gate_height(sw.range, sw.elevation), initial=np.inf) for sw in sweeps)
        if not top > lowest:
            raise ValueError(f"vwp(): argument 'top' = {top:g} m lies below the lowest gate "
                             f"({lowest:.1f} m above the radar); expected a higher top")
        edges = _bin_edges(lowest, bin_width, top)
    edges = _units.edges_argument("vwp", edges)

    folded_sweeps = []
    if dealias:
        sweeps, folded_sweeps = _dealiased_sweeps(sweeps, nyquist, n_threads)
    else:
        folded_sweeps = [sw.number for sw in sweeps]
    heights = [gate_height(sw.range, sw.elevation) for sw in sweeps]
    inside = [(h >= edges[0]) & (h < edges[-1]) for h in heights]
    outs = _fit_sweeps(sweeps, min_gates, min_spread, n_threads, [_span(i) for i in inside])
    us, vs, counts, unknown, flagged = [], [], [], [], []
    for k, (sw, out) in enumerate(zip(sweeps, outs)):
        ny = _nyquist_for(sw, nyquist)
        fitted = inside[k] & np.isfinite(out[0]) & np.isfinite(out[1])
        aliased = fitted & _aliased(sw, ny, n_threads) if sw.number in folded_sweeps else \
            np.zeros_like(fitted)
        ok = fitted & ~aliased if exclude_aliased else fitted
        if np.isnan(ny):
            unknown.append(sw.number)
        flagged.append(heights[k][aliased])
        heights[k] = heights[k][ok]
        us.append(out[0, ok])
        vs.append(out[1, ok])
        counts.append(out[4, ok])
    if unknown:
        warnings.warn(f"Nyquist velocity unknown for sweeps {unknown}: not unfolded, and aliasing "
                      "detected against the sweep's largest speed; pass nyquist= or open the file "
                      "with velmora.radar.open_volume", stacklevel=2)
    nbins = edges.size - 1
    h, u, v, n = (np.concatenate(x) for x in (heights, us, vs, counts))
    index = np.clip(np.searchsorted(edges, h, side="right") - 1, 0, nbins - 1)
    samples, ((mu, su), (mv, sv)) = _weighted_bins(index, nbins, n, u, v)
    gates = np.bincount(index, minlength=nbins)
    flagged = np.concatenate(flagged)
    aliased_bins = np.bincount(np.clip(np.searchsorted(edges, flagged, side="right") - 1, 0, nbins - 1),
                               minlength=nbins) > 0

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
        "aliased": _var("aliased", dims, aliased_bins),
        "height_bounds": xr.Variable(("height", "nv"), np.stack([edges[:-1], edges[1:]], 1),
                                     {"units": "m"}),
    }
    coords = {"height": _var("height", dims, centre, bounds="height_bounds"),
              "altitude": _var("altitude", dims, centre + sweeps[0].altitude)}
    return xr.Dataset(data, coords, attrs={
        "combination": "mean of accepted gates weighted by their number of valid rays",
        "min_gates": min_gates, "min_spread": min_spread,
        "dealias": (f"unfolded with velmora.radar.dealias before the fit: sweeps "
                    f"{[sw.number for sw in sweeps if sw.number not in folded_sweeps]}; as given: "
                    f"sweeps {folded_sweeps}"),
        "aliasing": ("gates of the sweeps fitted as given whose velocities are inconsistent with "
                     "an unaliased wind are flagged (aliased)"
                     + (" and left out" if exclude_aliased else ", and kept")),
        "exclude_aliased": int(exclude_aliased)})
