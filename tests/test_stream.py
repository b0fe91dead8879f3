"""ornivex.stream: any split of a series into update calls and extend chunks,
with a pickle or copy round trip on the way, gives the whole-series result
bit for bit."""

import copy
import doctest
import inspect
import pickle
import threading

import numpy as np
import pytest

from conftest import same_bits
from models import swing_model
from ornivex import indicators, stream, swing_v4, trend_v4

SPECIAL = [np.nan, np.inf, -np.inf, 0.0, -0.0]


def average_true_range_model(high, low, close, length):
    """The average true range as indicators.py computed it before it became
    stream.Atr: NumPy's fmax per bar, then the recursion in Python floats."""
    result = np.empty(len(high))
    average, count, previous_close = np.nan, 0, np.nan
    for i, (h, l, c) in enumerate(zip(high.tolist(), low.tolist(), close.tolist())):
        gap = np.fmax(abs(h - previous_close), abs(l - previous_close))
        value = np.nan if h != h or l != l else float(np.fmax(h - l, gap))
        previous_close = c
        if value == value:
            count = min(count + 1, length)
            average = value if count == 1 else average + (value - average) / count
        result[i] = average
    return result


def one(result):
    return [np.asarray(result)]


def swing_whole(x, period=3, multiplier=1.5):
    """The batch result as columns; a series too short for the windows has
    none, and the stream gives the filter over NaN ranges there."""
    if len(x) >= 3 * (period - 1):
        return list(swing_v4.QuorvelSwing().quorvel_swing(x, period, multiplier).T)
    return list(swing_model.range_filter(x, np.full(len(x), np.nan)).T)


# name -> (make the stream, number of inputs, dtype, whole-series function
#          giving its outputs as a list of arrays)
CLASSES = {
    "Ewma": (lambda: stream.Ewma(0.3), 1, np.float32, lambda x: one(trend_v4.ewma(x, 0.3))),
    "Ema2": (lambda: stream.Ema2(5), 1, np.float32, lambda x: one(trend_v4.ema2(x, 5.0))),
    "Tema3": (lambda: stream.Tema3(4), 1, np.float32, lambda x: one(trend_v4.tema3(x, 4))),
    "Atr": (lambda: stream.Atr(5), 3, np.float64, lambda h, l, c: one(average_true_range_model(h, l, c, 5))),
    "HalfTrend": (lambda: stream.HalfTrend(3, 1.5), 4, np.float32,
                  lambda h, l, c, tr: list(trend_v4.halftrend(h, l, c, tr, 3, 1.5).values())),
    "Swing": (lambda: stream.Swing(3, 1.5), 1, np.float64, swing_whole),
}


def random_columns(rng, count, dtype, n):
    columns = []
    for _ in range(count):
        values = 100 + np.cumsum(rng.standard_normal(n))
        spots = rng.random(n) < 0.05
        values[spots] = rng.choice(SPECIAL, size=int(spots.sum()))
        columns.append(values.astype(dtype))
    return columns


def split_run(make, columns, rng):
    """Feeds the columns bar by bar and chunk by chunk, round-tripping the
    object through pickle or copy at one random bar; the outputs, joined."""
    n = len(columns[0])
    obj, pieces, i = make(), [], 0
    checkpoint = int(rng.integers(0, n + 1))
    while i < n or checkpoint == n:
        if i == checkpoint:
            how = int(rng.integers(-2, pickle.HIGHEST_PROTOCOL + 1))
            obj = {-2: copy.copy, -1: copy.deepcopy}.get(how, lambda o: pickle.loads(pickle.dumps(o, how)))(obj)
            checkpoint = -1
            continue
        if rng.random() < 0.4:
            values = [c[i] if rng.random() < 0.5 else float(c[i]) for c in columns]
            row = obj.update(*values)
            pieces.append([np.asarray(v)[None] for v in (row if isinstance(row, tuple) else (row,))])
            i += 1
        else:
            # Mostly short chunks; now and then one long enough for the batch pass.
            k = int(rng.integers(0, 12)) if rng.random() < 0.85 else int(rng.integers(128, 300))
            chunks = [c[i:i + k] if rng.random() < 0.5 else c[i:i + k][::-1].copy()[::-1] for c in columns]
            block = obj.extend(*chunks)
            columns_of = block.values() if isinstance(block, dict) else block.T if block.ndim == 2 else [block]
            pieces.append([np.asarray(v) for v in columns_of])
            i += len(chunks[0])
    return [np.concatenate([p[k] for p in pieces]) for k in range(len(pieces[0]))] if pieces else []


@pytest.mark.parametrize("name", CLASSES)
@pytest.mark.parametrize("seed", range(40))
def test_any_split_equals_whole_series(name, seed):
    make, count, dtype, whole = CLASSES[name]
    rng = np.random.default_rng(seed)
    columns = random_columns(rng, count, dtype, int(rng.integers(1, 60) if seed % 4 else rng.integers(200, 700)))
    expected = whole(*columns)
    got = split_run(make, columns, rng)
    for g, e in zip(got, expected, strict=True):
        assert same_bits(g.astype(e.dtype), e, nan_payloads=False), (name, g, e)


@np.errstate(invalid="ignore")
def true_range_model(high, low, close):
    previous_close = np.concatenate(([np.nan], close[:-1]))
    result = np.fmax(high - low, np.fmax(np.abs(high - previous_close), np.abs(low - previous_close)))
    result[np.isnan(high) | np.isnan(low)] = np.nan
    return result


def trend_model(buy, sell):
    side, trend = 0, []
    for b, s in zip(buy.tolist(), sell.tolist()):
        side = 1 if s == 1 else 0 if b == 1 else side
        trend.append(side)
    return np.array(trend, dtype=np.int8)


@pytest.mark.parametrize("seed", range(4))
def test_single_series_rules_are_the_native_ones(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(0, 300))
    high, low, close = random_columns(rng, 3, np.float64, n)
    assert same_bits(indicators.average_true_range(high, low, close, 14),
                     average_true_range_model(high, low, close, 14))
    assert same_bits(indicators.true_range(high, low, close), true_range_model(high, low, close))
    buy, sell = rng.integers(0, 3, n), rng.integers(0, 3, n)
    np.testing.assert_array_equal(indicators.trend_from_signals(buy, sell), trend_model(buy, sell))
    as_flags = indicators.trend_from_signals((buy == 1).astype(np.float32), list(sell == 1))  # floats 0/1, bools
    np.testing.assert_array_equal(as_flags, trend_model(buy, sell))


BAD_CALLS = [
    (lambda: stream.Atr(0), ValueError, "length must be a whole number of at least 1, got 0"),
    (lambda: stream.Atr(2.0), ValueError, "length must be a whole number of at least 1, got 2.0"),
    (lambda: stream.Atr(True), ValueError, "length must be a whole number of at least 1, got True"),
    (lambda: stream.Ewma(), TypeError, "Ewma() takes exactly 1 positional argument (0 given)"),
    (lambda: stream.Ewma("0.5"), ValueError, "alpha must be a finite number in (0, 1], got '0.5'"),
    (lambda: stream.Ewma(0), ValueError, "alpha must be a finite number in (0, 1], got 0"),
    (lambda: stream.Ewma(1.5), ValueError, "alpha must be a finite number in (0, 1], got 1.5"),
    (lambda: stream.Ema2(14.5), ValueError, "length must be a whole number of at least 1, got 14.5"),
    (lambda: stream.Tema3(0), ValueError, "length must be a whole number of at least 1, got 0"),
    (lambda: stream.Ewma(0.5).update(1.0, 2.0), TypeError, "update() takes exactly 1 positional argument (2 given)"),
    (lambda: stream.Ewma(0.5).update(None), TypeError, "must be real number, not NoneType"),
    (lambda: stream.Ewma(0.5).extend([1.0]), TypeError,
     "Argument 'values' has incorrect type (expected numpy.ndarray, got list)"),
    (lambda: stream.Ewma(0.5).extend(np.zeros(2)), ValueError,
     "Buffer dtype mismatch, expected 'float32_t' but got 'double'"),
    (lambda: stream.Atr().extend(np.zeros(2), np.zeros(3), np.zeros(2)), ValueError,
     "extend() needs arrays of equal length, got high of length 2, low of length 3, close of length 2"),
    (lambda: stream.Ewma(0.5).__setstate__((1,)), ValueError, "Ewma state must be a tuple of 2 items, got 1 items"),
    (lambda: stream.Atr(3).__setstate__((4, 0, 0)), ValueError, "Atr state: a count is out of range"),
    (lambda: stream.Tema3(3).__setstate__([0, 0, 0, 0, 0]), TypeError, "Tema3 state must be a tuple of 5 items, got list"),
    (lambda: stream.HalfTrend(0), ValueError, "amplitude must be a whole number of at least 1, got 0"),
    (lambda: stream.HalfTrend(2**31), ValueError, "HalfTrend() amplitude must be at most 2147483647, got 2147483648"),
    (lambda: stream.HalfTrend(channel_deviation="2"), ValueError,
     "channel_deviation must be a finite number of at least 0, got '2'"),
    (lambda: stream.HalfTrend(channel_deviation=-1), ValueError,
     "channel_deviation must be a finite number of at least 0, got -1"),
    (lambda: stream.Swing(multiplier=float("nan")), ValueError,
     "multiplier must be a finite number of at least 0, got nan"),
    (lambda: stream.Swing(multiplier=10**400), ValueError,
     "multiplier must be a finite number of at least 0, got " + str(10**400)),
    (lambda: stream.HalfTrend().update(1.0, 0.5, 0.7), TypeError,
     "update() takes exactly 4 positional arguments (3 given)"),
    (lambda: stream.HalfTrend(2).__setstate__((3,) + (0,) + (0.0,) * 15 + (1.0, 0.5)), ValueError,
     "HalfTrend state: the window must hold min(bars, amplitude) bars"),
    (lambda: stream.Swing(period=-1), ValueError, "period must be a whole number of at least 1, got -1"),
    (lambda: stream.Swing(14.0), ValueError, "period must be a whole number of at least 1, got 14.0"),
    (lambda: stream.Swing().extend(np.zeros((2, 2))), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (lambda: stream.Swing(2).__setstate__((2, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0)), ValueError,
     "Swing state: the windows must hold the values the bars so far leave"),
    # Signals that are not whole numbers are refused, never truncated (0.9 -> 0 would lose a signal).
    *((lambda buy=buy, sell=sell: indicators.trend_from_signals(buy, sell), ValueError,
       f"{name} signals must be whole numbers or booleans (floats only 0.0 or 1.0), got {got} at index {index}")
      for buy, sell, name, got, index in ((np.array([0, 1, 0.9]), np.zeros(3), "buy", "0.9", 2),
                                          ([0, 1], [0.0, float("nan")], "sell", "nan", 1),
                                          (np.zeros(1), np.array(["1"]), "sell", "'1'", 0))),
    # Counts that leave no room for the next bars.
    (lambda: stream.HalfTrend(2).__setstate__((2**63 - 1, 1) + (0.0,) * 15 + (1.0, 0.5) * 2), ValueError,
     "HalfTrend state: a count is out of range"),
    (lambda: stream.Swing(2).__setstate__((2**63 - 6, 0.0, 0.0, 0.0, 0.0, 0.0, 1.0, 1.0, 1.0)), ValueError,
     "Swing state: a count is out of range"),
]


@pytest.mark.parametrize("call, error, message", BAD_CALLS)
def test_bad_input(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == message


@pytest.mark.parametrize("name", CLASSES)
def test_help_gives_the_signature_and_a_working_example(name):
    cls = getattr(stream, name)
    assert str(inspect.signature(cls)) == cls.__text_signature__.replace("$", "")
    assert all(f"{parameter}:" in cls.__doc__ for parameter in inspect.signature(cls).parameters)
    test = doctest.DocTestParser().get_doctest(cls.__doc__, vars(stream), name, None, 0)
    assert test.examples and doctest.DocTestRunner().run(test).failed == 0


@pytest.mark.parametrize("name", CLASSES)
def test_refused_call_keeps_state(name):
    make, count, dtype, _ = CLASSES[name]
    obj = make()
    obj.extend(*random_columns(np.random.default_rng(3), count, dtype, 20))
    state = obj.__reduce__()[2]
    unequal = [np.zeros(2, dtype)] * (count - 1) + [np.zeros(3, dtype)] if count > 1 else [np.zeros(3, np.int32)]
    for call in (lambda: obj.update(*["x"] * count), lambda: obj.extend(*unequal), lambda: obj.__setstate__((1, 2))):
        with pytest.raises((TypeError, ValueError)):
            call()
        assert repr(obj.__reduce__()[2]) == repr(state)


def test_threads_share_one_object_without_losing_bars():
    atr = stream.Atr(10**9)  # the count of bars is part of the state
    bars = np.arange(1.0, 10001.0)

    def feed():
        for _ in range(20):
            atr.extend(bars, bars - 0.5, bars)
            atr.update(2.0, 1.0, 1.5)

    threads = [threading.Thread(target=feed) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert atr.__reduce__()[2][0] == 2 * 20 * (len(bars) + 1)
