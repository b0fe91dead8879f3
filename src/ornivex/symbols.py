"""Symbol numbering: a number per row for its symbol, from pandas, polars or Arrow columns.

A long table's rows are grouped by these numbers (0 .. count - 1, -1 for a
missing symbol) before the native passes compute each symbol on its own.
A missing symbol is None, null, NaN or pandas.NA alike, in pandas and polars.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from ornivex import _grouped


def _is_polars(obj: Any) -> bool:
    return type(obj).__module__.split(".")[0] == "polars"


def numbers(symbols: Any, threads: int) -> tuple[np.ndarray, int]:
    """A number per row for its symbol (0 .. count - 1, -1 where missing), and the count.

    Categorical columns give their codes; columns of strings in Arrow's layout (pandas' str and
    Arrow-backed columns, polars strings) and of Python str objects are numbered natively over
    `threads` threads, equal strings alike, in order of first appearance (as pandas.factorize
    numbers them)."""
    if _is_polars(symbols):
        return _polars_numbers(symbols, threads)
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
    if symbols.dtype == object or isinstance(values, pandas.arrays.StringArray):
        # Python str objects (an object column, as pandas before 3 reads text; pandas' python-stored
        # strings), numbered natively unless a row holds something else.
        numbered = _grouped.object_codes(np.asarray(values, dtype=object), (pandas.NA, pandas.NaT), threads)
        if numbered is not None:
            codes, first_rows = numbered
            return codes, len(first_rows)
    codes, uniques = pandas.factorize(symbols)
    return codes.astype(np.int64, copy=False), len(uniques)


def _polars_numbers(symbols: Any, threads: int) -> tuple[np.ndarray, int]:
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
    if symbols.dtype.is_float():
        symbols = symbols.fill_nan(None)  # a NaN symbol is missing, as pandas takes it
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
