"""Writing what the command produces: CSV cells and tables, and any file whole or not at all.

Every regular file is written to a temporary file in the target's folder and
renamed over the target only when it is complete, so a run that fails or is
interrupted leaves what was there before, byte for byte.  A link at the
target's name is replaced by the new file, never written through.  Standard
output (``-``) and special files (``/dev/null``, a terminal, a pipe,
``/dev/stdout``) cannot be renamed over and are written directly.

A write that fails (disk full, file too large, no permission) raises
:class:`WriteError`, whose text is one line naming the file.
"""

from __future__ import annotations

import errno
import os
import re
import stat
import sys
import tempfile
from contextlib import contextmanager
from pathlib import Path
from typing import BinaryIO, Iterator, Sequence

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pa_csv

from ornivex import indicators
from ornivex.bars import Bars

STANDARD_OUTPUT = "-"
CSV_SUFFIXES = (".csv", ".tsv", ".txt")
PARQUET_SUFFIXES = (".parquet", ".pq")
# Names of a process's open streams; whatever they lead to is written in place.
_STREAM_NAMES = re.compile(r"/dev/(stdout|stderr|fd/\d+)|/proc/(self|thread-self|\d+)/fd/\d+")
# Every indicator column of a result, after the input's own columns.
OUTPUT_COLUMNS = ("atr", *indicators.HALFTREND_KEYS, "trend", *indicators.SWING_KEYS)


class WriteError(Exception):
    """A file that cannot be written; ``str()`` is one line for the user."""


# -- files ------------------------------------------------------------------------------------

def is_direct(path: str | os.PathLike) -> bool:
    """True for outputs written in place: standard output and special files (devices, pipes, sockets)."""
    name = os.fspath(path)
    if name == STANDARD_OUTPUT:
        return True
    if _STREAM_NAMES.fullmatch(os.path.abspath(name)):
        return True  # /dev/stdout and the like: their file may be one the shell opened for appending
    try:
        mode = os.stat(name).st_mode
    except OSError:
        return False
    return not stat.S_ISREG(mode) and not stat.S_ISDIR(mode)


def counted(count: int, noun: str) -> str:
    """A count and its noun, singular for one: "1 symbol", "3 symbols"."""
    return f"{count} {noun}{'s' * (count != 1)}"


def display_name(path: str | os.PathLike) -> str:
    name = os.fspath(path)
    return "standard output" if name == STANDARD_OUTPUT else name


@contextmanager
def write_errors(path: str | os.PathLike) -> Iterator[None]:
    """Turn an OSError inside the block into a WriteError naming `path`.

    A closed pipe (BrokenPipeError) passes through: the reader went away, which
    is not a failure of the write.
    """
    try:
        yield
    except BrokenPipeError:
        raise
    except OSError as exc:
        reason = exc.strerror or str(exc) or type(exc).__name__
        if exc.errno == errno.EISDIR or os.path.isdir(os.fspath(path)):
            reason = "it is a folder"
        raise WriteError(f"{display_name(path)}: cannot write ({reason})") from None


@contextmanager
def atomic_output(path: str | os.PathLike) -> Iterator[BinaryIO]:
    """A binary handle whose bytes become the file at `path` only when the block ends without an error.

    ``-`` is standard output.  On any error the temporary file is removed and
    the target is left as it was; an OSError becomes a WriteError.
    """
    name = os.fspath(path)
    if name == STANDARD_OUTPUT:
        sys.stdout.flush()  # text printed before stays before
        with write_errors(name):
            yield sys.stdout.buffer
            sys.stdout.buffer.flush()
        return
    if is_direct(name):
        with write_errors(name):
            # Appending: a device or pipe ignores it, and a file behind /dev/stdout keeps what it has.
            with open(os.open(name, os.O_WRONLY | os.O_APPEND), "wb") as handle:
                yield handle
        return
    target = Path(name)
    with write_errors(name):
        if target.is_dir():
            raise IsADirectoryError(errno.EISDIR, "it is a folder")
        mode = _new_file_mode(target)
        descriptor, temporary = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".part")
    try:
        with write_errors(name):
            with os.fdopen(descriptor, "wb") as handle:
                yield handle
                handle.flush()
                os.fsync(handle.fileno())
            os.chmod(temporary, mode)
            os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def _new_file_mode(target: Path) -> int:
    """The permissions the file gets: those of the file it replaces, or the usual ones for a new file."""
    try:
        info = os.lstat(target)
        if stat.S_ISREG(info.st_mode):
            return stat.S_IMODE(info.st_mode)
    except OSError:
        pass
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


# -- result tables ----------------------------------------------------------------------------

def output_format(path: str | os.PathLike | None, formats: Sequence[str] = ("csv", "parquet")) -> str:
    """The format written to `path`, from its suffix: "csv" or "parquet" (of those in `formats`).

    Standard output, special files and names without a suffix get CSV; any
    other suffix is a WriteError listing the ones written.
    """
    name = STANDARD_OUTPUT if path is None else os.fspath(path)
    suffix = Path(name).suffix.lower()
    if is_direct(name) or not suffix or suffix in CSV_SUFFIXES:
        return "csv"
    if suffix in PARQUET_SUFFIXES and "parquet" in formats:
        return "parquet"
    written = [*CSV_SUFFIXES, *(PARQUET_SUFFIXES if "parquet" in formats else ())]
    raise WriteError(f"{name}: cannot write a {suffix} file; the output name ends in one of {', '.join(written)}")


def write_bars(bars: Bars, out: BinaryIO) -> None:
    """Write the table of `bars` back as CSV, in its own dialect and row order."""
    write_csv(bars.table.columns, bars.table.column_names, out, bars.sep, bars.decimal,
              plain_text=bars.plain_cells)


# -- CSV cells --------------------------------------------------------------------------------

def csv_cells(values: pa.Array | pa.ChunkedArray, sep: str, decimal: str = ".", *,
              plain: bool = False) -> tuple[pa.Array | pa.ChunkedArray, bool]:
    """Each value as the text of a CSV cell, and whether any cell had to be quoted.

    Text is kept as it is, quoted where it holds the separator, a quote or a
    line end (`plain` says no cell does); numbers get the shortest text that
    reads back to the same value in their own precision; null and NaN are ''.
    """
    if pa.types.is_timestamp(values.type) or pa.types.is_date(values.type):
        values = _iso_text(values)
    elif not pa.types.is_string(values.type):
        return number_cells(values, decimal), False
    text = pc.fill_null(values, "")
    if plain:
        return text, False
    separator = "\\t" if sep == "\t" else sep
    special = pc.match_substring_regex(text, '["\\r\\n' + separator + ']')
    if not pc.any(special).as_py():
        return text, False
    quoted = pc.binary_join_element_wise('"', pc.replace_substring(text, '"', '""'), '"', "")
    return pc.if_else(special, quoted, text), True


def _iso_text(values: pa.Array | pa.ChunkedArray) -> pa.Array:
    """Times as ISO 8601 text: days alone when every time is at midnight."""
    times = np.asarray(pc.cast(values, pa.timestamp("ms")).to_numpy(zero_copy_only=False), dtype="datetime64[ms]")
    ticks = times.astype(np.int64)
    unit = "D" if np.all(ticks % 86_400_000 == 0) else "s" if np.all(ticks % 1000 == 0) else "ms"
    return pa.array(times.astype(f"datetime64[{unit}]").astype(str), mask=np.isnat(times))


def number_cells(values: np.ndarray | pa.Array | pa.ChunkedArray, decimal: str = ".") -> pa.Array:
    """Numbers as CSV cell text: shortest round trip in their own precision, NaN and null as ''."""
    array = values if isinstance(values, (pa.Array, pa.ChunkedArray)) else pa.array(values)
    if pa.types.is_floating(array.type):
        array = pc.if_else(pc.is_nan(array), pa.scalar(None, array.type), array)
    text = pc.fill_null(pc.cast(array, pa.string()), "")
    return pc.replace_substring(text, ".", decimal) if decimal != "." else text


def write_csv(columns: Sequence[pa.Array | pa.ChunkedArray], header: Sequence[str] | None, out: BinaryIO,
              sep: str = ",", decimal: str = ".", *, plain_text: bool = False, chunk_rows: int = 1 << 16) -> None:
    """Write `columns` as CSV after the header line (None: rows only, to follow earlier ones),
    formatting one chunk of rows at a time.

    Cells are made by :func:`csv_cells`; `plain_text` says no text cell needs quotes.
    """
    if header is not None:
        out.write((sep.join(_quote(h, sep) for h in header) + "\n").encode("utf-8"))
    # Times become text for the whole column, so every chunk writes them alike.
    columns = [_iso_text(c) if pa.types.is_timestamp(c.type) or pa.types.is_date(c.type) else c for c in columns]
    names = [f"c{i}" for i in range(len(columns))]
    options = pa_csv.WriteOptions(include_header=False, delimiter=sep, quoting_style="none")
    for start in range(0, len(columns[0]) if columns else 0, chunk_rows):
        cells = [csv_cells(c.slice(start, chunk_rows), sep, decimal, plain=plain_text) for c in columns]
        if not any(quoted for _, quoted in cells):
            # No cell needs quotes: pyarrow's writer joins the cells as they are.
            pa_csv.write_csv(pa.table([text for text, _ in cells], names=names), out, options)
            continue
        lines = pc.binary_join_element_wise(*(text for text, _ in cells), sep)
        lines = pc.binary_join_element_wise(lines, "", "\n")
        if isinstance(lines, pa.ChunkedArray):
            lines = lines.combine_chunks()
        offsets = np.frombuffer(lines.buffers()[1], dtype=np.int32, count=len(lines) + 1, offset=lines.offset * 4)
        out.write(memoryview(lines.buffers()[2])[offsets[0]:offsets[-1]])


def _quote(cell: str, sep: str) -> str:
    if any(ch in cell for ch in (sep, '"', "\n", "\r")):
        return '"' + cell.replace('"', '""') + '"'
    return cell
