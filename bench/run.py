"""Run every benchmark in one process and print one table of ratios."""

from __future__ import annotations

import importlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from common import Result  # noqa: E402


def print_table(results: list[Result]) -> None:
    head = f"{'kernel':<11}{'size':<20}{'ns/el 1T':>10}{'ns/el 2T':>10}{'2T scale':>9}  ratios"
    print(head)
    print("-" * len(head))
    for r in results:
        ratios = [f"{name}: {t / r.t1:.2f}x" for name, t in {**r.peers, **r.floors}.items()]
        print(f"{r.kernel:<11}{r.size:<20}{r.ns(r.t1):>10.2f}{r.ns(r.t2):>10.2f}"
              f"{r.scaling:>9.2f}  " + ", ".join(ratios) + "  (other/kernel, 1T)")
        for text, met in r.targets:
            print(f"{'':<11}[{'met' if met else 'MISSED'}] {text}")


def main() -> None:
    results = []
    for path in sorted(HERE.glob("bench_*.py")):
        module = importlib.import_module(path.stem)
        results.extend(module.run())
    print_table(results)


if __name__ == "__main__":
    main()
