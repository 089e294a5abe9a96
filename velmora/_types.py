"""Static types of the input families, for the overloads of the public functions.

NumPy arrays, lists and numbers give NumPy arrays; a DataArray first gives a
Dataset; a Quantity first gives Quantities. Any other mixture is typed Any,
as its family is decided at run time by the richest argument.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, TypeAlias

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:
    import pint
    import xarray as xr

Plain: TypeAlias = "NDArray[Any] | Sequence[Any] | float"
Array: TypeAlias = "NDArray[np.float64]"
Labelled: TypeAlias = "xr.DataArray"
Dataset: TypeAlias = "xr.Dataset"
Quantity: TypeAlias = "pint.Quantity"
# A scalar argument: a number, or in a call with units a Quantity or a DataArray.
Scalar: TypeAlias = "float | pint.Quantity | xr.DataArray"

__all__ = ["Plain", "Array", "Labelled", "Dataset", "Quantity", "Scalar", "np"]
