"""The ``ornivex`` command: HalfTrend and the swing indicator over CSV or Parquet price bars.

    ornivex                          demo on the default daily bars: table + chart
    ornivex compute BARS.csv [-o OUT.csv|OUT.parquet|-]
    ornivex chart BARS.csv -o CHART.png
    ornivex scan DIR|DATASET [--jobs N | --scheduler ADDRESS]
    ornivex sample [-o BARS.csv]     write the default bars as a CSV file

A user error (a bad file, a bad option) is reported in one line on standard
error and the exit status is 2; no traceback is shown for it.  Warnings about
a file that is still computed (repeated times, a high below its low, skipped
rows) are one line each on standard error.
"""

from __future__ import annotations

import argparse
import atexit
import csv
import io
import math
import os
import signal
import sys
import tempfile
import threading
from pathlib import Path
from typing import Iterable, NoReturn, Sequence

import numpy as np

USER_ERROR = 2
MEMORY_BUDGET = 1 << 30  # ornivex.chunked.MEMORY_BUDGET, without importing it for every command
NUMPY1_PYARROW = "pyarrow<26"  # the newest pyarrow releases that still load with NumPy 1.x

try:
    import pyarrow  # noqa: F401  (first, so that a pyarrow that cannot load is one line, not a traceback)
except ImportError as exc:
    _advice = ""
    if np.__version__.startswith("1."):
        _advice = (f"; with NumPy {np.__version__} install an older pyarrow: pip install '{NUMPY1_PYARROW}' "
                   "(or upgrade NumPy)")
    print(f"ornivex: error: pyarrow cannot be loaded ({exc}){_advice}", file=sys.stderr)
    raise SystemExit(USER_ERROR) from None

from ornivex import __version__, indicators, parameters
from ornivex.bars import Bars, BarsError, sample_bars
from ornivex.scan import ScanError
from ornivex.writing import WriteError, atomic_output, counted, is_direct, output_format, write_bars, write_errors


class UserError(Exception):
    """A problem the user can fix; its text is printed as it is."""


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    _ignore_file_size_signal()
    try:
        status = args.run(args)
        with write_errors("-"):  # what print() left in the buffer: a full disk is an error too
            sys.stdout.flush()
        return status
    except (UserError, BarsError, ScanError, WriteError) as exc:
        print(f"ornivex: error: {printable(str(exc))}", file=sys.stderr)
        return USER_ERROR
    except BrokenPipeError:
        # The reader went away (for example `| head`): not an error of ours.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        return 130


def _ignore_file_size_signal() -> None:
    """A write past the file size limit (ulimit -f) then fails with EFBIG, which is reported,
    instead of the signal ending the process with a half-written file."""
    if hasattr(signal, "SIGXFSZ") and threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)


def command() -> NoReturn:
    """The ``ornivex`` process: main(), then an exit that leaves out the native
    libraries' static teardown.

    pyarrow's thread pools, torn down after the interpreter has finished, now
    and then end the process with std::terminate (a worker thread still
    joinable), which turns a finished run into exit status -6.  By the time
    this exits, the atexit handlers have run and both streams are flushed, so
    nothing of the run is lost.
    """
    try:
        status = main()
    except SystemExit as stop:  # argparse's --help and usage errors
        status = 0 if stop.code is None else stop.code if isinstance(stop.code, int) else 1
    atexit._run_exitfuncs()
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):  # a closed pipe or stream: nothing left to write to
            pass
    os._exit(status)


# -- commands ---------------------------------------------------------------------------------

def run_demo(args: argparse.Namespace) -> int:
    if args.output and not args.no_chart:
        _check_chart_name(args.output, matplotlib_needed=False)
    bars, description = sample_bars()
    print(f"ornivex {__version__}: {description}")
    columns = _compute(bars, args)
    print(_settings(args))
    print()
    rows = range(max(len(bars) - args.rows, 0), len(bars))
    print(format_table(
        ["date", "close", "HalfTrend", "trend", "signal", "filter", "band low", "band high"],
        [[bars.label(i), _short(bars.close[i]), _short(columns["halftrend"][i]), _trend_word(columns["trend"][i]),
          _signal_word(columns, i), _short(columns["rangeFilter"][i]), _short(columns["rangeLow"][i]),
          _short(columns["rangeHigh"][i])] for i in rows]))
    print()
    print(_summary(bars, columns))
    if args.no_chart:
        return 0
    from ornivex.chart import ChartUnavailable, draw_chart
    folder = None
    if args.output:
        out = args.output
    else:
        try:  # a folder of its own, made for this run: no one else can have put a file or a link there
            folder = Path(tempfile.mkdtemp(prefix="ornivex-demo-"))
        except OSError as exc:
            raise UserError(f"{tempfile.gettempdir()}: cannot make a folder for the chart "
                            f"({exc.strerror or exc}); name the chart file with -o") from None
        out = str(folder / "ornivex-demo.png")
    try:
        path = draw_chart(bars, columns, out, last=args.last, title=Path(bars.source).stem.upper())
    except ChartUnavailable as exc:
        if folder is not None:
            folder.rmdir()
        print(f"chart skipped: {exc}")
        return 0
    shown = path if os.fspath(path) == "-" or is_direct(path) else Path(path).absolute()
    print(f"chart ({min(args.last, len(bars))} last bars): {shown}")
    return 0


def _check_chart_name(path: str, *, matplotlib_needed: bool = True) -> None:
    """Refuse, before the work, a chart name whose format cannot be drawn."""
    from ornivex.chart import ChartFormatError, ChartUnavailable, chart_format
    try:
        chart_format(path)
    except ChartFormatError as exc:
        raise UserError(str(exc)) from None
    except ChartUnavailable as exc:
        if matplotlib_needed:
            raise UserError(str(exc)) from None


def run_compute(args: argparse.Namespace) -> int:
    from ornivex import chunked
    kind = output_format(args.output)  # a name the command cannot write is refused before the work
    source = chunked.Source.open(args.bars, args.memory)
    options = dict(by=args.by, sep=args.sep, decimal=args.decimal, skip_bad_rows=args.skip_bad_rows,
                   memory=args.memory)
    try:
        if kind == "parquet":
            run = chunked.write_parquet(source, args.output, _chunk_settings(args), **options)
        else:
            run = chunked.write_chunks(source, args.output, _chunk_settings(args), **options)
    except ValueError as exc:
        if isinstance(exc, BarsError):
            raise
        raise UserError(f"{source.name}: {exc}") from None
    _report(run)
    if args.output not in (None, "-"):
        print(f"wrote {counted(run.rows, 'row')} to {args.output}", file=sys.stderr)
    return 0


def _chunk_settings(args: argparse.Namespace):
    from ornivex.chunked import Settings
    return Settings(args.amplitude, args.channel_deviation, args.atr_length,
                    getattr(args, "swing_period", indicators.SWING_PERIOD),
                    getattr(args, "swing_multiplier", indicators.SWING_MULTIPLIER))


def _report(run) -> None:
    """The reader's warnings, and how many symbols a long file held, on standard error."""
    for warning in run.warnings():
        print(f"ornivex: warning: {warning}", file=sys.stderr)
    if run.symbol_count is not None:
        print(f"ornivex: {counted(run.symbol_count, 'symbol')} computed, each on its own rows",
              file=sys.stderr)


def run_chart(args: argparse.Namespace) -> int:
    from ornivex import chunked
    from ornivex.chart import ChartUnavailable, draw_chart
    _check_chart_name(args.output)
    source = chunked.Source.open(args.bars, args.memory)
    kept = chunked.KeptBars(args.symbol, None if args.all else args.last)
    try:
        chunked.compute_chunks(source, _chunk_settings(args), kept.plan, by=args.by, sep=args.sep,
                               decimal=args.decimal, skip_bad_rows=args.skip_bad_rows, memory=args.memory)
        bars, columns, total = kept.bars()
    except ValueError as exc:
        if isinstance(exc, BarsError):
            raise
        raise UserError(f"{source.name}: {exc}") from None
    assert kept.plan.run is not None
    for warning in kept.plan.run.warnings():
        print(f"ornivex: warning: {warning}", file=sys.stderr)
    title = args.title or (f"{Path(source.name).stem} {args.symbol}" if args.symbol else None)
    try:
        path = draw_chart(bars, columns, args.output, width=args.width, height=args.height, title=title,
                          log=args.log, total=total)
    except ChartUnavailable as exc:
        raise UserError(str(exc)) from None
    except ValueError as exc:
        raise UserError(f"{args.output}: cannot draw the chart ({exc})") from None
    print(f"chart of {len(bars)} bars: {path}", file=sys.stderr)
    return 0


def run_scan(args: argparse.Namespace) -> int:
    from ornivex.chunked import Source
    from ornivex.scan import ProgressBar, connect, dataset_source, scan_symbols, symbol_inputs
    if args.output:
        output_format(args.output, formats=("csv",))  # refused before the work
    if Path(args.directory).is_file() and not args.directory.lower().endswith((".parquet", ".pq")):
        return _scan_long(args, Source.open(args.directory, args.memory), args.symbol_column)
    if args.jobs == 1 and not args.scheduler:  # a Parquet dataset is read a batch at a time, as a long file
        dataset = dataset_source(args.directory, symbol_column=args.symbol_column)
        if dataset is not None:
            return _scan_long(args, *dataset)
    inputs, unread = symbol_inputs(args.directory, symbol_column=args.symbol_column)
    show = args.progress if args.progress is not None else (len(inputs) >= 20 and sys.stderr.isatty())
    client = connect(args.scheduler, timeout=args.connect_timeout) if args.scheduler else None
    try:
        rows, failures = scan_symbols(inputs, jobs=args.jobs, client=client,
                                      progress=ProgressBar() if show else None,
                                      amplitude=args.amplitude, channel_deviation=args.channel_deviation,
                                      atr_length=args.atr_length, sep=args.sep, decimal=args.decimal,
                                      skip_bad_rows=args.skip_bad_rows)
    finally:
        if client is not None:
            client.close()
    failures = sorted(unread + failures, key=lambda failure: failure.symbol)
    table = [[r.symbol, r.date, _short(r.close), _short(r.halftrend), r.trend, r.signal or "-",
              "-" if r.bars_since is None else str(r.bars_since), str(r.bars)] for r in rows]
    _scan_table(args, table)
    for row in rows:
        for warning in row.warnings:
            print(printable(f"warning {row.symbol}: {warning}"), file=sys.stderr)
    for failure in failures:
        print(printable(f"skipped {failure.symbol}: {failure.message}"), file=sys.stderr)
    print(f"{counted(len(rows), 'symbol')} scanned, {len(failures)} skipped", file=sys.stderr)
    return 0 if rows else USER_ERROR


def _scan_long(args: argparse.Namespace, source, by: str | None) -> int:
    """The scan of a long file or Parquet dataset, read in chunks: each symbol's latest state.  A symbol
    with a bad row is left out and named, as a symbol file that cannot be read is."""
    from ornivex import chunked
    latest = chunked.LatestStates()
    settings = chunked.Settings(args.amplitude, args.channel_deviation, args.atr_length)
    try:
        run = chunked.compute_chunks(source, settings, latest.plan, by=by, sep=args.sep, decimal=args.decimal,
                                     skip_bad_rows=args.skip_bad_rows, memory=args.memory, each_symbol=True)
    except ValueError as exc:
        if isinstance(exc, BarsError):
            raise
        raise UserError(f"{source.name}: {exc}") from None
    if run.symbol_count is None:
        raise UserError(f"{source.name}: a bar file of one instrument is not a scan; give its folder, or a long "
                        "file with a column naming each row's symbol (see --by)")
    table = [[symbol, time, _short(close), _short(line), trend, signal or "-", "-" if since is None else str(since),
              str(bars)] for symbol, time, close, line, trend, signal, since, bars in latest.rows()]
    _scan_table(args, table)
    for warning in run.warnings(band=False):
        print(printable(f"ornivex: warning: {warning}"), file=sys.stderr)
    failures = run.failures()
    for symbol, message in failures:
        print(printable(f"skipped {symbol}: {message}"), file=sys.stderr)
    print(f"{counted(len(table), 'symbol')} scanned, {len(failures)} skipped", file=sys.stderr)
    return 0 if table else USER_ERROR


def _scan_table(args: argparse.Namespace, table: list[list[str]]) -> None:
    headers = ["symbol", "last bar", "close", "HalfTrend", "trend", "last signal", "bars since", "bars"]
    if args.output:
        text = io.StringIO()
        writer = csv.writer(text, lineterminator="\n")
        writer.writerow([h.replace(" ", "_") for h in headers])
        writer.writerows(table)
        with atomic_output(args.output) as handle:
            handle.write(text.getvalue().encode("utf-8"))
    if table:
        print(format_table(headers, [[printable(cell) for cell in line] for line in table]))


def run_watch(args: argparse.Namespace) -> int:
    from ornivex.watch import watch
    if args.bars == "-":
        raise UserError("-: standard input cannot be followed as it grows; name a file to watch")
    if args.output is not None and (args.output == "-" or args.output.lower().endswith((".parquet", ".pq"))):
        raise UserError(f"{args.output}: watch writes a CSV file; name one with -o")
    try:
        return watch(args.bars, args.output, _chunk_settings(args), quiet=args.quiet, by=args.by, sep=args.sep,
                     decimal=args.decimal, skip_bad_rows=args.skip_bad_rows, memory=args.memory)
    except ValueError as exc:
        if isinstance(exc, BarsError):
            raise
        raise UserError(f"{args.bars}: {exc}") from None


def run_sample(args: argparse.Namespace) -> int:
    output = args.output or "-"
    output_format(output, formats=("csv",))
    bars, description = sample_bars()
    with atomic_output(output) as handle:
        write_bars(bars, handle)
    if output != "-":
        print(f"wrote {description} to {output}", file=sys.stderr)
    return 0


# -- output -----------------------------------------------------------------------------------

def printable(text: str) -> str:
    """`text` with control characters (an escape sequence, a line end) written as escapes.

    File names and symbols come from the user's files; raw, they could move
    the cursor or start a new line on the terminal.
    """
    if text.isprintable():
        return text
    return "".join(ch if ch.isprintable() else repr(ch)[1:-1] for ch in text)


def format_table(headers: Sequence[str], rows: Iterable[Sequence[str]]) -> str:
    """A plain-text table: the first column left-aligned, the others right-aligned."""
    rows = [list(map(str, row)) for row in rows]
    widths = [max(len(str(h)), *(len(r[i]) for r in rows)) if rows else len(str(h))
              for i, h in enumerate(headers)]

    def line(cells: Sequence[str]) -> str:
        return "  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths)))

    return "\n".join([line(headers), line(["-" * w for w in widths]), *(line(r) for r in rows)])


def _short(value: float) -> str:
    value = float(value)
    return "nan" if value != value else f"{value:.6g}"


def _trend_word(value: int) -> str:
    return "up" if value == indicators.UP else "down"


def _signal_word(columns: dict[str, np.ndarray], i: int) -> str:
    return "buy" if columns["buy"][i] == 1 else "sell" if columns["sell"][i] == 1 else ""


def _summary(bars: Bars, columns: dict[str, np.ndarray]) -> str:
    signal, since = indicators.last_signal(columns["buy"], columns["sell"])
    trend = f"trend at the last bar ({bars.label(len(bars) - 1)}): {_trend_word(columns['trend'][-1])}"
    if signal is None or since is None:
        return f"{trend}; no buy or sell signal in {len(bars)} bars"
    when = bars.label(len(bars) - 1 - since)
    return f"{trend}; last signal: {signal} on {when}, {since} bar{'s' * (since != 1)} ago"


def _settings(args: argparse.Namespace) -> str:
    return (f"HalfTrend: amplitude {args.amplitude}, channel deviation {args.channel_deviation}, "
            f"tr = average true range over {args.atr_length} bars; range filter: period "
            f"{args.swing_period}, multiplier {args.swing_multiplier}")


def _compute(bars: Bars, args: argparse.Namespace) -> dict[str, np.ndarray]:
    """Every indicator column for `bars`; a series the indicators cannot take is a user error."""
    try:
        columns = indicators.halftrend(bars.high, bars.low, bars.close, amplitude=args.amplitude,
                                       channel_deviation=args.channel_deviation, atr_length=args.atr_length)
        columns.update(indicators.swing(bars.close, period=args.swing_period,
                                        multiplier=args.swing_multiplier))
    except ValueError as exc:
        raise UserError(f"{bars.source}: {exc}") from None
    needed = indicators.swing_bars_needed(args.swing_period)
    if len(bars) < needed:
        print(f"ornivex: warning: {bars.source}: {counted(len(bars), 'bar')} {'is' if len(bars) == 1 else 'are'} "
              "too few for the range filter's band with "
              f"--swing-period {args.swing_period} (it needs {needed}); rangeHigh and rangeLow stay empty",
              file=sys.stderr)
    return columns


# -- arguments --------------------------------------------------------------------------------

def _count(text: str) -> int:
    """A whole number of at least 1 (a count of bars, rows, pixels or workers)."""
    try:
        return parameters.whole_number_text(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


MOST_PIXELS = 10_000  # a side of a chart; 10,000 x 10,000 is 400 MB of pixels already


def _pixels(text: str) -> int:
    value = _count(text)
    if value > MOST_PIXELS:
        raise argparse.ArgumentTypeError(f"{text!r} is more than {MOST_PIXELS:,} pixels")
    return value


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not math.isfinite(value) or value <= 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a finite number above 0")
    return value


def _width(text: str) -> float:
    """A finite number, at least 0: a channel or band width."""
    try:
        return parameters.width_text(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _address(text: str) -> str:
    if not text.strip():
        raise argparse.ArgumentTypeError("an empty address; give the scheduler's, such as tcp://HOST:8786")
    return text


def _separator(text: str) -> str:
    names = {",": ",", "comma": ",", ";": ";", "semicolon": ";", "\\t": "\t", "\t": "\t", "tab": "\t"}
    if text.lower() not in names:
        raise argparse.ArgumentTypeError(f"{text!r} is not one of ',', ';', 'tab'")
    return names[text.lower()]


def _decimal(text: str) -> str:
    if text not in (".", ","):
        raise argparse.ArgumentTypeError(f"{text!r} is not '.' or ','")
    return text


class _Parser(argparse.ArgumentParser):
    """Usage errors in one line, like every other error of the command."""

    def error(self, message: str):  # type: ignore[override]
        self.exit(USER_ERROR, f"{self.prog}: error: {message}\n")


def _input_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("reading")
    group.add_argument("--sep", type=_separator, metavar="SEP",
                       help="CSV separator: ',', ';' or 'tab' (default: found from the header)")
    group.add_argument("--decimal", type=_decimal, metavar="MARK",
                       help="decimal mark of the prices, '.' or ',' (default: ',' when the separator is "
                       "';' or tab and the prices hold commas)")
    group.add_argument("--skip-bad-rows", action="store_true",
                       help="leave out rows with a missing, non-numeric, NaN or infinite price "
                       "(their indicator cells stay empty) instead of stopping")


def _memory(text: str) -> int:
    from ornivex.chunked import parse_size
    try:
        value = parse_size(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is less than 1 byte")
    return value


def _memory_option(parser: argparse.ArgumentParser | argparse._ArgumentGroup) -> None:
    parser.add_argument("--memory", type=_memory, default=MEMORY_BUDGET, metavar="SIZE",
                        help="memory a file whose rows must be put in time order may be read into, whole "
                        "(about ten times its size; default %(default)s bytes, 1G); files in time order "
                        "are read in chunks, in little memory, whatever their size")


def _long_file_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("long files and memory")
    group.add_argument("--by", metavar="NAME", help="the column naming each row's symbol: each symbol is "
                       "computed on its own rows (default: a column named symbol or ticker, in any case)")
    _memory_option(group)


def _indicator_options(parser: argparse.ArgumentParser, *, swing: bool = True) -> None:
    group = parser.add_argument_group("indicator settings")
    group.add_argument("--amplitude", type=_count, default=indicators.AMPLITUDE, metavar="BARS",
                       help="HalfTrend window of the highest high / lowest low (default %(default)s)")
    group.add_argument("--channel-deviation", type=_width, default=indicators.CHANNEL_DEVIATION,
                       metavar="X", help="HalfTrend channel half-width in units of ATR/2 (default %(default)s)")
    group.add_argument("--atr-length", type=_count, default=indicators.ATR_LENGTH, metavar="BARS",
                       help="length of the average true range fed to HalfTrend as tr (default %(default)s)")
    if swing:
        group.add_argument("--swing-period", type=_count, default=indicators.SWING_PERIOD, metavar="BARS",
                           help="range filter smoothing period (default %(default)s)")
        group.add_argument("--swing-multiplier", type=_width, default=indicators.SWING_MULTIPLIER,
                           metavar="X", help="range filter band width multiplier (default %(default)s)")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="ornivex", description="HalfTrend and range-filter indicators over CSV or Parquet price bars. "
        "Without a command: a demo on the default daily bars (a table and a chart).",
        epilog="Bar files are CSV (comma, semicolon or tab separated) with a header, or Parquet: date (or "
        "time), open, high, low, close and optionally volume, in any case; '-' reads standard input. "
        "Exit status 2 means the input or an option was wrong.")
    parser.add_argument("--version", action="version", version=f"ornivex {__version__}")
    commands = parser.add_subparsers(title="commands", metavar="COMMAND")

    demo = commands.add_parser("demo", help="the default run: table and chart of the default bars")
    demo.add_argument("-o", "--output", metavar="CHART", help="chart file (default: in the temporary folder)")
    demo.add_argument("--rows", type=_count, default=10, help="table rows, the latest bars (default %(default)s)")
    demo.add_argument("--last", type=_count, default=250, metavar="BARS",
                      help="bars shown on the chart (default %(default)s)")
    demo.add_argument("--no-chart", action="store_true", help="print the table only")
    _indicator_options(demo)
    demo.set_defaults(run=run_demo)

    compute = commands.add_parser("compute", help="write the input and every indicator column as CSV or Parquet")
    compute.add_argument("bars", metavar="BARS.csv")
    compute.add_argument("-o", "--output", metavar="OUT.csv",
                         help="output file, Parquet when it ends in .parquet ('-' or default: standard output)")
    _input_options(compute)
    _long_file_options(compute)
    _indicator_options(compute)
    compute.set_defaults(run=run_compute)

    chart = commands.add_parser("chart", help="draw candlesticks with HalfTrend and the range filter")
    chart.add_argument("bars", metavar="BARS.csv")
    chart.add_argument("-o", "--output", metavar="CHART.png", required=True,
                       help="image file; its suffix picks the format (png, svg, pdf)")
    shown = chart.add_mutually_exclusive_group()
    shown.add_argument("--last", type=_count, default=500, metavar="BARS",
                       help="show the last bars (default %(default)s)")
    shown.add_argument("--all", action="store_true", help="show every bar; bars closer together than a pixel "
                       "are drawn as their group's open, high, low and close")
    chart.add_argument("--symbol", metavar="S", help="the symbol to draw, of a long file")
    chart.add_argument("--width", type=_pixels, default=1600, metavar="PX", help="default %(default)s")
    chart.add_argument("--height", type=_pixels, default=900, metavar="PX", help="default %(default)s")
    chart.add_argument("--title", help="default: the file name and the range shown")
    chart.add_argument("--log", action="store_true", help="logarithmic price axis")
    _input_options(chart)
    _long_file_options(chart)
    _indicator_options(chart)
    chart.set_defaults(run=run_chart)

    scan = commands.add_parser("scan", help="latest trend and signal of every symbol in a folder or dataset",
                               epilog="A folder of SYMBOL.csv / SYMBOL.parquet files gives one symbol per file; "
                               "a Parquet file, or a folder of Parquet files in partitions or with a symbol "
                               "column, is read as one dataset of many symbols.")
    scan.add_argument("directory", metavar="PATH", help="folder of SYMBOL.csv / SYMBOL.parquet bar files, "
                      "or a Parquet dataset (file or folder) with a symbol column")
    scan.add_argument("--by", "--symbol-column", dest="symbol_column", metavar="NAME",
                      help="the symbol column of a long file or Parquet dataset (default: one named symbol or "
                      "ticker, in any case)")
    _memory_option(scan)
    where = scan.add_mutually_exclusive_group()
    where.add_argument("-j", "--jobs", type=_count, default=1, help="worker processes (default %(default)s)")
    where.add_argument("--scheduler", metavar="ADDRESS", type=_address,
                       help="run on the Dask distributed cluster of this scheduler (tcp://HOST:8786)")
    scan.add_argument("--connect-timeout", type=_seconds, default=10.0, metavar="SECONDS",
                      help="how long to try reaching the scheduler (default %(default)s)")
    scan.add_argument("-o", "--output", metavar="OUT.csv", help="also write the table as CSV")
    scan.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                      help="progress bar on standard error (default: with 20 symbols or more, on a terminal)")
    _input_options(scan)
    _indicator_options(scan, swing=False)
    scan.set_defaults(run=run_scan)

    watch = commands.add_parser("watch", help="follow a growing CSV file: each new bar computed as it comes, "
                                "each new signal printed")
    watch.add_argument("bars", metavar="BARS.csv")
    watch.add_argument("-o", "--output", metavar="OUT.csv", help="write the indicator rows as compute does, "
                       "then append each new bar's row")
    watch.add_argument("--quiet", action="store_true", help="print no signal lines")
    _input_options(watch)
    _long_file_options(watch)
    _indicator_options(watch)
    watch.set_defaults(run=run_watch)

    sample = commands.add_parser("sample", help="write the default daily bars as a CSV file")
    sample.add_argument("-o", "--output", metavar="BARS.csv", help="default: standard output")
    sample.set_defaults(run=run_sample)

    # No command: the demo with its defaults.
    parser.set_defaults(run=run_demo, output=None, rows=10, last=250, no_chart=False,
                        amplitude=indicators.AMPLITUDE, channel_deviation=indicators.CHANNEL_DEVIATION,
                        atr_length=indicators.ATR_LENGTH, swing_period=indicators.SWING_PERIOD,
                        swing_multiplier=indicators.SWING_MULTIPLIER)
    return parser


if __name__ == "__main__":
    raise SystemExit(main())
