"""Radar volumes to VAD wind profiles and storm-relative helicity.

From a radar file to a wind profile in three lines::

    volume = velmora.radar.open_volume("KLBB20160601_150025_V06")
    profile = velmora.radar.vwp(volume)
    layers = velmora.radar.helicity(profile)  # storm motion: the Bunkers right mover

`vad` fits one sweep, gate by gate: a row of the fit is one range gate, its
samples are the rays of the sweep, whatever order the sweep is stored in.
`vwp` runs every Doppler sweep of a volume through `vad` and averages the
accepted gates in height bins; `helicity`, `storm_motion` and `bulk_shear`
give the storm environment of such a profile (heights above the radar);
`vwp_series` profiles many volumes in parallel into one (time, height)
Dataset. Quality control (`QC`, `velmora.radar.qc`) is on by default in
`vad` and `vwp`; every rejected gate and bin carries its reason.

Sweeps come from xradar (a sweep Dataset or DataTree node; a volume as a
DataTree from ``xarray.open_datatree(path, engine=...)`` with the engines
``nexradlevel2``, ``odim`` or ``cfradial1``) or from a Py-ART ``Radar``.
Neither reader is imported here: the objects are recognised by their shape.

The fit assumes the radial velocity is a smooth function of azimuth: folded
(aliased) velocities make it meaningless. `dealias` unfolds them; `vwp` does
so by default wherever the Nyquist velocity is known, which `open_volume`
reads from a Level II file's own radial headers (xradar's reader drops it).
`vad`, and `vwp` on velocities fitted as given, flag gates whose samples
are inconsistent with an unaliased wind (``aliased``); a valid wind faster
than the Nyquist velocity is kept.

References
----------
Browning, K. A. and R. Wexler, 1968: The determination of kinematic
properties of a wind field using Doppler radar. J. Appl. Meteor., 7, 105-113.

Doviak, R. J. and D. S. Zrnić, 1993: Doppler Radar and Weather Observations,
2nd ed., Academic Press (Sect. 2.2: the 4/3 effective-earth-radius model).
"""

from .environment import LAYERS, SHEAR_LAYERS, bulk_shear, helicity, storm_motion
from .fit import MIN_GATES, MIN_SPREAD, vad
from .geometry import EARTH_RADIUS, EFFECTIVE_RADIUS_FACTOR, gate_height
from .level2 import open_volume
from .profile import BIN_WIDTH, TOP, vwp
from .qc import FLAGS, QC
from .series import vwp_series
from .sources import LEVEL2_RESERVED_CODES, doppler_sweeps
from .unfold import dealias

__all__ = ["open_volume", "gate_height", "vad", "dealias", "vwp", "vwp_series", "QC", "helicity",
           "storm_motion", "bulk_shear", "doppler_sweeps"]
