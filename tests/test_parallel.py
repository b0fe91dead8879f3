"""Many symbols at once: worker processes (and a local Dask cluster) give the serial results."""

import multiprocessing

import numpy as np
import pytest

from ornivex import frame
from ornivex.scan import scan_directory, scan_file

pd = pytest.importorskip("pandas")


def symbol_frames(count, n=400):
    frames = []
    for seed in range(count):
        rng = np.random.default_rng(seed)
        close = 20 * np.exp(np.cumsum(rng.normal(0, 0.02, n)))
        frames.append(pd.DataFrame({"high": close * 1.01, "low": close * 0.99, "close": close},
                                   index=pd.date_range("2021-01-01", periods=n, freq="B")))
    return frames


def assert_same_frames(got, expected):
    assert len(got) == len(expected)
    for a, b in zip(got, expected):
        pd.testing.assert_frame_equal(a, b)


def test_multiprocessing_pool_over_symbols():
    frames = symbol_frames(6)
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        trends = pool.map(frame.halftrend, frames)
        swings = pool.map(frame.swing, frames)
    assert_same_frames(trends, [frame.halftrend(df) for df in frames])
    assert_same_frames(swings, [frame.swing(df) for df in frames])


def test_scan_with_worker_processes_matches_the_serial_scan(tmp_path):
    for i, df in enumerate(symbol_frames(5, n=150)):
        df.assign(open=df["close"]).rename_axis("date").to_csv(tmp_path / f"S{i}.csv")
    serial = scan_directory(tmp_path)
    assert len(serial[0]) == 5 and not serial[1]
    assert scan_directory(tmp_path, jobs=2) == serial
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        assert pool.map(scan_file, sorted(tmp_path.glob("*.csv"))) == serial[0]


def test_local_dask_cluster_over_symbols():
    distributed = pytest.importorskip("dask.distributed")
    frames = symbol_frames(4)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        trends = client.gather(client.map(frame.halftrend, frames))
    assert_same_frames(trends, [frame.halftrend(df) for df in frames])
