"""``.ornivex`` on pandas and polars frames, and on polars expressions.

Registered when :mod:`ornivex.frame` is imported:

    df.ornivex.halftrend()                      # pandas or polars DataFrame: frame.halftrend(df)
    lf.ornivex.halftrend()                      # polars LazyFrame: a LazyFrame
    df.with_columns(pl.col("close").ornivex.ewma(0.1).over("symbol"))

The frame methods are the functions of :mod:`ornivex.frame` with the frame
as their first argument: the same parameters, results and docstrings.

The expressions (``ewma``, ``ema2``, ``tema3``) compute a column in float32
(rounded once) in the order its rows reach them: the frame's row order, or
with ``.over(...)`` each group's rows in the frame's row order.  With ``time=``
(a column name or expression) they are computed in time order instead, as
:mod:`ornivex.frame` orders rows (newest-first computed oldest-first, rows
running both ways sorted by time), and put back on their own rows.  A missing
or non-finite value raises, as in :mod:`ornivex.frame` without ``skip_bad_rows``.
"""

from __future__ import annotations

import functools
from typing import Any, Callable

import numpy as np

from ornivex import frame, indicators, parameters

_FRAME_FUNCTIONS = ("halftrend", "swing", "atr", "ewma", "ema2", "tema3")


def _method(function: Callable[..., Any]) -> Callable[..., Any]:
    @functools.wraps(function)
    def method(self: Any, *args: Any, **kwargs: Any) -> Any:
        return function(self._frame, *args, **kwargs)

    return method


class FrameNamespace:
    """The indicators of :mod:`ornivex.frame` over this frame: ``df.ornivex.halftrend(...)`` is
    ``frame.halftrend(df, ...)``."""

    def __init__(self, frame: Any) -> None:
        self._frame = frame

    halftrend = _method(frame.halftrend)
    swing = _method(frame.swing)
    atr = _method(frame.atr)
    ewma = _method(frame.ewma)
    ema2 = _method(frame.ema2)
    tema3 = _method(frame.tema3)


class ExprNamespace:
    """One-column averages as polars expressions: ``pl.col("close").ornivex.ewma(0.1)``."""

    def __init__(self, expr: Any) -> None:
        self._expr = expr

    def ewma(self, alpha: float, *, time: Any = None) -> Any:
        """The EWMA of this column with weight `alpha` on the newest value (float32, rounded once);
        in row order, or in the time order of `time` (a column name or expression)."""
        alpha = parameters.alpha(alpha)
        return self._average(lambda values: indicators.ewma(values, alpha), time)

    def ema2(self, length: int, *, time: Any = None) -> Any:
        """The EMA of `length` bars of this column (alpha 2 / (length + 1); float32, rounded once);
        in row order, or in the time order of `time` (a column name or expression)."""
        length = parameters.whole_number(length, "length")
        return self._average(lambda values: indicators.ema2(values, length), time)

    def tema3(self, length: int, *, time: Any = None) -> Any:
        """The triple EMA of `length` bars of this column (float32, rounded once); in row order,
        or in the time order of `time` (a column name or expression)."""
        length = parameters.whole_number(length, "length")
        return self._average(lambda values: indicators.tema3(values, length), time)

    def _average(self, kernel: Callable[[np.ndarray], np.ndarray], time: Any) -> Any:
        import polars

        def in_row_order(series: Any) -> Any:
            return polars.Series(series.name, _checked_average(kernel, series))

        if time is None:
            return self._expr.map_batches(in_row_order, return_dtype=polars.Float32)
        time = polars.col(time) if isinstance(time, str) else time

        def in_time_order(pair: Any) -> Any:
            return polars.Series("value", frame.in_time_order(kernel, pair.struct.unnest(), "value"),
                                 dtype=polars.Float32)

        return polars.struct(self._expr.alias("value"), time.alias("time")).map_batches(
            in_time_order, return_dtype=polars.Float32).alias(self._expr.meta.output_name(raise_if_undetermined=False)
                                                              or "value")


def _checked_average(kernel: Callable[[np.ndarray], np.ndarray], series: Any) -> np.ndarray:
    """`kernel` over the values of `series` (with .over, called once per group: kept lean)."""
    import polars

    if not series.dtype.is_float() or series.null_count():
        series = series.cast(polars.Float64).fill_null(np.nan)
    values = series.to_numpy()
    if not len(values):
        return np.empty(0, np.float32)
    result = kernel(values if values.dtype == np.float32 else values.astype(np.float32))
    # A missing or infinite value makes every later average NaN or infinite: a finite last one says none was.
    if not np.isfinite(result[-1]):
        bad = ~np.isfinite(np.asarray(values, dtype=np.float64))
        if bad.any():
            raise ValueError(f"{series.name!r}, row {int(np.argmax(bad))} of the rows computed together: a "
                             "missing or non-finite value; drop or fill such rows first")
    return result


def register() -> None:
    """The ``ornivex`` namespace on pandas DataFrames and on polars DataFrames, LazyFrames and
    expressions, for whichever of pandas and polars is installed."""
    try:
        import pandas
    except ImportError:
        pass
    else:
        if "ornivex" not in getattr(pandas.DataFrame, "_accessors", set()):
            pandas.api.extensions.register_dataframe_accessor("ornivex")(FrameNamespace)
    try:
        import polars
    except ImportError:
        return
    if not hasattr(polars.DataFrame, "ornivex"):
        polars.api.register_dataframe_namespace("ornivex")(FrameNamespace)
        polars.api.register_lazyframe_namespace("ornivex")(FrameNamespace)
        polars.api.register_expr_namespace("ornivex")(ExprNamespace)
