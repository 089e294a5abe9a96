"""The CF metadata of every output variable of velmora.radar."""

import xarray as xr

_ATTRS = {
    "u": dict(units="m s-1", standard_name="eastward_wind", long_name="eastward wind"),
    "v": dict(units="m s-1", standard_name="northward_wind", long_name="northward wind"),
    "wind_speed": dict(units="m s-1", standard_name="wind_speed", long_name="wind speed"),
    "wind_direction": dict(units="degree", standard_name="wind_from_direction",
                           long_name="direction the wind blows from, clockwise from north"),
    "offset": dict(units="m s-1", long_name="offset of the first-harmonic fit"),
    "rms": dict(units="m s-1", long_name="root-mean-square residual of the first-harmonic fit"),
    "count": dict(units="1", long_name="number of valid rays in the fit"),
    "offset2": dict(units="m s-1", long_name="offset of the two-harmonic fit"),
    "sin2": dict(units="m s-1", long_name="coefficient of sin(2 azimuth) in the two-harmonic fit"),
    "cos2": dict(units="m s-1", long_name="coefficient of cos(2 azimuth) in the two-harmonic fit"),
    "aliased": dict(long_name="velocities inconsistent with an unaliased wind (folded)"),
    "height": dict(units="m", standard_name="height", positive="up",
                   long_name="height above the radar"),
    "altitude": dict(units="m", standard_name="altitude", positive="up",
                     long_name="altitude above mean sea level"),
    "range": dict(units="m", long_name="range to the centre of the gate"),
    "elevation": dict(units="degree", long_name="median ray elevation of the sweep"),
    "nyquist_velocity": dict(units="m s-1", standard_name="nyquist_velocity",
                             long_name="Nyquist velocity of the sweep"),
    "u_spread": dict(units="m s-1", long_name="weighted standard deviation of u in the bin"),
    "v_spread": dict(units="m s-1", long_name="weighted standard deviation of v in the bin"),
    "gate_count": dict(units="1", long_name="number of accepted gates in the bin"),
    "sample_count": dict(units="1", long_name="number of rays behind the accepted gates"),
    "storm_relative_helicity": dict(units="m2 s-2", long_name="storm-relative helicity"),
    "mean_u": dict(units="m s-1", standard_name="eastward_wind",
                   long_name="layer-mean eastward wind"),
    "mean_v": dict(units="m s-1", standard_name="northward_wind",
                   long_name="layer-mean northward wind"),
}


def _var(name, dims, values, **extra):
    return xr.Variable(dims, values, {**_ATTRS[name], **extra})
