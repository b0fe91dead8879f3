"""Scanning many symbols for their latest HalfTrend state.

A scan reads one of:

- a folder of per-symbol bar files, ``SYMBOL.csv`` and/or ``SYMBOL.parquet``
  (the symbol is the file name without its suffix);
- a Parquet dataset with a symbol column: one Parquet file, or a folder of
  them (``part-0.parquet`` files, or partitions such as ``symbol=AAPL/``).  A
  folder is read as a dataset when it holds no CSV file and its Parquet files
  lie in subfolders or hold the symbol column.  Each symbol's rows are put in time order when the time
  column is typed (a timestamp, a date or whole numbers); text times must
  already be in order, as in a file.

A symbol that cannot be read or computed is reported and skipped; it never
stops the scan.  Symbols are scanned in batches, serially, in worker processes
(each symbol is independent, and the native indicators hold the interpreter
lock, so processes rather than threads spread them over cores), or on a Dask
distributed cluster.  Every route gives the same rows, in symbol order.
"""

from __future__ import annotations

import math
import multiprocessing
import sys
import threading
from concurrent.futures import ProcessPoolExecutor, as_completed
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Iterable, Iterator, TextIO

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc

from ornivex import indicators
from ornivex.bars import Bars, BarsError, bar_columns, parse_bars, read_bars, table_bars, time_type_problem

SYMBOL_COLUMN = "symbol"
BAR_SUFFIXES = (".csv", ".parquet")
_PARQUET_SUFFIXES = (".parquet", ".pq")
BATCHES_PER_WORKER = 4  # enough to even out symbols of different lengths, few enough to keep the overhead small
CONNECT_GRACE = 3.0  # seconds past the connect timeout before a scheduler that does not answer is given up


class ScanError(ValueError):
    """The scan as a whole cannot run (no input, an unreachable cluster); one line for the user."""


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


@dataclass(frozen=True)
class SymbolInput:
    """One symbol's bars before they are read: a file, its bytes, or its rows of a dataset."""

    symbol: str
    source: str                            # names the input in messages
    data: bytes | pa.Table | None = None   # None: the file at `source`, read where the symbol is scanned

    def bars(self, sep: str | None = None, decimal: str | None = None, skip_bad_rows: bool = False) -> Bars:
        if self.data is None:
            return read_bars(self.source, sep, decimal, skip_bad_rows=skip_bad_rows)
        if isinstance(self.data, bytes):
            return parse_bars(self.data, self.source, sep, decimal, skip_bad_rows=skip_bad_rows)
        return table_bars(self.data, self.source, skip_bad_rows=skip_bad_rows)

    def loaded(self) -> SymbolInput:
        """The same input carrying its file's bytes, for workers that may not see this machine's files."""
        if self.data is not None:
            return self
        try:
            return SymbolInput(self.symbol, self.source, Path(self.source).read_bytes())
        except OSError:
            return self  # reading it where it is scanned reports the problem


def symbol_files(directory: str | Path) -> list[Path]:
    """The CSV and Parquet files directly inside `directory`, in name order."""
    return sorted(p for p in Path(directory).iterdir() if p.suffix.lower() in BAR_SUFFIXES and p.is_file())


def symbol_inputs(path: str | Path, *, symbol_column: str | None = None
                  ) -> tuple[list[SymbolInput], list[ScanFailure]]:
    """The symbols at `path` (a folder of symbol files, or a Parquet dataset), in symbol order.

    Inputs that cannot be told apart (two files of one symbol, dataset rows
    without a symbol) come back as failures.  Raises ScanError or BarsError
    when nothing at `path` can be scanned.
    """
    path = Path(path)
    dataset = dataset_files(path, symbol_column)
    if dataset is not None:
        return _dataset_inputs(path, dataset, symbol_column)
    files = symbol_files(path)
    if not files:
        raise ScanError(f"{path}: no .csv or .parquet files in this folder")
    inputs: list[SymbolInput] = []
    failures: list[ScanFailure] = []
    for file in files:  # in name order, so a symbol's first file is the one kept
        if inputs and inputs[-1].symbol == file.stem:
            failures.append(ScanFailure(file.stem, f"{file}: {Path(inputs[-1].source).name} holds the same "
                                        "symbol and is the one scanned"))
        else:
            inputs.append(SymbolInput(file.stem, str(file)))
    return inputs, failures


def dataset_files(path: Path, symbol_column: str | None) -> list[Path] | None:
    """The Parquet files of the dataset at `path`; None for a folder of symbol files."""
    if path.is_file():
        if path.suffix.lower() not in _PARQUET_SUFFIXES:
            raise ScanError(f"{path}: a bar file alone is not a scan; give its folder, or a Parquet dataset "
                            f"with a {symbol_column or SYMBOL_COLUMN!r} column")
        return [path]
    if not path.is_dir():
        raise ScanError(f"{path}: no such folder or Parquet dataset")
    parquet = sorted(p for p in path.rglob("*") if p.suffix.lower() in _PARQUET_SUFFIXES and p.is_file())
    has_csv = any(p.suffix.lower() == ".csv" for p in symbol_files(path))
    if not has_csv and parquet and (any(p.parent != path for p in parquet)
                                    or _has_column(parquet[0], symbol_column or SYMBOL_COLUMN)
                                    or (symbol_column is None and _has_column(parquet[0], "ticker"))):
        return parquet
    return None


def dataset_source(path: str | Path, *, symbol_column: str | None = None) -> tuple[Any, str] | None:
    """The Parquet dataset at `path` as a source of chunks (ornivex.chunked.Source) of its symbol and bar
    columns, and the name of its symbol column; None for a folder of symbol files."""
    from ornivex.chunked import Source
    path = Path(path)
    files = dataset_files(path, symbol_column)
    if files is None:
        return None
    dataset, symbol, columns = _open_dataset(path, files, symbol_column)
    return Source.of_dataset(str(path), dataset, [symbol, *columns.values()]), symbol


def _has_column(path: Path, name: str) -> bool:
    import pyarrow.parquet as pq
    try:
        return name.lower() in (n.lower() for n in pq.read_schema(path).names)
    except (pa.ArrowException, OSError):
        return False


def _open_dataset(root: Path, files: list[Path], symbol_column: str | None) -> tuple[Any, str, dict[str, str]]:
    """The dataset of `files`, its symbol column and its bar columns (role: name), checked."""
    import pyarrow.dataset as ds
    source = str(root)
    symbol = None
    try:
        dataset = ds.dataset([str(f) for f in files], format="parquet", partitioning="hive",
                             partition_base_dir=str(root) if root.is_dir() else None)
        schema = dataset.schema
        symbol = next((n for name in ([symbol_column] if symbol_column else [SYMBOL_COLUMN, "ticker"])
                       for n in schema.names if n.lower() == name.lower()), None)
        if symbol is None:
            symbol_column = symbol_column or SYMBOL_COLUMN
            raise ScanError(f"{source}: no {symbol_column!r} column (columns: {', '.join(schema.names)}); "
                            "name the symbol column with --symbol-column")
        columns = bar_columns(pa.schema([f for f in schema if f.name != symbol]), source)
        problem = time_type_problem(schema.field(columns["time"]).type)
        if problem:
            raise ScanError(f"{source}: column {columns['time']!r} {problem}")
        if not _is_symbol_type(schema.field(symbol).type):
            raise ScanError(f"{source}: column {symbol!r} holds {schema.field(symbol).type}, not symbols "
                            "(text or whole numbers)")
    except (pa.ArrowException, OSError) as exc:
        raise _unreadable(source, symbol, exc) from None
    return dataset, symbol, columns


def _unreadable(source: str, symbol: str | None, exc: Exception) -> ScanError:
    if isinstance(exc, pa.ArrowInvalid) and ("utf8" in str(exc).lower() or "utf-8" in str(exc).lower()):
        return ScanError(f"{source}: column {symbol!r} holds symbols that are not UTF-8 text")
    return ScanError(f"{source}: not a Parquet dataset that can be read ({exc})")


def _dataset_inputs(root: Path, files: list[Path], symbol_column: str | None
                    ) -> tuple[list[SymbolInput], list[ScanFailure]]:
    """One input per symbol of a Parquet dataset: only the bar columns are read, each symbol's rows apart."""
    source = str(root)
    dataset, symbol, columns = _open_dataset(root, files, symbol_column)
    try:
        table = dataset.to_table(columns=[symbol, *columns.values()])
        names_column = pc.cast(table.column(symbol), pa.string())
    except (pa.ArrowException, OSError) as exc:
        raise _unreadable(source, symbol, exc) from None
    failures: list[ScanFailure] = []
    if names_column.null_count:
        failures.append(ScanFailure("(none)", f"{source}: {names_column.null_count} rows without a "
                                    f"symbol in column {symbol!r}; left out"))
        present = pc.is_valid(names_column)
        table, names_column = table.filter(present), names_column.filter(present)
    # Symbols as numbers ranked in name order, so that grouping them is a numeric sort.
    encoded = pc.dictionary_encode(names_column.combine_chunks())
    names = np.sort(encoded.dictionary.to_numpy(zero_copy_only=False))
    rank = np.empty(len(names), dtype=np.int64)
    rank[np.argsort(encoded.dictionary.to_numpy(zero_copy_only=False), kind="stable")] = np.arange(len(names))
    codes = rank[encoded.indices.to_numpy(zero_copy_only=False)]
    table = table.drop_columns([symbol]).combine_chunks()  # one chunk: taking rows from it is quick
    time = table.column(columns["time"])
    if pa.types.is_date(time.type):
        time = pc.cast(time, pa.timestamp("ms"))
    if pa.types.is_timestamp(time.type) or pa.types.is_integer(time.type):
        # Ticks of the column's own unit (of UTC where it has a zone); missing times last.
        ticks = pc.fill_null(pc.cast(time, pa.int64()), np.iinfo(np.int64).max).to_numpy()
        order = np.lexsort((ticks, codes))
    else:
        order = np.argsort(codes, kind="stable")
    sorted_codes = codes[order]
    starts = np.flatnonzero(np.concatenate(([len(order) > 0], sorted_codes[1:] != sorted_codes[:-1])))
    ends = [*starts[1:], len(order)]
    # Each symbol's rows taken out on their own, so that sending one symbol sends only its rows.
    inputs = [SymbolInput(str(names[sorted_codes[a]]), f"{source}, symbol {names[sorted_codes[a]]}",
                          table.take(pa.array(order[a:b]))) for a, b in zip(starts, ends)]
    return inputs, failures


def _is_symbol_type(kind: pa.DataType) -> bool:
    if pa.types.is_dictionary(kind):
        kind = kind.value_type
    return (pa.types.is_string(kind) or pa.types.is_large_string(kind) or pa.types.is_binary(kind)
            or pa.types.is_large_binary(kind) or pa.types.is_integer(kind))


def scan_bars(bars: Bars, symbol: str, *, amplitude: int = indicators.AMPLITUDE,
              channel_deviation: float = indicators.CHANNEL_DEVIATION,
              atr_length: int = indicators.ATR_LENGTH) -> ScanRow:
    """The latest HalfTrend state of `bars`; raises ValueError naming the source when they cannot be computed."""
    try:
        columns = indicators.halftrend(bars.high, bars.low, bars.close, amplitude=amplitude,
                                       channel_deviation=channel_deviation, atr_length=atr_length)
    except ValueError as exc:
        raise ValueError(f"{bars.source}: {exc}") from None
    signal, since = indicators.last_signal(columns["buy"], columns["sell"])
    return ScanRow(symbol=symbol, date=bars.label(len(bars) - 1), close=float(bars.close[-1]),
                   halftrend=float(columns["halftrend"][-1]),
                   trend="up" if columns["trend"][-1] == indicators.UP else "down",
                   signal=signal, bars_since=since, bars=len(bars), warnings=bars.warnings)


def scan_file(path: str | Path, *, sep: str | None = None, decimal: str | None = None,
              skip_bad_rows: bool = False, **settings: Any) -> ScanRow:
    """The latest HalfTrend state of the bars in `path`; raises ValueError for a bad file.

    `sep`, `decimal` and `skip_bad_rows` are passed on to :func:`ornivex.bars.read_bars`,
    the indicator settings to :func:`scan_bars`.
    """
    return scan_bars(read_bars(path, sep, decimal, skip_bad_rows=skip_bad_rows), Path(path).stem, **settings)


def scan_symbols(inputs: list[SymbolInput], *, jobs: int = 1, client: Any = None,
                 progress: Callable[[int, int], None] | None = None,
                 **parameters: Any) -> tuple[list[ScanRow], list[ScanFailure]]:
    """Scan every input; rows and failures come back in symbol order, whichever route ran them.

    With a Dask `client` the symbols run on its cluster (carrying their bytes,
    so the workers need not see this machine's files); with `jobs` above 1 in
    that many worker processes.  `progress`, when given, is called with
    (symbols done, symbols in all) after each batch.  `parameters` are those
    of :func:`scan_file` less the path.
    """
    if client is not None:
        outcomes = _on_cluster(client, inputs, parameters, progress)
    elif jobs > 1 and len(inputs) > 1:
        outcomes = _in_processes(jobs, inputs, parameters, progress)
    else:
        outcomes = []
        for batch in _batches(inputs, max(1, math.ceil(len(inputs) / 50))):  # progress every 2%
            outcomes += scan_batch(batch, parameters)
            if progress:
                progress(len(outcomes), len(inputs))
    outcomes.sort(key=lambda outcome: outcome.symbol)
    return ([o for o in outcomes if isinstance(o, ScanRow)],
            [o for o in outcomes if isinstance(o, ScanFailure)])


def scan_path(path: str | Path, *, symbol_column: str | None = None, **options: Any
              ) -> tuple[list[ScanRow], list[ScanFailure]]:
    """:func:`symbol_inputs` then :func:`scan_symbols`: the whole scan of a folder or dataset."""
    inputs, failures = symbol_inputs(path, symbol_column=symbol_column)
    rows, more = scan_symbols(inputs, **options)
    return rows, sorted(failures + more, key=lambda failure: failure.symbol)


def scan_batch(batch: list[SymbolInput], parameters: dict) -> list[ScanRow | ScanFailure]:
    """Scan a batch of symbols where it runs (a worker process or a Dask worker)."""
    reading = {key: parameters[key] for key in ("sep", "decimal", "skip_bad_rows") if key in parameters}
    settings = {key: value for key, value in parameters.items() if key not in reading}
    outcomes: list[ScanRow | ScanFailure] = []
    for item in batch:
        try:
            outcomes.append(scan_bars(item.bars(**reading), item.symbol, **settings))
        except ValueError as exc:  # BarsError included: the message names the file
            outcomes.append(ScanFailure(symbol=item.symbol, message=str(exc)))
        except Exception as exc:  # anything else (MemoryError too) fails this symbol only
            reason = str(exc).splitlines()[0] if str(exc) else ""
            outcomes.append(ScanFailure(symbol=item.symbol, message=f"{item.source}: cannot be scanned "
                                        f"({type(exc).__name__}{': ' + reason if reason else ''})"))
    return outcomes


def _batches(inputs: list[SymbolInput], size: int) -> Iterator[list[SymbolInput]]:
    for start in range(0, len(inputs), size):
        yield inputs[start:start + size]


def _batch_size(symbols: int, workers: int) -> int:
    return max(1, math.ceil(symbols / (workers * BATCHES_PER_WORKER)))


def _in_processes(jobs: int, inputs: list[SymbolInput], parameters: dict,
                  progress: Callable[[int, int], None] | None) -> list[ScanRow | ScanFailure]:
    workers = min(jobs, len(inputs))
    outcomes: list[ScanRow | ScanFailure] = []
    # Fresh interpreters, not forks: forking a process that runs threads can deadlock.
    spawn = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=workers, mp_context=spawn) as pool:
        futures = [pool.submit(scan_batch, batch, parameters)
                   for batch in _batches(inputs, _batch_size(len(inputs), workers))]
        outcomes = _gather(as_completed(futures), len(inputs), progress)
    return outcomes


def connect(address: str, *, timeout: float = 10.0) -> Any:
    """A Dask distributed client of the scheduler at `address`; ScanError (one line) when it cannot connect."""
    try:
        from distributed import Client
        from distributed.comm.addressing import get_address_host_port, parse_address
    except ImportError:
        raise ScanError("--scheduler needs Dask: pip install 'dask[distributed]'") from None
    try:  # checked first: a client made with a bad address takes long to give up
        if parse_address(address)[0] in ("tcp", "tls", "ws", "wss"):
            get_address_host_port(address)
    except ValueError as exc:
        raise ScanError(f"{address}: not a Dask scheduler address ({exc})") from None
    import logging
    quiet = logging.getLogger("distributed")
    level = quiet.level
    quiet.setLevel(logging.CRITICAL)  # the failure is reported once, below, not logged on the way
    _quiet_abandoned_clients()
    outcome: dict[str, Any] = {}

    def attempt() -> None:
        try:
            outcome["client"] = Client(address, timeout=timeout, set_as_default=False)
        except BaseException as exc:  # a reply that is not Dask's can fail in any way (MemoryError, struct.error)
            outcome["error"] = exc

    # The client's own timeout does not cover a server that accepts and then says nothing:
    # connect on a thread of its own and give up on it after the timeout and a grace period.
    worker = threading.Thread(target=attempt, name="ornivex-connect", daemon=True)
    try:
        worker.start()
        worker.join(timeout + CONNECT_GRACE)
    finally:
        quiet.setLevel(level)
    if worker.is_alive():
        raise ScanError(f"cannot reach the Dask scheduler at {address} (no answer within {timeout:g} s)")
    if "client" in outcome:
        return outcome["client"]
    failure = outcome["error"]
    if not isinstance(failure, Exception):
        raise failure
    reason = str(failure).splitlines()[0] if str(failure) else type(failure).__name__
    if not isinstance(failure, (OSError, TimeoutError)):
        reason = f"not a Dask scheduler's answer: {type(failure).__name__}: {reason}"
    raise ScanError(f"cannot reach the Dask scheduler at {address} ({reason})") from None


def _quiet_abandoned_clients() -> None:
    """Leave out the "Exception ignored in Client.__del__" report of a client that never connected.

    The failure was reported already, in one line; its half-made client
    fails again when it is collected.
    """
    previous = sys.unraisablehook
    if getattr(previous, "ornivex_quiet_clients", False):
        return

    def hook(unraisable: Any) -> None:
        where = getattr(unraisable.object, "__qualname__", "")
        if where.startswith("Client.") or "distributed" in getattr(unraisable.object, "__module__", ""):
            return
        previous(unraisable)

    hook.ornivex_quiet_clients = True  # type: ignore[attr-defined]
    sys.unraisablehook = hook


def _on_cluster(client: Any, inputs: list[SymbolInput], parameters: dict,
                progress: Callable[[int, int], None] | None) -> list[ScanRow | ScanFailure]:
    from distributed import as_completed as completed
    workers = max(1, sum(client.nthreads().values()))
    batches = [[item.loaded() for item in batch] for batch in _batches(inputs, _batch_size(len(inputs), workers))]
    futures = client.map(scan_batch, batches, parameters=parameters, pure=False)
    try:
        return _gather(completed(futures, loop=client.loop), len(inputs), progress)
    except Exception as exc:  # a worker that lacks ornivex, a lost connection: one line, not a remote traceback
        reason = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        raise ScanError(f"the scan failed on the Dask cluster ({type(exc).__name__}: {reason})") from None
    finally:
        client.cancel(futures)


def _gather(futures: Iterable[Any], total: int,
            progress: Callable[[int, int], None] | None) -> list[ScanRow | ScanFailure]:
    outcomes: list[ScanRow | ScanFailure] = []
    for future in futures:
        outcomes += future.result()
        if progress:
            progress(len(outcomes), total)
    return outcomes


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
