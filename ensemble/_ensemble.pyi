"""Random measurement errors and ensemble statistics"""

import typing

import numpy
import numpy.typing

_Floats = typing.Annotated[numpy.typing.ArrayLike, numpy.float64]
_Floats32 = typing.Annotated[numpy.typing.ArrayLike, numpy.float32]
_Int = typing.SupportsInt | typing.SupportsIndex
_Out = numpy.typing.NDArray[numpy.float64]

def perturb(
    dbz: _Floats,
    zdr: _Floats,
    phidp: _Floats,
    rhohv: _Floats,
    vel: _Floats,
    flags: _Int,
    fac: _Floats,
    bias_dbz: _Floats,
    bias_zdr: _Floats,
    k0: _Int,
    k1: _Int,
    m0: _Int,
    n_threads: _Int = 0,
) -> _Out:
    """Polarimetric fields with reproducible random errors, for M members.

    Parameters
    ----------
    dbz, zdr, phidp, rhohv, vel : array_like, n elements read flat
        Reflectivity (dBZ), differential reflectivity (dB), differential
        phase, correlation coefficient (0 to 1) and radial velocity. Only
        the fields selected by `flags` are read and checked.
    flags : int (32-bit)
        Bits 1, 2, 4, 8, 16 select dbz, zdr, phidp, rhohv, vel.
    fac : array_like, shape (6, n)
        Per-point error magnitudes: the relative (natural-log) error of the
        horizontal channel, the shared and own parts of the vertical
        channel, and the standard deviations of phidp, rhohv and vel.
    bias_dbz, bias_zdr : array_like, M elements read flat
        Per-member biases in dB.
    k0, k1 : int (unsigned 64-bit)
        Generator key.
    m0 : int
        Member number of the first member of this call.
    n_threads : int
        Worker threads; 0 or negative means all hardware threads.

    Returns
    -------
    ndarray, shape (M, F, n)
        The F flagged fields in the order dbz, zdr, phidp, rhohv, vel, per
        member; rhohv is clipped to [0, 1]. A NaN input stays NaN.

    Member i at point g depends only on the key, the member number m0 + i,
    g, the inputs at g and the member's biases: members may be split across
    calls, and the result does not depend on `n_threads`.

    Raises
    ------
    ValueError
        "fac must be (6, n)", "bias arrays differ in length", or "a field
        differs in size from fac".
    TypeError
        For a negative key or one beyond 64 bits, or `flags` beyond 32 bits.
    """

def statistics(
    values: _Floats32, percentiles: _Floats, min_valid: _Int, n_threads: _Int = 0
) -> tuple[_Out, _Out, _Out]:
    """Mean, standard deviation and percentiles of an ensemble, per point.

    Parameters
    ----------
    values : array_like, shape (members, n)
        Member i of point j at values[i, j]; read as float32, computed in
        double. Non-finite members are skipped.
    percentiles : array_like, P elements read flat
        Levels in percent, each from 0 to 100.
    min_valid : int
        Least number of finite members for a result (0 or less acts as 1).
    n_threads : int
        Worker threads; 0 or negative means all hardware threads.

    Returns
    -------
    (mean, std, pct) : ndarrays of shapes (n,), (n,) and (P, n)
        Sample standard deviation (denominator v - 1, NaN for one member);
        percentiles interpolated linearly between order statistics. Points
        with too few finite members are NaN in all three.

    Raises
    ------
    ValueError
        "values must be (members, n)", or "percentiles must be between 0 and
        100" for a level outside that range or NaN.
    """

def mode(
    values: _Floats32, n_codes: _Int, min_valid: _Int, n_threads: _Int = 0
) -> tuple[_Out, _Out]:
    """The most frequent category code per point, and its share.

    Parameters
    ----------
    values : array_like, shape (members, n)
        Category codes stored as numbers (read as float32), truncated toward
        zero. Non-finite values and codes outside 0 .. n_codes - 1 are not
        counted.
    n_codes : int
        Number of codes.
    min_valid : int
        Least number of counted members for a result (0 or less acts as 1).
    n_threads : int
        Worker threads; 0 or negative means all hardware threads.

    Returns
    -------
    (code, fraction) : ndarrays of shape (n,)
        The modal code (ties go to the lowest) and its count divided by the
        number of counted members; NaN where too few members were counted.

    Raises
    ------
    ValueError
        "values must be (members, n)", or "n_codes must be positive".
    MemoryError
        When the count table for `n_codes` cannot be allocated.
    """

def words(
    k0: _Int, k1: _Int, member: _Int, block: _Int, n: _Int
) -> numpy.typing.NDArray[numpy.uint64]:
    """Raw Philox4x64-10 output behind `perturb`.

    Row j (of n) is the generator output for the counter (j + 1, member,
    block, 0) under the key (k0, k1); member and block enter as their 64-bit
    two's-complement patterns. Member i of a `perturb` call with first member
    m0 draws point g from row g of words(k0, k1, m0 + i, 0, n), and its
    velocity error from block 1. Runs on the calling thread.

    Returns
    -------
    ndarray of uint64, shape (n, 4)

    Raises
    ------
    TypeError
        For a key that is negative or beyond 64 bits.
    ValueError
        For a negative n.
    """
