"""Daily (or intraday) OHLC price bars: reading and checking CSV files.

A bar file is a CSV file with a header row.  Column names are matched without
regard to case or surrounding spaces:

- one time column, named ``date``, ``time``, ``datetime`` or ``timestamp``
  (ISO 8601 dates or date-times, or a few common day formats such as
  ``19-Sep-03``, ``09/19/2003`` or ``19.09.2003``);
- ``open``, ``high``, ``low``, ``close``: numbers;
- ``volume``: optional; an empty volume cell is read as NaN.

Other columns are ignored.  Prices are read as float64; an empty price cell
is an error, while the words ``nan`` and ``inf`` are taken as the IEEE
values they name.  Rows may run forwards or backwards in time (a file whose
times all decrease is reversed on reading), but not both.

Every problem with a file raises :class:`BarsError`, whose message is one line
naming the file, the row and the column.
"""

from __future__ import annotations

import csv
import datetime as _dt
import io
import math
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator, TextIO

import numpy as np

TIME_COLUMNS = ("date", "time", "datetime", "timestamp")
PRICE_COLUMNS = ("open", "high", "low", "close")

# Day formats tried, in this order, when a time value is not ISO 8601.
_DAY_FORMATS = ("%d-%b-%y", "%d-%b-%Y", "%m/%d/%Y", "%m/%d/%y", "%Y/%m/%d", "%d.%m.%Y", "%Y%m%d")


class BarsError(ValueError):
    """A bar file that cannot be used; ``str()`` is one line for the user."""

    def __init__(self, source: str, problem: str, *, row: int | None = None,
                 line: int | None = None, column: str | None = None) -> None:
        self.source, self.problem = source, problem
        self.row, self.line, self.column = row, line, column
        where = [source]
        if row is not None:
            where.append(f"row {row} (line {line})")
        elif line is not None:
            where.append(f"line {line}")
        if column is not None:
            where.append(f"column {column!r}")
        super().__init__(", ".join(where) + ": " + problem)


@dataclass(frozen=True)
class Bars:
    """Price bars in time order; every array has one element per bar."""

    source: str
    labels: list[str]          # the time values as written in the file
    times: np.ndarray          # the same as datetime64[s]
    open: np.ndarray           # float64
    high: np.ndarray           # float64
    low: np.ndarray            # float64
    close: np.ndarray          # float64
    volume: np.ndarray | None  # float64, or None when the file has no volume
    reversed: bool = False     # True when the file runs backwards in time

    def __len__(self) -> int:
        return len(self.close)


def read_bars(path: str | Path) -> Bars:
    """Read and check the bar file at `path`."""
    source = str(path)
    try:
        with open(path, newline="", encoding="utf-8-sig") as handle:
            return parse_bars(handle, source)
    except OSError as exc:
        raise BarsError(source, f"cannot read the file ({exc.strerror or exc})") from None
    except UnicodeDecodeError:
        raise BarsError(source, "not a text file in UTF-8") from None


def parse_bars(handle: TextIO, source: str = "<bars>") -> Bars:
    """Read bars from an open CSV text stream; `source` names it in errors."""
    reader = csv.reader(handle)
    header = _read_header(reader, source)
    columns = _locate_columns(header, source)
    time_column = columns["time"]

    labels: list[str] = []
    prices: dict[str, list[float]] = {name: [] for name in (*PRICE_COLUMNS, "volume")}
    lines: list[int] = []
    for fields in reader:
        if not fields or all(not f.strip() for f in fields):
            continue  # blank lines, typically at the end
        row = len(labels) + 1
        if len(fields) != len(header):
            raise BarsError(source, f"{len(fields)} fields, but the header has {len(header)}",
                            row=row, line=reader.line_num)
        labels.append(fields[columns["time"]].strip())
        lines.append(reader.line_num)
        for name in PRICE_COLUMNS:
            prices[name].append(_number(fields[columns[name]], source, row, reader.line_num,
                                        header[columns[name]], allow_empty=False))
        if "volume" in columns:
            prices["volume"].append(_number(fields[columns["volume"]], source, row, reader.line_num,
                                            header[columns["volume"]], allow_empty=True))
    if not labels:
        raise BarsError(source, "no bars after the header", line=1)

    times = _parse_times(labels, lines, source, header[time_column])
    order = _time_order(times, labels, lines, source, header[time_column])
    arrays = {name: np.asarray(values, dtype=np.float64)[order] for name, values in prices.items() if values}
    return Bars(source=source, labels=[labels[i] for i in order], times=times[order],
                open=arrays["open"], high=arrays["high"], low=arrays["low"], close=arrays["close"],
                volume=arrays["volume"] if "volume" in columns else None,
                reversed=bool(len(order) > 1 and order[0] > order[-1]))


def write_bars(bars: Bars, handle: TextIO) -> None:
    """Write `bars` as a CSV file that :func:`parse_bars` reads back unchanged."""
    writer = csv.writer(handle, lineterminator="\n")
    names = ["date", *PRICE_COLUMNS] + (["volume"] if bars.volume is not None else [])
    writer.writerow(names)
    columns = [bars.open, bars.high, bars.low, bars.close]
    if bars.volume is not None:
        columns.append(bars.volume)
    for i, label in enumerate(bars.labels):
        writer.writerow([label, *(format_number(c[i]) for c in columns)])


def format_number(value: float | np.floating) -> str:
    """Shortest text that reads back to the same value in its own precision; '' for NaN."""
    if value != value:
        return ""
    if isinstance(value, np.float32):
        return str(value)
    number = float(value)
    return str(int(number)) if number.is_integer() and abs(number) < 2**53 else repr(number)


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
        text = resources.files("ornivex").joinpath("data/sample_bars.csv").read_text()
        bars = parse_bars(io.StringIO(text), "sample_bars.csv")
        return bars, (f"{len(bars)} synthetic daily bars bundled with ornivex "
                      "(matplotlib is not installed, so its real sample prices are not available)")
    times = prices["date"].astype("datetime64[s]")
    bars = Bars(source="goog.npz", labels=[str(d) for d in prices["date"]], times=times,
                open=prices["open"].astype(np.float64), high=prices["high"].astype(np.float64),
                low=prices["low"].astype(np.float64), close=prices["close"].astype(np.float64),
                volume=prices["volume"].astype(np.float64))
    return bars, (f"{len(bars)} daily bars of Google (GOOG), {bars.labels[0]} to {bars.labels[-1]}, "
                  "from matplotlib's sample data")


def _read_header(reader: Iterator[list[str]], source: str) -> list[str]:
    for fields in reader:
        if any(f.strip() for f in fields):
            return [f.strip() for f in fields]
    raise BarsError(source, "the file is empty (a header row and at least one bar are needed)")


def _locate_columns(header: list[str], source: str) -> dict[str, int]:
    found: dict[str, int] = {}
    for index, name in enumerate(header):
        key = name.lower()
        if key in TIME_COLUMNS:
            key = "time"
        if key in (*PRICE_COLUMNS, "volume", "time"):
            if key in found:
                raise BarsError(source, f"two {'time' if key == 'time' else repr(key)} columns "
                                f"({header[found[key]]!r} and {name!r})", line=1)
            found[key] = index
    listing = ", ".join(header)
    if "time" not in found:
        raise BarsError(source, f"missing column 'date' (or 'time'); the header has: {listing}", line=1)
    for name in PRICE_COLUMNS:
        if name not in found:
            raise BarsError(source, f"missing column {name!r}; the header has: {listing}", line=1)
    return found


def _number(text: str, source: str, row: int, line: int, column: str, *, allow_empty: bool) -> float:
    text = text.strip()
    if not text:
        if allow_empty:
            return math.nan
        raise BarsError(source, "empty value", row=row, line=line, column=column)
    try:
        return float(text)
    except ValueError:
        raise BarsError(source, f"{text!r} is not a number", row=row, line=line, column=column) from None


def _parse_times(labels: list[str], lines: list[int], source: str, column: str) -> np.ndarray:
    try:
        return np.array(labels, dtype="datetime64[s]")
    except ValueError:
        pass
    day_format = next((f for f in _DAY_FORMATS if _parses(labels[0], f)), None)
    times = np.empty(len(labels), dtype="datetime64[s]")
    for i, label in enumerate(labels):
        try:
            if day_format is None:
                times[i] = np.datetime64(label, "s")
            else:
                times[i] = np.datetime64(_dt.datetime.strptime(label, day_format), "s")
        except ValueError:
            raise BarsError(source, f"{label!r} is not a date or time", row=i + 1, line=lines[i],
                            column=column) from None
    return times


def _parses(text: str, day_format: str) -> bool:
    try:
        _dt.datetime.strptime(text, day_format)
    except ValueError:
        return False
    return True


def _time_order(times: np.ndarray, labels: list[str], lines: list[int], source: str,
                column: str) -> np.ndarray:
    """Indices that put the rows forwards in time; the file must be monotonic."""
    steps = np.diff(times.astype(np.int64))
    if np.all(steps >= 0):
        return np.arange(len(times))
    if np.all(steps <= 0):
        return np.arange(len(times))[::-1]
    # Mixed directions: name the first row that breaks the direction the file starts in.
    forwards = steps[np.flatnonzero(steps)[0]] > 0
    bad = int(np.flatnonzero(steps < 0 if forwards else steps > 0)[0]) + 1
    direction = "earlier" if forwards else "later"
    raise BarsError(source, f"{labels[bad]} is {direction} than the row before it; "
                    "rows must be in time order", row=bad + 1, line=lines[bad], column=column)
