"""Scanning a folder of per-symbol bar files for their latest HalfTrend state.

One CSV or Parquet file per symbol (the symbol is the file name without its suffix).  A
file that cannot be read or computed is reported and skipped; it never stops
the scan.  Files are processed in worker processes when more than one job is
asked for: each file is independent, and the native indicators hold the
interpreter lock, so processes (not threads) are what spreads them over cores.
"""

from __future__ import annotations

import multiprocessing
import sys
from concurrent.futures import ProcessPoolExecutor, as_completed
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, TextIO

from ornivex import indicators
from ornivex.bars import read_bars


@dataclass(frozen=True)
class ScanRow:
    symbol: str
    date: str              # time of the last bar, as written in the file
    close: float
    halftrend: float       # line value at the last bar
    trend: str             # "up" or "down"
    signal: str | None     # the last signal, "buy" or "sell"; None if there was none
    bars_since: int | None  # bars from the last signal to the last bar (0: on the last bar)
    bars: int              # number of bars in the file
    warnings: tuple[str, ...] = ()  # one line each, naming the file


@dataclass(frozen=True)
class ScanFailure:
    symbol: str
    message: str           # one line, naming the file


def symbol_files(directory: str | Path) -> list[Path]:
    """The CSV and Parquet files directly inside `directory`, in name order."""
    return sorted(p for p in Path(directory).iterdir()
                  if p.suffix.lower() in (".csv", ".parquet") and p.is_file())


def scan_file(path: str | Path, *, amplitude: int = indicators.AMPLITUDE,
              channel_deviation: float = indicators.CHANNEL_DEVIATION,
              atr_length: int = indicators.ATR_LENGTH, sep: str | None = None, decimal: str | None = None,
              skip_bad_rows: bool = False) -> ScanRow:
    """The latest HalfTrend state of the bars in `path`; raises ValueError for a bad file.

    `sep`, `decimal` and `skip_bad_rows` are passed on to :func:`ornivex.bars.read_bars`.
    """
    bars = read_bars(path, sep, decimal, skip_bad_rows=skip_bad_rows)
    try:
        columns = indicators.halftrend(bars.high, bars.low, bars.close, amplitude=amplitude,
                                       channel_deviation=channel_deviation, atr_length=atr_length)
    except ValueError as exc:
        raise ValueError(f"{path}: {exc}") from None
    signal, since = indicators.last_signal(columns["buy"], columns["sell"])
    return ScanRow(symbol=Path(path).stem, date=bars.label(len(bars) - 1), close=float(bars.close[-1]),
                   halftrend=float(columns["halftrend"][-1]),
                   trend="up" if columns["trend"][-1] == indicators.UP else "down",
                   signal=signal, bars_since=since, bars=len(bars), warnings=bars.warnings)


def scan_directory(directory: str | Path, *, jobs: int = 1,
                   progress: Callable[[int, int], None] | None = None,
                   **parameters: object) -> tuple[list[ScanRow], list[ScanFailure]]:
    """Scan every CSV file in `directory`; rows and failures come back in symbol order.

    `progress`, when given, is called with (files done, files in all) after each file.
    """
    paths = symbol_files(directory)
    outcomes: list[ScanRow | ScanFailure] = []
    if jobs > 1 and len(paths) > 1:
        # Fresh interpreters, not forks: forking a process that runs threads can deadlock.
        spawn = multiprocessing.get_context("spawn")
        with ProcessPoolExecutor(max_workers=min(jobs, len(paths)), mp_context=spawn) as pool:
            futures = [pool.submit(_scan_or_fail, path, parameters) for path in paths]
            for done, future in enumerate(as_completed(futures), 1):
                outcomes.append(future.result())
                if progress:
                    progress(done, len(paths))
    else:
        for done, path in enumerate(paths, 1):
            outcomes.append(_scan_or_fail(path, parameters))
            if progress:
                progress(done, len(paths))
    outcomes.sort(key=lambda outcome: outcome.symbol)
    return ([o for o in outcomes if isinstance(o, ScanRow)],
            [o for o in outcomes if isinstance(o, ScanFailure)])


def _scan_or_fail(path: Path, parameters: dict) -> ScanRow | ScanFailure:
    try:
        return scan_file(path, **parameters)
    except ValueError as exc:  # BarsError included
        return ScanFailure(symbol=path.stem, message=str(exc))


class ProgressBar:
    """A one-line progress bar redrawn in place on a terminal stream."""

    def __init__(self, stream: TextIO = sys.stderr, width: int = 30) -> None:
        self.stream, self.width = stream, width

    def __call__(self, done: int, total: int) -> None:
        filled = self.width * done // max(total, 1)
        self.stream.write(f"\rscanning [{'#' * filled}{'.' * (self.width - filled)}] {done}/{total}")
        if done == total:
            self.stream.write("\n")
        self.stream.flush()
