"""The shipped NEXRAD volume to a VAD wind profile, against Py-ART's vad_browning.

Both sides start from a volume already read into memory (xradar's tree,
loaded; Py-ART's Radar with its Doppler sweeps extracted, as vad_browning
takes one sweep at a time). End to end: `velmora.radar.vwp` against
`vad_browning` on every Doppler sweep with the same height bins (its
`z_want` are our bin centres). Fitting alone: our gathering and kernel call
against vad_browning's per-gate fit, over every gate of every sweep.
The floor is the kernel's unavoidable libm work: sin and cos of the azimuth
and of twice it, for every valid sample; vad_browning takes them once per ray.

The calls are interleaved round by round and the best of each is kept, so
that load from other processes hits both sides alike.
"""

from __future__ import annotations

import contextlib
import ctypes
import io
import pathlib
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from common import Result, load_floor, ptr  # noqa: E402

VOLUME = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data" / "KLBB20160601_150025_V06"
NYQUIST = {n: 22.56 for n in range(8)} | {n: 31.08 for n in range(8, 11)}


def interleaved_best(fns: dict, repeat: int = 15) -> dict[str, float]:
    """Best wall time of each function, calling them in turn `repeat` times."""
    best = dict.fromkeys(fns, float("inf"))
    for fn in fns.values():
        fn()  # warm up
    for _ in range(repeat):
        for name, fn in fns.items():
            start = time.perf_counter()
            fn()
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def run() -> list[Result]:
    import xarray as xr

    from velmora import radar

    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
        warnings.simplefilter("ignore")
        import pyart
        from pyart.retrieve.vad import _vad_calculation_b

        pyart_radar = pyart.io.read_nexrad_archive(str(VOLUME))
    tree = xr.open_datatree(VOLUME, engine="nexradlevel2").load()
    numbers = radar.doppler_sweeps(tree)
    one_sweep = [pyart_radar.extract_sweeps([n]) for n in numbers]
    # Like for like: vad_browning has no quality control, and 6 km of bins.
    like = dict(nyquist=NYQUIST, qc=False, top=6000.0, dealias=False)
    profile = radar.vwp(tree, **like)
    z_want = profile["height"].values
    sweeps = list(radar._volume_sweeps(tree, None))
    samples = sum(sw.data.size for sw in sweeps)
    # Py-ART's sweeps carry the volume's longest range; its fit gets each
    # sweep's own gates, as ours does.
    gates = [sw.data.shape[1] for sw in sweeps]

    # The kernel's own floor: sin and cos of the azimuth and of twice the
    # azimuth, once for every valid sample it fits.
    floor = load_floor("floor_velmora")
    floor.floor_vad.restype = ctypes.c_double
    valid_az = []
    for sw in sweeps:
        _, _, block = radar._gather(sw, slice(None), radar.MIN_GATES)
        az = np.broadcast_to(np.deg2rad(sw.azimuth)[:, None], block.shape)
        valid_az.append(az[np.isfinite(block)])
    valid_az = np.ascontiguousarray(np.concatenate(valid_az))

    def browning():
        with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
            warnings.simplefilter("ignore")
            for s in one_sweep:
                pyart.retrieve.vad_browning(s, "velocity", z_want=z_want)

    def browning_fit():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            for s, g in zip(one_sweep, gates):
                _vad_calculation_b(s.fields["velocity"]["data"][:, :g], s.azimuth["data"],
                                   s.fixed_angle["data"][0], 16)

    times = interleaved_best({
        "vwp 1T": lambda: radar.vwp(tree, **like, n_threads=1),
        "vwp 2T": lambda: radar.vwp(tree, **like, n_threads=2),
        "vad_browning": browning,
        "fit 1T": lambda: radar._fit_sweeps(sweeps, radar.MIN_GATES, radar.MIN_SPREAD, 1),
        "fit 2T": lambda: radar._fit_sweeps(sweeps, radar.MIN_GATES, radar.MIN_SPREAD, 2),
        "vad_browning fit": browning_fit,
        "floor": lambda: floor.floor_vad(ptr(valid_az), ctypes.c_int64(valid_az.size)),
    })
    size = f"KLBB volume, {len(numbers)} sweeps"
    whole = Result("vwp", size, samples, times["vwp 1T"], times["vwp 2T"],
                   peers={"vad_browning every sweep": times["vad_browning"]},
                   floors={f"libm of {valid_az.size:,} valid samples": times["floor"]})
    fit = Result("vwp fit", size, samples, times["fit 1T"], times["fit 2T"],
                 peers={"vad_browning's fit": times["vad_browning fit"]},
                 floors={f"libm of {valid_az.size:,} valid samples": times["floor"]})
    # The targets use the default thread count (all cores; vad_browning has one).
    whole.targets = [("end to end at least 10x faster than vad_browning on every sweep (2 threads)",
                      times["vad_browning"] >= 10 * times["vwp 2T"])]
    fit.targets = [("fitting at least 10x faster than vad_browning's fitting (2 threads)",
                    times["vad_browning fit"] >= 10 * times["fit 2T"])]
    return [whole, fit]


if __name__ == "__main__":
    from run import print_table

    print_table(run())
