"""The frame functions over a Dask DataFrame of many symbols, lazily, one partition at a time.

Each partition is computed by the pandas route (``by=``) on one thread once
every symbol's rows meet in it: the workers, not threads inside them, spread
the partitions over cores.  The symbols are a column or the frame's index.

A frame indexed by symbol with known divisions is already split by symbol, and
its partitions are computed where they lie, without a shuffle; the result keeps
the input's partitions and divisions.  A partition holds the symbols from its
division up to (not including) the next one, the last partition up to and
including the last division; divisions taken from Parquet statistics may
instead let a partition end with the first rows of the next partition's first
symbol, and those rows are moved on to that partition (rows beyond the next
partition raise ValueError).  Divisions that repeat a symbol say that it spans
partitions, and such a frame is shuffled.

Otherwise the rows are shuffled on the symbols.  Before the shuffle each row is
tagged with its partition and its place in it; a partition puts its rows back
in that input order before computing, so rows without times (computed in row
order) come out as the pandas route gives them.  The result has the input's
index and columns of the pandas result; its rows are in the shuffled
partitions, so ``result.compute()`` holds the pandas result's rows grouped by
symbol.

Times written as text or whole numbers read as the whole column decides, as in
the pandas route: 01/02/2024 is 2 January in every partition if any day of the
column is written 13/01/2024, else 1 February.  A first pass over the time
column alone picks from each partition the rows whose times decide how a
column holding them reads (its first row, and its first row failing each
format or kind of number); read together they give the column's form, or the
error the pandas route gives for the whole column.  Every partition is then
read in that form.
"""

from __future__ import annotations

from typing import Any, Callable

import numpy as np

_PARTITION, _ROW, _SYMBOL = "__ornivex_partition__", "__ornivex_row__", "__ornivex_symbol__"


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
        raise TypeError(f"{name} over a Dask DataFrame needs by=, the symbol column or index (for one symbol, "
                        "compute the DataFrame first)")
    symbols, in_index = _symbol_source(ddf, by)
    for key, value in options.items():
        if value is not None and not isinstance(value, (str, int, float, bool)):
            raise TypeError(f"{name} over a Dask DataFrame takes {key}= as a column name, "
                            f"not a {type(value).__name__}")
    options = {**options, "by": symbols, "threads": 1 if threads is None else threads}
    # The pandas route on a sample of the right columns and types: what every partition gives,
    # and any error in the arguments raised now rather than at compute time.
    sample = ddf._meta_nonempty.copy()
    if in_index:
        sample.index = sample.index[[_present(sample.index)] * len(sample)]
    else:
        sample[symbols] = sample[symbols].iloc[[_present(sample[symbols])] * len(sample)].to_numpy()
    time_name, time_level, form_to_decide = _time_column(ddf._meta)
    if form_to_decide:
        sample = _with_readable_times(sample, time_name, time_level)
    meta = function(sample, **options).iloc[:0]
    if form_to_decide and time_level is not None:
        meta.index = ddf._meta.index[:0]  # the stand-in times took the place of the index's own
    form = _time_form(ddf, time_name, time_level) if form_to_decide else None
    if in_index and _split_by_symbol(ddf.divisions):
        return _in_place(function, ddf, options, meta, form)
    tags = {_PARTITION: np.int64(0), _ROW: np.int64(0), **({_SYMBOL: ddf._meta.index} if in_index else {})}
    tagged = ddf.map_partitions(_tag, in_index, meta=ddf._meta.assign(**tags))
    if ddf.npartitions > 1:
        tagged = tagged.shuffle(on=_SYMBOL if in_index else symbols)
    return tagged.map_partitions(_compute, function, options, meta, form, meta=meta, align_dataframes=False)


def _time_column(meta: Any) -> tuple[str, int | None, bool]:
    """The time column (or index level) of a Dask DataFrame's `meta`, and whether its times leave a
    choice of how they read (text, whole numbers)."""
    import pandas
    from ornivex import frame

    name, values, level = frame.pandas_time_values(meta)
    dtype = getattr(values, "dtype", None)
    if values is None or isinstance(dtype, pandas.DatetimeTZDtype) or getattr(dtype, "kind", "") == "M":
        return name, level, False
    return name, level, True


def _with_readable_times(sample: Any, name: str, level: int | None) -> Any:
    """Dask's stand-in rows with times that read, where its stand-in text ("a", "b") would not."""
    import pandas

    values = sample[name] if level is None else sample.index
    if not (isinstance(values.dtype, pandas.CategoricalDtype) or pandas.api.types.is_string_dtype(values.dtype)):
        return sample  # whole numbers read; other types are refused now, as they would be later
    days = pandas.Index(["2000-01-01"] * len(sample), dtype=object, name=values.name)
    if level is None:
        sample[name] = days.to_numpy()
    else:
        sample.index = days
    return sample


def _time_form(ddf: Any, name: str, level: int | None) -> Any:
    """How the time column of `ddf` reads as a whole, lazily: the rows of each partition whose times
    decide it, read together in order (as the whole column would be, naming the same row if refused)."""
    import dask

    times = ddf[[name]] if level is None else ddf.index.to_frame()
    witnesses = [dask.delayed(_witnesses, pure=True)(part) for part in times.to_delayed()]
    return dask.delayed(_form_of, pure=True)(witnesses)


def _witnesses(times: Any) -> Any:
    """The rows of a partition's times that decide how its column reads, from its distinct times (a
    long table repeats each time for every symbol)."""
    from ornivex import frame

    distinct = times.drop_duplicates()
    return distinct.iloc[frame.time_witnesses(distinct)]


def _form_of(witnesses: list) -> str | None:
    import pandas
    from ornivex import frame

    return frame.time_form(pandas.concat(witnesses))


def _present(symbols: Any) -> int:
    """The position of a symbol that is not missing (Dask's sample of a categorical starts with one that is)."""
    import pandas

    return int(np.argmin(pandas.isna(symbols)))


def _symbol_source(ddf: Any, by: str) -> tuple[str, bool]:
    """The column or index named `by` (a column first, then without regard to case), and whether it is the index."""
    index = ddf.index.name
    for matches in (lambda name: name == by, lambda name: isinstance(by, str) and str(name).lower() == by.lower()):
        column = next((c for c in ddf.columns if matches(c)), None)
        if column is not None:
            return column, False
        if index is not None and matches(index):
            return index, True
    raise KeyError(f"no column {by!r} to group the rows by (columns: {', '.join(map(str, ddf.columns))}"
                   + (f"; index: {index})" if index is not None else ")"))


def _split_by_symbol(divisions: tuple) -> bool:
    """Whether the divisions are known and no symbol begins two partitions."""
    starts = divisions[:-1]
    return starts[0] is not None and all(a < b for a, b in zip(starts, starts[1:]))


def _in_place(function: Callable[..., Any], ddf: Any, options: dict, meta: Any, form: Any) -> Any:
    """Each partition of `ddf` computed where it lies, with the rows an earlier partition holds of its first symbol."""
    import dask
    import dask.dataframe as dd

    divisions, parts = ddf.divisions, ddf.to_delayed()
    last = len(parts) - 1
    tail = dask.delayed(_tail, pure=True)
    tails = [None] + [tail(part, divisions[i + 1]) for i, part in enumerate(parts[:-1])]
    compute = dask.delayed(_compute_in_place, pure=True)
    computed = [compute(part, tails[i], i, divisions[i], None if i == last else divisions[i + 1],
                        function, options, meta, form) for i, part in enumerate(parts)]
    return dd.from_delayed(computed, meta=meta, divisions=divisions, verify_meta=False)


def _tail(part: Any, end: Any) -> Any:
    return part[~_below(part.index, end, True)]


def _compute_in_place(part: Any, earlier: Any, number: int, start: Any, end: Any,
                      function: Callable[..., Any], options: dict, meta: Any, form: str | None) -> Any:
    """Partition `number`'s rows from `start` up to `end` (None: the last partition), after the rows
    the partition before it holds from `start` on (`earlier`); times that leave a choice read in `form`."""
    import pandas
    from ornivex import frame

    _require_none(part[_below(part.index, start, False)], number)
    if end is not None:
        if earlier is not None:
            _require_none(earlier[~_below(earlier.index, end, True)], number - 1)
        kept = _below(part.index, end, True)
        part = part if kept.all() else part[kept]
    if earlier is not None and len(earlier):
        part = pandas.concat([earlier, part])
    if not len(part):
        return meta
    with frame.times_read_as(form):
        return function(part, **options)


def _require_none(strays: Any, number: int) -> None:
    if len(strays):
        raise ValueError(f"partition {number} of the Dask DataFrame holds rows of {strays.index[0]!r} that its "
                         "divisions place in another partition (not the next): the divisions do not split the rows "
                         "by symbol; ddf.clear_divisions() has the rows shuffled instead")


def _below(index: Any, bound: Any, missing: bool) -> np.ndarray:
    """Which symbols of `index` sort before `bound`; `missing` for missing symbols."""
    import pandas

    if isinstance(index.dtype, pandas.CategoricalDtype) and not index.dtype.ordered:
        # Unordered categories do not compare, but sort (and were split) by their codes.
        codes = np.asarray(index.codes)
        return np.where(codes < 0, missing, codes < index.dtype.categories.get_loc(bound))
    return pandas.array(index < bound).to_numpy(dtype=bool, na_value=missing)


def _tag(part: Any, in_index: bool, partition_info: dict | None = None) -> Any:
    number = partition_info["number"] if partition_info else 0
    tags = {_PARTITION: np.int64(number), _ROW: np.arange(len(part), dtype=np.int64)}
    return part.assign(**tags, **({_SYMBOL: part.index} if in_index else {}))


def _compute(part: Any, function: Callable[..., Any], options: dict, meta: Any, form: str | None) -> Any:
    from ornivex import frame

    if len(part) == 0:  # a shuffle may leave a partition without symbols
        return meta
    part = part.sort_values([_PARTITION, _ROW], kind="stable")
    with frame.times_read_as(form):
        return function(part.drop(columns=[_PARTITION, _ROW, _SYMBOL], errors="ignore"), **options)
