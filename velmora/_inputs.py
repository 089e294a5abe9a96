"""Input families, units and output wrapping: the one place every public function goes through.

A call sorts its arguments into one family, by the richest input it was given:

- ``"xarray"``: any DataArray. Arguments stay DataArrays (NumPy- or
  dask-backed) with their data converted to the kernel's units; the function
  runs its N-d form through `xarray.apply_ufunc` and `Call.dataset` returns a
  Dataset with built metadata.
- ``"pint"``: any pint Quantity. Magnitudes are converted to the kernel's
  units; results are Quantities in the registry of the first Quantity given.
- ``"masked"``: any NumPy masked array. Masked elements become NaN, the
  kernels' missing value; results are masked where they are NaN.
- ``"plain"``: NumPy arrays, anything NumPy converts, and dask arrays. Values
  are taken to be in the kernel's units and results are the kernel's own.

Units are read with pint (cf-xarray's registry, so CF strings such as
"m s-1" parse), after a small table of spellings that pint would misread
("deg C", "mb"). They must match the kernel's in their root units, radian
included, so that an angle is never taken for a pure number. Where the units
are already the kernel's the data are passed untouched, so that a call in
kernel units gives the kernel's bits.
"""

from __future__ import annotations

import operator
import sys
from dataclasses import dataclass
from typing import Any

import numpy as np


@dataclass(frozen=True)
class Units:
    """What an argument's units must be.

    `kernel` is the unit the kernel computes in; values are converted to it.
    `what` names the quantity for messages. With `label` the units are names
    that pint cannot convert (dB, dBZ): they are compared as strings.
    """

    kernel: str
    what: str
    label: bool = False

    @property
    def dimensionless(self) -> bool:
        """A pure number, which may come bare in any call (an angle may not)."""
        return self.kernel == "1"


# Units that are read but not converted: the outputs carry them (gradient's
# field, the ensemble values).
ANY = Units("", "any quantity")

TEMPERATURE = Units("K", "a temperature")
PRESSURE = Units("Pa", "a pressure")
HEIGHT = Units("m", "a length")
SPEED = Units("m s-1", "a speed")
BUOYANCY = Units("m s-2", "an acceleration")
ANGLE = Units("radian", "an angle")
DEGREES = Units("degree", "an angle")
FRACTION = Units("1", "a dimensionless number")
DBZ = Units("dBZ", "a reflectivity", label=True)
DB = Units("dB", "a ratio in decibels", label=True)


@dataclass(frozen=True)
class Output:
    """One output quantity: its variable name and the metadata built for it.

    `units` is a CF string; "{arg}" stands for the units given with argument
    `arg`, and `per_metre` divides them by metres. A `spread` (a standard
    deviation) of values in degC is in delta_degC, not in degC.
    """

    name: str
    units: str
    long_name: str
    standard_name: str | None = None
    per_metre: bool = False
    spread: bool = False

    def _given(self, given: dict[str, str]) -> dict[str, str]:
        return {k: spread_units(v) for k, v in given.items()} if self.spread else given

    def units_for(self, given: dict[str, str]) -> str:
        """The CF units string; "" when they follow an input that had none."""
        units = self.units.format(**self._given(given))
        if self.per_metre and units:
            units = "m-1" if units == "1" else f"{units} m-1"
        return units

    def pint_units(self, given: dict[str, str]) -> str:
        """The units as pint's default parser reads them, in any registry."""
        if "{" in self.units:  # the units of an input, already in pint's spelling
            units = self.units.format(**self._given(given)) or "dimensionless"
        else:
            units = _pint_units(self.units)
        return f"({units}) / meter" if self.per_metre else units

    def attrs(self, given: dict[str, str]) -> dict[str, str]:
        attrs = {"units": self.units_for(given), "long_name": self.long_name}
        if not attrs["units"]:
            del attrs["units"]  # unknown, rather than claimed dimensionless
        if self.standard_name:
            attrs["standard_name"] = self.standard_name
        return attrs


# ---------------------------------------------------------------------------
# recognising the families without importing optional packages


def is_dataarray(value: Any) -> bool:
    if sys.modules.get("xarray") is None:
        return False
    import xarray as xr

    return isinstance(value, xr.DataArray)


def _is_quantity(value: Any) -> bool:
    if sys.modules.get("pint") is None:
        return False
    import pint

    return isinstance(value, pint.Quantity)


def _is_dask(value: Any) -> bool:
    if sys.modules.get("dask.array") is None:
        return False
    import dask.array as da

    return isinstance(value, da.Array)


def _registry():
    try:
        from .units import _cf_units
    except ImportError as err:  # pragma: no cover - depends on the installation
        raise ImportError("units need pint and cf-xarray: pip install 'velmora[units]'") from err
    return _cf_units


# Spellings found in files and written by hand that pint reads in another
# sense ("deg C" as degree x Celsius, "mb" as millibarn) or not at all
# ("degree_C", "meters_per_second"). Keys are lower case, single-spaced.
_CELSIUS = ("degrees celsius", "degree celsius", "deg celsius", "deg c", "degrees c", "degree c",
            "degree_c", "degrees_c", "deg_c", "degc", "celsius", "°c", "° c", "ºc")
_KELVIN = ("deg k", "degrees k", "degree k", "degree_k", "degrees_k", "deg_k", "degk", "°k",
           "kelvin", "kelvins")
_FAHRENHEIT = ("degrees fahrenheit", "degree fahrenheit", "deg f", "degrees f", "degree f",
               "degree_f", "degrees_f", "deg_f", "degf", "fahrenheit", "°f")
_MILLIBAR = ("mb", "mbar", "mbars", "millibar", "millibars")
_KNOT = ("kt", "kts", "knot", "knots")
_METRES_PER_SECOND = ("meters per second", "meters per seconds", "metres per second",
                      "meters_per_second", "metres_per_second", "meter second-1",
                      "meter/second", "m/sec", "mps")
ALIASES = {**dict.fromkeys(_CELSIUS, "degC"), **dict.fromkeys(_KELVIN, "K"),
           **dict.fromkeys(_FAHRENHEIT, "degF"), **dict.fromkeys(_MILLIBAR, "hPa"),
           **dict.fromkeys(_KNOT, "knot"), **dict.fromkeys(_METRES_PER_SECOND, "m s-1")}


def _spelled(given: str) -> str:
    """The units string as pint should read it."""
    return ALIASES.get(" ".join(given.split()).lower(), given)


def _root(registry, unit):
    """The root units of `unit`, radian kept: pint's dimensionality drops angles."""
    return registry.get_root_units(unit)[1]


def _is_difference(unit) -> bool:
    """A temperature difference (delta_degC), not a temperature on a scale."""
    return any(name.startswith("delta_") for name in unit._units)


def _is_offset(registry, unit) -> bool:
    """degC, degF: zero is not zero kelvin."""
    return registry.Quantity(0.0, unit).to_base_units().magnitude != 0.0


def spread_units(given: str) -> str:
    """The units of a spread (a difference) of values in `given`.

    Differences of degC are delta_degC: a standard deviation of 1 degC is 1 K,
    not 274.15 K. Other units are their own difference.
    """
    if not given:
        return given
    registry = _registry()
    try:
        unit = registry.Unit(_spelled(given))
    except Exception:
        return given
    names = list(unit._units)
    if len(names) != 1 or not _is_offset(registry, unit):
        return given
    return f"delta_{names[0]}"


# ---------------------------------------------------------------------------
# scalars


def integer(function: str, name: str, value: Any, low: int, high: int) -> int:
    """An integer argument in [low, high], else a short TypeError naming it."""
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{function}(): argument '{name}' must be an integer, "
                        f"not {type(value).__name__}") from None
    if not low <= number <= high:
        raise TypeError(f"{function}(): argument '{name}' = {number} is outside "
                        f"the range {low} .. {high}")
    return number


INT64 = (-2**63, 2**63 - 1)
UINT64 = (0, 2**64 - 1)
INT32 = (-2**31, 2**31 - 1)


def threads(function: str, value: int | None) -> int | None:
    return None if value is None else integer(function, "n_threads", value, *INT32)


def scalar(function: str, name: str, value: Any, units: Units | None,
           required: bool = False) -> float:
    """A float argument, converted to the kernel's units when it carries units.

    Missing units are an error when `required` and the argument has dimensions.
    Strings are refused even when they spell a number: "30" is not 30.
    """
    given = None
    if is_dataarray(value):
        given, value = value.attrs.get("units"), value.data
    if _is_quantity(value):  # also the data of a quantified DataArray
        given, value = str(value.units), value.magnitude
    try:
        if isinstance(value, (str, bytes)) or np.asarray(value).dtype.kind in "USa":
            raise TypeError
        number = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{function}(): argument '{name}' must be a number, "
                        f"not {type(value).__name__}") from None
    if units is not None and (given is not None or required):
        number = float(_convert(function, name, np.float64(number), given, units))
    return number


# ---------------------------------------------------------------------------
# arrays


def _missing_where_masked(block: Any, dtype) -> Any:
    """A masked block as a plain one with NaN where it is masked; others as they are."""
    if not isinstance(block, np.ma.MaskedArray):
        return block
    data = np.asarray(np.ma.getdata(block), dtype=dtype)
    return np.where(np.ma.getmaskarray(block), np.array(np.nan, dtype=dtype), data)


def as_array(function: str, name: str, value: Any, dtype) -> Any:
    """value as a NumPy array of dtype (a dask array is kept), or a short TypeError.

    Masked elements become NaN, never their fill values, in NumPy and in dask
    chunks alike; the caller's arrays are read, never written.
    """
    if _is_dask(value):
        if not is_masked_dask(value):
            return value
        # Kernels read a chunk's data, not its mask: the missing values must be NaN.
        return value.map_blocks(_missing_where_masked, dtype, dtype=dtype,
                                meta=np.empty((0,) * value.ndim, dtype=dtype))
    try:
        if isinstance(value, np.ndarray):
            array = value
        elif isinstance(value, (list, tuple)) and len(value) > _LIST_CHUNK:
            array = _list_in_chunks(value)
        else:
            array = np.asarray(value)
        if array.dtype.kind in "USa":  # "300" is not a temperature
            raise TypeError
        if isinstance(array, np.ma.MaskedArray):
            return _missing_where_masked(array, dtype)
        return np.asarray(array, dtype=dtype)
    except (TypeError, ValueError):
        kind = type(value).__name__
        if isinstance(value, np.ndarray):
            kind = f"{kind} of dtype {value.dtype}"
        raise TypeError(f"{function}(): argument '{name}' must be an array of numbers, "
                        f"not {kind}") from None


# Items of a long list converted at a time: NumPy converts a list in one call
# that no signal interrupts, so a long one (5e7 numbers: 1.5 s) is converted
# in parts, and Ctrl-C is honoured between them.
_LIST_CHUNK = 1 << 20


def _list_in_chunks(value: list | tuple) -> np.ndarray:
    first = np.asarray(value[:_LIST_CHUNK])
    step = max(1, _LIST_CHUNK // max(1, first[0].size if first.ndim > 1 else 1))
    parts = [first[:step]] + [np.asarray(value[i:i + step]) for i in range(step, len(value), step)]
    return np.concatenate(parts)


def is_masked_dask(value: Any) -> bool:
    """A dask array whose chunks are masked arrays."""
    return _is_dask(value) and isinstance(getattr(value, "_meta", None), np.ma.MaskedArray)


def _convert(function: str, name: str, data: Any, given: str | None, units: Units,
             subject: str | None = None) -> Any:
    """data, given in units `given`, in the kernel's units.

    `subject` names the value in messages (default: the argument `name`).
    """
    if units is ANY:
        return data
    subject = subject or f"argument '{name}'"
    expected = f"{units.what} (e.g. '{units.kernel}')"
    if given is None:
        if units.dimensionless:
            return data
        raise ValueError(f"{function}(): {subject} has no units; expected {expected}")
    if units.label:
        if given.strip().lower() != units.kernel.lower():
            raise ValueError(f"{function}(): {subject} has units '{given}'; "
                             f"expected '{units.kernel}'")
        return data
    registry = _registry()
    try:
        have = registry.Unit(_spelled(given))
    except Exception:
        raise ValueError(f"{function}(): {subject} has units '{given}', which are "
                         f"not understood; expected {expected}") from None
    want = registry.Unit(units.kernel)
    if have == want:
        return data  # untouched, so that kernel units give the kernel's bits
    # Root units keep the radian that pint's dimensionality drops: "degree"
    # is no cosine and "percent" no azimuth. A temperature difference is no
    # temperature.
    if (have.dimensionality != want.dimensionality
            or _root(registry, have) != _root(registry, want)
            or (units is TEMPERATURE and _is_difference(have))):
        raise ValueError(f"{function}(): {subject} has units '{given}'; "
                         f"expected {expected}")

    def convert(block):
        return registry.Quantity(np.asarray(block, dtype=np.float64), have).m_as(want)

    if _is_dask(data):
        return data.map_blocks(convert, dtype=np.float64)
    return convert(data)


def unwrap(function: str, name: str, value: Any, units: Units | None, dtype=np.float64,
           required: bool = False) -> tuple[Any, str | None]:
    """The data of a DataArray, Quantity, masked or plain array, in the kernel's units.

    Returns the NumPy or dask data and the units it came with (None for
    none). Units are converted when given; when missing they are an error if
    `required` and the argument has dimensions.
    """
    given = None
    if is_dataarray(value):
        given, value = value.attrs.get("units"), value.data
    if _is_quantity(value):  # also the data of a quantified DataArray
        given, value = str(value.units), value.magnitude
    data = as_array(function, name, value, dtype)
    if units is not None and (given is not None or required):
        data = _convert(function, name, data, given, units)
    return data, given


class Call:
    """The arguments of one call, sorted into a family and unwrapped for the kernel.

    ``Call("thermo", t=(t, TEMPERATURE), p=(p, PRESSURE))`` unwraps every
    array argument; ``call["t"]`` is then a NumPy or dask array in kernels'
    units (a DataArray in the xarray family), and `call.units` holds the
    units each argument came with ("" when it had none).
    """

    def __init__(self, function: str, dtype=np.float64, **arguments: tuple[Any, Units | None]):
        self.function = function
        values = [value for value, _ in arguments.values()]
        self.registry = None
        if any(is_dataarray(v) for v in values):
            self.family = "xarray"
        elif quantities := [v for v in values if _is_quantity(v)]:
            self.family = "pint"
            self.registry = quantities[0]._REGISTRY
        elif any(isinstance(v, np.ma.MaskedArray) for v in values):
            self.family = "masked"
        else:
            self.family = "plain"
        # Quantities and dask arrays may hold masked arrays too: their results
        # come back masked as well.
        self.masked = self.family == "masked"
        self.masked_lazy = False
        for value in values:
            if type(value) in _PLAIN_TYPES:
                continue  # the common case, decided without a look inside
            inside = _inside(value)
            if is_masked_dask(inside):
                self.masked = self.masked_lazy = True
            elif isinstance(inside, np.ma.MaskedArray):
                self.masked = True
        self.units: dict[str, str] = {}
        self.arrays: dict[str, Any] = {}
        for name, (value, units) in arguments.items():
            self.arrays[name] = self._unwrap(name, value, units, dtype)

    def shape(self, name: str) -> tuple[int, ...]:
        return tuple(np.shape(self.arrays[name]))

    def require(self, ok: bool, rule: str, *names: str) -> None:
        """A ValueError naming the arguments and their shapes unless `ok`.

        The kernels check shapes too, but cannot name the arguments.
        """
        if not ok:
            shapes = ", ".join(f"'{n}' {self.shape(n)}" for n in names)
            raise ValueError(f"{self.function}(): {rule}; got {shapes}")

    def require_dims(self, dims: dict[str, list[str]]) -> None:
        """Each named DataArray argument has the core dimensions the call consumes."""
        for name, wanted in dims.items():
            have = self.arrays[name].dims
            missing = [d for d in wanted if d not in have]
            if missing:
                option = "dims" if len(wanted) > 1 else "dim"
                raise ValueError(f"{self.function}(): argument '{name}' has dimensions {have}, "
                                 f"without {missing[0]!r}; name its dimension with {option}=")

    def scalar(self, name: str, value: Any, units: Units | None) -> float:
        """A float argument of this call; see `scalar`."""
        return scalar(self.function, name, value, units, required=not self.bare)

    def __getitem__(self, name: str) -> Any:
        return self.arrays[name]

    @property
    def labelled(self) -> bool:
        return self.family == "xarray"

    @property
    def bare(self) -> bool:
        """No units anywhere: values are read in the kernels' units."""
        return self.family in ("plain", "masked")

    def _unwrap(self, name: str, value: Any, units: Units | None, dtype) -> Any:
        if value is None:
            return np.empty(0, dtype=dtype)  # an unused field of perturb
        # Units matter in a call that has them anywhere: a bare value for a
        # dimensioned argument there is an error, not a guess.
        data, given = unwrap(self.function, name, value, units, dtype, required=not self.bare)
        self.units[name] = given or ""
        if self.family != "xarray":
            return data
        import xarray as xr

        if is_dataarray(value):
            return xr.DataArray(data, dims=value.dims, coords=value.coords)
        if np.ndim(data) != 0:
            raise TypeError(f"{self.function}(): argument '{name}' is an unlabelled array "
                            f"in a call with DataArrays; pass a DataArray or a scalar")
        return xr.DataArray(data)

    # -----------------------------------------------------------------------
    # results

    def result(self, out: Any, outputs: list[Output]) -> Any:
        """The kernel-layout result `out` in the family of the inputs.

        Plain inputs get `out` itself. Masked inputs get it masked where it is
        NaN (a lazy result only when chunks were masked). Quantities get one
        Quantity per output quantity, the kernel's rows (or tuple items) in
        order, masked when a Quantity held a masked array.
        """
        lazy = any(_is_dask(a) for a in (out if isinstance(out, tuple) else (out,)))
        if self.family in ("plain", "masked"):
            if not self.masked or (lazy and not self.masked_lazy):
                return out  # a lazy result of unmasked chunks: its NaN are the missing values
            return _masked_invalid(out)
        parts = out if isinstance(out, tuple) else tuple(out[k] for k in range(len(outputs)))
        if self.masked:
            parts = _masked_invalid(parts)
        assert self.registry is not None
        return tuple(self.registry.Quantity(a, o.pint_units(self.units))
                     for a, o in zip(parts, outputs, strict=True))

    def dataset(self, kernel, names: list[str], outputs: list[Output], *,
                input_core_dims: dict[str, list[str]] | None = None,
                output_core_dims: list[list[str]] | None = None):
        """Run `kernel` (N-d arrays in, a tuple of outputs) through apply_ufunc.

        Arguments are broadcast by dimension name; core dimensions come last.
        Every output gets the attributes of its `Output`, and none is copied
        from an input.
        """
        import xarray as xr

        core = input_core_dims or {}
        self.require_dims({n: dims for n, dims in core.items() if n in names})
        results = xr.apply_ufunc(kernel, *(self.arrays[n] for n in names),
                                 input_core_dims=[core.get(n, []) for n in names],
                                 output_core_dims=output_core_dims or [[]] * len(outputs),
                                 dask="allowed")
        for o, r in zip(outputs, results, strict=True):
            r.attrs = o.attrs(self.units)  # replaced whole: nothing of an input's survives
        return xr.Dataset({o.name: r for o, r in zip(outputs, results, strict=True)})


_PLAIN_TYPES = (np.ndarray, list, tuple, float, int, type(None))


def _inside(value: Any) -> Any:
    """The array inside a DataArray or a Quantity (or both); anything else as it is."""
    if is_dataarray(value):
        value = value.data
    if _is_quantity(value):
        value = value.magnitude
    return value


def _masked_invalid(out: Any) -> Any:
    """out (an array or a tuple of them) masked where it is NaN; dask arrays stay lazy."""
    if isinstance(out, tuple):
        return tuple(_masked_invalid(a) for a in out)
    if _is_dask(out):
        import dask.array as da

        return da.ma.masked_invalid(out)
    return np.ma.masked_invalid(out)


def _pint_units(cf: str) -> str:
    """A CF units string as pint's default parser reads it ("m s-1" -> "m * s**-1")."""
    if cf in ("", "1"):
        return "dimensionless"
    words = []
    for word in cf.split():
        head = word.rstrip("-0123456789")
        power = word[len(head):]
        words.append(f"{head}**{power}" if power and head else word)
    return " * ".join(words)
