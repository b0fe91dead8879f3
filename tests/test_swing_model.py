"""The swing model reproduces the documented worked examples."""

import numpy as np
import pytest

from models import swing_model as model

nan = np.nan


def a(*values):
    return np.array(values, dtype=np.float64)


@pytest.mark.parametrize(
    "x, period, expected",
    [
        (a(1, 2, 3, 4, 5), 2, a(1.5, 2.5, 3.5, 4.5)),
        (a(1, 2, 3, 4, 5), 1, a(1, 2, 3, 4, 5)),
        (a(1, 2, 3, 4, 5), 5, a(3.0)),
        (a(1, 2, 3, 4), 5, a()),
        (a(1, 2, 3), 0, a(0, 0, 0, 0)),
        (a(1, 2, nan, 4, 5, 6), 2, a(1.5, nan, nan, 4.5, 5.5)),
    ],
)
def test_ema_windows(x, period, expected):
    np.testing.assert_array_equal(model.ema(x, period), expected)


def test_ema_refuses_negative_sizes():
    with pytest.raises(ValueError, match="negative dimensions"):
        model.ema(a(1, 2, 3), -1)
    with pytest.raises(ValueError, match="negative dimensions"):
        model.ema(a(1, 2, 3), 5)


def test_nz():
    assert model.nz(nan) == 0.0
    assert np.signbit(model.nz(-0.0))
    assert model.nz(np.inf) == np.inf and model.nz(-np.inf) == -np.inf
    assert model.nz(3.5) == 3.5


@pytest.mark.parametrize(
    "multiplier, expected",
    [(1.0, a(nan, nan, nan, 1.5, 2.5, 3.5, 4.5)),
     (2.0, a(nan, nan, nan, 3.0, 5.0, 7.0, 9.0)),
     (nan, a(*[nan] * 7))],
)
def test_range_size_example(multiplier, expected):
    arr = a(1, 2, 4, 7, 11, 16, 22)
    np.testing.assert_array_equal(model.range_size(arr, 2, multiplier), expected)


def test_range_size_edges():
    np.testing.assert_array_equal(model.range_size(a(3, 1, 4, 1), 1, 2.0), a(0, 4, 6, 6))
    np.testing.assert_array_equal(model.range_size(a(1, 2, 3, 5, 8, 13), 3, 1.0), a(*[nan] * 6))
    np.testing.assert_array_equal(model.range_size(a(5, 5, 5, 5, 5), 2, 3.0), a(nan, nan, nan, 0, 0))
    # A NaN at bar 3 reaches outputs 3 .. 3 + 3p - 2.
    got = model.range_size(a(1, 2, 4, nan, 11, 16, 22, 29, 37, 46), 2, 1.0)
    np.testing.assert_array_equal(np.isnan(got), [True] * 8 + [False] * 2)
    assert model.range_size(a(), 1, 1.0).shape == (0,)
    for period in (0, 2, -1):
        with pytest.raises(ValueError, match="negative dimensions"):
            model.range_size(a(), period, 1.0)


@pytest.mark.parametrize(
    "x, r, rows",
    [
        (a(10, 12, 11, 15, 9), a(1, 1, 1, 1, 1),
         [(0, 0, 10), (12, 10, 11), (12, 10, 11), (15, 13, 14), (11, 9, 10)]),
        (a(7.5), a(nan), [(0, 0, 7.5)]),
        # Leading NaN ranges hold x[0]; the recursion starts from it at bar 3.
        (a(10, 12, 13, 15), a(nan, nan, nan, 1), [(0, 0, 10), (nan, nan, 10), (nan, nan, 10), (15, 13, 14)]),
        # A NaN first price: the filter stays NaN and the bands copy row 0.
        (a(nan, 12, 13), a(nan, 1, 1), [(0, 0, nan), (0, 0, nan), (0, 0, nan)]),
        # ... until a NaN range resets it to 0.0.
        (a(nan, 12, 13), a(nan, nan, 1), [(0, 0, nan), (nan, nan, 0), (13, 11, 12)]),
        # Negative ranges after NaN ranges: bar 9 rises above 1 to 5 - (-1).
        (a(1, 2, 1, 8, 5, 3, 2, 4, 8, 5), a(*[nan] * 9, -1),
         [(0, 0, 1)] + [(nan, nan, 1)] * 8 + [(5, 7, 6)]),
        # A NaN price holds the filter; a price equal to it holds too.
        (a(10, nan, 10), a(nan, 2, 2), [(0, 0, 10), (12, 8, 10), (12, 8, 10)]),
    ],
)
def test_range_filter_rows(x, r, rows):
    got = model.range_filter(x, r)
    assert got.shape == (len(x), 3) and got.dtype == np.float64
    np.testing.assert_array_equal(got, np.array(rows, dtype=np.float64))


def test_range_filter_empty_and_layout():
    assert model.range_filter(a(), a()).shape == (0, 3)
    got = model.quorvel_swing(a(1, 2, 4, 7, 11, 16, 22), 2, 1.0)
    assert got.flags.f_contiguous and got.base.shape == (3, 7)
