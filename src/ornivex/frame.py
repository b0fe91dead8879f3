"""DataFrame adapters: the indicators over pandas, polars or Dask price tables.

    from ornivex import frame
    ht = frame.halftrend(df)           # df has high, low, close columns (any case)
    rf = frame.swing(df)               # or frame.swing(df["Close"])
    tr = frame.atr(df, length=100)
    e = frame.ewma(df, 0.1)            # and frame.ema2(df, 20), frame.tema3(df, 20)
    ht = df.ornivex.halftrend()        # the same, as a pandas accessor or a polars namespace

Each function returns a new DataFrame of named columns, one row per input
row in the input's own row order: a pandas result has the index of its input,
a polars result (for polars input) has one row per input row, a LazyFrame
gives a LazyFrame whose ``collect()`` is that result, and a Dask DataFrame
(with ``by``) gives a lazy Dask DataFrame.

Rows are computed in time order.  The time order is that of a time column
(named date, time, datetime or timestamp, or any column of a date or time
type in a polars frame) or of a datetime index (or an index level so named).
Times given as text or whole numbers are read by the command's own rules
(ISO 8601, ``31-Jan-24``, ``01/31/2024``, ``20240131``, epoch seconds...),
and a time that is none of them raises ValueError naming its row and column:
rows are never ordered by text.  Times with a zone are their UTC instants.
A frame whose rows run newest-first is computed oldest-first and its results
put back on their own rows.  Rows whose times go both ways raise ValueError.
A frame with no time column or index is computed in its row order.

Missing or non-finite prices (NaN, None, pandas.NA, inf) and missing times
(NaT, null) raise ValueError naming the first such row's label and column.
With ``skip_bad_rows=True`` those rows are left out of the computation
instead, and their results are NaN (null in the integer columns, which are
then nullable).

Long tables of many symbols: with ``by="symbol"`` (a column, or a level of a
pandas index) every symbol's rows are computed on their own, in time order,
whatever order the rows come in (symbols interleaved, newest-first, shuffled),
and the results are put back on the input's rows.  A symbol's values are those
the same call gives for that symbol's rows alone: a symbol whose rows run
oldest-first or newest-first is taken exactly as the single-symbol call takes
it, and one whose rows are in neither order is sorted by time (rows of equal
time keep their input order).  ``threads`` spreads the symbols over native
threads (default: the number of cores); the results do not depend on it.  A
missing symbol (None, null, NaN) or time is a bad row like a missing price; a
symbol whose rows are all left out gets NaN (null) results, and an empty frame
an empty result.  A Dask DataFrame with ``by`` (a column, or the index) gives a
lazy Dask DataFrame, each partition computed by this route; one indexed by
symbol with known divisions is computed where its rows lie, others are
shuffled on the symbols first (see ``ornivex._dask_frames``).

Precision, made explicit here because the two native modules differ:

- :func:`halftrend`, :func:`ewma`, :func:`ema2` and :func:`tema3` round their
  inputs to float32 once (to nearest) and return float32 columns;
  halftrend's ``tr`` input is :func:`atr`, computed in float64 and rounded to
  float32 once.
- :func:`swing` and :func:`atr` compute and return float64.

Values not defined yet are missing, never numbers that look real: the swing
bands are NaN for the first 3 * (period - 1) bars (bar 0 at least), and
halftrend's arrow prices are NaN on bars without that arrow.

Parameters follow :mod:`ornivex.parameters`: bar counts are whole numbers of
at least 1, widths finite and at least 0, alpha finite in (0, 1].
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TypeVar, overload

import numpy as np

from ornivex import _dask_frames, _grouped, bars, indicators, parameters, symbols

if TYPE_CHECKING:
    import dask.dataframe
    import pandas
    import polars

Frame = TypeVar("Frame", "pandas.DataFrame", "polars.DataFrame", "polars.LazyFrame", "dask.dataframe.DataFrame")

_ORDER_RULE = """
    Rows are computed in time order (a time column or datetime index; text
    times read by the command's rules; newest-first rows computed oldest-first
    and put back), and the result has one row per input row, in the input's
    row order (a pandas result keeps the input's index).  A missing price or
    time raises ValueError naming its row, or with `skip_bad_rows` the row is
    left out and gets missing results.  `by` names the symbol column (or pandas
    index level) of a long table, each symbol computed on its own rows in time
    order; `threads` spreads the symbols over native threads."""


def halftrend(df: Frame, amplitude: int = indicators.AMPLITUDE,
              channel_deviation: float = indicators.CHANNEL_DEVIATION,
              atr_length: int = indicators.ATR_LENGTH, *, tr: Any = None, skip_bad_rows: bool = False,
              by: str | None = None, threads: int | None = None) -> Frame:
    """HalfTrend of the high, low and close columns of `df` (names matched without regard to case).

    Columns: "halftrend", "atrHigh", "atrLow" (float32); "arrowUp", "arrowDown"
    (float32: the arrow's price on a buy or sell bar, NaN on other bars);
    "buy", "sell" (int64: 1 on a signal bar, else 0); "trend" (int8: 0 in an
    up-trend, 1 in a down-trend); "atr" (float32: the range input); "signal"
    (int8: +1 on a buy bar, -1 on a sell bar, 0 otherwise).

    The prices are rounded to float32 once.  `tr` (a column name, Series or
    array, in the frame's row order) replaces the average true range of
    `atr_length` bars as the per-bar range input.
    """
    amplitude = parameters.whole_number(amplitude, "amplitude")
    channel_deviation = parameters.width(channel_deviation, "channel_deviation")
    atr_length = parameters.whole_number(atr_length, "atr_length")
    options = dict(amplitude=amplitude, channel_deviation=channel_deviation, atr_length=atr_length, tr=tr,
                   skip_bad_rows=skip_bad_rows)
    if _is_lazy(df):
        return _lazily(halftrend, df, by=by, threads=threads, **options)
    if _dask_frames.is_dask(df):
        return _dask_frames.per_symbol(halftrend, df, by, threads, **options)
    _require_frame(df, "halftrend", "high, low and close columns")
    high, low, close = _columns(df, "high", "low", "close")
    if isinstance(tr, str):
        (tr,) = _columns(df, tr)
    elif tr is not None:
        tr = _values(tr, "tr")
    keys = (*indicators.HALFTREND_KEYS, "trend", "atr", "signal")

    def compute(high: np.ndarray, low: np.ndarray, close: np.ndarray, *tr: np.ndarray) -> dict[str, np.ndarray]:
        columns = indicators.halftrend(high, low, close, amplitude=amplitude, channel_deviation=channel_deviation,
                                       atr_length=atr_length, tr=tr[0] if tr else None)
        return {key: columns[key] for key in keys}

    def grouped(groups: _Groups, threads: int) -> dict[str, np.ndarray]:
        return groups.results(keys, _grouped.halftrend(high, low, close, tr, *groups.native(), amplitude,
                                                       channel_deviation, atr_length, threads))

    prices = {"high": high, "low": low, "close": close}
    return _computed(df, prices, [high, low, close] + ([] if tr is None else [tr]), compute, grouped,
                     skip_bad_rows, by, threads, native=True)


@overload
def swing(df_or_close: pandas.Series, period: int = ..., multiplier: float = ..., *, column: str = ...,
          skip_bad_rows: bool = ..., by: str | None = ..., threads: int | None = ...) -> pandas.DataFrame: ...
@overload  # pandas without its stubs is Any to mypy, which then takes this one for never matched
def swing(  # type: ignore[overload-cannot-match,unused-ignore]
          df_or_close: polars.Series, period: int = ..., multiplier: float = ..., *, column: str = ...,
          skip_bad_rows: bool = ..., by: str | None = ...,
          threads: int | None = ...) -> polars.DataFrame: ...
@overload
def swing(  # type: ignore[overload-cannot-match,unused-ignore]
          df_or_close: Frame, period: int = ..., multiplier: float = ..., *, column: str = ...,
          skip_bad_rows: bool = ..., by: str | None = ...,
          threads: int | None = ...) -> Frame: ...
def swing(df_or_close: Any, period: int = indicators.SWING_PERIOD,
          multiplier: float = indicators.SWING_MULTIPLIER, *, column: str = "close",
          skip_bad_rows: bool = False, by: str | None = None, threads: int | None = None) -> Any:
    """The swing indicator of a close series: its band and range filter (float64).

    `df_or_close` is a DataFrame (its `column` is used) or a Series of closes.
    Columns: "rangeHigh", "rangeLow" (the band: NaN for the first
    3 * (period - 1) bars, bar 0 at least), "rangeFilter" (the filter line,
    holding the first close until the band has values); all float64.
    """
    period = parameters.whole_number(period, "period")
    multiplier = parameters.width(multiplier, "multiplier")
    options = dict(period=period, multiplier=multiplier, column=column, skip_bad_rows=skip_bad_rows)
    if _is_lazy(df_or_close):
        return _lazily(swing, df_or_close, by=by, threads=threads, **options)
    if _dask_frames.is_dask(df_or_close):
        return _dask_frames.per_symbol(swing, df_or_close, by, threads, **options)
    close, name = _one_column(df_or_close, column)
    needed = indicators.swing_bars_needed(period)

    def compute(close: np.ndarray) -> dict[str, np.ndarray]:
        return indicators.swing(close, period=period, multiplier=multiplier)

    def grouped(groups: _Groups, threads: int) -> dict[str, np.ndarray]:
        columns = groups.results(indicators.SWING_KEYS, _grouped.swing(close, *groups.native(), period, multiplier,
                                                                       threads))
        first_bars = groups.first_bars(needed)
        for key in indicators.SWING_KEYS[:2]:
            columns[key][first_bars] = np.nan
        return columns

    return _computed(df_or_close, {name: close}, [close], compute, grouped, skip_bad_rows, by, threads)


def atr(df: Frame, length: int = indicators.ATR_LENGTH, *, skip_bad_rows: bool = False,
        by: str | None = None, threads: int | None = None) -> Frame:
    """True range and Wilder's average true range over `length` bars of the high, low and close columns.

    Columns: "trueRange", "atr" (float64, computed in float64).  See
    :func:`ornivex.indicators.average_true_range` for the exact recursion.
    """
    length = parameters.whole_number(length, "length")
    if _is_lazy(df):
        return _lazily(atr, df, by=by, threads=threads, length=length, skip_bad_rows=skip_bad_rows)
    if _dask_frames.is_dask(df):
        return _dask_frames.per_symbol(atr, df, by, threads, length=length, skip_bad_rows=skip_bad_rows)
    _require_frame(df, "atr", "high, low and close columns")
    high, low, close = _columns(df, "high", "low", "close")

    finite = [True]

    def compute(high: np.ndarray, low: np.ndarray, close: np.ndarray) -> dict[str, np.ndarray]:
        true_range, average, finite[0] = _grouped.series_atr(high, low, close, length)
        return {"trueRange": true_range, "atr": average}

    def grouped(groups: _Groups, threads: int) -> dict[str, np.ndarray]:
        return groups.results(("trueRange", "atr"), _grouped.atr(high, low, close, *groups.native(), length, threads))

    # One series: one pass over views gives both columns and says whether every price was finite
    # (else the prices are looked at one by one); the grouped pass would sort and place rows.
    return _computed(df, {"high": high, "low": low, "close": close}, [high, low, close], compute, grouped,
                     skip_bad_rows, by, threads, sound=lambda _: finite[0])


def ewma(df: Frame, alpha: float, *, column: str = "close", skip_bad_rows: bool = False,
         by: str | None = None, threads: int | None = None) -> Frame:
    """The exponentially weighted moving average of `column`, weight `alpha` on the newest value.

    Column: "ewma" (float32).  The values are rounded to float32 once and
    averaged in float32: element 0 is the first value, then
    alpha * value + (1 - alpha) * previous.  `df` may be a Series.
    """
    alpha = parameters.alpha(alpha)
    return _one_series(ewma, df, "ewma", lambda values: indicators.ewma(values, alpha), column, skip_bad_rows, by,
                       threads, alpha=alpha)


def ema2(df: Frame, length: int, *, column: str = "close", skip_bad_rows: bool = False,
         by: str | None = None, threads: int | None = None) -> Frame:
    """The EMA of `length` bars of `column`: the EWMA with alpha 2 / (length + 1).

    Column: "ema2" (float32).  The values are rounded to float32 once and
    averaged in float32.  `df` may be a Series.
    """
    length = parameters.whole_number(length, "length")
    return _one_series(ema2, df, "ema2", lambda values: indicators.ema2(values, length), column, skip_bad_rows, by,
                       threads, length=length)


def tema3(df: Frame, length: int, *, column: str = "close", skip_bad_rows: bool = False,
          by: str | None = None, threads: int | None = None) -> Frame:
    """The triple EMA of `length` bars of `column`: 3 * (E1 - E3) + 3 * (E3 - E4) + E4,
    Ek being the k-fold EMA of `length` bars.

    Column: "tema3" (float32).  The values are rounded to float32 once and
    every step is a float32 operation.  `df` may be a Series.
    """
    length = parameters.whole_number(length, "length")
    return _one_series(tema3, df, "tema3", lambda values: indicators.tema3(values, length), column, skip_bad_rows,
                       by, threads, length=length)


for _function in (halftrend, swing, atr, ewma, ema2, tema3):
    _function.__doc__ = (_function.__doc__ or "").rstrip() + "\n" + _ORDER_RULE.rstrip() + "\n    "


def _one_series(function: Callable[..., Any], obj: Any, name: str, kernel: Callable[[np.ndarray], np.ndarray],
                column: str, skip_bad_rows: bool, by: str | None, threads: int | None, **parameter: Any) -> Any:
    """A one-column float32 average (`kernel`) of `column` of `obj`, as the column `name`."""
    options = dict(column=column, skip_bad_rows=skip_bad_rows, **parameter)
    if _is_lazy(obj):
        return _lazily(function, obj, by=by, threads=threads, **options)
    if _dask_frames.is_dask(obj):
        return _dask_frames.per_symbol(function, obj, by, threads, **options)
    values, source = _one_column(obj, column)
    rounded = values.astype(np.float32)  # once, to nearest; not finite where the value is not

    def compute(values: np.ndarray) -> dict[str, np.ndarray]:
        return {name: kernel(values)}

    def grouped(groups: _Groups, threads: int) -> dict[str, np.ndarray]:
        if not groups.nullable:
            groups.bad_rows()  # raises for the first bad row, if any
        return {name: groups.each(kernel, rounded)}

    # A missing or infinite value makes every later average NaN or infinite: a finite last one says none was.
    return _computed(obj, {source: values}, [rounded], compute, grouped, skip_bad_rows, by, threads,
                     sound=lambda columns: bool(np.isfinite(columns[name][-1])))


def in_time_order(kernel: Callable[[np.ndarray], np.ndarray], df: Any, column: str) -> np.ndarray:
    """`kernel` over `column` of `df` (rounded to float32) in time order, on the frame's rows: as
    one symbol's rows of a long table are taken (forwards, reversed, or else sorted by time, ties
    in row order).  A missing value or time raises ValueError naming the row."""
    values, name = _one_column(df, column)
    time_name, times = _time_source(df)
    _bad_rows(df, {name: values}, {} if times is None else {time_name: np.isnat(times)}, False)
    rounded = values.astype(np.float32)
    if times is None or not np.any(times[1:] < times[:-1]):
        return kernel(rounded) if len(rounded) else rounded
    order = np.arange(len(times))[::-1] if not np.any(times[1:] > times[:-1]) else np.argsort(times, kind="stable")
    result = np.empty_like(rounded)
    result[order] = kernel(rounded[order])
    return result


def _one_column(obj: Any, column: str) -> tuple[np.ndarray, str]:
    """The values of a Series, or of the column `column` of a frame, and the name to report them by."""
    if _is_frame(obj):
        (values,) = _columns(obj, column)
        return values, column
    return _values(obj, column), str(getattr(obj, "name", None) or column)


def _lazily(function: Callable[..., Any], lazy: Any, **options: Any) -> Any:
    """`function` over a polars LazyFrame, as a LazyFrame: the whole frame is one batch (no filter,
    projection or slice is pushed below it, since every row's value depends on the rows before it)."""
    import polars

    if isinstance(options.get("tr"), polars.Series) or not isinstance(options.get("tr"), (str, type(None))):
        raise TypeError(f"{function.__name__} over a LazyFrame takes tr= as a column name")
    schema = _result_schema(function.__name__, options)
    return lazy.map_batches(lambda df: function(df, **options), schema=schema, predicate_pushdown=False,
                            projection_pushdown=False, slice_pushdown=False)


def _result_schema(name: str, options: dict[str, Any]) -> dict[str, Any]:
    import polars

    if name == "halftrend":
        return {**{key: polars.Float32 for key in indicators.HALFTREND_KEYS[:5]}, "buy": polars.Int64,
                "sell": polars.Int64, "trend": polars.Int8, "atr": polars.Float32, "signal": polars.Int8}
    if name == "swing":
        return {key: polars.Float64 for key in indicators.SWING_KEYS}
    if name == "atr":
        return {"trueRange": polars.Float64, "atr": polars.Float64}
    return {name: polars.Float32}


def _is_lazy(obj: Any) -> bool:
    return _is_polars(obj) and type(obj).__name__ == "LazyFrame"


def _computed(obj: Any, prices: dict[str, np.ndarray], arrays: list[np.ndarray],
              compute: Callable[..., dict[str, np.ndarray]], grouped: Callable[[_Groups, int], dict[str, np.ndarray]],
              skip_bad_rows: bool, by: str | None, threads: int | None, *,
              native: bool = False, sound: Callable[[dict[str, np.ndarray]], bool] | None = None) -> Any:
    """`compute` over the rows of `obj` in time order, or with `by` `grouped` over
    each symbol's rows, as a frame on the rows of `obj`.

    A frame whose rows run one way in time, with no time missing, takes a shorter road unless bad
    rows are to be skipped: with `native`, `grouped` over the whole frame as one symbol (which
    says itself whether every row was sound); else `compute` over the rows as they are or
    reversed, `sound` telling from its results that no value was bad (None: the prices are checked)."""
    thread_count = _thread_count(threads)
    if by is None:
        direction = None if skip_bad_rows else _direction(obj)
        if direction is not None and native:
            whole = _Groups.whole(obj, prices, direction)
            return _frame(obj, {name: (values, None) for name, values in grouped(whole, 1).items()})
        if direction is not None:
            columns = compute(*(np.asarray(a)[::direction] for a in arrays))
            if sound is None or not sound(columns):
                _bad_rows(obj, prices, {}, False)  # raises for the first bad row, if any
            return _frame(obj, {name: (values[::direction], None) for name, values in columns.items()})
        rows = _Rows.of(obj, prices, skip_bad_rows)
        return _frame(obj, {name: rows.place(values) for name, values in compute(*rows.take(*arrays)).items()})
    groups = _Groups.of(obj, by, prices, skip_bad_rows, thread_count)
    missing = groups.codes < 0 if groups.nullable else None
    return _frame(obj, {name: (values, missing) for name, values in grouped(groups, thread_count).items()})


def _direction(obj: Any) -> int | None:
    """1 when the rows of `obj` run forwards in time (or it has no times), -1 when backwards, with
    no time missing and at least one row; None otherwise (the rows are then looked at one by one)."""
    index: Any = getattr(obj, "index", None)
    if type(index).__name__ == "DatetimeIndex" and not any(map(_is_time_name, getattr(obj, "columns", ()))):
        # A pandas index keeps its order and missing times once found: no pass over the times per call.
        if len(index) == 0 or index.hasnans:
            return None
        return 1 if index.is_monotonic_increasing else -1 if index.is_monotonic_decreasing else None
    _, times = _time_source(obj)
    size = len(obj)
    if times is None:
        return 1 if size else None
    keys = times.view(np.int64)  # NaT is the smallest: only a leading (or trailing) one hides in an order
    if size == 0 or keys[0] == _MISSING_TIME or keys[-1] == _MISSING_TIME:
        return None
    if np.all(keys[1:] >= keys[:-1]):
        return 1
    if np.all(keys[1:] <= keys[:-1]):
        return -1
    return None


@dataclass(frozen=True)
class _Rows:
    """The input rows computed, in time order, out of `size` rows: `positions`, or
    (None) every row, forwards or (`backwards`) newest-first."""

    positions: np.ndarray | None
    backwards: bool
    size: int
    nullable: bool  # rows may be missing from the results: integer columns become nullable

    @classmethod
    def of(cls, obj: Any, prices: dict[str, np.ndarray], skip_bad_rows: bool) -> _Rows:
        size = len(next(iter(prices.values())))
        time_name, times = _time_source(obj)
        unknown = {} if times is None else {time_name: np.isnat(times)}
        bad = _bad_rows(obj, prices, unknown, skip_bad_rows)
        kept = np.flatnonzero(~bad) if bad.any() else None
        if times is None:
            return cls(kept, False, size, skip_bad_rows)
        keys = times if kept is None else times[kept]

        def error(problem: str, i: int) -> ValueError:
            row = i if kept is None else int(kept[i])
            return ValueError(f"row {_label(obj, row)}, column {time_name!r}: {keys[i]} {problem}; sort them first")

        order = bars.time_order(keys, error)
        backwards = len(order) > 1 and order[0] > order[-1]
        if kept is None:
            return cls(None, backwards, size, skip_bad_rows)
        return cls(kept[::-1] if backwards else kept, False, size, skip_bad_rows)

    def take(self, *arrays: np.ndarray) -> list[np.ndarray]:
        if self.positions is None:
            return [np.asarray(a)[::-1] if self.backwards else np.asarray(a) for a in arrays]
        return [np.asarray(a)[self.positions] for a in arrays]

    def place(self, values: np.ndarray) -> tuple[np.ndarray, np.ndarray | None]:
        """Per-row results on the input's own rows; the mask of rows without a result, if any may lack one."""
        if self.positions is None:
            placed = values[::-1] if self.backwards else values
            return placed, (np.zeros(self.size, dtype=bool) if self.nullable else None)
        return indicators.put_back(values, self.positions, self.size, nullable=self.nullable)


@dataclass(frozen=True)
class _Groups:
    """The rows of a long table by symbol: a symbol number per row (-1 for a row
    left out), and the times that order each symbol's rows (None: row order)."""

    codes: np.ndarray  # int64
    count: int
    times: np.ndarray | None  # int64, in the time column's unit
    nullable: bool
    bad_rows: Callable[[], np.ndarray]  # the rows with a missing or non-finite value; unless nullable, raises
    one_run: bool = False  # every row one symbol, in row order: the native passes need no codes

    @classmethod
    def of(cls, obj: Any, by: str, prices: dict[str, np.ndarray], skip_bad_rows: bool, threads: int) -> _Groups:
        if not _is_frame(obj):
            raise TypeError(f"by={by!r} needs a DataFrame with a symbol column, got a Series")
        name, symbol_column = _symbol_column(obj, by)
        codes, count = symbols.numbers(symbol_column, threads)
        time_name, times = _time_source(obj)

        def bad_rows() -> np.ndarray:
            unknown = {name: codes < 0} | ({} if times is None else {time_name: np.isnat(times)})
            return _bad_rows(obj, prices, unknown, skip_bad_rows)

        if skip_bad_rows:
            bad = bad_rows()
            if bad.any():
                codes = np.where(bad, -1, codes)
        keys = None if times is None else times.view(np.int64)
        if keys is not None and _grouped.in_time_order(keys, threads):
            keys = None  # a table in time order (no time missing): each symbol's rows already are
        return cls(codes, count, keys, skip_bad_rows, bad_rows)

    @classmethod
    def whole(cls, obj: Any, prices: dict[str, np.ndarray], direction: int) -> _Groups:
        """Every row of `obj`, one symbol, running forwards (`direction` 1) or backwards (-1) in time."""
        size = len(next(iter(prices.values())))
        times = None if direction == 1 else _time_source(obj)[1]
        return cls(np.zeros(size, dtype=np.int64), 1, None if times is None else times.view(np.int64), False,  # codes unread
                   lambda: _bad_rows(obj, prices, {}, False), one_run=True)

    def native(self) -> tuple[np.ndarray | None, int, np.ndarray | None]:
        """codes, groups and times, as the native functions of ornivex._grouped take them."""
        return None if self.one_run else self.codes, self.count, self.times

    def results(self, names: tuple[str, ...], computed: tuple[Any, ...]) -> dict[str, np.ndarray]:
        """A native function's result columns by name.  Unless the bad rows were left out
        beforehand, one that met a bad row raises ValueError naming the first."""
        *columns, sound = computed
        if not sound and not self.nullable:
            self.bad_rows()  # raises for the first bad row
        return dict(zip(names, columns))

    def ordered(self) -> tuple[np.ndarray, np.ndarray]:
        """Every symbol's rows in its time order, symbol after symbol (rows left out are not
        among them), and where each symbol's rows begin (count + 1 bounds).

        The order the native passes take: a symbol's rows as they come when they run
        forwards in time, reversed when they run backwards, else sorted by time (stable)."""
        keys = np.where(self.codes < 0, self.count, self.codes)
        # 16-bit keys sort by radix: the common case of up to 65,534 symbols in a few ms.
        order = np.argsort(keys.astype(np.uint16) if self.count < 0xFFFF else keys, kind="stable")
        bounds = np.zeros(self.count + 1, dtype=np.int64)
        np.cumsum(np.bincount(keys, minlength=self.count + 1)[:self.count], out=bounds[1:])
        order = order[:bounds[-1]]
        if self.times is None or len(order) < 2:
            return order, bounds
        times = self.times[order]
        later, earlier = times[1:] > times[:-1], times[1:] < times[:-1]
        inner = bounds[1:-1][(bounds[1:-1] > 0) & (bounds[1:-1] < len(order))] - 1  # steps between symbols
        later[inner] = earlier[inner] = False
        ups, downs = (np.concatenate(([0], np.cumsum(steps))) for steps in (later, earlier))
        # A symbol's steps are those from its first row to its last (none for a symbol without rows).
        first, last = (np.minimum(ends, len(order) - 1) for ends in (bounds[:-1], np.maximum(bounds[1:] - 1,
                                                                                            bounds[:-1])))
        rising, falling = ups[last] - ups[first] > 0, downs[last] - downs[first] > 0
        for group in np.flatnonzero(falling):
            start, end = bounds[group], bounds[group + 1]
            rows = order[start:end]
            order[start:end] = rows[np.argsort(times[start:end], kind="stable")] if rising[group] else rows[::-1]
        return order, bounds

    def each(self, kernel: Callable[[np.ndarray], np.ndarray], values: np.ndarray) -> np.ndarray:
        """`kernel` over each symbol's values in its time order, on the input's rows (NaN where left out)."""
        order, bounds = self.ordered()
        taken = values[order]
        computed = np.empty(len(order), dtype=values.dtype)
        for start, end in zip(bounds[:-1].tolist(), bounds[1:].tolist()):
            if end > start:
                computed[start:end] = kernel(taken[start:end])
        result = np.full(len(self.codes), np.nan, dtype=computed.dtype)
        result[order] = computed
        return result

    def first_bars(self, bars: int) -> np.ndarray:
        """The rows of each symbol's first `bars` bars in its time order."""
        order, bounds = self.ordered()
        place = np.arange(len(order)) - np.repeat(bounds[:-1], np.diff(bounds))
        return order[place < bars]


_MISSING_TIME = np.iinfo(np.int64).min  # NaT, in any unit


def _bad_rows(obj: Any, prices: dict[str, np.ndarray], unknown: dict[str, np.ndarray],
              skip_bad_rows: bool) -> np.ndarray:
    """Rows with a missing or non-finite price, or a missing symbol or time (`unknown`).

    Unless `skip_bad_rows`, the first such row raises ValueError naming it."""
    size = len(next(iter(prices.values())))
    bad = np.zeros(size, dtype=bool)
    for values in prices.values():
        bad |= ~np.isfinite(values)
    for mask in unknown.values():
        bad |= mask
    if bad.any() and not skip_bad_rows:
        position = int(np.argmax(bad))
        name = next((name for name, values in prices.items() if not np.isfinite(values[position])), None)
        if name is None:
            name = next(name for name, mask in unknown.items() if mask[position])
            problem = "a missing value"
        else:
            value = prices[name][position]
            problem = "a missing value" if np.isnan(value) else f"{value} is not a finite number"
        raise ValueError(f"row {_label(obj, position)}, column {_column_name(obj, name)!r}: {problem}; "
                         "drop or fill such rows, or pass skip_bad_rows=True")
    return bad


def _symbol_column(df: Any, by: str) -> tuple[str, Any]:
    """The column (or pandas index level) named `by`, matched without regard to case when not exact."""
    if not isinstance(by, str):
        raise TypeError(f"by must be the name of the symbol column, got {type(by).__name__}")
    names = [str(name) for name in df.columns]
    levels = [] if _is_polars(df) else [str(name) for name in df.index.names if name is not None]
    for matches in (lambda name: name == by, lambda name: name.lower() == by.lower()):
        for name in names:
            if matches(name):
                return name, df[next(c for c in df.columns if str(c) == name)]
        for name in levels:
            if matches(name):
                return name, df.index.get_level_values(name)
    raise KeyError(f"no column {by!r} to group the rows by (columns: {', '.join(names)}"
                   + (f"; index levels: {', '.join(levels)})" if levels else ")"))


def _thread_count(threads: int | None) -> int:
    if threads is None:
        return getattr(os, "process_cpu_count", os.cpu_count)() or 1
    if isinstance(threads, bool) or not isinstance(threads, (int, np.integer)) or threads < 1:
        raise ValueError(f"threads must be a whole number, at least 1, got {threads!r}")
    return int(threads)


# How the times of the frame being computed read where their values leave a choice (01/02/2024 as
# 2 January or 1 February; whole numbers as days, seconds or milliseconds) when the rows of a larger
# table decided it beforehand: a Dask partition's times read as its whole column's do.
_TIME_FORM: ContextVar[str | None] = ContextVar("ornivex_time_form", default=None)


@contextmanager
def times_read_as(form: str | None) -> Iterator[None]:
    """Within the block, times that leave a choice read in `form` (None: as their own values decide)."""
    token = _TIME_FORM.set(form)
    try:
        yield
    finally:
        _TIME_FORM.reset(token)


def _time_source(obj: Any) -> tuple[str, np.ndarray | None]:
    """The name of the time column (or index) and its times as datetime64 (any unit: they only
    order rows; NaT where missing), or None when the frame has none."""
    if _is_polars(obj):
        import polars
        frame = obj.to_frame() if not _is_frame(obj) else obj
        for name, dtype in frame.schema.items():
            if dtype == polars.Date or isinstance(dtype, polars.Datetime):
                return name, np.asarray(frame[name].to_numpy())  # a zone's times as their UTC instants
        for name in frame.columns:
            if _is_time_name(name):
                return name, _parsed_times(frame[name].to_arrow(), obj, name)[0]
        return "", None
    name, values, _ = pandas_time_values(obj)
    return name, None if values is None else _pandas_times(values, obj, name)[0]


def pandas_time_values(obj: Any) -> tuple[str, Any, int | None]:
    """The name of the time column or index level of a pandas frame or Series, its values (None:
    it has none), and the index level it is (None: a column)."""
    if _is_frame(obj):
        for name in obj.columns:
            if _is_time_name(name):
                return str(name), obj[name], None
    index = getattr(obj, "index", None)
    if index is None:
        return "", None, None
    for k in range(index.nlevels):  # a (symbol, time) index included
        level = index.get_level_values(k)
        if getattr(level.dtype, "kind", "") == "M" or _is_time_name(level.name):
            return str(level.name or "index"), level, k
    return "", None, None


def time_form(obj: Any) -> str | None:
    """How the times of the pandas frame `obj` read where their values leave a choice (None: they
    leave none, or it has no times).  A value that is no time raises ValueError naming its row."""
    name, values, _ = pandas_time_values(obj)
    return None if values is None else _pandas_times(values, obj, name)[1]


def time_witnesses(obj: Any) -> np.ndarray:
    """The positions of the rows of the pandas frame `obj` whose times decide how a longer column
    holding them reads (see bars.time_witnesses); rows without a time are none of them."""
    import pyarrow as pa

    name, values, _ = pandas_time_values(obj)
    if values is None:
        return np.arange(0)
    try:
        arrow = pa.array(values, from_pandas=True)
    except (pa.ArrowException, TypeError, ValueError):
        return np.arange(len(obj))  # read whole, to be refused as a whole column is
    present = np.flatnonzero(np.asarray(arrow.is_valid()))
    return present[bars.time_witnesses(arrow.take(pa.array(present)))]


def _is_time_name(name: Any) -> bool:
    return isinstance(name, str) and name.strip().lower() in bars.TIME_COLUMNS


def _pandas_times(values: Any, obj: Any, name: str) -> tuple[np.ndarray, str | None]:
    """A pandas column or index level of times, as datetime64 without a copy where it is one, and
    the form text or whole-number times were read in."""
    import pandas

    dtype = values.dtype
    if isinstance(dtype, np.dtype) and dtype.kind == "M":
        return np.asarray(values.to_numpy()), None
    if isinstance(dtype, pandas.DatetimeTZDtype):
        # The UTC instants, in their own unit: no Timestamp objects, no copy.
        return np.asarray(values.array.asi8).view(f"datetime64[{dtype.unit}]"), None
    import pyarrow as pa
    try:
        arrow = pa.array(values, from_pandas=True)
    except (pa.ArrowException, TypeError, ValueError) as exc:
        raise ValueError(f"column {name!r}: the times cannot be read ({exc})") from None
    return _parsed_times(arrow, obj, name)


def _parsed_times(values: Any, obj: Any, name: str) -> tuple[np.ndarray, str | None]:
    """Times of any form the command's reader takes (text, whole numbers, dates, timestamps), read
    by its rules (in the form of times_read_as, if any), as datetime64[ms]; NaT where missing.  And
    the form they were read in.  A value that is no time raises ValueError."""
    import pyarrow as pa
    import pyarrow.compute as pc

    if isinstance(values, pa.ChunkedArray):
        values = values.combine_chunks() if values.num_chunks != 1 else values.chunk(0)
    if pa.types.is_dictionary(values.type):
        values = values.dictionary_decode()
    present = np.flatnonzero(np.asarray(values.is_valid()))
    times = np.full(len(values), np.datetime64("NaT", "ms"))
    if not len(present):
        return times, None

    def error(problem: str, i: int) -> ValueError:
        return ValueError(f"row {_label(obj, int(present[i]))}, column {name!r}: {problem}")

    valid = values if len(present) == len(values) else pc.take(values, pa.array(present))
    try:
        times[present], form = bars.read_times(pa.chunked_array([valid]), error, _TIME_FORM.get())
    except (pa.ArrowNotImplementedError, pa.ArrowInvalid) as exc:  # lists, structs...: no cast to text
        raise ValueError(f"column {name!r}: {values.type} values are not times ({exc})") from None
    return times, form


def _label(obj: Any, position: int) -> str:
    index = getattr(obj, "index", None)
    if _is_polars(obj) or index is None:
        return str(position)
    return str(index[position])


def _column_name(obj: Any, name: str) -> str:
    if not _is_frame(obj):
        return name
    return next((str(c) for c in obj.columns if str(c).lower() == name.lower()), name)


def _is_polars(obj: Any) -> bool:
    return type(obj).__module__.split(".")[0] == "polars"


def _is_frame(obj: Any) -> bool:
    return hasattr(obj, "columns")  # a Series (pandas or polars) has none


def _require_frame(obj: Any, function: str, needs: str) -> None:
    if not _is_frame(obj):
        kind = "a Series" if hasattr(obj, "to_numpy") else f"a {type(obj).__name__}"
        raise TypeError(f"{function} needs a DataFrame with {needs}, got {kind}"
                        + (" (for a series of closes alone, use frame.swing)" if kind == "a Series" else ""))


def _columns(df: Any, *names: str) -> list[np.ndarray]:
    """The named columns of `df` as float64 arrays, names matched without regard to case."""
    by_lower: dict[str, Any] = {}
    for name in df.columns:
        by_lower.setdefault(str(name).lower(), name)
    missing = [name for name in names if name.lower() not in by_lower]
    if missing:
        raise KeyError(f"no column {missing[0]!r} (columns: {', '.join(map(str, df.columns))})")
    return [_values(df[by_lower[name.lower()]], name) for name in names]


def _values(series: Any, name: str) -> np.ndarray:
    """A column as a float64 array, missing values as NaN."""
    if _is_polars(series):
        series = series.cast(float).fill_null(np.nan).to_numpy()
    elif hasattr(series, "to_numpy") and isinstance(series.dtype, np.dtype) and series.dtype == np.float64:
        series = series.to_numpy()  # the column's own array, not a copy
    elif hasattr(series, "to_numpy"):
        series = series.to_numpy(dtype=np.float64, na_value=np.nan)
    try:
        return np.asarray(series, dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{name}: cannot read the values as numbers ({exc})") from None


def _frame(like: Any, placed: dict[str, tuple[np.ndarray, np.ndarray | None]]) -> Any:
    """A frame of the (values, rows without a value or None) columns, on the rows of `like`."""
    if _is_polars(like):
        import polars
        import pyarrow as pa
        return polars.from_arrow(pa.table({name: pa.array(values, mask=missing if values.dtype.kind != "f" else None)
                                           for name, (values, missing) in placed.items()}))
    import pandas
    data: dict[str, Any] = {}
    for name, (values, missing) in placed.items():
        if missing is not None and values.dtype.kind in "iu":
            data[name] = pandas.arrays.IntegerArray(values, missing)
        else:
            data[name] = values
    return pandas.DataFrame(data, index=getattr(like, "index", None), copy=False)  # the arrays are ours


from ornivex import namespaces as _namespaces  # noqa: E402  (df.ornivex on pandas and polars frames)

_namespaces.register()
