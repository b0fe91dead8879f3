"""Literal NumPy model of the trend computations.

Slow on purpose: each step is done the way it is described, with Python
floats meeting NumPy float32 scalars in the same operand order, so that the
running NumPy's own promotion rules decide the rounding.  The native code is
compared against it bit for bit.

Decided departures from the raw steps, applied here as in the native code:
bar 0's channel is the line (low[0]) +/- dev[0]; buy[0] and sell[0] are 0;
growing windows stop at the last bar when amplitude exceeds the bar count.
"""

import numpy as np


def ewma(series, alpha):
    n = len(series)
    out = np.empty(n, dtype=np.float32)
    if n == 0:
        return out
    out[0] = series[0]
    for i in range(1, n):
        out[i] = alpha * series[i] + (1.0 - alpha) * out[i - 1]
    return out


def ewma_widened(series, alpha):
    """ewma under NumPy 1.x rules: double products and sum, one rounding on the store."""
    n = len(series)
    out = np.empty(n, dtype=np.float32)
    if n == 0:
        return out
    out[0] = series[0]
    for i in range(1, n):
        out[i] = alpha * float(series[i]) + (1.0 - alpha) * float(out[i - 1])
    return out


def ema2(source, length, ewma=ewma):
    m = length if length > 1.0 else 1.0
    return ewma(source, 2.0 / (m + 1.0))


def tema3(source, length, ema2=ema2):
    length = float(length)
    e1 = ema2(source, length)
    term1 = 3 * (e1 - ema2(ema2(e1, length), length))
    term2 = 3 * (ema2(ema2(e1, length), length) -
                 ema2(ema2(ema2(e1, length), length), length))
    term3 = ema2(ema2(ema2(e1, length), length), length)
    return (term1 + term2) + term3


def _trend_pass(high, low, close, high_price, low_price, highma, lowma):
    n = len(high)
    trend = np.zeros(n, dtype=np.int32)
    next_trend = np.zeros(n, dtype=np.int32)
    max_low_price = np.zeros(n, dtype=np.float32)
    min_high_price = np.zeros(n, dtype=np.float32)
    max_low_price[0] = low[0]
    min_high_price[0] = high[0]
    for i in range(1, n):
        if next_trend[i - 1] == 1:
            if max_low_price[i - 1] > low_price[i - 1]:
                max_low_price[i] = max_low_price[i - 1]
            else:
                max_low_price[i] = low_price[i - 1]
            if highma[i] < max_low_price[i] and close[i] < low[i - 1]:
                trend[i] = 1
                next_trend[i] = 0
                min_high_price[i] = high_price[i]
            else:
                trend[i] = trend[i - 1]
                next_trend[i] = next_trend[i - 1]
                min_high_price[i] = min_high_price[i - 1]
        else:
            if min_high_price[i - 1] < high_price[i - 1]:
                min_high_price[i] = min_high_price[i - 1]
            else:
                min_high_price[i] = high_price[i - 1]
            if lowma[i] > min_high_price[i] and close[i] > high[i - 1]:
                trend[i] = 0
                next_trend[i] = 1
                max_low_price[i] = low_price[i]
            else:
                trend[i] = trend[i - 1]
                next_trend[i] = next_trend[i - 1]
                max_low_price[i] = max_low_price[i - 1]
    return trend, max_low_price, min_high_price


def _line_pass(trend, max_low_price, min_high_price, atr2, dev):
    n = len(trend)
    up, down, atr_high, atr_low, arrow_up, arrow_down = (
        np.zeros(n, dtype=np.float32) for _ in range(6))
    up[0] = max_low_price[0]
    down[0] = min_high_price[0]
    atr_high[0] = up[0] + dev[0]
    atr_low[0] = up[0] - dev[0]
    for i in range(1, n):
        if trend[i] != 0:
            if trend[i - 1] == 1:
                if down[i - 1] < min_high_price[i - 1]:
                    down[i] = down[i - 1]
                else:
                    down[i] = min_high_price[i - 1]
            else:
                down[i] = up[i - 1]
                arrow_down[i] = down[i] + atr2[i]
            atr_high[i] = down[i] + dev[i]
            atr_low[i] = down[i] - dev[i]
        else:
            if trend[i - 1] != 0:
                up[i] = down[i - 1]
                arrow_up[i] = up[i] - atr2[i]
            else:
                if up[i - 1] > max_low_price[i - 1]:
                    up[i] = up[i - 1]
                else:
                    up[i] = max_low_price[i - 1]
            atr_high[i] = up[i] + dev[i]
            atr_low[i] = up[i] - dev[i]
    return up, down, atr_high, atr_low, arrow_up, arrow_down


def signals(trend):
    rolled = np.roll(trend, 1)
    buy = np.where((trend == 0) & (rolled == 1), 1, 0)
    sell = np.where((trend == 1) & (rolled == 0), 1, 0)
    buy[:1] = 0
    sell[:1] = 0
    return buy, sell


def latest_zero(extreme):
    """np.max / np.min with a tie between +0.0 and -0.0 going to the later element, as NumPy
    itself does over short slices; over longer ones NumPy's choice varies with its SIMD width."""
    def reduce(window):
        value = extreme(window)
        return window[window == 0][-1] if value == 0 else value
    return reduce


def halftrend(high, low, close, tr, amplitude=2, channel_deviation=2.0, tema3=tema3,
              window_max=np.max, window_min=np.min):
    n = len(high)
    atr2 = tr * 0.5
    dev = channel_deviation * atr2
    high_price = np.empty_like(high)
    low_price = np.empty_like(low)
    for i in range(min(amplitude, n)):
        high_price[i] = window_max(high[0:i + 1])
        low_price[i] = window_min(low[0:i + 1])
    for i in range(amplitude, n):
        high_price[i] = window_max(high[i - amplitude + 1:i + 1])
        low_price[i] = window_min(low[i - amplitude + 1:i + 1])
    highma = tema3(high, amplitude * 2)
    lowma = tema3(low, amplitude * 2)
    trend, max_low_price, min_high_price = _trend_pass(
        high, low, close, high_price, low_price, highma, lowma)
    up, down, atr_high, atr_low, arrow_up, arrow_down = _line_pass(
        trend, max_low_price, min_high_price, atr2, dev)
    buy, sell = signals(trend)
    return {
        "halftrend": np.where(trend == 0, up, down),
        "atrHigh": atr_high,
        "atrLow": atr_low,
        "arrowUp": arrow_up,
        "arrowDown": arrow_down,
        "buy": buy,
        "sell": sell,
    }
