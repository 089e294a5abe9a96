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
import os
import pathlib
import sys
import time
from dataclasses import dataclass

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


def on_cluster(lazy, warm_up):
    """Compute `lazy` on a fresh cluster, after `warm_up` (a small graph of the
    same tasks: fresh workers run their first tasks slowly). Returns the wall
    time, the workers' CPU time (summed), their idle and peak resident memory
    (largest over the workers) and the machine's load over the last minute."""
    import cloudpickle

    cloudpickle.register_pickle_by_value(sys.modules[__name__])  # workers cannot import bench/
    cluster, client = start_cluster()
    try:
        client.wait_for_workers(WORKERS)
        client.compute(warm_up, sync=True)
        idle = max(client.run(resident, "VmRSS").values())
        cpu = sum(client.run(time.process_time).values())
        start = time.perf_counter()
        client.compute(lazy, sync=True)
        wall = time.perf_counter() - start
        cpu = sum(client.run(time.process_time).values()) - cpu
        peak = max(client.run(resident, "VmHWM").values())
    finally:
        client.close()
        cluster.close()
    return ClusterRun(wall, cpu, idle, peak, os.getloadavg()[0])


@dataclass
class ClusterRun:
    wall: float
    cpu: float
    idle: int
    peak: int
    load: float


def single_call(kernel, scale, repeat=3):
    """Best wall and CPU time of one kernel call, times `scale`."""
    wall = best_time(kernel, repeat)
    cpu = float("inf")
    for _ in range(repeat):
        start = time.process_time()
        kernel()
        cpu = min(cpu, time.process_time() - start)
    return wall * scale, cpu * scale


def targets(t1, cpu1, run, task_bytes, array_bytes):
    per_core = run.wall * WORKERS / t1
    per_cpu = run.cpu / cpu1
    growth = run.peak - run.idle
    return [(f"cluster per core {per_core:.2f} x single call <= 1.3 x "
             f"(machine load {run.load:.1f} on {os.cpu_count()} cores)", per_core <= 1.3),
            (f"worker CPU time {per_cpu:.2f} x single call's <= 1.3 x "
             f"(insensitive to other load)", per_cpu <= 1.3),
            (f"peak worker memory {run.peak / 2**20:.0f} MiB (idle {run.idle / 2**20:.0f} MiB, "
             f"one task {task_bytes / 2**20:.0f} MiB, array {array_bytes / 2**30:.1f} GiB): "
             f"growth <= 3 tasks", growth <= 3 * task_bytes)]


# --------------------------------------------------------------------------
# runs


def statistics_graph(members, n, chunk):
    """Sums of the three statistics over an ensemble made chunk by chunk."""
    import dask.array as da

    import velmora

    points = da.core.normalize_chunks(chunk, (n,))[0]
    values = da.map_blocks(ensemble_block, members, chunks=((members,), points),
                           dtype=np.float32, meta=np.empty((0, 0), np.float32))
    mean, std, at_levels = velmora.statistics(values, LEVELS, 1)
    return [mean.sum(), std.sum(), at_levels.sum()]  # read once, copy nothing


def perturb_graph(members, n, chunk):
    """Per-member sums of the perturbed fields of one scan made in a task."""
    import dask
    import dask.array as da

    import velmora

    scan = dask.delayed(radar_scan, pure=True, nout=2)(n)
    fields = da.from_delayed(scan[0], (5, n), np.float64)
    fac = da.from_delayed(scan[1], (6, n), np.float64)
    bias_dbz, bias_zdr = biases(members)
    out = velmora.perturb(*fields, 31, fac, da.from_array(bias_dbz, chunks=chunk),
                          bias_zdr, *KEY, 0)
    return [out.sum(axis=(1, 2))]


def biases(members):
    rng = np.random.default_rng(5)
    return rng.normal(0, 1, members), rng.normal(0, 0.2, members)


def bench_statistics(members=50, n=50_000_000, chunk=500_000) -> Result:
    piece = ensemble_chunk(members, chunk, seed=[7, 0])
    t1, cpu1 = single_call(lambda: _ensemble.statistics(piece, LEVELS, 1, 1), n / chunk)
    make, _ = single_call(lambda: ensemble_chunk(members, chunk, seed=[7, 0]), n / chunk)
    run = on_cluster(statistics_graph(members, n, chunk),
                     statistics_graph(members, 2 * WORKERS * chunk, chunk))
    task_bytes = piece.nbytes + (2 + LEVELS.size) * chunk * 8 * 2  # input, outputs, stacked
    # The cluster also makes the data, which the single call is not charged for.
    return Result("statistics", f"dask M={members}, n={n:,}", members * n, t1, run.wall,
                  targets=targets(t1, cpu1, run, task_bytes, members * n * 4)
                  + [(f"making the data costs {make / t1:.2f} x the single call", True)])


def bench_perturb(members=200, n=2_000_000, chunk=4) -> Result:
    f, table = radar_scan(n)
    bias_dbz, bias_zdr = biases(chunk)
    t1, cpu1 = single_call(lambda: _ensemble.perturb(*f, 31, table, bias_dbz, bias_zdr,
                                                     *KEY, 0, 1), members / chunk)
    run = on_cluster(perturb_graph(members, n, chunk), perturb_graph(2 * WORKERS * chunk, n, chunk))
    task_bytes = f.nbytes + table.nbytes + chunk * 5 * n * 8
    return Result("perturb", f"dask M={members}, n={n:,}, chunk={chunk}", members * n, t1,
                  run.wall, targets=targets(t1, cpu1, run, task_bytes, members * 5 * n * 8))


def run() -> list[Result]:
    try:
        import dask  # noqa: F401
        import velmora  # noqa: F401
        import distributed  # noqa: F401
    except ImportError as err:
        print(f"bench_dask skipped: {err} (pip install '.[dask]')")
        return []
    return [bench_perturb(), bench_statistics()]


if __name__ == "__main__":
    from run import print_table

    print_table(run())
