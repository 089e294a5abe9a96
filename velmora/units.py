"""The unit registry of velmora: pint with the CF/UDUNITS spellings.

`units` reads the strings found in NetCDF attributes ("degC", "hPa",
"m s-1", "km", "degree", "1") as well as pint's own. It is cf-xarray's
registry, so quantities made from it combine with those of xarray code that
uses cf-xarray. Quantities of any other registry (MetPy's, pint's default)
are accepted by every velmora function as they are. Needs the `units` extra:
``pip install 'velmora[units]'``.

Example: ``(850 * units.hPa).m_as("Pa")`` is 85000.0.
"""

import pint

# Importing cf-xarray's registry makes it pint's application registry, which
# breaks code that already relies on another one (MetPy's calculations
# among them). velmora only needs the registry itself: put the caller's back.
_application = pint.get_application_registry().get()
from cf_xarray.units import units  # noqa: E402

pint.set_application_registry(_application)

__all__ = ["units"]
