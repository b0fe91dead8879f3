"""frame.halftrend over a long pandas table of many symbols (rows interleaved,
as a table ordered by time gives them), against the native function summed
over the same symbols on arrays split beforehand.

    python bench/bench_groups.py [--symbols 2000] [--bars 1000] [--repeat 5]

Prints the best of `repeat` runs of each.  The baselines are what a user
does without by= on arrays split per symbol beforehand (the split is not
timed): trend_v4.halftrend alone (float32 prices and average true ranges
made beforehand), and the like-for-like work frame.halftrend does per symbol
(indicators.average_true_range, the float32 rounding, trend_v4.halftrend),
once with each symbol's results dropped as soon as made (the same few
result buffers, hot in the cache, serve every symbol) and once kept, as a
caller who wants every symbol's results keeps them (frame.halftrend returns
them all, in memory it must take from the system).
Then frame.halftrend(by="symbol") with threads=1 and threads=2 for a str
symbol column, a categorical one, and a categorical one with a precomputed
"tr" column, the last two also sorted by symbol and time (read and written
in place), and where the time of one threads=1 call goes (symbol numbers,
also with threads=2; time order and bad rows, the native grouped pass, the
result frame); then the symbol numbers of a str column by pandas.factorize
and polars' dense rank, the routes used before, and of a polars String column.  The
machine should be quiet: other processes on the cores skew the threaded runs
most.
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import pandas as pd
import polars as pl

from ornivex import _grouped, frame, indicators, trend_v4


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

    def native_with_atr(kept: list | None = None) -> None:
        for high, low, close in per_symbol:
            tr = indicators.average_true_range(high, low, close).astype(np.float32)
            result = trend_v4.halftrend(high.astype(np.float32), low.astype(np.float32), close.astype(np.float32),
                                        tr)
            if kept is not None:
                kept.append(result)

    rows = args.symbols * args.bars
    print(f"{args.symbols} symbols x {args.bars} bars = {rows:,} rows, symbols interleaved; best of {args.repeat}")
    native_time = best(args.repeat, native)
    dropped_time = best(args.repeat, native_with_atr)
    with_atr_time = best(args.repeat, lambda: native_with_atr([]))
    print(f"  native trend_v4.halftrend alone, summed over the symbols    {native_time * 1e3:8.1f} ms")
    print(f"  like for like: + average_true_range and float32 per symbol  {dropped_time * 1e3:8.1f} ms"
          f" with each symbol's results dropped, {with_atr_time * 1e3:.1f} ms kept")
    categorical = long_table(args.symbols, args.bars, categorical=True)
    with_tr = categorical.assign(tr=np.concatenate([t for *_, t in split])[
        np.argsort(np.argsort(categorical["symbol"].cat.codes.to_numpy(), kind="stable"))])
    by_symbol = with_tr.sort_values(["symbol", "date"], kind="stable")  # each symbol's rows one run: in place
    tables = [("symbol column of str", table, {}), ("symbol column categorical", categorical, {}),
              ("categorical, tr column given", with_tr, {"tr": "tr"}),
              ("categorical, sorted by symbol and time", by_symbol, {}),
              ("categorical, sorted by symbol and time, tr column given", by_symbol, {"tr": "tr"})]
    for label, df, extra in tables:
        one = best(args.repeat, lambda: frame.halftrend(df, by="symbol", threads=1, **extra))
        two = best(args.repeat, lambda: frame.halftrend(df, by="symbol", threads=2, **extra))
        print(f"  frame.halftrend(by='symbol'), {label}:")
        for threads, elapsed in ((1, one), (2, two)):
            print(f"    threads={threads}  {elapsed * 1e3:8.1f} ms   {elapsed / native_time:5.2f}x native alone"
                  f"   {elapsed / with_atr_time:5.2f}x like for like   {args.symbols / elapsed:9,.0f} symbols/s"
                  + (f"   {one / two:4.2f}x threads=1" if threads == 2 else ""))
        print("    threads=1 by phase: " + "   ".join(f"{name} {elapsed * 1e3:.1f} ms"
                                                     for name, elapsed in phases(df, extra, args.repeat)))
    symbols = table["symbol"]
    polars_symbols = pl.Series(symbols.to_numpy().tolist(), dtype=pl.String)
    print("  symbol numbers of the str column, the routes before: "
          f"pandas.factorize {best(args.repeat, lambda: pd.factorize(symbols)) * 1e3:.1f} ms"
          f"   polars rank('dense') {best(args.repeat, lambda: polars_symbols.rank('dense')) * 1e3:.1f} ms;"
          "   a polars String column now: " + "   ".join(
              f"threads={t} {best(args.repeat, lambda: frame._symbol_numbers(polars_symbols, t)) * 1e3:.1f} ms"
              for t in (1, 2)))


def phases(df: pd.DataFrame, extra: dict, repeat: int) -> list[tuple[str, float]]:
    """The steps of frame.halftrend(df, by="symbol", threads=1), each timed alone."""
    high, low, close = frame._columns(df, "high", "low", "close")
    tr = frame._columns(df, extra["tr"])[0] if extra else None
    prices = {"high": high, "low": low, "close": close}
    symbols = frame._symbol_column(df, "symbol")[1]
    groups = frame._Groups.of(df, "symbol", prices, False, 1)
    columns = _grouped.halftrend(high, low, close, tr, *groups.native(), indicators.AMPLITUDE,
                                 indicators.CHANNEL_DEVIATION, indicators.ATR_LENGTH, 1)
    keys = (*indicators.HALFTREND_KEYS, "trend", "atr")
    return [("symbol numbers", best(repeat, lambda: frame._symbol_numbers(symbols, 1))),
            ("symbol numbers threads=2", best(repeat, lambda: frame._symbol_numbers(symbols, 2))),
            ("groups (numbers, times, bad rows)",
             best(repeat, lambda: frame._Groups.of(df, "symbol", prices, False, 1))),
            ("native grouped", best(repeat, lambda: _grouped.halftrend(
                high, low, close, tr, *groups.native(), indicators.AMPLITUDE, indicators.CHANNEL_DEVIATION,
                indicators.ATR_LENGTH, 1))),
            ("result frame", best(repeat, lambda: frame._frame(df, {k: (v, None) for k, v in zip(keys, columns)})))]


if __name__ == "__main__":
    main()
