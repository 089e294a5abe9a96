"""velmora against MetPy on two real soundings: `thermo`, `profile` and `storm_motion`.

Run with `make validate` (installs MetPy through the `validate` extra). Prints
one Markdown table: for each sounding and quantity, the largest difference
between velmora and MetPy over the levels (thermo) or the two values
(profile). The README explains each difference.
"""

import pathlib

import metpy.calc as mpcalc
import numpy as np
from metpy.units import units

import velmora

DATA = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data"
SOUNDINGS = ["may4_sounding.txt", "20110522_OUN_12Z.txt"]
COLUMNS = ["PRES", "HGHT", "TEMP", "DWPT", "RELH", "MIXR", "DRCT", "SKNT"]


def read_sounding(path):
    """Levels with pressure, height, temperature, dew point and wind all present.

    The text tables have fixed columns of seven characters; a blank field is
    a missing value.
    """
    rows = []
    for line in path.read_text().splitlines():
        fields = [line[7 * k:7 * k + 7].strip() for k in range(len(COLUMNS))]
        try:
            values = [float(f) for f in fields]
        except ValueError:
            continue  # headers, rules and incomplete levels
        rows.append(values)
    table = np.array(rows).T
    p, z, t, td, _, _, direction, speed = table
    u, v = mpcalc.wind_components(speed * units.knot, direction * units.degree)
    return (p * units.hPa, z * units.m, t * units.degC, td * units.degC,
            u.to("m/s"), v.to("m/s"))


def thermo_rows(name, p, t, td):
    """(sounding, quantity, units, largest |velmora − MetPy|) for the four quantities."""
    r, theta, theta_v, theta_e = velmora.thermo(t, p, td)
    mp_r = mpcalc.mixing_ratio(mpcalc.saturation_vapor_pressure(td), p)
    mp_theta = mpcalc.potential_temperature(p, t)
    mp_theta_v = mpcalc.virtual_potential_temperature(p, t, mp_r)
    mp_theta_e = mpcalc.equivalent_potential_temperature(p, t, td)
    pairs = [("mixing ratio", r, mp_r, "g/kg"), ("θ", theta, mp_theta, "K"),
             ("θv", theta_v, mp_theta_v, "K"), ("θe", theta_e, mp_theta_e, "K")]
    for quantity, ours, theirs, unit in pairs:
        difference = np.abs(ours.m_as(unit) - theirs.m_as(unit))
        yield name, quantity, unit, ours.m_as(unit), difference


def layer_mean_wind(z, u, v, depth):
    """Height-weighted mean wind of the layer from the lowest level up to `depth`."""
    layer_z, layer_u, layer_v = mpcalc.get_layer_heights(z, depth, u, v, interpolate=True)
    width = (layer_z[-1] - layer_z[0]).m_as("m")
    return [np.trapezoid(a.m_as("m/s"), layer_z.m_as("m")) / width for a in (layer_u, layer_v)]


def profile_rows(name, p, z, u, v):
    """Helicity and mean wind over 0–1 km and 0–3 km above the lowest level.

    The storm motion is MetPy's Bunkers right mover, handed to both.
    """
    storm, _, _ = mpcalc.bunkers_storm_motion(p, u, v, z)
    for depth in (1000, 3000):
        ds = velmora.profile(z.m_as("m")[None], u.m_as("m/s")[None], v.m_as("m/s")[None],
                             [np.nan], 0.0, float(depth), [storm[0].m_as("m/s")],
                             [storm[1].m_as("m/s")])
        *_, total = mpcalc.storm_relative_helicity(z, u, v, depth * units.m,
                                                   storm_u=storm[0], storm_v=storm[1])
        ours, theirs = ds[4, 0], total.m_as("m^2/s^2")
        yield name, f"helicity 0–{depth // 1000} km", "m2 s-2", ours, abs(ours - theirs)
        mean_u, mean_v = layer_mean_wind(z, u, v, depth * units.m)
        yield (name, f"mean wind 0–{depth // 1000} km", "m s-1", np.hypot(ds[5, 0], ds[6, 0]),
               max(abs(ds[5, 0] - mean_u), abs(ds[6, 0] - mean_v)))


def storm_motion_rows(name, p, z, u, v):
    """The Bunkers right mover: velmora's height-weighted means against MetPy's pressure-weighted.

    The two are the same construction over different weights, so they differ
    by what the weighting does on this sounding, not by rounding.
    """
    ours = velmora.storm_motion(z.m_as("m"), u.m_as("m/s")[None], v.m_as("m/s"), [np.nan])[:, 0]
    right, left, mean = mpcalc.bunkers_storm_motion(p, u, v, z)
    for label, k, theirs in (("right mover", 0, right), ("0–6 km mean wind", 4, mean)):
        difference = np.hypot(ours[k] - theirs[0].m_as("m/s"), ours[k + 1] - theirs[1].m_as("m/s"))
        yield (name, f"Bunkers {label} (height- vs pressure-weighted)", "m s-1",
               np.hypot(ours[k], ours[k + 1]), difference)


def main():
    print("| sounding | quantity | units | velmora (range) | largest difference to MetPy |")
    print("|---|---|---|---|---|")
    for file in SOUNDINGS:
        p, z, t, td, u, v = read_sounding(DATA / file)
        name = file.removesuffix(".txt")
        for row in [*thermo_rows(name, p, t, td), *profile_rows(name, p, z, u, v),
                    *storm_motion_rows(name, p, z, u, v)]:
            sounding, quantity, unit, ours, difference = row
            ours = np.atleast_1d(ours)
            shown = (f"{ours.min():.4g} … {ours.max():.4g}" if ours.size > 1
                     else f"{ours[0]:.4g}")
            print(f"| {sounding} | {quantity} | {unit} | {shown} | "
                  f"{np.max(difference):.3g} |")


if __name__ == "__main__":
    main()
