"""Time and place of a VWP, and many volumes to a (time, height) series on Dask."""

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("dask")

import radar_cases as cases  # noqa: E402
from conftest import assert_bits_equal  # noqa: E402
from velmora import radar  # noqa: E402


def volume(minutes, u=10.0, elevations=(1.5, 4.0), latitude=33.654):
    """A synthetic volume with its site and start time, like xradar's."""
    sweeps = [cases.sweep(u=u, v=5.0, elevation=elevations[0], number=1),
              cases.sweep(u=u + 2.0, v=4.0, elevation=elevations[1], number=3)]
    for sw, angle in zip(sweeps, elevations):  # what a CfRadial writer needs
        sw.update(dict(sweep_mode="azimuth_surveillance", sweep_fixed_angle=angle, prt_mode="fixed",
                       follow_mode="none"))
    tree = cases.volume(sweeps)
    start = np.datetime64("2016-06-01T15:00:00") + np.timedelta64(minutes, "m")
    root = tree.root.to_dataset().assign(time_coverage_start=f"{start}Z")
    tree.dataset = root.assign_coords(latitude=latitude, longitude=-101.814)
    tree.attrs["instrument_name"] = "KLBB"
    return tree


def plain(ds):
    return xr.Dataset(ds.data_vars, ds.coords, ds.attrs)


def test_vwp_carries_time_and_place_through_netcdf(tmp_path):
    profile = radar.vwp(volume(5), nyquist=30.0)
    assert profile["time"].values == np.datetime64("2016-06-01T15:05:00")
    assert float(profile["latitude"]) == 33.654 and float(profile["longitude"]) == -101.814
    assert float(profile["radar_altitude"]) == 1000.0
    assert profile.attrs["instrument_name"] == "KLBB"
    assert profile["latitude"].attrs["units"] == "degrees_north"
    profile.to_netcdf(tmp_path / "vwp.nc")
    with xr.open_dataset(tmp_path / "vwp.nc") as again:
        xr.testing.assert_identical(again.load(), plain(profile))


def test_series_has_the_bits_of_the_serial_loop(tmp_path):
    volumes = [volume(0), volume(5, u=12.0), volume(10, u=8.0, elevations=(9.0, 12.0))]
    series = radar.vwp_series(volumes, nyquist=30.0, progress=False)
    assert series["eastward_wind"].dims == ("time", "height")
    np.testing.assert_array_equal(series["time"], [np.datetime64("2016-06-01T15:00")
                                                   + np.timedelta64(5 * k, "m") for k in range(3)])
    for k, vol in enumerate(volumes):
        alone = radar.vwp(vol, nyquist=30.0)
        row = series.isel(time=k).sel(height=alone["height"])
        for name in ("eastward_wind", "northward_wind", "u_spread", "gate_count"):
            assert_bits_equal(row[name].values, alone[name].values)
    # The third volume starts higher: its lowest bins are empty, not shifted.
    low = series.isel(time=2).sel(height=radar.vwp(volumes[0], nyquist=30.0)["height"][:3])
    assert np.all(np.isnan(low["eastward_wind"])) and np.all(low["gate_count"] == 0)
    np.testing.assert_array_equal(np.diff(series["height_bounds"], axis=1), 100.0)
    series.to_netcdf(tmp_path / "series.nc")
    with xr.open_dataset(tmp_path / "series.nc") as again:
        xr.testing.assert_identical(again.load(), plain(series))


def test_paths_are_read_in_the_tasks(tmp_path):
    xradar = pytest.importorskip("xradar")
    import warnings

    paths = []
    for k in range(2):
        paths.append(tmp_path / f"v{k}.nc")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # NaN without a _FillValue: the codes stay codes
            xradar.io.to_cfradial1(volume(5 * k), paths[-1])
    series = radar.vwp_series([str(p) for p in paths], engine="cfradial1", nyquist=30.0)
    again = [xr.open_datatree(p, engine="cfradial1") for p in paths]
    expected = radar.vwp_series(again, nyquist=30.0)
    xr.testing.assert_identical(series, expected)


@pytest.mark.cluster
def test_a_distributed_client_gives_the_same_bits():
    distributed = pytest.importorskip("distributed")
    volumes = [volume(0), volume(5, u=12.0)]
    threads = radar.vwp_series(volumes, nyquist=30.0)
    with (distributed.LocalCluster(n_workers=2, processes=False, threads_per_worker=1,
                                   dashboard_address=None) as cluster,
          distributed.Client(cluster, set_as_default=False) as client):
        on_cluster = radar.vwp_series(volumes, nyquist=30.0, client=client, progress=False)
    xr.testing.assert_identical(on_cluster, threads)


def test_one_radar_per_series():
    with pytest.raises(ValueError, match="volume 1 comes from another site"):
        radar.vwp_series([volume(0), volume(5, latitude=35.0)], nyquist=30.0)
    with pytest.raises(ValueError, match="no volumes"):
        radar.vwp_series([])
