"""Shared pieces of the benchmarks: timing, C++ cost floors and the result row.

Every benchmark module ``bench/bench_*.py`` exposes ``run() -> list[Result]``;
``bench/run.py`` runs them all in one process and prints one table, so that
every ratio is measured side by side on the same machine state.
"""

from __future__ import annotations

import ctypes
import importlib
import pathlib
import subprocess
import sys
import sysconfig
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


def best_times(fns, repeat: int = 5) -> list[float]:
    """Smallest wall time of each function, the calls interleaved round by
    round, so that a noisy stretch of the machine hits all of them alike."""
    for fn in fns:
        fn()
    best = [float("inf")] * len(fns)
    for _ in range(repeat):
        for k, fn in enumerate(fns):
            start = time.perf_counter()
            fn()
            best[k] = min(best[k], time.perf_counter() - start)
    return best


def vector_path() -> str:
    """The path _ensemble takes on this processor (its own rule, from the CPU flags)."""
    try:
        flags = next(line for line in open("/proc/cpuinfo") if line.startswith("flags")).split()
    except (OSError, StopIteration):
        return "unknown"
    if {"avx512f", "avx512bw", "avx512vl", "avx512dq"} <= set(flags):
        return "avx512"
    return "avx2" if "avx2" in flags else "sse2"


# The last commit before the vector paths: its _ensemble is built beside the
# floors under another name, so that the bench compares both in one process.
BEFORE = "cb9ca4d"


def load_before(module: str = "_ensemble"):
    """`module` as of commit BEFORE, imported as <module>_before, or None without git."""
    name = f"{module}_before"
    lib = FLOOR_BUILD / f"{name}{sysconfig.get_config_var('EXT_SUFFIX')}"
    if not lib.exists():
        shown = subprocess.run(["git", "show", f"{BEFORE}:{module[1:]}/{module}.cpp"],
                               capture_output=True, text=True, cwd=HERE.parent)
        if shown.returncode != 0:
            return None
        src = FLOOR_BUILD / f"{name}.cpp"
        FLOOR_BUILD.mkdir(parents=True, exist_ok=True)
        src.write_text(shown.stdout.replace(f"PYBIND11_MODULE({module},", f"PYBIND11_MODULE({name},"))
        includes = subprocess.run([sys.executable, "-m", "pybind11", "--includes"],
                                  capture_output=True, text=True, check=True).stdout.split()
        subprocess.run(["g++", "-O3", "-ffp-contract=off", "-fno-fast-math", "-fvisibility=hidden",
                        "-shared", "-fPIC", "-std=c++17", *includes, "-o", str(lib), str(src)],
                       check=True)
    if str(FLOOR_BUILD) not in sys.path:
        sys.path.insert(0, str(FLOOR_BUILD))
    return importlib.import_module(name)


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
