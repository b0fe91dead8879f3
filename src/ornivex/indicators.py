"""The indicators over whole bar series, as the command line and the adapters use them.

HalfTrend runs in float32 and the swing indicator in float64, as the native
modules do.  The conversions are made here, explicitly and once:

- ``high``, ``low`` and ``close`` are rounded to float32 (to nearest) for
  HalfTrend; the swing indicator takes the closes as float64, unchanged.
- HalfTrend's ``tr`` input is the average true range (:func:`average_true_range`)
  computed in float64 from the float64 prices and then rounded to float32.

Every result array has one element per input bar.
"""

from __future__ import annotations

import numbers

import numpy as np

from ornivex import _grouped, parameters, stream, swing_v4, trend_v4

AMPLITUDE = 2
CHANNEL_DEVIATION = 2.0
ATR_LENGTH = 100
SWING_PERIOD = 14
SWING_MULTIPLIER = 2.0

HALFTREND_KEYS = ("halftrend", "atrHigh", "atrLow", "arrowUp", "arrowDown", "buy", "sell")
SWING_KEYS = ("rangeHigh", "rangeLow", "rangeFilter")

UP, DOWN = 0, 1


def true_range(high: np.ndarray, low: np.ndarray, close: np.ndarray) -> np.ndarray:
    """Per-bar true range in float64.

    The largest of high - low, |high - previous close| and |low - previous
    close|; just high - low where there is no previous close (the first bar, or
    a NaN close before it).  NaN where the bar's high or low is NaN.
    """
    high, low, close = _float64(high=high, low=low, close=close).values()
    return _grouped.true_range(high, low, close)


def average_true_range(high: np.ndarray, low: np.ndarray, close: np.ndarray,
                       length: int = ATR_LENGTH) -> np.ndarray:
    """Wilder's average true range over `length` bars, in float64, defined from the first bar.

    With k the number of bars with a true range so far, capped at `length`:
    atr = atr_prev + (tr - atr_prev) / k.  Over the first `length` bars this
    is the running mean of the true ranges; from then on it is Wilder's
    smoothing with factor 1 / `length`.  A bar whose true range is NaN is
    skipped: it keeps the previous average (NaN before the first valid bar).
    This is :class:`ornivex.stream.Atr` over the whole series.
    """
    length = parameters.whole_number(length, "length")
    high, low, close = _float64(high=high, low=low, close=close).values()
    return stream.Atr(length).extend(high, low, close)


def halftrend(high: np.ndarray, low: np.ndarray, close: np.ndarray, *,
              amplitude: int = AMPLITUDE, channel_deviation: float = CHANNEL_DEVIATION,
              atr_length: int = ATR_LENGTH, tr: np.ndarray | None = None) -> dict[str, np.ndarray]:
    """HalfTrend of float prices: the native dict plus "atr" (float32) and "trend".

    `tr` replaces the average true range when given (rounded to float32).
    "trend" is 0 on up-trend bars and 1 on down-trend bars (int8); "signal" is
    +1 on a buy bar, -1 on a sell bar and 0 otherwise (int8).  "arrowUp" and
    "arrowDown" are NaN on bars without that arrow (the native result has 0.0
    there, which would read as a price).
    """
    amplitude = parameters.whole_number(amplitude, "amplitude")
    channel_deviation = parameters.width(channel_deviation, "channel_deviation")
    if tr is None:
        atr_length = parameters.whole_number(atr_length, "atr_length")
    arrays = _float64(high=high, low=low, close=close, **({} if tr is None else {"tr": tr}))
    if tr is None:
        arrays["tr"] = average_true_range(arrays["high"], arrays["low"], arrays["close"], atr_length)
    single = {name: arrays[name].astype(np.float32) for name in ("high", "low", "close", "tr")}
    result = trend_v4.halftrend(single["high"], single["low"], single["close"], single["tr"],
                                amplitude, channel_deviation)
    columns: dict[str, np.ndarray] = {key: result[key] for key in HALFTREND_KEYS}  # type: ignore[literal-required]
    present_arrows(columns)
    columns["trend"] = trend_from_signals(columns["buy"], columns["sell"])
    columns["atr"] = single["tr"]
    columns["signal"] = signal_of(columns["buy"], columns["sell"])
    return columns


def present_arrows(columns: dict[str, np.ndarray]) -> None:
    """Arrow prices only on the bars that have the arrow: NaN (not the native 0.0) elsewhere, in place."""
    for arrow, fired in (("arrowUp", "buy"), ("arrowDown", "sell")):
        columns[arrow][np.asarray(columns[fired]) != 1] = np.nan


def signal_of(buy: np.ndarray, sell: np.ndarray) -> np.ndarray:
    """+1 on a buy bar, -1 on a sell bar, 0 otherwise (int8)."""
    return (np.asarray(buy) == 1).view(np.int8) - (np.asarray(sell) == 1).view(np.int8)


def trend_from_signals(buy: np.ndarray, sell: np.ndarray) -> np.ndarray:
    """The trend of each bar (0 up, 1 down), rebuilt from HalfTrend's signals.

    The trend starts up and changes only at a signal: every change from up to
    down is a sell and every change back is a buy, so the trend of a bar is
    that of the last signal at or before it.

    A signal fires where it is 1 (or True); signals are whole numbers or
    booleans.  Floats are taken when they are exactly 0 or 1, as a frame's
    signal column is once a NaN has been in it and filled; any other float
    (0.9, NaN) is refused rather than truncated: which bars fire would be a
    guess.
    """
    return _grouped.trend(_signals(buy, "buy"), _signals(sell, "sell"))


def _signals(values: np.ndarray, name: str) -> np.ndarray:
    """`values` as int64 signals; ValueError naming the first value that is not one."""
    array = np.asarray(values)
    if array.dtype.kind in "biu":
        return array.astype(np.int64, copy=False)
    if array.dtype.kind == "f":
        wrong = (array != 0) & (array != 1)
    elif array.dtype == object:
        wrong = np.array([not (isinstance(v, numbers.Integral) or (isinstance(v, numbers.Real) and v in (0, 1)))
                          for v in array.flat], dtype=bool).reshape(array.shape)
    else:
        wrong = np.ones(array.shape, dtype=bool)
    if array.ndim == 1 and wrong.any():  # other shapes: the native function names the shape
        index = int(np.argmax(wrong))
        value = array[index].item() if isinstance(array[index], np.generic) else array[index]
        raise ValueError(f"{name} signals must be whole numbers or booleans (floats only 0.0 or 1.0), "
                         f"got {value!r} at index {index}")
    return array.astype(np.int64)


def swing_bars_needed(period: int) -> int:
    """Bars the range filter's band needs before its first value: 3 * (period - 1), at least 1."""
    return max(3 * (period - 1), 1)


def swing(close: np.ndarray, *, period: int = SWING_PERIOD,
          multiplier: float = SWING_MULTIPLIER) -> dict[str, np.ndarray]:
    """The swing indicator of the closes: high band, low band and filter line (float64).

    The band width needs :func:`swing_bars_needed` bars before its first
    value; the bands are NaN before it (bar 0 included, where the native
    result has 0.0) and the filter holds the first close.  A series shorter
    than that is all such bars.
    """
    period = parameters.whole_number(period, "period")
    multiplier = parameters.width(multiplier, "multiplier")
    (close,) = _float64(close=close).values()
    qs = swing_v4.QuorvelSwing()
    if len(close) < swing_bars_needed(period):
        bands = qs.range_filter(close, np.full(len(close), np.nan))
    else:
        bands = qs.quorvel_swing(close, period, multiplier)
    columns = {key: np.ascontiguousarray(bands[:, i]) for i, key in enumerate(SWING_KEYS)}
    for key in SWING_KEYS[:2]:
        columns[key][:swing_bars_needed(period)] = np.nan
    return columns


def ewma(values: np.ndarray, alpha: float) -> np.ndarray:
    """The exponentially weighted moving average of `values`, rounded to float32 once, in float32."""
    alpha = parameters.alpha(alpha)
    return trend_v4.ewma(_float32(values), alpha)


def ema2(values: np.ndarray, length: int) -> np.ndarray:
    """The EMA of `length` bars (alpha 2 / (length + 1)) of `values`, rounded to float32 once, in float32."""
    length = parameters.whole_number(length, "length")
    return trend_v4.ema2(_float32(values), length)


def tema3(values: np.ndarray, length: int) -> np.ndarray:
    """The triple EMA of `length` bars of `values`, rounded to float32 once, in float32."""
    length = parameters.whole_number(length, "length")
    return trend_v4.tema3(_float32(values), length)


def _float32(values: np.ndarray) -> np.ndarray:
    array = np.asarray(values)
    if array.dtype != np.float32:
        array = np.asarray(array, dtype=np.float64).astype(np.float32)  # rounded to nearest, once
    if array.ndim != 1:
        raise ValueError(f"values must be one-dimensional, got shape {array.shape}")
    return array


def last_signal(buy: np.ndarray, sell: np.ndarray) -> tuple[str | None, int | None]:
    """The last signal ("buy" or "sell") and the number of bars since it, or (None, None)."""
    fired = np.flatnonzero((np.asarray(buy) == 1) | (np.asarray(sell) == 1))
    if not len(fired):
        return None, None
    index = int(fired[-1])
    return ("buy" if buy[index] == 1 else "sell"), len(buy) - 1 - index


def put_back(values: np.ndarray, rows: np.ndarray, size: int, *, nullable: bool = True,
             nan_missing: bool = False) -> tuple[np.ndarray, np.ndarray | None]:
    """Values computed for `rows` (in their computing order) placed on a table of `size` rows: the
    placed values (NaN, or 0 for integers, where no row has one) and the mask of rows without one
    (None when not `nullable`); with `nan_missing`, NaN values (not defined) are missing too."""
    placed, missing = _put_back(values, rows, size, nullable)
    if nan_missing and placed.dtype.kind == "f":
        undefined = np.isnan(placed)
        missing = undefined if missing is None else missing | undefined
    return placed, missing


def _put_back(values: np.ndarray, rows: np.ndarray, size: int,
              nullable: bool) -> tuple[np.ndarray, np.ndarray | None]:
    if len(rows) == size and not nullable:
        if size < 2 or rows[0] < rows[-1] and np.all(rows[1:] > rows[:-1]):
            return values, None
        if rows[0] == size - 1 and np.all(rows[1:] < rows[:-1]):
            return values[::-1], None
    placed = np.full(size, np.nan if values.dtype.kind == "f" else 0, dtype=values.dtype)
    placed[rows] = values
    if not nullable:
        return placed, None
    missing = np.ones(size, dtype=bool)
    missing[rows] = False
    return placed, missing


def _float64(**arrays: object) -> dict[str, np.ndarray]:
    """The named arrays as one-dimensional float64 arrays of one common length."""
    converted = {name: np.asarray(value, dtype=np.float64) for name, value in arrays.items()}
    for name, array in converted.items():
        if array.ndim != 1:
            raise ValueError(f"{name} must be one-dimensional, got shape {array.shape}")
    lengths = {name: len(array) for name, array in converted.items()}
    if len(set(lengths.values())) > 1:
        listing = ", ".join(f"{name} {length}" for name, length in lengths.items())
        raise ValueError(f"the series have unequal lengths: {listing}")
    if 0 in lengths.values():
        raise ValueError("the series are empty")
    return converted
