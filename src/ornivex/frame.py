"""DataFrame adapters: the indicators over pandas (or polars) price tables.

    from ornivex import frame
    ht = frame.halftrend(df)           # df has high, low, close columns (any case)
    rf = frame.swing(df)               # or frame.swing(df["Close"])
    tr = frame.atr(df, length=100)

Each function returns a new DataFrame of named columns, one row per input
row in the input's own row order: a pandas result has the index of its input,
a polars result (for polars input) has one row per input row.

Rows are computed in time order.  The time order is that of a datetime index
or of a time column (named date, time, datetime or timestamp, or any column
of a date or time type in a polars frame); a frame whose rows run newest-first
is computed oldest-first and its results put back on their own rows.  Rows
whose times go both ways raise ValueError.  A frame with neither is computed
in its row order.

Missing or non-finite prices (NaN, None, pandas.NA, inf) in high, low or close
raise ValueError naming the first such row's label and column.  With
``skip_bad_rows=True`` those rows are left out of the computation instead, and
their results are NaN (null in the integer columns, which are then nullable).

Long tables of many symbols: with ``by="symbol"`` (a column, or a level of a
pandas index) every symbol's rows are computed on their own, in time order,
whatever order the rows come in (symbols interleaved, newest-first, shuffled),
and the results are put back on the input's rows.  A symbol's values are those
the same call gives for that symbol's rows alone: a symbol whose rows run
oldest-first or newest-first is taken exactly as the single-symbol call takes
it, and one whose rows are in neither order is sorted by time (rows of equal
time keep their input order).  ``threads`` spreads the symbols over native
threads (default: the number of cores); the results do not depend on it.  A
missing symbol or time is a bad row like a missing price; a symbol whose rows
are all left out gets NaN (null) results, and an empty frame an empty result.
A Dask DataFrame with ``by`` (a column, or the index) gives a lazy Dask
DataFrame, each partition computed by this route; one indexed by symbol with
known divisions is computed where its rows lie, others are shuffled on the
symbols first (see ``ornivex._dask_frames``).

Precision, made explicit here because the two native modules differ:

- :func:`halftrend` rounds high, low and close to float32 (to nearest) and
  returns float32 columns; its ``tr`` input is :func:`atr`, computed in
  float64 and rounded to float32 once.
- :func:`swing` and :func:`atr` compute and return float64.

Column names are those of the native results: "halftrend", "atrHigh",
"atrLow", "arrowUp", "arrowDown", "buy", "sell", plus "trend" (0 in an
up-trend, 1 in a down-trend) and "atr"; "rangeHigh", "rangeLow",
"rangeFilter"; "trueRange" and "atr".
"""

from __future__ import annotations

from dataclasses import dataclass
import os
from collections.abc import Callable
from typing import Any

import numpy as np

from ornivex import _dask_frames, _grouped, indicators
from ornivex.bars import TIME_COLUMNS
from ornivex.indicators import _check_length as check_length


def halftrend(df: Any, amplitude: int = indicators.AMPLITUDE,
              channel_deviation: float = indicators.CHANNEL_DEVIATION,
              atr_length: int = indicators.ATR_LENGTH, *, tr: Any = None, skip_bad_rows: bool = False,
              by: str | None = None, threads: int | None = None) -> Any:
    """HalfTrend of the high, low and close columns of `df`.

    `tr` (a column name, Series or array, in the frame's row order) replaces
    the average true range of `atr_length` bars as HalfTrend's per-bar range input.
    `by` names the symbol column of a long table; `threads` spreads its symbols.
    """
    if _dask_frames.is_dask(df):
        return _dask_frames.per_symbol(halftrend, df, by, threads, amplitude=amplitude, atr_length=atr_length,
                                       channel_deviation=channel_deviation, tr=tr, skip_bad_rows=skip_bad_rows)
    _require_frame(df, "halftrend", "high, low and close columns")
    high, low, close = _columns(df, "high", "low", "close")
    if isinstance(tr, str):
        (tr,) = _columns(df, tr)
    elif tr is not None:
        tr = _values(tr, "tr")
    keys = (*indicators.HALFTREND_KEYS, "trend", "atr")

    def compute(high: np.ndarray, low: np.ndarray, close: np.ndarray, *tr: np.ndarray) -> dict[str, np.ndarray]:
        columns = indicators.halftrend(high, low, close, amplitude=amplitude, channel_deviation=channel_deviation,
                                       atr_length=atr_length, tr=tr[0] if tr else None)
        return {key: columns[key] for key in keys}

    def grouped(groups: _Groups, threads: int) -> dict[str, np.ndarray]:
        check_length(amplitude, "amplitude")
        if tr is None:
            check_length(atr_length, "length")
        return groups.results(keys, _grouped.halftrend(high, low, close, tr, *groups.native(), amplitude,
                                                       channel_deviation, atr_length, threads))

    prices = {"high": high, "low": low, "close": close}
    return _computed(df, prices, [high, low, close] + ([] if tr is None else [tr]), compute, grouped,
                     skip_bad_rows, by, threads)


def swing(df_or_close: Any, period: int = indicators.SWING_PERIOD,
          multiplier: float = indicators.SWING_MULTIPLIER, *, column: str = "close",
          skip_bad_rows: bool = False, by: str | None = None, threads: int | None = None) -> Any:
    """The swing indicator (high band, low band, range filter) of a close series.

    `df_or_close` is a DataFrame (its `column` is used) or a Series of closes.
    `by` names the symbol column of a long table; `threads` spreads its symbols.
    """
    if _dask_frames.is_dask(df_or_close):
        return _dask_frames.per_symbol(swing, df_or_close, by, threads, period=period, multiplier=multiplier,
                                       column=column, skip_bad_rows=skip_bad_rows)
    if _is_frame(df_or_close):
        (close,) = _columns(df_or_close, column)
        name = column
    else:
        close = _values(df_or_close, "close")
        name = str(getattr(df_or_close, "name", None) or "close")

    def compute(close: np.ndarray) -> dict[str, np.ndarray]:
        return indicators.swing(close, period=period, multiplier=multiplier)

    def grouped(groups: _Groups, threads: int) -> dict[str, np.ndarray]:
        check_length(period, "period")
        return groups.results(indicators.SWING_KEYS, _grouped.swing(close, *groups.native(), period, multiplier,
                                                                    threads))

    return _computed(df_or_close, {name: close}, [close], compute, grouped, skip_bad_rows, by, threads)


def atr(df: Any, length: int = indicators.ATR_LENGTH, *, skip_bad_rows: bool = False,
        by: str | None = None, threads: int | None = None) -> Any:
    """True range and Wilder's average true range over `length` bars (float64).

    See :func:`ornivex.indicators.average_true_range` for the exact recursion.
    `by` names the symbol column of a long table; `threads` spreads its symbols.
    """
    if _dask_frames.is_dask(df):
        return _dask_frames.per_symbol(atr, df, by, threads, length=length, skip_bad_rows=skip_bad_rows)
    _require_frame(df, "atr", "high, low and close columns")
    high, low, close = _columns(df, "high", "low", "close")

    def compute(high: np.ndarray, low: np.ndarray, close: np.ndarray) -> dict[str, np.ndarray]:
        return {"trueRange": indicators.true_range(high, low, close),
                "atr": indicators.average_true_range(high, low, close, length)}

    def grouped(groups: _Groups, threads: int) -> dict[str, np.ndarray]:
        check_length(length, "length")
        return groups.results(("trueRange", "atr"), _grouped.atr(high, low, close, *groups.native(), length, threads))

    return _computed(df, {"high": high, "low": low, "close": close}, [high, low, close], compute, grouped,
                     skip_bad_rows, by, threads)


def _computed(obj: Any, prices: dict[str, np.ndarray], arrays: list[np.ndarray],
              compute: Callable[..., dict[str, np.ndarray]], grouped: Callable[[_Groups, int], dict[str, np.ndarray]],
              skip_bad_rows: bool, by: str | None, threads: int | None) -> Any:
    """`compute` over the rows of `obj` in time order, or with `by` `grouped` over
    each symbol's rows, as a frame on the rows of `obj`."""
    thread_count = _thread_count(threads)
    if by is None:
        rows = _Rows.of(obj, prices, skip_bad_rows)
        return _frame(obj, {name: rows.place(values) for name, values in compute(*rows.take(*arrays)).items()})
    groups = _Groups.of(obj, by, prices, skip_bad_rows, thread_count)
    missing = groups.codes < 0 if groups.nullable else None
    return _frame(obj, {name: (values, missing) for name, values in grouped(groups, thread_count).items()})


@dataclass(frozen=True)
class _Rows:
    """The input rows computed, as positions in time order, out of `size` rows."""

    positions: np.ndarray
    size: int
    nullable: bool  # rows may be missing from the results: integer columns become nullable

    @classmethod
    def of(cls, obj: Any, prices: dict[str, np.ndarray], skip_bad_rows: bool) -> _Rows:
        size = len(next(iter(prices.values())))
        bad = _bad_rows(obj, prices, {}, skip_bad_rows)
        order = _time_order(obj, size)
        return cls(order[~bad[order]], size, skip_bad_rows)

    def take(self, *arrays: np.ndarray) -> list[np.ndarray]:
        return [np.asarray(a)[self.positions] for a in arrays]

    def place(self, values: np.ndarray) -> tuple[np.ndarray, np.ndarray | None]:
        """Per-row results on the input's own rows; the mask of rows without a result, if any may lack one."""
        if not self.nullable and len(self.positions) == self.size and \
                (self.size < 2 or self.positions[0] < self.positions[-1]):
            return values, None
        placed = np.full(self.size, np.nan if values.dtype.kind == "f" else 0, dtype=values.dtype)
        placed[self.positions] = values
        missing = np.ones(self.size, dtype=bool)
        missing[self.positions] = False
        return placed, (missing if self.nullable else None)


@dataclass(frozen=True)
class _Groups:
    """The rows of a long table by symbol: a symbol number per row (-1 for a row
    left out), and the times that order each symbol's rows (None: row order)."""

    codes: np.ndarray  # int64
    count: int
    times: np.ndarray | None  # int64, in the time column's unit
    nullable: bool
    bad_rows: Callable[[], np.ndarray]  # the rows with a missing or non-finite value; unless nullable, raises

    @classmethod
    def of(cls, obj: Any, by: str, prices: dict[str, np.ndarray], skip_bad_rows: bool, threads: int) -> _Groups:
        if not _is_frame(obj):
            raise TypeError(f"by={by!r} needs a DataFrame with a symbol column, got a Series")
        name, symbols = _symbol_column(obj, by)
        codes, count = _symbol_numbers(symbols, threads)
        time_name, times = _time_source(obj)

        def bad_rows() -> np.ndarray:
            unknown = {name: codes < 0} | ({} if times is None else {time_name: np.isnat(times)})
            return _bad_rows(obj, prices, unknown, skip_bad_rows)

        if skip_bad_rows:
            bad = bad_rows()
            if bad.any():
                codes = np.where(bad, -1, codes)
        keys = None if times is None else times.view(np.int64)
        if keys is not None and (len(keys) == 0 or keys[0] != _MISSING_TIME) and np.all(keys[1:] >= keys[:-1]):
            keys = None  # a table in time order (no time missing): each symbol's rows already are
        return cls(codes, count, keys, skip_bad_rows, bad_rows)

    def native(self) -> tuple[np.ndarray, int, np.ndarray | None]:
        """codes, groups and times, as the native functions of ornivex._grouped take them."""
        return self.codes, self.count, self.times

    def results(self, names: tuple[str, ...], computed: tuple[Any, ...]) -> dict[str, np.ndarray]:
        """A native function's result columns by name.  Unless the bad rows were left out
        beforehand, one that met a bad row raises ValueError naming the first."""
        *columns, sound = computed
        if not sound and not self.nullable:
            self.bad_rows()  # raises for the first bad row
        return dict(zip(names, columns))


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


def _symbol_numbers(symbols: Any, threads: int) -> tuple[np.ndarray, int]:
    """A number per row for its symbol (0 .. count - 1, -1 where missing), and the count.

    Categorical columns give their codes; columns of strings in Arrow's layout (pandas' str and
    Arrow-backed columns, polars strings) are numbered natively over `threads` threads."""
    if _is_polars(symbols):
        return _polars_symbol_numbers(symbols, threads)
    import pandas
    if isinstance(symbols.dtype, pandas.CategoricalDtype):
        categorical = pandas.Categorical(symbols)
        return categorical.codes.astype(np.int64), len(categorical.categories)
    values = symbols.array
    if isinstance(values, pandas.arrays.ArrowExtensionArray):
        import pyarrow as pa
        strings = pa.array(values)  # the column's own buffers
        if _is_arrow_strings(strings.type):
            return _string_numbers(strings, threads)
    codes, uniques = pandas.factorize(symbols)
    return codes.astype(np.int64, copy=False), len(uniques)


def _polars_symbol_numbers(symbols: Any, threads: int) -> tuple[np.ndarray, int]:
    import polars
    if isinstance(symbols.dtype, (polars.Categorical, polars.Enum)):
        # The physical codes number the categories, of this column or of every column that shares
        # them: numbered afresh only when those are more than the rows.
        codes = symbols.to_physical().cast(polars.Int64).fill_null(-1).to_numpy()
        count = int(codes.max(initial=-1)) + 1
        if count <= len(codes):
            return codes, count
        present = np.zeros(count + 1, dtype=bool)
        present[codes] = True  # a missing symbol's -1 marks the extra last entry
        renumbered = np.cumsum(present[:-1]) - 1
        return np.append(renumbered, -1)[codes], int(renumbered[-1]) + 1
    if symbols.dtype == polars.String:
        # Polars keeps strings as Arrow string views: read in place, not copied to offsets.
        newest = getattr(polars, "CompatLevel", None)
        return _string_numbers(symbols.to_arrow(**({} if newest is None else {"compat_level": newest.newest()})),
                               threads)
    ranks = symbols.rank("dense")
    count = int(ranks.max() or 0)
    return ranks.fill_null(0).to_numpy().astype(np.int64) - 1, count


def _string_numbers(strings: Any, threads: int) -> tuple[np.ndarray, int]:
    """Symbol numbers of an Arrow string array or chunked array: each chunk numbered on its own,
    then the chunks' first strings of each number together, which maps every chunk's numbers to
    one numbering (in order of first appearance, as a single chunk's)."""
    import pyarrow as pa
    chunks = [chunk for chunk in getattr(strings, "chunks", [strings]) if len(chunk)]
    if len(chunks) > 1 and not (pa.types.is_string(strings.type) or pa.types.is_large_string(strings.type)):
        chunks = [chunk.cast(pa.large_string()) for chunk in chunks]  # string views have no take
    numbered = [_string_codes(chunk, threads) for chunk in chunks]
    if len(numbered) < 2:
        codes, first_rows = numbered[0] if numbered else (np.empty(0, dtype=np.int64), ())
        return codes, len(first_rows)
    firsts = pa.concat_arrays([chunk.take(first_rows) for chunk, (_, first_rows) in zip(chunks, numbered)])
    joint_codes, joint_first_rows = _string_codes(firsts, threads)
    parts, start = [], 0
    for codes, first_rows in numbered:
        renumbered = np.append(joint_codes[start:start + len(first_rows)], -1)  # -1 stays -1
        parts.append(renumbered[codes])
        start += len(first_rows)
    return np.concatenate(parts), len(joint_first_rows)


def _is_arrow_strings(arrow_type: Any) -> bool:
    import pyarrow as pa
    views = getattr(pa.types, "is_string_view", lambda _: False)  # pyarrow >= 16
    return bool(pa.types.is_string(arrow_type) or pa.types.is_large_string(arrow_type) or views(arrow_type))


def _string_codes(strings: Any, threads: int) -> tuple[np.ndarray, np.ndarray]:
    """_grouped.string_codes (or string_view_codes) of a non-empty Arrow string array, its buffers read in place."""
    import pyarrow as pa
    validity, layout, *data = (np.empty(0, dtype=np.uint8) if buffer is None else np.frombuffer(buffer, np.uint8)
                               for buffer in strings.buffers())
    bits = None if strings.null_count == 0 else validity
    first, rows = strings.offset, len(strings)
    if pa.types.is_string(strings.type) or pa.types.is_large_string(strings.type):
        offsets = layout.view(np.int64) if pa.types.is_large_string(strings.type) else layout.view(np.int32)
        return _grouped.string_codes(offsets[first:first + rows + 1], data[0], bits, first, threads)
    return _grouped.string_view_codes(layout[16 * first:16 * (first + rows)], tuple(data), bits, first, threads)


def _thread_count(threads: int | None) -> int:
    if threads is None:
        return getattr(os, "process_cpu_count", os.cpu_count)() or 1
    if isinstance(threads, bool) or not isinstance(threads, (int, np.integer)) or threads < 1:
        raise ValueError(f"threads must be a whole number, at least 1, got {threads!r}")
    return int(threads)


def _time_order(obj: Any, size: int) -> np.ndarray:
    """Row positions in time order: forwards, or backwards for a newest-first frame."""
    keys = _time_keys(obj)
    forwards = np.arange(size)
    if keys is None or size < 2:
        return forwards
    steps = keys[1:] - keys[:-1]
    zero = np.timedelta64(0, "ns")
    if np.all(steps >= zero):
        return forwards
    if np.all(steps <= zero):
        return forwards[::-1]
    first = int(np.flatnonzero(steps < zero if steps[np.flatnonzero(steps != zero)[0]] > zero else steps > zero)[0])
    raise ValueError(f"row {_label(obj, first + 1)}: the rows are not in time order (they run both ways); "
                     "sort them first")


def _time_keys(obj: Any) -> np.ndarray | None:
    """The times that order the rows, as datetime64, or None when the frame has none."""
    return _time_source(obj)[1]


def _time_source(obj: Any) -> tuple[str, np.ndarray | None]:
    """The name of the time column (or index) and its times as datetime64 (any unit: they only order rows), or None."""
    if _is_polars(obj):
        import polars
        frame = obj.to_frame() if not _is_frame(obj) else obj
        for name, dtype in frame.schema.items():
            if dtype in (polars.Date, polars.Datetime) or isinstance(dtype, polars.Datetime):
                return name, _datetimes(frame[name].to_numpy())
        return "", None
    if _is_frame(obj):
        for name in obj.columns:
            if str(name).strip().lower() in TIME_COLUMNS and obj[name].dtype.kind == "M":
                return str(name), _datetimes(obj[name].to_numpy())
    index = getattr(obj, "index", None)
    if index is None:
        return "", None
    levels = [index.get_level_values(k) for k in range(index.nlevels)]  # a (symbol, time) index included
    for level in levels:
        if getattr(level.dtype, "kind", "") == "M":
            return str(level.name or "index"), _datetimes(level.to_numpy())
    return "", None


def _datetimes(values: Any) -> np.ndarray:
    """Times as datetime64 in their own unit (they only order rows, and a copy to nanoseconds
    of a long table costs more than its ordering); other values (Timestamp objects) in nanoseconds."""
    values = np.asarray(values)
    return values if values.dtype.kind == "M" else values.astype("datetime64[ns]")


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
