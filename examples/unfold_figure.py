"""The README's unfolding figure: a sweep of the shipped volume folded at a
low Nyquist velocity, as measured, unfolded, and the gates left unresolved.

    python examples/unfold_figure.py [--nyquist 8] [--sweep 1] [--out docs/unfolding.png]
"""

from __future__ import annotations

import argparse
import pathlib

import numpy as np

from velmora import radar

SHIPPED = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data" / "KLBB20160601_150025_V06"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nyquist", type=float, default=8.0, help="m/s")
    parser.add_argument("--sweep", type=int, default=1)
    parser.add_argument("--range-km", type=float, default=120.0)
    parser.add_argument("--out", default="docs/unfolding.png")
    args = parser.parse_args(argv)

    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    volume = radar.open_volume(SHIPPED)
    ds = volume[f"sweep_{args.sweep}"].to_dataset().load()
    truth = ds["VRADH"]
    ny = args.nyquist
    ds["VRADH"] = truth - 2 * ny * np.floor(truth / (2 * ny) + 0.5)
    ds["nyquist_velocity"] = ((), ny)
    out = radar.dealias(ds)

    az = np.deg2rad(ds["azimuth"].values)[:, None]
    rng = ds["range"].values[None, :] / 1000.0
    x, y = rng * np.sin(az), rng * np.cos(az)
    recovered = np.abs(out["unfolded_velocity"] - truth) < 1e-6
    share = float(recovered.sum() / np.isfinite(truth).sum())
    fig, axes = plt.subplots(1, 3, figsize=(15, 5), sharex=True, sharey=True)
    panels = [(ds["VRADH"], f"as measured, folded at ±{ny:g} m/s", "RdBu_r", (-ny, ny)),
              (out["unfolded_velocity"], f"unfolded ({100 * share:.1f} % of gates as truth)",
               "RdBu_r", (-25, 25)),
              (out["unresolved"].where(np.isfinite(truth)), "unresolved (left missing)",
               "Greys", (0, 1))]
    for ax, (field, title, cmap, (lo, hi)) in zip(axes, panels):
        mesh = ax.pcolormesh(x, y, field.values, cmap=cmap, vmin=lo, vmax=hi, shading="auto")
        ax.set(title=title, aspect="equal", xlim=(-args.range_km, args.range_km),
               ylim=(-args.range_km, args.range_km), xlabel="east (km)")
        fig.colorbar(mesh, ax=ax, shrink=0.8, label="m/s" if cmap != "Greys" else "")
    axes[0].set_ylabel("north (km)")
    fig.suptitle(f"KLBB 1 June 2016 15:00 UTC, {float(ds['elevation'].median()):.1f}° sweep")
    fig.tight_layout()
    pathlib.Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(args.out, dpi=70)
    print(f"{args.out}: {100 * share:.2f} % of valid gates recovered")


if __name__ == "__main__":
    main()
