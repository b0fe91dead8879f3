"""Scan throughput: symbols per second for `ornivex scan`, serial, with worker
processes and on a 2-worker local Dask cluster.

    python bench/bench_scan.py [symbols] [bars]

Generates `symbols` random walks of `bars` daily bars (defaults 400 and 1000)
as a folder of SYMBOL.csv files and as one long Parquet file with a symbol
column, then times the command as a user runs it (a fresh interpreter each
time, so start-up is included; the cluster is started once beforehand, as a
running cluster would be).  Each figure is the best of two runs; every route's
table is checked to be the serial one.  Then frame.halftrend(by="symbol")
over the long table as a Parquet dataset of 7 files on the same cluster, read
with the symbol as a column (rows shuffled on it) and as an index with
divisions from the files' statistics (partitions computed where they lie,
the files splitting some symbols); computed and kept on the workers.  The
load average is shown because other processes share the machine's cores.
"""

from __future__ import annotations

import logging
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd


def write_symbols(root: Path, symbols: int, bars: int) -> None:
    (root / "csv").mkdir()
    frames = []
    for k in range(symbols):
        rng = np.random.default_rng(k)
        close = np.round(100 * np.exp(np.cumsum(rng.normal(0, 0.02, bars))), 4)
        df = pd.DataFrame({"date": pd.date_range("2020-01-01", periods=bars, freq="D"), "open": close,
                           "high": np.round(close * 1.01, 4), "low": np.round(close * 0.99, 4), "close": close})
        df.assign(date=df["date"].dt.strftime("%Y-%m-%d")).to_csv(root / "csv" / f"S{k:05d}.csv", index=False)
        frames.append(df.assign(symbol=f"S{k:05d}"))
    pd.concat(frames).to_parquet(root / "long.parquet", index=False)


def timed_scan(path: Path, *options: str) -> tuple[float, bytes]:
    best, table = float("inf"), b""
    for _ in range(2):
        start = time.perf_counter()
        result = subprocess.run([sys.executable, "-m", "ornivex", "scan", str(path), *options],
                                capture_output=True, check=True)
        best, table = min(best, time.perf_counter() - start), result.stdout
    return best, table


def timed_frames(client, dataset: Path) -> dict[str, float]:
    """Best of two runs of frame.halftrend over the dataset on the cluster, per way of reading it."""
    import dask.dataframe as dd
    from dask.distributed import wait

    from ornivex import frame

    reads = {"symbol column, shuffled": lambda: dd.read_parquet(dataset),
             "symbol index, in place": lambda: dd.read_parquet(dataset, index="symbol", calculate_divisions=True)}
    logging.getLogger("distributed.shuffle").setLevel(logging.ERROR)  # a rerun shuffle is logged as a warning
    times = {}
    for route, read in reads.items():
        times[route] = float("inf")
        for _ in range(2):
            start = time.perf_counter()
            result = client.persist(frame.halftrend(read(), by="symbol"))
            wait(result)
            times[route] = min(times[route], time.perf_counter() - start)
            del result
    return times


def main(symbols: int = 400, bars: int = 1000) -> None:
    import dask.dataframe as dd
    from dask.distributed import Client, LocalCluster

    print(f"{symbols} symbols x {bars} bars; load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    with tempfile.TemporaryDirectory() as folder:
        root = Path(folder)
        write_symbols(root, symbols, bars)
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
            routes = {"serial": [], "--jobs 2": ["--jobs", "2"],
                      "2-worker Dask cluster": ["--scheduler", cluster.scheduler_address]}
            serial_table = None
            print(f"{'input':<22}{'route':<24}{'seconds':>9}{'symbols/s':>11}")
            for name, path in (("CSV folder", root / "csv"), ("long Parquet file", root / "long.parquet")):
                for route, options in routes.items():
                    seconds, table = timed_scan(path, *options)
                    serial_table = serial_table or table
                    assert table == serial_table, f"{name} {route}: a different table"
                    print(f"{name:<22}{route:<24}{seconds:>9.2f}{symbols / seconds:>11.0f}")
            dd.from_pandas(pd.read_parquet(root / "long.parquet"), npartitions=7, sort=False).to_parquet(
                root / "dataset", write_index=False)
            with Client(cluster) as client:
                for route, seconds in timed_frames(client, root / "dataset").items():
                    print(f"{'frame.halftrend':<22}{route:<24}{seconds:>9.2f}{symbols / seconds:>11.0f}")


if __name__ == "__main__":
    main(*(int(a) for a in sys.argv[1:3]))
