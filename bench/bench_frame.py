"""The DataFrame route against the array work beneath it, on 1e6 rows.

Prints the best of several interleaved runs of each pair and their ratio:

- frame.atr(df) against indicators.average_true_range on the same columns;
- frame.halftrend(df) against the native work it calls (the average true range
  and trend_v4.halftrend on ready float32 arrays);
- frame.swing(df) against swing_v4's quorvel_swing on the same closes, and the
  grouped pass over the series as one symbol, with the page faults each call
  takes (fresh scratch shows as faults on every call);
- frame.ewma(df) against trend_v4.ewma plus the float32 rounding of the closes;
- a polars expression with .over("symbol") against frame.ewma(by="symbol") on
  the same long table (2,000 symbols of 500 bars, in time order);
- frame.halftrend(by="symbol") on 2,000 symbols of 250 days whose dates are
  text as pandas.read_csv gives them ("2023-01-05", "05/01/2023"), beside the
  same table with datetime64 dates.

Usage: python bench/bench_frame.py [--rows N] [--repeat R]
"""

from __future__ import annotations

import argparse
import io
import os
import resource
import time

import numpy as np
import pandas as pd
import polars as pl

from ornivex import _grouped, frame, indicators, swing_v4, trend_v4


def best(functions: dict[str, callable], repeat: int) -> dict[str, float]:
    """The fastest of `repeat` runs of each function, the functions taking turns."""
    times = {name: float("inf") for name in functions}
    for _ in range(repeat):
        for name, function in functions.items():
            start = time.perf_counter()
            function()
            times[name] = min(times[name], time.perf_counter() - start)
    return times


def fewest_faults(function: callable, repeat: int) -> int:
    """The fewest minor page faults one call of `function` takes, over `repeat` calls."""
    fewest = None
    for _ in range(repeat):
        before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        function()
        faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before
        fewest = faults if fewest is None else min(fewest, faults)
    return fewest


def report(title: str, times: dict[str, float], target: float) -> None:
    (frame_name, frame_time), (base_name, base_time) = times.items()
    ratio = frame_time / base_time
    print(f"{title:<34} {frame_time * 1e3:8.2f} ms  {base_name:<28} {base_time * 1e3:8.2f} ms  "
          f"ratio {ratio:5.2f}  (target <= {target}) {'ok' if ratio <= target else 'MISSED'}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    n = args.rows
    close = 50 * np.exp(np.cumsum(rng.normal(0, 0.01, n)))
    high, low = close * (1 + rng.uniform(0, 0.01, n)), close * (1 - rng.uniform(0, 0.01, n))
    index = pd.date_range("1990-01-01", periods=n, freq="min", name="date")
    df = pd.DataFrame({"high": high, "low": low, "close": close}, index=index)
    print(f"{n:,} rows; load average {os.getloadavg()[0]:.2f} on {os.cpu_count()} cores")

    # The grouped pass over the whole series as one symbol, read and written in place.  First, while the
    # process is fresh: whether glibc hands a large block back to the system depends on the blocks freed
    # before it (the larger blocks the other lines free keep it from doing so).
    one_symbol = np.zeros(n, dtype=np.int64)
    grouped_swing = lambda: _grouped.swing(close, one_symbol, 1, None, 14, 2.0, 1)  # noqa: E731
    grouped_faults = fewest_faults(grouped_swing, args.repeat)
    grouped_time = best({"grouped": grouped_swing}, args.repeat)["grouped"]
    swing_times = best({"frame": lambda: frame.swing(df), "swing_v4 quorvel_swing":
                        lambda: swing_v4.QuorvelSwing().quorvel_swing(close, 14, 2.0)}, args.repeat)
    report("frame.swing(df)", swing_times, 1.5)
    print(f"  one symbol's grouped pass {grouped_time * 1e3:.2f} ms, {grouped_faults:,} minor page faults per call "
          f"(fewest); frame.swing(df) {fewest_faults(lambda: frame.swing(df), args.repeat):,}")
    report("frame.atr(df)", best({"frame": lambda: frame.atr(df),
                                  "average_true_range": lambda: indicators.average_true_range(high, low, close)},
                                 args.repeat), 1.5)

    def native_halftrend() -> None:
        tr = indicators.average_true_range(high, low, close).astype(np.float32)
        trend_v4.halftrend(high32, low32, close32, tr, 2, 2.0)

    high32, low32, close32 = (a.astype(np.float32) for a in (high, low, close))
    report("frame.halftrend(df)", best({"frame": lambda: frame.halftrend(df), "atr + trend_v4.halftrend":
                                        native_halftrend}, args.repeat), 1.5)
    report("frame.ewma(df, 0.1)", best({"frame": lambda: frame.ewma(df, 0.1), "float32 + trend_v4.ewma":
                                        lambda: trend_v4.ewma(close.astype(np.float32), 0.1)}, args.repeat), 1.5)

    symbols, bars = 2000, n // 2000
    long = pd.DataFrame({"symbol": np.repeat([f"S{k:04d}" for k in range(symbols)], bars),
                         "date": np.tile(index[:bars].to_numpy(), symbols), "close": close[:symbols * bars]})
    table = pl.from_pandas(long)
    expression = pl.col("close").ornivex.ewma(0.1).over("symbol")
    report("polars .over('symbol') ewma", best({"over": lambda: table.select(expression),
                                                "frame.ewma(by='symbol')": lambda: frame.ewma(table, 0.1,
                                                                                              by="symbol")},
                                               args.repeat), 1.5)
    # What a function costs when polars calls it once per group (as it does under .over but for the
    # expressions' own route): an empty one, and the average itself.
    empty = pl.col("close").map_batches(lambda series: series, return_dtype=pl.Float64)
    per_group = best({"average": lambda: table.select(pl.Expr.over(pl.col("close").ornivex.ewma(0.1), "symbol")),
                      "empty": lambda: table.select(empty.over("symbol")),
                      "native": lambda: table.select(pl.col("close").cum_sum().over("symbol"))}, args.repeat)
    print(f"called per group by polars ({symbols:,} groups): ewma {per_group['average'] * 1e3:.2f} ms, an empty "
          f"function {per_group['empty'] * 1e3:.2f} ms, polars' own cum_sum {per_group['native'] * 1e3:.2f} ms")

    text_times(args.repeat)


def text_times(repeat: int) -> None:
    """A long table's dates as text, each repeated for every symbol: what reading them costs."""
    symbols, days = 2000, 250
    rng = np.random.default_rng(2)
    close = 50 * np.exp(np.cumsum(rng.normal(0, 0.01, symbols * days)))
    dates = pd.Series(pd.date_range("2023-01-02", periods=days, freq="D"))
    long = pd.DataFrame({"symbol": np.repeat([f"S{k:04d}" for k in range(symbols)], days),
                         "date": np.tile(dates.to_numpy(), symbols), "high": close * 1.01, "low": close * 0.99,
                         "close": close})
    tables = {"datetime64": long}
    for written in ("%Y-%m-%d", "%d/%m/%Y"):
        csv = long.assign(date=np.tile(dates.dt.strftime(written).to_numpy(), symbols)).to_csv(index=False)
        tables[written] = pd.read_csv(io.StringIO(csv))
    times = best({name: lambda table=table: frame.halftrend(table, by="symbol") for name, table in tables.items()},
                 repeat)
    print(f"frame.halftrend(by='symbol'), {symbols:,} symbols x {days} days: "
          + ", ".join(f"{name} dates {seconds * 1e3:.1f} ms" for name, seconds in times.items()))


if __name__ == "__main__":
    main()
