"""`vwp_series`: many volumes to one (time, height) wind profile, read and fitted on Dask."""

from __future__ import annotations

import contextlib
import os
import threading

import numpy as np
import xarray as xr

from ._attrs import _var, dataset
from .level2 import _is_level2, open_volume
from .profile import vwp

# A threaded run shows its progress bar once it has taken this long; a
# distributed one from this many volumes on.
PROGRESS_AFTER = 5.0  # s
PROGRESS_FROM = 10  # volumes


# The netCDF and HDF5 libraries under xradar's other readers are not safe to
# use from several threads at once (a threaded series of CfRadial files
# crashed inside them); Level II files are read in Python and need no lock.
_NETCDF_LOCK = threading.Lock()


def _read(source, engine):
    """A volume from a file path (read whole, then closed), or the volume itself."""
    if not isinstance(source, (str, os.PathLike)):
        return source
    level2 = engine == "nexradlevel2" or (engine is None and _is_level2(source))
    with contextlib.nullcontext() if level2 else _NETCDF_LOCK:
        tree = open_volume(source, engine=engine)
        try:
            return tree.load()
        finally:
            tree.close()


def _profile(source, engine, options):
    """One volume's VWP as a plain Dataset, ready to be stacked along time."""
    profile = vwp(_read(source, engine), **options)
    return xr.Dataset(profile.data_vars, profile.coords, profile.attrs)


def _same_site(profiles):
    sites = np.array([[float(p[c]) for c in ("latitude", "longitude", "radar_altitude")]
                      for p in profiles])
    same = np.all((sites == sites[0]) | (np.isnan(sites) & np.isnan(sites[0])), axis=1)
    if not same.all():
        first = int(np.flatnonzero(~same)[0])
        raise ValueError(f"vwp_series(): volume {first} comes from another site "
                         f"(latitude, longitude, altitude {tuple(sites[first])}, not "
                         f"{tuple(sites[0])}); a series is one radar's")


def _stack(profiles):
    """The profiles along a new `time` dimension, on the union of their height bins.

    Bins are aligned on multiples of the bin width, so bins of the same height
    are the same bin in every volume; a volume without a bin holds NaN there
    and a gate count of 0.
    """
    _same_site(profiles)
    bounds = {}
    for p in profiles:
        bounds.update(zip(p["height"].values.tolist(), map(tuple, p["height_bounds"].values)))
    site = profiles[0]
    drop = ["height_bounds", "altitude", "latitude", "longitude", "radar_altitude"]
    stacked = xr.concat([p.drop_vars(drop) for p in profiles], dim="time", join="outer",
                        fill_value={"gate_count": 0, "sample_count": 0.0},
                        combine_attrs="override")
    height = stacked["height"].values
    stacked["height_bounds"] = xr.Variable(("height", "nv"),
                                           np.array([bounds[h] for h in height.tolist()]))
    altitude = float(site["radar_altitude"])
    return stacked.assign_coords(
        altitude=_var("altitude", ("height",), height + altitude),
        latitude=site["latitude"].variable, longitude=site["longitude"].variable,
        radar_altitude=site["radar_altitude"].variable)


def vwp_series(sources, *, client=None, engine=None, progress=None, **options):
    """VAD wind profiles of many volumes as one (time, height) Dataset.

    Each volume is read (when given as a path) and profiled by `vwp` in its
    own Dask task, in parallel: on the ``distributed`` `client` when one is
    given, else on Dask's threads. Every task is the call `vwp` makes alone,
    so the result has the bits of the serial loop over `sources`.

    Parameters
    ----------
    sources : sequence of path or volume
        Radar files (read with `open_volume`, which finds each Level II
        sweep's Nyquist velocity in the file)
        or volumes already read (xradar DataTree, Py-ART Radar), all from
        one radar.
    client : distributed.Client, optional
        Run the tasks on this cluster; default Dask's threaded scheduler.
    engine : str, optional
        xradar engine for the paths; found from the file for NEXRAD Level II.
    progress : bool, optional
        Show a progress bar. Default: on threads once the run has taken 5 s,
        on a cluster from 10 volumes on.
    **options
        Passed to `vwp` for every volume (``nyquist=``, ``bin_width=``,
        ``edges=``...). ``n_threads`` defaults to 1 there, as Dask already
        runs one volume per core.

    Returns
    -------
    xarray.Dataset
        The variables of `vwp` along (``time``, ``height``), in the order of
        `sources` (``time`` is each volume's start time). Heights are the
        union of the volumes' bins; a volume without a bin holds NaN there
        and a gate count of 0. The site coordinates and attributes are those
        of `vwp`.

    Raises
    ------
    ValueError
        For no sources, or volumes from more than one site.
    """
    import dask

    sources = list(sources)
    if not sources:
        raise ValueError("vwp_series(): no volumes given")
    options.setdefault("n_threads", 1)
    tasks = [dask.delayed(_profile, pure=False)(s, engine, options) for s in sources]
    if client is not None:
        futures = client.compute(tasks)
        if progress or (progress is None and len(tasks) >= PROGRESS_FROM):
            from distributed import progress as show

            show(futures)
        profiles = client.gather(futures)
    else:
        from dask.diagnostics import ProgressBar

        bar = (ProgressBar(minimum=0.0 if progress else PROGRESS_AFTER, dt=1.0)
               if progress is not False else contextlib.nullcontext())
        with bar:
            profiles = dask.compute(*tasks, scheduler="threads")
    stacked = _stack(list(profiles))
    return dataset(stacked.data_vars, stacked.coords,
                   attrs={**stacked.attrs, "volumes": len(sources)})
