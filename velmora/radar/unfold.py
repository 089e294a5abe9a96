"""`dealias`: aliased radial velocities unfolded, sweep by sweep.

The method, in three steps, each sweep on its own:

1. A first guess of the wind that needs no unfolded data. The azimuthal
   derivative of a first harmonic vr = a0 + a1 sin(az) + b1 cos(az) is a first
   harmonic too; it is fitted to the differences between rays about 4 degrees
   apart, each wrapped into the Nyquist interval, which aliasing does not
   change as long as the wind turns less than a Nyquist velocity over 4
   degrees (the gradient VAD of Tabary et al. 2001, Gao et al. 2004). The
   velocities unfolded against it, and against calm air, are fitted by least
   squares (Browning and Wexler 1968), three times, leaving out samples more
   than half a Nyquist velocity from the guess; at each gate the start that
   keeps more samples wins. Range gates whose fit keeps less than 70 % of
   their samples, leaves far more misfit than the sweep's usual one (a
   vortex, not the wind), or spans less than about half the circle take the
   fit interpolated along range from their neighbours.
2. Continuity. Gates joined along a ray or across neighbouring rays by a raw
   step under half the Nyquist velocity form regions that share one fold
   count; neighbouring regions settle each other's folds by the majority of
   the votes of their common boundary, the region with most boundary to the
   settled ones first (region-based unfolding: James and Houze 2001; Louf et
   al. 2020). Regions joined this way form a cluster, whose folds are known
   up to one common shift, which the first guess settles: the shift most of
   the cluster's gates agree with (within half a Nyquist velocity), or the
   one of the cluster's mean departure if that stays within half a Nyquist
   velocity (0.8 for no shift). Clusters left open try again against a second
   guess, fitted to the gates unfolded so far. A region whose boundary votes
   are split stays unresolved.
3. A check: a gate that differs by a Nyquist velocity or more from most of
   its unfolded neighbours takes the fold nearest the mean of the agreeing
   gates around it (3 rays by 5 gates) if those agree among themselves; it
   is unresolved otherwise, and so is a gate without neighbours more than
   half a Nyquist velocity from the first guess.

Unresolved gates are left missing, never guessed. The result is the same
for any number of threads: one thread computes a sweep from start to end.

References
----------
Browning, K. A. and R. Wexler, 1968: The determination of kinematic
properties of a wind field using Doppler radar. J. Appl. Meteor., 7, 105-113.

Gao, J., K. K. Droegemeier, J. Gong and Q. Xu, 2004: A method for retrieving
mean horizontal wind profiles from single-Doppler radar observations
contaminated by aliasing. Mon. Wea. Rev., 132, 1399-1409.

James, C. N. and R. A. Houze, 2001: A real-time four-dimensional Doppler
dealiasing scheme. J. Atmos. Oceanic Technol., 18, 1674-1683.

Louf, V., A. Protat, R. C. Jackson, S. M. Collis and J. Helmus, 2020:
UNRAVEL: A robust modular velocity dealiasing technique for Doppler radar.
J. Atmos. Oceanic Technol., 37, 741-758.

Tabary, P., G. Scialom and U. Germann, 2001: Real-time retrieval of the wind
from aliased velocities measured by Doppler radars. J. Atmos. Oceanic
Technol., 18, 875-882.
"""

import copy
import dataclasses
from typing import Any

import numpy as np
import xarray as xr

from .. import _radar
from .sources import (_is_pyart, _nyquist_for, _pyart_sweep, _sweep_names, _xradar_sweep,
                      doppler_sweeps)

# Of a gate's valid samples, the share that may be folded or unresolved
# before the gate counts as aliased.
ALIASED_SHARE = 0.01
UNRESOLVED_SHARE = 0.1

_OUTPUT_ATTRS = {
    "unfolded_velocity": dict(units="m s-1", standard_name="radial_velocity_of_scatterers_away_from_instrument",
                              long_name="unfolded radial velocity"),
    "fold_count": dict(units="1", long_name="number of twice-Nyquist intervals added to the velocity"),
    "unresolved": dict(long_name="valid velocity that could not be unfolded with confidence"),
}


def _valid_data(sw):
    """The sweep's velocities as float64, NaN where masked, missing or
    reserved, and NaN on rays without an azimuth."""
    x = np.array(sw.data, dtype=np.float64)
    if sw.mask is not None:
        x[sw.mask] = np.nan
    for low, high in sw.reserved:
        x[(x >= low) & (x <= high)] = np.nan
    x[~np.isfinite(sw.azimuth)] = np.nan
    return x


def _checked_nyquist(value, number):
    value = float(value)
    if not (np.isfinite(value) and value > 0.0):
        raise ValueError(f"the Nyquist velocity of sweep {number} must be positive and finite, "
                         f"got {value}; pass nyquist= (m/s) or open Level II files with "
                         "velmora.radar.open_volume, which reads it from the file")
    return value


def _unfold_sweeps(sweeps, nyquists, n_threads=0):
    """(unfolded, fold_count, unresolved) per sweep, each (rays, gates) in the
    sweep's own ray order.

    The kernel wants rays sorted by azimuth: a stable sort, undone after.
    Rays without an azimuth stay out of it (their valid gates unresolved).
    """
    blocks, azimuths, shapes, orders = [], [], [], []
    for sw in sweeps:
        x = _valid_data(sw)
        az = np.asarray(sw.azimuth, dtype=np.float64)
        keep = np.flatnonzero(np.isfinite(az))
        order = keep[np.argsort(np.mod(az[keep], 360.0), kind="stable")]
        orders.append(order)
        blocks.append(x[order].ravel())
        azimuths.append(np.mod(az[order], 360.0))
        shapes.append((order.size, x.shape[1]))
    flat = (np.concatenate(blocks) if blocks else np.zeros(0))
    unfolded, fold, unresolved = _radar.unfold(
        flat, np.concatenate(azimuths) if azimuths else np.zeros(0),
        np.asarray(shapes, dtype=np.int64).reshape(-1, 2), np.asarray(nyquists, dtype=np.float64),
        n_threads)
    results, start = [], 0
    for sw, order, (rays, gates) in zip(sweeps, orders, shapes):
        stop = start + rays * gates
        x = _valid_data(sw)
        out = np.full(x.shape, np.nan)
        counts = np.zeros(x.shape, np.int8)
        flags = np.isfinite(x)  # rays without an azimuth stay unresolved
        out[order] = unfolded[start:stop].reshape(rays, gates)
        counts[order] = fold[start:stop].reshape(rays, gates)
        flags[order] = unresolved[start:stop].reshape(rays, gates)
        results.append((out, counts, flags))
        start = stop
    return results


def _aliased(sweep, nyquist, n_threads=0):
    """Gates (along range) of a sweep whose velocities, as given, are
    inconsistent with an unaliased wind: the unfolding adds a fold to more
    than 1 % of their valid samples, or cannot resolve more than 10 %.

    With the Nyquist velocity unknown, the largest speed of the sweep stands
    for it: folded data never exceed it, so a fold still shows as a step of
    about twice that. Velocities already unfolded keep fold 0 and pass.
    """
    x = _valid_data(sweep)
    valid = np.isfinite(x)
    if not np.isfinite(nyquist):
        nyquist = float(np.max(np.abs(x[valid]), initial=0.0))
        if nyquist <= 0.0:
            return np.zeros(x.shape[1], bool)
    sw = dataclasses.replace(sweep, data=x, reserved=[], mask=None)
    _, fold, unresolved = _unfold_sweeps([sw], [nyquist], n_threads)[0]
    n_valid = valid.sum(axis=0)
    folded = ((fold != 0) & ~unresolved).sum(axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        return (folded > ALIASED_SHARE * n_valid) | (unresolved.sum(axis=0) > UNRESOLVED_SHARE * n_valid)


def _dealiased_sweeps(sweeps, nyquist, n_threads=0):
    """The sweeps whose Nyquist velocity is known, their data replaced by the
    unfolded velocities (unresolved gates missing); and the numbers of the
    sweeps left as they were, for want of a Nyquist velocity."""
    nys = [_nyquist_for(sw, nyquist) for sw in sweeps]
    known = [k for k, ny in enumerate(nys) if not np.isnan(ny)]
    results = _unfold_sweeps([sweeps[k] for k in known],
                             [_checked_nyquist(nys[k], sweeps[k].number) for k in known], n_threads)
    out = list(sweeps)
    for k, (u, _, _) in zip(known, results):
        out[k] = dataclasses.replace(sweeps[k], data=u, reserved=[], mask=None)
    return out, [sw.number for k, sw in enumerate(sweeps) if k not in known]


def _variables(like, results):
    """The three output variables on the dimensions of DataArray `like`."""
    u, fold, flags = results
    dims = like.dims
    if dims[-1] != "range":  # the sweep record holds rays along rows
        u, fold, flags = u.T, fold.T, flags.T
    return {"unfolded_velocity": xr.Variable(dims, u, _OUTPUT_ATTRS["unfolded_velocity"]),
            "fold_count": xr.Variable(dims, fold, _OUTPUT_ATTRS["fold_count"]),
            "unresolved": xr.Variable(dims, flags, _OUTPUT_ATTRS["unresolved"])}


def _dealias_dataset(ds, field, nyquist, n_threads, altitude=None):
    field = field or "VRADH"
    if field not in ds.data_vars:
        raise ValueError(f"the sweep has no velocity variable {field!r}")
    sw = _xradar_sweep(ds, field, altitude)
    ny = _checked_nyquist(_nyquist_for(sw, nyquist), sw.number)
    result, = _unfold_sweeps([sw], [ny], n_threads)
    out = ds.copy()
    for name, var in _variables(ds[field], result).items():
        out[name] = var
    out["unfolded_velocity"].attrs["nyquist_velocity"] = ny
    return out


def _dealias_tree(tree, field, nyquist, n_threads):
    names = _sweep_names(tree)
    if not names:  # a single sweep node
        out = tree.copy()
        out.dataset = _dealias_dataset(tree.to_dataset(), field, nyquist, n_threads)
        return out
    numbers = doppler_sweeps(tree, field)
    if not numbers:
        raise ValueError(f"no sweep carries the velocity field {field or 'VRADH'}")
    sweeps = [_xradar_sweep(tree[f"sweep_{n}"].ds, field or "VRADH", 0.0, n) for n in numbers]
    nys = [_checked_nyquist(_nyquist_for(sw, nyquist), sw.number) for sw in sweeps]
    results = _unfold_sweeps(sweeps, nys, n_threads)
    out = tree.copy()
    for n, ny, result in zip(numbers, nys, results):
        node = out[f"sweep_{n}"]
        ds = node.to_dataset()
        for name, var in _variables(ds[field or "VRADH"], result).items():
            ds[name] = var
        ds["unfolded_velocity"].attrs["nyquist_velocity"] = ny
        node.dataset = ds
    return out


def _dealias_pyart(radar, field, nyquist, n_threads):
    field = field or "velocity"
    if field not in radar.fields:
        raise ValueError(f"the radar has no velocity field {field!r}")
    numbers = doppler_sweeps(radar, field)
    sweeps = [_pyart_sweep(radar, n, field) for n in numbers]
    nys = [_checked_nyquist(_nyquist_for(sw, nyquist), sw.number) for sw in sweeps]
    results = _unfold_sweeps(sweeps, nys, n_threads)
    shape = radar.fields[field]["data"].shape
    u = np.full(shape, np.nan)
    fold = np.zeros(shape, np.int8)
    flags = np.zeros(shape, bool)
    for n, (un, fo, fl) in zip(numbers, results):
        rays = radar.get_slice(n)
        gates = un.shape[1]
        u[rays, :gates], fold[rays, :gates], flags[rays, :gates] = un, fo, fl
    out = copy.deepcopy(radar)
    out.fields["unfolded_velocity"] = dict(_OUTPUT_ATTRS["unfolded_velocity"],
                                           data=np.ma.masked_invalid(u))
    out.fields["fold_count"] = dict(_OUTPUT_ATTRS["fold_count"], data=fold)
    out.fields["unresolved"] = dict(_OUTPUT_ATTRS["unresolved"], data=flags)
    return out


def dealias(obj: Any, field: str | None = None, *, nyquist: Any = None,
            n_threads: int = 0) -> Any:
    """Unfold aliased radial velocities.

    Parameters
    ----------
    obj : xarray.Dataset, xarray.DataTree or pyart Radar
        An xradar sweep (Dataset or tree node), an xradar volume (DataTree
        with ``sweep_N`` groups) or a Py-ART Radar.
    field : str, optional
        The velocity variable, m/s, as measured (folded into the Nyquist
        interval). Default ``VRADH`` (xradar) or ``velocity`` (Py-ART).
    nyquist : float or mapping, optional
        Nyquist velocity, m/s, for every sweep or per sweep number; default:
        the data's (``nyquist_velocity``, as `open_volume` adds for Level II).
    n_threads : int
        Threads, one sweep each; 0 uses all cores. The result does not depend
        on it.

    Returns
    -------
    same type as `obj`
        A new object (the input is unchanged) with, on the velocity's
        dimensions: ``unfolded_velocity`` (m s-1, NaN where missing or
        unresolved), ``fold_count`` (int8, the number of twice-Nyquist
        intervals added) and ``unresolved`` (bool, valid input that could not
        be unfolded with confidence).

    Raises
    ------
    ValueError
        Without the velocity variable, or where a sweep's Nyquist velocity is
        unknown, not positive or not finite.

    Notes
    -----
    The method and its references are in the module docstring of
    `velmora.radar.unfold`.
    """
    if _is_pyart(obj):
        return _dealias_pyart(obj, field, nyquist, n_threads)
    if isinstance(obj, xr.DataTree):
        return _dealias_tree(obj, field, nyquist, n_threads)
    if isinstance(obj, xr.Dataset):
        return _dealias_dataset(obj, field, nyquist, n_threads)
    raise TypeError(f"dealias takes an xradar sweep or volume or a Py-ART Radar, "
                    f"not {type(obj).__name__}")
