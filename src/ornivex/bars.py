"""OHLC price bars: reading and checking CSV and Parquet files.

A bar file is a CSV file with a header row, or a Parquet file.  Column names
are matched without regard to case, surrounding spaces or angle brackets
(``<CLOSE>``):

- one time column, named ``date``, ``time``, ``datetime`` or ``timestamp``; in
  a file written by pandas (``df.to_csv()``) the first header cell is empty and
  that column is the time column when it holds times;
- ``open``, ``high``, ``low``, ``close``: finite numbers;
- ``volume``: optional; an empty volume cell is read as NaN.

Other columns are carried along: the table read keeps every column and cell as
written, so the command can write them back unchanged.

CSV files are read with pyarrow, column by column.  The separator (comma,
semicolon or tab) is found from the header; with a semicolon or a tab, prices
written with a decimal comma (``101,25``) are read as such.  A UTF-8 byte order
mark, CRLF line ends, quoted fields and blank lines are taken in their stride.

Times may be ISO 8601 dates or date-times (an offset such as ``+02:00`` or
``Z`` is converted to UTC), day formats such as ``31-Jan-24``,
``01/31/2024``, ``31.01.2024`` or ``2004.08.19`` (optionally followed by a
time of day), whole numbers ``YYYYMMDD``, or Unix epoch seconds or
milliseconds (told apart by size).  Years run from 1 to 9999.

Rows may run forwards or backwards in time (a file whose times all decrease is
read in reverse), but not both.  A missing, non-numeric, NaN, infinite or
overflowing price is an error, unless the rows holding them are to be skipped.
Repeated times and a high below its low are reported as warnings.

Every problem with a file raises :class:`BarsError`, whose message is one line
naming the file, the row (and its line) and the column.
"""

from __future__ import annotations

import csv
import io
import re
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Literal, Sequence

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pa_csv

TIME_COLUMNS = ("date", "time", "datetime", "timestamp")
PRICE_COLUMNS = ("open", "high", "low", "close")
SEPARATORS = (",", ";", "\t")

# Day formats tried, in this order, when the times are not ISO 8601 or whole numbers.
_DAY_FORMATS = ("%d-%b-%y", "%d-%b-%Y", "%m/%d/%Y", "%d/%m/%Y", "%m/%d/%y", "%Y/%m/%d", "%d.%m.%Y",
                "%Y.%m.%d")
_TIMES_OF_DAY = ("", " %H:%M", " %H:%M:%S")
_NUMBER = r"^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$|^[+-]?(?i:nan|inf|infinity)$"
_FIRST_DAY, _LAST_DAY = np.datetime64("0001-01-01", "ms"), np.datetime64("10000-01-01", "ms")  # from, before
# How the times of a file read where the text alone leaves a choice: whole numbers as YYYYMMDD days
# ("days"), epoch seconds ("s") or epoch milliseconds ("ms"), and day texts as one of _DAY_FORMATS
# (01/02/2024 is 2 January or 1 February).  A file read in parts (chunks, appended rows) is read the way
# its first times decide, part after part.
TimeForm = str
WholeNumbers = Literal["days", "s", "ms"]
_MILLISECONDS_FROM = 100_000_000_000  # as seconds, that would be past the year 5000


class BarsError(ValueError):
    """A bar file that cannot be used; ``str()`` is one line for the user."""

    def __init__(self, source: str, problem: str, *, row: int | None = None,
                 line: int | None = None, column: str | None = None) -> None:
        self.source, self.problem = source, problem
        self.row, self.line, self.column = row, line, column
        super().__init__(_where(source, row, line, column) + ": " + problem)


@dataclass(frozen=True)
class Bars:
    """Price bars in time order, and the table they were read from.

    `table` holds every column of the file, in the file's row order: for a
    CSV file every cell is the text as written (without its quotes), for a
    Parquet file the columns have their stored types.  Blank rows are left
    out.  `rows` gives the table row of each bar; rows skipped for a bad price
    have no bar.  The price arrays have one float64 element per bar.
    """

    source: str
    table: pa.Table
    rows: np.ndarray           # int64: the table row of each bar, in time order
    times: np.ndarray          # datetime64[ms], UTC where the file gave an offset
    open: np.ndarray
    high: np.ndarray
    low: np.ndarray
    close: np.ndarray
    volume: np.ndarray | None  # None when the file has no volume column
    time_column: int           # index of the time column in `table`
    sep: str = ","             # the CSV dialect read (and written back)
    decimal: str = "."
    plain_cells: bool = False  # True when no cell of `table` needs quotes in CSV (the file had none)
    warnings: tuple[str, ...] = field(default=())  # one line each: repeated times, high below low, skipped rows

    def __len__(self) -> int:
        return len(self.close)

    @property
    def reversed(self) -> bool:
        """True when the file runs backwards in time."""
        return bool(len(self.rows) > 1 and self.rows[0] > self.rows[-1])

    def label(self, i: int) -> str:
        """The time of bar `i` as the file writes it."""
        value = self.table.column(self.time_column)[int(self.rows[i])]
        if pa.types.is_string(value.type):
            return value.as_py()
        ticks = int(self.times[i].astype(np.int64))  # a typed time: ISO text, days alone at midnight
        unit = "D" if ticks % 86_400_000 == 0 else "s" if ticks % 1000 == 0 else "ms"
        return str(self.times[i].astype(f"datetime64[{unit}]"))

    @property
    def labels(self) -> list[str]:
        """Every bar's time as the file writes it (meant for short files)."""
        return [self.label(i) for i in range(len(self))]


def read_bars(path: str | Path, sep: str | None = None, decimal: str | None = None, *,
              skip_bad_rows: bool = False) -> Bars:
    """Read and check the bar file at `path` (``-`` reads standard input).

    A name ending in ``.parquet`` is read as Parquet, anything else as CSV;
    `sep` and `decimal` override what is found in a CSV file.  With
    `skip_bad_rows`, rows with a missing or bad price have no bar instead of
    being an error, and a warning says how many there were.
    """
    source = "<stdin>" if str(path) == "-" else str(path)
    try:
        if source == "<stdin>":
            data = sys.stdin.buffer.read()
        else:
            data = Path(path).read_bytes()
    except OSError as exc:
        raise BarsError(source, f"cannot read the file ({exc.strerror or exc})") from None
    return parse_bars(data, source, sep, decimal, skip_bad_rows=skip_bad_rows)


def parse_bars(data: bytes, source: str, sep: str | None = None, decimal: str | None = None, *,
               skip_bad_rows: bool = False) -> Bars:
    """Bars from the bytes of a bar file: Parquet when `source` ends in ``.parquet`` or the bytes say so."""
    if source.lower().endswith((".parquet", ".pq")) or data[:4] == b"PAR1":
        return parse_parquet(data, source, skip_bad_rows=skip_bad_rows)
    return parse_csv(data, source, sep=sep, decimal=decimal, skip_bad_rows=skip_bad_rows)


def parse_csv(data: bytes, source: str = "<bars>", *, sep: str | None = None, decimal: str | None = None,
              skip_bad_rows: bool = False) -> Bars:
    """Bars from the bytes of a CSV file; `source` names it in messages."""
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    text = _CsvText(data, source)
    sep = sep or text.separator()
    if decimal == sep:
        raise BarsError(source, f"the decimal mark and the separator are both {sep!r}")
    header = text.header(sep)
    names = [f"c{i}" for i in range(len(header))]
    try:
        table = pa_csv.read_csv(
            pa.BufferReader(data),
            read_options=pa_csv.ReadOptions(column_names=names, skip_rows=text.header_lines(sep),
                                            block_size=1 << 24),
            parse_options=pa_csv.ParseOptions(delimiter=sep, newlines_in_values=True),
            convert_options=pa_csv.ConvertOptions(column_types={n: pa.string() for n in names},
                                                  strings_can_be_null=False, quoted_strings_can_be_null=False))
    except pa.ArrowInvalid as exc:
        if "UTF8" in str(exc) or "utf8" in str(exc).lower():
            raise BarsError(source, "not a text file in UTF-8") from None
        row, fields = text.first_ragged_row(sep, len(header))
        if row is None:
            raise BarsError(source, f"cannot read the file ({exc})") from None
        raise BarsError(source, f"{fields} fields, but the header has {len(header)}",
                        row=row, line=text.line_of(row, sep)) from None
    table = table.rename_columns(header)
    # Rows of empty cells only (",,,,") are blank rows, as spreadsheets export them.
    first_cells = pc.binary_length(table.column(0)) if table.num_rows and table.num_columns > 1 else None
    if first_cells is not None and pc.min(first_cells).as_py() <= 1:  # a blank row starts with an empty cell
        filled = pc.not_equal(pc.utf8_length(pc.utf8_trim_whitespace(table.column(0))), 0)
        for column in table.columns[1:]:
            filled = pc.or_(filled, pc.not_equal(pc.utf8_length(pc.utf8_trim_whitespace(column)), 0))
        if not pc.all(filled).as_py():
            kept = np.flatnonzero(filled.to_numpy(zero_copy_only=False))
            text.drop_rows(kept)
            table = table.take(pa.array(kept))
    if decimal is None:
        decimal = "," if sep != "," and _uses_decimal_comma(table, header) else "."
    bars = _bars(table, source, lambda row: text.line_of(row, sep), sep=sep, decimal=decimal,
                 skip_bad_rows=skip_bad_rows)
    return Bars(**{**bars.__dict__, "plain_cells": b'"' not in data})


def parse_parquet(data: bytes, source: str = "<bars>", *, skip_bad_rows: bool = False) -> Bars:
    """Bars from the bytes of a Parquet file."""
    import pyarrow.parquet as pq
    try:
        table = pq.read_table(pa.BufferReader(data))
    except (pa.ArrowException, OSError) as exc:
        raise BarsError(source, f"not a Parquet file that can be read ({exc})") from None
    return table_bars(table, source, skip_bad_rows=skip_bad_rows)


def table_bars(table: pa.Table, source: str, *, skip_bad_rows: bool = False) -> Bars:
    """Bars from a table with typed or text columns (one symbol's rows of a dataset, say)."""
    return _bars(table, source, None, skip_bad_rows=skip_bad_rows)


def bar_columns(schema: pa.Schema, source: str) -> dict[str, str]:
    """The names of the time, price and (if any) volume columns of a table with `schema`."""
    found = _locate_columns(schema.empty_table(), source, False)
    return {role: schema.names[index] for role, index in found.items()}


def _bars(table: pa.Table, source: str, line_of: Callable[[int], int] | None, *, sep: str = ",",
          decimal: str = ".", skip_bad_rows: bool) -> Bars:
    """Locate, convert and check the columns of a table read from `source`."""
    header = table.column_names

    def error(problem: str, index: int | None = None, column: int | None = None) -> BarsError:
        row = None if index is None else index + 1
        line = line_of(row) if line_of and row is not None else None
        return BarsError(source, problem, row=row, line=line if line_of else None,
                         column=None if column is None else header[column])

    if table.num_columns == 0:
        raise BarsError(source, "the file is empty (a header row and at least one bar are needed)")
    columns = _locate_columns(table, source, line_of is not None)
    if table.num_rows == 0:
        raise BarsError(source, "no bars after the header", line=1 if line_of else None)

    prices, volume, bad, first = checked_numbers(table, columns, decimal, error)

    notes: list[str] = []
    if first is not None:
        index, column, problem = first
        if not skip_bad_rows:
            raise error(problem, index, column)
        count = int(bad.sum())
        notes.append(f"skipped {count} row{'s' * (count != 1)} with a missing or bad price "
                     f"(the first: {error(problem, index, column)})")
        if bad.all():
            raise BarsError(source, "no bars left after skipping the rows with a missing or bad price")

    kind_problem = time_type_problem(table.column(columns["time"]).type)
    if kind_problem:
        raise error(kind_problem, None, columns["time"])
    times = _parse_times(table.column(columns["time"]), lambda problem, i: error(problem, i, columns["time"]))
    kept = np.flatnonzero(~bad)
    order = time_order(times[kept], lambda problem, i: error(
        f"{_cell_text(table.column(columns['time']), int(kept[i]))!r} {problem}", int(kept[i]), columns["time"]))
    rows = kept[order]

    bars = Bars(source=source, table=table, rows=rows, times=times[rows],
                open=prices["open"][rows], high=prices["high"][rows], low=prices["low"][rows],
                close=prices["close"][rows], volume=None if volume is None else volume[rows],
                time_column=columns["time"], sep=sep, decimal=decimal)
    repeated = np.flatnonzero(bars.times[1:] == bars.times[:-1]) + 1
    if len(repeated):
        i = int(repeated[0])
        notes.append(f"{error(f'{bars.label(i)} repeats the time of the row before it', int(rows[i]), columns['time'])}"
                     f" ({len(repeated)} such row{'s' * (len(repeated) != 1)}); the results are still written")
    inverted = np.flatnonzero(bars.high < bars.low)
    if len(inverted):
        i = int(inverted[0])
        where = error("", int(rows[i]), columns["high"])
        notes.append(f"{str(where)[:-2]}: the high {_text(bars.high[i])} is below the low {_text(bars.low[i])} "
                     f"({len(inverted)} such row{'s' * (len(inverted) != 1)}); the results are still written")
    return Bars(**{**bars.__dict__, "warnings": tuple(notes)})


def checked_numbers(table: pa.Table, columns: dict[str, int], decimal: str,
                    error: Callable[[str, int, int], Exception]
                    ) -> tuple[dict[str, np.ndarray], np.ndarray | None, np.ndarray, tuple[int, int, str] | None]:
    """The price columns (and volume, when there is one) as numbers, which rows
    hold a bad price, and the first such (row index, column, problem).  A price
    may be bad (the caller stops or skips the row); a volume may be empty or
    NaN, but text in it raises `error(problem, row, column)` at once."""
    prices: dict[str, np.ndarray] = {}
    bad = np.zeros(table.num_rows, dtype=bool)
    first: tuple[int, int, str] | None = None
    for name in PRICE_COLUMNS:
        values, problem_at = _numbers(table.column(columns[name]), decimal)
        prices[name] = values
        if problem_at is not None:
            row_bad = ~np.isfinite(values)
            bad |= row_bad
            index = int(np.argmax(row_bad))
            if first is None or index < first[0]:
                first = (index, columns[name], problem_at(index))
    volume = None
    if "volume" in columns:
        volume, problem_at = _numbers(table.column(columns["volume"]), decimal)
        if problem_at is not None:
            words = _non_numbers(table.column(columns["volume"]), decimal)
            if words.any():
                index = int(np.argmax(words))
                raise error(problem_at(index), index, columns["volume"])
    return prices, volume, bad, first


def _locate_columns(table: pa.Table, source: str, has_lines: bool) -> dict[str, int]:
    header = table.column_names
    line = 1 if has_lines else None
    found: dict[str, int] = {}
    for index, name in enumerate(header):
        key = name.strip().strip("<>").strip().lower()
        if key in TIME_COLUMNS:
            key = "time"
        if key in (*PRICE_COLUMNS, "volume", "time"):
            if key in found:
                raise BarsError(source, f"two {'time' if key == 'time' else repr(key)} columns "
                                f"({header[found[key]]!r} and {name!r})", line=line)
            found[key] = index
    if "time" not in found:
        found.update(_unnamed_time_column(table))
    listing = ", ".join(header)
    if "time" not in found:
        raise BarsError(source, f"missing column 'date' (or 'time'); the header has: {listing}", line=line)
    for name in PRICE_COLUMNS:
        if name not in found:
            raise BarsError(source, f"missing column {name!r}; the header has: {listing}", line=line)
    return found


def _unnamed_time_column(table: pa.Table) -> dict[str, int]:
    """The time column of a file without a named one: pandas writes its index first, unnamed."""
    for index, (name, column) in enumerate(zip(table.column_names, table.columns)):
        if pa.types.is_timestamp(column.type) or pa.types.is_date(column.type):
            return {"time": index}
    if table.column_names[0].strip() in ("", "__index_level_0__") and table.num_rows:
        try:
            _parse_times(table.column(0), _raise_plain)
        except ValueError:
            return {}
        return {"time": 0}
    return {}


def _raise_plain(problem: str, index: int) -> ValueError:
    return ValueError(problem)


def _uses_decimal_comma(table: pa.Table, header: Sequence[str]) -> bool:
    for index, name in enumerate(header):
        if name.strip().strip("<>").strip().lower() in PRICE_COLUMNS:
            return bool(pc.any(pc.match_substring(table.column(index), ",")).as_py())
    return False


# -- numbers ----------------------------------------------------------------------------------

def _numbers(column: pa.ChunkedArray, decimal: str) -> tuple[np.ndarray, Callable[[int], str] | None]:
    """A column as float64 (empty cells NaN) and, if any value is not finite, a function naming the problem.

    The function takes a row index whose value is not finite and says what is wrong there.
    """
    if pa.types.is_string(column.type) or pa.types.is_large_string(column.type):
        try:  # the common case: plain numbers, no blanks or spaces
            floats = pc.cast(pc.replace_substring(column, decimal, ".") if decimal != "." else column,
                             pa.float64()).to_numpy()
            if np.isfinite(floats).all():
                return floats, None
        except pa.ArrowInvalid:
            pass
        text = pc.utf8_trim_whitespace(column)
        if decimal != ".":
            text = pc.replace_substring(text, decimal, ".")
        empty = pc.equal(text, "")
        blanked = pc.if_else(empty, pa.scalar(None, pa.string()), text)
        try:
            values = pc.cast(blanked, pa.float64())
        except pa.ArrowInvalid:
            number = pc.match_substring_regex(text, _NUMBER)
            values = pc.cast(pc.if_else(number, blanked, pa.scalar(None, pa.string())), pa.float64())
        floats = values.to_numpy(zero_copy_only=False)
        if floats.dtype != np.float64 or not np.isfinite(floats).all():
            floats = np.asarray(floats, dtype=np.float64)

            def problem(index: int) -> str:
                cell = column[index].as_py()
                if not cell.strip():
                    return "empty value"
                if pc.match_substring_regex(pa.array([text[index].as_py()]), _NUMBER)[0].as_py():
                    return f"{cell.strip()!r} is not a finite number"
                return f"{cell.strip()!r} is not a number"
            return floats, problem
        return floats, None
    try:
        values = pc.cast(column, pa.float64())
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
        return np.full(len(column), np.nan), lambda index: f"{column[index].as_py()!r} is not a number"
    floats = np.asarray(values.to_numpy(zero_copy_only=False), dtype=np.float64)
    if np.isfinite(floats).all():
        return floats, None
    return floats, lambda index: ("empty value" if column[index].as_py() is None
                                  else f"{str(column[index].as_py())!r} is not a finite number")


def _non_numbers(column: pa.ChunkedArray, decimal: str) -> np.ndarray:
    """Cells that hold text other than a number (empty cells are not counted)."""
    if not pa.types.is_string(column.type):
        return np.zeros(len(column), dtype=bool)
    text = pc.utf8_trim_whitespace(column)
    if decimal != ".":
        text = pc.replace_substring(text, decimal, ".")
    fine = pc.or_(pc.equal(text, ""), pc.match_substring_regex(text, _NUMBER))
    return ~np.asarray(fine.to_numpy(zero_copy_only=False), dtype=bool)


def _text(value: float) -> str:
    return format(float(value), ".15g")


# -- times ------------------------------------------------------------------------------------

def time_type_problem(kind: pa.DataType) -> str | None:
    """Why a column of type `kind` cannot hold the times of bars; None when it can.

    Times are timestamps (any unit, any zone), dates, whole numbers (of at
    most 63 bits) or text.
    """
    if pa.types.is_dictionary(kind):
        kind = kind.value_type
    if (pa.types.is_timestamp(kind) or pa.types.is_date(kind) or pa.types.is_string(kind)
            or pa.types.is_large_string(kind) or pa.types.is_signed_integer(kind)
            or (pa.types.is_unsigned_integer(kind) and kind.bit_width < 64)):
        return None
    return f"holds {kind}, not times (timestamps, dates, whole numbers or text)"


def _parse_times(column: pa.ChunkedArray, error: Callable[[str, int], Exception]) -> np.ndarray:
    """A time column as datetime64[ms], UTC where it gives an offset."""
    return read_times(column, error)[0]


def read_times(column: pa.ChunkedArray, error: Callable[[str, int], Exception],
               form: TimeForm | None = None) -> tuple[np.ndarray, TimeForm | None]:
    """A time column as datetime64[ms], and the form its times were read in (None: no choice made).

    `form` is how earlier parts of the same file were read: whole numbers
    and day texts here are read that way too, or refused when they cannot be.
    """
    problem = time_type_problem(column.type)
    if problem:
        raise ValueError(problem)  # of the column, not of a row: the reader checks it first to name the column
    if pa.types.is_dictionary(column.type):
        column = pc.cast(column, column.type.value_type)
    if pa.types.is_timestamp(column.type) or pa.types.is_date(column.type):
        if column.null_count:
            raise error("empty value", _first_null(column))
        values = pc.cast(column, pa.timestamp("ms", getattr(column.type, "tz", None)))
        if getattr(column.type, "tz", None):
            values = pc.cast(values, pa.timestamp("ms"))  # stored as UTC
        return _checked_years(values.to_numpy(), error), form
    if pa.types.is_integer(column.type):
        return _whole_number_times(pc.cast(column, pa.int64()).to_numpy(), error, form)
    if not pa.types.is_string(column.type):
        column = pc.cast(column, pa.string())
    try:  # the common case: ISO 8601 without an offset (refusing a long column takes long: its first
        # text is tried alone first)
        pc.cast(column.slice(0, 1), pa.timestamp("ms"))
        return _checked_years(pc.cast(column, pa.timestamp("ms")).to_numpy(), error), form
    except pa.ArrowInvalid:
        pass
    # Past the common case each text is read many times over (trimmed, matched, tried in format after
    # format), and a long table repeats each time for every symbol: each distinct text is read once.
    # Taken in the order they first appear, the distinct texts lead to the same choices, and the first
    # one refused is the one the first refused row holds.
    encoded = pc.dictionary_encode(column.combine_chunks(), null_encoding="encode")
    codes = encoded.indices.to_numpy()
    times, form = _text_times(pa.chunked_array([encoded.dictionary]),
                              lambda problem, i: error(problem, int(np.argmax(codes == i))), form)
    return times[codes], form


def _text_times(column: pa.ChunkedArray, error: Callable[[str, int], Exception],
                form: TimeForm | None) -> tuple[np.ndarray, TimeForm | None]:
    """Texts other than ISO 8601 without an offset as times, as read_times reads them."""
    text = pc.utf8_trim_whitespace(column)
    empty = pc.equal(text, "")
    if pc.any(empty).as_py():
        raise error("empty value", _first_true(empty))
    if pc.all(pc.match_substring_regex(text, r"^-?\d+$")).as_py():
        try:
            numbers = pc.cast(text, pa.int64()).to_numpy()
        except pa.ArrowInvalid:
            raise error(f"{text[0].as_py()!r} is not a date or time", 0) from None
        return _whole_number_times(numbers, error, form)
    for kind in (pa.timestamp("ms"), pa.timestamp("ms", "UTC")):
        try:
            pc.cast(text.slice(0, 1), kind)  # refusing a long column takes long
            values = pc.cast(text, kind)
        except pa.ArrowInvalid:
            continue
        return _checked_years(pc.cast(values, pa.timestamp("ms")).to_numpy(), error), form
    index = 0  # the row to name: where the format that reads the most leading rows first fails
    decided = form in _DAY_FORMATS
    for day in (form,) if form is not None and decided else _DAY_FORMATS:
        for time_of_day in _TIMES_OF_DAY:
            if not decided and not _in_day_format(text.slice(0, 1), day, time_of_day)[0].is_valid:
                continue  # a format that cannot read the first text neither reads them all nor names a row
            parsed = _in_day_format(text, day, time_of_day)
            if parsed.null_count == 0:
                return _checked_years(parsed.to_numpy(), error), form or day
            if parsed[0].is_valid or decided:
                index = max(index, _first_null(parsed))
    if decided:
        raise error(f"{text[index].as_py()!r} is not a day written {form}, and the earlier times of the file "
                    "read so", index)
    iso = _existing_days(pc.strptime(text, format="%Y-%m-%d", unit="ms", error_is_null=True),
                         _day_of_month_text(text, "%Y-%m-%d"))
    if iso[0].is_valid:
        index = max(index, _first_null(iso))
    raise error(f"{text[index].as_py()!r} is not a date or time", index)


def time_witnesses(column: pa.Array) -> np.ndarray:
    """The positions of the times of `column` (none missing) that decide how a longer column holding
    them reads.

    The reader puts every time to the same tests (a cast, each day format, a kind of whole number,
    the range of years) and names the first row that fails the test deciding the matter.  So the first
    row of each part of a column and each part's first row failing each test, taken in order, make a
    short column that reads in the same form as the whole, or is refused naming the same row: a part
    is checked alone without knowing how the others read.
    """
    if pa.types.is_dictionary(column.type):
        column = column.dictionary_decode()
    rows = [0]

    def first(mask: np.ndarray | pa.Array) -> None:
        if isinstance(mask, (pa.Array, pa.ChunkedArray)):
            mask = pc.fill_null(mask, False).to_numpy(zero_copy_only=False)
        if mask.any():
            rows.append(int(np.argmax(mask)))

    def refused(values: pa.Array, kind: pa.DataType) -> bool:
        at = _first_refused(values, kind)
        if at is not None:
            rows.append(at)
        return at is not None

    def years(times: np.ndarray) -> None:
        times = np.asarray(times).astype("datetime64[ms]")
        first(times >= _LAST_DAY)
        first(times < _FIRST_DAY)

    if not len(column) or time_type_problem(column.type):
        return np.arange(min(len(column), 1))
    if pa.types.is_timestamp(column.type) or pa.types.is_date(column.type):
        return np.arange(1)  # typed times leave no choice; a part read alone names its own
    if pa.types.is_integer(column.type):
        _whole_number_witnesses(pc.cast(column, pa.int64()).to_numpy(), first)
        return np.unique(rows)
    if not pa.types.is_string(column.type):
        column = pc.cast(column, pa.string())
    text = pc.utf8_trim_whitespace(column)
    iso = _existing_days(pc.strptime(text, format="%Y-%m-%d", unit="ms", error_is_null=True),
                         _day_of_month_text(text, "%Y-%m-%d"))
    first(pc.is_null(iso))
    if not refused(column, pa.timestamp("ms")):  # no day format reads such a text
        years(pc.cast(column, pa.timestamp("ms")).to_numpy())
        return np.unique(rows)
    first(pc.equal(text, ""))
    whole = pc.match_substring_regex(text, r"^-?\d+$")
    first(pc.invert(whole))
    if pc.all(whole).as_py() and not refused(text, pa.int64()):
        _whole_number_witnesses(pc.cast(text, pa.int64()).to_numpy(), first)
    for kind in (pa.timestamp("ms"), pa.timestamp("ms", "UTC")):
        if not refused(text, kind):
            years(pc.cast(pc.cast(text, kind), pa.timestamp("ms")).to_numpy())
    for day in _DAY_FORMATS:
        for time_of_day in _TIMES_OF_DAY:
            if not _in_day_format(text.slice(0, 1), day, time_of_day)[0].is_valid:
                continue  # the first row, a witness already, is the first one it refuses
            parsed = _in_day_format(text, day, time_of_day)
            first(pc.is_null(parsed))
            years(parsed.to_numpy(zero_copy_only=False))
    return np.unique(rows)


def _whole_number_witnesses(numbers: np.ndarray, first: Callable[[np.ndarray], None]) -> None:
    days_like = _written_as_days(numbers)
    first(~days_like)
    first(numbers >= _MILLISECONDS_FROM)
    first(numbers <= -_MILLISECONDS_FROM)
    days = _existing_days(pc.strptime(pa.array(numbers.astype(str)), format="%Y%m%d", unit="ms", error_is_null=True),
                          pa.array((numbers % 100).astype(str)))
    first(days_like & np.asarray(pc.is_null(days)))
    for unit in ("s", "ms"):
        times = numbers.astype(f"datetime64[{unit}]").astype("datetime64[ms]")
        first((times >= _LAST_DAY) | (times < _FIRST_DAY) | np.isnat(times))


def _first_refused(values: pa.Array, kind: pa.DataType) -> int | None:
    """The position of the first value a cast to `kind` refuses (None: it takes them all), found by
    halving: the cast refuses a whole array without saying where."""
    try:
        pc.cast(values.slice(0, 1), kind)  # refusing a long column takes long
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
        return 0
    try:
        pc.cast(values, kind)
        return None
    except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
        pass
    read, refused = 1, len(values)  # values[:read] are taken; values[:refused] are not
    while refused - read > 1:
        middle = (read + refused) // 2
        try:
            pc.cast(values.slice(read, middle - read), kind)
            read = middle
        except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
            refused = middle
    return read


_FIELD_PATTERNS = {"%d": r"(?P<day>\d{1,2})", "%m": r"\d{1,2}", "%Y": r"[+-]?\d+", "%y": r"\d{1,2}",
                   "%b": r"[^\W\d_]+"}


def _in_day_format(text: pa.Array | pa.ChunkedArray, day: str, time_of_day: str) -> pa.Array | pa.ChunkedArray:
    """The texts read as `day` followed by `time_of_day`; null where they do not, or the day does not exist."""
    return _existing_days(pc.strptime(text, format=day + time_of_day, unit="ms", error_is_null=True),
                          _day_of_month_text(text, day))


def _day_of_month_text(text: pa.Array | pa.ChunkedArray, day_format: str) -> pa.Array | pa.ChunkedArray:
    """The day of the month as written in each text of `day_format`; null where the text has another form."""
    pattern = "^" + "".join(_FIELD_PATTERNS.get(part, re.escape(part))
                            for part in re.split(r"(%\w)", day_format.split(" ")[0]) if part)
    return pc.struct_field(pc.extract_regex(text, pattern), "day")


def _existing_days(parsed: pa.Array | pa.ChunkedArray, day_text: pa.Array | pa.ChunkedArray
                   ) -> pa.Array | pa.ChunkedArray:
    """`parsed` with null where the day of the month written is not the day read.

    The parser carries a day past the end of its month into the next month (31
    February becomes 2 March); such a day does not exist.
    """
    same = pc.equal(pc.day(parsed), pc.cast(day_text, pa.int64()))
    return pc.if_else(pc.fill_null(same, True), parsed, pa.scalar(None, parsed.type))


def whole_number_kind(numbers: np.ndarray) -> WholeNumbers:
    """How a column of whole numbers reads as times: YYYYMMDD days when every one is written as such a
    day, else epoch milliseconds when the largest magnitude is 1e11 or more, else epoch seconds."""
    if _written_as_days(numbers).all():
        return "days"
    return "ms" if np.abs(numbers).max() >= _MILLISECONDS_FROM else "s"


def _written_as_days(numbers: np.ndarray) -> np.ndarray:
    month, day = numbers // 100 % 100, numbers % 100
    return ((numbers >= 1000_01_01) & (numbers <= 9999_12_31) & (month >= 1) & (month <= 12)
            & (day >= 1) & (day <= 31))


def _whole_number_times(numbers: np.ndarray, error: Callable[[str, int], Exception],
                        form: TimeForm | None = None) -> tuple[np.ndarray, TimeForm | None]:
    """Whole numbers as times, read in the `form` of the earlier times of their file when that is a
    kind of whole numbers (else as the numbers themselves decide), and the form the file now has.
    A YYYYMMDD day that does not exist (20040231) is an error, and so is a number that cannot be read
    as the `form` given."""
    if not len(numbers):
        return numbers.astype("datetime64[ms]"), form
    decided = form in ("days", "s", "ms")
    kind = form if decided else whole_number_kind(numbers)
    if kind == "days":
        days_like = _written_as_days(numbers)
        if not days_like.all():
            index = int(np.argmin(days_like))
            raise error(f"{str(numbers[index])!r} is not a YYYYMMDD day, and the earlier times of the file "
                        "read as such days", index)
        days = pc.strptime(pa.array(numbers.astype(str)), format="%Y%m%d", unit="ms", error_is_null=True)
        days = _existing_days(days, pa.array((numbers % 100).astype(str)))
        if days.null_count:
            index = _first_null(days)
            raise error(f"{str(numbers[index])!r} is not a date or time", index)
        return _checked_years(days.to_numpy(), error), form or kind
    if decided and kind == "s":
        milliseconds = (numbers >= _MILLISECONDS_FROM) | (numbers <= -_MILLISECONDS_FROM)
        if milliseconds.any():
            index = int(np.argmax(milliseconds))
            raise error(f"{str(numbers[index])!r} is epoch milliseconds, and the earlier times of the file "
                        "read as epoch seconds", index)
    return _checked_years(numbers.astype(f"datetime64[{kind}]").astype("datetime64[ms]"), error), form or kind


def _checked_years(times: np.ndarray, error: Callable[[str, int], Exception]) -> np.ndarray:
    times = np.asarray(times).astype("datetime64[ms]")
    late = times >= _LAST_DAY
    if late.any():
        index = int(np.argmax(late))
        raise error(f"{times[index]} is beyond the year 9999", index)
    early = (times < _FIRST_DAY) | np.isnat(times)  # NaT: the smallest 64-bit number, read as a time
    if early.any():
        index = int(np.argmax(early))
        raise error(f"{'the time' if np.isnat(times[index]) else times[index]} is before the year 1", index)
    return times


def time_order(times: np.ndarray, error: Callable[[str, int], Exception]) -> np.ndarray:
    """Indices that put the rows forwards in time; the rows must run one way (times compared, never
    subtracted: any two times of any unit compare, however far apart)."""
    later, earlier = times[1:] > times[:-1], times[1:] < times[:-1]
    if not earlier.any():
        return np.arange(len(times))
    if not later.any():
        return np.arange(len(times))[::-1]
    # Mixed directions: name the first row that breaks the direction the rows start in.
    forwards = bool(later[np.argmax(later | earlier)])
    bad = int(np.argmax(earlier if forwards else later)) + 1
    direction = "earlier" if forwards else "later"
    raise error(f"is {direction} than the row before it; rows must be in time order", bad)


def parse_times(column: pa.Array | pa.ChunkedArray, error: Callable[[str, int], Exception]) -> np.ndarray:
    """Times of any form the reader takes (text, whole numbers, dates, timestamps with or without
    a zone) as datetime64[ms], UTC where they give an offset; `error(problem, index)` makes the
    exception for the first value that is no time (a null included)."""
    return _parse_times(column if isinstance(column, pa.ChunkedArray) else pa.chunked_array([column]), error)


def _cell_text(column: pa.ChunkedArray, index: int) -> str:
    value = column[index].as_py()
    return value.strip() if isinstance(value, str) else str(value)


def _first_true(mask: pa.ChunkedArray | pa.Array) -> int:
    return int(np.argmax(np.asarray(mask.to_numpy(zero_copy_only=False), dtype=bool)))


def _first_null(values: pa.ChunkedArray | pa.Array) -> int:
    return _first_true(pc.is_null(values))


def _where(source: str, row: int | None, line: int | None, column: str | None) -> str:
    where = [source]
    if row is not None:
        where.append(f"row {row}" + (f" (line {line})" if line is not None else ""))
    elif line is not None:
        where.append(f"line {line}")
    if column is not None:
        where.append(f"column {column!r}")
    return ", ".join(where)


# -- CSV text: the header, the separator, and where a row is --------------------------------------

class _CsvText:
    """The raw text of a CSV file, read again only to name a line in a message."""

    def __init__(self, data: bytes, source: str) -> None:
        self.data, self.source = data, source
        self.kept: np.ndarray | None = None  # data rows kept after blank rows were dropped

    def _records(self, sep: str):
        """(first line, fields) of every non-blank record, the header included."""
        try:
            reader = self._reader(sep)
            start = 1
            for fields in reader:
                if fields:
                    yield start, fields
                start = reader.line_num + 1
        except UnicodeDecodeError:
            raise BarsError(self.source, "not a text file in UTF-8") from None

    def _reader(self, sep: str):
        # No cell of the file may be too long for the reader: the table reader took them all.
        if csv.field_size_limit() <= len(self.data):
            csv.field_size_limit(min(len(self.data) + 1, sys.maxsize))
        return csv.reader(io.TextIOWrapper(io.BytesIO(self.data), encoding="utf-8", newline=""), delimiter=sep)

    def header(self, sep: str) -> list[str]:
        for _, fields in self._records(sep):
            if any(f.strip() for f in fields):
                return [f.strip() for f in fields]
            break
        raise BarsError(self.source, "the file is empty (a header row and at least one bar are needed)")

    def header_lines(self, sep: str) -> int:
        """Physical lines up to the end of the header: what the table reader skips."""
        reader = self._reader(sep)
        for fields in reader:
            if fields:
                return reader.line_num
        return 0

    def separator(self) -> str:
        end = self.data.find(b"\n")
        first = self.data[:end if end >= 0 else len(self.data)].decode("utf-8", "replace")
        counts = {sep: _unquoted(first).count(sep) for sep in SEPARATORS}
        best = max(SEPARATORS, key=lambda sep: counts[sep])
        return best if counts[best] else ","

    def drop_rows(self, kept: np.ndarray) -> None:
        self.kept = kept if self.kept is None else self.kept[kept]

    def line_of(self, row: int, sep: str) -> int:
        """The first line of data row `row` (1-based, counted as the table counts it)."""
        index = row - 1 if self.kept is None else int(self.kept[row - 1])
        for number, (start, _) in enumerate(self._records(sep)):
            if number == index + 1:
                return start
        return 0

    def first_ragged_row(self, sep: str, width: int) -> tuple[int | None, int]:
        for number, (_, fields) in enumerate(self._records(sep)):
            if number and len(fields) != width:
                return number, len(fields)
        return None, 0


def _unquoted(line: str) -> str:
    return "".join(part for i, part in enumerate(line.split('"')) if i % 2 == 0)


# -- sample data ------------------------------------------------------------------------------

def sample_bars() -> tuple[Bars, str]:
    """The default bars and a sentence saying what they are.

    Real daily bars when matplotlib is installed (it ships Google's daily
    prices from 2004 to 2008 as sample data); otherwise the synthetic bars
    bundled with this package.
    """
    try:
        from matplotlib import cbook
        with np.load(cbook.get_sample_data("goog.npz", asfileobj=False)) as archive:
            prices = archive["price_data"]
    except (ImportError, OSError, KeyError, ValueError):
        from importlib import resources
        data = resources.files("ornivex").joinpath("data/sample_bars.csv").read_bytes()
        bars = parse_csv(data, "sample_bars.csv")
        return bars, (f"{len(bars)} synthetic daily bars bundled with ornivex "
                      "(matplotlib is not installed, so its real sample prices are not available)")
    table = pa.table({"date": np.datetime_as_string(prices["date"].astype("datetime64[D]")),
                      **{name: prices[name].astype(np.float64) for name in (*PRICE_COLUMNS, "volume")}})
    buffer = io.BytesIO()
    pa_csv.write_csv(table, buffer, pa_csv.WriteOptions(quoting_style="none"))
    bars = parse_csv(buffer.getvalue(), "goog.npz")
    return bars, (f"{len(bars)} daily bars of Google (GOOG), {bars.label(0)} to {bars.label(len(bars) - 1)}, "
                  "from matplotlib's sample data")


def typed_table(bars: Bars, *, form: TimeForm | None = None) -> pa.Table:
    """The table of `bars` with its time and price columns typed.

    A Parquet file's table is returned as it is.  For a CSV file the time
    column becomes timestamp[ms], open/high/low/close and volume float64
    (null where a cell is empty or was skipped); every other column stays text
    as written (a ticker ``0700`` keeps its zero).  `form`: how the rest of
    the file's times were read (see read_times), for a part of a file.
    """
    table = bars.table
    if not all(pa.types.is_string(t) for t in table.schema.types):
        return table
    header = table.column_names
    roles = {index: name.strip().strip("<>").strip().lower() for index, name in enumerate(header)}
    columns = []
    for index, column in enumerate(table.columns):
        if index == bars.time_column:
            columns.append(pa.array(read_times(column, _raise_plain, form)[0]))
        elif roles[index] in (*PRICE_COLUMNS, "volume"):
            columns.append(pa.array(_numbers(column, bars.decimal)[0], from_pandas=True))
        else:
            columns.append(column)
    return pa.table(columns, names=header)
