"""Literal NumPy model of the swing computations.

Slow on purpose: one NumPy call per window and a plain Python loop per bar,
following the documented steps one by one, so that it is obviously right.
The native code is compared against it.
"""

import numpy as np


def ema(x, period):
    """Mean of every complete window of `period` elements (not recursive):
    the products x[i + j] * (1/period) summed in index order, the same fixed
    order for every window and on every machine (np.dot's order depends on
    the BLAS kernel the CPU selects)."""
    weights = np.ones(period, dtype=np.float64) / period
    count = len(x) - period + 1
    result = np.zeros(count, dtype=np.float64)
    for j in range(period):  # one term of every window at a time
        result += x[j:j + count] * weights[j]
    return result


def nz(x):
    return 0.0 if x != x else x


def range_size(arr, range_period, range_multiplier):
    n = len(arr)
    arr_diff_abs = np.empty(n, dtype=np.float64)
    if n > 0:
        arr_diff_abs[0] = 0.0
    for i in range(1, n):
        arr_diff_abs[i] = abs(arr[i] - arr[i - 1])
    first_ema = ema(arr_diff_abs, range_period)
    second_ema = ema(first_ema, range_period * 2 - 1)
    pad_length = n - len(second_ema)
    result = np.empty(n, dtype=np.float64)
    result[:pad_length] = np.nan
    result[pad_length:] = second_ema * range_multiplier
    return result


def range_filter(x, r):
    n = len(x)
    range_filt = np.zeros(n, dtype=np.float64)
    hi_band = np.zeros(n, dtype=np.float64)
    lo_band = np.zeros(n, dtype=np.float64)
    if n > 0:
        range_filt[0] = x[0]
    for i in range(1, n):
        range_filt[i] = nz(range_filt[i - 1])
        if np.isnan(r[i]):
            filt = range_filt[i]
        else:
            prev = range_filt[i - 1]
            if x[i] > prev:
                filt = x[i] - r[i] if prev < x[i] - r[i] else prev
            else:
                filt = x[i] + r[i] if prev > x[i] + r[i] else prev
            range_filt[i] = filt
        hi_band[i] = r[i] + filt
        lo_band[i] = range_filt[i] - r[i]
    for i in range(1, n):
        if np.isnan(range_filt[i]):
            range_filt[i] = range_filt[i - 1]
            hi_band[i] = hi_band[i - 1]
            lo_band[i] = lo_band[i - 1]
    return np.vstack((hi_band, lo_band, range_filt)).T


def quorvel_swing(arr, swing_period, swing_multiplier):
    return range_filter(arr, range_size(arr, swing_period, swing_multiplier))
