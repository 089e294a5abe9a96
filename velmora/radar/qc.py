"""Quality control of VAD fits and VWP bins: every step, its flag and its threshold.

The steps follow the operational VAD Wind Profile algorithm (Federal
Meteorological Handbook No. 11, Part C) and vol2bird (Dokter et al. 2011):
minimum valid rays, azimuth coverage by sector, iterative rejection of
outlying samples with a refit, an RMS threshold and a symmetry test per
gate; a minimum number of gates and a spread threshold per height bin.
Each step can be switched off (`QC`), each is reported in the output's
attributes, and each rejected gate or bin carries the flag of the first
step it failed (CF `flag_values` / `flag_meanings`, one table below).

References
----------
Office of the Federal Coordinator for Meteorology, 2006: Federal
Meteorological Handbook No. 11, Doppler Radar Meteorological Observations,
Part C: WSR-88D Products and Algorithms (the VAD Wind Profile).

Dokter, A. M., F. Liechti, H. Stark, L. Delobbe, P. Tabary and I. Holleman,
2011: Bird migration flight altitudes studied by a network of operational
weather radars. J. Roy. Soc. Interface, 8, 30-43 (vol2bird).
"""

from __future__ import annotations

import dataclasses
import warnings
from dataclasses import dataclass

import numpy as np

# One table: flag value, meaning (a CF flag_meanings word), what it says.
FLAGS = (
    (0, "accepted", "passed every step that was on"),
    (1, "too_few_rays", "fewer valid rays than min_gates"),
    (2, "azimuth_gap", "more empty azimuth sectors than allowed"),
    (3, "no_fit", "the fit refused the gate: its azimuths spread too little"),
    (4, "large_rms", "root-mean-square residual of the fit above max_rms"),
    (5, "asymmetric", "the fitted curve's extremes off-centre by more than max_offset"),
    (6, "aliased", "velocities inconsistent with an unaliased wind (folded)"),
    (7, "too_few_gates", "fewer accepted gates in the bin than min_bin_gates"),
    (8, "large_bin_spread", "spread of the bin's gate winds above max_bin_spread"),
)
FLAG = {meaning: value for value, meaning, _ in FLAGS}
# Elevations of a sweep that spread by more than this (degrees) enter the fit
# ray by ray, as the sweep fit takes them.
ELEVATION_SPREAD = 0.3
GATE_STEPS = ("too_few_rays", "azimuth_gap", "no_fit", "large_rms", "asymmetric", "aliased")


@dataclass(frozen=True)
class QC:
    """Thresholds of the quality-control steps; None switches a step off.

    `min_gates` (valid rays per gate) and `min_spread` stay arguments of
    `vad` and `vwp`, as the fit itself applies them.
    """

    sectors: int | None = 8  # azimuth sectors of 360/sectors degrees
    max_empty_sectors: int = 1
    outlier_factor: float | None = 3.0  # samples beyond this many RMS of the fit
    outlier_iterations: int = 5
    # A sample this close to the fit is never an outlier, however small the
    # RMS: two Level II velocity steps (0.5 m/s each).
    outlier_floor: float = 1.0  # m s-1
    max_rms: float | None = 5.0  # m s-1
    max_offset: float | None = 5.0  # m s-1
    min_bin_gates: int | None = 3
    max_bin_spread: float | None = 5.0  # m s-1, hypot of the u and v spreads

    @classmethod
    def of(cls, qc) -> QC:
        """The QC of a `qc=` argument: True (defaults), False (all off) or a QC."""
        if isinstance(qc, QC):
            return qc
        if qc is True:
            return cls()
        if qc is False:
            return cls(sectors=None, outlier_factor=None, max_rms=None, max_offset=None,
                       min_bin_gates=None, max_bin_spread=None)
        raise TypeError(f"argument 'qc' must be True, False or a velmora.radar.QC, not {qc!r}")

    def attrs(self, bins: bool = True) -> dict[str, str]:
        """What ran, for the output's attributes (netCDF-safe strings)."""
        def said(value, text):
            return "off" if value is None else text

        return {
            "qc_azimuth_gap": said(self.sectors, f"{self.sectors} sectors, at most "
                                                 f"{self.max_empty_sectors} empty"),
            "qc_outliers": said(self.outlier_factor, f"samples beyond {self.outlier_factor} x "
                                                     f"RMS (at least {self.outlier_floor} m s-1) "
                                                     f"rejected and refitted, up to "
                                                     f"{self.outlier_iterations} times"),
            "qc_max_rms": said(self.max_rms, f"{self.max_rms} m s-1"),
            "qc_max_offset": said(self.max_offset, f"{self.max_offset} m s-1"),
        } | ({
            "qc_min_bin_gates": said(self.min_bin_gates, f"{self.min_bin_gates}"),
            "qc_max_bin_spread": said(self.max_bin_spread, f"{self.max_bin_spread} m s-1"),
        } if bins else {})


def flag_attrs(long_name: str) -> dict:
    values = np.array([v for v, _, _ in FLAGS], dtype=np.int8)
    return {"long_name": long_name, "flag_values": values,
            "flag_meanings": " ".join(m for _, m, _ in FLAGS)}


def valid_samples(sweep, gates=slice(None)) -> np.ndarray:
    """(rays, gates): the samples the fit uses (finite, unmasked, no reserved code,
    azimuth known), for the gates (columns) selected by `gates`."""
    x = sweep.data[:, gates]
    valid = np.isfinite(x)
    if sweep.mask is not None:
        valid &= ~sweep.mask[:, gates]
    for low, high in sweep.reserved:
        valid &= (x < low) | (x > high)
    return valid & np.isfinite(sweep.azimuth)[:, None]


def _without(sweep, rejected):
    """The sweep with the `rejected` samples missing, everything else as stored."""
    mask = rejected if sweep.mask is None else (sweep.mask | rejected)
    return dataclasses.replace(sweep, mask=mask)


def ray_cosines(sweep) -> np.ndarray:
    """(rays,): the cosine of elevation of every ray, as the sweep fit takes it.

    The median elevation's, unless the sweep's ray elevations spread by more
    than ELEVATION_SPREAD: then each ray's own.
    """
    el = sweep.ray_elevation
    if el is not None:
        finite = el[np.isfinite(el)]
        if finite.size and finite.max() - finite.min() > ELEVATION_SPREAD:
            return np.cos(np.deg2rad(el))
    return np.full(sweep.data.shape[0], np.cos(np.deg2rad(sweep.elevation)))


def empty_sectors(valid: np.ndarray, azimuth_deg: np.ndarray, sectors: int) -> np.ndarray:
    """Per gate, how many of `sectors` equal azimuth sectors hold no valid ray."""
    az = np.where(np.isfinite(azimuth_deg), azimuth_deg, 0.0)  # invalid rays hold no sample
    # mod lands in [0, 360]; the index is range-checked before the cast.
    where = np.clip(np.floor(np.mod(az, 360.0) / (360.0 / sectors)), 0, sectors - 1)
    sector = where.astype(np.int64)
    empty = np.zeros(valid.shape[1], dtype=np.int64)
    for s in range(sectors):
        empty += ~valid[sector == s].any(axis=0)
    return empty


def residuals(sweep, out, gates) -> np.ndarray:
    """(rays, len(gates)): radial velocity minus the first-harmonic fit of its gate."""
    az = np.deg2rad(sweep.azimuth)[:, None]
    cos_el = ray_cosines(sweep)[:, None]
    fit = out[:, gates]
    return sweep.data[:, gates] - (fit[2] + (fit[0] * np.sin(az) + fit[1] * np.cos(az)) * cos_el)


def reject_outliers(sweeps, outs, refit, qc: QC):
    """Iterative outlier rejection: samples beyond k·RMS of their gate's fit are set
    missing and every sweep refitted by the same exact least squares, until none
    is left or the iterations run out.

    `refit(sweeps, gates)` fits the sweeps over a slice of gates each, the
    rest NaN. Returns the final fits, the sweeps as last fitted and the
    (rays, gates) rejection masks (None for a sweep where the step is off).
    """
    if qc.outlier_factor is None:
        return outs, sweeps, [None] * len(sweeps)
    rejected = [np.zeros(sw.data.shape, dtype=bool) for sw in sweeps]
    edited = sweeps
    for _ in range(qc.outlier_iterations):
        changed = [slice(0, 0)] * len(sweeps)
        for k, (sw, out) in enumerate(zip(edited, outs)):
            gates = np.flatnonzero(np.isfinite(out[0]) & np.isfinite(out[1]))  # the fitted
            limit = np.maximum(qc.outlier_factor * out[3, gates], qc.outlier_floor)
            with np.errstate(invalid="ignore"):
                far = np.abs(residuals(sw, out, gates)) > limit
            far &= valid_samples(sw, gates)  # what lies under a mask or a code is no sample
            hit = gates[far.any(axis=0)]
            if hit.size:
                rejected[k][:, gates] |= far
                changed[k] = slice(hit[0], hit[-1] + 1)
        if all(c.stop == 0 for c in changed):
            break
        edited = [_without(sw, r) for sw, r in zip(sweeps, rejected)]
        # Each gate's fit depends on its own samples alone: refitting the span
        # of the gates that lost samples gives the bits of a whole refit.
        for k, out in enumerate(refit(edited, changed)):
            outs[k][:, changed[k]] = out[:, changed[k]]
    return outs, edited, rejected


def gate_flags(sweep, out, qc: QC, min_gates: int) -> np.ndarray:
    """The flag of every gate of a fitted sweep: the first step it fails, else 0."""
    n = out.shape[1]
    flags = np.zeros(n, dtype=np.int8)

    def mark(fails, meaning):
        flags[(flags == 0) & fails] = FLAG[meaning]

    mark(out[4] < min_gates, "too_few_rays")
    if qc.sectors is not None:
        gates = np.flatnonzero(flags == 0)  # the others failed already
        gaps = empty_sectors(valid_samples(sweep, gates), sweep.azimuth, qc.sectors)
        flags[gates[gaps > qc.max_empty_sectors]] = FLAG["azimuth_gap"]
    mark(~(np.isfinite(out[0]) & np.isfinite(out[1])), "no_fit")
    with np.errstate(invalid="ignore"):
        if qc.max_rms is not None:
            mark(out[3] > qc.max_rms, "large_rms")
        if qc.max_offset is not None:
            mark(np.abs(out[2]) > qc.max_offset, "asymmetric")
    return flags


def bin_flags(gates, u_spread, v_spread, qc: QC) -> np.ndarray:
    """The flag of every height bin: too few gates or too large a spread, else 0."""
    flags = np.zeros(gates.shape, dtype=np.int8)
    if qc.min_bin_gates is not None:
        flags[gates < qc.min_bin_gates] = FLAG["too_few_gates"]
    if qc.max_bin_spread is not None:
        with np.errstate(invalid="ignore"):
            wide = np.hypot(u_spread, v_spread) > qc.max_bin_spread
        flags[(flags == 0) & wide] = FLAG["large_bin_spread"]
    return flags


def warn_far_first_gate(sweep, stacklevel=3):
    """Warn when the first gate lies beyond ten gate spacings: a misread range."""
    r = sweep.range
    if r.size < 2:
        return
    spacing = r[1] - r[0]
    if np.isfinite(spacing) and spacing > 0 and r[0] > 10.0 * spacing:
        warnings.warn(f"sweep {sweep.number}: the first gate lies at {r[0]:.0f} m, more than "
                      f"ten gate spacings ({spacing:.0f} m) out; the range is probably misread "
                      f"(xradar 0.13 reads the legacy Level II format's first gate this way)",
                      UserWarning, stacklevel=stacklevel)
