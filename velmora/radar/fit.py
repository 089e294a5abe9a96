"""`vad`: the wind at every range gate of one sweep."""

from typing import Any

import numpy as np
import xarray as xr

from .. import _radar
from . import _units
from . import qc as _qc
from ._attrs import _var, dataset
from .geometry import gate_height
from .sources import _nyquist_for, _read_sweep
from .unfold import _aliased

MIN_GATES = 30  # valid rays a gate needs for a fit
MIN_SPREAD = 0.1  # azimuth spread: 0.25 is the full circle, 0.1 about 220 degrees of arc
# The kernel's eight rows, named as velmora.vad names them.
VAD_NAMES = ("eastward_wind", "northward_wind", "offset", "rms_residual", "n_valid", "offset_2",
             "sin_2az", "cos_2az")
def _gather(sweep, gates):
    """The sweep as the compiled fit reads it, its gates in slice `gates`.

    Nothing is copied: the data stay as stored (float32 or float64, any
    strides) and the kernel itself leaves out masked gates, non-finite
    values, the reserved value ranges and rays without an azimuth.
    """
    start, stop, _ = gates.indices(sweep.data.shape[1])
    stop = max(start, stop)
    reserved = np.asarray(sweep.reserved, dtype=np.float64).reshape(-1, 2)
    return (sweep.data, sweep.mask, np.deg2rad(sweep.azimuth), _qc.ray_cosines(sweep), reserved,
            start, stop)


def _fit_sweeps(sweeps, min_gates, min_spread, n_threads, gates=None):
    """The kernel's (8, gates) output for every sweep.

    Each row of the fit is one gate, its samples the rays of its sweep. All
    sweeps go into one kernel call, so that the threads share them. `gates`,
    a slice per sweep (step 1), limits the gates that are fitted; the
    others hold NaN, with a count of 0.
    """
    gates = [slice(None)] * len(sweeps) if gates is None else gates
    parts = [_gather(sw, sel) for sw, sel in zip(sweeps, gates)]
    fitted = _radar.vad_sweeps(parts, min_gates, min_spread, n_threads)
    outs = []
    column = 0
    for sw, (*_, start, stop) in zip(sweeps, parts):
        out = np.full((8, sw.data.shape[1]), np.nan)
        out[4] = 0.0
        out[:, start:stop] = fitted[:, column:column + stop - start]
        column += stop - start
        outs.append(out)
    return outs


def _fit_checked(sweeps, min_gates, min_spread, n_threads, qc, gates=None):
    """`_fit_sweeps`, outliers rejected and refitted, and the gate flags of every sweep."""
    outs = _fit_sweeps(sweeps, min_gates, min_spread, n_threads, gates)

    def refit(edited, spans):
        return _fit_sweeps(edited, min_gates, min_spread, n_threads, spans)

    outs, fitted, rejected = _qc.reject_outliers(sweeps, outs, refit, qc)
    flags = [_qc.gate_flags(sw, out, qc, min_gates) for sw, out in zip(fitted, outs)]
    outliers = [np.zeros(out.shape[1], dtype=np.int64) if r is None else r.sum(axis=0)
                for out, r in zip(outs, rejected)]
    return outs, flags, outliers


def vad(sweep: Any, field: str | None = None, *, index: int | None = None,
        min_gates: int = MIN_GATES, min_spread: float = MIN_SPREAD, nyquist: Any = None,
        qc: Any = True, n_threads: int = 0) -> xr.Dataset:
    """Horizontal wind at every range gate of one sweep, by a VAD fit.

    At each gate the radial velocities of all rays are fitted as
    vr = a0 + a1 sin(az) + b1 cos(az); u = a1 / cos(el) and v = b1 / cos(el),
    with el the median ray elevation of the sweep. When the elevations of
    the rays spread by more than 0.3 degrees, each ray's own elevation
    enters instead: the regressors become cos(el_j) sin(az_j) and
    cos(el_j) cos(az_j), whose coefficients are u and v. A second fit adds
    the second harmonic (sin 2az, cos 2az), whose terms are returned as well.

    Parameters
    ----------
    sweep : xarray.Dataset or DataTree node or pyart Radar
        One xradar sweep with ``azimuth``, ``elevation``, ``range`` (m) and the
        velocity variable, in either dimension order; or a Py-ART Radar, of
        which sweep `index` (default: the first with velocities) is used.
    field : str, optional
        Velocity variable, m/s, unfolded. Default ``VRADH`` (xradar) or
        ``velocity`` (Py-ART).
    index : int, optional
        Sweep number, for a Py-ART Radar or a whole xradar volume (DataTree):
        the sweep of that number is fitted.
    min_gates : int
        Least number of valid rays a gate needs (default 30).
    min_spread : float
        Least azimuth spread of the valid rays, the determinant of the
        covariance of (sin az, cos az): 0.25 for the full circle, 0.1 (the
        default) for about 220 degrees of contiguous arc.
    nyquist : float or pint.Quantity, optional
        Nyquist velocity, m/s (or any speed as a Quantity), overriding the one
        in the data (`open_volume` adds it for Level II; ODIM, CfRadial and
        Py-ART carry it). When unknown, the sweep's largest speed stands for it
        in the detection.
    qc : bool or QC
        Quality control (`velmora.radar.qc`): True for the default steps,
        False for none (the raw fit), or a `QC` with chosen thresholds.
    n_threads : int
        Threads of the fit; 0 uses all cores.

    Returns
    -------
    xarray.Dataset
        Along ``range``: ``eastward_wind``, ``northward_wind``, ``offset``,
        ``rms_residual``, ``n_valid``, ``offset_2``, ``sin_2az``, ``cos_2az``
        (m/s, counts as numbers) and ``aliased``: gates whose velocities, as
        given, are inconsistent with an unaliased wind (see
        `velmora.radar.unfold`; unfold them with `dealias`); a valid wind
        faster than the Nyquist velocity is not flagged. Coordinates
        ``height`` (above the radar) and
        ``altitude`` (above sea level), m. Missing values (masked,
        ``_FillValue``, Level II codes) are never fitted. ``qc_flag`` gives
        each gate's reason for rejection (0 accepted; ``flag_values``,
        ``flag_meanings``) and ``n_outliers`` the samples rejected as
        outliers; rejected gates hold NaN winds. The attributes say which
        QC steps ran with which thresholds.

    Notes
    -----
    Quality control per gate, in order (the first failed step is the flag):
    at least `min_gates` valid rays; azimuth coverage, at most one of eight
    45° sectors without a valid ray; iterative rejection of samples whose
    residual exceeds 3 RMS of the fit, each pass an exact refit over the
    samples kept (the same least squares); the fit's azimuth spread; RMS
    residual at most 5 m/s; a symmetric fit, its offset (the mean of the
    fitted curve's extremes) at most 5 m/s. These follow the operational VAD
    Wind Profile algorithm (Federal Meteorological Handbook No. 11, Part C)
    and vol2bird (Dokter et al. 2011); see `velmora.radar.qc`.

    Warns
    -----
    UserWarning
        When the first gate lies beyond ten gate spacings (a misread range).
    """
    min_gates, min_spread = _units.fit_arguments("vad", min_gates, min_spread)
    nyquist = _units.nyquist_argument("vad", nyquist)
    qc = _qc.QC.of(qc)
    sw = _read_sweep(sweep, field, index)
    _qc.warn_far_first_gate(sw)
    outs, flags, outliers = _fit_checked([sw], min_gates, min_spread, n_threads, qc)
    out, flag = outs[0], flags[0]
    out[:2, flag != 0] = np.nan  # a rejected gate has no wind
    ny = _nyquist_for(sw, nyquist)
    height = gate_height(sw.range, sw.elevation)
    dims = ("range",)
    data = {name: _var(name, dims, out[k]) for k, name in enumerate(VAD_NAMES)}
    data["aliased"] = _var("aliased", dims, _aliased(sw, ny, n_threads))
    data["qc_flag"] = xr.Variable(dims, flag, _qc.flag_attrs("reason the gate was rejected"))
    data["n_outliers"] = xr.Variable(dims, outliers[0], {
        "units": "1", "long_name": "samples rejected as outliers before the final fit"})
    coords = {
        "range": _var("range", dims, sw.range),
        "height": _var("height", dims, height),
        "altitude": _var("altitude", dims, height + sw.altitude),
        "elevation": _var("elevation", (), sw.elevation),
        "nyquist_velocity": _var("nyquist_velocity", (), ny),
    }
    return dataset(data, coords, attrs={"sweep_number": sw.number,
                                        "min_gates": min_gates, "min_spread": min_spread,
                                        **qc.attrs(bins=False)})
