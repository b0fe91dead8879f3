"""DataFrame adapters: the indicators over pandas (or polars) price tables.

    from ornivex import frame
    ht = frame.halftrend(df)           # df has high, low, close columns (any case)
    rf = frame.swing(df)               # or frame.swing(df["Close"])
    tr = frame.atr(df, length=100)

Each function returns a new DataFrame of named columns; a pandas result has
the index of its input, a polars result (for polars input) has one row per
input row.  Missing values (NaN, None, pandas.NA) are read as NaN.

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

from typing import Any

import numpy as np

from ornivex import indicators


def halftrend(df: Any, amplitude: int = indicators.AMPLITUDE,
              channel_deviation: float = indicators.CHANNEL_DEVIATION,
              atr_length: int = indicators.ATR_LENGTH, *, tr: Any = None) -> Any:
    """HalfTrend of the high, low and close columns of `df`.

    `tr` (a column name, Series or array) replaces the average true range of
    `atr_length` bars as HalfTrend's per-bar range input.
    """
    high, low, close = _columns(df, "high", "low", "close")
    if isinstance(tr, str):
        (tr,) = _columns(df, tr)
    elif tr is not None:
        tr = _values(tr, "tr")
    columns = indicators.halftrend(high, low, close, amplitude=amplitude, channel_deviation=channel_deviation,
                                   atr_length=atr_length, tr=tr)
    return _frame(df, {key: columns[key] for key in (*indicators.HALFTREND_KEYS, "trend", "atr")})


def swing(df_or_close: Any, period: int = indicators.SWING_PERIOD,
          multiplier: float = indicators.SWING_MULTIPLIER, *, column: str = "close") -> Any:
    """The swing indicator (high band, low band, range filter) of a close series.

    `df_or_close` is a DataFrame (its `column` is used) or a Series of closes.
    """
    if _is_frame(df_or_close):
        (close,) = _columns(df_or_close, column)
    else:
        close = _values(df_or_close, "close")
    return _frame(df_or_close, indicators.swing(close, period=period, multiplier=multiplier))


def atr(df: Any, length: int = indicators.ATR_LENGTH) -> Any:
    """True range and Wilder's average true range over `length` bars (float64).

    See :func:`ornivex.indicators.average_true_range` for the exact recursion.
    """
    high, low, close = _columns(df, "high", "low", "close")
    return _frame(df, {"trueRange": indicators.true_range(high, low, close),
                       "atr": indicators.average_true_range(high, low, close, length)})


def _is_polars(obj: Any) -> bool:
    return type(obj).__module__.split(".")[0] == "polars"


def _is_frame(obj: Any) -> bool:
    return hasattr(obj, "columns")  # a Series (pandas or polars) has none


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


def _frame(like: Any, columns: dict[str, np.ndarray]) -> Any:
    if _is_polars(like):
        import polars
        return polars.DataFrame({name: values for name, values in columns.items()})
    import pandas
    return pandas.DataFrame(columns, index=getattr(like, "index", None))
