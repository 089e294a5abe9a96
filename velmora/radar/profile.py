"""`vwp`: the VAD wind profile of a volume, accepted gates in height bins."""

import warnings
from typing import Any

import numpy as np
import xarray as xr

from . import _units
from . import qc as _qc
from ._attrs import _var, dataset
from .fit import MIN_GATES, MIN_SPREAD, _fit_checked
from .geometry import gate_height
from .sources import _nyquist_for, _volume_site, _volume_sweeps
from .unfold import _aliased, _dealiased_sweeps

BIN_WIDTH = 100.0  # m
TOP = 10_000.0  # m above the radar: the least default top, which rises to where the data end


def _bin_edges(lowest, bin_width, top):
    start = np.floor(lowest / bin_width) * bin_width
    n = int(np.ceil(round((top - start) / bin_width, 9)))
    return start + bin_width * np.arange(n + 1)


def _site_coords(site, altitude):
    """Scalar coordinates of when and where (CF), the antenna altitude that of the sweeps."""
    return {"time": _var("time", (), site.time), "latitude": _var("latitude", (), site.latitude),
            "longitude": _var("longitude", (), site.longitude),
            "radar_altitude": _var("radar_altitude", (), altitude)}


def _bin_index(edges, h):
    return np.clip(np.searchsorted(edges, h, side="right") - 1, 0, edges.size - 2)


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


def vwp(volume: Any, field: str | None = None, *, bin_width: Any = BIN_WIDTH, top: Any = None,
        edges: Any = None, min_gates: int = MIN_GATES, min_spread: float = MIN_SPREAD,
        nyquist: Any = None, dealias: bool = True, exclude_aliased: bool = True,
        check_aliasing: bool = True, qc: Any = True, n_threads: int = 0) -> xr.Dataset:
    """VAD wind profile of a radar volume: wind in height bins from all Doppler sweeps.

    Every sweep carrying `field` is unfolded (`dealias`, by default, where
    its Nyquist velocity is known) and fitted gate by gate (`vad`, with its
    quality control); the accepted gates are then combined in height bins.
    Combination rule: a gate is accepted where its fit is (u and v finite),
    it passed the QC and, by default, its velocities are not aliased; the
    bin's wind is the mean of its accepted gates weighted by their number of
    valid rays, with the weighted standard deviation of u and v as the
    spread and the number of gates and of rays as counts. Empty bins, and
    bins the QC rejects, hold NaN.

    Parameters
    ----------
    volume : xarray.DataTree or pyart Radar
        A whole volume (xradar: ``sweep_N`` groups, site ``altitude`` at the root).
    field : str, optional
        Velocity variable; see `vad`.
    bin_width : float or pint.Quantity
        Bin depth, m (default 100; a Quantity in any length unit); bins are
        aligned on multiples of it and run from the bin of the lowest gate of
        any Doppler sweep up to `top`.
    top : float or pint.Quantity, optional
        Top of the profile, m above the radar, above the lowest gate. Default:
        the top of the bin of the highest accepted gate, 10 km at the least,
        so that the 0-6 km layer is covered whenever the data reach it.
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
    check_aliasing : bool
        Check the sweeps fitted as given for aliasing (default True). The
        check runs the unfolding on each of them, most of the cost of a
        `vwp` without unfolding; False skips it for velocities known to be
        unfolded, and the attribute ``aliasing`` then says "not checked".
    qc : bool or QC
        Quality control, as for `vad`, and per bin: at least 3 accepted gates
        and a spread hypot(u_spread, v_spread) of at most 5 m/s, else the
        bin's wind is NaN and ``qc_flag`` says why.

    Returns
    -------
    xarray.Dataset
        Along ``height`` (bin centre above the radar, m; ``altitude`` above sea
        level): ``eastward_wind``, ``northward_wind``, ``wind_speed``,
        ``wind_direction``, ``u_spread``, ``v_spread``, ``gate_count``,
        ``sample_count``, ``aliased`` (a gate of the bin was flagged aliased,
        left out or not); ``height_bounds``. Scalar coordinates ``time``
        (start of the volume, UTC), ``latitude``, ``longitude`` and
        ``radar_altitude`` of the site, and the attribute
        ``instrument_name``, as far as the reader knows them (NaT, NaN, ""
        otherwise). ``qc_flag`` per bin (0 accepted) and ``rejected_gates``
        along (``height``, ``qc_step``): the gates each gate-level step
        rejected in the bin. The attributes say which QC steps ran with which
        thresholds, and ``dealias`` and ``aliasing`` what was unfolded and
        flagged.

    Warns
    -----
    UserWarning
        When a sweep's first gate lies beyond ten gate spacings (a misread
        range), when the Nyquist velocity is unknown, and when sweeps point
        near vertical (they are left out).
    """
    min_gates, min_spread = _units.fit_arguments("vwp", min_gates, min_spread)
    nyquist = _units.nyquist_argument("vwp", nyquist)
    qc = _qc.QC.of(qc)
    if edges is None:
        bin_width = _units.length_argument("vwp", "bin_width", bin_width)
        if top is not None:
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
    for sw in sweeps:
        _qc.warn_far_first_gate(sw)
    heights = [gate_height(sw.range, sw.elevation) for sw in sweeps]
    lowest = min(np.min(h, initial=np.inf) for h in heights)
    if edges is not None:
        edges = _units.edges_argument("vwp", edges)
        low, high = edges[0], edges[-1]
    else:
        if top is not None and not top > lowest:
            raise ValueError(f"vwp(): argument 'top' = {top:g} m lies below the lowest gate "
                             f"({lowest:.1f} m above the radar); expected a higher top")
        low, high = -np.inf, np.inf if top is None else top

    if dealias:
        sweeps, folded_sweeps = _dealiased_sweeps(sweeps, nyquist, n_threads)
    else:
        folded_sweeps = [sw.number for sw in sweeps]
    inside = [(h >= low) & (h < high) for h in heights]
    outs, flags, _ = _fit_checked(sweeps, min_gates, min_spread, n_threads, qc,
                                  [_span(i) for i in inside])
    if edges is None:
        if top is None:  # up to the bin of the highest accepted gate, 10 km at least
            top = max([TOP, *(float(np.max(h[(f == 0) & i], initial=0.0)) // bin_width
                              * bin_width + bin_width for h, f, i in zip(heights, flags, inside))])
        edges = _bin_edges(lowest, bin_width, top)
    inside = [(h >= edges[0]) & (h < edges[-1]) for h in heights]

    us, vs, counts, unknown, rejected, flagged = [], [], [], [], [], []
    for k, (sw, out) in enumerate(zip(sweeps, outs)):
        ny = _nyquist_for(sw, nyquist)
        fitted = inside[k] & np.isfinite(out[0]) & np.isfinite(out[1])
        checked = check_aliasing and sw.number in folded_sweeps
        aliased = fitted & _aliased(sw, ny, n_threads) if checked else np.zeros_like(fitted)
        if exclude_aliased:
            flags[k][(flags[k] == 0) & aliased] = _qc.FLAG["aliased"]
        if np.isnan(ny):
            unknown.append(sw.number)
        flagged.append(heights[k][aliased])
        ok = fitted & (flags[k] == 0)
        # Gates without a single valid ray are not rejections, only empty.
        dropped = inside[k] & (flags[k] != 0) & (out[4] > 0)
        rejected.append((heights[k][dropped], flags[k][dropped]))
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
    index = _bin_index(edges, h)
    samples, ((mu, su), (mv, sv)) = _weighted_bins(index, nbins, n, u, v)
    gates = np.bincount(index, minlength=nbins)
    bin_flag = _qc.bin_flags(gates, su, sv, qc)
    mu, mv = np.where(bin_flag == 0, mu, np.nan), np.where(bin_flag == 0, mv, np.nan)
    rejected_h, rejected_flag = (np.concatenate(x) for x in zip(*rejected))
    by_step = np.zeros((nbins, len(_qc.GATE_STEPS)), dtype=np.int64)
    np.add.at(by_step, (_bin_index(edges, rejected_h), rejected_flag.astype(np.int64) - 1), 1)
    aliased_bins = np.bincount(_bin_index(edges, np.concatenate(flagged)), minlength=nbins) > 0

    dims = ("height",)
    centre = 0.5 * (edges[:-1] + edges[1:])
    direction = np.mod(np.rad2deg(np.arctan2(-mu, -mv)), 360.0)
    site = _volume_site(volume)
    data = {
        "eastward_wind": _var("eastward_wind", dims, mu),
        "northward_wind": _var("northward_wind", dims, mv),
        "wind_speed": _var("wind_speed", dims, np.hypot(mu, mv)),
        "wind_direction": _var("wind_direction", dims, direction),
        "u_spread": _var("u_spread", dims, su), "v_spread": _var("v_spread", dims, sv),
        "gate_count": _var("gate_count", dims, gates),
        "sample_count": _var("sample_count", dims, samples),
        "aliased": _var("aliased", dims, aliased_bins),
        "qc_flag": xr.Variable(dims, bin_flag, _qc.flag_attrs("reason the bin has no wind")),
        "rejected_gates": xr.Variable(("height", "qc_step"), by_step, {
            "units": "1", "long_name": "gates in the bin rejected, by the step that rejected "
                                       "them"}),
        # CF bounds take the units of their coordinate (netCDF drops their own).
        "height_bounds": xr.Variable(("height", "nv"), np.stack([edges[:-1], edges[1:]], 1)),
    }
    coords = {"qc_step": xr.Variable(("qc_step",), np.array(_qc.GATE_STEPS),
                                     {"long_name": "gate-level QC step"}),
              "height": _var("height", dims, centre, bounds="height_bounds"),
              "altitude": _var("altitude", dims, centre + sweeps[0].altitude),
              **_site_coords(site, sweeps[0].altitude)}
    return dataset(data, coords, attrs={
        "instrument_name": site.instrument_name,
        "combination": "mean of accepted gates weighted by their number of valid rays",
        "min_gates": min_gates, "min_spread": min_spread,
        "dealias": (f"unfolded with velmora.radar.dealias before the fit: sweeps "
                    f"{[sw.number for sw in sweeps if sw.number not in folded_sweeps]}; as given: "
                    f"sweeps {folded_sweeps}"),
        "aliasing": ("gates of the sweeps fitted as given whose velocities are inconsistent with "
                     "an unaliased wind are flagged (aliased)"
                     + (" and left out" if exclude_aliased else ", and kept")
                     if check_aliasing else "not checked (check_aliasing=False)"),
        "exclude_aliased": int(exclude_aliased), **qc.attrs()})
