"""The DataFrame adapters and the ATR against the native functions and a literal model."""

import re
import itertools
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from models import trend_model
from ornivex import _grouped, frame, indicators, swing_v4, symbols, trend_v4

pd = pytest.importorskip("pandas")
dd = pytest.importorskip("dask.dataframe")


def assert_frame_equal(got, expected, **kwargs):
    """Equal frames, values bit for bit (pandas compares floats to a tolerance by default, and
    takes -0.0 for 0.0 even when exact)."""
    pd.testing.assert_frame_equal(got, expected, check_exact=True, **kwargs)
    for name in got.columns:
        if got[name].dtype.kind == "f":
            np.testing.assert_array_equal(np.signbit(got[name].to_numpy()), np.signbit(expected[name].to_numpy()),
                                          err_msg=f"signs of zeros in column {name!r}")


def ewma(df, **kwargs):
    return frame.ewma(df, 0.2, **kwargs)


def ema2(df, **kwargs):
    return frame.ema2(df, 9, **kwargs)


def tema3(df, **kwargs):
    return frame.tema3(df, 5, **kwargs)


FUNCTIONS = [frame.halftrend, frame.swing, frame.atr, ewma, ema2, tema3]
ONE_COLUMN = (frame.swing, ewma, ema2, tema3)  # functions of the closes alone


def literal_atr(high, low, close, length):
    """The average true range as documented, one bar at a time in Python floats."""
    high, low, close = (np.asarray(a, dtype=np.float64) for a in (high, low, close))
    out, average, count = [], float("nan"), 0
    for i in range(len(high)):
        h, l = float(high[i]), float(low[i])
        previous = float(close[i - 1]) if i else float("nan")
        if h != h or l != l:
            tr = float("nan")
        elif previous != previous:
            tr = h - l
        else:
            tr = max(h - l, abs(h - previous), abs(l - previous))
        if tr == tr:
            count = min(count + 1, length)
            average = tr if count == 1 else average + (tr - average) / count
        out.append(average)
    return np.array(out)


def ohlc(n, seed, holes=0):
    rng = np.random.default_rng(seed)
    close = 50 * np.exp(np.cumsum(rng.normal(0, 0.03, n)))
    high = close * (1 + rng.uniform(0, 0.02, n))
    low = close * (1 - rng.uniform(0, 0.02, n))
    for array in (high, low, close):
        array[rng.integers(0, n, holes)] = np.nan
    index = pd.date_range("2020-01-01", periods=n, freq="B", name="when")
    return pd.DataFrame({"High": high, "LOW": low, "close": close, "Open": close}, index=index)


@pytest.mark.parametrize("seed, holes, length", [(0, 0, 1), (1, 0, 14), (2, 5, 100), (3, 30, 7)])
def test_atr_matches_the_literal_recursion(seed, holes, length):
    df = ohlc(400, seed, holes)
    np.testing.assert_array_equal(indicators.average_true_range(df["High"], df["LOW"], df["close"], length),
                                  literal_atr(df["High"], df["LOW"], df["close"], length))
    if not holes:
        result = frame.atr(df, length)
        assert list(result.columns) == ["trueRange", "atr"] and result.index.equals(df.index)
        np.testing.assert_array_equal(result["atr"].to_numpy(),
                                      literal_atr(df["High"], df["LOW"], df["close"], length))
        np.testing.assert_array_equal(result["trueRange"].to_numpy(),
                                      indicators.true_range(df["High"], df["LOW"], df["close"]))


# The last is longer than the stretches a long series is taken in (its state carried from one to the next).
@pytest.mark.parametrize("seed, amplitude, deviation, n",
                         [(0, 2, 2.0, 300), (1, 1, 0.0, 300), (2, 5, 3.5, 300), (3, 2, 0.25, 300), (4, 3, 1.5, 140_001)])
def test_halftrend_adapter_is_the_native_function_on_float32(seed, amplitude, deviation, n, monkeypatch):
    df = ohlc(n, seed)
    result = frame.halftrend(df, amplitude, deviation, atr_length=20)
    assert result.index.equals(df.index)
    f32 = {name: df[name].to_numpy().astype(np.float32) for name in ("High", "LOW", "close")}
    tr = literal_atr(df["High"], df["LOW"], df["close"], 20).astype(np.float32)
    native = trend_v4.halftrend(f32["High"], f32["LOW"], f32["close"], tr, amplitude, deviation)
    for key, values in native.items():
        assert result[key].dtype == values.dtype
        if key.startswith("arrow"):  # an arrow's price on its own signal's bars only, NaN elsewhere
            values = np.where(native["buy" if key == "arrowUp" else "sell"] == 1, values, np.float32(np.nan))
        np.testing.assert_array_equal(result[key].to_numpy(), values, err_msg=key)
    assert result["signal"].dtype == np.int8
    np.testing.assert_array_equal(result["signal"].to_numpy(), native["buy"] - native["sell"])
    np.testing.assert_array_equal(result["atr"].to_numpy(), tr)
    for window in (amplitude, 2**31 - 1):  # a window longer than the series (and than any stretch of it)
        given = frame.halftrend(df, window, deviation, tr="close")
        np.testing.assert_array_equal(given["halftrend"].to_numpy(),
                                      trend_v4.halftrend(f32["High"], f32["LOW"], f32["close"], f32["close"],
                                                         window, deviation)["halftrend"])
    # The trend rebuilt from the signals is the state of the trend pass itself.
    passes = []
    monkeypatch.setattr(trend_model, "_trend_pass",
                        lambda *a, original=trend_model._trend_pass: passes.append(original(*a)) or passes[-1])
    trend_model.halftrend(f32["High"], f32["LOW"], f32["close"], tr, amplitude, deviation, tema3=trend_v4.tema3)
    np.testing.assert_array_equal(result["trend"].to_numpy(), passes[0][0])


def test_trend_from_signals_follows_the_last_signal():
    buy = np.array([0, 0, 0, 1, 0, 0, 0, 1, 0])
    sell = np.array([0, 1, 0, 0, 0, 1, 0, 0, 0])
    assert indicators.trend_from_signals(buy, sell).tolist() == [0, 1, 1, 0, 0, 1, 1, 0, 0]
    assert indicators.last_signal(buy, sell) == ("buy", 1)
    assert indicators.last_signal(buy * 0, sell * 0) == (None, None)


def test_halftrend_takes_a_given_tr_column():
    df = ohlc(100, 4).assign(myrange=1.25)
    result = frame.halftrend(df, tr="MyRange")
    assert np.all(result["atr"] == np.float32(1.25))
    assert_frame_equal(result, frame.halftrend(df, tr=np.full(100, 1.25)))


# The last is longer than the stretches one symbol's rows are taken in (windows and filter carried from one to
# the next): periods small, with a band that just fits a stretch, and with one longer than a stretch.
@pytest.mark.parametrize("periods, multiplier, n", [((1,), 1.0, 500), ((14,), 2.0, 500), ((30,), 0.5, 500),
                                                    ((2, 14, 5_000, 21_845, 30_000), 1.5, 140_001)])
def test_swing_adapter_is_the_native_composition_in_float64(periods, multiplier, n):
    df = ohlc(n, periods[0])
    for period in periods:
        result = frame.swing(df, period, multiplier)
        native = swing_v4.QuorvelSwing().quorvel_swing(df["close"].to_numpy(), period, multiplier)
        native[:max(3 * (period - 1), 1), :2] = np.nan  # the band is missing until defined, bar 0 included
        np.testing.assert_array_equal(result.to_numpy(), native, err_msg=f"period {period}")
        assert list(result.columns) == ["rangeHigh", "rangeLow", "rangeFilter"] and result.index.equals(df.index)
        assert_frame_equal(frame.swing(df["close"], period, multiplier), result)
        one_symbol = frame.swing(df.assign(symbol="A"), period, multiplier, by="symbol")
        np.testing.assert_array_equal(one_symbol.to_numpy(), native, err_msg=f"period {period}, by symbol")


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_rows_are_computed_in_time_order_and_bad_rows_named_or_skipped(function):
    df = ohlc(120, 8)
    forwards = function(df)
    # Newest first: the same values, on the frame's own rows.
    backwards = function(df.iloc[::-1])
    assert_frame_equal(backwards, forwards.iloc[::-1])
    by_column = function(df.rename_axis("Date").reset_index().iloc[::-1])
    np.testing.assert_array_equal(by_column.to_numpy(), forwards.iloc[::-1].to_numpy())
    # A missing or infinite price is named by its row label and column ...
    holed = df.astype("Float64")
    holed.iloc[7, 2] = pd.NA
    holed.iloc[30, 1] = np.inf
    with pytest.raises(ValueError, match=r"row 2020-01-10 00:00:00, column 'close': a missing value"):
        function(holed)
    # ... or left out on request: the other rows are those of the frame without it.
    bad = [7] if function in ONE_COLUMN else [7, 30]
    skipped = function(holed, skip_bad_rows=True)
    kept = function(df.drop(index=df.index[bad]))
    assert skipped.index.equals(df.index) and skipped.iloc[bad].isna().all(axis=None)
    assert_frame_equal(skipped.drop(index=df.index[bad]), kept, check_dtype=False)
    if function not in ONE_COLUMN:
        with pytest.raises(TypeError, match=f"{function.__name__} needs a DataFrame with high, low and close"):
            function(df["close"])
    shuffled = df.iloc[[0, 2, 1, *range(3, 120)]]
    with pytest.raises(ValueError, match="row 2020-01-02 00:00:00, column 'when': .* is earlier than the row before"):
        function(shuffled)


def test_polars_frames_give_polars_frames():
    pl = pytest.importorskip("polars")
    df = ohlc(80, 7)
    result = frame.halftrend(pl.from_pandas(df.reset_index()))
    assert isinstance(result, pl.DataFrame)
    np.testing.assert_array_equal(result["halftrend"].to_numpy(), frame.halftrend(df)["halftrend"].to_numpy())
    newest_first = frame.halftrend(pl.from_pandas(df.reset_index()).reverse())
    np.testing.assert_array_equal(newest_first["halftrend"].to_numpy()[::-1], result["halftrend"].to_numpy())
    holed = pl.from_pandas(df.reset_index()).with_columns(pl.when(pl.int_range(80) == 5).then(None)
                                                            .otherwise(pl.col("LOW")).alias("LOW"))
    with pytest.raises(ValueError, match="row 5, column 'LOW': a missing value"):
        frame.halftrend(holed)
    skipped = frame.halftrend(holed, skip_bad_rows=True)
    assert skipped["buy"].null_count() == 1 and np.isnan(skipped["halftrend"][5])


def long_frame():
    """Four symbols in one table, rows interleaved: "AAA" shuffled, "BBB" newest first,
    "CCC" two bars, "DDD" with repeated times; a row index of labels of its own."""
    rng = np.random.default_rng(15)
    parts = []
    for symbol, n, seed in [("AAA", 240, 1), ("BBB", 180, 2), ("CCC", 2, 3), ("DDD", 150, 4)]:
        part = ohlc(n, seed).rename_axis("date").reset_index().assign(symbol=symbol)
        if symbol == "DDD":
            part["date"] = part["date"].iloc[np.arange(n) // 3].to_numpy()
        parts.append(part.iloc[::-1] if symbol == "BBB" else part.sample(frac=1, random_state=5)
                     if symbol == "AAA" else part)
    df = pd.concat(parts)
    df = df.iloc[np.argsort(rng.random(len(df)), kind="stable")]  # interleaved, each symbol's own order kept
    return df.set_axis([f"r{k}" for k in rng.permutation(len(df))])


def alone(function, df, symbol, **kwargs):
    """The single-symbol call on one symbol's rows, sorted by time where they run both ways."""
    rows = df[df["symbol"] == symbol]
    try:
        return function(rows, **kwargs)
    except ValueError:
        return function(rows.sort_values("date", kind="stable"), **kwargs)


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_long_tables_give_each_symbol_its_own_values(function, tmp_path):
    pl = pytest.importorskip("polars")
    df = long_frame()
    grouped = function(df, by="symbol", threads=1)
    assert grouped.index.equals(df.index)
    for symbol in df["symbol"].unique():
        expected = alone(function, df, symbol)
        assert_frame_equal(grouped.loc[expected.index], expected)
    assert_frame_equal(function(df, by="symbol", threads=3), grouped)
    by_symbol = df.sort_values("symbol", kind="stable")  # some symbols' rows one run, computed in place
    assert_frame_equal(function(by_symbol, by="symbol").loc[df.index], grouped)
    assert_frame_equal(function(df.astype({"date": "datetime64[s]"}), by="symbol"), grouped)
    by_level = function(df.set_index(["symbol", "date"], append=True), by="Symbol")
    np.testing.assert_array_equal(by_level.to_numpy(), grouped.to_numpy())
    polars_result = function(pl.from_pandas(df), by="symbol")
    assert isinstance(polars_result, pl.DataFrame)
    np.testing.assert_array_equal(polars_result.to_numpy(), grouped.to_numpy())
    for table in (df, df.astype({"symbol": "category"})):  # Dask samples a category as missing first
        dask_result = function(dd.from_pandas(table, npartitions=3, sort=False), by="symbol")  # lazy
        computed = dask_result.compute(scheduler="sync")
        assert sorted(computed.index) == sorted(df.index)
        assert_frame_equal(computed.loc[df.index], grouped, check_index_type=False)
    # Indexed by symbol: computed where the rows lie when the divisions split the symbols (a Parquet
    # row group may end with the first rows of the next one's first symbol), shuffled otherwise.
    for rows in (250, 100):
        by_symbol.to_parquet(tmp_path / f"{rows}.parquet", row_group_size=rows, index=False)
    for ddf, shuffled in [(dd.from_pandas(df, npartitions=3, sort=False).set_index("symbol", sort=False), True),
                          (dd.from_pandas(by_symbol.set_index("symbol"), npartitions=3), False),
                          (dd.from_pandas(by_symbol.astype({"symbol": "category"}).set_index("symbol"),
                                          npartitions=3), False),  # unordered categories: split by code
                          (dd.read_parquet(tmp_path / "250.parquet", index="symbol", calculate_divisions=True,
                                           split_row_groups=True), False),
                          (dd.read_parquet(tmp_path / "100.parquet", index="symbol", calculate_divisions=True,
                                           split_row_groups=True), True)]:
        dask_result = function(ddf, by="Symbol")
        assert dask_result.known_divisions != shuffled and ddf.npartitions > 2
        computed = dask_result.compute(scheduler="sync").sort_index(kind="stable")
        np.testing.assert_array_equal(computed.to_numpy(), grouped.loc[by_symbol.index].to_numpy())
    overlapping = dd.from_pandas(by_symbol, npartitions=3, sort=False).set_index(
        "symbol", sorted=True, divisions=("AAA", "BBB", "CCC", "DDD"))  # AAA rows beyond the first partition
    with pytest.raises(ValueError, match="partition 1 of the Dask DataFrame holds rows of 'AAA'"):
        function(overlapping, by="symbol").partitions[1].compute(scheduler="sync")
    # Text days read as the whole column says in every partition: AAA's days (each field at most 12)
    # alone would read month/day, in another order; the other symbols' days past the 12th say day/month.
    rank = df["date"].rank(method="dense").astype(int) - 1
    ambiguous = pd.to_datetime({"year": 2020 + rank // 144, "month": rank % 144 // 12 + 1, "day": rank % 12 + 1})
    text = df.assign(date=ambiguous.where(df["symbol"] == "AAA", df["date"]).dt.strftime("%d/%m/%Y"))
    assert_frame_equal(function(text, by="symbol"), grouped)
    aaa_alone = dd.from_pandas(text.sort_values("symbol", kind="stable").set_index("symbol"),
                               npartitions=2).repartition(divisions=["AAA", "BBB", "DDD"])
    shuffled = function(dd.from_pandas(text, npartitions=3, sort=False), by="symbol").compute(scheduler="sync")
    assert_frame_equal(shuffled.loc[df.index], grouped, check_index_type=False)
    in_place = function(aaa_alone, by="symbol").compute(scheduler="sync")
    np.testing.assert_array_equal(in_place.to_numpy(), grouped.loc[by_symbol.index].to_numpy())


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_many_symbols_of_unequal_lengths(function):
    """Enough symbols for the native threads to take several per batch, of unequal lengths,
    shuffled or sorted by symbol and time (read and written in place); and of equal lengths as a
    panel lists them (every symbol at every bar, in one order: found without sorting), and the same
    with two rows of one bar swapped (sorted)."""
    rng = np.random.default_rng(16)
    df = pd.concat(ohlc(n, seed).rename_axis("date").reset_index().assign(symbol=f"S{seed:02d}")
                   for seed, n in enumerate(rng.integers(40, 80, 48)))
    bars = 60
    panel = pd.concat(ohlc(bars, seed).rename_axis("date").reset_index().assign(symbol=f"P{seed:02d}")
                      for seed in range(48))
    panel_rows = (rng.permutation(48)[None, :] * bars + np.arange(bars)[:, None]).ravel()
    swapped = panel_rows.copy()
    swapped[[30 * 48, 30 * 48 + 1]] = swapped[[30 * 48 + 1, 30 * 48]]
    for table in (df.iloc[rng.permutation(len(df))].set_axis(np.arange(len(df))), df.set_axis(np.arange(len(df))),
                  panel.iloc[panel_rows].set_axis(np.arange(len(panel))),
                  panel.iloc[swapped].set_axis(np.arange(len(panel)))):
        grouped = function(table, by="symbol", threads=1)
        assert_frame_equal(function(table, by="symbol", threads=2), grouped)
        for symbol in table["symbol"].unique()[::3]:
            expected = alone(function, table, symbol)
            assert_frame_equal(grouped.loc[expected.index], expected)
    # Symbols that repeat every three rows, one of them twice (a category unused): sorted, not a panel.
    uneven = ohlc(60, 7).assign(symbol=pd.Categorical(["A", "A", "B"] * 20, categories=["A", "B", "C"]))
    grouped = function(uneven, by="symbol")
    for symbol in "AB":
        expected = function(uneven[uneven["symbol"] == symbol])
        assert_frame_equal(grouped.loc[expected.index], expected)


@pytest.mark.parametrize("seed", range(6))
def test_halftrend_of_a_panel_is_each_symbol_alone(seed):
    """A panel (every symbol at every bar, in one order) is computed with its symbols side by side:
    lanes left empty at its right edge, threads splitting the symbols, windows up to the longest it
    takes and one beyond, a given tr, ties of equal prices and of zeros of either sign, times in
    order or falling for one symbol (then sorted group by group).  So is a table in time order that
    is not one: bars missing (symbols of different lengths, lanes ending apart), each bar's rows in
    an order of its own, a bad row left out."""
    rng = np.random.default_rng(seed)
    symbols, bars = [(8, 40), (13, 37), (70, 25), (9, 2), (21, 30), (130, 12)][seed]
    close = 50 * np.exp(np.cumsum(rng.normal(0, 0.02, (bars, symbols)), axis=0))
    close[:, ::4] = np.round(close[:, ::4])  # equal highs and lows within windows
    high, low = close * (1 + rng.uniform(0, 0.01, close.shape)), close * (1 - rng.uniform(0, 0.01, close.shape))
    high[:, 1:3], low[:, 1:3], close[:, 1:3] = rng.choice([-2.0, -1.0, -0.0, 0.0, 1.0, 2.0], (3, bars, 2))
    table = pd.DataFrame({"date": np.repeat(np.arange(bars) * 86_400, symbols).astype("datetime64[s]"),
                          "symbol": np.tile([f"S{k:03d}" for k in rng.permutation(symbols)], bars),
                          "high": high.ravel(), "low": low.ravel(), "close": close.ravel(),
                          "tr": rng.uniform(0, 2, symbols * bars)})
    if seed % 2:
        falls = table.index[table["symbol"] == table["symbol"][3]][[bars // 2 - 1, bars // 2]]
        table.loc[falls, "date"] = table.loc[falls[::-1], "date"].to_numpy()
    for amplitude, tr in ((1, None), (2, None), (3, "tr"), (16, None), (17, "tr")):
        kwargs = {"amplitude": amplitude, "channel_deviation": 1.5, "tr": tr}
        grouped = frame.halftrend(table, by="symbol", threads=2, **kwargs)
        assert_frame_equal(frame.halftrend(table.drop(columns="date"), by="symbol", threads=1, **kwargs)
                           if seed % 2 == 0 else grouped, grouped)
        for symbol in table["symbol"].unique():
            expected = alone(frame.halftrend, table, symbol, **kwargs)
            assert_frame_equal(grouped.loc[expected.index], expected)

    gaps = table.drop(index=rng.choice(table.index[symbols:], len(table) // 12, replace=False))
    shuffled = table.iloc[np.argsort(table.index // symbols + rng.random(len(table)), kind="stable")]
    bad = gaps.index[len(gaps) // 2]
    holed = gaps.assign(close=gaps["close"].where(gaps.index != bad))
    for amplitude, tr in ((2, None), (5, None), (16, "tr")):
        kwargs = {"amplitude": amplitude, "channel_deviation": 1.5, "tr": tr}
        for other in (gaps, shuffled):
            grouped = frame.halftrend(other, by="symbol", threads=2, **kwargs)
            for symbol in other["symbol"].unique():
                expected = alone(frame.halftrend, other, symbol, **kwargs)
                assert_frame_equal(grouped.loc[expected.index], expected)
        skipped = frame.halftrend(holed, by="symbol", skip_bad_rows=True, threads=2, **kwargs)
        assert skipped.loc[bad].isna().all()
        symbol = holed.loc[bad, "symbol"]
        expected = alone(frame.halftrend, holed.drop(index=bad), symbol, **kwargs)
        assert_frame_equal(skipped.loc[expected.index], expected, check_dtype=False)


def test_grouped_passes_read_prices_where_numpy_put_them():
    """Prices a pickle or a buffer leaves at an odd address (as Dask hands them to a worker) give
    the results of aligned copies, shuffled (gathered by row) and sorted (read in place); and no
    codes (every row one group, in row order or by the times given) those of codes all 0."""
    rng = np.random.default_rng(5)
    n = 600
    calls = (lambda h, l, c, codes, groups=7, times=None: _grouped.halftrend(h, l, c, None, codes, groups, times, 2,
                                                                               2.0, 14, 1),
             lambda h, l, c, codes, groups=7, times=None: _grouped.atr(h, l, c, codes, groups, times, 14, 1),
             lambda h, l, c, codes, groups=7, times=None: _grouped.swing(c, codes, groups, times, 5, 2.0, 1))
    for codes in (rng.integers(0, 7, n), np.sort(rng.integers(0, 7, n))):
        aligned = [50 + rng.random(n).cumsum() for _ in range(3)]
        odd = [np.frombuffer(b"\0" + a.tobytes(), np.float64, count=n, offset=1) for a in aligned]
        for call in calls:
            for got, expected in zip(call(*odd, codes), call(*aligned, codes)):
                np.testing.assert_array_equal(got, expected)
    newest_first = np.arange(n, 0, -1, dtype=np.int64)
    for call, times in itertools.product(calls, (None, newest_first)):
        for got, expected in zip(call(*odd, None, 1, times), call(*odd, np.zeros(n, np.int64), 1, times)):
            np.testing.assert_array_equal(got, expected)
        with pytest.raises(ValueError, match="group"):
            call(*odd, None, 0)


def test_in_time_order_is_no_time_missing_and_none_falling():
    """Over the threads' stretches (two of 70,000 rows here) and their seam, read in place or strided."""
    nat = np.iinfo(np.int64).min
    rising = np.repeat(np.arange(70_000, dtype=np.int64), 2)
    cases = [rising, rising[:0], rising[:1], rising[::3], rising[::-1], np.full(5, nat)]
    for row, value in [(70_000, -1), (69_999, 10**9), (0, nat), (139_999, nat), (70_000, nat), (5, 3)]:
        cases.append(rising.copy())
        cases[-1][row] = value
    for times, threads in itertools.product(cases, (1, 2)):
        expected = not (times == nat).any() and bool(np.all(times[1:] >= times[:-1]))
        assert _grouped.in_time_order(times, threads) is expected


def test_long_tables_bad_rows_and_bad_symbol_columns():
    df = long_frame()
    holed = df.assign(close=df["close"].where(df.index != df.index[9]),
                      symbol=df["symbol"].where(df.index != df.index[30]))
    with pytest.raises(ValueError, match=f"row {df.index[9]}, column 'close': a missing value"):
        frame.halftrend(holed, by="symbol")
    with pytest.raises(ValueError, match=f"row {df.index[30]}, column 'symbol': a missing value"):
        frame.atr(holed.drop(index=df.index[9]), by="symbol")
    for column, value, problem in [("High", np.inf, "inf is not a finite number"), ("date", pd.NaT, "a missing value")]:
        with pytest.raises(ValueError, match=f"row {df.index[12]}, column '{column}': {problem}"):
            frame.atr(df.assign(**{column: df[column].where(df.index != df.index[12], value)}), by="symbol")
    huge = df.assign(High=df["High"].where(df.index != df.index[12], 1e300))  # finite, yet inf in float32
    with np.errstate(over="ignore"):  # the single-symbol call's float32 cast warns of the overflow
        expected = alone(frame.halftrend, huge, huge.loc[df.index[12], "symbol"], tr="close")
    assert_frame_equal(frame.halftrend(huge, by="symbol", tr="close").loc[expected.index], expected)
    skipped = frame.halftrend(holed, by="symbol", skip_bad_rows=True)
    assert skipped.loc[df.index[[9, 30]]].isna().all(axis=None)
    kept = frame.halftrend(holed.drop(index=df.index[[9, 30]]), by="symbol")
    assert_frame_equal(skipped.drop(index=df.index[[9, 30]]), kept, check_dtype=False)
    with pytest.raises(KeyError, match="no column 'ticker' to group the rows by"):
        frame.swing(df, by="ticker")
    with pytest.raises(TypeError, match="by='symbol' needs a DataFrame"):
        frame.swing(df["close"], by="symbol")
    with pytest.raises(ValueError, match="threads must be a whole number, at least 1, got 0"):
        frame.atr(df, by="symbol", threads=0)
    assert frame.atr(df.iloc[:0], by="symbol").empty
    x = np.ones(3)
    with pytest.raises(ValueError, match=r"codes\[2\] is 2: a group number is -1 \(left out\) or 0 .. 1"):
        _grouped.atr(x, x, x, np.arange(3), 2, None, 14, 1)


def test_one_column_averages_are_the_native_functions_on_float32():
    df = ohlc(200, 9)
    close = df["close"].to_numpy().astype(np.float32)
    for function, native in [(ewma, trend_v4.ewma(close, 0.2)), (ema2, trend_v4.ema2(close, 9)),
                             (tema3, trend_v4.tema3(close, 5))]:
        result = function(df)
        assert list(result.columns) == [function.__name__] and result.index.equals(df.index)
        np.testing.assert_array_equal(result[function.__name__].to_numpy(), native)
        assert_frame_equal(function(df["close"]), result)


def with_times(df, times):
    return df.assign(date=times)


@pytest.mark.parametrize("function", [frame.halftrend, ewma], ids=lambda f: f.__name__)
def test_time_columns_in_other_forms_order_the_rows_as_their_times(function):
    """Text, whole numbers, zones and far-apart years: the rows in the same time order as
    datetime64 times give them, newest-first included, with no warning."""
    pl = pytest.importorskip("polars")
    df = ohlc(120, 8).rename_axis("date").reset_index()
    want = function(df)
    newest = df.iloc[::-1]
    dates = newest["date"]
    far = df["date"].to_numpy().copy()
    far[0] = np.datetime64("1700-01-01")
    forms = [dates.dt.strftime("%Y-%m-%d"), dates.dt.strftime("%d/%m/%Y %H:%M"), dates.dt.strftime("%d-%b-%y"),
             dates.dt.strftime("%Y%m%d").astype(np.int64), dates.dt.tz_localize("UTC").dt.tz_convert("Asia/Tokyo"),
             dates.dt.strftime("%Y-%m-%d").astype("category"), dates.dt.strftime("%Y-%m-%d").astype("string[pyarrow]")]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for times in forms:
            assert_frame_equal(function(with_times(newest, times)), want.iloc[::-1])
            polars_result = function(pl.from_pandas(with_times(newest, times)))
            np.testing.assert_array_equal(polars_result.to_numpy(), want.iloc[::-1].to_numpy())
        for unit, last in (("s", "2999-01-01"), ("ns", "2200-01-01")):  # far apart: compared, never subtracted
            times = far.astype(f"datetime64[{unit}]")
            times[-1] = np.datetime64(last)
            np.testing.assert_array_equal(function(with_times(df, times)).to_numpy(), want.to_numpy())
        zoned = ohlc(120, 8).tz_localize("UTC").iloc[::-1]  # a zone in the index
        np.testing.assert_array_equal(function(zoned).to_numpy(), want.iloc[::-1].to_numpy())
    long = long_frame()
    grouped = function(long, by="symbol")
    zoned = long.assign(date=long["date"].dt.tz_localize("America/New_York"))
    for table in (long.assign(date=long["date"].dt.strftime("%m/%d/%Y")), zoned, pl.from_pandas(zoned)):
        np.testing.assert_array_equal(np.asarray(function(table, by="symbol").to_numpy()), grouped.to_numpy())
    # Texts repeated down a long table: the first bad row in row order is named, though a later
    # one holds a text that sorts first, and a bad text recurs further down.
    for day, impossible in [("%d/%m/%Y", "31/04/2020"), ("%Y-%m-%d", "2020-04-31")]:
        table = long.assign(date=long["date"].dt.strftime(day))
        table.iloc[[-60, -5, -50], table.columns.get_loc("date")] = ["zz", "zz", impossible]
        for given, row in [(table, table.index[-60]), (pl.from_pandas(table), len(table) - 60)]:
            with pytest.raises(ValueError, match=f"^row {row}, column 'date': 'zz' is not a date or time$"):
                function(given, by="symbol")
    # Over Dask, whole numbers read as the column's: AAA's YYYYMMDD days, alone in a partition, as seconds.
    by_symbol = long.sort_values("symbol", kind="stable")
    seconds = by_symbol["date"].astype("datetime64[s]").astype(np.int64)
    numbers = seconds.where(by_symbol["symbol"] != "AAA", by_symbol["date"].dt.strftime("%Y%m%d").astype(np.int64))
    ddf = dd.from_pandas(by_symbol.assign(date=numbers).set_index("symbol"), npartitions=2)
    computed = function(ddf.repartition(divisions=["AAA", "BBB", "DDD"]), by="symbol").compute(scheduler="sync")
    np.testing.assert_array_equal(computed.to_numpy(), grouped.loc[by_symbol.index].to_numpy())
    # Over Dask as over pandas, though each partition alone reads one way: AAA's partition of ISO or
    # day texts beside the others', days no one format reads, YYYYMMDD days (one impossible) beside seconds.
    aaa = by_symbol["symbol"] == "AAA"
    iso, day, us = (by_symbol["date"].dt.strftime(written) for written in ("%Y-%m-%d", "%d/%m/%Y", "%m/%d/%Y"))
    impossible = numbers.where(by_symbol.index != by_symbol.index[5], 20200231)
    for times in (iso.where(aaa, day), day.where(aaa, iso), day.where(aaa, us), impossible):
        table = by_symbol.assign(date=times)
        ddf = dd.concat([dd.from_pandas(table[aaa], npartitions=1, sort=False),
                         dd.from_pandas(table[~aaa], npartitions=2, sort=False)])
        try:
            want = function(table, by="symbol")
        except ValueError as exc:
            with pytest.raises(ValueError, match=f"^{re.escape(str(exc))}$"):
                function(ddf, by="symbol").compute(scheduler="sync")
        else:
            computed = function(ddf, by="symbol").compute(scheduler="sync")
            assert_frame_equal(computed.loc[table.index], want, check_index_type=False)
    # A time that is no time, or no such day, is named; a missing one is a bad row.
    for text, message in [("Jan 02 2020", "row 7, column 'date': 'Jan 02 2020' is not a date or time"),
                          ("2020-02-30", "row [0-9]+, column 'date': .* is not a date or time")]:
        table = df.assign(date=df["date"].dt.strftime("%Y-%m-%d").where(df.index != 7, text))
        for given in (table, pl.from_pandas(table)):
            with pytest.raises(ValueError, match=message):
                function(given)
    holed = df.assign(date=df["date"].where(df.index != 7))
    for table in (holed, pl.from_pandas(holed), holed.assign(date=holed["date"].dt.strftime("%Y-%m-%d"))):
        with pytest.raises(ValueError, match="row 7, column 'date': a missing value"):
            function(table)
        skipped = function(table, skip_bad_rows=True)
        kept = function(df.drop(index=7))
        skipped = (skipped if isinstance(skipped, pd.DataFrame) else skipped.to_pandas()).astype(float)
        np.testing.assert_array_equal(np.delete(skipped.to_numpy(), 7, axis=0),
                                      kept.to_numpy().astype(float))
    missing_in_index = ohlc(120, 8)
    missing_in_index.index = missing_in_index.index.where(np.arange(120) != 7)
    with pytest.raises(ValueError, match="row NaT, column 'when': a missing value"):
        function(missing_in_index)
    with pytest.raises(ValueError, match="column 'symbol': a missing value"):  # a NaN symbol, as pandas takes it
        function(pl.from_pandas(long.assign(symbol=long["symbol"].map({"AAA": 1.0, "BBB": np.nan, "CCC": 3.0,
                                                                        "DDD": 4.0}))), by="symbol")


TIME_POOLS = [["2023-01-05", "2023-01-05 10:00", "05/01/2023", "13/01/2023", "01/13/2023", "2023-02-30", "31/04/2023",
               "05-Jan-23", "20230105", "20230231", "1672900000000", "zz", " 05/01/2023 ", "2023.01.05", "05/01/23",
               "2023-01-05T10:00:00+02:00", "07/08/2023 10:30:15", "2023-1-5", None],
              [20230105, 20230231, 99991231, 1672900000, 1672900000000, -5, 253402300800001, 10**15, -10**12]]


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(TIME_POOLS).flatmap(lambda pool: st.lists(st.sampled_from(pool), min_size=1, max_size=4))
       .flatmap(lambda few: st.lists(st.sampled_from(few), min_size=1, max_size=40)),
       st.lists(st.integers(1, 39), max_size=3))
def test_a_time_column_reads_as_the_rows_its_parts_pick_do(times, cuts):
    """A column read whole, or only through the rows each part (a Dask partition) picks as deciding
    how it reads: the same form, or the same error naming the same row."""
    column = pd.DataFrame({"date": np.array(times, dtype=object)}, index=[f"r{k}" for k in range(len(times))])
    bounds = [0, *sorted({c for c in cuts if c < len(times)}), len(times)]
    parts = [column.iloc[start:end].drop_duplicates() for start, end in zip(bounds, bounds[1:])]
    picked = pd.concat([part.iloc[frame.time_witnesses(part)] for part in parts])
    outcomes = []
    for table in (column, picked):
        try:
            outcomes.append(frame.time_form(table))
        except ValueError as exc:
            outcomes.append(str(exc))
    assert outcomes[0] == outcomes[1]


PARAMETER_ERRORS = [
    (lambda df: frame.halftrend(df, channel_deviation=-1), "channel_deviation must be a finite number of at least 0, "
                                                           "got -1"),
    (lambda df: df.ornivex.halftrend(amplitude=1.5), "amplitude must be a whole number of at least 1, got 1.5"),
    (lambda df: frame.halftrend(df, atr_length=True), "atr_length must be a whole number of at least 1, got True"),
    (lambda df: frame.swing(df, multiplier=np.nan), "multiplier must be a finite number of at least 0, got nan"),
    (lambda df: frame.swing(df, period=0, by="symbol"), "period must be a whole number of at least 1, got 0"),
    (lambda df: frame.atr(df, length=-3), "length must be a whole number of at least 1, got -3"),
    (lambda df: frame.ewma(df, 0), r"alpha must be a finite number in \(0, 1\], got 0"),
    (lambda df: frame.ewma(df, float("inf")), r"alpha must be a finite number in \(0, 1\], got inf"),
    (lambda df: frame.ema2(df, 2.5), "length must be a whole number of at least 1, got 2.5"),
    (lambda df: frame.tema3(dd.from_pandas(df, npartitions=2), 0, by="symbol"), "length must be a whole number"),
    (lambda df: indicators.swing(df["close"], multiplier=-0.5), "multiplier must be a finite number of at least 0"),
    (lambda df: pytest.importorskip("polars").col("close").ornivex.ewma(1.01), r"alpha must be a finite number in"),
]


@pytest.mark.parametrize("call, message", PARAMETER_ERRORS)
def test_parameters_follow_one_rule(call, message):
    with pytest.raises(ValueError, match=message):
        call(ohlc(50, 1).assign(symbol="A"))


def test_accessors_namespaces_and_expressions_are_the_frame_functions():
    pl = pytest.importorskip("polars")
    df = long_frame()
    table = pl.from_pandas(df)
    for function, args in [(frame.halftrend, (3, 1.5)), (frame.swing, (5,)), (frame.atr, (20,)),
                           (frame.ewma, (0.3,)), (frame.ema2, (4,)), (frame.tema3, (6,))]:
        name = function.__name__
        want = function(df, *args, by="symbol")
        assert_frame_equal(getattr(df.ornivex, name)(*args, by="symbol"), want)
        eager = getattr(table.ornivex, name)(*args, by="symbol")
        np.testing.assert_array_equal(eager.to_numpy(), want.to_numpy())
        for lazy in (getattr(table.lazy().ornivex, name)(*args, by="symbol"),
                     function(table.lazy(), *args, by="symbol")):
            assert isinstance(lazy, pl.LazyFrame) and lazy.collect_schema() == eager.schema
            assert lazy.collect().equals(eager)
        assert getattr(df.ornivex, name).__doc__ == function.__doc__ == getattr(table.ornivex, name).__doc__
    # Expressions: each symbol's rows in time order (given `time`), or in row order.
    expression = {"ewma": (0.3, trend_v4.ewma), "ema2": (4, trend_v4.ema2), "tema3": (6, trend_v4.tema3)}
    in_time = df.sort_values(["symbol", "date"], kind="stable")
    for name, (parameter, native) in expression.items():
        over = table.with_columns(getattr(pl.col("close").ornivex, name)(parameter, time="date").over("symbol"))
        np.testing.assert_array_equal(over["close"].to_numpy(),
                                      getattr(frame, name)(df, parameter, by="symbol")[name].to_numpy())
        plain = pl.from_pandas(in_time).select(getattr(pl.col("close").ornivex, name)(parameter).over("symbol"))
        for symbol in ("AAA", "BBB", "DDD"):
            rows = (in_time["symbol"] == symbol).to_numpy()
            np.testing.assert_array_equal(plain["close"].to_numpy()[rows],
                                          native(in_time["close"].to_numpy()[rows].astype(np.float32), parameter))
    # .over takes every group in one call: the same as polars' own call per group, for any partition.
    keyed = table.with_columns(pl.when(pl.col("symbol") != "CCC").then(pl.col("symbol")), parity=pl.col("LOW") > 50)
    for name, (parameter, _) in expression.items():
        for time in (None, "date"):
            average = getattr(pl.col("close").ornivex, name)(parameter, time=time)
            for keys in (["symbol"], ["parity"], ["symbol", pl.col("close").round() % 3]):
                np.testing.assert_array_equal(keyed.select(average.alias("x").over(*keys))["x"].to_numpy(),
                                              keyed.select(pl.Expr.over(average, *keys)).to_series().to_numpy())
    with pytest.raises(ValueError, match=r"^'close', row 7: a missing or non-finite value"):
        keyed.with_columns(close=pl.when(pl.int_range(pl.len()) != 7).then("close")).select(average.over("symbol"))


def test_a_backtesting_strategy_on_halftrend_signals_needs_no_glue():
    from backtesting import Backtest, Strategy
    from backtesting.test import GOOG

    class HalfTrendStrategy(Strategy):
        def init(self):
            self.signal = self.I(lambda: self.data.df.ornivex.halftrend()["signal"], name="signal")

        def next(self):
            if self.signal[-1] == 1 and not self.position.is_long:
                self.position.close()
                self.buy()
            elif self.signal[-1] == -1 and not self.position.is_short:
                self.position.close()
                self.sell()

    stats = Backtest(GOOG, HalfTrendStrategy, cash=100_000, finalize_trades=True).run()
    signals = frame.halftrend(GOOG)["signal"]
    assert stats["# Trades"] == (signals != 0).sum() - (signals.to_numpy()[-1] != 0)
    np.testing.assert_array_equal(stats._strategy.signal, signals.to_numpy())


def same_partition(codes, expected):
    """The codes tell the same rows apart as `expected` does, and the same rows missing."""
    pairs = set(zip(codes.tolist(), expected.tolist()))
    distinct = len(set(codes.tolist())), len(set(expected.tolist()))
    return np.array_equal(codes < 0, expected < 0) and len(pairs) == distinct[0] == distinct[1]


@pytest.mark.parametrize("arrow_type", ["string", "large_string", "string_view"])
def test_string_symbols_are_numbered_as_factorize_numbers_them(arrow_type):
    pa, pl = pytest.importorskip("pyarrow"), pytest.importorskip("polars")
    rng = np.random.default_rng(len(arrow_type))
    n = 3 * 2**16 + 500  # three stretches of rows for three threads
    # Strings alike in their words but not their lengths, long ones alike in their last 16 bytes,
    # empty, non-ASCII, and thousands more to merge across the stretches.
    # Characters of 1, 2 and 4 bytes, and strings of different widths with equal bytes.
    tricky = ["", "A", "A\0", "AB", "ABC", "ABCD", "ABCDABCD", "S00001", "é", "ée", "株式会社", "x" * 16, "x" * 17,
              "y" + "x" * 16, "x" * 40, "z" + "x" * 39, "AAPL", "AAPL\0", "\u0100", "\0\x01", "😀", "\0\0\x01\0",
              "Ā" * 8, "s" * 5000]
    values = np.where(rng.random(n) < 0.5, np.array(tricky, dtype=object)[rng.integers(0, len(tricky), n)],
                      np.char.add("S", rng.integers(0, 20_000, n).astype(str)).astype(object))
    values[rng.random(n) < 0.05] = None
    strings = pa.array(values, getattr(pa, arrow_type)())
    cuts = np.sort(rng.integers(0, n, 2))
    chunked = pa.chunked_array([strings[:cuts[0]], strings[:0], strings[cuts[0]:cuts[1]], strings[cuts[1]:]])
    for array, rows in [(strings, values), (strings.slice(11), values[11:]), (chunked, values),
                        (strings[:0], values[:0])]:
        expected, uniques = pd.factorize(rows)  # in order of first appearance, -1 for None
        for threads in (1, 3):
            codes, count = symbols.numbers(pd.Series(pd.arrays.ArrowExtensionArray(array)), threads)
            np.testing.assert_array_equal(codes, expected)
            assert codes.dtype == np.int64 and count == len(uniques)
    if arrow_type == "string":  # the same strings as Python objects
        objects = [values, np.array([v if v is None else "".join(list(v)) for v in values], dtype=object)]
        missing = values == None  # noqa: E711
        objects[1][missing] = rng.choice(np.array([None, np.nan, pd.NA], dtype=object), missing.sum())
        objects.append(np.append(objects[1], [3, None]))  # a row of no string: numbered by pandas
        objects.append(np.append(objects[1], [type("Ticker", (str,), {})("AAPL")]))
        for rows in objects + [objects[1][::-3]]:
            expected, uniques = pd.factorize(rows)
            for column in (pd.Series(rows, dtype=object), pd.Index(rows, dtype=object)):
                for threads in (1, 3):
                    codes, count = symbols.numbers(column, threads)
                    np.testing.assert_array_equal(codes, expected)
                    assert codes.dtype == np.int64 and count == len(uniques)
        python = pd.Series(values, dtype=pd.StringDtype("python"))
        np.testing.assert_array_equal(symbols.numbers(python, 2)[0], pd.factorize(values)[0])
        with pytest.raises(ValueError, match="objects must be a one-dimensional array of objects"):
            _grouped.object_codes(np.array([["A"]], dtype=object), (), 1)
    for dtype in (pl.String, pl.Categorical, pl.Enum(sorted(set(tricky) | set(values[values != None])))):  # noqa: E711
        column = pl.Series(values[:5000].tolist(), dtype=pl.String).cast(dtype)
        for rows in (slice(None), slice(-50, None)):  # the tail's categories outnumber its rows
            codes, count = symbols.numbers(column[rows], 2)
            assert same_partition(codes, pd.factorize(values[:5000][rows])[0]) and count == codes.max() + 1


@pytest.mark.parametrize("offsets, data, validity, message", [
    ([0, 3, 2], b"abc", None, r"offsets\[2\] is 2: string offsets never fall and stay within the 3 bytes of data"),
    ([0, 4], b"abc", None, r"offsets\[1\] is 4: string offsets never fall"),
    ([-1, 0], b"abc", None, r"offsets\[0\] is -1: string offsets never fall"),
    ([], b"abc", None, r"offsets is empty: a column of n strings has n \+ 1 offsets"),
    (list(range(17)), b"x" * 16, b"\xff", r"validity has 1 bytes, too few for bits 3 .. 18"),
    ([0, 1], b"abcd", None, "data must be contiguous"),
])
def test_string_codes_refuses_what_is_not_a_string_column(offsets, data, validity, message):
    data = np.frombuffer(data, np.uint8)
    bits = None if validity is None else np.frombuffer(validity, np.uint8)
    for offset_type in (np.int32, np.int64):
        with pytest.raises(ValueError, match=message):
            _grouped.string_codes(np.array(offsets, offset_type), data if len(data) != 4 else data[::2], bits, 3, 1)


def string_views(*views):
    """Arrow's 16-byte views of (length, inline bytes) or (length, prefix, buffer, offset)."""
    def one(length, text, *where):
        return np.int32(length).tobytes() + (text + np.array(where, np.int32).tobytes() if where else text.ljust(12, b"\0"))
    return np.frombuffer(b"".join(one(*view) for view in views), np.uint8)


@pytest.mark.parametrize("views, buffers, message", [
    (string_views((13, b"abcd", 1, 0)), (b"x" * 20,), r"views\[0\] is no string of the 1 data buffers"),
    (string_views((3, b"abc"), (13, b"abcd", 0, 8)), (b"x" * 20,), r"views\[1\] is no string of the 1 data buffers"),
    (string_views((13, b"abcd", 0, -1)), (b"x" * 20,), r"views\[0\] is no string"),
    (string_views((-1, b"")), (), r"views\[0\] is no string of the 0 data buffers"),
    (string_views((3, b"abc"))[:15], (), r"views has 15 bytes: a string's view has 16"),
])
def test_string_view_codes_refuses_views_outside_their_buffers(views, buffers, message):
    with pytest.raises(ValueError, match=message):
        _grouped.string_view_codes(views, tuple(np.frombuffer(b, np.uint8) for b in buffers), None, 0, 1)
    codes, first_rows = _grouped.string_view_codes(string_views((3, b"abc"), (13, b"abcd", 0, 7), (3, b"abc")),
                                                   (np.full(20, 120, np.uint8),), np.array([0b101], np.uint8), 0, 1)
    assert codes.tolist() == [0, -1, 0] and first_rows.tolist() == [0]
