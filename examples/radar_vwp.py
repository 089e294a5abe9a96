"""A real radar volume to a VAD wind profile, its helicity and a hodograph.

Reads a NEXRAD Level II volume with xradar (by default the one shipped in
tests/data: Lubbock, Texas, 1 June 2016, 15:00 UTC) through
velmora.radar.open_volume, which adds each sweep's Nyquist velocity from the
file's own radial headers, unfolds every Doppler sweep (velmora.radar.dealias),
fits it gate by gate, bins the winds every 100 m, prints the profile and the
0-1 km and 0-3 km storm-relative helicity for the Bunkers right mover (or the
storm motion given), and draws a hodograph coloured by height beside the
profile as wind barbs, and a time-height panel of barbs from `vwp_series`
over copies of the volume shifted in time (one volume is all that ships; the
panel says so).

    python examples/radar_vwp.py [VOLUME] [--storm-motion U V] [--nyquist V | N=V,...]
                                 [--series N] [--out radar_vwp.png]

The velocities must be unfolded for the fit to mean anything: the unfolding
runs first, and the gates it cannot resolve stay out of the fit. --nyquist
overrides the file's Nyquist velocity.
"""

from __future__ import annotations

import argparse
import pathlib
import time

import numpy as np

from velmora import radar

SHIPPED = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data" / "KLBB20160601_150025_V06"
STORM_MOTION = (7.0, 4.0)  # m/s: from 240 degrees at 8 m/s, for --storm-motion
SERIES_STEP = 5  # minutes between the copies of the time-height panel


def parse_nyquist(text):
    """'22.5' for every sweep, or '1=22.56,3=22.56' per sweep number."""
    if "=" not in text:
        return float(text)
    pairs = (item.split("=") for item in text.split(","))
    return {int(n): float(v) for n, v in pairs}


def report(profile, layers, storm_motion, seconds) -> str:
    filled = profile.where(np.isfinite(profile["eastward_wind"]), drop=True)
    lines = [f"VAD wind profile: {filled.sizes['height']} bins of 100 m with winds, "
             f"{int(profile['gate_count'].sum())} gates, computed in {1000 * seconds:.0f} ms",
             "  height   speed  from   u      v      spread  gates",
             "   (m)    (m/s)  (deg) (m/s)  (m/s)   (m/s)"]
    for k in range(0, filled.sizes["height"], max(1, filled.sizes["height"] // 12)):
        b = filled.isel(height=k)
        lines.append(f"  {float(b['height']):6.0f}  {float(b['wind_speed']):5.1f}  "
                     f"{float(b['wind_direction']):4.0f}  {float(b['eastward_wind']):5.1f}  "
                     f"{float(b['northward_wind']):5.1f}   {float(np.hypot(b['u_spread'], b['v_spread'])):5.2f}"
                     f"  {int(b['gate_count']):5d}")
    cu, cv = storm_motion
    lines.append(f"Storm motion ({cu:.1f}, {cv:.1f}) m/s ({layers.attrs['storm_motion']}); "
                 f"heights above the {layers.attrs['ground']}:")
    for k in range(layers.sizes["layer"]):
        lay = layers.isel(layer=k)
        lines.append(f"  {float(lay['layer_bottom']) / 1000:.0f}-{float(lay['layer_top']) / 1000:.0f}"
                     f" km: storm-relative helicity {float(lay['storm_relative_helicity']):6.1f}"
                     f" m²/s², mean wind ({float(lay['u_mean']):.1f}, {float(lay['v_mean']):.1f}) m/s"
                     + (f" ({lay['reason'].item()})" if lay["reason"].item() else ""))
    return "\n".join(lines)


def unfolding_report(unfolded) -> str:
    lines = ["Unfolding (Nyquist velocity from the file's radial headers):"]
    for n in radar.doppler_sweeps(unfolded):
        ds = unfolded[f"sweep_{n}"]
        valid = int(np.isfinite(ds["VRADH"]).sum())
        folded = int((ds["fold_count"] != 0).sum())
        left = int(ds["unresolved"].sum())
        lines.append(f"  sweep {n:2d} ({float(ds['elevation'].median()):4.1f} deg, Nyquist "
                     f"{float(ds['nyquist_velocity']):5.2f} m/s): {valid:7d} gates, {folded:5d} "
                     f"unfolded, {left:5d} unresolved")
    return "\n".join(lines)


def shifted_copies(volume, count, minutes=SERIES_STEP):
    """The volume `count` times, each copy's start time `minutes` after the last.

    Only the start time changes: a stand-in for a day of volumes, to show
    the series machinery and the panel, not the evolution of the wind.
    """
    start = np.datetime64(str(volume.root.ds["time_coverage_start"].values).removesuffix("Z"))
    copies = []
    for k in range(count):
        copy = volume.copy()
        when = start + np.timedelta64(k * minutes, "m")
        copy.dataset = copy.root.to_dataset().assign(time_coverage_start=f"{when}Z")
        copies.append(copy)
    return copies


def time_height(ax, series, knots):
    """Barbs of the series against time and height, every third bin."""
    import matplotlib.dates as mdates

    times = series["time"].values
    every = slice(None, None, 3)
    z = series["height"].values[every] / 1000.0
    t, zz = np.meshgrid(times, z, indexing="ij")
    u = series["eastward_wind"].values[:, every] * knots
    v = series["northward_wind"].values[:, every] * knots
    ax.barbs(mdates.date2num(t), zz, u, v, length=5.5, lw=0.7)
    ax.xaxis.set_major_formatter(mdates.DateFormatter("%H:%M"))
    pad = np.timedelta64(SERIES_STEP, "m")
    ax.set(xlim=(mdates.date2num(times[0] - pad), mdates.date2num(times[-1] + pad)),
           ylim=(0, float(series["height_bounds"][-1, 1]) / 1000.0), xlabel="time (UTC)",
           ylabel="height above the radar (km)",
           title=f"Time-height (knots): the one volume {series.sizes['time']} times,\n"
                 f"shifted by {SERIES_STEP} min each: not a real evolution")


def figure(profile, storm_motion, title, path, series=None):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    filled = profile.where(np.isfinite(profile["eastward_wind"]), drop=True)
    z = filled["height"].values / 1000.0
    u, v = filled["eastward_wind"].values, filled["northward_wind"].values
    panels = 3 if series is None else 4
    fig, axes = plt.subplots(1, panels, figsize=(5 * panels, 5.5),
                             width_ratios=[1.4, 0.5, 1, 1.3][:panels])
    hodo, barbs, speed = axes[:3]

    points = hodo.scatter(u, v, c=z, cmap="viridis", s=18, zorder=3)
    hodo.plot(u, v, color="0.6", lw=0.8, zorder=2)
    hodo.plot(*storm_motion, "r*", ms=13, label="storm motion", zorder=4)
    lim = 1.2 * max(np.max(np.abs(np.r_[u, v, storm_motion])), 5.0)
    for ring in range(5, int(lim) + 1, 5):
        hodo.add_patch(plt.Circle((0, 0), ring, fill=False, color="0.85", lw=0.7))
    hodo.axhline(0, color="0.7", lw=0.7)
    hodo.axvline(0, color="0.7", lw=0.7)
    hodo.set(xlim=(-lim, lim), ylim=(-lim, lim), aspect="equal", xlabel="u (m/s)",
             ylabel="v (m/s)", title="Hodograph (rings every 5 m/s)")
    fig.colorbar(points, ax=hodo, label="height above the radar (km)")
    hodo.legend(loc="upper left")

    top = float(profile["height_bounds"][-1, 1]) / 1000.0
    every = slice(None, None, 3)  # a barb every 300 m stays readable
    knots = 1.0 / 0.514444
    barbs.barbs(np.zeros_like(z[every]), z[every], u[every] * knots, v[every] * knots,
                length=6.5, lw=0.8)
    barbs.set(xlim=(-1, 1), xticks=[], ylim=(0, top), ylabel="height above the radar (km)",
              title="Wind barbs (knots)")

    spread = np.hypot(filled["u_spread"], filled["v_spread"]).values
    ws = filled["wind_speed"].values
    speed.fill_betweenx(z, ws - spread, ws + spread, color="tab:blue", alpha=0.2,
                        label="± spread of the gates")
    speed.plot(ws, z, color="tab:blue", lw=1.4, label="speed")
    direction = speed.twiny()
    direction.plot(filled["wind_direction"].values, z, ".", color="tab:orange", ms=4)
    direction.set(xlim=(0, 360), xticks=range(0, 361, 90))
    direction.set_xlabel("direction the wind blows from (deg, dots)", color="tab:orange")
    speed.set(xlim=(0, None), ylim=(0, top), xlabel="wind speed (m/s)",
              ylabel="height above the radar (km)")
    speed.legend(loc="lower right")
    if series is not None:
        time_height(axes[3], series, knots)
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("volume", nargs="?", type=pathlib.Path, default=SHIPPED)
    parser.add_argument("--storm-motion", nargs=2, type=float, default=None, metavar=("U", "V"),
                        help="m/s (default: the Bunkers right mover of the profile)")
    parser.add_argument("--nyquist", type=parse_nyquist, default=None,
                        help="m/s, for every sweep or as N=V,... (default: the file's)")
    parser.add_argument("--out", default="radar_vwp.png", help="PNG file for the figure")
    parser.add_argument("--series", type=int, default=8, metavar="N",
                        help="copies of the volume, shifted in time, for the time-height panel "
                             "(0: no panel)")
    args = parser.parse_args(argv)
    volume = radar.open_volume(args.volume).load()
    start = time.perf_counter()
    unfolded = radar.dealias(volume, nyquist=args.nyquist)
    profile = radar.vwp(volume, nyquist=args.nyquist)  # unfolds the same way before the fit
    layers = radar.helicity(profile, args.storm_motion)
    seconds = time.perf_counter() - start
    if np.isnan(layers.attrs["storm_motion_u"]):
        # The QC'd profile may end below 6 km: no Bunkers motion, said why.
        print(f"No Bunkers storm motion ({layers['reason'].values[0]}); using {STORM_MOTION} m/s")
        layers = radar.helicity(profile, STORM_MOTION)
    storm_motion = (layers.attrs["storm_motion_u"], layers.attrs["storm_motion_v"])
    print(unfolding_report(unfolded))
    print(report(profile, layers, storm_motion, seconds))
    series = None
    if args.series > 0:
        start = time.perf_counter()
        series = radar.vwp_series(shifted_copies(volume, args.series), nyquist=args.nyquist)
        print(f"Time-height series of {args.series} copies of the volume (shifted by "
              f"{SERIES_STEP} min each) in {time.perf_counter() - start:.2f} s")
    site = volume.attrs.get("instrument_name", args.volume.name)
    try:
        figure(profile, storm_motion, f"{site} {args.volume.name}", args.out, series)
    except ImportError:
        print("matplotlib is not installed: no figure written")
    else:
        print(f"Figure written to {args.out}")


if __name__ == "__main__":
    main()
