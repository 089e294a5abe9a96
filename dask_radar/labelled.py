"""xarray front ends: named dimensions in, a Dataset of named quantities out.

Each function takes DataArrays backed by NumPy or by dask, aligns and
broadcasts them by dimension name as xarray does, and runs the kernel
through `dask_radar.arrays`, so dask-backed data stays lazy and is chunked by
the same rules. The result is an `xarray.Dataset` with one variable per
output quantity; the item dimensions keep their coordinates, and the core
dimension (`member`, `level`) is consumed.
"""

from __future__ import annotations

import numpy as np

from . import arrays


def _xarray():
    """xarray, imported on first use so that the package works without it."""
    try:
        import xarray as xr
    except ImportError as err:  # pragma: no cover - depends on the installation
        raise ImportError("labelled arrays need xarray: pip install 'velmora[dask]'") from err
    return xr


def _core_first(a):
    """apply_ufunc hands the core dimension last; the kernels want it first."""
    return a.transpose((a.ndim - 1,) + tuple(range(a.ndim - 1)))


def _core_last(a):
    return a.transpose(tuple(range(1, a.ndim)) + (0,))


def thermo(t, p, td, n_threads=None):
    """Mixing ratio, θ, θv and θe of temperature, pressure and dew point.

    The three inputs are broadcast against each other by name; each output
    variable has their dimensions and coordinates.
    """
    xr = _xarray()

    def kernel(t, p, td):
        return tuple(arrays._thermo_nd(t, p, td, n_threads))

    quantities = xr.apply_ufunc(kernel, t, p, td, output_core_dims=[[]] * 4, dask="allowed")
    names = ["mixing_ratio", "theta", "theta_v", "theta_e"]
    units = ["kg kg-1", "K", "K", "K"]
    return xr.Dataset({name: q.assign_attrs(units=unit)
                       for name, q, unit in zip(names, quantities, units)})


def statistics(values, percentiles, min_valid, dim="member", n_threads=None):
    """Mean, standard deviation and percentiles over the ensemble dimension `dim`.

    The percentiles variable has a leading dimension `percentile` whose
    coordinate holds the levels, read flat as by the kernel.
    """
    xr = _xarray()
    levels = np.asarray(percentiles, dtype=np.float64).ravel()

    def kernel(values):
        mean, std, at_levels = arrays._statistics_nd(_core_first(values), levels, min_valid,
                                                     n_threads)
        return mean, std, _core_last(at_levels)

    mean, std, at_levels = xr.apply_ufunc(kernel, values, input_core_dims=[[dim]],
                                          output_core_dims=[[], [], ["percentile"]],
                                          dask="allowed")
    at_levels = at_levels.assign_coords(percentile=levels).transpose("percentile", ...)
    return xr.Dataset({"mean": mean, "std": std, "percentiles": at_levels})


def mode(values, n_codes, min_valid, dim="member", n_threads=None):
    """Most frequent code over the ensemble dimension `dim` and its share."""
    xr = _xarray()

    def kernel(values):
        return arrays._mode_nd(_core_first(values), n_codes, min_valid, n_threads)

    code, fraction = xr.apply_ufunc(kernel, values, input_core_dims=[[dim]],
                                    output_core_dims=[[], []], dask="allowed")
    return xr.Dataset({"mode": code, "fraction": fraction})


def gradient(f, x="x", y="y", n_threads=None):
    """Derivatives of `f` along its dimensions `x` and `y`, on their coordinates.

    A dimension without a coordinate is differentiated on its index. All other
    dimensions are batch. The variables are named after `f` and the
    dimensions (`dtheta_dx`, `dtheta_dy` for a field named theta) and keep the
    dimension order of `f`.
    """
    xr = _xarray()
    x_coord = np.asarray(f[x].values, dtype=np.float64)
    y_coord = np.asarray(f[y].values, dtype=np.float64)

    def kernel(f):
        return tuple(arrays._gradient_nd(f, x_coord, y_coord, n_threads))

    along_x, along_y = xr.apply_ufunc(kernel, f, input_core_dims=[[y, x]],
                                      output_core_dims=[[y, x], [y, x]], dask="allowed")
    name = f.name or "f"
    return xr.Dataset({f"d{name}_d{x}": along_x.transpose(*f.dims),
                       f"d{name}_d{y}": along_y.transpose(*f.dims)})


def profile(z, u, v, ground, bottom, top, cu, cv, dim="level", n_threads=None):
    """Layer winds, storm-relative helicity and layer-mean wind per column.

    `z`, `u` and `v` have the level dimension `dim` (z may be shared by all
    columns); `ground`, `cu` and `cv` are per column or scalars. `bottom`
    and `top` are heights above ground, as for the kernel.
    """
    xr = _xarray()

    def kernel(z, u, v, ground, cu, cv):
        return tuple(arrays._profile_nd(z, u, v, ground, bottom, top, cu, cv, n_threads))

    quantities = xr.apply_ufunc(kernel, z, u, v, ground, cu, cv,
                                input_core_dims=[[dim]] * 3 + [[]] * 3,
                                output_core_dims=[[]] * 7, dask="allowed")
    names = ["u_bottom", "v_bottom", "u_top", "v_top", "helicity", "u_mean", "v_mean"]
    return xr.Dataset(dict(zip(names, quantities)))
