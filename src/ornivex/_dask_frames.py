"""The frame functions over a Dask DataFrame of many symbols, lazily, one partition at a time.

The rows are shuffled on the symbol column, so that every symbol's rows meet
in one partition, and each partition is then computed by the pandas route
(``by=``) on one thread: the workers, not threads inside them, spread the
partitions over cores.  Before the shuffle each row is tagged with its
partition and its place in it; a partition puts its rows back in that input
order before computing, so rows without times (computed in row order) come
out as the pandas route gives them.  The result has the input's index and
columns of the pandas result; its rows are in the shuffled partitions, so
``result.compute()`` holds the pandas result's rows grouped by symbol.
"""

from __future__ import annotations

from typing import Any, Callable

import numpy as np

_PARTITION, _ROW = "__ornivex_partition__", "__ornivex_row__"


def is_dask(obj: Any) -> bool:
    return type(obj).__module__.split(".")[0] in ("dask", "dask_expr")


def per_symbol(function: Callable[..., Any], ddf: Any, by: str | None, threads: int | None = None,
               **options: Any) -> Any:
    """`function` (halftrend, swing or atr of ornivex.frame) per symbol of the Dask DataFrame `ddf`, lazily.

    `threads` is the native threads per partition (default 1: the workers spread the partitions).
    """
    name = function.__name__
    if not hasattr(ddf, "columns"):
        raise TypeError(f"{name} over Dask needs a DataFrame with a symbol column, got a Series")
    if by is None:
        raise TypeError(f"{name} over a Dask DataFrame needs by=, the symbol column (for one symbol, "
                        "compute the DataFrame first)")
    column = next((c for c in ddf.columns if c == by), None) or \
        next((c for c in ddf.columns if isinstance(by, str) and str(c).lower() == by.lower()), None)
    if column is None:
        raise KeyError(f"no column {by!r} to group the rows by (columns: {', '.join(map(str, ddf.columns))}); "
                       "over Dask the symbols must be a column, not the index")
    for key, value in options.items():
        if value is not None and not isinstance(value, (str, int, float, bool)):
            raise TypeError(f"{name} over a Dask DataFrame takes {key}= as a column name, "
                            f"not a {type(value).__name__}")
    options = {**options, "by": column, "threads": 1 if threads is None else threads}
    # The pandas route on a sample of the right columns and types: what every partition gives,
    # and any error in the arguments raised now rather than at compute time.
    sample = ddf._meta_nonempty.copy()
    sample[column] = [sample[column].iloc[0]] * len(sample)
    meta = function(sample, **options).iloc[:0]
    tagged = ddf.map_partitions(_tag, meta=ddf._meta.assign(**{_PARTITION: np.int64(0), _ROW: np.int64(0)}))
    grouped = tagged.shuffle(on=column) if ddf.npartitions > 1 else tagged
    return grouped.map_partitions(_compute, function, options, meta, meta=meta, align_dataframes=False)


def _tag(part: Any, partition_info: dict | None = None) -> Any:
    number = partition_info["number"] if partition_info else 0
    return part.assign(**{_PARTITION: np.int64(number), _ROW: np.arange(len(part), dtype=np.int64)})


def _compute(part: Any, function: Callable[..., Any], options: dict, meta: Any) -> Any:
    if len(part) == 0:  # a shuffle may leave a partition without symbols
        return meta
    part = part.sort_values([_PARTITION, _ROW], kind="stable").drop(columns=[_PARTITION, _ROW])
    return function(part, **options)
