"""The CF metadata of every output variable of velmora.radar, and the names they replaced.

Variables are named as `velmora.vad` and `velmora.profile` name them (CF
standard names where one exists); no variable is named after a Dataset
method, which attribute access would hide.
"""

import warnings

import xarray as xr

_ATTRS = {
    "eastward_wind": dict(units="m s-1", standard_name="eastward_wind", long_name="eastward wind"),
    "northward_wind": dict(units="m s-1", standard_name="northward_wind",
                           long_name="northward wind"),
    "wind_speed": dict(units="m s-1", standard_name="wind_speed", long_name="wind speed"),
    "wind_direction": dict(units="degree", standard_name="wind_from_direction",
                           long_name="direction the wind blows from, clockwise from north"),
    "offset": dict(units="m s-1", long_name="offset a0 of the first-harmonic fit"),
    "rms_residual": dict(units="m s-1",
                         long_name="root-mean-square residual of the first-harmonic fit"),
    "n_valid": dict(units="1", long_name="number of valid rays in the fit"),
    "offset_2": dict(units="m s-1", long_name="offset c0 of the two-harmonic fit"),
    "sin_2az": dict(units="m s-1",
                    long_name="coefficient c2 of sin(2 azimuth) in the two-harmonic fit"),
    "cos_2az": dict(units="m s-1",
                    long_name="coefficient d2 of cos(2 azimuth) in the two-harmonic fit"),
    "aliased": dict(long_name="velocities inconsistent with an unaliased wind (folded)"),
    "height": dict(units="m", standard_name="height", positive="up",
                   long_name="height above the radar"),
    "altitude": dict(units="m", standard_name="altitude", positive="up",
                     long_name="altitude above mean sea level"),
    "range": dict(units="m", long_name="range to the centre of the gate"),
    "time": dict(standard_name="time", long_name="start time of the volume scan (UTC)"),
    "latitude": dict(units="degrees_north", standard_name="latitude",
                     long_name="latitude of the radar"),
    "longitude": dict(units="degrees_east", standard_name="longitude",
                      long_name="longitude of the radar"),
    "radar_altitude": dict(units="m", long_name="altitude of the antenna above mean sea level"),
    "elevation": dict(units="degree", long_name="median ray elevation of the sweep"),
    "nyquist_velocity": dict(units="m s-1", standard_name="nyquist_velocity",
                             long_name="Nyquist velocity of the sweep"),
    "u_spread": dict(units="m s-1", long_name="weighted standard deviation of u in the bin"),
    "v_spread": dict(units="m s-1", long_name="weighted standard deviation of v in the bin"),
    "gate_count": dict(units="1", long_name="number of accepted gates in the bin"),
    "sample_count": dict(units="1", long_name="number of rays behind the accepted gates"),
    "storm_relative_helicity": dict(units="m2 s-2", long_name="storm-relative helicity"),
    "u_mean": dict(units="m s-1", standard_name="eastward_wind",
                   long_name="layer-mean eastward wind"),
    "v_mean": dict(units="m s-1", standard_name="northward_wind",
                   long_name="layer-mean northward wind"),
}


def _var(name, dims, values, **extra):
    return xr.Variable(dims, values, {**_ATTRS[name], **extra})


# The names of the first release, readable until the next one.
RENAMED = {"u": "eastward_wind", "v": "northward_wind", "rms": "rms_residual",
           "count": "n_valid", "offset2": "offset_2", "sin2": "sin_2az", "cos2": "cos_2az",
           "mean_u": "u_mean", "mean_v": "v_mean"}


class RadarDataset(xr.Dataset):
    """A Dataset that still answers to the variable names of the first release.

    ``ds["u"]`` and ``ds.u`` return ``eastward_wind`` with a DeprecationWarning
    that names the new name; everything else is the plain Dataset. A subclass,
    not an accessor, because only the Dataset's own lookup keeps old code
    running unchanged; it adds no state, and operations that build new
    Datasets return plain ones, where the old names are simply gone. The
    aliases go in the next release.
    """

    __slots__ = ()

    def __getitem__(self, key):
        if isinstance(key, str) and key in RENAMED and key not in self._variables:
            new = RENAMED[key]
            if new in self._variables:
                _warn_renamed(key, new)
                return super().__getitem__(new)
        return super().__getitem__(key)

    def __getattr__(self, name):
        if name in RENAMED and name not in self._variables and RENAMED[name] in self._variables:
            _warn_renamed(name, RENAMED[name])
            return super().__getitem__(RENAMED[name])
        return super().__getattr__(name)


def _warn_renamed(old, new):
    warnings.warn(f"velmora.radar: the variable '{old}' is now '{new}'; the old name goes "
                  f"in the next release", DeprecationWarning, stacklevel=3)


def dataset(data, coords=None, attrs=None):
    """An output Dataset of velmora.radar, readable under the old names for one release."""
    return RadarDataset(data, coords, attrs=attrs)
