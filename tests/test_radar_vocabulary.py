"""velmora.radar names its outputs as velmora.vad does; the old names still read, with a warning."""

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

import radar_cases as cases  # noqa: E402
import velmora  # noqa: E402
from velmora import radar  # noqa: E402


def test_radar_vad_uses_the_names_of_velmora_vad():
    ds = cases.sweep(gates=3)
    ours = radar.vad(ds, min_gates=3)
    vr = ds["VRADH"].assign_attrs(units="m s-1")
    az = ds["azimuth"].assign_attrs(units="degree").broadcast_like(vr)
    theirs = velmora.vad(vr, az, xr.DataArray(np.cos(np.deg2rad(1.5))), 3, radar.MIN_SPREAD)
    names = [n for n in ours.data_vars if n not in ("aliased", "qc_flag", "n_outliers")]
    assert names == list(theirs.data_vars)
    for name in names:
        assert ours[name].attrs.get("standard_name") == theirs[name].attrs.get("standard_name")
        np.testing.assert_allclose(ours[name], theirs[name], rtol=1e-12, atol=1e-12)
    assert not set(ours.variables) & set(dir(xr.Dataset))  # nothing hidden behind a method


@pytest.mark.parametrize("make, old, new", [
    (lambda: radar.vad(cases.sweep(gates=3), min_gates=3), "u", "eastward_wind"),
    (lambda: radar.vad(cases.sweep(gates=3), min_gates=3), "count", "n_valid"),
    (lambda: radar.vad(cases.sweep(gates=3), min_gates=3), "sin2", "sin_2az"),
    (lambda: radar.vwp(cases.volume([cases.sweep()]), nyquist=30.0), "v", "northward_wind"),
    (lambda: radar.helicity(xr.Dataset({"u": ("height", [0.0, 10.0]),
                                        "v": ("height", [10.0, 0.0])},
                                       {"height": [0.0, 1000.0]}), (0.0, 0.0)),
     "mean_u", "u_mean"),
])
def test_old_names_read_with_a_deprecation_warning(make, old, new):
    ds = make()
    with pytest.warns(DeprecationWarning, match=f"'{old}' is now '{new}'"):
        old_item = ds[old]
    xr.testing.assert_identical(old_item, ds[new])
    if old != "count":  # ds.count is Dataset.count, as it always was
        with pytest.warns(DeprecationWarning, match=f"'{old}' is now '{new}'"):
            xr.testing.assert_identical(getattr(ds, old), ds[new])
    with pytest.raises(KeyError):
        ds["no_such_variable"]
