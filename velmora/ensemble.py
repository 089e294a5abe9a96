"""Random measurement errors and ensemble statistics.

The four functions over the `_ensemble` kernels. Each takes NumPy arrays,
masked arrays, pint Quantities, dask arrays or xarray DataArrays and returns
its result in the same family; see `velmora` for the rules shared by all.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Literal, TypeAlias, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

import _ensemble

from . import _arrays
from ._types import Array, Dataset, Labelled, Plain, Quantity
from ._inputs import (ANY, DB, DBZ, DEGREES, FRACTION, INT32, INT64, SPEED, UINT64, Call,
                      Output, as_array, integer, threads, unwrap)

__all__ = ["perturb", "statistics", "mode", "words"]

if TYPE_CHECKING:
    import pint
    import xarray as xr

# See velmora.calc.Result.
Result: TypeAlias = Any
Input: TypeAlias = "ArrayLike | xr.DataArray | pint.Quantity"

STATISTICS = [
    Output("mean", "{values}", "ensemble mean"),
    Output("std", "{values}", "ensemble sample standard deviation", spread=True),
    Output("percentiles", "{values}", "ensemble percentiles"),
]

MODE = [
    Output("mode", "1", "most frequent category code"),
    Output("fraction", "1", "share of the counted members in the most frequent code"),
]

FIELDS = [
    Output("dbz", "dBZ", "perturbed reflectivity", "equivalent_reflectivity_factor"),
    Output("zdr", "dB", "perturbed differential reflectivity", "log_differential_reflectivity_hv"),
    Output("phidp", "degree", "perturbed differential phase", "differential_phase_hv"),
    Output("rhohv", "1", "perturbed correlation coefficient", "cross_correlation_ratio_hv"),
    Output("vel", "m s-1", "perturbed radial velocity",
           "radial_velocity_of_scatterers_away_from_instrument"),
]


def _core_first(a):
    """apply_ufunc hands the core dimension last; the ensemble kernels want it first."""
    return np.moveaxis(a, -1, 0) if isinstance(a, np.ndarray) else a.transpose(
        (a.ndim - 1,) + tuple(range(a.ndim - 1)))


def _core_last(a):
    return np.moveaxis(a, 0, -1) if isinstance(a, np.ndarray) else a.transpose(
        tuple(range(1, a.ndim)) + (0,))


def _aligned_by_label(fac, field):
    """fac's dimensions and coordinate labels in the order of the field's.

    A point's error magnitudes belong to the point of the same label, not of
    the same position: fac is reordered to the field's labels, which it must
    hold exactly.
    """
    missing = [d for d in field.dims if d not in fac.dims]
    if missing or fac.ndim != field.ndim + 1:
        raise ValueError(f"perturb(): argument 'fac' has dimensions {fac.dims}; expected one "
                         f"factor dimension and the fields' {field.dims}")
    for dim in field.dims:
        if dim in field.indexes and dim in fac.indexes:
            want, have = field.indexes[dim], fac.indexes[dim]
            if not (len(want) == len(have) and have.isin(want).all() and want.isin(have).all()):
                raise ValueError(f"perturb(): argument 'fac' has labels along '{dim}' other than "
                                 "the fields'")
    fac = fac.sel({d: field.indexes[d] for d in field.dims
                   if d in field.indexes and d in fac.indexes})
    return fac.transpose(..., *field.dims)


def _check_perturb_shapes(call, flagged, fac, bias_dbz, bias_zdr):
    """fac (6, n), every flagged field n values, the biases one per member each."""
    shapes = [fac, bias_dbz, bias_zdr, *(call.shape(n) for n in flagged)]
    if any(math.isnan(math.prod(s)) for s in shapes):
        return  # dask arrays of unknown chunks are checked when they run
    if len(fac) != 2 or fac[0] != 6:
        raise ValueError(f"perturb(): argument 'fac' must be (6, n); got {fac}")
    for name in flagged:
        call.require(math.prod(call.shape(name)) == fac[1],
                     f"'{name}' needs one value per column of 'fac' ({fac[1]})", name)
    if math.prod(bias_dbz) != math.prod(bias_zdr):
        raise ValueError(f"perturb(): arguments 'bias_dbz' {bias_dbz} and 'bias_zdr' {bias_zdr} "
                         "need one value per member each")


@overload
def statistics(values: Plain, percentiles: Plain, min_valid: int, n_threads: int | None = None,
               *, dim: str = "member") -> tuple[Array, Array, Array]: ...
@overload
def statistics(values: Labelled, percentiles: Plain, min_valid: int,
               n_threads: int | None = None, *, dim: str = "member") -> Dataset: ...
@overload
def statistics(values: Quantity, percentiles: Plain, min_valid: int,
               n_threads: int | None = None, *,
               dim: str = "member") -> tuple[Quantity, Quantity, Quantity]: ...
@overload
def statistics(values: Any, percentiles: Any, min_valid: int, n_threads: int | None = None,
               *, dim: str = "member") -> Result: ...
def statistics(values: Input, percentiles: ArrayLike, min_valid: int,
               n_threads: int | None = None, *, dim: str = "member") -> Result:
    """Ensemble mean, sample standard deviation and percentiles, per point.

    Parameters
    ----------
    values : array_like, shape (members, n)
        Member i of point j at ``values[i, j]``, in any units (kept for the
        outputs); read as float32, computed in double. Non-finite and masked
        members are skipped.
    percentiles : array_like, P elements
        Levels in percent, each from 0 to 100 (read flat).
    min_valid : int
        Least number of finite members for a result (0 or less acts as 1).
    n_threads : int, optional
        Worker threads; None or 0 for all hardware threads (one per dask task).
    dim : str
        DataArrays only: the member dimension; all others are points.

    Returns
    -------
    tuple of ndarray, Dataset or tuple of Quantity
        For NumPy input, the kernel's tuple (mean (n,), std (n,), percentiles
        (P, n)), all in the units of `values`. DataArrays give a Dataset with
        `mean`, `std` and `percentiles` (dimension `percentile` first, holding
        the levels); Quantities give three Quantities.

    Notes
    -----
    Two-pass sample standard deviation (denominator v − 1); percentiles are
    interpolated linearly between the order statistics at rank
    (q / 100)(v − 1) of the v valid members.

    Examples
    --------
    >>> mean, std, pct = velmora.statistics([[1], [2], [3], [4]], [0, 25, 50, 100], 1)
    """
    call = Call("statistics", dtype=np.float32, values=(values, ANY))
    levels = as_array("statistics", "percentiles", percentiles, np.float64)
    min_valid = integer("statistics", "min_valid", min_valid, *INT64)
    n_threads = threads("statistics", n_threads)
    if call.labelled:
        flat = levels.ravel()

        def kernel(values):
            mean, std, at_levels = _arrays._statistics_nd(_core_first(values), flat, min_valid,
                                                          n_threads)
            return mean, std, _core_last(at_levels)

        result = call.dataset(kernel, ["values"], STATISTICS, input_core_dims={"values": [dim]},
                              output_core_dims=[[], [], ["percentile"]])
        result = result.assign_coords(percentile=flat)
        result["percentile"].attrs.update(units="percent", long_name="percentile level")
        return result.transpose("percentile", ...)
    if not call.labelled and not math.isnan(math.prod(call.shape("values"))):
        call.require(len(call.shape("values")) == 2, "'values' must be 2-D (members, points)",
                     "values")
    out = _arrays.statistics(call["values"], levels, min_valid, n_threads)
    return call.result(out, STATISTICS)


@overload
def mode(values: Plain, n_codes: int, min_valid: int, n_threads: int | None = None, *,
         dim: str = "member") -> tuple[Array, Array]: ...
@overload
def mode(values: Labelled, n_codes: int, min_valid: int, n_threads: int | None = None, *,
         dim: str = "member") -> Dataset: ...
@overload
def mode(values: Quantity, n_codes: int, min_valid: int, n_threads: int | None = None, *,
         dim: str = "member") -> tuple[Quantity, Quantity]: ...
@overload
def mode(values: Any, n_codes: int, min_valid: int, n_threads: int | None = None, *,
         dim: str = "member") -> Result: ...
def mode(values: Input, n_codes: int, min_valid: int, n_threads: int | None = None, *,
         dim: str = "member") -> Result:
    """The most frequent category code per point, and its share of the members.

    Parameters
    ----------
    values : array_like, shape (members, n)
        Category codes stored as numbers (read as float32), truncated toward
        zero. Non-finite or masked values and codes outside 0 .. n_codes − 1
        are not counted.
    n_codes : int
        Number of codes (at least 1).
    min_valid : int
        Least number of counted members for a result (0 or less acts as 1).
    n_threads : int, optional
        Worker threads; None or 0 for all hardware threads (one per dask task).
    dim : str
        DataArrays only: the member dimension; all others are points.

    Returns
    -------
    tuple of ndarray, Dataset or tuple of Quantity
        For NumPy input, the kernel's tuple (code (n,), fraction (n,)): the modal
        code (ties go to the lowest) and its count over the counted members
        (dimensionless); NaN where too few members were counted. DataArrays give
        a Dataset with `mode` and `fraction`.

    Examples
    --------
    >>> code, share = velmora.mode([[0, 2], [1, 2], [1, 9]], 3, 1)
    """
    call = Call("mode", dtype=np.float32, values=(values, ANY))
    n_codes = integer("mode", "n_codes", n_codes, *INT64)
    min_valid = integer("mode", "min_valid", min_valid, *INT64)
    n_threads = threads("mode", n_threads)
    if call.labelled:
        def kernel(values):
            return _arrays._mode_nd(_core_first(values), n_codes, min_valid, n_threads)

        return call.dataset(kernel, ["values"], MODE, input_core_dims={"values": [dim]})
    if not call.labelled and not math.isnan(math.prod(call.shape("values"))):
        call.require(len(call.shape("values")) == 2, "'values' must be 2-D (members, points)",
                     "values")
    out = _arrays.mode(call["values"], n_codes, min_valid, n_threads)
    return call.result(out, MODE)


@overload
def perturb(dbz: Plain | None, zdr: Plain | None, phidp: Plain | None, rhohv: Plain | None,
            vel: Plain | None, flags: int, fac: Plain, bias_dbz: Plain, bias_zdr: Plain,
            k0: int, k1: int, m0: int, n_threads: int | None = None, *,
            member_chunks: None = None) -> Array: ...
@overload
def perturb(dbz: Labelled, zdr: Any, phidp: Any, rhohv: Any, vel: Any, flags: int, fac: Any,
            bias_dbz: Any, bias_zdr: Any, k0: int, k1: int, m0: int,
            n_threads: int | None = None, *, member_chunks: Any = None) -> Dataset: ...
@overload
def perturb(dbz: Any, zdr: Any, phidp: Any, rhohv: Any, vel: Any, flags: int, fac: Any,
            bias_dbz: Any, bias_zdr: Any, k0: int, k1: int, m0: int,
            n_threads: int | None = None, *, member_chunks: Any = None) -> Result: ...
def perturb(dbz: Input | None, zdr: Input | None, phidp: Input | None,
            rhohv: Input | None, vel: Input | None, flags: int, fac: Input,
            bias_dbz: Input, bias_zdr: Input, k0: int, k1: int, m0: int,
            n_threads: int | None = None, *, member_chunks: Any = None) -> Result:
    """Polarimetric radar fields with reproducible random errors, for M members.

    Parameters
    ----------
    dbz : array_like, n elements, or None
        Reflectivity (dBZ). DataArray and Quantity units are checked by name.
    zdr : array_like, n elements, or None
        Differential reflectivity (dB).
    phidp : array_like, n elements, or None
        Differential phase; bare arrays in degrees, others converted to them.
    rhohv : array_like, n elements, or None
        Correlation coefficient (dimensionless, 0 to 1).
    vel : array_like, n elements, or None
        Radial velocity; bare arrays in m s-1.
    flags : int
        Bits 1, 2, 4, 8, 16 select dbz, zdr, phidp, rhohv, vel. Only the
        selected fields are read; the others may be None.
    fac : array_like, shape (6, n) (DataArrays: (6, *field shape))
        Per-point error magnitudes, in the kernel's units row by row (not
        read from attributes): the standard deviation of the natural-log
        error of the horizontal channel, the shared and own parts of the
        vertical channel (both in natural-log units), and the standard
        deviations of phidp (degree), rhohv (1) and vel (m s-1).
    bias_dbz, bias_zdr : array_like, M elements
        Per-member biases (dB).
    k0, k1 : int
        Generator key, unsigned 64-bit.
    m0 : int
        Member number of the first member of this call (signed 64-bit).
    n_threads : int, optional
        Worker threads; None or 0 for all hardware threads (one per dask task).
    member_chunks : optional
        Dask only: chunks along the members (any dask chunks value).

    Returns
    -------
    ndarray, Dataset or tuple of Quantity
        For NumPy input, the kernel's ndarray of shape (M, F, n): the F flagged
        fields in the order dbz, zdr, phidp, rhohv, vel, per member; rhohv is
        clipped to [0, 1]. DataArray fields (of any shape) give a Dataset with one
        variable per flagged field, dimensions ("member", *field dimensions);
        Quantities give a tuple of F Quantities of shape (M, n).

    Notes
    -----
    Member i at point g draws from the Philox4x64-10 counter-based generator
    under the key (k0, k1), at counter (g + 1, m0 + i, 0, 0) and, for the
    velocity, (g + 1, m0 + i, 1, 0): see `words`. Box–Muller turns each pair
    of words (w0, w1), (w2, w3) into two standard normal deviates,
    radius sqrt(−2 ln u1) with u1 = ((w0 >> 11) + 1) 2^-53 and angle
    2π (w1 >> 11) 2^-53. The reflectivity gets (10 / ln 10) d0 fac[0] dB
    plus the member's bias; zdr the difference of the horizontal and vertical
    channel errors plus its bias; phidp, rhohv and vel additive errors. A
    member does not depend on the thread count or on how members are split
    over calls.

    Examples
    --------
    >>> fields = [np.full(4, 30.0), None, None, None, None]
    >>> fac, biases = np.full((6, 4), 0.1), np.zeros(20)
    >>> velmora.perturb(*fields, 1, fac, biases, biases, 7, 42, 0).shape
    (20, 1, 4)
    """
    flags = integer("perturb", "flags", flags, *INT32)
    k0 = integer("perturb", "k0", k0, *UINT64)
    k1 = integer("perturb", "k1", k1, *UINT64)
    m0 = integer("perturb", "m0", m0, *INT64)
    n_threads = threads("perturb", n_threads)
    units = [DBZ, DB, DEGREES, FRACTION, SPEED]
    names = [o.name for o in FIELDS]
    flagged = [bit for bit in range(5) if flags >> bit & 1]
    fields = (dbz, zdr, phidp, rhohv, vel)
    call = Call("perturb", **{names[bit]: (fields[bit] if bit in flagged else None, units[bit])
                              for bit in range(5)})
    bias_dbz, _ = unwrap("perturb", "bias_dbz", bias_dbz, DB)
    bias_zdr, _ = unwrap("perturb", "bias_zdr", bias_zdr, DB)
    outputs = [FIELDS[bit] for bit in flagged]

    if call.labelled and flagged:
        import xarray as xr

        grid = xr.broadcast(*(call[names[bit]] for bit in flagged))
        shape = grid[0].shape
        flat = {bit: g.data.reshape(-1) for bit, g in zip(flagged, grid)}  # read flat, as ever
        if isinstance(fac, xr.DataArray):  # (factor, *field dims) in the fields' order
            fac = _aligned_by_label(fac, grid[0])
        fac_data, _ = unwrap("perturb", "fac", fac, None)
        if np.ndim(fac_data) == 1 + len(shape) and np.shape(fac_data)[1:] == shape:
            fac_data = fac_data.reshape(np.shape(fac_data)[0], -1)
        dbz, zdr, phidp, rhohv, vel = (flat.get(bit, np.empty(0)) for bit in range(5))
        out = _arrays.perturb(dbz, zdr, phidp, rhohv, vel, flags, fac_data, bias_dbz, bias_zdr,
                              k0, k1, m0, n_threads, member_chunks=member_chunks)
        out = out.reshape(out.shape[:2] + shape)
        dims = ("member",) + grid[0].dims
        return xr.Dataset({o.name: xr.DataArray(out[:, s], dims=dims, coords=grid[0].coords,
                                                attrs=o.attrs({}))
                           for s, o in enumerate(outputs)})

    fac_data, _ = unwrap("perturb", "fac", fac, None)
    _check_perturb_shapes(call, [names[bit] for bit in flagged], np.shape(fac_data),
                          np.shape(bias_dbz), np.shape(bias_zdr))
    out = _arrays.perturb(call["dbz"], call["zdr"], call["phidp"], call["rhohv"], call["vel"],
                          flags, fac_data, bias_dbz, bias_zdr, k0, k1, m0, n_threads,
                          member_chunks=member_chunks)
    if call.family == "pint":
        out = tuple(out[:, s] for s in range(len(outputs)))
    return call.result(out, outputs)


@overload
def words(k0: int, k1: int, member: int, block: int, n: int, *, lazy: Literal[False] = False,
          labelled: Literal[False] = False) -> NDArray[np.uint64]: ...
@overload
def words(k0: int, k1: int, member: int, block: int, n: int, *, lazy: bool = False,
          labelled: Literal[True]) -> xr.DataArray: ...
@overload
def words(k0: int, k1: int, member: int, block: int, n: int, *, lazy: bool = False,
          labelled: bool = False) -> Result: ...
def words(k0: int, k1: int, member: int, block: int, n: int, *, lazy: bool = False,
          labelled: bool = False) -> Result:
    """Raw Philox4x64-10 output behind `perturb`.

    Parameters
    ----------
    k0, k1 : int
        Generator key, unsigned 64-bit.
    member, block : int
        Counter words 1 and 2 (signed 64-bit, taken as their bit patterns).
    n : int
        Number of rows (0 or more).
    lazy : bool
        Return a dask array of one chunk instead of computing now.
    labelled : bool
        Return a DataArray named "words" with dimensions ("row", "word").

    Returns
    -------
    ndarray of uint64, shape (n, 4)
        Row j is the generator output for the counter (j + 1, member, block, 0)
        under the key (k0, k1). Member i of a `perturb` call with first member
        m0 draws point g from row g of ``words(k0, k1, m0 + i, 0, n)`` and its
        velocity error from block 1.

    Notes
    -----
    Philox4x64-10 (Salmon et al., 2011): ten rounds of two 64 × 64 → 128-bit
    multiplications by 0xD2E7470EE14C6C93 and 0xCA5A826395121157, with the
    Weyl key increments 0x9E3779B97F4A7C15 and 0xBB67AE8584CAA73B.

    References
    ----------
    Salmon, J. K., M. A. Moraes, R. O. Dror and D. E. Shaw, 2011: Parallel
    random numbers: as easy as 1, 2, 3. Proc. SC11.
    """
    k0 = integer("words", "k0", k0, *UINT64)
    k1 = integer("words", "k1", k1, *UINT64)
    member = integer("words", "member", member, *INT64)
    block = integer("words", "block", block, *INT64)
    n = integer("words", "n", n, *INT64)
    out = (_arrays.words(k0, k1, member, block, n) if lazy
           else _ensemble.words(k0, k1, member, block, n))
    if not labelled:
        return out
    import xarray as xr

    return xr.DataArray(out, dims=("row", "word"), name="words",
                        attrs={"long_name": f"Philox4x64-10 words, key ({k0}, {k1}), "
                                            f"member {member}, block {block}"})
