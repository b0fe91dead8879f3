"""Following a growing bar file: every new bar computed as it arrives, every new signal said.

The rows already in the file are computed as ``ornivex compute`` computes
them (in chunks); the file is then polled, and each run of complete new lines
goes through the same checks and the same symbol streams as a chunk, so that
the output file is at every moment what ``compute`` would write for the
complete lines read so far.  A last line without its line end waits for it.
A file that shrinks or is replaced (log rotation) is computed again from its
first row.
"""

from __future__ import annotations

import io
import os
import signal
import stat
import sys
import time
from typing import BinaryIO, Callable

import numpy as np
import pyarrow as pa
import pyarrow.csv as pa_csv

from ornivex.bars import BarsError
from ornivex.chunked import (MEMORY_BUDGET, OUTPUT_COLUMNS, ChunkResult, ChunkedRun, CsvChunks, NeedsReordering,
                             Plan, Settings, Source, Target, _label, _without_blank_rows, compute_chunks,
                             line_finder)
from ornivex.writing import counted

POLL_SECONDS = 0.2
_BLOCK = 1 << 16  # bytes read at a time to find where the complete lines end


class Watch:
    """One watched file: its run, its output, and how far it has been read."""

    def __init__(self, path: str, output: str | None, settings: Settings, *, by: str | None = None,
                 sep: str | None = None, decimal: str | None = None, skip_bad_rows: bool = False,
                 memory: int = MEMORY_BUDGET, say: Callable[[str], None] = print,
                 tell: Callable[[str], None] | None = None) -> None:
        self.path, self.output, self.settings = path, output, settings
        self.options = dict(by=by, sep=sep, decimal=decimal, skip_bad_rows=skip_bad_rows, memory=memory)
        self.say = say
        self.tell = tell or (lambda text: print(f"ornivex: {text}", file=sys.stderr, flush=True))
        self.run: ChunkedRun | None = None
        self.writer: CsvChunks | None = None
        self.out: BinaryIO | None = None
        self.offset = 0        # bytes of the file read, up to the end of a complete line
        self.identity: tuple[int, int] | None = None

    # -- the rows already there --------------------------------------------------------------------

    def start(self) -> bool:
        """Compute the file's complete lines; False while it has no header and bar yet.

        Only the complete lines there when the file is opened are read, from the
        file itself, chunk by chunk: rows appended meanwhile are left for the first
        poll.  The output is written under a temporary name and renamed into place,
        then kept open for the rows to come.
        """
        try:
            handle = open(self.path, "rb")
        except FileNotFoundError:
            return False
        except OSError as exc:
            raise BarsError(self.path, f"cannot read the file ({exc.strerror or exc})") from None
        with handle:
            try:
                status = os.fstat(handle.fileno())
                regular = stat.S_ISREG(status.st_mode)
                # A pipe or device cannot be read again: what it holds is read into memory.
                reader: BinaryIO = handle if regular else io.BytesIO(handle.read())
                size = status.st_size if regular else len(reader.getbuffer())  # type: ignore[attr-defined]
                if reader.read(4) == b"PAR1":
                    raise BarsError(self.path, "a Parquet file cannot be followed as it grows; watch a CSV file")
                end = _line_end(reader, size)
                if not _has_bar(reader, end):
                    return False
            except OSError as exc:
                raise BarsError(self.path, f"cannot read the file ({exc.strerror or exc})") from None
            if regular:
                source = Source(self.path, path=self.path, descriptor=handle.fileno(), limit=end, parquet=False)
            else:
                source = Source(self.path, data=reader.getvalue()[:end], parquet=False)  # type: ignore[attr-defined]
            self.identity, self.offset = (status.st_dev, status.st_ino), end
            self.close()
            target = Target(self.output, may_restart=True) if self.output is not None else None
            self.writer = CsvChunks(source, target.handle, self.output or "-") if target is not None else None
            plan = self.writer.plan() if self.writer is not None else Plan()
            try:
                self.run = compute_chunks(source, self.settings, plan, **self.options)  # type: ignore[arg-type]
                if target is not None:
                    target.commit()
            except BaseException:
                if target is not None:
                    target.discard()
                raise
            if regular:  # the lines of appended rows' problems: counted in the file, not the closed descriptor
                self.run.line_of = line_finder(Source(self.path, path=self.path), self.run.dialect.sep)
        if self.output is not None:
            try:
                self.out = open(self.output, "ab")
            except OSError as exc:
                raise BarsError(self.output, f"cannot write ({exc.strerror or exc})") from None
            self.writer.out = self.out  # type: ignore[union-attr]
        return True

    # -- the rows that come --------------------------------------------------------------------

    def poll(self) -> None:
        """Read what was appended since the last poll; start over when the file was rotated."""
        try:
            status = os.stat(self.path)
        except FileNotFoundError:
            return  # between the rotation's rename and the new file
        if self.run is None:  # rotated to a file without a bar yet
            if self.start() and self.run is not None:
                self.tell(f"{self.path}: {counted(self.run.bars, 'bar')} computed")
            return
        if (status.st_dev, status.st_ino) != self.identity or status.st_size < self.offset:
            what = "truncated" if (status.st_dev, status.st_ino) == self.identity else "replaced"
            self.tell(f"{self.path} was {what}; starting over from its first row")
            self.run = None
            self.poll()
            return
        if status.st_size == self.offset:
            return
        with open(self.path, "rb") as handle:
            handle.seek(self.offset)
            data = handle.read(status.st_size - self.offset)
        end = data.rfind(b"\n") + 1
        if end == 0:
            return  # a partial line: it waits for its line end
        self._append(data[:end])
        self.offset += end

    def _append(self, lines: bytes) -> None:
        run = self.run
        assert run is not None
        header = run.dialect.header
        names = [f"c{i}" for i in range(len(header))]
        try:
            table = pa_csv.read_csv(
                pa.BufferReader(lines),
                read_options=pa_csv.ReadOptions(column_names=names),
                parse_options=pa_csv.ParseOptions(delimiter=run.dialect.sep, newlines_in_values=True),
                convert_options=pa_csv.ConvertOptions(column_types={n: pa.string() for n in names},
                                                      strings_can_be_null=False, quoted_strings_can_be_null=False))
        except pa.ArrowInvalid as exc:
            raise BarsError(self.path, f"cannot read the rows after row {run.rows} ({exc})") from None
        table = _without_blank_rows(table.rename_columns(header))
        if not table.num_rows:
            return
        try:
            chunk = run.chunk(table)
        except NeedsReordering as stop:
            if stop.times:  # the rows before them are computed and written already
                raise stop.where from None
            raise BarsError(self.path, f"{stop.where.problem}: appended rows must be in time order",
                            row=stop.where.row, line=stop.where.line, column=stop.where.column) from None
        if self.writer is not None:
            self.writer.on_chunk(chunk)
            self._flush()
        self._signals(chunk)

    def _signals(self, chunk: ChunkResult) -> None:
        run = self.run
        assert run is not None
        values = dict(zip(OUTPUT_COLUMNS, chunk.values))
        fired = np.flatnonzero((values["buy"] == 1) | (values["sell"] == 1))
        if not len(fired):
            return
        names = {code: name for name, code in run.symbols.items()}
        time_column = chunk.table.column(run.columns["time"])  # type: ignore[index]
        for position in fired[np.argsort(chunk.rows[fired], kind="stable")].tolist():  # in file order
            row = int(chunk.rows[position])
            words = [_label(time_column, row, chunk.times[position]).strip()]
            if run.symbol_column is not None:
                words.append(names[int(chunk.codes[position])])
            words += ["buy" if values["buy"][position] == 1 else "sell",
                      f"close {_number(chunk.prices['close'][position])}",
                      f"HalfTrend {_number(values['halftrend'][position])}"]
            self.say("  ".join(words))

    def _flush(self) -> None:
        if self.out is not None:
            self.out.flush()

    def close(self) -> None:
        if self.out is not None:
            self.out.close()
            self.out = None


def _line_end(handle: BinaryIO, size: int) -> int:
    """The end of the last complete line among the first `size` bytes, read back from there in blocks;
    0 when they hold no line end."""
    position = size
    while position > 0:
        start = max(0, position - _BLOCK)
        handle.seek(start)
        found = handle.read(position - start).rfind(b"\n")
        if found >= 0:
            return start + found + 1
        position = start
    return 0


def _has_bar(handle: BinaryIO, end: int) -> bool:
    """Whether the first `end` bytes hold two lines with more than white space (a header and a bar),
    read from the start only as far as needed."""
    handle.seek(0)
    lines, filled = 0, False  # `filled`: the line read so far has more than white space
    while end > handle.tell():
        block = handle.read(min(_BLOCK, end - handle.tell()))
        if not block:
            break
        for piece in block.splitlines(keepends=True):
            filled = filled or bool(piece.strip())
            if piece.endswith((b"\n", b"\r")):  # a "\r\n" cut between blocks adds a blank line only
                lines, filled = lines + filled, False
                if lines >= 2:
                    return True
    return False


def _number(value: float) -> str:
    return format(float(value), ".6g") if np.isfinite(value) else "nan"


def watch(path: str, output: str | None, settings: Settings, *, quiet: bool = False,
          poll_seconds: float = POLL_SECONDS, **options) -> int:
    """Follow `path` until Ctrl-C or SIGTERM; returns the exit status, 0.

    A stop asked for while new rows are being computed and written waits
    until they are, so the output always ends with a whole row.
    """
    def say(text: str) -> None:
        print(text, flush=True)

    watched = Watch(path, output, settings, say=(lambda text: None) if quiet else say, **options)
    stops: list[int] = []
    previous = signal.signal(signal.SIGTERM, _interrupt)
    try:
        if not watched.start():
            watched.tell(f"waiting for {path}: " + ("no such file yet" if not os.path.exists(path)
                                                     else "no header and complete bar yet"))
            while not watched.start():
                time.sleep(poll_seconds)
        run = watched.run
        assert run is not None
        for warning in run.warnings():
            watched.tell(f"warning: {warning}")
        watched.tell(f"watching {path}: {counted(run.bars, 'bar')} computed"
                     + (f" for {counted(run.symbol_count, 'symbol')}" if run.symbol_count is not None else "")
                     + (f", written to {output}" if output else ""))
        for number in (signal.SIGINT, signal.SIGTERM):
            signal.signal(number, lambda signum, frame: stops.append(signum))
        while not stops:
            time.sleep(poll_seconds)
            if not stops:
                watched.poll()
    except KeyboardInterrupt:
        pass
    finally:
        watched.close()
        signal.signal(signal.SIGTERM, previous)
        signal.signal(signal.SIGINT, signal.default_int_handler)
    return 0


def _interrupt(signum: int, frame: object) -> None:
    raise KeyboardInterrupt
