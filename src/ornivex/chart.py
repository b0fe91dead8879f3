"""Charts of HalfTrend and the swing indicator over candlesticks, drawn with matplotlib.

The figure is built with matplotlib's object interface (no pyplot, so no GUI
backend and no global state): it can be drawn from worker processes or
threads.  Bars are placed at consecutive x positions, so weekends and
holidays leave no gaps; the x axis labels them with their dates.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np

from ornivex.bars import Bars

CANDLE_UP, CANDLE_DOWN = "#26a69a", "#ef5350"
TREND_UP, TREND_DOWN = "#1565c0", "#c62828"
FILTER, BAND = "#6a1b9a", "#ce93d8"


class ChartUnavailable(RuntimeError):
    """matplotlib is not installed."""


def draw_chart(bars: Bars, columns: dict[str, np.ndarray], path: str | Path, *,
               last: int | None = None, width: int = 1600, height: int = 900, dpi: int = 100,
               title: str | None = None) -> Path:
    """Write the chart of `bars` and their indicator `columns` to `path`; return the path.

    `columns` holds the HalfTrend keys plus "trend", and the swing keys.
    `last` limits the chart to the last bars; the image is `width` x `height`
    pixels, in the format named by the file's suffix (PNG, SVG, PDF, ...).
    """
    try:
        from matplotlib.collections import LineCollection
        from matplotlib.figure import Figure
        from matplotlib.lines import Line2D
        from matplotlib.patches import Patch
        from matplotlib.ticker import FuncFormatter, MaxNLocator
    except ImportError:
        raise ChartUnavailable("charts need matplotlib: pip install 'ornivex[chart]'") from None

    start = max(len(bars) - last, 0) if last else 0
    x = np.arange(len(bars) - start, dtype=np.float64)
    view = {name: np.asarray(values)[start:] for name, values in columns.items()}
    o, h, l, c = (np.asarray(a)[start:] for a in (bars.open, bars.high, bars.low, bars.close))
    labels = _date_labels(bars.times[start:])

    fig = Figure(figsize=(width / dpi, height / dpi), dpi=dpi, layout="constrained")
    price, swing = fig.subplots(2, 1, sharex=True, height_ratios=(3, 2))

    # Candlesticks: a wick from low to high, a body from open to close.
    rising = c >= o
    colours = np.where(rising, CANDLE_UP, CANDLE_DOWN)
    price.vlines(x, l, h, colors=colours, linewidth=0.8, zorder=2)
    price.bar(x, np.abs(c - o), bottom=np.minimum(o, c), width=0.65, color=colours,
              edgecolor=colours, linewidth=0.5, zorder=3)

    # HalfTrend: the line coloured by the trend of each bar, and its channel.
    line, trend = view["halftrend"].astype(np.float64), view["trend"]
    segments = np.stack([np.column_stack([x[:-1], line[:-1]]), np.column_stack([x[1:], line[1:]])], axis=1)
    price.add_collection(LineCollection(list(segments), colors=np.where(trend[1:] == 0, TREND_UP, TREND_DOWN),
                                        linewidths=2.2, zorder=4))
    price.fill_between(x, view["atrLow"], view["atrHigh"], color="#90a4ae", alpha=0.15, linewidth=0, zorder=1)
    for edge in ("atrHigh", "atrLow"):
        price.plot(x, view[edge], color="#78909c", linewidth=0.7, linestyle="--", zorder=1)

    # Reversal arrows (offset by half the ATR) and the buy/sell markers on them.
    buys, sells = np.flatnonzero(view["buy"] == 1), np.flatnonzero(view["sell"] == 1)
    price.scatter(x[buys], view["arrowUp"][buys], marker="^", s=90, color=TREND_UP, zorder=5)
    price.scatter(x[sells], view["arrowDown"][sells], marker="v", s=90, color=TREND_DOWN, zorder=5)
    labelled = len(x) <= 300  # words stay readable; on longer charts the markers say it
    for i in buys if labelled else ():
        price.annotate("buy", (x[i], view["arrowUp"][i]), xytext=(0, -9), textcoords="offset points",
                       ha="center", va="top", fontsize=8, color=TREND_UP, fontweight="bold")
    for i in sells if labelled else ():
        price.annotate("sell", (x[i], view["arrowDown"][i]), xytext=(0, 9), textcoords="offset points",
                       ha="center", va="bottom", fontsize=8, color=TREND_DOWN, fontweight="bold")

    # Swing panel: the closes, the range filter line and its band.  The first bar has no
    # range yet, and its band edges are 0.0: left out, so the price scale keeps its range.
    if start == 0:
        for edge in ("rangeLow", "rangeHigh"):
            view[edge] = np.concatenate(([np.nan], view[edge][1:]))
    swing.plot(x, c, color="#455a64", linewidth=0.9)
    swing.fill_between(x, view["rangeLow"], view["rangeHigh"], color=BAND, alpha=0.35, linewidth=0)
    swing.plot(x, view["rangeFilter"], color=FILTER, linewidth=1.8)

    price.legend(handles=[
        Patch(color=CANDLE_UP, label="bar (close ≥ open)"), Patch(color=CANDLE_DOWN, label="bar (close < open)"),
        Line2D([], [], color=TREND_UP, linewidth=2.2, label="HalfTrend, up-trend"),
        Line2D([], [], color=TREND_DOWN, linewidth=2.2, label="HalfTrend, down-trend"),
        Line2D([], [], color="#78909c", linewidth=0.7, linestyle="--", label="channel"),
        Line2D([], [], color=TREND_UP, marker="^", linestyle="", label="buy"),
        Line2D([], [], color=TREND_DOWN, marker="v", linestyle="", label="sell"),
    ], loc="lower left", bbox_to_anchor=(0, 1), ncols=7, fontsize=8, frameon=False)
    swing.legend(handles=[
        Line2D([], [], color="#455a64", linewidth=0.9, label="close"),
        Line2D([], [], color=FILTER, linewidth=1.8, label="range filter"),
        Patch(color=BAND, alpha=0.35, label="filter band"),
    ], loc="lower left", bbox_to_anchor=(0, 1), ncols=3, fontsize=8, frameon=False)

    price.set_ylabel("price")
    swing.set_ylabel("range filter")
    fig.suptitle(title or Path(bars.source).stem, x=0.01, ha="left")
    for axes in (price, swing):
        axes.grid(True, color="#eceff1", linewidth=0.8)
        axes.set_axisbelow(True)
    swing.set_xlim(-0.8, len(x) - 0.2)
    swing.xaxis.set_major_locator(MaxNLocator(nbins=10, integer=True))
    swing.xaxis.set_major_formatter(FuncFormatter(
        lambda value, _pos: labels[int(round(value))] if 0 <= round(value) < len(labels) else ""))
    swing.set_xlabel("date")

    path = Path(path)
    fig.savefig(path, dpi=dpi)
    return path


def _date_labels(times: np.ndarray) -> list[str]:
    """Tick labels: days when every bar is at midnight, minutes otherwise."""
    seconds = times.astype("datetime64[s]").astype(np.int64)
    unit = "D" if np.all(seconds % 86400 == 0) else "m"
    return [str(t) for t in times.astype(f"datetime64[{unit}]")]

