"""``python -m ornivex``: a short demo over the bundled sample bars."""

from __future__ import annotations

import csv
from importlib import resources

import numpy as np

from ornivex import trend_v4


def load_sample_closes() -> tuple[list[str], np.ndarray]:
    """Dates and closing prices (float32) of the bundled synthetic daily bars."""
    text = resources.files("ornivex").joinpath("data/sample_bars.csv").read_text()
    rows = list(csv.DictReader(text.splitlines()))
    return [r["date"] for r in rows], np.array([float(r["close"]) for r in rows], dtype=np.float32)


def main() -> int:
    dates, close = load_sample_closes()
    smoothed = trend_v4.ewma(close, 0.2)
    ema14 = trend_v4.ema2(close, 14)
    print(f"ornivex demo: {len(close)} daily closes (bundled sample), last 10 bars")
    print(f"{'date':<12}{'close':>10}{'ewma(0.2)':>12}{'ema2(14)':>12}")
    for i in range(len(close) - 10, len(close)):
        print(f"{dates[i]:<12}{close[i]:>10.2f}{smoothed[i]:>12.4f}{ema14[i]:>12.4f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
