"""The ornivex command run as a user runs it: a subprocess over small bar files."""

import csv
import os
import subprocess
import sys

import numpy as np
import pytest

from ornivex import indicators
from ornivex.bars import read_bars, sample_bars

HEADER = "Date,Open,High,Low,Close,Volume\n"


def run(*args, cwd, env=None):
    result = subprocess.run([sys.executable, "-m", "ornivex", *map(str, args)], cwd=cwd, env=env,
                            capture_output=True, text=True, timeout=120)
    assert "Traceback" not in result.stderr, result.stderr
    return result


def walk_bars(n, seed, start="2024-01-01"):
    """CSV text of a random walk of daily bars, forwards in time."""
    rng = np.random.default_rng(seed)
    close = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, n)))
    open_ = np.concatenate(([100.0], close[:-1]))
    high = np.maximum(open_, close) * (1 + rng.uniform(0, 0.01, n))
    low = np.minimum(open_, close) * (1 - rng.uniform(0, 0.01, n))
    days = np.datetime64(start) + np.arange(n)
    return HEADER + "".join(f"{d},{o:.4f},{h:.4f},{lo:.4f},{c:.4f},{1000 + i}\n"
                            for i, (d, o, h, lo, c) in enumerate(zip(days, open_, high, low, close)))


def read_csv(path):
    with open(path, newline="") as handle:
        return list(csv.DictReader(handle))


def column(rows, key, dtype):
    return np.array([float(r[key]) if r[key] else np.nan for r in rows], dtype=dtype)


def test_compute_writes_every_column_aligned_to_the_input(tmp_path):
    (tmp_path / "bars.csv").write_text(walk_bars(120, seed=1))
    result = run("compute", "bars.csv", "-o", "out.csv", "--atr-length", "20", "--swing-period", "5",
                 cwd=tmp_path)
    assert result.returncode == 0 and "wrote 120 rows" in result.stderr
    rows = read_csv(tmp_path / "out.csv")
    bars = read_bars(tmp_path / "bars.csv")
    assert [r["date"] for r in rows] == bars.labels
    expected = indicators.halftrend(bars.high, bars.low, bars.close, atr_length=20)
    expected.update(indicators.swing(bars.close, period=5))
    for key, values in expected.items():
        dtype = values.dtype if values.dtype.kind == "f" else np.int64
        np.testing.assert_array_equal(column(rows, key, dtype), values, err_msg=key)  # text reads back exactly


def test_a_file_running_backwards_in_time_is_written_in_its_own_order(tmp_path):
    lines = walk_bars(60, seed=2).splitlines()
    (tmp_path / "fwd.csv").write_text("\n".join(lines) + "\n")
    (tmp_path / "back.csv").write_text("\n".join([lines[0], *lines[:0:-1]]) + "\n")
    forward = run("compute", "fwd.csv", "--swing-period", "3", cwd=tmp_path).stdout.splitlines()
    backward = run("compute", "back.csv", "--swing-period", "3", cwd=tmp_path).stdout.splitlines()
    assert backward == [forward[0], *forward[:0:-1]]


BROKEN = [
    ("missing.csv", "Date,Open,High,Low\n2024-01-02,1,2,0.5\n", "line 1", "missing column 'close'"),
    ("text.csv", HEADER + "2024-01-02,1,2,0.5,1.5,10\n2024-01-03,1,2,0.5,n/a,10\n",
     "row 2 (line 3), column 'Close'", "'n/a' is not a number"),
    ("blank.csv", HEADER + "2024-01-02,1,2,,1.5,10\n", "row 1 (line 2), column 'Low'", "empty value"),
    ("empty.csv", "", "empty.csv:", "the file is empty"),
    ("header.csv", HEADER, "line 1", "no bars after the header"),
    ("ragged.csv", HEADER + "2024-01-02,1,2,0.5,1.5,10\n2024-01-03,1,2,0.5\n", "row 2 (line 3)",
     "4 fields, but the header has 6"),
    ("date.csv", HEADER + "someday,1,2,0.5,1.5,10\n", "column 'Date'", "'someday' is not a date"),
    ("order.csv", HEADER + "2024-01-02,1,2,0.5,1.5,1\n2024-01-04,1,2,0.5,1.5,1\n2024-01-03,1,2,0.5,1.5,1\n",
     "row 3 (line 4)", "earlier than the row before it"),
    ("few.csv", walk_bars(10, seed=3), "few.csv:", "needs at least 39 bars, got 10"),
]


@pytest.mark.parametrize("name, text, where, problem", BROKEN, ids=[b[0] for b in BROKEN])
@pytest.mark.parametrize("command", ["compute", "chart", "scan"])
def test_a_broken_file_is_one_line_naming_file_row_and_column(tmp_path, name, text, where, problem, command):
    (tmp_path / name).write_text(text)
    if command == "scan":
        if name == "few.csv":
            return  # the scan needs no swing indicator
        result = run("scan", ".", cwd=tmp_path)
        lines = [line for line in result.stderr.splitlines() if line.startswith("skipped")]
    else:
        result = run(command, name, *(["-o", "x.png"] if command == "chart" else []), cwd=tmp_path)
        lines = result.stderr.splitlines()
    assert result.returncode == 2
    assert len(lines) == 1 and name in lines[0] and where in lines[0] and problem in lines[0], result.stderr
    assert not (tmp_path / "x.png").exists()


def test_bad_options_and_missing_paths_exit_with_status_2(tmp_path):
    (tmp_path / "bars.csv").write_text(walk_bars(50, seed=4))
    assert run("compute", "bars.csv", "--amplitude", "0", cwd=tmp_path).returncode == 2
    assert run("compute", "bars.csv", "--swing-multiplier", "wide", cwd=tmp_path).returncode == 2
    missing = run("compute", "nowhere.csv", cwd=tmp_path)
    assert missing.returncode == 2 and "nowhere.csv: cannot read the file" in missing.stderr
    assert run("scan", "nowhere", cwd=tmp_path).returncode == 2


def test_chart_is_an_image_of_the_requested_size(tmp_path):
    image = pytest.importorskip("matplotlib.image")
    (tmp_path / "bars.csv").write_text(walk_bars(300, seed=5))
    result = run("chart", "bars.csv", "-o", "chart.png", "--width", "900", "--height", "500", "--last", "120",
                 cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    pixels = image.imread(tmp_path / "chart.png")
    assert pixels.shape[:2] == (500, 900)
    assert len(np.unique(pixels.reshape(-1, pixels.shape[2]), axis=0)) > 50  # something was drawn


def test_default_run_prints_the_table_and_writes_the_chart(tmp_path):
    pytest.importorskip("matplotlib")
    env = dict(os.environ, TMPDIR=str(tmp_path))
    result = run(cwd=tmp_path, env=env)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "Google (GOOG)" in out and "HalfTrend" in out and "last signal:" in out
    assert "2008-10-14" in out  # the last bar of the sample
    chart = tmp_path / "ornivex-demo.png"
    assert f"{chart}" in out and chart.stat().st_size > 10_000


def test_scan_reports_every_symbol_and_skips_the_broken(tmp_path):
    folder = tmp_path / "symbols"
    folder.mkdir()
    for i, symbol in enumerate(["AAA", "BBB", "CCC"]):
        (folder / f"{symbol}.csv").write_text(walk_bars(80 + 30 * i, seed=10 + i))
    (folder / "BAD.csv").write_text(HEADER + "2024-01-02,1,2,0.5,x,1\n")
    (folder / "notes.txt").write_text("not a bar file")
    serial = run("scan", "symbols", "-o", "scan.csv", cwd=tmp_path)
    parallel = run("scan", "symbols", "--jobs", "2", "--progress", cwd=tmp_path)
    assert serial.returncode == parallel.returncode == 0
    assert serial.stdout == parallel.stdout
    assert "skipped BAD: " in serial.stderr and "3 symbols scanned, 1 skipped" in serial.stderr
    assert "4/4" in parallel.stderr  # the progress bar reached the end
    rows = read_csv(tmp_path / "scan.csv")
    assert [r["symbol"] for r in rows] == ["AAA", "BBB", "CCC"]
    for row in rows:
        bars = read_bars(folder / f"{row['symbol']}.csv")
        columns = indicators.halftrend(bars.high, bars.low, bars.close)
        signal, since = indicators.last_signal(columns["buy"], columns["sell"])
        assert (row["last_signal"], row["bars_since"]) == (signal or "-", "-" if since is None else str(since))
        assert row["trend"] == ("up" if columns["trend"][-1] == 0 else "down")
        assert row["last_bar"] == bars.labels[-1] and int(row["bars"]) == len(bars)


def test_sample_bars_written_read_back_unchanged(tmp_path):
    assert run("sample", "-o", "sample.csv", cwd=tmp_path).returncode == 0
    written, (original, _) = read_bars(tmp_path / "sample.csv"), sample_bars()
    assert written.labels == original.labels
    for name in ("open", "high", "low", "close", "volume"):
        np.testing.assert_array_equal(getattr(written, name), getattr(original, name))
