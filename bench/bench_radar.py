"""The shipped NEXRAD volume to a VAD wind profile, against Py-ART's vad_browning.

Both sides start from a volume already read into memory (xradar's tree,
loaded, or Py-ART's Radar; vad_browning gets each Doppler sweep extracted,
as it takes one sweep at a time). End to end: `velmora.radar.vwp` from
either reader against `vad_browning` on every Doppler sweep with the same
height bins (its `z_want` are our bin centres).

The sweep kernel alone (`velmora._radar.vad_sweeps`) on the whole volume as
each reader stores it, against `_velmora.vad`, the row-by-row fit it
replaces, on the same gates (its inputs, the NaN-filled float64 rows and the
broadcast azimuths, made beforehand and not timed), and against its memory
floor: every value of every sweep read once. The kernel runs on the widest
vector path of this processor and, where `make` built them, on each pinned
narrower path.

The calls are interleaved round by round and the best of each is kept, so
that load from other processes hits all sides alike.
"""

from __future__ import annotations

import contextlib
import ctypes
import importlib.util
import io
import pathlib
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from common import Result, load_floor, vector_path  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
VOLUME = ROOT / "tests" / "data" / "KLBB20160601_150025_V06"
NYQUIST = {n: 22.56 for n in range(8)} | {n: 31.08 for n in range(8, 11)}
PINNED = {"avx2": "avx2", "sse2": "sse2"}  # build/path-<name>, made by `make forced-paths`


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


def pinned_kernels() -> dict:
    """vad_sweeps of each pinned build there is, by path name."""
    found = {}
    for name, path in PINNED.items():
        lib = next((ROOT / "build" / f"path-{path}").glob("_radar.*.so"), None)
        if lib is None:
            continue
        spec = importlib.util.spec_from_file_location(f"pinned_{name}._radar", lib)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        found[name] = module.vad_sweeps
    return found


def row_inputs(part):
    """_velmora.vad's inputs for the gates of one kernel sweep: rows of gates."""
    vr, mask, az, cos_el, reserved, start, stop = part
    x = np.array(vr[:, start:stop], dtype=np.float64)
    missing = ~np.isfinite(x) | ~np.isfinite(az)[:, None]
    for low, high in reserved:
        missing |= (x >= low) & (x <= high)
    if mask is not None:
        missing |= mask[:, start:stop]
    x[missing] = np.nan
    rows = np.ascontiguousarray(x.T)
    return rows, np.ascontiguousarray(np.broadcast_to(az, rows.shape)), np.full(len(rows), cos_el[0])


def run() -> list[Result]:
    import _velmora
    import xarray as xr

    from velmora import _radar, radar
    from velmora.radar import fit, sources

    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
        warnings.simplefilter("ignore")
        import pyart

        pyart_radar = pyart.io.read_nexrad_archive(str(VOLUME))
    tree = xr.open_datatree(VOLUME, engine="nexradlevel2").load()
    numbers = radar.doppler_sweeps(tree)
    one_sweep = [pyart_radar.extract_sweeps([n]) for n in numbers]
    # Like for like: vad_browning neither unfolds, checks for aliasing nor
    # rejects gates, and has 6 km of bins.
    like = dict(nyquist=NYQUIST, qc=False, top=6000.0, dealias=False, check_aliasing=False)
    z_want = radar.vwp(tree, **like)["height"].values
    volumes = {"xradar": tree, "Py-ART": pyart_radar}
    parts = {name: [fit._gather(sw, slice(None)) for sw in sources._volume_sweeps(v, None)]
             for name, v in volumes.items()}
    samples = {name: sum(p[0].shape[0] * (p[6] - p[5]) for p in ps) for name, ps in parts.items()}
    rows = {name: [row_inputs(p) for p in ps] for name, ps in parts.items()}
    floor = load_floor("floor_radar")
    floor.floor_sweep_read.restype = ctypes.c_double
    kernels = {vector_path(): _radar.vad_sweeps, **pinned_kernels()}

    def browning():
        with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
            warnings.simplefilter("ignore")
            for s in one_sweep:
                pyart.retrieve.vad_browning(s, "velocity", z_want=z_want)

    def read_floor(ps):
        for vr, *_ in ps:
            floor.floor_sweep_read(ctypes.c_void_p(vr.ctypes.data), ctypes.c_int64(vr.shape[0]),
                                   ctypes.c_int64(vr.shape[1]), ctypes.c_int64(vr.strides[0]),
                                   ctypes.c_int(vr.itemsize))

    def row_fit(rs, n_threads):
        for vr, az, cos_el in rs:
            _velmora.vad(vr, az, cos_el, fit.MIN_GATES, fit.MIN_SPREAD, n_threads)

    fns = {"vad_browning": browning}
    for name, volume in volumes.items():
        for t in (1, 2):
            fns[f"vwp {name} {t}T"] = (lambda v=volume, t=t: radar.vwp(v, **like, n_threads=t))
        ps = parts[name]
        for path, kernel in kernels.items():
            for t in (1, 2):
                fns[f"kernel {name} {path} {t}T"] = (
                    lambda k=kernel, ps=ps, t=t: k(ps, fit.MIN_GATES, fit.MIN_SPREAD, t))
        fns[f"row fit {name}"] = lambda rs=rows[name]: row_fit(rs, 1)
        fns[f"floor {name}"] = lambda ps=ps: read_floor(ps)
    times = interleaved_best(fns)

    results = []
    for name in volumes:
        n = samples[name]
        whole = Result("vwp", f"{name}: KLBB volume, {len(numbers)} sweeps", n,
                       times[f"vwp {name} 1T"], times[f"vwp {name} 2T"],
                       peers={"vad_browning every sweep": times["vad_browning"]})
        whole.targets = [("end to end at least 15x faster than vad_browning on every sweep (1 thread)",
                          times["vad_browning"] >= 15 * times[f"vwp {name} 1T"])]
        results.append(whole)
        for path in kernels:
            t1 = times[f"kernel {name} {path} 1T"]
            row = Result("vad_sweeps", f"{path}, {name}: {n / 1e6:.2f} M samples", n, t1,
                         times[f"kernel {name} {path} 2T"],
                         peers={"_velmora.vad on the same gates": times[f"row fit {name}"]},
                         floors={"reading every sweep once": times[f"floor {name}"]})
            limit = {"avx512": 3.0, "avx2": 4.0}.get(path)
            if limit is not None:
                row.targets = [(f"at most {limit:g} ns per sample on {path} (1 thread)",
                                row.ns(t1) <= limit)]
            results.append(row)
    return results


if __name__ == "__main__":
    from run import print_table

    print_table(run())
