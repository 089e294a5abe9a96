"""Shared pieces of the benchmarks: timing, C++ cost floors and the result row.

Every benchmark module ``bench/bench_*.py`` exposes ``run() -> list[Result]``;
``bench/run.py`` runs them all in one process and prints one table, so that
every ratio is measured side by side on the same machine state.
"""

from __future__ import annotations

import ctypes
import pathlib
import subprocess
import time
from dataclasses import dataclass, field

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
FLOOR_BUILD = HERE.parent / "build" / "bench"


def best_time(fn, repeat: int = 5) -> float:
    """Smallest wall time of `repeat` calls, in seconds (the least disturbed run)."""
    fn()  # warm caches, page in outputs, load code
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def load_floor(name: str) -> ctypes.CDLL:
    """Compile bench/<name>.cpp with the kernels' flags and load it.

    Floors are the unavoidable cost of a kernel (its libm calls, its memory
    traffic), built with the same exactness flags as the modules.
    """
    src = HERE / f"{name}.cpp"
    lib = FLOOR_BUILD / f"{name}.so"
    if not lib.exists() or lib.stat().st_mtime < src.stat().st_mtime:
        FLOOR_BUILD.mkdir(parents=True, exist_ok=True)
        subprocess.run(
            ["g++", "-O3", "-ffp-contract=off", "-fno-fast-math", "-shared", "-fPIC",
             "-std=c++17", "-o", str(lib), str(src)],
            check=True,
        )
    return ctypes.CDLL(str(lib))


def ptr(a: np.ndarray, ctype=ctypes.c_double):
    """Raw data pointer of a C-contiguous array for a ctypes call."""
    assert a.flags.c_contiguous
    return a.ctypes.data_as(ctypes.POINTER(ctype))


@dataclass
class Result:
    """One benchmark: the kernel's times and those of its peers and floors.

    All times are seconds per call; `elements` is the count that ns/element
    refers to (samples, points, member-points, ...).
    """

    kernel: str
    size: str
    elements: int
    t1: float
    t2: float
    peers: dict[str, float] = field(default_factory=dict)
    floors: dict[str, float] = field(default_factory=dict)
    targets: list[tuple[str, bool]] = field(default_factory=list)

    def ns(self, seconds: float) -> float:
        return seconds / self.elements * 1e9

    @property
    def scaling(self) -> float:
        return self.t1 / self.t2
