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

``.over(keys)`` on such an expression (or on it after ``.alias``) computes every
group in one call over the whole column, grouping rows as polars does (a
missing key is a group of its own); with ``order_by`` or another mapping
strategy polars calls it once per group, which costs some 20 microseconds a group.
"""

from __future__ import annotations

import functools
from typing import Any, Callable

import numpy as np

from ornivex import frame, indicators, parameters, symbols

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

        name = self._expr.meta.output_name(raise_if_undetermined=False)
        time = polars.col(time) if isinstance(time, str) else time
        if time is None:
            def in_row_order(series: Any) -> Any:
                return polars.Series(series.name, _checked_average(kernel, series))

            plain = self._expr.map_batches(in_row_order, return_dtype=polars.Float32)
        else:
            def in_time_order(pair: Any) -> Any:
                return polars.Series("value", frame.in_time_order(kernel, pair.struct.unnest(), "value"),
                                     dtype=polars.Float32)

            plain = polars.struct(self._expr.alias("value"), time.alias("time")).map_batches(
                in_time_order, return_dtype=polars.Float32).alias(name or "value")
        return _average_expression_class()._of(plain, _Average(self._expr, kernel, time, name))


class _Average:
    """What an average expression computes: `kernel` over `value`, in row order or in the time order of
    `time`, named `name` (None: polars' own name)."""

    def __init__(self, value: Any, kernel: Callable[[np.ndarray], np.ndarray], time: Any, name: str | None):
        self.value, self.kernel, self.time, self.name = value, kernel, time, name

    def over(self, keys: list[Any]) -> Any:
        """The average of each group of rows with equal `keys`, in one call over the whole column."""
        import polars

        fields = {"value": self.value, "keys": polars.struct(*keys)}
        if self.time is not None:
            fields["time"] = self.time
        name = self.name or "value"
        grouped = polars.struct(**fields).map_batches(lambda table: _grouped_average(self.kernel, table, name),
                                                      return_dtype=polars.Float32)
        return grouped.alias(name)


@functools.cache
def _average_expression_class() -> Any:
    """A polars expression that knows its average, so that ``.over(keys)`` computes every group in one
    call over the whole column: polars calls a function under ``.over`` once per group, and that
    call alone costs more than the average (tens of microseconds against a few)."""
    import polars

    class AverageExpr(polars.Expr):
        _average: _Average

        @classmethod
        def _of(cls, expr: Any, average: _Average) -> Any:
            try:
                wrapped: Any = cls._from_pyexpr(expr._pyexpr)
            except AttributeError:  # a polars without this constructor: its own .over, slower, same results
                return expr
            wrapped._average = average
            return wrapped

        def alias(self, name: str) -> Any:
            average = self._average
            return self._of(super().alias(name), _Average(average.value, average.kernel, average.time, name))

        def over(self, partition_by: Any = None, *more_exprs: Any, order_by: Any = None, descending: bool = False,
                 nulls_last: bool = False, mapping_strategy: Any = "group_to_rows") -> Any:
            keys = _partition_keys(partition_by, more_exprs)
            if keys and order_by is None and mapping_strategy == "group_to_rows":
                return self._average.over(keys)
            return super().over(partition_by, *more_exprs, order_by=order_by, descending=descending,
                                nulls_last=nulls_last, mapping_strategy=mapping_strategy)

    return AverageExpr


def _partition_keys(partition_by: Any, more_exprs: tuple[Any, ...]) -> list[Any] | None:
    """The partition of ``.over`` as one expression per key, or None for a partition that takes
    polars' own route (none given, or a key that stands for several columns)."""
    import polars

    keys: list[Any] = []
    for item in (partition_by, *more_exprs):
        for key in [item] if item is None or isinstance(item, (str, polars.Expr)) else item:
            key = polars.col(key) if isinstance(key, str) else key
            if not isinstance(key, polars.Expr) or key.meta.has_multiple_outputs():
                return None
            keys.append(key.alias(f"key{len(keys)}"))
    return keys or None


def _grouped_average(kernel: Callable[[np.ndarray], np.ndarray], table: Any, name: str) -> Any:
    """`kernel` over the rows of each group of equal keys, as ``.over`` groups them (a missing key is
    a group of its own), in row order or in the order of the times; on the rows they came from."""
    import polars

    table = table.struct.unnest()
    if not len(table):
        return polars.Series(name, [], dtype=polars.Float32)
    values = _float_values(table["value"])
    codes, count = _group_numbers(table["keys"].struct.unnest())
    times = _time_keys(table, name) if "time" in table.columns else None
    rounded = values if values.dtype == np.float32 else values.astype(np.float32)
    groups = frame._Groups(codes, count, times, False, lambda: np.zeros(len(codes), dtype=bool))
    result = groups.each(kernel, rounded)
    # A missing or infinite value makes every later average of its group NaN or infinite.
    if not np.isfinite(result).all():
        _refuse_bad_values(values, name, "")
    return polars.Series(name, result)


def _time_keys(table: Any, name: str) -> np.ndarray | None:
    """The "time" column of `table` as whole numbers that order its rows, or None when they are in
    time order already (and so is each group's); a missing time raises ValueError."""
    times = frame._time_source(table.select("time"))[1]
    if times is None:
        return None
    missing = np.isnat(times)
    if missing.any():
        raise ValueError(f"{name!r}, row {int(np.argmax(missing))}: a missing time; drop or fill such rows first")
    keys = times.view(np.int64)
    return None if np.all(keys[1:] >= keys[:-1]) else keys


def _group_numbers(keys: Any) -> tuple[np.ndarray, int]:
    """A group number per row (0 .. count - 1) for its keys, and the count; rows group as polars
    groups them, a missing key being a key of its own."""
    import polars

    if keys.width == 1 and (keys.dtypes[0] == polars.String or isinstance(keys.dtypes[0], (polars.Categorical,
                                                                                         polars.Enum))):
        codes, count = symbols.numbers(keys.to_series(), frame._thread_count(None))
        missing = codes < 0
        if missing.any():
            codes, count = np.where(missing, count, codes), count + 1
        return codes, count
    rows = keys.with_row_index("row").group_by(polars.exclude("row")).agg("row")["row"]  # each in row order
    codes = np.empty(len(keys), dtype=np.int64)
    codes[rows.explode().to_numpy()] = np.repeat(np.arange(len(rows)), rows.list.len().to_numpy())
    return codes, len(rows)


def _float_values(series: Any) -> np.ndarray:
    """The values of a polars column as a float array (float32 kept), missing values as NaN."""
    import polars

    if not series.dtype.is_float() or series.null_count():
        series = series.cast(polars.Float64).fill_null(np.nan)
    return series.to_numpy()


def _refuse_bad_values(values: np.ndarray, name: str, where: str) -> None:
    """Raises ValueError for the first missing or non-finite value of `values`, if there is one."""
    bad = ~np.isfinite(np.asarray(values, dtype=np.float64))
    if bad.any():
        raise ValueError(f"{name!r}, row {int(np.argmax(bad))}{where}: a missing or non-finite value; "
                         "drop or fill such rows first")


def _checked_average(kernel: Callable[[np.ndarray], np.ndarray], series: Any) -> np.ndarray:
    """`kernel` over the values of `series` (under polars' own .over, called once per group: kept lean)."""
    values = _float_values(series)
    if not len(values):
        return np.empty(0, np.float32)
    result = kernel(values if values.dtype == np.float32 else values.astype(np.float32))
    # A missing or infinite value makes every later average NaN or infinite: a finite last one says none was.
    if not np.isfinite(result[-1]):
        _refuse_bad_values(values, series.name, " of the rows computed together")
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
