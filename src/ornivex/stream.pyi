# Type stubs for the native stream module: the indicators one bar at a time.
"""The indicators one bar at a time, equal to the whole-series functions bit for bit.

Each class keeps only what its rules carry from one bar to the next.
``update(...)`` takes one bar as Python numbers and returns that bar's
values; ``extend(...)`` takes a chunk of bars as arrays (what the
whole-series function accepts) and returns the chunk's values.  However a
series is split into ``update`` calls and ``extend`` chunks, the joined
results equal the whole-series function over the series, NaN where it has
NaN, signed zeros included, under the NumPy promotion rules in force at each
call.

Objects pickle (every protocol) and copy; a restored object continues exactly
as the original would.  Pickles hold the constructor arguments and the
state tuple described in each class.  A refused call leaves the state as it
was.  Each object has a lock: calls from several threads take turns, and
``extend`` releases the interpreter lock while it computes, so streams of
different symbols advance in parallel.
"""

from typing import final

from typing_extensions import Self

import numpy as np
from numpy.typing import NDArray

from ornivex.trend_v4 import _HalfTrendResult  # a chunk of HalfTrend.extend is a batch result

_Float32Array = NDArray[np.float32]
_Float64Array = NDArray[np.float64]

@final
class Ewma:
    """``trend_v4.ewma(series, alpha)`` one bar at a time.

    The first bar is copied as it is; every later bar is
    ``alpha * value + (1 - alpha) * previous`` in NumPy's float32 arithmetic.
    ``alpha`` is a finite number in (0, 1].  State: ``(started, last output)``.
    """

    def __new__(cls, alpha: float) -> Self: ...
    @property
    def alpha(self) -> float: ...
    def update(self, value: float) -> float:
        """One bar (rounded to float32, as a float32 array stores it); returns its average."""
    def extend(self, values: _Float32Array) -> _Float32Array:
        """A chunk of bars (a one-dimensional float32 array); returns their averages."""
    def __reduce__(self) -> tuple[type[Ewma], tuple[float], tuple[int, float]]: ...
    def __setstate__(self, state: tuple[int, float], /) -> None: ...

@final
class Ema2:
    """``trend_v4.ema2(source, length)`` one bar at a time: Ewma with alpha = 2 / (length + 1).

    ``length`` is a whole number of at least 1.

    State: ``(started, last output)``.
    """

    def __new__(cls, length: int) -> Self: ...
    @property
    def length(self) -> int: ...
    def update(self, value: float) -> float:
        """One bar (rounded to float32); returns its average."""
    def extend(self, values: _Float32Array) -> _Float32Array:
        """A chunk of bars (a one-dimensional float32 array); returns their averages."""
    def __reduce__(self) -> tuple[type[Ema2], tuple[int], tuple[int, float]]: ...
    def __setstate__(self, state: tuple[int, float], /) -> None: ...

@final
class Tema3:
    """``trend_v4.tema3(source, length)`` one bar at a time.

    Four chained Ema2 stages E1..E4 combined as 3 (E1 - E3) + 3 (E3 - E4) + E4
    in float32.  ``length`` is a whole number of at least 1.  State:
    ``(started, e1, e2, e3, e4)``, the stages after the last bar.
    """

    def __new__(cls, length: int) -> Self: ...
    @property
    def length(self) -> int: ...
    def update(self, value: float) -> float:
        """One bar (rounded to float32); returns its triple average."""
    def extend(self, values: _Float32Array) -> _Float32Array:
        """A chunk of bars (a one-dimensional float32 array); returns their triple averages."""
    def __reduce__(self) -> tuple[type[Tema3], tuple[int], tuple[int, float, float, float, float]]: ...
    def __setstate__(self, state: tuple[int, float, float, float, float], /) -> None: ...

@final
class Atr:
    """The average true range over ``length`` bars, in float64, one bar at a time.

    ``indicators.average_true_range(high, low, close, length)`` is this class
    over the whole series.  True range: max(high - low, |high - previous
    close|, |low - previous close|), just high - low on the first bar or after
    a NaN close, NaN where high or low is NaN.  With k the bars with a true
    range so far, capped at ``length``: atr = atr + (tr - atr) / k (the first
    one is tr); a NaN true range keeps the previous average (NaN before the
    first).  ``length`` is a whole number, at least 1.  State: ``(k, atr,
    previous close)``.
    """

    def __new__(cls, length: int = 100) -> Self: ...
    @property
    def length(self) -> int: ...
    def update(self, high: float, low: float, close: float) -> float:
        """One bar; returns its average true range."""
    def extend(self, high: _Float64Array, low: _Float64Array, close: _Float64Array) -> _Float64Array:
        """A chunk of bars (one-dimensional float64 arrays of one length); returns their averages."""
    def __reduce__(self) -> tuple[type[Atr], tuple[int], tuple[int, float, float]]: ...
    def __setstate__(self, state: tuple[int, float, float], /) -> None: ...

@final
class HalfTrend:
    """``trend_v4.halftrend(high, low, close, tr, amplitude, channel_deviation)`` one bar at a time.

    Each bar goes through the same per-bar rules as the whole-series
    function, in float32.  ``amplitude`` is a whole number from 1 to
    2**31 - 1; ``channel_deviation`` is a finite number of at least 0.

    State: ``(bars, phase, max_low_price, min_high_price, line, high, low,
    high_price, low_price, e1 high, e1 low, e2 high, e2 low, e3 high, e3 low,
    e4 high, e4 low, then the window's bars as high, low pairs, oldest
    first)``: the bar count; the trend's phase (0 start, 1 up, 2 down) and
    running extremes; the last bar's line, high and low and their window
    extremes; the tema3 stages of high and low; and the last
    min(bars, amplitude) bars.
    """

    def __new__(cls, amplitude: int = 2, channel_deviation: float = 2.0) -> Self: ...
    @property
    def amplitude(self) -> int: ...
    @property
    def channel_deviation(self) -> float: ...
    def update(
        self, high: float, low: float, close: float, tr: float
    ) -> tuple[float, float, float, float, float, int, int]:
        """One bar (each value rounded to float32); returns its (halftrend, atrHigh,
        atrLow, arrowUp, arrowDown, buy, sell), the order of halftrend's keys."""
    def extend(
        self, high: _Float32Array, low: _Float32Array, close: _Float32Array, tr: _Float32Array
    ) -> _HalfTrendResult:
        """A chunk of bars (one-dimensional float32 arrays of one length); returns the
        dict halftrend returns for them: the same keys and dtypes.  An empty chunk
        gives empty arrays."""
    def __reduce__(self) -> tuple[type[HalfTrend], tuple[int, float], tuple[int | float, ...]]: ...
    def __setstate__(self, state: tuple[int | float, ...], /) -> None: ...

@final
class Swing:
    """``QuorvelSwing().quorvel_swing(values, period, multiplier)`` one price at a time, in float64.

    With d the move from the previous price (0.0 on the first bar), the range
    is the mean of the last 2 * period - 1 means of the last ``period`` d's,
    times ``multiplier``, each window summed as the whole-series function
    sums it; the range filter then steps with it.  Rows are (high band, low
    band, filter): (0.0, 0.0, price) on the first bar, NaN bands while the
    windows fill (the first 3 * (period - 1) bars).

    Fewer than 3 * (period - 1) prices have no whole-series result (it
    raises); here their ranges are NaN, so the bands are NaN and the filter
    holds, exactly as the whole-series rows begin once there are enough.
    ``period`` is a whole number from 1 to 2**31 - 1; ``multiplier`` is a
    finite number of at least 0.

    State: ``(bars, previous price, the filter's stored value, high band, low
    band and filter of the last row, then the last period - 1 d's and the
    last 2 * period - 2 first means)``, fewer of those while the windows fill.
    """

    def __new__(cls, period: int = 14, multiplier: float = 2.0) -> Self: ...
    @property
    def period(self) -> int: ...
    @property
    def multiplier(self) -> float: ...
    def update(self, value: float) -> tuple[float, float, float]:
        """One price; returns its (high band, low band, filter)."""
    def extend(self, values: _Float64Array) -> _Float64Array:
        """A chunk of prices (a one-dimensional float64 array); returns their rows
        as a float64 array of shape (k, 3), laid out as the whole-series result."""
    def __reduce__(self) -> tuple[type[Swing], tuple[int, float], tuple[int | float, ...]]: ...
    def __setstate__(self, state: tuple[int | float, ...], /) -> None: ...
