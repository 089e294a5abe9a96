"""A synthetic thunderstorm case that runs every kernel once.

A sounding goes through `thermo`; a cold pool under the storm through
`cold_pool` (both modes) and `gradient`; a radar volume scan of a veering wind
through `vad` and then `profile` for helicity; polarimetric fields through
`perturb` into an ensemble, summarised by `statistics` and `mode`.

    python examples/storm.py [--seed N] [--members M] [--out storm.png]

Everything is built in memory from the seed; no file or network is needed.
"""

from __future__ import annotations

import argparse
import time
from dataclasses import dataclass, field

import numpy as np

import _ensemble
import _velmora

GRAVITY = 9.80665
EARTH_RADIUS_43 = 4.0 / 3.0 * 6_371_000.0  # effective radius for beam heights
STORM_MOTION = (8.0, 4.0)  # m/s, the storm-relative frame for helicity
NO_ECHO, RAIN, HAIL = 0, 1, 2


# ---------------------------------------------------------------------------
# The synthetic atmosphere


def true_wind(h):
    """A veering low-level jet: southerly at the ground, westerly aloft (m/s)."""
    h = np.asarray(h, dtype=float) / 1000.0
    speed = 8.0 + 6.0 * np.tanh(h / 1.5) + 1.5 * h
    direction = np.deg2rad(180.0 + 90.0 * np.tanh(h / 2.0))  # from which the wind blows
    return -speed * np.sin(direction), -speed * np.cos(direction)


def sounding(levels: int):
    """Temperature (K), pressure (Pa) and dew point (K) over height (m)."""
    z = np.linspace(0.0, 12_000.0, levels)
    t = np.where(z < 11_000.0, 303.0 - 0.0068 * z, 303.0 - 0.0068 * 11_000.0)
    p = 100_000.0 * np.exp(-GRAVITY * z / (287.0 * 0.5 * (t + 303.0)))
    td = t - (2.0 + 0.0025 * z)
    return z, t, p, td


# ---------------------------------------------------------------------------
# Pipeline stages: each returns its results and records the kernel's time


@dataclass
class Timer:
    times: dict[str, float] = field(default_factory=dict)

    def run(self, name, fn, *args, **kwargs):
        start = time.perf_counter()
        result = fn(*args, **kwargs)
        self.times[name] = self.times.get(name, 0.0) + time.perf_counter() - start
        return result


def thermodynamics(timer, levels):
    z, t, p, td = sounding(levels)
    r, theta, theta_v, theta_e = timer.run("thermo", _velmora.thermo, t, p, td)
    return {"z": z, "r": r, "theta": theta, "theta_v": theta_v, "theta_e": theta_e}


def cold_pool_case(timer, rng, nx, levels, env_theta_v):
    """A θv deficit under the storm, spreading as a gust front, on a stretched grid."""
    x = np.sinh(np.linspace(-2.0, 2.0, nx)) * 12_000.0  # finer spacing near the storm
    y = x.copy()
    z = np.linspace(10.0, 4000.0, levels)
    X, Y = np.meshgrid(x, y)
    radius = np.hypot(X - 3000.0, Y + 2000.0)
    front = 0.5 * (1.0 - np.tanh((radius - 15_000.0) / 2000.0))
    depth = 1500.0 * front + 1.0
    deficit = -6.0 * front[..., None] * np.exp(-z / depth[..., None])
    deficit += rng.normal(0.0, 0.05, deficit.shape)
    theta_v = env_theta_v + deficit
    buoyancy = GRAVITY * deficit / env_theta_v
    heights = np.broadcast_to(z, buoyancy.shape).reshape(-1, levels).copy()
    heights[rng.random(heights.shape) < 0.01] = np.nan  # a few missing levels
    columns = buoyancy.reshape(-1, levels)
    no_bottom = np.full(len(columns), np.nan)

    fixed = timer.run("cold_pool", _velmora.cold_pool, heights, columns, no_bottom, 0.0,
                      np.full(len(columns), 1000.0))
    thresh = timer.run("cold_pool", _velmora.cold_pool, heights, columns, no_bottom, -0.005,
                       np.full(len(columns), np.nan))
    ddx, ddy = timer.run("gradient", _velmora.gradient, theta_v[None, :, :, 0], x, y)
    return {
        "x": x, "y": y,
        "intensity_1km": fixed[0].reshape(nx, nx),
        "intensity": thresh[0].reshape(nx, nx),
        "depth": thresh[1].reshape(nx, nx),
        "top_not_found": thresh[2].reshape(nx, nx),
        "baroclinity": np.hypot(ddx[0], ddy[0]) * 1000.0,  # K per km
    }


def volume_scan(rng, ranges, noise, missing):
    """Radial velocities of the true wind on rings of constant range and elevation."""
    elevations = np.deg2rad([0.5, 1.5, 2.5, 4.0, 6.0, 9.0, 14.0])
    rng_m = np.linspace(5_000.0, 40_000.0, ranges)
    el, rr = (a.ravel() for a in np.meshgrid(elevations, rng_m, indexing="ij"))
    height = rr * np.sin(el) + rr**2 / (2.0 * EARTH_RADIUS_43)
    az = np.deg2rad(np.arange(360.0))[None, :] + rng.normal(0.0, 0.002, (len(el), 360))
    u, v = true_wind(height)
    vr = (u[:, None] * np.sin(az) + v[:, None] * np.cos(az)) * np.cos(el)[:, None]
    vr += rng.normal(0.0, noise, vr.shape)
    vr[rng.random(vr.shape) < missing] = np.nan
    return height, vr, az, np.cos(el)


def winds(timer, rng, ranges, noise=1.0, missing=0.1):
    height, vr, az, cos_el = volume_scan(rng, ranges, noise, missing)
    out = timer.run("vad", _velmora.vad, vr, az, cos_el, 60, 0.2)
    order = np.argsort(height)
    z, u, v = height[order], out[0, order], out[1, order]
    n_valid = out[4, order]
    u_true, v_true = true_wind(z)
    # Expected error of one retrieved component: noise / sqrt(N / 2) / cos(el).
    sigma = noise / np.sqrt(n_valid / 2.0) / cos_el[order]

    def layer(uu, vv, top):
        # Heights above the lowest retrieved level (ground NaN).
        col = timer.run("profile", _velmora.profile, z, uu[None], vv, [np.nan], 0.0, top,
                        [STORM_MOTION[0]], [STORM_MOTION[1]])
        return {"srh": col[4, 0], "mean_u": col[5, 0], "mean_v": col[6, 0]}

    return {
        "z": z, "u": u, "v": v, "u_true": u_true, "v_true": v_true, "sigma": sigma,
        "layers": {top: (layer(u, v, top), layer(u_true, v_true, top))
                   for top in (1000.0, 3000.0)},
    }


def polarimetric_fields(rng, gates):
    """A storm on one sweep: reflectivity core with a hail shaft, and its companions."""
    az = np.deg2rad(np.arange(360.0))[:, None]
    rr = np.linspace(1.0, 100.0, gates)[None, :]  # km
    xs, ys = rr * np.sin(az), rr * np.cos(az)
    core = np.hypot(xs - 30.0, ys - 40.0)
    dbz = 62.0 * np.exp(-(core / 18.0) ** 2) + rng.normal(0.0, 1.0, core.shape) - 5.0
    hail = np.exp(-(core / 6.0) ** 2)
    zdr = 2.5 * (1.0 - hail) * (dbz > 20) - 0.5 * hail + rng.normal(0.0, 0.2, core.shape)
    phidp = np.cumsum(np.clip(dbz - 30.0, 0.0, None) * 0.02, axis=1)
    rhohv = np.clip(0.99 - 0.08 * hail + rng.normal(0.0, 0.005, core.shape), 0.0, 1.0)
    vel = 12.0 * np.sin(az - 0.3) * np.ones_like(rr)
    return {"dbz": dbz, "zdr": zdr, "phidp": phidp, "rhohv": rhohv, "vel": vel}


def category(dbz, zdr):
    """No echo, rain or hail per member, from reflectivity and ZDR thresholds."""
    cat = np.where(dbz < 15.0, NO_ECHO, RAIN)
    return np.where((dbz >= 50.0) & (zdr < 1.0), HAIL, cat).astype(np.float32)


def ensemble(timer, rng, gates, members, seed):
    fields = polarimetric_fields(rng, gates)
    shape = fields["dbz"].shape
    flat = {k: v.ravel() for k, v in fields.items()}
    n = flat["dbz"].size
    fac = np.empty((6, n))
    # Relative errors grow as the echo weakens (lower signal-to-noise ratio).
    weakness = np.exp(-np.clip(flat["dbz"], -10.0, None) / 15.0)
    fac[0] = 0.05 + 0.3 * weakness  # horizontal channel, natural-log units
    fac[1] = 0.8 * fac[0]  # the part of the vertical channel shared with it
    fac[2] = 0.05 + 0.1 * weakness
    fac[3], fac[4], fac[5] = 2.0, 0.01, 0.5
    bias_dbz = rng.normal(0.0, 0.5, members)
    bias_zdr = rng.normal(0.0, 0.2, members)
    ens = timer.run("perturb", _ensemble.perturb, flat["dbz"], flat["zdr"], flat["phidp"],
                    flat["rhohv"], flat["vel"], 31, fac, bias_dbz, bias_zdr, seed, 2026, 0)
    dbz_members, zdr_members = ens[:, 0], ens[:, 1]
    mean, std, pct = timer.run("statistics", _ensemble.statistics, dbz_members,
                               [10.0, 50.0, 90.0], max(2, members // 2))
    code, share = timer.run("mode", _ensemble.mode, category(dbz_members, zdr_members), 3, 1)
    return {
        "shape": shape, "members": members, "mean": mean.reshape(shape),
        "std": std.reshape(shape), "p10": pct[0].reshape(shape), "p50": pct[1].reshape(shape),
        "p90": pct[2].reshape(shape), "mode": code.reshape(shape),
        "agreement": share.reshape(shape),
        "truth_category": category(fields["dbz"], fields["zdr"]).reshape(shape),
    }


@dataclass
class Sizes:
    sounding_levels: int = 200
    grid: int = 160
    cold_pool_levels: int = 60
    ranges: int = 40
    gates: int = 400


SMALL = Sizes(sounding_levels=30, grid=24, cold_pool_levels=20, ranges=8, gates=40)


def run_case(seed=1, members=20, sizes=Sizes()):
    """Runs the whole case; returns the results of every stage and the timings."""
    rng = np.random.default_rng(seed)
    timer = Timer()
    thermo = thermodynamics(timer, sizes.sounding_levels)
    env_theta_v = float(thermo["theta_v"][0])
    pool = cold_pool_case(timer, rng, sizes.grid, sizes.cold_pool_levels, env_theta_v)
    wind = winds(timer, rng, sizes.ranges)
    ens = ensemble(timer, rng, sizes.gates, members, seed)
    return {"thermo": thermo, "pool": pool, "wind": wind, "ensemble": ens, "times": timer.times}


# ---------------------------------------------------------------------------
# Report and figure


def finite_max(x):
    x = x[np.isfinite(x)]
    return x.max() if x.size else np.nan


def report(case) -> str:
    th, pool, wind, ens = case["thermo"], case["pool"], case["wind"], case["ensemble"]
    lines = ["Sounding (surface): r = %.2f g/kg, θ = %.1f K, θv = %.1f K, θe = %.1f K"
             % (1000 * th["r"][0], th["theta"][0], th["theta_v"][0], th["theta_e"][0])]
    lines.append("")
    lines.append("VAD winds: height  u_vad  u_true   v_vad  v_true  (m, m/s)")
    for k in np.linspace(0, len(wind["z"]) - 1, 8).astype(int):
        lines.append("        %8.0f %6.2f %7.2f %7.2f %7.2f" % (
            wind["z"][k], wind["u"][k], wind["u_true"][k], wind["v"][k], wind["v_true"][k]))
    err = np.hypot(wind["u"] - wind["u_true"], wind["v"] - wind["v_true"])
    lines.append("  vector error: median %.3f m/s, max %.3f m/s (noise 1 m/s per gate)"
                 % (np.nanmedian(err), np.nanmax(err)))
    for top, (ret, tru) in wind["layers"].items():
        lines.append("  0-%d km: SRH %.1f m²/s² (truth %.1f), mean wind (%.2f, %.2f) (truth %.2f, %.2f)"
                     % (top / 1000, ret["srh"], tru["srh"], ret["mean_u"], ret["mean_v"],
                        tru["mean_u"], tru["mean_v"]))
    lines.append("")
    topped = pool["top_not_found"] == 0  # elsewhere the integral stops at the data top
    lines.append("Cold pool: max intensity %.1f m/s (threshold mode, %d columns without a top "
                 "left out), %.1f m/s (lowest 1 km); max depth %.0f m; max baroclinity %.2f K/km"
                 % (finite_max(pool["intensity"][topped]), np.count_nonzero(~topped),
                    np.nanmax(pool["intensity_1km"]), finite_max(pool["depth"][topped]),
                    np.nanmax(pool["baroclinity"])))
    lines.append("Ensemble of %d: dbz spread median %.2f dB, max %.2f dB; mode agrees with the "
                 "unperturbed category at %.1f%% of gates"
                 % (ens["members"], np.nanmedian(ens["std"]), np.nanmax(ens["std"]),
                    100 * np.mean(ens["mode"] == ens["truth_category"])))
    lines.append("")
    lines.append("Kernel times: " + ", ".join(f"{k} {1000 * t:.1f} ms"
                                              for k, t in case["times"].items()))
    return "\n".join(lines)


def figure(case, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.colors
    import matplotlib.pyplot as plt

    pool, wind, ens = case["pool"], case["wind"], case["ensemble"]
    fig, axes = plt.subplots(2, 3, figsize=(15, 9.5))
    ax = axes[0, 0]
    # Retrievals first and light, the truth over them, so that both show.
    ax.plot(wind["u"], wind["v"], "o", ms=4, mfc="none", mec="tab:red", mew=0.7, label="VAD",
            zorder=2)
    ax.plot(wind["u_true"], wind["v_true"], "-", color="k", lw=2.0, label="truth", zorder=3)
    ax.plot(*STORM_MOTION, "b*", ms=12, label="storm motion", zorder=4)
    ax.set(xlabel="u (m/s)", ylabel="v (m/s)", title="Hodograph")
    ax.set_aspect("equal", adjustable="datalim")
    ax.grid(True)
    ax.legend()

    ax = axes[0, 1]
    km = pool["x"] / 1000.0
    # Where the cold-pool top was not found the integral stops at the data top:
    # not an intensity, so those columns are masked and hatched instead.
    no_top = pool["top_not_found"] > 0
    intensity = np.where(no_top, np.nan, pool["intensity"])
    mesh = ax.pcolormesh(km, km, intensity, cmap="Blues", shading="auto")
    if no_top.any():
        ax.contourf(km, km, no_top.astype(float), levels=[0.5, 1.5], colors="none",
                    hatches=["xx"])
        ax.contour(km, km, no_top.astype(float), levels=[0.5], colors="tab:red", linewidths=1.0)
        ax.plot([], [], color="tab:red", label="top not found (hatched)")
        ax.legend(loc="lower left", fontsize=8)
    ax.contour(km, km, pool["baroclinity"], levels=4, colors="k", linewidths=0.7)
    fig.colorbar(mesh, ax=ax, label="m/s")
    ax.set(title="Cold-pool intensity, baroclinity contours", xlabel="x (km)", ylabel="y (km)",
           aspect="equal")

    az = np.arange(ens["shape"][0] + 1) * np.pi / 180.0
    rr = np.linspace(1.0, 100.0, ens["shape"][1] + 1)
    X, Y = rr[None, :] * np.sin(az[:, None]), rr[None, :] * np.cos(az[:, None])
    categories = matplotlib.colors.ListedColormap(["0.85", "tab:green", "tab:purple"])
    category_norm = matplotlib.colors.BoundaryNorm([-0.5, 0.5, 1.5, 2.5], categories.N)
    panels = [(axes[0, 2], ens["p50"], "turbo", None, "Ensemble median dbz", "dBZ"),
              (axes[1, 0], ens["std"], "magma", None, "Ensemble spread of dbz", "dB"),
              (axes[1, 1], ens["mode"], categories, category_norm, "Modal category", ""),
              (axes[1, 2], ens["agreement"], "cividis", None, "Agreement with the mode",
               "fraction")]
    for ax, data, cmap, norm, title, unit in panels:
        mesh = ax.pcolormesh(X, Y, data, cmap=cmap, norm=norm, shading="flat")
        bar = fig.colorbar(mesh, ax=ax, label=unit)
        if norm is category_norm:
            bar.set_ticks([NO_ECHO, RAIN, HAIL], labels=["no echo", "rain", "hail"])
        ax.set(title=title, xlabel="x (km)", ylabel="y (km)", aspect="equal")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--members", type=int, default=20)
    parser.add_argument("--out", default="storm.png", help="PNG file for the figure")
    args = parser.parse_args(argv)
    case = run_case(args.seed, args.members)
    print(report(case))
    try:
        figure(case, args.out)
    except ImportError:
        print("matplotlib is not installed: no figure written")
    else:
        print(f"Figure written to {args.out}")


if __name__ == "__main__":
    main()
