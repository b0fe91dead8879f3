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
from typing import Any

import numpy as np

from ornivex import indicators
from ornivex.bars import TIME_COLUMNS


def halftrend(df: Any, amplitude: int = indicators.AMPLITUDE,
              channel_deviation: float = indicators.CHANNEL_DEVIATION,
              atr_length: int = indicators.ATR_LENGTH, *, tr: Any = None, skip_bad_rows: bool = False) -> Any:
    """HalfTrend of the high, low and close columns of `df`.

    `tr` (a column name, Series or array, in the frame's row order) replaces
    the average true range of `atr_length` bars as HalfTrend's per-bar range input.
    """
    _require_frame(df, "halftrend", "high, low and close columns")
    high, low, close = _columns(df, "high", "low", "close")
    if isinstance(tr, str):
        (tr,) = _columns(df, tr)
    elif tr is not None:
        tr = _values(tr, "tr")
    rows = _Rows.of(df, {"high": high, "low": low, "close": close}, skip_bad_rows)
    columns = indicators.halftrend(*rows.take(high, low, close), amplitude=amplitude,
                                   channel_deviation=channel_deviation, atr_length=atr_length,
                                   tr=None if tr is None else rows.take(tr)[0])
    keys = (*indicators.HALFTREND_KEYS, "trend", "atr")
    return _frame(df, rows, {key: columns[key] for key in keys})


def swing(df_or_close: Any, period: int = indicators.SWING_PERIOD,
          multiplier: float = indicators.SWING_MULTIPLIER, *, column: str = "close",
          skip_bad_rows: bool = False) -> Any:
    """The swing indicator (high band, low band, range filter) of a close series.

    `df_or_close` is a DataFrame (its `column` is used) or a Series of closes.
    """
    if _is_frame(df_or_close):
        (close,) = _columns(df_or_close, column)
        name = column
    else:
        close = _values(df_or_close, "close")
        name = str(getattr(df_or_close, "name", None) or "close")
    rows = _Rows.of(df_or_close, {name: close}, skip_bad_rows)
    return _frame(df_or_close, rows, indicators.swing(*rows.take(close), period=period, multiplier=multiplier))


def atr(df: Any, length: int = indicators.ATR_LENGTH, *, skip_bad_rows: bool = False) -> Any:
    """True range and Wilder's average true range over `length` bars (float64).

    See :func:`ornivex.indicators.average_true_range` for the exact recursion.
    """
    _require_frame(df, "atr", "high, low and close columns")
    high, low, close = _columns(df, "high", "low", "close")
    rows = _Rows.of(df, {"high": high, "low": low, "close": close}, skip_bad_rows)
    high, low, close = rows.take(high, low, close)
    return _frame(df, rows, {"trueRange": indicators.true_range(high, low, close),
                             "atr": indicators.average_true_range(high, low, close, length)})


@dataclass(frozen=True)
class _Rows:
    """The input rows computed, as positions in time order, out of `size` rows."""

    positions: np.ndarray
    size: int
    nullable: bool  # rows may be missing from the results: integer columns become nullable

    @classmethod
    def of(cls, obj: Any, prices: dict[str, np.ndarray], skip_bad_rows: bool) -> _Rows:
        size = len(next(iter(prices.values())))
        bad = np.zeros(size, dtype=bool)
        for values in prices.values():
            bad |= ~np.isfinite(values)
        if bad.any() and not skip_bad_rows:
            position = int(np.argmax(bad))
            name = next(name for name, values in prices.items() if not np.isfinite(values[position]))
            value = prices[name][position]
            problem = "a missing value" if np.isnan(value) else f"{value} is not a finite number"
            raise ValueError(f"row {_label(obj, position)}, column {_column_name(obj, name)!r}: {problem}; "
                             "drop or fill such rows, or pass skip_bad_rows=True")
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
    if _is_polars(obj):
        import polars
        frame = obj.to_frame() if not _is_frame(obj) else obj
        for name, dtype in frame.schema.items():
            if dtype in (polars.Date, polars.Datetime) or isinstance(dtype, polars.Datetime):
                return frame[name].to_numpy().astype("datetime64[ns]")
        return None
    if _is_frame(obj):
        for name in obj.columns:
            if str(name).strip().lower() in TIME_COLUMNS and obj[name].dtype.kind == "M":
                return obj[name].to_numpy().astype("datetime64[ns]")
    index = getattr(obj, "index", None)
    if index is not None and getattr(index.dtype, "kind", "") == "M":
        return np.asarray(index.to_numpy()).astype("datetime64[ns]")
    return None


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


def _frame(like: Any, rows: _Rows, columns: dict[str, np.ndarray]) -> Any:
    placed = {name: rows.place(values) for name, values in columns.items()}
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
    return pandas.DataFrame(data, index=getattr(like, "index", None))
