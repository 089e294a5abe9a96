"""Run every benchmark in one process and report them in one table.

    python bench/run.py [--only NAME ...] [--json bench/results.json] [--png bench/ratios.png]

Every figure in the table is measured in this run: the kernel with 1 and 2
threads, its NumPy peers and its cost floors side by side, so that the
ratios hold even on a noisy machine where absolute times do not.
"""

from __future__ import annotations

import argparse
import importlib
import json
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from common import Result  # noqa: E402


def ratios(r: Result) -> tuple[dict[str, float], dict[str, float]]:
    """Speed-ups over each peer and cost relative to each floor, with 1 thread."""
    return ({name: t / r.t1 for name, t in r.peers.items()},
            {name: r.t1 / t for name, t in r.floors.items()})


def print_table(results: list[Result]) -> None:
    head = (f"{'kernel':<11}{'size':<34}{'ns/el 1T':>9}{'ns/el 2T':>9}{'2T/1T':>7}"
            f"{'x NumPy':>9}{'x floor':>9}  targets")
    print(head)
    print("-" * len(head))
    for r in results:
        speedups, costs = ratios(r)
        peer = f"{next(iter(speedups.values())):.2f}" if speedups else "-"
        floor = f"{next(iter(costs.values())):.2f}" if costs else "-"
        met = sum(ok for _, ok in r.targets)
        print(f"{r.kernel:<11}{r.size[:33]:<34}{r.ns(r.t1):>9.2f}{r.ns(r.t2):>9.2f}"
              f"{r.scaling:>7.2f}{peer:>9}{floor:>9}  {met}/{len(r.targets)} met")
    print()
    print("x NumPy: peer time / kernel time (higher is better); x floor: kernel time / floor "
          "time (1.0 is the floor); both with 1 thread.")
    for r in results:
        speedups, costs = ratios(r)
        detail = [f"{v:.2f}x faster than {k}" if v >= 1 else f"{1 / v:.2f}x slower than {k}"
                  for k, v in speedups.items()]
        detail += [f"{v:.2f}x the floor ({k})" for k, v in costs.items()]
        print(f"\n{r.kernel} ({r.size}): " + "; ".join(detail))
        for text, ok in r.targets:
            print(f"  [{'met' if ok else 'MISSED'}] {text}")


def write_json(results: list[Result], path: pathlib.Path) -> None:
    rows = []
    for r in results:
        speedups, costs = ratios(r)
        rows.append({"kernel": r.kernel, "size": r.size, "elements": r.elements,
                     "ns_per_element_1t": r.ns(r.t1), "ns_per_element_2t": r.ns(r.t2),
                     "scaling_2t": r.scaling, "speedup_over_peer": speedups,
                     "cost_over_floor": costs,
                     "peers_ns_per_element": {k: r.ns(t) for k, t in r.peers.items()},
                     "floors_ns_per_element": {k: r.ns(t) for k, t in r.floors.items()},
                     "targets": [{"target": t, "met": bool(ok)} for t, ok in r.targets]})
    path.write_text(json.dumps(rows, indent=2) + "\n")


def write_chart(results: list[Result], path: pathlib.Path) -> None:
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no chart written")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    # Higher-is-better and lower-is-better ratios on separate axes, one
    # horizontal bar group per kernel so that long labels never overlap.
    labels = [f"{r.kernel}: {r.size[:44]}" for r in results]
    panels = [
        ("higher is better", "log", {
            "speed-up over first peer": [next(iter(ratios(r)[0].values()), float("nan"))
                                         for r in results],
            "2-thread scaling": [r.scaling for r in results]}),
        ("lower is better (1.0 = floor)", "linear", {
            "cost over floor": [min(ratios(r)[1].values(), default=float("nan"))
                                for r in results]}),
    ]
    fig, axes = plt.subplots(1, 2, figsize=(13, 0.45 * len(results) + 1.8), sharey=True)
    for ax, (title, scale, series) in zip(axes, panels):
        height = 0.8 / len(series)
        for k, (name, values) in enumerate(series.items()):
            ax.barh([i + k * height for i in range(len(results))], values, height, label=name)
        ax.axvline(1.0, color="k", lw=0.8)
        ax.set_xscale(scale)
        ax.set_xlabel(f"ratio ({scale} scale)")
        ax.set_title(title)
        ax.legend(fontsize=8, loc="lower right")
    axes[0].set_yticks([i + 0.2 for i in range(len(results))], labels, fontsize=8)
    axes[0].invert_yaxis()
    fig.suptitle("Kernels against their first peers, across threads, and against their cost floors")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", nargs="*", help="benchmark modules to run (velmora, ensemble, dask)")
    parser.add_argument("--json", type=pathlib.Path, default=HERE / "results.json")
    parser.add_argument("--png", type=pathlib.Path, default=HERE / "ratios.png")
    args = parser.parse_args()
    results = []
    for path in sorted(HERE.glob("bench_*.py")):
        if args.only and path.stem.removeprefix("bench_") not in args.only:
            continue
        print(f"running {path.stem} ...", flush=True)
        results.extend(importlib.import_module(path.stem).run())
    print()
    print_table(results)
    write_json(results, args.json)
    write_chart(results, args.png)
    print(f"\nFigures written to {args.json} and {args.png}")


if __name__ == "__main__":
    main()
