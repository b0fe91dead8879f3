"""The ornivex command run as a user runs it: a subprocess over generated bar files."""

import csv
import io
import os
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import numpy as np
import pyarrow as pa
import pyarrow.csv  # noqa: F401  (pa.csv)
import pyarrow.parquet as pq
import pytest

from ornivex import indicators

COLUMNS = ("atr", *indicators.HALFTREND_KEYS, "trend", *indicators.SWING_KEYS)
N = 60  # bars in a generated file: enough for the swing band with --swing-period 5


def run(*args, cwd, stdin=None, env=None, stdout=subprocess.PIPE, preexec_fn=None):
    env = {**(os.environ if env is None else env), "ORNIVEX_CHUNK_ROWS": "7"}  # chunk boundaries in every file
    result = subprocess.run([sys.executable, "-m", "ornivex", *map(str, args)], cwd=cwd, env=env, input=stdin,
                            stdout=stdout, stderr=subprocess.PIPE, preexec_fn=preexec_fn, timeout=120)
    result.stdout, result.stderr = result.stdout, result.stderr.decode()
    assert "Traceback" not in result.stderr, result.stderr
    return result


def walk(n=N, seed=1):
    """A random walk of daily bars; prices are what their four-decimal text reads as."""
    rng = np.random.default_rng(seed)
    close = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, n)))
    open_ = np.concatenate(([100.0], close[:-1]))
    high = np.maximum(open_, close) * (1 + rng.uniform(0, 0.01, n))
    low = np.minimum(open_, close) * (1 - rng.uniform(0, 0.01, n))
    text = {name: [f"{v:.4f}" for v in values]
            for name, values in (("Open", open_), ("High", high), ("Low", low), ("Close", close))}
    return {"Date": [str(d) for d in np.datetime64("2024-01-01") + np.arange(n)], **text,
            "Volume": [str(1000 + i) for i in range(n)]}


def expected(bars, **options):
    """Every indicator column of the bars (dict of text columns), computed in this process."""
    high, low, close = (np.array(bars[name], dtype=np.float64) for name in ("High", "Low", "Close"))
    columns = indicators.halftrend(high, low, close, atr_length=options.get("atr_length", 100))
    columns.update(indicators.swing(close, period=options.get("swing_period", 5)))
    return columns


def csv_text(bars, sep=",", decimal=".", newline="\n", header=None):
    names = header or list(bars)
    rows = zip(*(bars[name] for name in bars))
    lines = [sep.join(names)] + [sep.join(c.replace(".", decimal) for c in row) for row in rows]
    return newline.join(lines) + newline


def read_output(data, sep=",", decimal="."):
    rows = list(csv.reader(io.StringIO(data.decode("utf-8")), delimiter=sep))
    return rows[0], {name: [r[i] for r in rows[1:]] for i, name in enumerate(rows[0])}


def assert_indicators(columns, want, decimal=".", rows=None):
    for key in COLUMNS:
        values = want[key] if rows is None else want[key][rows]
        text = columns[key] if rows is None else [columns[key][i] for i in range(len(columns[key]))]
        got = np.array([float(t.replace(decimal, ".")) if t else np.nan for t in text], dtype=np.float64)
        np.testing.assert_array_equal(got.astype(values.dtype), values, err_msg=key)
        if values.dtype == np.float32:  # the shortest float32 text, not a float64 expansion
            assert all(len(t.lstrip("-").replace(".", "").replace(decimal, "").lstrip("0")) <= 10 for t in text
                       if "e" not in t), key


BARS = walk()
WANT = expected(BARS)


@dataclass
class Case:
    id: str
    files: dict                      # name -> bytes or str
    args: list
    status: int = 0
    stderr: tuple = ()               # substrings of the one line on standard error
    check: Callable | None = None    # check(tmp_path, result)
    stdin: bytes | None = None
    lines: int | None = None         # lines on standard error, when it says something
    env: dict = field(default_factory=dict)


def values_match(sep=",", decimal=".", source=BARS, want=WANT, reverse=False):
    def check(tmp_path, result):
        header, columns = read_output((tmp_path / "out.csv").read_bytes() if (tmp_path / "out.csv").exists()
                                      else result.stdout, sep, decimal)
        names = [n for n in header if n not in COLUMNS]
        assert names == list(source)
        for name in names:  # input columns: header and cells as written
            assert columns[name] == [c.replace(".", decimal) for c in source[name]], name
        if reverse:
            columns = {k: v[::-1] for k, v in columns.items()}
        assert_indicators(columns, want, decimal)
    return check


def in_memory(path, **options):
    """The file read and computed whole: its table, and each indicator column with every bar's value on
    its own row of the file (null on rows without a bar, and where a value is undefined)."""
    from ornivex.bars import read_bars
    from ornivex.cli import _compute, _parser
    from ornivex.writing import OUTPUT_COLUMNS
    bars = read_bars(path, **options)
    values = _compute(bars, _parser().parse_args(["compute", str(path), *FIVE]))
    missing = np.ones(bars.table.num_rows, dtype=bool)
    missing[bars.rows] = False
    placed = []
    for key in OUTPUT_COLUMNS:
        column = np.zeros(bars.table.num_rows, dtype=values[key].dtype)
        column[bars.rows] = values[key]
        placed.append(pa.array(column, mask=missing | (np.isnan(column) if column.dtype.kind == "f" else False)))
    return bars, placed


def same_as_in_memory(name, **options):
    """The output is byte for byte what the whole file read and computed at once gives."""
    def check(tmp_path, result):
        from ornivex.writing import OUTPUT_COLUMNS, write_csv
        bars, placed = in_memory(tmp_path / name, **options)
        table = bars.table.drop_columns([c for c in bars.table.column_names if c in OUTPUT_COLUMNS])
        buffer = io.BytesIO()
        write_csv([*table.columns, *placed], [*table.column_names, *OUTPUT_COLUMNS], buffer, bars.sep, bars.decimal)
        out = tmp_path / "out.csv"
        assert (out.read_bytes() if out.exists() else result.stdout) == buffer.getvalue()
        umask = os.umask(0o022)
        os.umask(umask)
        assert not out.exists() or out.stat().st_mode & 0o777 == 0o666 & ~umask  # not the temporary file's 0600
    return check


def parquet_as_in_memory(name, reordered=False, **options):
    """The Parquet output, written row group by row group, holds the table of the whole file computed at once:
    the same schema (text columns of a CSV file kept as text) and the same values."""
    def check(tmp_path, result):
        from ornivex.bars import typed_table
        from ornivex.writing import OUTPUT_COLUMNS
        bars, placed = in_memory(tmp_path / name, **options)
        table = typed_table(bars)
        want = pa.table([*table.columns, *placed], names=[*table.column_names, *OUTPUT_COLUMNS])
        got = pq.ParquetFile(tmp_path / "out.parquet")
        assert (got.metadata.num_row_groups == 1) == reordered and got.schema_arrow.equals(want.schema)
        assert got.read().equals(want)
    return check


def long_file(symbols=("GOOG", "EURUSD", "BTC"), n=N, newest_first=()):
    """Symbols interleaved by date, some dates missing for some symbols, one file per symbol beside it."""
    files, rows, header = {}, [], ["Ticker", *BARS]
    for k, symbol in enumerate(symbols):
        bars = walk(n, seed=20 + k)
        kept = [i for i in range(n) if (i + k) % 4]
        order = kept[::-1] if symbol in newest_first else kept
        files[f"{symbol}.csv"] = csv_text({"Ticker": [symbol] * len(order), **{c: [bars[c][i] for i in order]
                                                                              for c in BARS}})
        rows += [(bars["Date"][i], k, [symbol, *(bars[c][i] for c in BARS)]) for i in order]
    if newest_first:
        rows.sort(key=lambda r: r[0], reverse=True)
    else:
        rows.sort(key=lambda r: (r[0], r[1]))
    files["long.csv"] = "\n".join([",".join(header), *(",".join(r[2]) for r in rows)]) + "\n"
    return files


def each_symbol_as_its_own_file(tmp_path, result):
    """Every row of a long file has the values its symbol's own file gives it, in the input's order."""
    got = list(csv.reader(io.StringIO((tmp_path / "out.csv").read_text())))
    source = list(csv.reader(io.StringIO((tmp_path / "long.csv").read_text())))
    assert [row[:len(source[0])] for row in got] == source
    for symbol in {row[0] for row in got[1:]}:
        alone = run("compute", f"{symbol}.csv", *FIVE, cwd=tmp_path)
        assert alone.returncode == 0, alone.stderr
        assert [row for row in got[1:] if row[0] == symbol] == list(csv.reader(io.StringIO(alone.stdout.decode())))[1:]


def parquet_times(expected_times):
    def check(tmp_path, result):
        table = pq.read_table(tmp_path / "out.parquet")
        times = table.column(0).to_numpy().astype("datetime64[s]")
        np.testing.assert_array_equal(times, np.array(expected_times, dtype="datetime64[s]"))
        assert table.schema.field("atr").type == pa.float32() and table.schema.field("rangeFilter").type == pa.float64()
        np.testing.assert_array_equal(table.column("rangeFilter").to_numpy(), WANT["rangeFilter"])
    return check


def with_times(times):
    return {**BARS, "Date": list(times)}


def bad(row, column, cell):
    bars = {k: list(v) for k, v in BARS.items()}
    bars[column][row] = cell
    return csv_text(bars)


def skipped_rows_empty(tmp_path, result):
    header, columns = read_output(result.stdout)
    assert [columns["atr"][i] for i in (3, 7)] == ["", ""] and columns["High"][3] == "NaN"
    kept = [i for i in range(N) if i not in (3, 7)]
    bars = {k: [v[i] for i in kept] for k, v in BARS.items()}
    assert_indicators({k: [v[i] for i in kept] for k, v in columns.items()}, expected(bars))


def short_file_agrees(tmp_path, result):
    scan = run("scan", ".", cwd=tmp_path)
    assert scan.returncode == 0 and "1 symbol scanned, 0 skipped" in scan.stderr
    header, columns = read_output(result.stdout)
    assert set(columns["rangeHigh"][1:]) == {""} and columns["halftrend"][0]


epoch = (np.datetime64("2024-01-01T00:00:00") + np.arange(N) * np.timedelta64(1, "D")).astype("datetime64[s]")
offsets = [f"{t}+02:00" for t in epoch.astype("datetime64[s]")]
PANDAS = {"": BARS["Date"], **{k: v for k, v in BARS.items() if k != "Date"}}
day_texts = {
    "31-Jan-24": [str(d.item().strftime("%d-%b-%y")) for d in epoch.astype("datetime64[D]")],
    "01/31/2024": [d.item().strftime("%m/%d/%Y") for d in epoch.astype("datetime64[D]")],
    "31.01.2024": [d.item().strftime("%d.%m.%Y") for d in epoch.astype("datetime64[D]")],
    "2004.08.19": [d.item().strftime("%Y.%m.%d") for d in epoch.astype("datetime64[D]")],
    "YYYYMMDD": [d.item().strftime("%Y%m%d") for d in epoch.astype("datetime64[D]")],
    "31/01/2024 10:00": [d.item().strftime("%d/%m/%Y 00:00") for d in epoch.astype("datetime64[D]")],
    "epoch s": [str(t) for t in epoch.astype(np.int64)],
    "epoch ms": [str(t * 1000) for t in epoch.astype(np.int64)],
}
FIVE = ["--swing-period", "5"]
# Times whose first chunks alone read another way than the whole file: epoch milliseconds below 1e11
# (seconds alone) until row 51, numbers written as YYYYMMDD days in the first chunk only, and days from
# 1 December written day/month/year (month/day alone in the first and last chunks).
MIXED_LOOKING = {"epoch ms": [str(k * 2_000_000_000) for k in range(N)],
                 "YYYYMMDD": [str(10000101 + k if k < 7 else 10000125 + k) for k in range(N)],
                 "31/12/2023": [d.item().strftime("%d/%m/%Y") for d in np.datetime64("2023-12-01") + np.concatenate(
                     (np.arange(31), np.arange(43, 43 + N - 31)))]}
# The day after the last bar (2024-02-29) written as a day of February that does not exist.
NO_SUCH_DAY = {"31-Jan-24": "30-Feb-24", "01/31/2024": "02/30/2024", "31.01.2024": "30.02.2024",
               "2004.08.19": "2024.02.30", "YYYYMMDD": "20240230", "31/01/2024 10:00": "30/02/2024 00:00"}


def parquet_time_column(expected_times):
    def check(tmp_path, result):
        times = pq.read_table(tmp_path / "out.parquet").column("Date").to_numpy()
        np.testing.assert_array_equal(times, np.array(expected_times, dtype="datetime64[ms]"))
    return check


def dataset(time, symbols=("A", "B"), seed=4):
    """A Parquet table of two symbols' bars in shuffled rows, with the time column `time` (one symbol's times)."""
    one = pa.table({"date": time, **{k: pa.array(np.array(v, dtype=float)) for k, v in BARS.items() if k != "Date"}})
    table = pa.concat_tables([one.add_column(0, "symbol", pa.array([s] * N, type=pa.array(symbols).type))
                              for s in symbols])
    return table.take(np.random.default_rng(seed).permutation(table.num_rows))


def scanned_in_time_order(tmp_path, result):
    assert result.stdout.decode().count(" 2024-02-29 ") == 2, result.stdout


def text_kept(tmp_path, result):
    table = pq.read_table(tmp_path / "out.parquet")
    assert table.schema.field("Code").type == pa.string() and table.schema.field("Close").type == pa.float64()
    assert table.column("Code").to_pylist()[:3] == ["00123", "12345678901234567890", "1e400"]


def escaped(tmp_path, result):
    assert b"\x1b" not in result.stdout and "\x1b" not in result.stderr
    assert b"A\\x1b[2J\\nB" in result.stdout


def nothing_written(name):
    def check(tmp_path, result):
        assert not (tmp_path / name).exists() and not list(tmp_path.glob(".*.part"))
    return check


def left_as(name, data):
    def check(tmp_path, result):
        assert (tmp_path / name).read_bytes() == data and not list(tmp_path.glob(".*.part"))
    return check

CASES = [
    # Reading: every dialect gives the same indicators, and the input comes back as written.
    Case("comma", {"b.csv": csv_text(BARS)}, ["compute", "b.csv", "-o", "out.csv", *FIVE], check=values_match()),
    Case("semicolon decimal comma", {"b.csv": csv_text(BARS, ";", ",")}, ["compute", "b.csv", *FIVE],
         check=values_match(";", ",")),
    Case("tab", {"b.tsv": csv_text(BARS, "\t")}, ["compute", "b.tsv", "-o", "-", *FIVE], check=values_match("\t")),
    Case("explicit sep and decimal", {"b.txt": csv_text(BARS, "\t", ",")},
         ["compute", "b.txt", "--sep", "tab", "--decimal", ",", *FIVE], check=values_match("\t", ",")),
    Case("BOM, CRLF, quotes, trailing blank lines",
         {"b.csv": "\ufeff" + csv_text(BARS, newline="\r\n", header=['"Date"', *list(BARS)[1:]]) + ",,,,,\r\n\r\n"},
         ["compute", "b.csv", *FIVE], check=values_match()),
    Case("pandas export, unnamed time column", {"b.csv": csv_text(PANDAS)}, ["compute", "b.csv", *FIVE],
         check=values_match(source=PANDAS)),
    Case("standard input", {}, ["compute", "-", *FIVE], stdin=csv_text(BARS).encode(), check=values_match()),
    Case("newest first", {"b.csv": csv_text({k: v[::-1] for k, v in BARS.items()})}, ["compute", "b.csv", *FIVE],
         check=values_match(source={k: v[::-1] for k, v in BARS.items()}, reverse=True)),
    Case("in-memory bytes: comma", {"b.csv": csv_text(BARS)}, ["compute", "b.csv", "-o", "out.csv", *FIVE],
         check=same_as_in_memory("b.csv")),
    Case("in-memory bytes: semicolon, BOM, CRLF, quotes", {"b.csv": "\ufeff" + csv_text(
        {**BARS, "Note": ['"say ""hi""; ok"'] * N}, ";", ",", "\r\n", ['"Date"', *list(BARS)[1:], "Note"]) + ";;;;;;\r\n"},
         ["compute", "b.csv", "-o", "out.csv", *FIVE], check=same_as_in_memory("b.csv")),
    Case("in-memory bytes: newest first, over the memory budget", {"b.csv": csv_text(
        {k: v[::-1] for k, v in BARS.items()})}, ["compute", "b.csv", "--memory", "1K"], 2,
         ("b.csv, row 2 (line 3), column 'Date'", "is earlier than the row before it", "--memory 1K", "sort"),
         lines=1),
    Case("in-memory bytes: skipped rows", {"b.csv": bad(3, "High", "NaN").replace(f",{BARS['Low'][17]},", ",,")},
         ["compute", "-", "--skip-bad-rows", *FIVE], 0, ("skipped 2 rows", "row 4 (line 5)"),
         stdin=bad(3, "High", "NaN").replace(f",{BARS['Low'][17]},", ",,").encode(),
         check=same_as_in_memory("b.csv", skip_bad_rows=True), lines=1),
    Case("in-memory bytes: parquet times of mixed units", {"b.parquet": pa.table({"when": pa.array(
        np.where(np.arange(N) < 20, epoch, epoch + np.timedelta64(90, "s"))), **{
        k: pa.array(np.array(v, dtype=float)) for k, v in BARS.items() if k != "Date"}})},
         ["compute", "b.parquet", "-o", "out.csv", *FIVE], check=same_as_in_memory("b.parquet")),
    # Whole-number times read one way for the whole file, whatever its chunks hold: the file read again
    # whole when a chunk alone reads another way, or one line when that is over --memory.
    *(Case(f"in-memory bytes: {name} times, first chunks alone another kind", {"b.csv": csv_text(with_times(
        times))}, ["compute", "b.csv", "-o", "out.parquet", *FIVE], check=parquet_as_in_memory("b.csv", True),
           lines=0) for name, times in MIXED_LOOKING.items()),
    *(Case(f"{name} times, first chunks alone another kind, over --memory", {"b.csv": csv_text(with_times(times))},
           ["compute", "b.csv", "--memory", "1K"], 2, (where, problem, "--memory 1K"), lines=1)
      for (name, times), where, problem in zip(MIXED_LOOKING.items(), ("row 51 (line 52)", "row 8 (line 9)",
                                                                        "row 13 (line 14)"), (
          "'100000000000' is epoch milliseconds, and the earlier times of the file read as epoch seconds",
          "'10000132' is not a YYYYMMDD day, and the earlier times of the file read as such days",
          "'13/12/2023' is not a day written %m/%d/%Y, and the earlier times of the file read so"))),
    Case("long file: epoch ms of one symbol that alone read as seconds", {"b.csv": csv_text({"Ticker": [
        "A"] * 30 + ["B"] * 30, **with_times([str(t * 1000) for t in epoch[:30].astype(np.int64)]
                                             + [str(k * 86_400_000) for k in range(30)])})},
         ["compute", "b.csv", "-o", "out.parquet", *FIVE], check=parquet_time_column(np.concatenate(
             (epoch[:30], np.datetime64(0, "s") + np.arange(30) * np.timedelta64(1, "D")))), lines=1),
    # Long files: each symbol on its own rows, whatever the chunks; the first rows out of order named.
    Case("long file by ticker", long_file(), ["compute", "long.csv", "-o", "out.csv", *FIVE], 0,
         ("3 symbols computed",), check=each_symbol_as_its_own_file, lines=1),
    Case("long file newest first, reordered", long_file(newest_first=("GOOG", "EURUSD", "BTC")),
         ["compute", "long.csv", "-o", "out.csv", "--by", "TICKER", *FIVE], 0, ("3 symbols computed",),
         check=each_symbol_as_its_own_file, lines=1),
    Case("long file, one symbol out of order, over budget", long_file(newest_first=("GOOG",)),
         ["compute", "long.csv", "--memory", "2K", *FIVE], 2, ("of symbol", "--memory 2K"), lines=1),
    Case("long file of one symbol", long_file(("GOOG",)), ["compute", "long.csv", "-o", "out.csv", *FIVE], 0,
         ("ornivex: 1 symbol computed",), check=each_symbol_as_its_own_file, lines=1),
    Case("watch: newest first, over --memory", {"b.csv": csv_text({k: v[::-1] for k, v in BARS.items()})},
         ["watch", "b.csv", "--memory", "1K"], 2, ("is earlier than the row before it", "--memory 1K"), lines=1),
    Case("watch: standard input", {}, ["watch", "-"], 2, ("standard input cannot be followed",), lines=1),
    Case("long file, --by a missing column", long_file(), ["compute", "long.csv", "--by", "sym"], 2,
         ("no column 'sym'",), lines=1),
    Case("parquet out as in memory: text kept, rows skipped", {"b.csv": csv_text({**BARS, "High": [
        *BARS["High"][:3], "NaN", *BARS["High"][4:]], "Code": ["0700"] * N})},
         ["compute", "b.csv", "-o", "out.parquet", "--skip-bad-rows", *FIVE], 0, ("skipped 1 row",),
         check=parquet_as_in_memory("b.csv", skip_bad_rows=True), lines=1),
    Case("parquet out as in memory: newest first, started over", {"b.csv": csv_text(
        {k: v[::-1] for k, v in BARS.items()})}, ["compute", "b.csv", "-o", "out.parquet", *FIVE],
         check=parquet_as_in_memory("b.csv", reordered=True), lines=0),
    Case("parquet out as in memory: parquet in", {"b.parquet": pa.table({"when": pa.array(epoch), **{
        k: pa.array(np.array(v, dtype=float)) for k, v in BARS.items() if k != "Date"}})},
         ["compute", "b.parquet", "-o", "out.parquet", *FIVE], check=parquet_as_in_memory("b.parquet")),
    Case("parquet out: a bad row after some row groups leaves the old file", {"b.csv": bad(50, "Close", "x"),
                                                                              "out.parquet": b"older"},
         ["compute", "b.csv", "-o", "out.parquet"], 2, ("row 51 (line 52)",), lines=1,
         check=left_as("out.parquet", b"older")),
    Case("parquet in and out", {"b.parquet": pa.table({"when": pa.array(epoch), **{
        k: pa.array(np.array(v, dtype=float)) for k, v in BARS.items() if k != "Date"}})},
         ["compute", "b.parquet", "-o", "out.parquet", *FIVE], check=parquet_times(epoch)),
    Case("ISO offsets to UTC", {"b.csv": csv_text(with_times(offsets))},
         ["compute", "b.csv", "-o", "out.parquet", *FIVE], check=parquet_times(epoch - np.timedelta64(2, "h")),
         lines=0),
    *(Case(f"times {name}", {"b.csv": csv_text(with_times(texts))}, ["compute", "b.csv", "-o", "out.parquet", *FIVE],
           check=parquet_times(epoch), lines=0) for name, texts in day_texts.items()),
    # Bad values: one line naming file, row, line and column; or skipped on request.
    *(Case(f"bad price {cell or 'empty'}", {"b.csv": bad(3, "High", cell)}, ["compute", "b.csv"], 2,
           ("b.csv, row 4 (line 5), column 'High'", problem), lines=1)
      for cell, problem in (("NaN", "'NaN' is not a finite number"), ("inf", "not a finite number"),
                            ("-Infinity", "not a finite number"), ("1e400", "'1e400' is not a finite number"),
                            ("", "empty value"), ("n/a", "'n/a' is not a number"))),
    Case("skip bad rows", {"b.csv": bad(3, "High", "NaN").replace(f",{BARS['Low'][7]},", ",,")},
         ["compute", "b.csv", "--skip-bad-rows", *FIVE], 0, ("skipped 2 rows", "row 4 (line 5)"),
         check=skipped_rows_empty, lines=1),
    Case("repeated times", {"b.csv": csv_text(with_times(BARS["Date"][:5] + BARS["Date"][4:-1]))},
         ["compute", "b.csv", *FIVE], 0, ("row 6 (line 7)", "repeats the time", "(1 such row)"), lines=1),
    Case("high below low", {"b.csv": bad(9, "High", "1.0")}, ["compute", "b.csv", *FIVE], 0,
         ("row 10 (line 11)", "below the low", "(1 such row)"), lines=1),
    *(Case(f"no such day {name}", {"b.csv": csv_text(with_times(texts[:-1] + [NO_SUCH_DAY[name]]))},
           ["compute", "b.csv"], 2, (f"row {N} (line {N + 1}), column 'Date'", f"'{NO_SUCH_DAY[name]}' is not a date"),
           lines=1) for name, texts in day_texts.items() if name in NO_SUCH_DAY),
    Case("no such day inside", {"b.csv": csv_text(with_times([d.replace("31.01.", "31.02.")
                                                              for d in day_texts["31.01.2024"]]))},
         ["compute", "b.csv"], 2, ("row 31 (line 32)", "'31.02.2024' is not a date or time"), lines=1),
    Case("year beyond 9999", {"b.csv": csv_text(with_times(["12024-01-01"] * N))}, ["compute", "b.csv"], 2,
         ("row 1 (line 2), column 'Date'", "'12024-01-01' is not a date or time"), lines=1),
    *(Case(f"year before 1: {first}", {"b.csv": csv_text(with_times([first, *day_texts["epoch s"][1:]]))},
           ["compute", "b.csv"], 2, ("row 1 (line 2), column 'Date'", problem), lines=1)
      for first, problem in (("-62135596801", "0000-12-31T23:59:59.000 is before the year 1"),
                             (str(-2**63), "the time is before the year 1"))),
    Case("not a time", {"b.csv": csv_text(with_times(BARS["Date"][:9] + ["someday"] + BARS["Date"][10:]))},
         ["compute", "b.csv"], 2, ("row 10 (line 11), column 'Date'", "'someday' is not a date or time"), lines=1),
    Case("huge cell before an error", {"b.csv": csv_text({**with_times(BARS["Date"][:4] + ["x"] + BARS["Date"][5:]),
                                                           "Note": ["n" * 200_000] + [""] * (N - 1)})},
         ["compute", "b.csv"], 2, ("row 5 (line 6), column 'Date'", "'x' is not a date or time"), lines=1),
    Case("carried columns stay text in Parquet", {"b.csv": csv_text({**BARS, "Code": [
        "00123", "12345678901234567890", "1e400", *["0700"] * (N - 3)]})},
         ["compute", "b.csv", "-o", "out.parquet", *FIVE], check=text_kept, lines=0),
    Case("output suffix not written", {"b.csv": csv_text(BARS)}, ["compute", "b.csv", "-o", "x.xlsx"], 2,
         ("x.xlsx: cannot write a .xlsx file", ".csv, .tsv, .txt, .parquet, .pq"), lines=1,
         check=nothing_written("x.xlsx")),
    Case("chart suffix not drawn", {"b.csv": csv_text(BARS)}, ["chart", "b.csv", "-o", "c.xlsx"], 2,
         ("c.xlsx: cannot draw a chart as .xlsx", ".png"), lines=1, check=nothing_written("c.xlsx")),
    Case("scan output suffix not written", {"S.csv": csv_text(BARS)}, ["scan", ".", "-o", "s.parquet"], 2,
         ("s.parquet: cannot write a .parquet file",), lines=1, check=nothing_written("s.parquet")),
    *(Case(f"chart {side} beyond the limit", {"b.csv": csv_text(BARS)},
           ["chart", "b.csv", "-o", "c.png", f"--{side}", "60000"], 2, (f"--{side}: '60000' is more than",),
           lines=1, check=nothing_written("c.png")) for side in ("width", "height")),
    Case("ragged row", {"b.csv": csv_text(BARS) + "2025-01-01,1,2\n"}, ["compute", "b.csv"], 2,
         (f"row {N + 1} (line {N + 2})", "3 fields, but the header has 6"), lines=1),
    Case("missing column", {"b.csv": "Date,Open,High,Low\n2024-01-02,1,2,0.5\n"}, ["compute", "b.csv"], 2,
         ("b.csv, line 1", "missing column 'close'"), lines=1),
    Case("mixed order", {"b.csv": csv_text(with_times(BARS["Date"][:5] + BARS["Date"][4::-1] + BARS["Date"][10:]))},
         ["compute", "b.csv"], 2, ("row 7 (line 8)", "'2024-01-04' is earlier than the row before it"), lines=1),
    Case("empty file", {"b.csv": ""}, ["compute", "b.csv"], 2, ("b.csv: the file is empty",), lines=1),
    Case("missing file", {}, ["compute", "nowhere.csv"], 2, ("nowhere.csv: cannot read the file",), lines=1),
    Case("too short for the swing band", {"b.csv": csv_text({k: v[:10] for k, v in BARS.items()})},
         ["compute", "b.csv"], 0, ("10 bars are too few", "--swing-period 14", "needs 39"),
         check=short_file_agrees, lines=1),
    Case("unreachable scheduler", {"S.csv": csv_text(BARS)},
         ["scan", ".", "--scheduler", "tcp://127.0.0.1:1", "--connect-timeout", "0.5"], 2,
         ("ornivex: error: cannot reach the Dask scheduler at tcp://127.0.0.1:1",), lines=1),
    Case("empty scheduler address", {"S.csv": csv_text(BARS)}, ["scan", ".", "--scheduler", ""], 2,
         ("argument --scheduler: an empty address",), lines=1),
    *(Case(f"dataset times {kind}", {"long.parquet": dataset(pa.array(epoch).cast(kind))}, ["scan", "long.parquet"],
           check=scanned_in_time_order, lines=1)
      for kind in (pa.date32(), pa.date64(), pa.timestamp("ns", "America/New_York"), pa.timestamp("s"))),
    *(Case(f"dataset {name} refused", {"long.parquet": table}, ["scan", "long.parquet"], 2, parts, lines=1)
      for name, table, parts in (
          ("uint64 times", dataset(pa.array(epoch.astype(np.int64).astype(np.uint64))), ("'date' holds uint64",)),
          ("list times", dataset(pa.array([[1]] * N)), ("'date' holds list",)),
          ("symbols not UTF-8", dataset(pa.array(epoch), symbols=(b"\xff", b"\xfe")),
           ("'symbol' holds symbols that are not UTF-8",)))),
    Case("control characters escaped", {"long.parquet": dataset(pa.array(epoch), symbols=("A\x1b[2J\nB", "C"))},
         ["scan", "long.parquet"], check=escaped, lines=1),
    Case("dataset out of order, over --memory", {"long.parquet": dataset(pa.array(epoch))},
         ["scan", "long.parquet", "--memory", "1K"], 2, ("is earlier than the row before it", "--memory 1K"),
         lines=1),
    Case("dataset without its symbol column", {"long.parquet": pa.table({"instrument": ["A"] * N, "date": epoch, **{
        k: pa.array(np.array(v, dtype=float)) for k, v in BARS.items() if k != "Date"}})},
         ["scan", "long.parquet"], 2, ("no 'symbol' column", "--symbol-column"), lines=1),
    # Options: one line, exit status 2.
    *(Case(f"option {' '.join(option)}", {"b.csv": csv_text(BARS)}, ["compute", "b.csv", *option], 2,
           (option[0],), lines=1)
      for option in (["--channel-deviation", "-1"], ["--channel-deviation", "nan"], ["--swing-multiplier", "-2"],
                     ["--swing-multiplier", "inf"], ["--amplitude", "0"], ["--atr-length", "0"],
                     ["--swing-period", "0"], ["--sep", "|"])),
]


@pytest.mark.parametrize("case", CASES, ids=[c.id for c in CASES])
def test_compute_over_file_shapes(tmp_path, case):
    for name, content in case.files.items():
        if isinstance(content, pa.Table):
            pq.write_table(content, tmp_path / name)
        else:
            (tmp_path / name).write_bytes(content.encode() if isinstance(content, str) else content)
    result = run(*case.args, cwd=tmp_path, stdin=case.stdin)
    assert result.returncode == case.status, result.stderr
    lines = [line for line in result.stderr.splitlines() if not line.startswith("wrote ")]
    if case.lines is not None:
        assert len(lines) == case.lines, result.stderr
    for part in case.stderr:
        assert part in result.stderr, result.stderr
    if case.check:
        case.check(tmp_path, result)


def test_chart_and_scan_read_as_compute_does(tmp_path):
    """The same bad file fails the same way in every command; a good one draws and scans."""
    image = pytest.importorskip("matplotlib.image")
    (tmp_path / "good.csv").write_text(csv_text(walk(300, seed=5)))
    result = run("chart", "good.csv", "-o", "chart.png", "--width", "900", "--height", "500", "--last", "120",
                 "--log", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    pixels = image.imread(tmp_path / "chart.png")
    assert pixels.shape[:2] == (500, 900)
    assert len(np.unique(pixels.reshape(-1, pixels.shape[2]), axis=0)) > 50  # something was drawn
    (tmp_path / "bad.csv").write_text(bad(3, "Close", "inf"))
    message = "bad.csv, row 4 (line 5), column 'Close': 'inf' is not a finite number"
    chart = run("chart", "bad.csv", "-o", "x.png", cwd=tmp_path)
    assert chart.returncode == 2 and chart.stderr.splitlines() == [f"ornivex: error: {message}"]
    assert not (tmp_path / "x.png").exists()
    scan = run("scan", ".", "-o", "scan.csv", cwd=tmp_path)
    assert scan.returncode == 0 and f"skipped bad: {message}" in scan.stderr
    assert "1 symbol scanned, 1 skipped" in scan.stderr


def test_long_file_chart_and_scan(tmp_path):
    """A long file's scan equals the scan of its symbols' own files; its chart needs a symbol."""
    pytest.importorskip("matplotlib")
    (tmp_path / "each").mkdir()
    for name, text in long_file(("AAA", "BBB", "CCC"), n=700).items():
        (tmp_path / ("." if name == "long.csv" else "each") / name).write_text(text)
    long, each = run("scan", "long.csv", cwd=tmp_path), run("scan", "each", cwd=tmp_path)
    assert long.returncode == each.returncode == 0, long.stderr
    assert long.stdout == each.stdout and "3 symbols scanned" in long.stderr
    # A bad row stops its symbol only, in a long CSV file and in a Parquet dataset read in chunks or whole.
    lines = (tmp_path / "long.csv").read_text().splitlines(keepends=True)
    at = next(i for i, line in enumerate(lines) if line.startswith("BBB,") and i > 300)
    lines[at] = ",".join(lines[at].split(",")[:5] + ["x", lines[at].split(",")[-1]])
    (tmp_path / "bad.csv").write_text("".join(lines))
    table = pa.csv.read_csv(tmp_path / "long.csv")
    close = np.where(np.arange(table.num_rows) == at - 1, np.nan, table.column("Close").to_numpy())
    pq.write_table(table.set_column(5, "Close", pa.array(close)), tmp_path / "bad.parquet")
    others = b"".join(line for line in each.stdout.splitlines(keepends=True) if not line.startswith(b"BBB "))
    scan = run("scan", "bad.csv", "--skip-bad-rows", cwd=tmp_path)
    assert scan.returncode == 0 and f"(the first: bad.csv, row {at} (line {at + 1})" in scan.stderr, scan.stderr
    for name, options, where in (("bad.csv", [], f"row {at} (line {at + 1}), column 'Close': 'x' is not a number"),
                                 ("bad.parquet", [], f"row {at}, column 'Close'"),
                                 ("bad.parquet", ["--jobs", "2"], "column 'Close'")):
        scan = run("scan", name, *options, cwd=tmp_path)
        assert scan.returncode == 0 and scan.stdout == others, scan.stderr
        assert f"skipped BBB: {name}" in scan.stderr and where in scan.stderr, scan.stderr
        assert scan.stderr.endswith("2 symbols scanned, 1 skipped\n"), scan.stderr
    chart = run("chart", "long.csv", "-o", "c.png", cwd=tmp_path)
    assert chart.returncode == 2 and chart.stderr.splitlines() == [
        "ornivex: error: long.csv: a long file of several symbols (AAA, BBB, CCC): choose one with --symbol"]
    for shown, count in ((["--all", "--width", "300"], "525"), (["--last", "50"], "50"), ([], "500")):
        chart = run("chart", "long.csv", "-o", "c.png", "--symbol", "BBB", *shown, cwd=tmp_path)
        assert chart.returncode == 0 and f"chart of {count} bars" in chart.stderr, chart.stderr


def test_watch_follows_appends_and_rotation(tmp_path):
    """Rows appended in steps (one line cut in two) and a rotated file: the output stays what compute
    writes, each new signal is printed once, and SIGINT stops it with status 0."""
    import signal
    import time
    options = ["--swing-period", "5", "--atr-length", "5"]
    first, second = csv_text(walk(120, seed=7)).encode(), csv_text(walk(90, seed=8)).encode()
    lines = first.splitlines(keepends=True)
    bars = tmp_path / "bars.csv"
    bars.write_bytes(b"".join(lines[:40]) + lines[40][:9])
    env = {**os.environ, "ORNIVEX_CHUNK_ROWS": "7"}
    watcher = subprocess.Popen([sys.executable, "-m", "ornivex", "watch", "bars.csv", "-o", "out.csv", *options],
                               cwd=tmp_path, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def settled(expected_lines):  # waits for the watcher to catch up, never for a set time
        for _ in range(1200):  # a minute at most, for a loaded machine
            out = tmp_path / "out.csv"
            if out.exists() and out.read_bytes().count(b"\n") == expected_lines:
                return
            time.sleep(0.05)
        raise AssertionError(f"out.csv never reached {expected_lines} lines")

    def append(data):
        with open(bars, "ab") as handle:
            handle.write(data)

    try:
        settled(40)
        append(lines[40][9:] + b"".join(lines[41:70]))
        settled(70)
        append(b"".join(lines[70:]))
        settled(121)
        rotated = tmp_path / "bars.new"
        rotated.write_bytes(b"".join(second.splitlines(keepends=True)[:50]))
        os.replace(rotated, bars)
        settled(50)
        append(b"".join(second.splitlines(keepends=True)[50:]))
        settled(91)
    finally:
        watcher.send_signal(signal.SIGINT)
        stdout, stderr = watcher.communicate(timeout=60)
    assert watcher.returncode == 0, stderr
    assert stderr.decode().count("replaced; starting over") == 1
    compute = run("compute", "bars.csv", *options, cwd=tmp_path)
    assert (tmp_path / "out.csv").read_bytes() == compute.stdout
    header, first_columns = read_output(run("compute", "-", *options, cwd=tmp_path, stdin=first).stdout)
    header, columns = read_output(compute.stdout)
    expected = [(first_columns, i) for i in range(39, 120)] + [(columns, i) for i in range(49, 90)]
    signals = [f"{c['Date'][i]}  {'buy' if c['buy'][i] == '1' else 'sell'}" for c, i in expected
               if "1" in (c["buy"][i], c["sell"][i])]
    printed = stdout.decode().splitlines()
    assert len(signals) > 2 and [line.split("  close")[0] for line in printed] == signals


def test_watch_start_reads_only_the_complete_lines_there(tmp_path, monkeypatch):
    """Where the complete lines end and whether a header and a bar are there, read in small blocks,
    agree with a reading of the whole file; rows appended while the start computes wait for the
    first poll, and the output is then what compute writes."""
    from ornivex import watch as watching
    from ornivex.cli import _chunk_settings, _parser
    monkeypatch.setattr(watching, "_BLOCK", 3)
    rng = np.random.default_rng(5)
    for _ in range(400):
        data = bytes(rng.choice(list(b"a \n\r\t"), rng.integers(0, 24)).tolist())
        end = data.rfind(b"\n") + 1
        assert watching._line_end(io.BytesIO(data), len(data)) == end, data
        assert watching._has_bar(io.BytesIO(data), end) == (
            sum(1 for line in data[:end].splitlines() if line.strip()) >= 2), data
    monkeypatch.setenv("ORNIVEX_CHUNK_ROWS", "7")
    lines = csv_text(walk(60, seed=3)).encode().splitlines(keepends=True)
    bars, out = tmp_path / "bars.csv", tmp_path / "out.csv"
    bars.write_bytes(b"".join(lines[:30]) + lines[30][:5])
    computing = watching.compute_chunks

    def appended_meanwhile(*args, **kwargs):
        with open(bars, "ab") as handle:
            handle.write(lines[30][5:] + b"".join(lines[31:]))
        return computing(*args, **kwargs)
    monkeypatch.setattr(watching, "compute_chunks", appended_meanwhile)
    watched = watching.Watch(str(bars), str(out), _chunk_settings(_parser().parse_args(["watch", "x.csv"])),
                             say=lambda text: None)
    try:
        assert watched.start() and watched.run.bars == 29
        watched.poll()
        assert watched.run.bars == 60
    finally:
        watched.close()
    assert out.read_bytes() == run("compute", "bars.csv", cwd=tmp_path).stdout
    # Appended rows are read as the rows there were: epoch milliseconds after epoch seconds is refused.
    monkeypatch.setattr(watching, "compute_chunks", computing)
    lines = csv_text(with_times(day_texts["epoch s"])).encode().splitlines(keepends=True)
    bars.write_bytes(b"".join(lines[:30]))
    watched = watching.Watch(str(bars), None, watched.settings, say=lambda text: None)
    assert watched.start()
    with open(bars, "ab") as handle:
        handle.write(lines[30].replace(day_texts["epoch s"][29].encode(), day_texts["epoch ms"][29].encode()))
    with pytest.raises(ValueError, match=r"row 30 \(line 31\), column 'Date': '\d+' is epoch milliseconds"):
        watched.poll()


def test_default_run_prints_the_table_and_writes_the_chart(tmp_path):
    """The chart goes to a folder of the run's own, never through a link planted in the temporary folder."""
    pytest.importorskip("matplotlib")
    (tmp_path / "victim.txt").write_text("keep")
    (tmp_path / "ornivex-demo.png").symlink_to(tmp_path / "victim.txt")
    result = run(cwd=tmp_path, env=dict(os.environ, TMPDIR=str(tmp_path)))
    assert result.returncode == 0, result.stderr
    out = result.stdout.decode()
    assert "Google (GOOG)" in out and "HalfTrend" in out and "last signal:" in out
    assert "2008-10-14" in out  # the last bar of the sample
    chart = Path(out.split("chart (250 last bars): ")[1].strip())
    assert chart.parent.parent == tmp_path and chart.parent.stat().st_mode & 0o077 == 0
    assert chart.stat().st_size > 10_000 and (tmp_path / "victim.txt").read_text() == "keep"


def test_scan_reports_every_symbol_and_skips_the_broken(tmp_path):
    from ornivex.bars import read_bars
    folder = tmp_path / "symbols"
    folder.mkdir()
    for i, symbol in enumerate(["AAA", "BBB", "CCC"]):
        (folder / f"{symbol}.csv").write_text(csv_text(walk(80 + 30 * i, seed=10 + i)))
    (folder / "BAD.csv").write_text("Date,Open,High,Low,Close\n2024-01-02,1,2,0.5,x\n")
    (folder / "notes.txt").write_text("not a bar file")
    serial = run("scan", "symbols", "-o", "scan.csv", cwd=tmp_path)
    parallel = run("scan", "symbols", "--jobs", "2", "--progress", cwd=tmp_path)
    assert serial.returncode == parallel.returncode == 0
    assert serial.stdout == parallel.stdout
    assert "skipped BAD: " in serial.stderr and "3 symbols scanned, 1 skipped" in serial.stderr
    assert "4/4" in parallel.stderr  # the progress bar reached the end
    with open(tmp_path / "scan.csv", newline="") as handle:
        rows = list(csv.DictReader(handle))
    assert [r["symbol"] for r in rows] == ["AAA", "BBB", "CCC"]
    for row in rows:
        bars = read_bars(folder / f"{row['symbol']}.csv")
        columns = indicators.halftrend(bars.high, bars.low, bars.close)
        signal, since = indicators.last_signal(columns["buy"], columns["sell"])
        assert (row["last_signal"], row["bars_since"]) == (signal or "-", "-" if since is None else str(since))
        assert row["trend"] == ("up" if columns["trend"][-1] == 0 else "down")
        assert row["last_bar"] == bars.label(len(bars) - 1) and int(row["bars"]) == len(bars)


def test_sample_bars_written_read_back_unchanged(tmp_path):
    from ornivex.bars import read_bars, sample_bars
    assert run("sample", "-o", "sample.csv", cwd=tmp_path).returncode == 0
    written, (original, _) = read_bars(tmp_path / "sample.csv"), sample_bars()
    assert written.labels == original.labels
    for name in ("open", "high", "low", "close", "volume"):
        np.testing.assert_array_equal(getattr(written, name), getattr(original, name))


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_number_text_is_the_shortest_that_reads_back(dtype):
    from ornivex.writing import number_cells
    rng = np.random.default_rng(3)
    bits = rng.integers(0, 2 ** (8 * np.dtype(dtype).itemsize), 20_000, dtype=np.uint64)
    values = bits.astype(f"u{np.dtype(dtype).itemsize}").view(dtype)
    values = np.concatenate([values, np.array([0.0, -0.0, 1e-45, 3.4e38, 0.1, 100, np.nan], dtype=dtype)])
    text = number_cells(values).to_pylist()
    finite = np.isfinite(values)
    read_back = np.array([float(t) if t else np.nan for t in text], dtype=np.float64).astype(dtype)
    np.testing.assert_array_equal(read_back[finite], values[finite])
    assert all(t == "" for t, v in zip(text, values) if np.isnan(v))
    digits = [len(t.split("e")[0].lstrip("-").replace(".", "").strip("0")) for t in text]
    shortest = [len(np.format_float_scientific(v, unique=True).split("e")[0].lstrip("-").replace(".", "").strip("0"))
                for v in values]
    assert all(d <= s for d, s, f in zip(digits, shortest, finite) if f)


def _file_size_limit(size):
    def limit():
        import resource
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return limit


@pytest.mark.parametrize("args, target, limit", [
    (["compute", "keep.csv", "-o", "keep.csv"], "keep.csv", 40_000),     # the input itself, too large
    (["compute", "keep.parquet", "-o", "keep.parquet"], "keep.parquet", 30_000),
    (["sample", "-o", "keep.csv"], "keep.csv", 40_000),
    (["chart", "keep.csv", "-o", "keep.png"], "keep.png", 20_000),
    (["compute", "keep.csv", "-o", "/dev/full"], "/dev/full", None),
    (["compute", "keep.csv", "-o", "-"], "standard output", None),
    (["scan", ".", "-o", "/dev/full"], "/dev/full", None),
    (["sample"], "standard output", None),
])
def test_failed_write_is_one_line_and_leaves_the_file_as_it_was(tmp_path, args, target, limit):
    pytest.importorskip("matplotlib")
    (tmp_path / "keep.csv").write_text(csv_text(walk(2000)))
    assert run("compute", "keep.csv", "-o", "keep.parquet", cwd=tmp_path).returncode == 0
    (tmp_path / "keep.png").write_bytes(b"an older chart")
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    with open("/dev/full", "wb") as full:
        result = run(*args, cwd=tmp_path, stdout=full if target == "standard output" else subprocess.PIPE,
                     preexec_fn=_file_size_limit(limit) if limit else None)
    assert result.returncode == 2 and len(result.stderr.splitlines()) == 1, result.stderr
    assert result.stderr.startswith(f"ornivex: error: {target}: cannot write ("), result.stderr
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before


@pytest.mark.parametrize("reply", [None, b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n", b"\x01\x02"])
def test_scan_gives_up_on_a_scheduler_that_is_not_one(tmp_path, reply):
    """A port that accepts and stays silent, or answers what no scheduler says: one line, exit 2."""
    import socket
    import threading
    server = socket.create_server(("127.0.0.1", 0))
    accepted = []

    def serve():
        while True:
            try:
                peer, _ = server.accept()
            except OSError:
                return
            accepted.append(peer)
            if reply:
                peer.sendall(reply)

    threading.Thread(target=serve, daemon=True).start()
    (tmp_path / "S.csv").write_text(csv_text(BARS))
    try:
        result = run("scan", ".", "--scheduler", f"tcp://127.0.0.1:{server.getsockname()[1]}",
                     "--connect-timeout", "1", cwd=tmp_path)
    finally:
        server.close()
        for peer in accepted:
            peer.close()
    assert result.returncode == 2, result.stderr
    assert result.stderr.splitlines() == [result.stderr.strip()] and "cannot reach the Dask scheduler" in result.stderr


def test_scan_skips_a_symbol_that_fails_in_any_way():
    from ornivex.scan import SymbolInput, scan_symbols

    class Exhausting(SymbolInput):
        def bars(self, *args, **kwargs):
            raise MemoryError("Unable to allocate 3.07 EiB")

    good = SymbolInput("GOOD", "GOOD.csv", csv_text(BARS).encode())
    rows, failures = scan_symbols([Exhausting("BIG", "BIG.csv", b""), good])
    assert [r.symbol for r in rows] == ["GOOD"]
    assert [(f.symbol, f.message) for f in failures] == [("BIG", "BIG.csv: cannot be scanned (MemoryError: "
                                                                 "Unable to allocate 3.07 EiB)")]


def test_a_pyarrow_that_cannot_load_is_one_line(tmp_path):
    (tmp_path / "pyarrow").mkdir()
    (tmp_path / "pyarrow" / "__init__.py").write_text(
        'raise ImportError("pyarrow requires NumPy 2.0 or newer, found 1.26.4")\n')
    result = run("sample", cwd=tmp_path, env=dict(os.environ, PYTHONPATH=str(tmp_path)))
    assert result.returncode == 2 and len(result.stderr.splitlines()) == 1, result.stderr
    assert result.stderr.startswith("ornivex: error: pyarrow cannot be loaded (pyarrow requires NumPy 2.0")
    assert ("pip install 'pyarrow<26'" in result.stderr) == np.__version__.startswith("1.")
