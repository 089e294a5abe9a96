"""Synthetic sweeps with known folds: a veering wind profile, a vortex couplet,
noise, missing gates and a missing sector, contiguous or scattered echo."""

from __future__ import annotations

import numpy as np
import xarray as xr

from velmora.radar import gate_height


def wrap(v, nyquist):
    """Fold v into [-nyquist, nyquist)."""
    return v - 2.0 * nyquist * np.floor(v / (2.0 * nyquist) + 0.5)


def true_velocity(elevation, rays=360, gates=160, first=2000.0, spacing=250.0, top_speed=50.0,
                  vortex=None):
    """Radial velocity (rays, gates) of a wind veering from south to west and
    strengthening from 5 m/s to `top_speed` up to the sweep's highest gate,
    plus a Rankine vortex (range m, azimuth deg, radius m, speed m/s)."""
    azimuth = np.arange(rays) * (360.0 / rays) + 0.5 * 360.0 / rays
    rng = first + spacing * np.arange(gates)
    height = gate_height(rng, elevation)
    frac = height / height[-1]
    speed = 5.0 + (top_speed - 5.0) * frac
    from_dir = np.deg2rad(180.0 + 90.0 * frac)
    u, v = -speed * np.sin(from_dir), -speed * np.cos(from_dir)
    az = np.deg2rad(azimuth)[:, None]
    cos_el = np.cos(np.deg2rad(elevation))
    vr = (u[None, :] * np.sin(az) + v[None, :] * np.cos(az)) * cos_el
    r0, az0, radius, vmax = vortex or VORTEX
    x, y = rng[None, :] * np.sin(az), rng[None, :] * np.cos(az)
    dx, dy = x - r0 * np.sin(np.deg2rad(az0)), y - r0 * np.cos(np.deg2rad(az0))
    dist = np.hypot(dx, dy)
    vt = np.where(dist < radius, vmax * dist / radius, vmax * radius / np.maximum(dist, 1.0))
    # Counter-clockwise rotation: tangential direction (-dy, dx) / dist.
    with np.errstate(invalid="ignore", divide="ignore"):
        tx, ty = np.where(dist > 0, -dy / dist, 0.0), np.where(dist > 0, dx / dist, 0.0)
    vr = vr + vt * (tx * np.sin(az) + ty * np.cos(az)) * cos_el
    return azimuth, rng, vr


VORTEX = (25_000.0, 60.0, 2000.0, 25.0)  # range m, azimuth deg, radius m, speed m/s


def echo_mask(shape, rng, azimuth, scattered, seed):
    """Valid gates: 5 % missing at random, the 200-230 degree sector missing,
    and for scattered echo only discs covering about a third of the sweep,
    the first around the vortex (the storm that carries it)."""
    gen = np.random.default_rng(seed)
    valid = gen.random(shape) >= 0.05
    valid &= ~((azimuth >= 200.0) & (azimuth < 230.0))[:, None]
    if scattered:
        az = np.deg2rad(azimuth)[:, None]
        x, y = rng[None, :] * np.sin(az), rng[None, :] * np.cos(az)
        r0, a0 = VORTEX[0], np.deg2rad(VORTEX[1])
        inside = np.hypot(x - r0 * np.sin(a0), y - r0 * np.cos(a0)) < 6_000.0
        outer = rng[-1]
        while inside.mean() < 0.33:
            r, a = outer * np.sqrt(gen.random()), 2 * np.pi * gen.random()
            radius = gen.uniform(2_000.0, 6_000.0)
            inside |= np.hypot(x - r * np.sin(a), y - r * np.cos(a)) < radius
        valid &= inside
    return valid


def case(nyquist, elevation, scattered=False, seed=0, noise=1.0, **kw):
    """(azimuth, range, folded, truth) with NaN at missing gates."""
    azimuth, rng, vr = true_velocity(elevation, **kw)
    gen = np.random.default_rng(seed + 1000)
    truth = vr + gen.normal(0.0, noise, vr.shape)
    valid = echo_mask(vr.shape, rng, azimuth, scattered, seed)
    truth = np.where(valid, truth, np.nan)
    return azimuth, rng, wrap(truth, nyquist), truth


def sweep_dataset(azimuth, rng, velocity, elevation, nyquist=None, number=0):
    """An xradar-shaped sweep Dataset holding `velocity` as VRADH."""
    ds = xr.Dataset(
        {"VRADH": (("azimuth", "range"), velocity, {"units": "m s-1"}),
         "sweep_number": ((), number)},
        {"azimuth": ("azimuth", azimuth), "range": ("range", rng),
         "elevation": ("azimuth", np.full(azimuth.size, float(elevation)))})
    if nyquist is not None:
        ds["nyquist_velocity"] = ((), float(nyquist))
    return ds
