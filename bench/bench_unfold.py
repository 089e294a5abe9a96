"""Unfolding a whole volume: velmora.radar.dealias against Py-ART's
dealias_region_based, on the shipped NEXRAD volume re-folded at 12 m/s.

Both sides start from the volume in memory (xradar's tree with its Nyquist
velocity, Py-ART's Radar with the same folded velocities and Nyquist
velocity). The calls are interleaved round by round and the best of each
is kept, so that load from other processes hits both sides alike.
"""

from __future__ import annotations

import contextlib
import io
import pathlib
import sys
import warnings

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_radar import interleaved_best  # noqa: E402
from common import Result  # noqa: E402

VOLUME = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data" / "KLBB20160601_150025_V06"
NYQUIST = 12.0  # m/s: low enough that much of the volume folds


def fold(v, nyquist):
    return v - 2.0 * nyquist * np.floor(v / (2.0 * nyquist) + 0.5)


def run() -> list[Result]:
    from velmora import radar

    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
        warnings.simplefilter("ignore")
        import pyart

        pyart_radar = pyart.io.read_nexrad_archive(str(VOLUME))
    vel = pyart_radar.fields["velocity"]
    vel["data"] = np.ma.masked_invalid(fold(np.ma.filled(vel["data"].astype(float), np.nan), NYQUIST))
    pyart_radar.instrument_parameters["nyquist_velocity"]["data"][:] = NYQUIST

    tree = radar.open_volume(VOLUME).load()
    gates = 0
    for name in tree.children:
        ds = tree[name].to_dataset()
        if "VRADH" in ds.data_vars:
            ds["VRADH"] = fold(ds["VRADH"], NYQUIST)
            ds["nyquist_velocity"] = ((), NYQUIST)
            tree[name].dataset = ds
            gates += ds["VRADH"].size

    def region_based():
        with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
            warnings.simplefilter("ignore")
            pyart.correct.dealias_region_based(pyart_radar, nyquist_vel=NYQUIST)

    times = interleaved_best({
        "dealias 1T": lambda: radar.dealias(tree, n_threads=1),
        "dealias 2T": lambda: radar.dealias(tree, n_threads=2),
        "region based": region_based,
    }, repeat=3)
    result = Result("dealias", f"KLBB volume folded at {NYQUIST:g} m/s", gates,
                    times["dealias 1T"], times["dealias 2T"],
                    peers={"Py-ART dealias_region_based": times["region based"]})
    result.targets = [("whole volume at least 20x faster than dealias_region_based (2 threads)",
                       times["region based"] >= 20 * times["dealias 2T"])]
    return [result]


if __name__ == "__main__":
    from run import print_table

    print_table(run())
