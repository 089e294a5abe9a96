"""The unit registry of velmora: pint's application registry, reading CF spellings.

`units` is the registry that pint hands to every library that asks for the
application registry: MetPy's (when MetPy is imported it configures this
same registry), pint-xarray's, and that of any code calling
``pint.get_application_registry()``. Quantities made from it therefore
combine with theirs. It also reads the UDUNITS powers of NetCDF attributes
("m s-1", "m2 s-2"). Quantities of any other registry are accepted by every
velmora function as they are. Needs the `units` extra:
``pip install 'velmora[units]'``.

Example: ``(850 * units.hPa).m_as("Pa")`` is 85000.0.
"""

import re

import pint

# "m s-1" -> "m s**-1", the UDUNITS power notation of NetCDF attributes; a
# power already written with ** is left alone, so that another library's
# rewrite of the same notation (MetPy's) can run before or after this one.
_UDUNITS_POWER = re.compile(r"(?<=[A-Za-z])(?![A-Za-z])(?<![0-9\-][eE])(?<![0-9\-])(?=[0-9\-])")


def _udunits_powers(string: str) -> str:
    return _UDUNITS_POWER.sub("**", string)


units = pint.get_application_registry()
# `20.0 * units.degC` makes a temperature, as MetPy's configuration of this
# registry allows: the same whether or not MetPy is imported.
units.get().autoconvert_offset_to_baseunit = True
try:
    units.Unit("m s-1")
except pint.errors.DefinitionSyntaxError:
    units.get().preprocessors.append(_udunits_powers)

# Strings found in files are read by cf-xarray's registry, which knows more
# CF spellings; importing it makes it pint's application registry, so the
# caller's registry is put back.
_application = pint.get_application_registry().get()
from cf_xarray.units import units as _cf_units  # noqa: E402, F401 (read by _inputs)

pint.set_application_registry(_application)

__all__ = ["units"]
