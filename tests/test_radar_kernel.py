"""velmora._radar.vad_sweeps: the row-by-row VAD fit, read from sweeps as stored."""

import contextlib
import io
import os
import pathlib
import warnings

import _velmora
import numpy as np
import pytest
from conftest import assert_bits_equal

from velmora import _radar

VOLUME = pathlib.Path(__file__).parent / "data" / "KLBB20160601_150025_V06"
LEVEL2 = np.array([[-64.75, -63.75]])  # the two Level II codes, half a step either side
FILL = -9999.0
THREADS = [1, 2, 3]


def row_fit(vr, mask, az, cos_el, reserved, start, stop, min_gates, min_spread, n_threads=1):
    """The same fits by _velmora.vad: rows of gates, missing values as NaN, az broadcast."""
    x = np.array(vr, dtype=np.float64)
    missing = ~np.isfinite(x) | ~np.isfinite(az)[:, None]
    for low, high in reserved:
        missing |= (x >= low) & (x <= high)
    if mask is not None:
        missing |= mask
    x[missing] = np.nan
    rows = np.ascontiguousarray(x.T[start:stop])
    return _velmora.vad(rows, np.broadcast_to(az, rows.shape), np.full(stop - start, cos_el[0] if len(cos_el) else 1.0),
                        min_gates, min_spread, n_threads)


def random_sweep(rng, rays, gates, dtype):
    """Winds with noise and every kind of missing value, and signed zeros."""
    az = np.deg2rad(np.sort(rng.uniform(0.0, 360.0, rays)))
    u, v = rng.normal(0.0, 15.0, (2, gates))
    vr = u * np.sin(az)[:, None] + v * np.cos(az)[:, None] + rng.normal(0.0, 2.0, (rays, gates))
    vr = np.round(vr * 2) / 2  # on the 0.5 m/s grid, zeros included
    vr[rng.random(vr.shape) < 0.05] = -0.0
    kinds = rng.integers(0, 12, vr.shape)
    for kind, value in [(1, np.nan), (2, np.inf), (3, -np.inf), (4, -64.5), (5, -64.0), (6, FILL)]:
        vr[kinds == kind] = value
    vr[:, rng.integers(0, gates, gates // 4)] = np.nan  # empty gates
    az[rng.random(rays) < 0.03] = np.nan
    if rays > 2:
        az[1] = -0.0
    mask = rng.random(vr.shape) < 0.1
    return vr.astype(dtype), mask, az


def layouts(vr, mask):
    """The sweep as stored: contiguous, rows of a wider array, transposed, flipped."""
    wide = np.full((vr.shape[0], vr.shape[1] + 7), 1e30, vr.dtype)
    wide[:, 3:3 + vr.shape[1]] = vr
    yield "contiguous", vr, mask
    yield "strided rows", wide[:, 3:3 + vr.shape[1]], mask
    yield "transposed", np.asfortranarray(vr), np.asfortranarray(mask)
    yield "every other gate", np.repeat(vr, 2, axis=1)[:, ::2], np.repeat(mask, 2, axis=1)[:, ::2]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("n_threads", THREADS)
def test_random_sweeps_equal_the_row_fit(rng, dtype, n_threads):
    sweeps, expected = [], []
    for rays, gates, start, stop in [(360, 70, 0, 70), (720, 37, 5, 30), (17, 20, 0, 20),
                                     (0, 5, 0, 5), (50, 9, 4, 4)]:
        vr, mask, az = random_sweep(rng, rays, gates, dtype)
        cos_el = np.full(rays, np.cos(np.deg2rad(rng.uniform(0, 20))))
        reserved = np.vstack([LEVEL2, [[FILL, FILL]]])
        ref = row_fit(vr, mask, az, cos_el, reserved, start, stop, 20, 0.1)
        for _, data, m in layouts(vr, mask):
            sweeps.append((data, m, az, cos_el, reserved, start, stop))
            expected.append(ref)
    got = _radar.vad_sweeps(sweeps, 20, 0.1, n_threads)
    assert_bits_equal(got, np.hstack(expected))


@pytest.mark.parametrize("min_gates, min_spread", [(3, 0.0), (3, -1.0), (100, 0.2), (5, np.nan)])
def test_parameters_equal_the_row_fit(rng, min_gates, min_spread):
    vr, mask, az = random_sweep(rng, 120, 40, np.float64)
    az[:60] = np.round(az[:60], 1)  # repeated azimuths: degenerate fits
    vr[:, :3] = 0.0
    cos_el = np.full(120, 0.93)
    sweep = (vr, None, az, cos_el, np.empty((0, 2)), 0, 40)
    assert_bits_equal(_radar.vad_sweeps([sweep], min_gates, min_spread),
                      row_fit(vr, None, az, cos_el, [], 0, 40, min_gates, min_spread))


def test_a_nan_bound_matches_nothing():
    """A _FillValue of NaN must not make every value missing: NaN is missing anyway."""
    az = np.deg2rad(np.arange(0.0, 360.0, 1.0))
    vr = 10 * np.sin(az)[:, None] * np.ones((1, 3))
    out = _radar.vad_sweeps([(vr, None, az, np.ones(360), [[np.nan, np.nan]], 0, 3)], 3, 0.1)
    np.testing.assert_array_equal(out[4], 360)
    np.testing.assert_allclose(out[0], 10.0, atol=1e-12)


def test_rays_of_their_own_elevation():
    """Different cosines per ray: u and v of vr = (u sin az + v cos az) cos el_j, as a
    least-squares fit with regressors cos el_j sin az_j, cos el_j cos az_j gives them."""
    rng = np.random.default_rng(5)
    rays = 400
    az = np.deg2rad(np.linspace(0.0, 300.0, rays))
    el = np.deg2rad(np.linspace(0.5, 9.5, rays))
    cos_el = np.cos(el)
    cos_el[7] = np.nan  # a ray without elevation is left out
    winds = np.array([[10.0, 5.0], [-3.0, 20.0]])
    vr = (winds[:, 0] * np.sin(az)[:, None] + winds[:, 1] * np.cos(az)[:, None]) * np.cos(el)[:, None]
    vr = vr + 1.5 + rng.normal(0.0, 0.5, vr.shape)
    out = _radar.vad_sweeps([(vr, None, az, cos_el, np.empty((0, 2)), 0, 2)], 3, 0.05)
    keep = np.isfinite(cos_el)
    x = np.stack([np.ones(keep.sum()), (cos_el * np.sin(az))[keep], (cos_el * np.cos(az))[keep]], 1)
    coef = np.linalg.lstsq(x, vr[keep], rcond=None)[0]
    np.testing.assert_allclose(out[0], coef[1], rtol=0, atol=1e-10)
    np.testing.assert_allclose(out[1], coef[2], rtol=0, atol=1e-10)
    np.testing.assert_allclose(out[2], coef[0], rtol=0, atol=1e-10)
    np.testing.assert_array_equal(out[4], rays - 1)
    # The spread is that of the azimuths: 300 degrees of arc pass 0.1 at any elevation.
    steep = _radar.vad_sweeps([(vr, None, az, np.cos(el + 1.0), np.empty((0, 2)), 0, 2)], 3, 0.15)
    assert np.all(np.isfinite(steep[0]))


@pytest.mark.parametrize("sweep, message", [
    ((np.zeros(3), None, [0.0], [1.0], [], 0, 1), "vr must be 2-D"),
    ((np.zeros((2, 3)), np.zeros((3, 2), bool), [0, 1], [1, 1], [], 0, 1), "mask must have"),
    ((np.zeros((2, 3)), None, [0.0], [1, 1], [], 0, 1), "one value per ray"),
    ((np.zeros((2, 3)), None, [0, 1], [1, 1], [1.0, 2.0, 3.0], 0, 1), "reserved must be"),
    ((np.zeros((2, 3)), None, [0, 1], [1, 1], [], 2, 4), "gates out of range"),
    ((np.zeros((2, 3)), None, [0, 1], [1, 1], [], 2, 1), "gates out of range"),
    ((np.zeros((2, 3)), None, [0, 1], [1, 1], []), "each sweep must be"),
])
def test_bad_sweeps_are_refused(sweep, message):
    with pytest.raises(ValueError, match=message):
        _radar.vad_sweeps([sweep], 3, 0.1)


# ---------------------------------------------------------------------------
# The shipped volume, with both readers


@pytest.fixture(scope="module")
def volume_sweeps():
    """Every Doppler sweep of the volume as each reader gives it."""
    xr = pytest.importorskip("xarray")
    pytest.importorskip("xradar")
    from velmora.radar import sources

    tree = xr.open_datatree(VOLUME, engine="nexradlevel2").load()
    read = {"xradar": list(sources._volume_sweeps(tree, None))}
    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
        warnings.simplefilter("ignore")
        pyart = pytest.importorskip("pyart")
        read["pyart"] = list(sources._volume_sweeps(pyart.io.read_nexrad_archive(str(VOLUME)), None))
    return read


@pytest.mark.parametrize("reader", ["xradar", "pyart"])
@pytest.mark.parametrize("n_threads", THREADS)
def test_shipped_volume_equals_the_row_fit(volume_sweeps, reader, n_threads):
    from velmora.radar import fit

    sweeps = volume_sweeps[reader]
    parts = [fit._gather(sw, slice(None)) for sw in sweeps]
    got = _radar.vad_sweeps(parts, fit.MIN_GATES, fit.MIN_SPREAD, n_threads)
    expected = np.hstack([row_fit(*part, fit.MIN_GATES, fit.MIN_SPREAD) for part in parts])
    assert_bits_equal(got, expected)
    assert np.isfinite(got[0]).sum() > 1500


def test_vector_path_build_is_the_one_loaded():
    build = os.environ.get("RADAR_PATH_BUILD")
    if not build:
        pytest.skip("the installed module: its own widest path")
    assert pathlib.Path(_radar.__file__).parent == pathlib.Path(build)


@pytest.mark.parametrize("spread, exact", [(0.2, False), (4.0, True)])
def test_vad_uses_each_rays_elevation_when_they_spread(spread, exact):
    """Within 0.3 degrees the median elevation serves every ray (as ever); beyond, each its own."""
    pytest.importorskip("xarray")
    import radar_cases as cases

    from velmora import radar

    ds = cases.sweep(gates=3, level2=False)
    el = 10.0 + np.linspace(-spread / 2, spread / 2, ds.sizes["azimuth"])
    ds["elevation"].values[:] = el
    ds["VRADH"].values[:] = cases.radial_velocity(10.0, 5.0, ds["azimuth"].values, el)[:, None]
    out = radar.vad(ds)
    error = np.abs(out["eastward_wind"].values - 10.0).max()
    assert (error < 1e-10) if exact else (1e-6 < error < 1e-3)


def test_gates_stored_backwards(rng):
    vr, mask, az = random_sweep(rng, 200, 45, np.float32)
    cos_el = np.full(200, 0.99)

    def fitted(v, m):
        return _radar.vad_sweeps([(v, m, az, cos_el, LEVEL2, 0, 45)], 10, 0.1)

    assert_bits_equal(fitted(vr[:, ::-1], mask[:, ::-1]), fitted(vr, mask)[:, ::-1])
