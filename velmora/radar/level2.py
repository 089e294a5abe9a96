"""What a NEXRAD Level II file says that a reader may drop: the Nyquist
velocity of every elevation cut, from the file's own radial headers.

The file is a 24-byte volume header ("AR2V...") followed either by
bzip2-compressed records, each behind a 4-byte big-endian length, or by the
messages themselves. A message is a 12-byte channel header, a 16-byte message
header (size in halfwords, type) and its body; all but type 31 take a fixed
2432-byte slot. The Nyquist velocity, in hundredths of m/s, sits in the
radial-data ("RAD") block of a type 31 radial, and at bytes 60-61 of a legacy
type 1 radial.
"""

import bz2
import os
import pathlib
import struct
from typing import Any

import numpy as np
import xarray as xr

VOLUME_HEADER = 24
CHANNEL_HEADER = 12
MESSAGE_HEADER = 16
SLOT = 2432  # bytes of every message but type 31
NYQUIST_COUNTS = 100.0  # counts per m/s


def _records(raw):
    """The message stream of a Level II file, decompressed where it is compressed."""
    if raw[:4] not in (b"AR2V", b"ARCH"):
        raise ValueError("not a NEXRAD Level II file (no AR2V volume header)")
    pos = VOLUME_HEADER
    if raw[pos + 4:pos + 7] != b"BZh":
        yield raw[pos:]
        return
    while pos + 4 <= len(raw):
        size = abs(struct.unpack_from(">i", raw, pos)[0])
        pos += 4
        if size == 0 or pos + size > len(raw):
            break
        yield bz2.decompress(raw[pos:pos + size])
        pos += size


def _radials(buf):
    """(elevation number, Nyquist velocity m/s) of every radial in a message stream."""
    pos = 0
    while pos + CHANNEL_HEADER + MESSAGE_HEADER <= len(buf):
        head = pos + CHANNEL_HEADER
        halfwords, kind = struct.unpack_from(">H", buf, head)[0], buf[head + 3]
        length = halfwords * 2 + CHANNEL_HEADER
        body = head + MESSAGE_HEADER
        if kind == 31:
            if halfwords == 0:
                break
            yield from _message31(buf, body, pos + length)
        else:
            length = max(length, SLOT)
            if kind == 1 and body + 62 <= len(buf):
                elevation = struct.unpack_from(">H", buf, body + 16)[0]
                nyquist = struct.unpack_from(">h", buf, body + 60)[0]
                if nyquist != 0:  # surveillance-only radials carry none
                    yield elevation, nyquist / NYQUIST_COUNTS
        pos += length


def _message31(buf, body, end):
    if body + 32 > min(end, len(buf)):
        return
    elevation = buf[body + 22]
    blocks = struct.unpack_from(">H", buf, body + 30)[0]
    for k in range(min(blocks, 10)):
        pointer = struct.unpack_from(">I", buf, body + 32 + 4 * k)[0]
        block = body + pointer
        if pointer == 0 or block + 18 > min(end, len(buf)):
            continue
        if buf[block + 1:block + 4] == b"RAD":
            yield elevation, struct.unpack_from(">h", buf, block + 16)[0] / NYQUIST_COUNTS
            return


def nyquist_velocities(path):
    """Nyquist velocity (m/s) of every elevation cut of a Level II file.

    Returns
    -------
    dict
        Sweep number (the elevation number less one, as xradar numbers its
        ``sweep_N`` groups) to the median Nyquist velocity of its radials.
        Cuts whose radials carry none are absent.
    """
    raw = pathlib.Path(path).read_bytes()
    found = {}
    for buf in _records(raw):
        for elevation, nyquist in _radials(buf):
            found.setdefault(elevation, []).append(nyquist)
    return {e - 1: float(np.median(v)) for e, v in sorted(found.items()) if e >= 1}


def _is_level2(path):
    with open(path, "rb") as f:
        return f.read(4) in (b"AR2V", b"ARCH")


def _masked_codes(ds):
    """Every moment of a sweep with its reserved codes (Level II "below
    threshold" and "range folded") as NaN, so that fields derived from it
    start clean."""
    from .sources import _reserved_ranges

    out = ds.copy()
    for name, da in ds.data_vars.items():
        if "range" not in da.dims or not np.issubdtype(da.dtype, np.floating):
            continue
        ranges = _reserved_ranges(da)
        if not ranges:
            continue
        keep = True  # built from xarray operations: a lazy variable stays lazy
        for low, high in ranges:
            keep = keep & ((da < low) | (da > high))
        out[name] = da.where(keep | da.isnull())
    return out


def open_volume(path: str | os.PathLike[str], engine: str | None = None,
                **kwargs: Any) -> xr.DataTree:
    """Open a radar volume with xradar, with each sweep's Nyquist velocity.

    Parameters
    ----------
    path : str or path-like
        The file.
    engine : str, optional
        xradar's engine (``nexradlevel2``, ``odim``, ``cfradial1``, ...);
        found from the file for NEXRAD Level II, required otherwise.
    **kwargs
        Passed to ``xarray.open_datatree``.

    Returns
    -------
    xarray.DataTree
        The volume as xradar reads it. For Level II, every sweep with
        velocities gains ``nyquist_velocity`` (m s-1), decoded from the file's
        own radial headers (xradar's reader drops it), and the reserved codes
        of every moment (-64.5 and -64 m/s for velocity) are masked. Other
        formats keep their own Nyquist velocity.

    Raises
    ------
    ValueError
        If the file gives a Doppler sweep a Nyquist velocity that is not
        positive, or the engine cannot be told.
    """
    import xarray as xr

    level2 = engine == "nexradlevel2" or (engine is None and _is_level2(path))
    if engine is None and not level2:
        raise ValueError(f"cannot tell the format of {path}: pass engine= (as for xradar)")
    tree = xr.open_datatree(path, engine="nexradlevel2" if level2 else engine, **kwargs)
    if not level2:
        return tree
    nyquist = nyquist_velocities(path)
    for name in [n for n in tree.children if n.startswith("sweep_")]:
        number = int(name.removeprefix("sweep_"))
        ds = _masked_codes(tree[name].to_dataset())
        if "VRADH" in ds.data_vars and number in nyquist:
            value = nyquist[number]
            if not value > 0.0:
                raise ValueError(f"{path}: sweep {number} gives a Nyquist velocity of {value} m/s")
            ds["nyquist_velocity"] = xr.Variable((), value, {
                "units": "m s-1", "standard_name": "nyquist_velocity",
                "long_name": "Nyquist velocity of the sweep, from the radial headers"})
        tree[name].dataset = ds
    return tree
