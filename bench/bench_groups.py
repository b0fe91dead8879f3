"""frame.halftrend over a long pandas table of many symbols (rows interleaved,
as a table ordered by time gives them), against the native function summed
over the same symbols on arrays split beforehand.

    python bench/bench_groups.py [--symbols 2000] [--bars 1000] [--repeat 5]

Prints the best of `repeat` rounds of each; within a round, a line's runs
and its baselines take turns, so that the figures compared meet the same
machine.  The baselines are what a user does without by= on arrays split
per symbol beforehand (the split is not timed): trend_v4.halftrend alone
(float32 prices and average true ranges made beforehand), beside it the
same call once over all rows as one series (no per-call cost), and the
like-for-like work frame.halftrend does per symbol (indicators.
average_true_range unless a tr column is given, the float32 rounding,
trend_v4.halftrend), each symbol's results kept, as frame.halftrend keeps
them all.
Then frame.halftrend(by="symbol") with threads=1 and threads=2 for a str
symbol column, the same with one bar of each symbol missing (a table in
time order that is not a complete panel: each lane goes down its own
symbol's rows, which no longer lie side by side), a categorical one,
and a categorical one with a precomputed "tr" column, the last two also
sorted by symbol and time (read and written in place), and where the time
of one threads=1 call goes (symbol numbers, also with threads=2; time
order and bad rows, the native grouped pass, the result frame); then the symbol numbers of a str column by pandas.factorize
and polars' dense rank, the routes used before, and of a polars String column.  The
machine should be quiet: other processes on the cores skew the threaded runs
most.  Before and after, it prints what a second thread gives the machine on
native work that barely reads memory (2.00: a whole second core), to read
the threads=2 figures by.
"""

from __future__ import annotations

import argparse
import threading
import time

import numpy as np
import pandas as pd
import polars as pl

from ornivex import _grouped, frame, indicators, symbols as numbering, trend_v4


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


def best(repeat: int, *runs) -> list[float]:
    """The best time of each run over `repeat` rounds; the runs take turns within a round,
    so that the figures compared meet the same machine."""
    times = [float("inf")] * len(runs)
    for _ in range(repeat):
        for k, run in enumerate(runs):
            start = time.perf_counter()
            run()
            times[k] = min(times[k], time.perf_counter() - start)
    return times


def two_thread_gain(repeat: int) -> float:
    """What a second thread gives this machine on native work that barely touches memory: a
    cache-resident column numbered over and over, by one thread and by two at once.  On a shared
    virtual machine it moves from minute to minute, and every threads=2 figure with it."""
    column = pl.Series(np.tile([f"S{k:03d}" for k in range(50)], 4000)).to_arrow()

    def work(threads: int) -> None:
        def numbering_calls() -> None:
            for _ in range(20):
                numbering._string_codes(column, 1)
        started = [threading.Thread(target=numbering_calls) for _ in range(threads)]
        for thread in started:
            thread.start()
        for thread in started:
            thread.join()

    one, two = best(repeat, lambda: work(1), lambda: work(2))
    return 2 * one / two


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--symbols", type=int, default=2000)
    parser.add_argument("--bars", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    table = long_table(args.symbols, args.bars, categorical=False)
    per_symbol = [(np.ascontiguousarray(part["high"].to_numpy()), np.ascontiguousarray(part["low"].to_numpy()),
                   np.ascontiguousarray(part["close"].to_numpy())) for _, part in table.groupby("symbol", sort=False)]
    ranges = [indicators.average_true_range(h, l, c) for h, l, c in per_symbol]  # as a float64 tr column holds them
    split = [(h.astype(np.float32), l.astype(np.float32), c.astype(np.float32), tr.astype(np.float32))
             for (h, l, c), tr in zip(per_symbol, ranges)]

    def native() -> None:
        for high, low, close, tr in split:
            trend_v4.halftrend(high, low, close, tr)

    # The same rows as one series (the table's own order): one call, no per-symbol overhead.
    whole = [np.concatenate([part[k] for part in split]) for k in range(4)]

    def one_series() -> None:
        trend_v4.halftrend(*whole)

    def like_for_like(given: bool) -> None:
        kept = []
        for (high, low, close), tr in zip(per_symbol, ranges):
            if not given:
                tr = indicators.average_true_range(high, low, close)
            kept.append(trend_v4.halftrend(high.astype(np.float32), low.astype(np.float32),
                                           close.astype(np.float32), tr.astype(np.float32)))

    rows = args.symbols * args.bars
    print(f"{args.symbols} symbols x {args.bars} bars = {rows:,} rows; best of {args.repeat} rounds, "
          "each line's runs taking turns with its baselines")
    print(f"  this machine's gain from a second thread on native work that barely reads memory: "
          f"{two_thread_gain(args.repeat):.2f}x (2.00 is a whole second core)")
    categorical = long_table(args.symbols, args.bars, categorical=True)
    # As pandas reads a csv's text into an object column (before pandas 3, or with dtype=object): one
    # str object per symbol, shared by its rows.
    objects = table.assign(symbol=pd.Series(np.tile(table["symbol"].unique().to_numpy(dtype=object), args.bars),
                                            dtype=object))
    with_tr = categorical.assign(tr=np.concatenate(ranges)[
        np.argsort(np.argsort(categorical["symbol"].cat.codes.to_numpy(), kind="stable"))])
    by_symbol = with_tr.sort_values(["symbol", "date"], kind="stable")  # each symbol's rows one run: in place
    # One bar of each symbol left out: still in time order, but no longer a panel.
    missing_bars = np.random.default_rng(1).integers(0, args.bars, args.symbols)
    with_gaps = table.drop(index=table.index[missing_bars * args.symbols + np.arange(args.symbols)])
    tables = [("symbol column of str", table, {}), ("symbol column of Python str objects", objects, {}),
              ("symbol column of str, one bar of each symbol missing (not a panel)", with_gaps, {}),
              ("symbol column categorical", categorical, {}),
              ("categorical, tr column given", with_tr, {"tr": "tr"}),
              ("categorical, sorted by symbol and time", by_symbol, {}),
              ("categorical, sorted by symbol and time, tr column given", by_symbol, {"tr": "tr"})]
    for label, df, extra in tables:
        one, two, alone, series, like = best(
            args.repeat, lambda: frame.halftrend(df, by="symbol", threads=1, **extra),
            lambda: frame.halftrend(df, by="symbol", threads=2, **extra), native, one_series,
            lambda: like_for_like(bool(extra)))
        print(f"  frame.halftrend(by='symbol'), {label}:")
        print(f"    baselines: trend_v4.halftrend alone {alone * 1e3:.1f} ms (all rows as one series "
              f"{series * 1e3:.1f} ms: threads=1 is {one / series:.2f}x that), like for like "
              f"({'' if extra else 'average_true_range, '}float32, halftrend; results kept) {like * 1e3:.1f} ms")
        for threads, elapsed in ((1, one), (2, two)):
            print(f"    threads={threads}  {elapsed * 1e3:8.1f} ms   {elapsed / alone:5.2f}x native alone"
                  f"   {elapsed / like:5.2f}x like for like   {args.symbols / elapsed:9,.0f} symbols/s"
                  + (f"   {one / two:4.2f}x threads=1" if threads == 2 else ""))
        print("    threads=1 by phase: " + "   ".join(f"{name} {elapsed * 1e3:.1f} ms"
                                                     for name, elapsed in phases(df, extra, args.repeat)))
    symbols = table["symbol"]
    polars_symbols = pl.Series(symbols.to_numpy().tolist(), dtype=pl.String)
    factorize, rank, one, two = best(args.repeat, lambda: pd.factorize(symbols), lambda: polars_symbols.rank("dense"),
                                     lambda: numbering.numbers(polars_symbols, 1),
                                     lambda: numbering.numbers(polars_symbols, 2))
    print("  symbol numbers of the str column, the routes before: "
          f"pandas.factorize {factorize * 1e3:.1f} ms   polars rank('dense') {rank * 1e3:.1f} ms;"
          f"   a polars String column now: threads=1 {one * 1e3:.1f} ms   threads=2 {two * 1e3:.1f} ms")
    print(f"  this machine's gain from a second thread again, at the end: {two_thread_gain(args.repeat):.2f}x")


def phases(df: pd.DataFrame, extra: dict, repeat: int) -> list[tuple[str, float]]:
    """The steps of frame.halftrend(df, by="symbol", threads=1), each timed alone."""
    high, low, close = frame._columns(df, "high", "low", "close")
    tr = frame._columns(df, extra["tr"])[0] if extra else None
    prices = {"high": high, "low": low, "close": close}
    symbols = frame._symbol_column(df, "symbol")[1]
    groups = frame._Groups.of(df, "symbol", prices, False, 1)
    columns = _grouped.halftrend(high, low, close, tr, *groups.native(), indicators.AMPLITUDE,
                                 indicators.CHANNEL_DEVIATION, indicators.ATR_LENGTH, 1)
    keys = (*indicators.HALFTREND_KEYS, "trend", "atr", "signal")
    names = ["symbol numbers", "symbol numbers threads=2", "groups (numbers, times, bad rows)", "native grouped",
             "result frame"]
    return list(zip(names, best(
        repeat, lambda: numbering.numbers(symbols, 1), lambda: numbering.numbers(symbols, 2),
        lambda: frame._Groups.of(df, "symbol", prices, False, 1),
        lambda: _grouped.halftrend(high, low, close, tr, *groups.native(), indicators.AMPLITUDE,
                                   indicators.CHANNEL_DEVIATION, indicators.ATR_LENGTH, 1),
        lambda: frame._frame(df, {k: (v, None) for k, v in zip(keys, columns)}))))


if __name__ == "__main__":
    main()
