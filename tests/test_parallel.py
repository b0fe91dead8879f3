"""Many symbols at once: worker processes and a local Dask cluster give the serial results."""

import multiprocessing

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from ornivex import cli, frame
from ornivex.scan import scan_file, scan_path

pd = pytest.importorskip("pandas")
distributed = pytest.importorskip("dask.distributed")
dd = pytest.importorskip("dask.dataframe")

pytestmark = pytest.mark.xdist_group("dask cluster")  # one worker runs this module: one cluster


@pytest.fixture(scope="module")
def client():
    """One local cluster of 2 worker processes for every Dask test here (it is slow to start)."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        yield client


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


def test_scan_file_in_a_process_pool_matches_the_serial_scan(tmp_path):
    for i, df in enumerate(symbol_frames(5, n=150)):
        df.assign(open=df["close"]).rename_axis("date").to_csv(tmp_path / f"S{i}.csv")
    serial = scan_path(tmp_path)
    assert len(serial[0]) == 5 and not serial[1]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        assert pool.map(scan_file, sorted(tmp_path.glob("*.csv"))) == serial[0]


@pytest.fixture(scope="module")
def symbol_sources(tmp_path_factory):
    """The same symbols as a CSV folder, a Parquet folder, a shuffled long Parquet file and a partitioned dataset."""
    root = tmp_path_factory.mktemp("symbols")
    frames = {f"S{i}": df.assign(open=df["close"]).round(4).rename_axis("date").reset_index()
              for i, df in enumerate(symbol_frames(7, n=150))}
    frames["S6"].loc[40, "close"] = np.nan  # one symbol every route skips
    frames["S2"] = frames["S2"].iloc[::-1]  # and one newest-first
    for kind in ("csv", "parquet", "hive"):
        (root / kind).mkdir()
    for symbol, df in frames.items():
        df.assign(date=df["date"].dt.strftime("%Y-%m-%d")).to_csv(root / "csv" / f"{symbol}.csv", index=False)
        df.to_parquet(root / "parquet" / f"{symbol}.parquet", index=False)
    long = pd.concat([df.assign(Ticker=symbol) for symbol, df in frames.items()]).sample(frac=1, random_state=0)
    long.to_parquet(root / "long.parquet", index=False)
    pq.write_to_dataset(pa.Table.from_pandas(long.rename(columns={"Ticker": "symbol"}), preserve_index=False),
                        root / "hive", partition_cols=["symbol"])
    return root


ROUTES = [("parquet", []), ("long.parquet", ["--symbol-column", "ticker"]), ("hive", []),
          ("long.parquet", ["--symbol-column", "Ticker", "--jobs", "2"]), ("csv", ["--scheduler"]),
          ("hive", ["--scheduler"])]


@pytest.mark.parametrize("source, options", ROUTES, ids=[" ".join([s, *o]) for s, o in ROUTES])
def test_scan_prints_the_same_table_from_every_input_and_route(symbol_sources, source, options, client, capsys):
    def scan(*args):
        status = cli.main(["scan", str(symbol_sources / args[0]), *args[1:]])
        out, err = capsys.readouterr()
        assert status == 0 and err.endswith("6 symbols scanned, 1 skipped\n"), err
        return out

    if options[-1:] == ["--scheduler"]:
        options = [*options, client.scheduler.address]
    assert scan(source, *options) == scan("csv")


def test_local_dask_cluster_over_symbols(client):
    frames = symbol_frames(4)
    trends = client.gather(client.map(frame.halftrend, frames))
    assert_same_frames(trends, [frame.halftrend(df) for df in frames])
    # A long Dask DataFrame, symbols interleaved and without times: computed on the workers in row order.
    long = pd.concat([df.assign(symbol=f"S{i}") for i, df in enumerate(frames)]).reset_index(drop=True)
    rng = np.random.default_rng(0)
    long = long.iloc[np.argsort(np.concatenate([np.sort(rng.random(len(df))) for df in frames]))]  # interleaved
    ddf = dd.from_pandas(long, npartitions=4, sort=False)
    computed = frame.halftrend(ddf, by="symbol", amplitude=3).compute()
    # And indexed by symbol with known divisions: each partition computed where it lies.
    indexed = dd.from_pandas(long.sort_values("symbol", kind="stable").set_index("symbol"), npartitions=3)
    in_place = frame.halftrend(indexed, by="symbol", amplitude=3).compute()
    for i, df in enumerate(frames):
        rows = long.index[long["symbol"] == f"S{i}"]
        expected = frame.halftrend(df.reset_index(drop=True), amplitude=3).to_numpy()
        np.testing.assert_array_equal(computed.loc[rows].to_numpy(), expected)
        np.testing.assert_array_equal(in_place.loc[f"S{i}"].to_numpy(), expected)
