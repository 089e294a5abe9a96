"""Scale-out of statistics and perturb on a two-process local Dask cluster.

Each run is measured against one kernel call on a slice of the same data,
scaled to the whole work: t1 is that single-call time (one thread), t2 the
cluster's wall time with two single-threaded workers. Per core the cluster
should stay within 1.3x of the single call, that is t2 * 2 <= 1.3 * t1.

The data are generated lazily inside the tasks, chunk by chunk, so the
ensemble of `statistics` (about 10 GB) never exists in memory, and the
results are summed on the workers instead of being gathered. Each worker is
capped by a memory limit; its peak resident memory is read from the kernel
(VmHWM) and must stay within a few chunks above its idle size.
"""

from __future__ import annotations

import logging
import pathlib
import sys
import time

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from common import Result, best_time  # noqa: E402

import _ensemble  # noqa: E402

WORKERS = 2
MEMORY_LIMIT = 4 * 2**30  # bytes per worker
KEY = (0x243F6A8885A308D3, 0x13198A2E03707344)
LEVELS = np.array([10.0, 50.0, 90.0])
TILE = 4096  # points of fresh random values per chunk; the rest repeats them


# --------------------------------------------------------------------------
# data made inside the tasks


def ensemble_chunk(members, points, seed):
    """(members, points) float32 with 2 % missing values.

    Random values for TILE points are repeated across the chunk: every point
    still sorts members in random order, and making the chunk costs little
    next to the kernel.
    """
    rng = np.random.default_rng(seed)
    tile = rng.normal(280.0, 5.0, (members, TILE)).astype(np.float32)
    tile[rng.random(tile.shape) < 0.02] = np.nan
    out = np.empty((members, points), np.float32)
    for start in range(0, points, TILE):
        stop = min(start + TILE, points)
        out[:, start:stop] = tile[:, :stop - start]
    return out


def ensemble_block(members, block_info=None):
    (start, stop), = block_info[None]["array-location"][1:]
    return ensemble_chunk(members, stop - start, seed=[7, block_info[None]["chunk-location"][1]])


def radar_scan(n, seed=3):
    """Five polarimetric fields (5, n) and the error table fac (6, n)."""
    rng = np.random.default_rng(seed)
    fields = np.stack([rng.uniform(-10, 60, n), rng.uniform(-1, 4, n), rng.uniform(0, 180, n),
                       rng.uniform(0.7, 1, n), rng.uniform(-30, 30, n)])
    return fields, np.abs(rng.normal(0.3, 0.2, (6, n)))


# --------------------------------------------------------------------------
# cluster


def start_cluster():
    from distributed import Client, LocalCluster

    cluster = LocalCluster(n_workers=WORKERS, processes=True, threads_per_worker=1,
                           host="127.0.0.1", dashboard_address=None,
                           worker_dashboard_address=None, memory_limit=MEMORY_LIMIT,
                           scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                           silence_logs=logging.ERROR)
    return cluster, Client(cluster, set_as_default=False)


def resident(field: str) -> int:
    """VmRSS or VmHWM (the peak) of the calling process, in bytes."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"{field} not in /proc/self/status")


def on_cluster(lazy, repeat):
    """Best wall time of computing `lazy` on a fresh cluster, with the workers'
    idle and peak resident memory (largest over the workers)."""
    import cloudpickle

    cloudpickle.register_pickle_by_value(sys.modules[__name__])  # workers cannot import bench/
    cluster, client = start_cluster()
    try:
        client.wait_for_workers(WORKERS)
        idle = max(client.run(resident, "VmRSS").values())
        best = float("inf")
        for _ in range(repeat):
            start = time.perf_counter()
            client.compute(lazy, sync=True)
            best = min(best, time.perf_counter() - start)
        peak = max(client.run(resident, "VmHWM").values())
    finally:
        client.close()
        cluster.close()
    return best, idle, peak


def targets(t1, t2, idle, peak, task_bytes, array_bytes):
    per_core = t2 * WORKERS / t1
    growth = peak - idle
    return [(f"cluster per core {per_core:.2f} x single call <= 1.3 x", per_core <= 1.3),
             (f"peak worker memory {peak / 2**20:.0f} MiB (idle {idle / 2**20:.0f} MiB, "
              f"one task {task_bytes / 2**20:.0f} MiB, array {array_bytes / 2**30:.1f} GiB): "
              f"growth <= 3 tasks", growth <= 3 * task_bytes)]


# --------------------------------------------------------------------------
# runs


def bench_statistics(members=50, n=50_000_000, chunk=1_000_000, repeat=1) -> Result:
    import dask.array as da

    import dask_radar

    values = da.map_blocks(ensemble_block, members, chunks=((members,), da.core.normalize_chunks(
        chunk, (n,))[0]), dtype=np.float32, meta=np.empty((0, 0), np.float32))
    mean, std, at_levels = dask_radar.statistics(values, LEVELS, 1)
    sinks = [da.nansum(mean), da.nansum(std), da.nansum(at_levels)]

    piece = ensemble_chunk(members, chunk, seed=[7, 0])
    t_slice = best_time(lambda: _ensemble.statistics(piece, LEVELS, 1, 1), 3)
    t_make = best_time(lambda: ensemble_chunk(members, chunk, seed=[7, 0]), 3)
    t1 = t_slice * n / chunk
    t2, idle, peak = on_cluster(sinks, repeat)
    task_bytes = piece.nbytes + (2 + LEVELS.size) * chunk * 8 * 2  # input, outputs, stacked
    # The cluster also makes the data; its one-core cost is shown beside the kernel's.
    return Result("statistics", f"dask M={members}, n={n:,}", members * n, t1, t2,
                  floors={"making the data": t_make * n / chunk},
                  targets=targets(t1, t2, idle, peak, task_bytes, members * n * 4))


def bench_perturb(members=200, n=2_000_000, chunk=4, repeat=1) -> Result:
    import dask
    import dask.array as da

    import dask_radar

    scan = dask.delayed(radar_scan, pure=True)(n)
    fields = da.from_delayed(scan[0], (5, n), np.float64)
    fac = da.from_delayed(scan[1], (6, n), np.float64)
    rng = np.random.default_rng(5)
    bias_dbz, bias_zdr = rng.normal(0, 1, members), rng.normal(0, 0.2, members)
    out = dask_radar.perturb(*fields, 31, fac, da.from_array(bias_dbz, chunks=chunk),
                             bias_zdr, *KEY, 0)
    sinks = [da.nansum(out, axis=(1, 2))]

    f, table = radar_scan(n)
    t_slice = best_time(lambda: _ensemble.perturb(*f, 31, table, bias_dbz[:chunk],
                                                  bias_zdr[:chunk], *KEY, 0, 1), 3)
    t1 = t_slice * members / chunk
    t2, idle, peak = on_cluster(sinks, repeat)
    task_bytes = f.nbytes + table.nbytes + chunk * 5 * n * 8
    return Result("perturb", f"dask M={members}, n={n:,}, chunk={chunk}", members * n, t1, t2,
                  targets=targets(t1, t2, idle, peak, task_bytes, members * 5 * n * 8))


def run() -> list[Result]:
    try:
        import dask_radar  # noqa: F401
        import distributed  # noqa: F401
    except ImportError as err:
        print(f"bench_dask skipped: {err} (pip install '.[dask]')")
        return []
    return [bench_perturb(), bench_statistics()]


if __name__ == "__main__":
    from run import print_table

    print_table(run())
