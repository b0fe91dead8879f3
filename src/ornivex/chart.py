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
from ornivex.writing import atomic_output, is_direct

CANDLE_UP, CANDLE_DOWN = "#26a69a", "#ef5350"
TREND_UP, TREND_DOWN = "#1565c0", "#c62828"
FILTER, BAND = "#6a1b9a", "#ce93d8"


class ChartUnavailable(RuntimeError):
    """matplotlib is not installed."""


class ChartFormatError(ValueError):
    """A chart file name whose suffix names no format matplotlib writes."""


def chart_format(path: str | Path) -> str:
    """The image format named by the suffix of `path` (PNG for standard output and special files)."""
    try:
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError:
        raise ChartUnavailable("charts need matplotlib: pip install 'ornivex[chart]'") from None
    suffix = Path(path).suffix.lower().lstrip(".")
    if not suffix and is_direct(path):
        return "png"
    formats = FigureCanvasBase.get_supported_filetypes()
    if suffix not in formats:
        raise ChartFormatError(f"{path}: cannot draw a chart as {'.' + suffix if suffix else 'a file without a suffix'}"
                               f"; the name ends in one of {', '.join('.' + f for f in sorted(formats))}")
    return suffix


def draw_chart(bars: Bars, columns: dict[str, np.ndarray], path: str | Path, *,
               last: int | None = None, width: int = 1600, height: int = 900, dpi: int = 100,
               title: str | None = None, log: bool = False, total: int | None = None) -> Path:
    """Write the chart of `bars` and their indicator `columns` to `path`; return the path.

    `columns` holds the HalfTrend keys plus "trend", and the swing keys.
    `last` limits the chart to the last bars; the image is `width` x `height`
    pixels, in the format named by the file's suffix (PNG, SVG, PDF, ...).
    The title (default: the file's name) is followed by the range of bars
    shown (`total`: the bars of the whole series, when `bars` are its last
    ones); `log` draws the prices on a logarithmic axis.  Bars closer together
    than a pixel are drawn a group at a time: the group's open, high, low and
    close, its channel's and band's extremes, its lines' last values and its
    signals.
    """
    try:
        from matplotlib.collections import LineCollection
        from matplotlib.figure import Figure
        from matplotlib.lines import Line2D
        from matplotlib.patches import Patch
        from matplotlib.ticker import FuncFormatter, MaxNLocator, NullFormatter, ScalarFormatter
        from matplotlib.transforms import offset_copy
    except ImportError:
        raise ChartUnavailable("charts need matplotlib: pip install 'ornivex[chart]'") from None
    image_format = chart_format(path)

    start = max(len(bars) - last, 0) if last else 0
    shown = len(bars) - start
    view = {name: np.asarray(values)[start:] for name, values in columns.items()}
    o, h, l, c = (np.asarray(a)[start:] for a in (bars.open, bars.high, bars.low, bars.close))
    times = bars.times[start:]
    label, timed = _date_labeller(times)
    if log and not (np.nanmin(l) > 0 and np.nanmin(view["atrLow"]) > 0):
        raise ValueError("a logarithmic price axis needs prices and a HalfTrend channel above 0")
    # Without the first bar's band (0.0 before there is a range), the price scale keeps its range.
    if start == 0:
        for edge in ("rangeLow", "rangeHigh"):
            view[edge] = np.concatenate(([np.nan], view[edge][1:]))
    step = max(1, -(-shown // max(int(width * 0.9), 1)))  # bars per pixel column of the plot, rounded up
    x, o, h, l, c, view = _grouped(step, o, h, l, c, view)

    fig = Figure(figsize=(width / dpi, height / dpi), dpi=dpi, layout="constrained")
    price, swing = fig.subplots(2, 1, sharex=True, height_ratios=(3, 2))

    # Candlesticks: a wick from low to high, a body from open to close.
    rising = c >= o
    colours = np.where(rising, CANDLE_UP, CANDLE_DOWN)
    price.vlines(x, l, h, colors=colours, linewidth=0.8, zorder=2)
    price.bar(x, np.abs(c - o), bottom=np.minimum(o, c), width=0.65 * step, color=colours,
              edgecolor=colours, linewidth=0.5, zorder=3)

    # HalfTrend: the line coloured by the trend of each bar, and its channel.
    line, trend = view["halftrend"].astype(np.float64), view["trend"]
    segments = np.stack([np.column_stack([x[:-1], line[:-1]]), np.column_stack([x[1:], line[1:]])], axis=1)
    price.add_collection(LineCollection(list(segments), colors=np.where(trend[1:] == 0, TREND_UP, TREND_DOWN),
                                        linewidths=2.2, zorder=4))
    price.fill_between(x, view["atrLow"], view["atrHigh"], color="#90a4ae", alpha=0.15, linewidth=0, zorder=1)
    for edge in ("atrHigh", "atrLow"):
        price.plot(x, view[edge], color="#78909c", linewidth=0.7, linestyle="--", zorder=1)

    # Reversal arrows and their buy/sell words, a few points clear of the candle's wick.
    buys, sells = np.flatnonzero(view["buy"] == 1), np.flatnonzero(view["sell"] == 1)
    below, above = np.fmin(view["arrowUp"], l), np.fmax(view["arrowDown"], h)
    marker_size = 70 if step == 1 else 14  # one arrow per group: many, so small
    price.scatter(x[buys], below[buys], marker="^", s=marker_size, color=TREND_UP, zorder=5,
                  transform=offset_copy(price.transData, fig=fig, y=-8, units="points"))
    price.scatter(x[sells], above[sells], marker="v", s=marker_size, color=TREND_DOWN, zorder=5,
                  transform=offset_copy(price.transData, fig=fig, y=8, units="points"))
    labelled = len(x) <= 300  # words stay readable; on longer charts the markers say it
    for i in buys if labelled else ():
        price.annotate("buy", (x[i], below[i]), xytext=(0, -16), textcoords="offset points",
                       ha="center", va="top", fontsize=8, color=TREND_UP, fontweight="bold")
    for i in sells if labelled else ():
        price.annotate("sell", (x[i], above[i]), xytext=(0, 16), textcoords="offset points",
                       ha="center", va="bottom", fontsize=8, color=TREND_DOWN, fontweight="bold")
    price.margins(y=0.15)  # room for the arrows and words at the top and bottom

    # Swing panel: the closes, the range filter line and its band.
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

    price.set_ylabel("price" + (" (log scale)" if log else ""))
    if log:  # plain price numbers on the log axis, not powers of ten
        price.set_yscale("log")
        price.yaxis.set_major_locator(MaxNLocator(nbins=8))
        price.yaxis.set_major_formatter(ScalarFormatter())
        price.yaxis.set_minor_formatter(NullFormatter())
    swing.set_ylabel("range filter")
    total = max(total or len(bars), len(bars))
    count = (f"all {shown} bar{'s' * (shown != 1)}" if shown == total else f"the last {shown} of {total} bars")
    grouping = f", one candle per {step} bars" if step > 1 else ""
    fig.suptitle(f"{title or Path(bars.source).stem}: {_range_label(times[0])} to {_range_label(times[-1])}, "
                 f"{count}{grouping}", x=0.01, ha="left")
    for axes in (price, swing):
        axes.grid(True, color="#eceff1", linewidth=0.8)
        axes.set_axisbelow(True)
    swing.set_xlim(-0.8, shown - 0.2)
    swing.xaxis.set_major_locator(MaxNLocator(nbins=8 if timed else 10, integer=True))
    swing.xaxis.set_major_formatter(FuncFormatter(
        lambda value, _pos: label(int(round(value))) if 0 <= round(value) < shown else ""))
    swing.set_xlabel("time (UTC where the file gave an offset)" if timed else "date")

    with atomic_output(path) as handle:
        fig.savefig(handle, dpi=dpi, format=image_format)
    return Path(path)


def _date_labeller(times: np.ndarray):
    """A tick label for bar i: its day when every bar is at midnight, else its time of day above its
    day; and whether the labels hold times of day."""
    ticks = times.astype("datetime64[s]")
    if np.all(ticks.astype(np.int64) % 86400 == 0):
        return (lambda i: str(ticks[i].astype("datetime64[D]"))), False

    def label(i: int) -> str:
        day = ticks[i].astype("datetime64[D]")
        minutes = int((ticks[i] - day).astype("timedelta64[m]").astype(np.int64))
        return f"{minutes // 60:02d}:{minutes % 60:02d}\n{day}"
    return label, True


def _grouped(step: int, o: np.ndarray, h: np.ndarray, l: np.ndarray, c: np.ndarray,
             view: dict[str, np.ndarray]) -> tuple:
    """Bar positions and values with every `step` bars taken as one: its open, high, low and close, its
    channel's and band's outer edges, its lines' last values and its signals."""
    if step == 1:
        return np.arange(len(c), dtype=np.float64), o, h, l, c, view
    starts = np.arange(0, len(c), step)
    ends = np.minimum(starts + step, len(c)) - 1
    highest, lowest = np.fmax.reduceat, np.fmin.reduceat
    grouped = {name: values[ends] for name, values in view.items()}
    for name in ("atrHigh", "rangeHigh"):
        grouped[name] = highest(view[name], starts)
    for name in ("atrLow", "rangeLow"):
        grouped[name] = lowest(view[name], starts)
    # A group's arrows stand where its signals' arrows stand: the lowest buy, the highest sell.
    grouped["arrowUp"] = lowest(np.where(view["buy"] == 1, view["arrowUp"], np.nan), starts)
    grouped["arrowDown"] = highest(np.where(view["sell"] == 1, view["arrowDown"], np.nan), starts)
    for name in ("buy", "sell"):
        grouped[name] = np.maximum.reduceat(view[name], starts)
    x = starts + (ends - starts) / 2
    return x, o[starts], highest(h, starts), lowest(l, starts), c[ends], grouped


def _range_label(time: np.datetime64) -> str:
    text = str(np.datetime64(time, "m")).replace("T", " ")
    return text[:10] if text.endswith("00:00") else text
