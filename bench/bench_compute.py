"""`ornivex compute` on a million one-minute bars, beside pandas only reading and writing the same file.

    python bench/bench_compute.py [--rows N] [--repeat R] [--keep DIR]

Generates a CSV of N one-minute bars (Date, Open, High, Low, Close, Volume),
then times, as separate processes measured in the same run and alternated:

- ``pandas.read_csv(f).to_csv(g)``: the floor a pandas user pays just to pass the file through;
- ``ornivex compute f -o h``: read, check, compute every indicator, write.

Prints the wall times (best of R), their ratio (target: at most 0.6) and the
peak resident size of the command (target: at most 450 MB).
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pa_csv


def write_bars(path: Path, rows: int, seed: int = 1) -> None:
    """A random walk of one-minute bars, prices with four decimals, written by pyarrow."""
    rng = np.random.default_rng(seed)
    close = np.round(100 * np.exp(np.cumsum(rng.normal(0, 0.0005, rows))), 4)
    open_ = np.concatenate(([100.0], close[:-1]))
    high = np.round(np.maximum(open_, close) * (1 + rng.uniform(0, 0.0005, rows)), 4)
    low = np.round(np.minimum(open_, close) * (1 - rng.uniform(0, 0.0005, rows)), 4)
    times = np.datetime64("2020-01-02T09:30") + np.arange(rows).astype("timedelta64[m]")
    table = pa.table({
        "Date": pa.array(np.datetime_as_string(times, unit="s")),
        **{name: pc.cast(pa.array(values), pa.string())
           for name, values in (("Open", open_), ("High", high), ("Low", low), ("Close", close))},
        "Volume": pc.cast(pa.array(rng.integers(1, 10_000, rows)), pa.string()),
    })
    with open(path, "wb") as out:
        out.write(b"Date,Open,High,Low,Close,Volume\n")
        pa_csv.write_csv(table, out, pa_csv.WriteOptions(quoting_style="none", include_header=False))


def run(command: list[str]) -> tuple[float, int]:
    """Wall time in seconds and peak resident size in bytes of one process."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    error = process.stderr.read().decode() if process.stderr else ""
    if process.returncode:
        raise SystemExit(f"{' '.join(command)} failed:\n{error}")
    return elapsed, usage.ru_maxrss * 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--keep", type=Path, help="folder for the files (default: a temporary one)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as scratch:
        folder = args.keep or Path(scratch)
        folder.mkdir(parents=True, exist_ok=True)
        bars, out = folder / "bars.csv", folder / "out.csv"
        write_bars(bars, args.rows)
        print(f"{args.rows} one-minute bars: {bars.stat().st_size / 1e6:.1f} MB of CSV")
        pandas_cmd = [sys.executable, "-c",
                      f"import pandas; pandas.read_csv({str(bars)!r}).to_csv({str(folder / 'pandas.csv')!r})"]
        ornivex_cmd = [sys.executable, "-m", "ornivex", "compute", str(bars), "-o", str(out)]
        pandas_runs, ornivex_runs = [], []
        for _ in range(args.repeat):
            pandas_runs.append(run(pandas_cmd))
            ornivex_runs.append(run(ornivex_cmd))
        pandas_time = min(t for t, _ in pandas_runs)
        ornivex_time = min(t for t, _ in ornivex_runs)
        peak = max(rss for _, rss in ornivex_runs)
        print(f"pandas read_csv + to_csv: {pandas_time:6.2f} s   (best of {args.repeat})")
        print(f"ornivex compute:          {ornivex_time:6.2f} s   {out.stat().st_size / 1e6:.1f} MB written")
        print(f"time ratio:               {ornivex_time / pandas_time:6.2f}   (target <= 0.6)")
        print(f"ornivex peak RSS:         {peak / 2**20:6.0f} MB (target <= 450)")
        print(f"machine load average:     {os.getloadavg()[0]:6.1f} over {os.cpu_count()} cores")


if __name__ == "__main__":
    main()
