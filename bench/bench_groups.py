"""frame.halftrend over a long pandas table of many symbols (rows interleaved,
as a table ordered by time gives them), against the native function summed
over the same symbols on arrays split beforehand.

    python bench/bench_groups.py [--symbols 2000] [--bars 1000] [--repeat 5]

Prints the best of `repeat` runs of each: threads=1 and threads=2 (and the
speed-up), the native trend_v4.halftrend summed over the symbols (float32
arrays and their average true ranges made beforehand), and the ratios.  The
machine should be quiet: other processes on the cores skew the threaded runs
most.
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import pandas as pd

from ornivex import frame, indicators, trend_v4


def long_table(symbols: int, bars: int, categorical: bool) -> pd.DataFrame:
    rng = np.random.default_rng(0)
    close = 50 * np.exp(np.cumsum(rng.normal(0, 0.02, (bars, symbols)), axis=0))
    spread = rng.uniform(0, 0.02, (2, bars, symbols))
    names = np.array([f"S{k:05d}" for k in range(symbols)], dtype=object)
    table = pd.DataFrame({
        "date": np.repeat(pd.date_range("2020-01-01", periods=bars, freq="min").to_numpy(), symbols),
        "symbol": np.tile(names, bars),
        "high": (close * (1 + spread[0])).ravel(), "low": (close * (1 - spread[1])).ravel(),
        "close": close.ravel(),
    })
    return table.astype({"symbol": "category"}) if categorical else table


def best(repeat: int, run) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--symbols", type=int, default=2000)
    parser.add_argument("--bars", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    table = long_table(args.symbols, args.bars, categorical=False)
    per_symbol = [(np.ascontiguousarray(part["high"].to_numpy()), np.ascontiguousarray(part["low"].to_numpy()),
                   np.ascontiguousarray(part["close"].to_numpy())) for _, part in table.groupby("symbol", sort=False)]
    split = [(h.astype(np.float32), l.astype(np.float32), c.astype(np.float32),
              indicators.average_true_range(h, l, c).astype(np.float32)) for h, l, c in per_symbol]

    def native() -> None:
        for high, low, close, tr in split:
            trend_v4.halftrend(high, low, close, tr)

    rows = args.symbols * args.bars
    print(f"{args.symbols} symbols x {args.bars} bars = {rows:,} rows, symbols interleaved; best of {args.repeat}")
    native_time = best(args.repeat, native)
    print(f"  native trend_v4.halftrend summed over the symbols  {native_time * 1e3:8.1f} ms")
    for label, categorical in (("symbol column of str", False), ("symbol column categorical", True)):
        df = long_table(args.symbols, args.bars, categorical)
        one = best(args.repeat, lambda: frame.halftrend(df, by="symbol", threads=1))
        two = best(args.repeat, lambda: frame.halftrend(df, by="symbol", threads=2))
        print(f"  frame.halftrend(by='symbol'), {label}:")
        print(f"    threads=1  {one * 1e3:8.1f} ms   {one / native_time:5.2f}x native"
              f"   {args.symbols / one:10,.0f} symbols/s")
        print(f"    threads=2  {two * 1e3:8.1f} ms   {two / native_time:5.2f}x native"
              f"   {args.symbols / two:10,.0f} symbols/s   {one / two:4.2f}x threads=1")


if __name__ == "__main__":
    main()
