"""The unit registry of velmora: pint with the CF/UDUNITS spellings.

`units` reads the strings found in NetCDF attributes ("degC", "hPa",
"m s-1", "km", "degree", "1") as well as pint's own. It is cf-xarray's
registry, so quantities made from it combine with those of xarray code that
uses cf-xarray. Needs the `units` extra: ``pip install 'velmora[units]'``.

>>> from velmora.units import units
>>> (850 * units.hPa).to("Pa")
<Quantity(85000.0, 'pascal')>
"""

from cf_xarray.units import units

__all__ = ["units"]
