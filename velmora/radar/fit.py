"""`vad`: the wind at every range gate of one sweep."""

import numpy as np
import xarray as xr

from .. import _radar
from ._attrs import _var
from .geometry import gate_height
from .sources import _nyquist_for, _read_sweep

MIN_GATES = 30  # valid rays a gate needs for a fit
MIN_SPREAD = 0.1  # azimuth spread: 0.25 is the full circle, 0.1 about 220 degrees of arc
# Elevations of a sweep that spread by at most this much (degrees) share the
# median's cosine; beyond it each ray's own cosine enters the fit.
ELEVATION_SPREAD = 0.3


def _cosines(sweep):
    """The cosine of elevation of every ray of `sweep`, as the fit takes it."""
    rays = sweep.data.shape[0]
    el = sweep.ray_elevation
    if el is not None:
        finite = el[np.isfinite(el)]
        if finite.size and finite.max() - finite.min() > ELEVATION_SPREAD:
            return np.cos(np.deg2rad(el))
    return np.full(rays, np.cos(np.deg2rad(sweep.elevation)))


def _gather(sweep, gates):
    """The sweep as the compiled fit reads it, its gates in slice `gates`.

    Nothing is copied: the data stay as stored (float32 or float64, any
    strides) and the kernel itself leaves out masked gates, non-finite
    values, the reserved value ranges and rays without an azimuth.
    """
    start, stop, _ = gates.indices(sweep.data.shape[1])
    stop = max(start, stop)
    reserved = np.asarray(sweep.reserved, dtype=np.float64).reshape(-1, 2)
    return (sweep.data, sweep.mask, np.deg2rad(sweep.azimuth), _cosines(sweep), reserved,
            start, stop)


def _fit_sweeps(sweeps, min_gates, min_spread, n_threads, gates=None):
    """The kernel's (8, gates) output for every sweep.

    Each row of the fit is one gate, its samples the rays of its sweep. All
    sweeps go into one kernel call, so that the threads share them. `gates`,
    a slice per sweep (step 1), limits the gates that are fitted; the
    others hold NaN, with a count of 0.
    """
    gates = [slice(None)] * len(sweeps) if gates is None else gates
    parts = [_gather(sw, sel) for sw, sel in zip(sweeps, gates)]
    fitted = _radar.vad_sweeps(parts, min_gates, min_spread, n_threads)
    outs = []
    column = 0
    for sw, (*_, start, stop) in zip(sweeps, parts):
        out = np.full((8, sw.data.shape[1]), np.nan)
        out[4] = 0.0
        out[:, start:stop] = fitted[:, column:column + stop - start]
        column += stop - start
        outs.append(out)
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
    with el the median ray elevation of the sweep. When the elevations of
    the rays spread by more than 0.3 degrees, each ray's own elevation
    enters instead: the regressors become cos(el_j) sin(az_j) and
    cos(el_j) cos(az_j), whose coefficients are u and v. A second fit adds
    the second harmonic (sin 2az, cos 2az), whose terms are returned as well.

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
