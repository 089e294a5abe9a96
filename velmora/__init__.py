"""velmora: exact, multithreaded kernels for radar volumes and atmospheric fields.

One function per kernel, under the kernel's name and argument names:

- `thermo`, `vad`, `profile`, `cold_pool`, `gradient` (from `velmora.calc`);
- `storm_motion` and `bulk_shear`, built on `profile` (from `velmora.storm`);
- `perturb`, `words`, `statistics`, `mode` (from `velmora.ensemble`).

Every function takes NumPy arrays (and anything NumPy converts), NumPy masked
arrays, pint Quantities, dask arrays and xarray DataArrays (NumPy- or
dask-backed), and returns its result in the family it was given:

- NumPy in gives exactly what the compiled kernel gives: same layout, same
  bits. Bare arrays are read in the units documented per argument (K, Pa, m,
  m s-1, radians).
- Masked arrays: masked elements are missing values (NaN) for the kernels;
  results come back as masked arrays, masked where they are NaN.
- pint Quantities are converted to the kernels' units; results are a tuple
  of Quantities, one per output quantity.
- dask arrays give lazy dask arrays that compute to the bits of one call.
- DataArrays are converted from their `units` attribute and give a Dataset
  with one variable per output quantity, with `units`, `long_name` and the
  CF `standard_name` where one exists.

Units that are missing where they matter, or of the wrong dimensionality,
raise ValueError naming the argument; arguments that cannot be converted
raise a one-line TypeError naming the argument.

xarray, pint and dask are optional (`pip install 'velmora[units]'`,
`'velmora[dask]'`) and imported only when their objects are handed in.

`velmora.radar` (`pip install 'velmora[radar]'`, imported on its own) turns
xradar and Py-ART radar volumes into VAD wind profiles and their helicity.
"""

from importlib.metadata import PackageNotFoundError, version

from .calc import cold_pool, gradient, profile, thermo, vad
from .storm import bulk_shear, storm_motion
from .ensemble import mode, perturb, statistics, words

try:
    __version__ = version("velmora")
except PackageNotFoundError:  # pragma: no cover - running from an uninstalled tree
    __version__ = "0.0.0+unknown"

__all__ = ["thermo", "vad", "profile", "storm_motion", "bulk_shear", "cold_pool", "gradient",
           "perturb", "words", "statistics", "mode", "__version__"]
