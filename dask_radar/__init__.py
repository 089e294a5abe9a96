"""Scale-out of the velmora kernels on Dask, bit-identical to one call.

`dask_radar.thermo`, `vad`, `profile`, `cold_pool`, `gradient`, `statistics`,
`mode`, `perturb` and `words` take the kernels' arguments. NumPy inputs call
the kernel directly; dask arrays give lazy dask arrays with the kernel's
output layout, chunked only where items are independent (see each
function). The same graphs run on the threaded scheduler or on a
`dask.distributed` cluster.

`dask_radar.labelled` has xarray front ends with named dimensions for
`thermo`, `statistics`, `mode`, `gradient` and `profile`.

dask and xarray are optional (`pip install 'velmora[dask]'`): this package
imports without them and needs them only when they are used.
"""

from . import labelled
from .arrays import cold_pool, gradient, mode, perturb, profile, statistics, thermo, vad, words

__all__ = ["thermo", "cold_pool", "profile", "gradient", "vad",
           "perturb", "statistics", "mode", "words", "labelled"]
