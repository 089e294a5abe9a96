"""`velmora.radar.vwp_series` over 20 volumes: a 2-worker LocalCluster against the serial loop.

Both sides start from the files (the shipped volume, 20 times) and end with
one (time, height) Dataset; reading dominates. The cluster's result must
have the serial loop's bits. Each side runs once: a run takes minutes.
"""

from __future__ import annotations

import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from common import Result  # noqa: E402

VOLUME = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data" / "KLBB20160601_150025_V06"
NYQUIST = {n: 22.56 for n in range(8)} | {n: 31.08 for n in range(8, 11)}
VOLUMES = 20


def run() -> list[Result]:
    import numpy as np
    import xarray as xr
    from distributed import Client, LocalCluster

    from velmora import radar

    paths = [str(VOLUME)] * VOLUMES
    start = time.perf_counter()
    serial = [radar.vwp(xr.open_datatree(p, engine="nexradlevel2").load(), nyquist=NYQUIST)
              for p in paths]
    t_serial = time.perf_counter() - start

    with (LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                       dashboard_address=None) as cluster,
          Client(cluster, set_as_default=False) as client):
        # Imports (xradar's engine among them) are not the series' cost.
        client.run(lambda: [__import__(m) for m in ("velmora.radar", "xradar")])
        start = time.perf_counter()
        series = radar.vwp_series(paths, client=client, nyquist=NYQUIST, progress=False)
        t_cluster = time.perf_counter() - start

    same = all(np.array_equal(series[n].values[k], serial[k][n].values, equal_nan=True)
               for k in range(VOLUMES) for n in ("eastward_wind", "northward_wind", "gate_count"))
    result = Result("vwp_series", f"{VOLUMES} KLBB volumes from files "
                    f"({VOLUMES / t_cluster:.2f}/s on 2 workers)", VOLUMES, t_serial, t_cluster)
    result.targets = [("2-worker LocalCluster gives the serial loop's bits", same),
                      ("2-worker LocalCluster faster than the serial loop", t_cluster < t_serial)]
    print(f"vwp_series: serial loop {t_serial:.1f} s ({VOLUMES / t_serial:.2f} volumes/s), "
          f"2-worker LocalCluster {t_cluster:.1f} s ({VOLUMES / t_cluster:.2f} volumes/s)")
    return [result]


if __name__ == "__main__":
    from run import print_table

    print_table(run())
