"""Where a gate is: its height above the radar under standard refraction."""

import numpy as np
from numpy.typing import ArrayLike, NDArray

EARTH_RADIUS = 6_371_000.0  # m, mean radius
EFFECTIVE_RADIUS_FACTOR = 4.0 / 3.0  # standard refraction


def gate_height(range_m: ArrayLike, elevation_deg: ArrayLike, radius: float = EARTH_RADIUS,
                factor: float = EFFECTIVE_RADIUS_FACTOR) -> NDArray[np.float64]:
    """Height of a gate above the radar, in m.

    h = sqrt(r² + (k a)² + 2 r k a sin θ) − k a, the beam path bent by
    standard refraction (effective earth radius k a, k = 4/3).

    Parameters
    ----------
    range_m : array_like
        Range to the gate, m.
    elevation_deg : array_like
        Elevation of the beam, degrees.
    """
    r = np.asarray(range_m, dtype=np.float64)
    ka = factor * radius
    sin_el = np.sin(np.deg2rad(np.asarray(elevation_deg, dtype=np.float64)))
    height: NDArray[np.float64] = np.sqrt(r * r + ka * ka + 2.0 * r * ka * sin_el) - ka
    return height
