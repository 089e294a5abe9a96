"""Synthetic radar sweeps and volumes shaped like xradar's, with known winds."""

from __future__ import annotations

import numpy as np
import xarray as xr

# Level II velocity at 0.5 m/s: raw = (v + 64.5) / 0.5; raw 0 and 1 are codes.
SCALE, OFFSET = 0.5, -64.5
BELOW_THRESHOLD, RANGE_FOLDED = OFFSET, OFFSET + SCALE


def radial_velocity(u, v, azimuth_deg, elevation_deg, offset=0.0):
    az = np.deg2rad(azimuth_deg)
    return offset + (u * np.sin(az) + v * np.cos(az)) * np.cos(np.deg2rad(elevation_deg))


def sweep(u=10.0, v=5.0, elevation=1.5, rays=360, gates=40, first=2125.0, spacing=250.0,
          number=0, level2=True, azimuth_start=0.0, azimuth_stop=360.0):
    """One sweep (azimuth, range) with wind (u, v) at every gate, unquantised.

    `u` and `v` may be arrays over the gates.
    """
    azimuth = np.linspace(azimuth_start, azimuth_stop, rays, endpoint=False) + 0.25
    rng = first + spacing * np.arange(gates)
    u = np.broadcast_to(u, (gates,))
    v = np.broadcast_to(v, (gates,))
    vr = radial_velocity(u[None, :], v[None, :], azimuth[:, None], elevation)
    ds = xr.Dataset(
        {"VRADH": (("azimuth", "range"), vr, {"units": "m s-1"}),
         "sweep_number": ((), number)},
        {"azimuth": ("azimuth", azimuth), "range": ("range", rng),
         "elevation": ("azimuth", np.full(rays, float(elevation)))})
    if level2:
        ds["VRADH"].encoding.update(dtype=np.dtype("uint8"), scale_factor=SCALE,
                                    add_offset=OFFSET)
    return ds


def volume(sweeps, altitude=1000.0):
    """A DataTree like xradar's: the site at the root, sweep_N groups."""
    tree = {"/": xr.Dataset(coords={"altitude": altitude})}
    tree.update({f"/sweep_{ds['sweep_number'].item()}": ds for ds in sweeps})
    return xr.DataTree.from_dict(tree)
