# Type stubs for the native float32 trend indicators.
from typing import Any, TypedDict, type_check_only

import numpy as np
from numpy.typing import NDArray

_Float32Array = NDArray[np.float32]

@type_check_only
class _HalfTrendResult(TypedDict):
    halftrend: NDArray[np.float32]
    atrHigh: NDArray[np.float32]
    atrLow: NDArray[np.float32]
    arrowUp: NDArray[np.float32]
    arrowDown: NDArray[np.float32]
    buy: NDArray[np.int_]
    sell: NDArray[np.int_]

__test__: dict[str, Any]

def ewma(series: _Float32Array, alpha: float) -> _Float32Array:
    """Exponentially weighted moving average of a float32 series.

    series: one-dimensional float32 array (any stride; read-only is fine).
    alpha: the smoothing factor; not range-checked.

    Returns a new float32 array as long as `series`: element 0 is a bit-exact
    copy of series[0]; element i is alpha * series[i] + (1 - alpha) * out[i - 1]
    in NumPy's scalar arithmetic (under NumPy 2 both factors are rounded to
    float32 and every step is a float32 operation).

    NaN: a NaN or infinite input at i >= 1 makes element i and every later
    element NaN, whatever alpha is (0 * NaN is NaN).
    Raises TypeError for a non-ndarray, ValueError "Buffer dtype mismatch,
    expected 'float32_t' but got ..." for another dtype.
    """

def ema2(source: _Float32Array, length: float) -> _Float32Array:
    """EWMA for an averaging length: ewma(source, 2 / (max(length, 1) + 1)).

    source: one-dimensional float32 array.
    length: the averaging length; fractional lengths are used as they are,
    lengths up to 1 (and NaN) give alpha 1, +inf gives alpha 0.

    Returns whatever the module's `ewma` returns: a new float32 array as long
    as `source`, with the NaN behaviour of :func:`ewma`.
    """

def tema3(source: _Float32Array, length: float) -> _Float32Array:
    """Triple EMA: 3 * (E1 - E3) + 3 * (E3 - E4) + E4, with Ek the k-fold ema2 of `source`.

    source: one-dimensional float32 array.
    length: the averaging length of every ema2 stage.

    Returns a new float32 array as long as `source`, each step rounded to
    float32; element 0 equals source[0] when it is finite (-0.0 gives +0.0).
    A NaN input makes every later element NaN.
    """

def halftrend(
    high: _Float32Array,
    low: _Float32Array,
    close: _Float32Array,
    tr: _Float32Array,
    amplitude: int = 2,
    channel_deviation: float = 2.0,
) -> _HalfTrendResult:
    """The HalfTrend line, its channel, reversal arrows and buy/sell signals.

    high, low, close: one-dimensional float32 arrays of equal length n >= 1.
    tr: float32 array of length n, the per-bar range (usually an average true
    range): half of it offsets the arrows, and `channel_deviation` times that
    half is the channel's half-width.
    amplitude: window, in bars, of the highest high and lowest low (>= 1).
    channel_deviation: channel half-width in units of tr / 2.

    Returns a dict of seven arrays of length n: "halftrend", "atrHigh",
    "atrLow", "arrowUp", "arrowDown" (float32; an arrow is 0.0 on bars
    without one) and "buy", "sell" (int, 1 where the trend turns up or down
    at that bar; bar 0 never has a signal). The trend starts up.

    NaN: a NaN never triggers a switch, and the smoothed highs and lows stay
    NaN after a NaN high or low, so one NaN stops the trend from switching for
    the rest of the series: drop or fill missing bars first.
    """
