"""`vwp`: the VAD wind profile of a volume, accepted gates in height bins."""

import warnings

import numpy as np
import xarray as xr

from ._attrs import _var, dataset
from . import qc as _qc
from .fit import MIN_GATES, MIN_SPREAD, _fit_checked, _near_nyquist
from .geometry import gate_height
from .sources import _volume_site, _volume_sweeps

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


def vwp(volume, field=None, *, bin_width=BIN_WIDTH, top=None, edges=None,
        min_gates=MIN_GATES, min_spread=MIN_SPREAD, nyquist=None,
        exclude_near_nyquist=True, qc=True, n_threads=0):
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
    top : float, optional
        Top of the profile, m above the radar. Default: the top of the bin of
        the highest accepted gate, 10 km at the least, so that the 0-6 km
        layer is covered whenever the data reach it.
    edges : array_like, optional
        Bin edges, m above the radar, increasing; replaces `bin_width` and `top`.
    min_gates, min_spread, n_threads
        As for `vad`.
    nyquist : float or mapping, optional
        Nyquist velocity, m/s, for every sweep or per sweep number
        (``{1: 22.56, ...}``); overrides the data's.
    exclude_near_nyquist : bool
        Leave out gates flagged ``near_nyquist`` (default True).
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
        ``sample_count``; ``height_bounds``. Scalar coordinates ``time`` (start
        of the volume, UTC), ``latitude``, ``longitude`` and ``radar_altitude``
        of the site, and the attribute ``instrument_name``, as far as the reader
        knows them (NaT, NaN, "" otherwise). ``qc_flag`` per bin (0 accepted)
        and ``rejected_gates`` along (``height``, ``qc_step``): the gates each
        gate-level step rejected in the bin. The attributes say which QC
        steps ran with which thresholds.

    Warns
    -----
    UserWarning
        When a sweep's first gate lies beyond ten gate spacings (a misread
        range), and when the Nyquist velocity is unknown.
    """
    qc = _qc.QC.of(qc)
    sweeps = list(_volume_sweeps(volume, field))
    if not sweeps:
        raise ValueError(f"no sweep carries the velocity field {field or 'VRADH/velocity'}")
    for sw in sweeps:
        _qc.warn_far_first_gate(sw)
    heights = [gate_height(sw.range, sw.elevation) for sw in sweeps]
    lowest = min(np.min(h, initial=np.inf) for h in heights)
    if edges is not None:
        edges = np.asarray(edges, dtype=np.float64)
        if edges.ndim != 1 or edges.size < 2 or not np.all(np.diff(edges) > 0):
            raise ValueError("edges must be increasing, at least two")
        low, high = edges[0], edges[-1]
    else:
        low, high = -np.inf, np.inf if top is None else top
    inside = [(h >= low) & (h < high) for h in heights]
    outs, flags, _ = _fit_checked(sweeps, min_gates, min_spread, n_threads, qc,
                                  [_span(i) for i in inside])
    if edges is None:
        if top is None:  # up to the bin of the highest accepted gate, 10 km at least
            top = max([TOP, *(float(np.max(h[(f == 0) & i], initial=0.0)) // bin_width
                              * bin_width + bin_width for h, f, i in zip(heights, flags, inside))])
        edges = _bin_edges(lowest, bin_width, top)
    inside = [(h >= edges[0]) & (h < edges[-1]) for h in heights]

    us, vs, counts, unknown, rejected = [], [], [], [], []
    for k, (sw, out) in enumerate(zip(sweeps, outs)):
        near, ny = _near_nyquist(out, sw, nyquist)
        if exclude_near_nyquist:
            flags[k][(flags[k] == 0) & near] = _qc.FLAG["near_nyquist"]
        if np.isnan(ny):
            unknown.append(sw.number)
        ok = inside[k] & (flags[k] == 0)
        # Gates without a single valid ray are not rejections, only empty.
        rejected.append((heights[k][inside[k] & (flags[k] != 0) & (out[4] > 0)],
                         flags[k][inside[k] & (flags[k] != 0) & (out[4] > 0)]))
        heights[k] = heights[k][ok]
        us.append(out[0, ok])
        vs.append(out[1, ok])
        counts.append(out[4, ok])
    if unknown and exclude_near_nyquist:
        warnings.warn(f"Nyquist velocity unknown for sweeps {unknown}: gates near it are not "
                      "flagged; pass nyquist=", stacklevel=2)
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

    dims = ("height",)
    centre = 0.5 * (edges[:-1] + edges[1:])
    direction = np.mod(np.rad2deg(np.arctan2(-mu, -mv)), 360.0)
    data = {
        "eastward_wind": _var("eastward_wind", dims, mu),
        "northward_wind": _var("northward_wind", dims, mv),
        "wind_speed": _var("wind_speed", dims, np.hypot(mu, mv)),
        "wind_direction": _var("wind_direction", dims, direction),
        "u_spread": _var("u_spread", dims, su), "v_spread": _var("v_spread", dims, sv),
        "gate_count": _var("gate_count", dims, gates),
        "sample_count": _var("sample_count", dims, samples),
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
              **_site_coords(_volume_site(volume), sweeps[0].altitude)}
    return dataset(data, coords, attrs={
        "instrument_name": _volume_site(volume).instrument_name,
        "combination": "mean of accepted gates weighted by their number of valid rays",
        "min_gates": min_gates, "min_spread": min_spread,
        "exclude_near_nyquist": int(exclude_near_nyquist), **qc.attrs()})
