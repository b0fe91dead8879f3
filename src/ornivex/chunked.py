"""Computing a bar file a chunk of rows at a time: memory bounded whatever its length, one symbol or many.

A chunk is checked as the whole-file reader (ornivex.bars) checks a file, with
its own helpers and messages: row numbers count from the top of the file.
Its rows are grouped by symbol, and each symbol's indicator streams
(ornivex.stream) carry on from where its rows in the previous chunk left
them, so that every value is bit for bit that of the symbol's whole series
computed at once.  The results are placed back on the chunk's rows, in the
input's order, and handed on (written as CSV, kept for a chart, summed up for
a scan) before the next chunk is read.

One pass needs each symbol's rows in time order.  A file whose rows must be
reordered (newest first, or a symbol's rows out of time order) is read whole
and reordered in memory when that fits the memory budget; beyond it the run
stops with a message naming the first row out of order.
"""

from __future__ import annotations

import csv
import io
import os
import re
import shutil
import sys
import tempfile
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Any, BinaryIO, Callable, Iterable, Iterator

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pa_csv

from ornivex import indicators, stream
from ornivex.bars import (PRICE_COLUMNS, BarsError, TimeForm, _CsvText, _locate_columns, _text,
                          _uses_decimal_comma, checked_numbers, read_times, typed_table)
from ornivex.writing import (OUTPUT_COLUMNS, WriteError, _new_file_mode, counted, is_direct, write_csv,
                             write_errors)

SYMBOL_NAMES = ("symbol", "ticker")  # a column of either name (any case) names each row's instrument
CHUNK_ROWS = 1 << 16
MEMORY_BUDGET = 1 << 30
# Reordering holds the whole file in memory: its text, cells, prices and results take about this many
# times the file's size.
BYTES_PER_FILE_BYTE = 10
_HEAD_BYTES = 1 << 20  # enough of a CSV file to find its header and separator


def chunk_rows() -> int:
    """Rows per chunk; ORNIVEX_CHUNK_ROWS overrides the default (tests make it tiny)."""
    text = os.environ.get("ORNIVEX_CHUNK_ROWS", "")
    return int(text) if text.isdigit() and int(text) > 0 else CHUNK_ROWS


@dataclass(frozen=True)
class Settings:
    amplitude: int = indicators.AMPLITUDE
    channel_deviation: float = indicators.CHANNEL_DEVIATION
    atr_length: int = indicators.ATR_LENGTH
    swing_period: int = indicators.SWING_PERIOD
    swing_multiplier: float = indicators.SWING_MULTIPLIER


class NeedsReordering(Exception):
    """The file cannot be computed in one pass, a chunk at a time: a symbol's rows go back in time, or
    (`times`) a chunk's times read another way alone than the earlier chunks' did."""

    def __init__(self, where: BarsError, *, times: bool = False) -> None:
        super().__init__(str(where))
        self.where, self.times = where, times


# -- the indicator state of one symbol ------------------------------------------------------------

class SymbolStreams:
    """One symbol's indicators, continued chunk after chunk: the results equal the whole-series ones."""

    __slots__ = ("atr", "halftrend", "swing", "trend", "bars", "band_bars")

    def __init__(self, settings: Settings) -> None:
        self.atr = stream.Atr(settings.atr_length)
        self.halftrend = stream.HalfTrend(settings.amplitude, settings.channel_deviation)
        self.swing = stream.Swing(settings.swing_period, settings.swing_multiplier)
        self.trend = indicators.UP
        self.bars = 0
        self.band_bars = indicators.swing_bars_needed(settings.swing_period)  # bars before the band is defined

    def extend(self, high: np.ndarray, low: np.ndarray, close: np.ndarray, high32: np.ndarray, low32: np.ndarray,
               close32: np.ndarray) -> list[np.ndarray]:
        """The next bars' values, one array per name of OUTPUT_COLUMNS but "trend" (see with_trend);
        the prices come in float64 and rounded to float32."""
        tr = self.atr.extend(high, low, close).astype(np.float32)
        result = self.halftrend.extend(high32, low32, close32, tr)
        indicators.present_arrows(result)  # type: ignore[arg-type]
        bands = self.swing.extend(close)
        bands[:max(self.band_bars - self.bars, 0), :2] = np.nan  # as the whole series presents them
        self.bars += len(close)
        return [tr, *(result[key] for key in indicators.HALFTREND_KEYS),  # type: ignore[literal-required]
                *(np.ascontiguousarray(bands[:, i]) for i in range(3))]


def with_trend(values: list[np.ndarray], starts: np.ndarray, carried: np.ndarray) -> list[np.ndarray]:
    """`values` with the trend column put in its place: rows grouped by symbol from `starts`, each
    group's trend before its first signal the one `carried` over from its earlier bars."""
    named = dict(zip((key for key in OUTPUT_COLUMNS if key != "trend"), values))
    signal = np.where(named["sell"] == 1, indicators.DOWN + 1, np.where(named["buy"] == 1, indicators.UP + 1, 0))
    signal[starts] = np.where(signal[starts] > 0, signal[starts], carried + 1)
    positions = np.where(signal > 0, np.arange(len(signal)), 0)
    trend = (signal[np.maximum.accumulate(positions)] - 1).astype(np.int8)
    return [named[key] if key != "trend" else trend for key in OUTPUT_COLUMNS]


# -- reading in chunks ------------------------------------------------------------------------------

@dataclass
class Source:
    """A bar file to be read in chunks: a path, or bytes already read (standard input)."""

    name: str                        # names the file in messages
    path: str | None = None
    descriptor: int | None = None    # with `limit`: the file at `path` already open, read up to `limit` bytes
    limit: int | None = None         # (a growing file: only the complete lines there when it was opened)
    data: bytes | None = None        # the whole input, when it was read into memory
    stream: BinaryIO | None = None   # standard input beyond what was read, when it was not all read
    parquet: bool = False
    dataset: object = None           # a pyarrow dataset of many Parquet files, read through `columns`
    columns: tuple[str, ...] = ()

    @classmethod
    def open(cls, path: str, memory: int = MEMORY_BUDGET) -> Source:
        """The input named on the command line; standard input is held in memory while it fits `memory`."""
        if path == "-":
            limit = memory // BYTES_PER_FILE_BYTE
            head = sys.stdin.buffer.read(limit + 1)
            parquet = head[:4] == b"PAR1"
            if len(head) <= limit:
                return cls("<stdin>", data=head, parquet=parquet)
            if parquet:
                raise BarsError("<stdin>", f"a Parquet file on standard input must be read whole, and this one is "
                                f"larger than --memory allows ({_size(memory)}); give its path instead")
            return cls("<stdin>", data=head, stream=sys.stdin.buffer)
        try:
            with open(path, "rb") as handle:
                magic = handle.read(4)
        except OSError as exc:
            raise BarsError(path, f"cannot read the file ({exc.strerror or exc})") from None
        return cls(path, path=path, parquet=path.lower().endswith((".parquet", ".pq")) or magic == b"PAR1")

    @classmethod
    def of_dataset(cls, name: str, dataset, columns: list[str]) -> Source:
        """The columns `columns` of a pyarrow dataset of Parquet files, read batch by batch."""
        return cls(name, parquet=True, dataset=dataset, columns=tuple(columns))

    @property
    def size(self) -> int | None:
        """Bytes in the input, None when it is not known (standard input being streamed); for a
        dataset, those of its columns read, uncompressed."""
        if self.stream is not None:
            return None
        if self.dataset is not None:
            return _uncompressed_size(self.dataset, self.columns)  # type: ignore[arg-type]
        if self.limit is not None:
            return self.limit
        return len(self.data) if self.data is not None else os.path.getsize(self.path)  # type: ignore[arg-type]

    @property
    def rereadable(self) -> bool:
        return self.stream is None

    def binary(self) -> BinaryIO:
        if self.data is not None and self.stream is None:
            return io.BytesIO(self.data)
        if self.stream is not None:
            return _Joined(self.data or b"", self.stream)  # type: ignore[return-value]
        if self.descriptor is not None and self.limit is not None:
            return io.BufferedReader(_Prefix(self.descriptor, self.limit), 1 << 16)
        assert self.path is not None
        return open(self.path, "rb")


class _Prefix(io.RawIOBase):
    """The first `limit` bytes of an open file, read from positions of its own: several readers share
    the file, none moves another, and none sees what is appended beyond `limit`."""

    def __init__(self, descriptor: int, limit: int) -> None:
        self.descriptor, self.limit, self.position = descriptor, limit, 0

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:  # type: ignore[override]
        count = min(len(buffer), self.limit - self.position)
        if count <= 0:
            return 0
        count = os.preadv(self.descriptor, [memoryview(buffer).cast("B")[:count]], self.position)
        self.position += count
        return count

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        base = {io.SEEK_SET: 0, io.SEEK_CUR: self.position, io.SEEK_END: self.limit}[whence]
        if base + offset < 0:
            raise OSError(f"negative seek position {base + offset}")
        self.position = base + offset
        return self.position

    def tell(self) -> int:
        return self.position


class _Joined(io.RawIOBase):
    """The bytes already read from a stream, then the rest of it."""

    def __init__(self, head: bytes, rest: BinaryIO) -> None:
        self.head, self.rest = memoryview(head), rest

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:  # type: ignore[override]
        if len(self.head):
            count = min(len(buffer), len(self.head))
            buffer[:count] = self.head[:count]
            self.head = self.head[count:]
            return count
        data = self.rest.read(len(buffer))
        buffer[:len(data)] = data
        return len(data)


@dataclass
class Dialect:
    header: list[str]
    sep: str = ","
    decimal: str | None = None
    parquet: bool = False


def read_chunks(source: Source, dialect_out: list, sep: str | None, decimal: str | None,
                rows: int) -> Iterator[pa.Table]:
    """The input's rows, `rows` at a time, blank rows left out; `dialect_out` receives its Dialect first."""
    if source.dataset is not None:
        yield from _dataset_chunks(source, dialect_out, rows)
    elif source.parquet:
        yield from _parquet_chunks(source, dialect_out, rows)
    else:
        yield from _csv_chunks(source, dialect_out, sep, decimal, rows)


def _parquet_chunks(source: Source, dialect_out: list, rows: int) -> Iterator[pa.Table]:
    import pyarrow.parquet as pq
    try:
        handle = pq.ParquetFile(pa.BufferReader(source.data) if source.data is not None else source.path)
        schema = handle.schema_arrow
    except (pa.ArrowException, OSError) as exc:
        raise BarsError(source.name, f"not a Parquet file that can be read ({exc})") from None
    dialect_out.append(Dialect(schema.names, parquet=True))
    try:
        for batch in handle.iter_batches(batch_size=rows):
            yield pa.Table.from_batches([batch])
    except (pa.ArrowException, OSError) as exc:
        raise BarsError(source.name, f"not a Parquet file that can be read ({exc})") from None


def _dataset_chunks(source: Source, dialect_out: list, rows: int) -> Iterator[pa.Table]:
    dialect_out.append(Dialect(list(source.columns), parquet=True))
    try:
        yield from _in_chunks(_dataset_batches(source.dataset, list(source.columns), rows), rows)
    except (pa.ArrowException, OSError) as exc:
        raise BarsError(source.name, f"not a Parquet dataset that can be read ({exc})") from None


def _dataset_batches(dataset, columns: list[str], rows: int) -> Iterator[pa.RecordBatch]:
    """The dataset's rows in its own order, file by file and row group by row group, with the values of
    its partition keys (symbol=AAPL/) as columns.  A row group is read on its own: the dataset's scanner
    reads ahead, and its memory grew with the file."""
    import pyarrow.dataset as ds
    import pyarrow.parquet as pq
    schema = pa.schema([dataset.schema.field(name) for name in columns])
    for fragment in dataset.get_fragments():
        keys = ds.get_partition_keys(fragment.partition_expression)
        handle = pq.ParquetFile(fragment.path, pre_buffer=False)
        stored = [name for name in columns if name in handle.schema_arrow.names]
        for group in range(handle.metadata.num_row_groups):
            for batch in handle.iter_batches(batch_size=rows, row_groups=[group], columns=stored):
                table = pa.Table.from_arrays([batch.column(name) if name in stored else
                                              pa.array([keys.get(name)] * batch.num_rows, schema.field(name).type)
                                              for name in columns], names=columns)
                yield from (table if table.schema == schema else table.cast(schema)).to_batches()


def _uncompressed_size(dataset, columns: tuple[str, ...]) -> int:
    import pyarrow.parquet as pq
    size = 0
    for path in dataset.files:
        metadata = pq.ParquetFile(path).metadata
        for group in range(metadata.num_row_groups):
            row_group = metadata.row_group(group)
            size += sum(row_group.column(i).total_uncompressed_size for i in range(row_group.num_columns)
                        if row_group.column(i).path_in_schema in columns)
            size += 8 * row_group.num_rows  # a partition's symbol column, not stored in the files
    return size


def _in_chunks(batches: Iterable[pa.RecordBatch], rows: int) -> Iterator[pa.Table]:
    """Batches of any sizes as tables of `rows` rows (the last one fewer)."""
    pending: list[pa.RecordBatch] = []
    held = 0
    for batch in batches:
        pending.append(batch)
        held += batch.num_rows
        while held >= rows:
            table = pa.Table.from_batches(pending).combine_chunks()
            yield table.slice(0, rows)
            rest = table.slice(rows)
            pending, held = rest.to_batches(), rest.num_rows
    if held:
        yield pa.Table.from_batches(pending)


def _csv_chunks(source: Source, dialect_out: list, sep: str | None, decimal: str | None,
                rows: int) -> Iterator[pa.Table]:
    handle = source.binary()
    try:
        head = _peek(handle)
        if head.startswith(b"\xef\xbb\xbf"):
            head = head[3:]
        text = _CsvText(head, source.name)
        sep = sep or text.separator()
        if decimal == sep:
            raise BarsError(source.name, f"the decimal mark and the separator are both {sep!r}")
        header = text.header(sep)
        dialect_out.append(Dialect(header, sep, decimal))
        names = [f"c{i}" for i in range(len(header))]
        try:
            reader = pa_csv.open_csv(
                handle, read_options=pa_csv.ReadOptions(column_names=names, skip_rows=text.header_lines(sep),
                                                        block_size=1 << 20, use_threads=False),
                parse_options=pa_csv.ParseOptions(delimiter=sep, newlines_in_values=True),
                convert_options=pa_csv.ConvertOptions(column_types={n: pa.string() for n in names},
                                                      strings_can_be_null=False, quoted_strings_can_be_null=False))
            for table in _in_chunks(reader, rows):
                yield _without_blank_rows(table.rename_columns(header))
        except pa.ArrowInvalid as exc:
            if "UTF8" in str(exc) or "utf8" in str(exc).lower():
                raise BarsError(source.name, "not a text file in UTF-8") from None
            raise _ragged(source, sep, len(header), exc) from None
    finally:
        handle.close()


def _peek(handle: BinaryIO) -> bytes:
    """The first bytes of a file, the file left where it was."""
    if isinstance(handle, _Joined):
        return bytes(handle.head[:_HEAD_BYTES])
    position = handle.tell()
    head = handle.read(_HEAD_BYTES)
    handle.seek(position)
    return head


def _without_blank_rows(table: pa.Table) -> pa.Table:
    """Rows of empty cells only (",,,,") are blank rows, as spreadsheets export them."""
    if not table.num_rows or table.num_columns < 2 or pc.min(pc.binary_length(table.column(0))).as_py() > 1:
        return table
    filled = pc.not_equal(pc.utf8_length(pc.utf8_trim_whitespace(table.column(0))), 0)
    for column in table.columns[1:]:
        filled = pc.or_(filled, pc.not_equal(pc.utf8_length(pc.utf8_trim_whitespace(column)), 0))
    return table if pc.all(filled).as_py() else table.filter(filled)


def _records(source: Source, sep: str) -> Iterator[tuple[int, list[str]]]:
    """(first line, fields) of every data row as the table counts them: no header, no blank rows."""
    if not source.rereadable:
        return
    handle = io.TextIOWrapper(source.binary(), encoding="utf-8-sig", newline="", errors="replace")
    with handle:
        reader = csv.reader(handle, delimiter=sep)
        start, header_seen = 1, False
        for fields in reader:
            if header_seen and any(f.strip() for f in fields):
                yield start, fields
            header_seen = header_seen or bool(fields)
            start = reader.line_num + 1


def line_finder(source: Source, sep: str) -> Callable[[int], int | None]:
    """A function giving the first line of a data row (1-based), read again from the file when asked."""
    def line_of(row: int) -> int | None:
        for number, (start, _) in enumerate(_records(source, sep), 1):
            if number == row:
                return start
        return None
    return line_of


def lines_of(source: Source, sep: str, rows: Iterable[int]) -> dict[int, int]:
    """The first line of each of the data rows `rows` (1-based), in one reading of the file."""
    wanted, found = set(rows), {}
    if wanted:
        last = max(wanted)
        for number, (start, _) in enumerate(_records(source, sep), 1):
            if number in wanted:
                found[number] = start
            if number >= last:
                break
    return found


def _ragged(source: Source, sep: str, width: int, exc: Exception) -> BarsError:
    for number, (start, fields) in enumerate(_records(source, sep), 1):
        if len(fields) != width:
            return BarsError(source.name, f"{len(fields)} fields, but the header has {width}", row=number,
                             line=start)
    return BarsError(source.name, f"cannot read the file ({exc})")


# -- computing chunk after chunk -------------------------------------------------------------------

@dataclass
class ChunkResult:
    """A chunk's rows and their indicator values, in the chunk's row order."""

    table: pa.Table                  # the chunk as read (blank rows left out)
    first_row: int                   # rows of the file before it
    rows: np.ndarray                 # chunk rows with a bar, in computing order (by symbol, then time)
    codes: np.ndarray                # the symbol number of each of `rows`
    times: np.ndarray                # their times, datetime64[ms]
    prices: dict[str, np.ndarray]    # open, high, low, close of each of `rows`
    values: list[np.ndarray]         # OUTPUT_COLUMNS of each of `rows`

    def columns(self) -> list[pa.Array]:
        """The indicator columns on the chunk's rows: null on rows without a bar or a defined value."""
        size = self.table.num_rows
        placed = (indicators.put_back(values, self.rows, size, nullable=len(self.rows) < size, nan_missing=True)
                  for values in self.values)
        return [pa.array(values, mask=missing) for values, missing in placed]


@dataclass
class _FirstOf:
    """How many rows a warning is about, and the message naming the first."""

    count: int = 0
    first: str | None = None


class ChunkedRun:
    """The checks and the indicators over a file's chunks, in order; `whole` allows reordering one chunk.

    With `each_symbol` (a scan), a row that stops a run stops only its
    symbol: the symbol is left out from there on and its problem kept in
    `failed`; rows without a symbol are left out and counted in `unnamed`; and
    a whole file's typed times (a Parquet timestamp, date or number column)
    are put in order for each symbol, as a dataset's rows come in any order.
    """

    def __init__(self, source: str, settings: Settings, dialect: Dialect, *, by: str | None = None,
                 skip_bad_rows: bool = False, line_of: Callable[[int], int | None] | None = None,
                 whole: bool = False, each_symbol: bool = False) -> None:
        self.source, self.settings, self.dialect = source, settings, dialect
        self.by, self.skip_bad_rows, self.line_of, self.whole = by, skip_bad_rows, line_of, whole
        self.each_symbol = each_symbol
        self.failed: dict[str, BarsError] = {}  # symbol: the problem that stopped it
        self.unnamed = 0
        self._positions: np.ndarray | None = None  # the file row of each row of a chunk cut down to some symbols
        self.lines_of: Callable[[Iterable[int]], dict[int, int]] | None = None
        self._naming_line = False
        self.columns: dict[str, int] | None = None
        self.symbol_column: int | None = None
        self.symbols: dict[str, int] = {}
        self.streams: list[SymbolStreams] = []
        self.last_times = np.empty(0, dtype="datetime64[ms]")
        self.time_form: TimeForm | None = None  # how the file's times read where they leave a choice
        self.rows = 0   # rows of the file so far (blank rows left out)
        self.bars = 0   # rows with a bar
        self.skipped, self.repeated, self.inverted = _FirstOf(), _FirstOf(), _FirstOf()

    # The layout is found on the first chunk, which holds data to tell an unnamed time column by.
    def _locate(self, table: pa.Table) -> None:
        header = self.dialect.header
        self.symbol_column = _symbol_column(header, self.by, self.source)
        self.columns = _locate_columns(table, self.source, not self.dialect.parquet)
        if self.dialect.decimal is None:
            self.dialect.decimal = "," if self.dialect.sep != "," and _uses_decimal_comma(table, header) else "."

    def error(self, problem: str, index: int | None = None, column: int | None = None) -> BarsError:
        """An error at row `index` of the current chunk (None: the file as a whole)."""
        if index is not None and self._positions is not None:
            index = int(self._positions[index])
        row = None if index is None else self.rows + index + 1
        # A scan's errors stop a symbol each, which may be many: their lines are found at the end, all at once.
        wanted = not self.each_symbol or self._naming_line
        line = self.line_of(row) if self.line_of is not None and row is not None and wanted else None
        return BarsError(self.source, problem, row=row, line=line,
                         column=None if column is None else self.dialect.header[column])

    def chunk(self, table: pa.Table) -> ChunkResult:
        if not self.each_symbol or table.num_rows == 0:
            return self._chunk(table)
        if self.columns is None:
            self._locate(table)
        if self.symbol_column is None:
            return self._chunk(table)
        names, empty = _symbol_cells(table.column(self.symbol_column), self.source,
                                     self.dialect.header[self.symbol_column])
        self.unnamed += int(empty.sum())
        notes = [replace(note) for note in (self.skipped, self.repeated, self.inverted)]
        while True:
            stopped = pc.is_in(names, value_set=pa.array(list(self.failed), pa.string())).to_numpy(zero_copy_only=False)
            kept = np.flatnonzero(~(empty | stopped))
            self._positions = kept
            try:
                result = self._chunk(table.take(kept))
            except BarsError as problem:
                symbol = None if problem.row is None else names[problem.row - self.rows - 1].as_py()
                if symbol is None or symbol in self.failed:
                    raise
                self.failed[symbol] = problem
                self.skipped, self.repeated, self.inverted = (replace(note) for note in notes)
                continue
            finally:
                self._positions = None
            self.rows += table.num_rows - len(kept)
            return result

    def _chunk(self, table: pa.Table) -> ChunkResult:
        if table.num_rows == 0:
            empty = np.empty(0, dtype=np.int64)
            return ChunkResult(table, self.rows, empty, empty, np.empty(0, "datetime64[ms]"),
                               {name: np.empty(0) for name in PRICE_COLUMNS}, [np.empty(0, t) for t in _dtypes()])
        if self.columns is None:
            self._locate(table)
        columns, decimal = self.columns, self.dialect.decimal or "."
        assert columns is not None
        prices, _, bad, first = checked_numbers(table, columns, decimal, self.error)
        names: pa.Array | None = None
        if self.symbol_column is not None:
            names, empty = _symbol_cells(table.column(self.symbol_column), self.source,
                                         self.dialect.header[self.symbol_column])
            if empty.any():
                index = int(np.argmax(empty))
                bad |= empty
                if first is None or index < first[0]:
                    first = (index, self.symbol_column, "empty value")
        if first is not None:
            index, column, problem = first
            if not self.skip_bad_rows:
                raise self.error(problem, index, column)
            if self.skipped.first is None:
                self.skipped.first = self._with_line(lambda: self.error(problem, index, column))
            self.skipped.count += int(bad.sum())

        time_column = columns["time"]
        times = self._times(table.column(time_column), lambda problem, i: self.error(problem, i, time_column))
        kept = np.flatnonzero(~bad)
        codes = self._codes(names, kept)
        order = kept
        if names is not None:
            grouped = np.argsort(codes, kind="stable")
            order, codes = kept[grouped], codes[grouped]
        order = self._time_order(table, order, codes, times, prices)
        result = ChunkResult(table, self.rows, order, codes, times[order],
                             {name: prices[name][order] for name in PRICE_COLUMNS}, [])
        self._compute(result)
        self.rows += table.num_rows
        self.bars += len(order)
        return result

    def _times(self, column: pa.ChunkedArray, error: Callable[[str, int], BarsError]) -> np.ndarray:
        """The chunk's times, read in the form the first chunk's were (see bars.read_times).

        A chunk that reads another way alone (seconds, then a chunk of
        milliseconds; month/day, then day/month) needs the file read whole, to
        be read one way as a whole file is: NeedsReordering(times=True).
        """
        try:
            times, self.time_form = read_times(column, error, self.time_form)
        except BarsError as problem:
            if self.time_form is None or self.whole:
                raise
            read_times(column, error)  # a chunk no form reads: its own problem (a day that does not exist)
            raise NeedsReordering(problem, times=True) from None
        return times

    def _codes(self, names: pa.Array | None, kept: np.ndarray) -> np.ndarray:
        """The symbol number of each kept row, numbering new symbols as they come."""
        if names is None:
            if not self.streams:
                self._add_symbol("")
            return np.zeros(len(kept), dtype=np.int64)
        encoded = pc.dictionary_encode(names.take(pa.array(kept)))
        known = np.array([self.symbols.get(s) if s in self.symbols else self._add_symbol(s)
                          for s in encoded.dictionary.to_pylist()], dtype=np.int64)
        return known[encoded.indices.to_numpy(zero_copy_only=False)] if len(known) else np.empty(0, np.int64)

    def _add_symbol(self, name: str) -> int:
        code = self.symbols[name] = len(self.streams)
        self.streams.append(SymbolStreams(self.settings))
        self.last_times = np.append(self.last_times, np.datetime64("NaT", "ms"))
        return code

    def _time_order(self, table: pa.Table, order: np.ndarray, codes: np.ndarray, times: np.ndarray,
                    prices: dict[str, np.ndarray]) -> np.ndarray:
        """`order` (rows grouped by symbol, in file order within each) checked to be in time order.

        A symbol's rows must not go back in time, from the last chunk into
        this one either; a whole file may have a symbol's rows all newest first,
        which are then turned round.  Repeated times and highs below their lows
        are counted for the warnings.
        """
        time_column = self.columns["time"]  # type: ignore[index]
        t = times[order]
        starts = np.flatnonzero(np.concatenate(([True], codes[1:] != codes[:-1]))) if len(codes) else codes
        previous = np.empty_like(t)
        previous[1:] = t[:-1]
        previous[starts] = self.last_times[codes[starts]]
        back = previous > t
        if back.any():
            if not self.whole:
                index = int(order[np.flatnonzero(back)].min())
                cell = _cell(table.column(time_column), index)
                raise NeedsReordering(self.error(f"{cell!r} is earlier than the row before it"
                                                 + self._of_symbol(codes[np.flatnonzero(order == index)[0]]),
                                                 index, time_column))
            if self.each_symbol and not pa.types.is_string(table.column(time_column).type):
                order = order[np.lexsort((t, codes))]  # stable: rows of one time stay in file order
            else:
                order = self._turned(table, order, codes, t, starts)
            t = times[order]
            previous[1:] = t[:-1]
            previous[starts] = self.last_times[codes[starts]]
        ends = np.concatenate((starts[1:], [len(order)])) if len(order) else starts
        if len(order):
            self.last_times[codes[starts]] = t[ends - 1]
        self._note(self.repeated, np.flatnonzero(previous == t), order,
                   lambda i: self.error(f"{_label(table.column(time_column), i, times[i])} repeats the time of "
                                        "the row before it", i, time_column))
        high, low = prices["high"][order], prices["low"][order]
        self._note(self.inverted, np.flatnonzero(high < low), order,
                   lambda i: f"{str(self.error('', i, self.columns['high']))[:-2]}: the high "  # type: ignore[index]
                   f"{_text(high[np.flatnonzero(order == i)[0]])} is below the low "
                   f"{_text(low[np.flatnonzero(order == i)[0]])}")
        return order

    def _turned(self, table: pa.Table, order: np.ndarray, codes: np.ndarray, t: np.ndarray,
                starts: np.ndarray) -> np.ndarray:
        """The rows of each symbol in time order: one whose rows run newest first is turned round."""
        order = order.copy()
        bounds = [*starts, len(order)]
        worst: tuple[int, BarsError] | None = None
        for a, b in zip(bounds[:-1], bounds[1:]):
            steps = t[a + 1:b] - t[a:b - 1]
            zero = np.timedelta64(0, "ms")
            if np.all(steps >= zero):
                continue
            if np.all(steps <= zero):
                order[a:b] = order[a:b][::-1]
                continue
            forwards = steps[np.flatnonzero(steps != zero)[0]] > zero
            index = int(order[a + 1 + int(np.flatnonzero(steps < zero if forwards else steps > zero)[0])])
            if worst is None or index < worst[0]:
                cell = _cell(table.column(self.columns["time"]), index)  # type: ignore[index]
                direction = "earlier" if forwards else "later"
                worst = (index, self.error(f"{cell!r} is {direction} than the row before it; rows must be in "
                                           "time order" + self._of_symbol(codes[a]), index,
                                           self.columns["time"]))  # type: ignore[index]
        if worst is not None:
            raise worst[1]
        return order

    def _of_symbol(self, code: int) -> str:
        if self.symbol_column is None:
            return ""
        name = next(name for name, number in self.symbols.items() if number == code)
        return f" of symbol {name}"

    def _with_line(self, message: Callable[[], object]) -> str:
        """The text of a warning's first row, with its line even where a scan's errors leave lines out."""
        self._naming_line = True
        try:
            return str(message())
        finally:
            self._naming_line = False

    def _note(self, note: _FirstOf, positions: np.ndarray, order: np.ndarray,
              message: Callable[[int], object]) -> None:
        if not len(positions):
            return
        if note.first is None:
            note.first = self._with_line(lambda: message(int(order[positions[0]])))
        note.count += len(positions)

    def _compute(self, result: ChunkResult) -> None:
        codes, prices = result.codes, result.prices
        if not len(codes):
            result.values = [np.empty(0, dtype=dtype) for dtype in _dtypes()]
            return
        high, low, close = prices["high"], prices["low"], prices["close"]
        singles = [high.astype(np.float32), low.astype(np.float32), close.astype(np.float32)]
        starts = np.flatnonzero(np.concatenate(([True], codes[1:] != codes[:-1])))
        bounds = [*starts.tolist(), len(codes)]
        streams = [self.streams[code] for code in codes[starts].tolist()]
        carried = np.array([stream.trend for stream in streams], dtype=np.int64)
        parts = [stream.extend(high[a:b], low[a:b], close[a:b], *(single[a:b] for single in singles))
                 for stream, a, b in zip(streams, bounds[:-1], bounds[1:])]
        values = parts[0] if len(parts) == 1 else [np.concatenate(p) for p in zip(*parts)]
        result.values = with_trend(values, starts, carried)
        trend = result.values[OUTPUT_COLUMNS.index("trend")]
        for stream, end in zip(streams, bounds[1:]):
            stream.trend = int(trend[end - 1])

    def warnings(self, band: bool = True) -> list[str]:
        """The reader's warnings about the whole file, as the whole-file reader words them; `band`: with
        the one about symbols too short for the range filter's band."""
        notes = []
        if self.skipped.count:
            count = self.skipped.count
            notes.append(f"skipped {counted(count, 'row')} with a missing or bad price "
                         f"(the first: {self.skipped.first})")
        for note in (self.repeated, self.inverted):
            if note.count:
                notes.append(f"{note.first} ({note.count} such row{'s' * (note.count != 1)}); "
                             "the results are still written")
        needed = indicators.swing_bars_needed(self.settings.swing_period)
        short = [name for name, code in self.symbols.items()
                 if band and self.streams[code].bars < needed and name not in self.failed]
        if short and self.symbol_column is None:
            notes.append(f"{self.source}: {counted(self.bars, 'bar')} {'is' if self.bars == 1 else 'are'} too few "
                         f"for the range filter's band with --swing-period {self.settings.swing_period} (it needs "
                         f"{needed}); rangeHigh and rangeLow stay empty")
        elif short:
            notes.append(f"{self.source}: {counted(len(short), 'symbol')} ({_listing(short)}) "
                         f"{'has' if len(short) == 1 else 'have'} fewer than the {needed} bars the range filter's "
                         f"band needs with --swing-period {self.settings.swing_period}; their rangeHigh and "
                         "rangeLow stay empty")
        return notes

    def finish(self) -> None:
        """Checks of the file as a whole, once every chunk is in."""
        if self.columns is None or self.rows == 0:
            raise BarsError(self.source, "no bars after the header", line=None if self.dialect.parquet else 1)
        if self.bars == 0 and not (self.failed or self.unnamed):
            raise BarsError(self.source, "no bars left after skipping the rows with a missing or bad price")

    def failures(self) -> list[tuple[str, str]]:
        """(symbol, one line) of each symbol left out, in symbol order; rows without a symbol as "(none)"."""
        rows = [problem.row for problem in self.failed.values() if problem.row is not None]
        lines = self.lines_of(rows) if self.lines_of else {}
        found = [(name, str(BarsError(problem.source, problem.problem, row=problem.row, column=problem.column,
                                      line=lines.get(problem.row, problem.line))))  # type: ignore[arg-type]
                 for name, problem in sorted(self.failed.items())]
        if self.unnamed:
            column = self.dialect.header[self.symbol_column]  # type: ignore[index]
            found.append(("(none)", f"{self.source}: {counted(self.unnamed, 'row')} without a symbol in column "
                                    f"{column!r}; left out"))
        return sorted(found)

    @property
    def symbol_count(self) -> int | None:
        """Symbols computed, None for a file of one instrument."""
        return None if self.symbol_column is None else len(self.symbols)


def _dtypes() -> list[type]:
    return [np.float32] * 6 + [np.int64] * 2 + [np.int8] + [np.float64] * 3


def _symbol_column(header: list[str], by: str | None, source: str) -> int | None:
    keys = [name.strip().strip("<>").strip().lower() for name in header]
    if by is not None:
        if by.strip().lower() not in keys:
            raise BarsError(source, f"no column {by!r} (given with --by); the header has: {', '.join(header)}")
        return keys.index(by.strip().lower())
    for name in SYMBOL_NAMES:
        if name in keys:
            return keys.index(name)
    return None


def _symbol_cells(column: pa.ChunkedArray, source: str, name: str) -> tuple[pa.Array, np.ndarray]:
    """Each row's symbol as text and where it is missing."""
    column = column.combine_chunks()
    if pa.types.is_dictionary(column.type):
        column = column.dictionary_decode()
    if not pa.types.is_string(column.type):
        try:
            column = pc.cast(column, pa.string())
        except pa.ArrowInvalid:
            raise BarsError(source, f"column {name!r} holds symbols that are not UTF-8 text") from None
    text = pc.fill_null(pc.utf8_trim_whitespace(column), "")
    return text, np.asarray(pc.equal(text, "").to_numpy(zero_copy_only=False), dtype=bool)


def _cell(column: pa.ChunkedArray, index: int) -> str:
    value = column[index].as_py()
    return value.strip() if isinstance(value, str) else str(value)


def _label(column: pa.ChunkedArray, index: int, time: np.datetime64) -> str:
    """A time as the file writes it (see Bars.label)."""
    value = column[index]
    if pa.types.is_string(value.type):
        return value.as_py()
    ticks = int(np.datetime64(time, "ms").astype(np.int64))
    unit = "D" if ticks % 86_400_000 == 0 else "s" if ticks % 1000 == 0 else "ms"
    return str(np.datetime64(time, "ms").astype(f"datetime64[{unit}]"))


def _listing(names: list[str], shown: int = 5) -> str:
    return ", ".join(names[:shown]) + (f" and {len(names) - shown} more" if len(names) > shown else "")


def _size(count: int) -> str:
    for unit, scale in (("G", 1 << 30), ("M", 1 << 20), ("K", 1 << 10)):
        if count >= scale and count % scale == 0:
            return f"{count // scale}{unit}"
    return str(count)


def parse_size(text: str) -> int:
    """A memory size: bytes, or a number with K, M or G (powers of 1024)."""
    match = re.fullmatch(r"\s*(\d+(?:\.\d+)?)\s*([kmg]?)i?b?\s*", text.lower())
    if not match:
        raise ValueError(f"{text!r} is not a size such as 500M or 2G")
    return int(float(match.group(1)) * {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30}[match.group(2)])


@dataclass
class Plan:
    """What to do with each computed chunk, and what the run found."""

    on_dialect: Callable[[Dialect], None] = lambda dialect: None
    on_chunk: Callable[[ChunkResult], None] = lambda chunk: None
    restart: Callable[[], None] = lambda: None     # called before the file is read again, whole
    run: ChunkedRun | None = field(default=None)


def compute_chunks(source: Source, settings: Settings, plan: Plan, *, by: str | None = None,
                   sep: str | None = None, decimal: str | None = None, skip_bad_rows: bool = False,
                   memory: int = MEMORY_BUDGET, rows: int | None = None, whole: bool = False,
                   each_symbol: bool = False) -> ChunkedRun:
    """Read `source` in chunks and hand each computed chunk to the plan; returns the finished run.

    A file that needs reordering is read again whole when it fits `memory`
    (the plan is told to start over); beyond it, BarsError names the first
    row out of order.  `each_symbol`: see ChunkedRun.
    """
    rows = rows or chunk_rows()
    try:
        return _pass(source, settings, plan, by, sep, decimal, skip_bad_rows, rows, whole, each_symbol)
    except NeedsReordering as stop:
        size = source.size
        if not source.rereadable or size is None or size * BYTES_PER_FILE_BYTE > memory:
            need = "" if size is None else f", about {_size(-(-size * BYTES_PER_FILE_BYTE // (1 << 20)) << 20)}"
            if stop.times:
                why = (f"reading all its times one way needs the whole file in memory, more than --memory "
                       f"{_size(memory)}{need}: write its times one way, or give a larger --memory")
            else:
                why = (f"rows must be in time order (oldest first) for each symbol to be computed in one pass, "
                       f"and reordering this file in memory needs more than --memory {_size(memory)}{need}: "
                       "sort the file by time, or give a larger --memory")
            raise BarsError(stop.where.source, f"{stop.where.problem}; {why}", row=stop.where.row,
                            line=stop.where.line, column=stop.where.column) from None
        plan.restart()
        return _pass(source, settings, plan, by, sep, decimal, skip_bad_rows, rows, True, each_symbol)


def _pass(source: Source, settings: Settings, plan: Plan, by: str | None, sep: str | None, decimal: str | None,
          skip_bad_rows: bool, rows: int, whole: bool, each_symbol: bool) -> ChunkedRun:
    dialect: list[Dialect] = []
    chunks = read_chunks(source, dialect, sep, decimal, rows)
    if whole:  # every chunk at once: one chunk to reorder
        tables = list(chunks)
        chunks = iter([pa.concat_tables(tables)] if tables else [])
    run: ChunkedRun | None = None
    for table in chunks:
        if run is None:
            run = plan.run = _start(source, settings, dialect[0], by, skip_bad_rows, whole, each_symbol)
            plan.on_dialect(dialect[0])
        plan.on_chunk(run.chunk(table))
    if run is None:
        if not dialect:  # an empty CSV file never had a header
            raise BarsError(source.name, "the file is empty (a header row and at least one bar are needed)")
        run = _start(source, settings, dialect[0], by, skip_bad_rows, whole, each_symbol)
    run.finish()
    plan.run = run
    return run


def _start(source: Source, settings: Settings, dialect: Dialect, by: str | None, skip_bad_rows: bool,
           whole: bool, each_symbol: bool) -> ChunkedRun:
    line_of = None if dialect.parquet else line_finder(source, dialect.sep)
    run = ChunkedRun(source.name, settings, dialect, by=by, skip_bad_rows=skip_bad_rows, line_of=line_of,
                     whole=whole, each_symbol=each_symbol)
    if each_symbol and not dialect.parquet:  # the lines of the symbols' problems, found once at the end
        run.lines_of = lambda rows: lines_of(source, dialect.sep, rows)
    return run


# -- keeping bars for a chart ---------------------------------------------------------------------

class KeptBars:
    """The last `count` bars of one symbol (every bar when `count` is None), with their indicator values.

    A long file of several symbols needs `symbol`; a file without a symbol column must not be given one.
    """

    def __init__(self, symbol: str | None, count: int | None) -> None:
        self.symbol, self.count = symbol, count
        self.parts: list[tuple[np.ndarray, dict[str, np.ndarray], list[np.ndarray]]] = []
        self.kept = 0
        self.plan = Plan(on_chunk=self.on_chunk, restart=self.clear)

    def clear(self) -> None:
        self.parts, self.kept = [], 0

    def on_chunk(self, chunk: ChunkResult) -> None:
        run = self.plan.run
        assert run is not None
        if run.symbol_column is None:
            if self.symbol is not None:
                raise BarsError(run.source, f"--symbol {self.symbol} is for a long file, one with a column "
                                "naming each row's symbol (see --by); this file has none")
            pick = slice(None)
        else:
            if self.symbol is None and len(run.symbols) > 1:
                raise BarsError(run.source, f"a long file of several symbols ({_listing(sorted(run.symbols))}): "
                                "choose one with --symbol")
            if self.symbol is None and run.symbols:  # one symbol so far: drawn while no other comes
                self.symbol = next(iter(run.symbols))
            code = None if self.symbol is None else run.symbols.get(self.symbol)
            if code is None:
                return
            pick = np.flatnonzero(chunk.codes == code)  # type: ignore[assignment]
        self.parts.append((chunk.times[pick], {k: v[pick] for k, v in chunk.prices.items()},
                           [v[pick] for v in chunk.values]))
        self.kept += len(chunk.times[pick])
        if self.count is not None and self.kept > 2 * self.count:
            self._trim()

    def _trim(self) -> None:
        times, prices, values = self._joined()
        cut = max(len(times) - (self.count or len(times)), 0)
        self.parts = [(times[cut:], {k: v[cut:] for k, v in prices.items()}, [v[cut:] for v in values])]
        self.kept = len(times) - cut

    def _joined(self) -> tuple[np.ndarray, dict[str, np.ndarray], list[np.ndarray]]:
        if len(self.parts) == 1:
            return self.parts[0]
        return (np.concatenate([p[0] for p in self.parts]),
                {k: np.concatenate([p[1][k] for p in self.parts]) for k in PRICE_COLUMNS},
                [np.concatenate(column) for column in zip(*(p[2] for p in self.parts))])

    def bars(self) -> tuple:
        """(Bars, indicator columns, bars in the whole series) of what was kept."""
        from ornivex.bars import Bars
        run = self.plan.run
        assert run is not None
        if not self.parts or not self.kept:
            raise BarsError(run.source, f"no rows of symbol {self.symbol!r}; the symbols are "
                            f"{_listing(sorted(run.symbols))}")
        total = run.bars if self.symbol is None else run.streams[run.symbols[self.symbol]].bars  # type: ignore[index]
        self._trim()
        times, prices, values = self.parts[0]
        name = run.source if self.symbol is None else f"{self.symbol}"
        bars = Bars(source=name, table=pa.table({"time": pa.array(times)}), rows=np.arange(len(times)),
                    times=times, open=prices["open"], high=prices["high"], low=prices["low"],
                    close=prices["close"], volume=None, time_column=0)
        return bars, dict(zip(OUTPUT_COLUMNS, values)), total


# -- the latest state of every symbol, for a scan -------------------------------------------------

class LatestStates:
    """Each symbol's last bar and last signal, kept as the chunks go by: what a scan reports."""

    def __init__(self) -> None:
        self.last: dict[int, tuple[str, float, float, int]] = {}   # code: (time text, close, line, trend)
        self.signal: dict[int, tuple[str, int]] = {}               # code: (buy or sell, bar number)
        self.plan = Plan(on_chunk=self.on_chunk, restart=self.clear)

    def clear(self) -> None:
        self.last, self.signal = {}, {}

    def on_chunk(self, chunk: ChunkResult) -> None:
        run = self.plan.run
        assert run is not None
        if not len(chunk.codes):
            return
        codes, values = chunk.codes, dict(zip(OUTPUT_COLUMNS, chunk.values))
        ends = np.flatnonzero(np.concatenate((codes[1:] != codes[:-1], [True])))
        fired = np.flatnonzero((values["buy"] == 1) | (values["sell"] == 1))
        time_column = chunk.table.column(run.columns["time"])  # type: ignore[index]
        for start, end in zip([0, *(ends[:-1] + 1).tolist()], ends.tolist()):
            code = int(codes[end])
            self.last[code] = (_label(time_column, int(chunk.rows[end]), chunk.times[end]),
                               float(chunk.prices["close"][end]), float(values["halftrend"][end]),
                               int(values["trend"][end]))
            latest = int(np.searchsorted(fired, end, side="right")) - 1
            if latest >= 0 and fired[latest] >= start:  # the symbol's last signal in this chunk
                position = int(fired[latest])
                self.signal[code] = ("buy" if values["buy"][position] == 1 else "sell",
                                     run.streams[code].bars - 1 - (end - position))

    def rows(self) -> list[tuple[str, str, float, float, str, str | None, int | None, int]]:
        """(symbol, last time, close, line, trend, last signal, bars since it, bars) in symbol order."""
        run = self.plan.run
        assert run is not None
        table = []
        for name, code in sorted(run.symbols.items()):
            if code not in self.last or name in run.failed:
                continue
            time, close, line, trend = self.last[code]
            bars = run.streams[code].bars
            signal, at = self.signal.get(code, (None, None))
            table.append((name, time, close, line, "up" if trend == indicators.UP else "down", signal,
                          None if at is None else bars - 1 - at, bars))
        return table


# -- writing ------------------------------------------------------------------------------------

class CsvChunks:
    """Computed chunks written as CSV: the input's columns as read, then the indicator columns.

    The input's own dialect (separator, decimal mark) is kept, and each cell's
    text is what the whole-file route writes: a Parquet file's times get one
    unit per column for the whole file, found by a first look at that column.
    """

    def __init__(self, source: Source, out: BinaryIO, name: str = "-") -> None:
        self.source, self.out, self.name = source, out, name  # `name`: the output named in write errors
        self.dialect: Dialect | None = None
        self.time_units: dict[int, str] = {}
        self.started = False

    def on_dialect(self, dialect: Dialect) -> None:
        self.dialect = dialect
        if dialect.parquet:
            self.time_units = _time_units(self.source)

    def on_chunk(self, chunk: ChunkResult) -> None:
        assert self.dialect is not None
        table = chunk.table
        kept = [i for i, name in enumerate(table.column_names) if name not in OUTPUT_COLUMNS]
        columns = [_time_text(table.column(i), self.time_units[i]) if i in self.time_units else table.column(i)
                   for i in kept]
        header = None if self.started else [*(table.column_names[i] for i in kept), *OUTPUT_COLUMNS]
        with write_errors(self.name):
            write_csv([*columns, *chunk.columns()], header, self.out, self.dialect.sep, self.dialect.decimal or ".")
        self.started = True

    def restart(self) -> None:
        self.out.seek(0)
        self.out.truncate()
        self.started = False

    def plan(self) -> Plan:
        return Plan(self.on_dialect, self.on_chunk, self.restart)


def _time_units(source: Source) -> dict[int, str]:
    """The text unit of each time column of a Parquet file: days alone when every time is at midnight."""
    import pyarrow.parquet as pq
    handle = pq.ParquetFile(pa.BufferReader(source.data) if source.data is not None else source.path)
    units: dict[int, str] = {}
    for index, column in enumerate(handle.schema_arrow):
        if not (pa.types.is_timestamp(column.type) or pa.types.is_date(column.type)):
            continue
        unit = "D"
        for batch in handle.iter_batches(batch_size=1 << 20, columns=[column.name]):
            times = np.asarray(pc.cast(batch.column(0), pa.timestamp("ms")).to_numpy(zero_copy_only=False),
                               dtype="datetime64[ms]")
            ticks = times.astype(np.int64)  # NaT counts as it does for the whole column
            if unit == "D" and not np.all(ticks % 86_400_000 == 0):
                unit = "s"
            if unit == "s" and not np.all(ticks % 1000 == 0):
                unit = "ms"
                break
        units[index] = unit
    return units


def _time_text(values: pa.ChunkedArray, unit: str) -> pa.Array:
    times = np.asarray(pc.cast(values, pa.timestamp("ms")).to_numpy(zero_copy_only=False), dtype="datetime64[ms]")
    return pa.array(times.astype(f"datetime64[{unit}]").astype(str), mask=np.isnat(times))


class Target:
    """The output of a run: complete or untouched.

    A regular file is written beside itself under a temporary name and renamed
    over it at the end; standard output and special files (a pipe,
    /dev/null) are written directly, or, when the run may have to start over,
    after it, from a temporary file.
    """

    def __init__(self, path: str | None, *, may_restart: bool) -> None:
        self.path = None if path in (None, "-") else path
        self.direct: BinaryIO | None = None
        self.temporary: str | None = None
        special = self.path is not None and is_direct(self.path)
        try:
            if self.path is None or special:
                self.direct = sys.stdout.buffer if self.path is None else open(self.path, "wb")
                if self.path is None:
                    sys.stdout.flush()
                self.handle: BinaryIO = tempfile.TemporaryFile() if may_restart else self.direct
            else:
                folder = os.path.dirname(os.path.abspath(self.path))
                descriptor, self.temporary = tempfile.mkstemp(prefix=f".{os.path.basename(self.path)}.",
                                                              suffix=".part", dir=folder)
                self.handle = os.fdopen(descriptor, "wb")
        except OSError as exc:
            raise WriteError(f"{path or 'standard output'}: cannot write ({exc.strerror or exc})") from None

    def commit(self) -> None:
        try:
            if self.direct is not None and self.handle is not self.direct:
                self.handle.seek(0)
                shutil.copyfileobj(self.handle, self.direct, 1 << 20)
                self.handle.close()
            if self.direct is not None:
                self.direct.flush()
                if self.direct is not sys.stdout.buffer:
                    self.direct.close()
                return
            self.handle.close()
            # The permissions of the file replaced, or a new file's usual ones: not the temporary file's 0600.
            os.chmod(self.temporary, _new_file_mode(Path(self.path)))  # type: ignore[arg-type]
            os.replace(self.temporary, self.path)  # type: ignore[arg-type]
            self.temporary = None
        except OSError as exc:
            self.discard()
            raise WriteError(f"{self.path or 'standard output'}: cannot write ({exc.strerror or exc})") from None

    def discard(self) -> None:
        if self.temporary is not None:
            try:
                self.handle.close()  # what is still buffered may fail to go out, as the write did
            except OSError:
                pass
            try:
                os.unlink(self.temporary)
            except OSError:
                pass
            self.temporary = None


def may_restart(source: Source, memory: int) -> bool:
    """Whether a run over `source` could start over, whole, within `memory`."""
    size = source.size
    return source.rereadable and size is not None and size * BYTES_PER_FILE_BYTE <= memory


def write_chunks(source: Source, output: str | None, settings: Settings, **options) -> ChunkedRun:
    """Compute `source` chunk by chunk into the CSV file `output` (None or '-': standard output)."""
    target = Target(output, may_restart=may_restart(source, options.get("memory", MEMORY_BUDGET)))
    try:
        run = compute_chunks(source, settings, CsvChunks(source, target.handle, output or "-").plan(), **options)
        target.commit()
    except BaseException:
        target.discard()
        raise
    return run


def write_parquet(source: Source, output: str, settings: Settings, **options) -> ChunkedRun:
    """Compute `source` chunk by chunk into the Parquet file `output`, a row group per chunk."""
    target = Target(output, may_restart=False)
    writer = ParquetChunks(target.handle, output)
    try:
        run = compute_chunks(source, settings, writer.plan, **options)
        writer.close()
        target.commit()
    except BaseException:
        writer.abandon()
        target.discard()
        raise
    return run


class ParquetChunks:
    """Computed chunks written as Parquet, one row group per chunk: the input's columns, then the
    indicator columns.

    A CSV file's time and price columns get the types their text holds, every
    other column stays text; the types come from each column's role, never its
    cells, so every chunk gives the same schema, that of the whole file at once.
    """

    def __init__(self, out: BinaryIO, name: str) -> None:
        self.out, self.name = out, name  # `name`: the output named in write errors
        self.writer: Any = None  # a pyarrow.parquet.ParquetWriter once the first rows have come
        self.plan = Plan(on_chunk=self.on_chunk, restart=self.restart)

    def on_chunk(self, chunk: ChunkResult) -> None:
        run = self.plan.run
        assert run is not None
        table = chunk.table
        if not table.num_rows:
            return
        if not run.dialect.parquet:
            time_column = run.columns["time"]  # type: ignore[index]
            table = typed_table(_TableOf(table, time_column, run.dialect.decimal or "."),  # type: ignore[arg-type]
                                form=run.time_form)
        table = table.drop_columns([name for name in table.column_names if name in OUTPUT_COLUMNS])
        for name, values in zip(OUTPUT_COLUMNS, chunk.columns()):
            table = table.append_column(name, values)
        with write_errors(self.name):
            if self.writer is None:
                import pyarrow.parquet as pq
                # Dictionaries for text only: the numbers' seldom pay, and their encoders held some 40 MB.
                text = [field.name for field in table.schema if pa.types.is_string(field.type)
                        or pa.types.is_large_string(field.type) or pa.types.is_dictionary(field.type)]
                self.writer = pq.ParquetWriter(self.out, table.schema, use_dictionary=text)
            self.writer.write_table(table)

    def close(self) -> None:
        """The file's footer written; the handle stays open for its owner."""
        writer, self.writer = self.writer, None
        if writer is not None:
            with write_errors(self.name):
                writer.close()

    def abandon(self) -> None:
        """The writer let go of without a word: what it wrote is thrown away."""
        writer, self.writer = self.writer, None
        if writer is not None:
            try:
                writer.close()
            except Exception:  # the write that failed fails again
                writer.is_open = False  # nothing left for its finaliser to flush either

    def restart(self) -> None:
        self.abandon()
        self.out.seek(0)
        self.out.truncate()


@dataclass
class _TableOf:
    """What typed_table needs of the bars read."""

    table: pa.Table
    time_column: int
    decimal: str
