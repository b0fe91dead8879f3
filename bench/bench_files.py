"""Files of any size: `ornivex compute` in chunks beside the whole file in memory, and charts of every bar.

    python bench/bench_files.py [--rows 1e6] [--symbols 1 1000] [--repeat R] [--keep DIR]
                                [--in-memory-rows 2e6] [--scan-rows 1e6]

The defaults run in a few minutes; the 2e7-row figures (files of about
1.1 GB) take ``--rows 1e6 2e7 --scan-rows 1e6 2e7`` and a quarter of an hour
or more.

For each size and symbol count, writes a CSV of one-minute bars (a long file
with a symbol column when there are several symbols, interleaved by time) and
runs, as separate processes:

- ``in memory``: the whole file read, computed and written at once (the
  reader, indicators and writer the command used before it read in chunks);
  one symbol only (a long file was one series there), and only up to
  --in-memory-rows rows, since its memory grows with the file;
- ``chunked``: ``ornivex compute FILE -o OUT``;
- ``watch, start``: ``ornivex watch FILE -o OUT`` until the rows already in FILE are computed
  (peak read from /proc, then stopped with SIGINT; the same target as compute);
- ``Parquet``: the same to OUT.parquet, written row group by row group, beside the whole table
  written at once (in memory, up to --in-memory-rows).

Prints wall time (best of R), rows per second and peak resident size of each
(targets: chunked at most 1.1 x the in-memory time at 1e6 rows, the same rows
per second at 2e7, peak at most 300 MB, to CSV and to Parquet alike), checks
that both outputs are the same; then ``ornivex scan`` of a long Parquet file of 1,000 symbols, read a
batch at a time, beside the whole dataset read at once (the route --jobs takes);
then the chart of 1e6 bars: ``chart --all`` (target: at most 10 s
and 1 GB) and the default last 500 bars.
"""

from __future__ import annotations

import argparse
import filecmp
import os
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pa_csv
import pyarrow.parquet as pq

IN_MEMORY = """
import sys
import pyarrow as pa
from ornivex.bars import read_bars
from ornivex.cli import _compute, _parser
from ornivex.writing import OUTPUT_COLUMNS, write_csv
bars = read_bars(sys.argv[1])
values = _compute(bars, _parser().parse_args(["compute", sys.argv[1]]))
table = bars.table.drop_columns([c for c in bars.table.column_names if c in OUTPUT_COLUMNS])
placed = [pa.array(values[key]) for key in OUTPUT_COLUMNS]  # a generated file: one bar per row, in order
with open(sys.argv[2], "wb") as out:
    write_csv([*table.columns, *placed], [*table.column_names, *OUTPUT_COLUMNS], out, bars.sep, bars.decimal)
"""

IN_MEMORY_PARQUET = """
import sys
import pyarrow as pa
import pyarrow.parquet as pq
from ornivex.bars import read_bars, typed_table
from ornivex.cli import _compute, _parser
from ornivex.writing import OUTPUT_COLUMNS
bars = read_bars(sys.argv[1])
values = _compute(bars, _parser().parse_args(["compute", sys.argv[1]]))
table = typed_table(bars)
table = pa.table([*table.columns, *(pa.array(values[key], from_pandas=True) for key in OUTPUT_COLUMNS)],
                 names=[*table.column_names, *OUTPUT_COLUMNS])
pq.write_table(table, sys.argv[2])
"""

IN_MEMORY_SCAN = """
import sys
from ornivex.scan import scan_path
rows, failures = scan_path(sys.argv[1])
assert len(rows) == int(sys.argv[2]) and not failures
"""


def write_bars(path: Path, rows: int, symbols: int, seed: int = 1, block: int = 1_000_000) -> None:
    """One-minute random-walk bars, `symbols` of them interleaved by time, written a block at a time."""
    rng = np.random.default_rng(seed)
    last = np.full(symbols, 100.0)
    names = np.array([f"S{i:04d}" for i in range(symbols)])
    with open(path, "wb") as out:
        out.write(b"Symbol,Date,Open,High,Low,Close,Volume\n" if symbols > 1 else b"Date,Open,High,Low,Close,Volume\n")
        for start in range(0, rows, block):
            count = min(block, rows - start)
            index = np.arange(start, start + count)
            code = index % symbols
            steps = np.exp(rng.normal(0, 0.0005, count))
            close = np.empty(count)
            open_ = np.empty(count)
            for s in range(symbols):  # each symbol's own walk, carried from block to block
                mine = np.flatnonzero(code == s)
                path_ = last[s] * np.cumprod(steps[mine])
                open_[mine] = np.concatenate(([last[s]], path_[:-1]))
                close[mine] = path_
                if len(mine):
                    last[s] = path_[-1]
            close, open_ = np.round(close, 4), np.round(open_, 4)
            high = np.round(np.maximum(open_, close) * (1 + rng.uniform(0, 0.0005, count)), 4)
            low = np.round(np.minimum(open_, close) * (1 - rng.uniform(0, 0.0005, count)), 4)
            times = np.datetime64("2020-01-02T09:30") + (index // symbols).astype("timedelta64[m]")
            columns = {
                **({"Symbol": pa.array(names[code])} if symbols > 1 else {}),
                "Date": pa.array(np.datetime_as_string(times, unit="s")),
                **{name: pc.cast(pa.array(values), pa.string())
                   for name, values in (("Open", open_), ("High", high), ("Low", low), ("Close", close))},
                "Volume": pc.cast(pa.array(rng.integers(1, 10_000, count)), pa.string()),
            }
            pa_csv.write_csv(pa.table(columns), out, pa_csv.WriteOptions(quoting_style="none", include_header=False))


# The peak of a process started straight from this one would count this process's own pages: Linux keeps
# the larger resident size across fork and exec.  A small process in between starts the command.
PEAK_OF = """
import os, sys
quiet = os.open(os.devnull, os.O_WRONLY)
pid = os.posix_spawnp(sys.argv[1], sys.argv[1:], os.environ, file_actions=[(os.POSIX_SPAWN_DUP2, quiet, 1)])
_, status, usage = os.wait4(pid, 0)
print(usage.ru_maxrss * 1024)
sys.exit(os.waitstatus_to_exitcode(status))
"""


def write_parquet(csv_path: Path, path: Path, group_rows: int = 1_000_000) -> None:
    """The CSV file as Parquet (typed times and prices), read and written a block at a time."""
    reader = pa_csv.open_csv(csv_path, convert_options=pa_csv.ConvertOptions(column_types={"Date": pa.timestamp("s")}))
    pending: list[pa.RecordBatch] = []
    with pq.ParquetWriter(path, reader.schema) as writer:
        for batch in reader:
            pending.append(batch)
            if sum(b.num_rows for b in pending) >= group_rows:
                writer.write_table(pa.Table.from_batches(pending), row_group_size=group_rows)
                pending = []
        if pending:
            writer.write_table(pa.Table.from_batches(pending), row_group_size=group_rows)


def run(command: list[str]) -> tuple[float, int]:
    """Wall time in seconds and peak resident size in bytes of one process."""
    start = time.perf_counter()
    process = subprocess.run([sys.executable, "-c", PEAK_OF, *command], capture_output=True)
    elapsed = time.perf_counter() - start
    if process.returncode:
        raise SystemExit(f"{' '.join(command)} failed:\n{process.stderr.decode()}")
    return elapsed, int(process.stdout)


def watch_start(command: list[str], bars: Path, out: Path) -> tuple[float, int]:
    """Seconds until ``watch`` has computed the rows already in `bars` (its output renamed into place) and
    its peak resident size then, read from /proc before it is stopped with SIGINT."""
    out.unlink(missing_ok=True)
    start = time.perf_counter()
    process = subprocess.Popen([*command, "watch", str(bars), "-o", str(out), "--quiet"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        while not out.exists():
            if process.poll() is not None:
                raise SystemExit(f"watch {bars} failed:\n{process.stderr.read().decode()}")  # type: ignore[union-attr]
            time.sleep(0.02)
        seconds = time.perf_counter() - start
        status = Path(f"/proc/{process.pid}/status").read_text()
        peak = int(next(row for row in status.splitlines() if row.startswith("VmHWM:")).split()[1]) * 1024
    finally:
        process.send_signal(signal.SIGINT)
        process.communicate(timeout=60)
    return seconds, peak


def best(commands: list[list[str]], repeat: int) -> list[tuple[float, int]]:
    """Best time and highest peak of each command, the commands taking turns so that a busy
    machine slows them alike."""
    runs: list[list[tuple[float, int]]] = [[] for _ in commands]
    for _ in range(repeat):
        for command, times in zip(commands, runs):
            times.append(run(command))
    return [(min(t for t, _ in times), max(m for _, m in times)) for times in runs]


def line(label: str, rows: int, seconds: float, peak: int) -> str:
    return f"  {label:<18} {seconds:8.2f} s  {rows / seconds / 1e6:6.2f} M rows/s  peak {peak / 2**20:7.0f} MB"


def beside_in_memory(label: str, chunked: list[str], in_memory: list[str] | None, rows: int, repeat: int,
                     same: Callable[[], str]) -> None:
    """Prints the chunked run's figures, beside the whole-file run's when there is one (`in_memory`),
    with `same()` saying whether their outputs agree."""
    if in_memory is None:
        ((seconds, peak),) = best([chunked], repeat)
        print(line(f"{label}chunked", rows, seconds, peak))
        return
    (seconds, peak), (memory_seconds, memory_peak) = best([chunked, in_memory], repeat)
    print(line(f"{label}in memory", rows, memory_seconds, memory_peak))
    print(line(f"{label}chunked", rows, seconds, peak)
          + f"  ({seconds / memory_seconds:.2f} x in memory; {same()})")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=float, nargs="+", default=[1e6])
    parser.add_argument("--symbols", type=int, nargs="+", default=[1, 1000])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--in-memory-rows", type=float, default=2e6)
    parser.add_argument("--scan-rows", type=float, nargs="*", default=[1e6],
                        help="rows of the long Parquet file of 1,000 symbols scanned")
    parser.add_argument("--keep", type=Path, help="folder for the generated files (default: a temporary one)")
    args = parser.parse_args()
    folder = args.keep or Path(tempfile.mkdtemp(prefix="ornivex-bench-files-"))
    folder.mkdir(parents=True, exist_ok=True)
    command = [sys.executable, "-m", "ornivex"]
    for rows in map(int, args.rows):
        for symbols in args.symbols:
            bars = folder / f"bars-{rows}-{symbols}.csv"
            if not bars.exists():
                write_bars(bars, rows, symbols)
            repeat = args.repeat if rows <= 2e6 else 1
            print(f"{rows:,} rows, {symbols} symbol{'s' * (symbols != 1)} ({bars.stat().st_size / 2**20:.0f} MB), "
                  f"best of {repeat}:")
            chunked_out, memory_out = folder / "chunked.csv", folder / "in-memory.csv"
            chunked = [*command, "compute", str(bars), "-o", str(chunked_out)]
            in_memory = symbols == 1 and rows <= args.in_memory_rows
            beside_in_memory("", chunked, [sys.executable, "-c", IN_MEMORY, str(bars), str(memory_out)] if in_memory
                             else None, rows, repeat,
                             lambda: f"same bytes: {filecmp.cmp(chunked_out, memory_out, shallow=False)}")
            watch_out = folder / "watched.csv"
            seconds, peak = watch_start(command, bars, watch_out)
            print(line("watch, start", rows, seconds, peak)
                  + f"  (same bytes: {filecmp.cmp(chunked_out, watch_out, shallow=False)})")
            watch_out.unlink()
            parquet_out, memory_parquet = folder / "chunked.parquet", folder / "in-memory.parquet"
            to_parquet = [*command, "compute", str(bars), "-o", str(parquet_out)]
            beside_in_memory("Parquet, ", to_parquet, [sys.executable, "-c", IN_MEMORY_PARQUET, str(bars),
                                                       str(memory_parquet)] if in_memory else None, rows, repeat,
                             lambda: f"same table: {pq.read_table(parquet_out).equals(pq.read_table(memory_parquet))}")
            for name in (chunked_out, memory_out, parquet_out, memory_parquet):
                name.unlink(missing_ok=True)
    for rows in map(int, args.scan_rows):
        bars, parquet = folder / f"bars-{rows}-1000.csv", folder / f"bars-{rows}-1000.parquet"
        if not parquet.exists():
            if not bars.exists():
                write_bars(bars, rows, 1000)
            write_parquet(bars, parquet)
        repeat = args.repeat if rows <= 2e6 else 1
        print(f"scan of a long Parquet file, {rows:,} rows of 1,000 symbols ({parquet.stat().st_size / 2**20:.0f} MB), "
              f"best of {repeat}:")
        (seconds, peak), (memory_seconds, memory_peak) = best(
            [[*command, "scan", str(parquet)], [sys.executable, "-c", IN_MEMORY_SCAN, str(parquet), "1000"]], repeat)
        print(line("in memory", rows, memory_seconds, memory_peak))
        print(line("chunked", rows, seconds, peak) + f"  ({seconds / memory_seconds:.2f} x in memory)")
    bars = folder / "bars-1000000-1.csv"
    if not bars.exists():
        write_bars(bars, 1_000_000, 1)
    print("chart of 1,000,000 bars:")
    for label, options in (("--all", ["--all"]), ("last 500", [])):
        ((seconds, peak),) = best([[*command, "chart", str(bars), "-o", str(folder / "chart.png"), *options]], 1)
        print(f"  {label:<10} {seconds:8.2f} s  peak {peak / 2**20:7.0f} MB")
    if args.keep is None:
        for name in folder.iterdir():
            name.unlink()
        folder.rmdir()


if __name__ == "__main__":
    main()
