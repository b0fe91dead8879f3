"""halftrend against the literal model on random bars, along every path, and its decided fixes."""

import traceback

import numpy as np
import pytest

from conftest import f32, same_values
from hostile import numpy_proxy
from models import trend_model as model
from ornivex import trend_v4 as t

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

KEYS = ["halftrend", "atrHigh", "atrLow", "arrowUp", "arrowDown", "buy", "sell"]
DEVIATIONS = [2.0, 0.0, -1.5, 0.3, 1e30, 1e300, np.nan]
EMPTY_MAX = "zero-size array to reduction operation maximum which has no identity"


def same_result(got, expected):
    assert list(got) == KEYS == list(expected)
    for key in KEYS:
        assert same_values(got[key], expected[key]), key


def bars(rng, n, specials=0.3):
    """A random walk of OHLC bars with the caller's range; sometimes NaN, inf and 0 sprinkled in."""
    close = (np.cumsum(rng.normal(size=n)) + 100).astype(np.float32)
    high = close + np.abs(rng.normal(size=n)).astype(np.float32)
    low = close - np.abs(rng.normal(size=n)).astype(np.float32)
    series = [high, low, close, high - low]
    if rng.random() < specials:
        for a in series:
            spots = rng.integers(0, n, rng.integers(0, 3))
            a[spots] = rng.choice([np.nan, np.inf, -np.inf, 0.0], len(spots))
    return series


@pytest.mark.parametrize("seed", range(4))
def test_random_bars_match_the_literal_model(seed):
    rng = np.random.default_rng(seed)
    for _ in range(400):
        n = int(rng.integers(1, 120))
        series = bars(rng, n)
        amplitude = int(rng.choice([rng.integers(1, 10), rng.integers(1, n + 4)]))
        deviation = float(rng.choice(DEVIATIONS))
        if (deviation * (series[3] * 0.5)).dtype == np.float32:
            same_result(t.halftrend(*series, amplitude, deviation), model.halftrend(*series, amplitude, deviation))
        else:  # NumPy 1.x widens dev for a factor beyond float32's range
            with pytest.raises(ValueError, match="^Buffer dtype mismatch, expected 'float32_t' but got 'double'$"):
                t.halftrend(*series, amplitude, deviation)


@pytest.mark.parametrize("specials", [0.0, 1.0], ids=["finite", "specials"])
@pytest.mark.parametrize("amplitude", [1, 2, 3, 8, 9, 40, 128, 129, 1000, 2**31 - 1])
def test_long_series_with_short_and_long_windows(amplitude, specials):
    # 4000 bars cross several of the fused pass's blocks; 128 / 129 sit on either side of the
    # windows scanned per block; finite series take the long windows' NaN-free steps.
    series = bars(np.random.default_rng(amplitude % 97), 4000, specials=specials)
    expected = model.halftrend(*series, amplitude)
    same_result(t.halftrend(*series, amplitude), expected)
    same_result(t.halftrend(*[np.repeat(a, 2)[::2] for a in series], amplitude), expected)


class Sub(np.ndarray):
    pass


PATHS = {
    "fused": lambda m, s: s,
    "tema3 rebound": lambda m, s: setattr(m, "tema3", lambda x, n: model.tema3(x, n, ema2=t.ema2)) or s,
    "ema2 rebound": lambda m, s: setattr(m, "ema2", lambda x, n: model.ema2(x, n, ewma=t.ewma)) or s,
    "ewma rebound": lambda m, s: setattr(m, "ewma", model.ewma) or s,
    "np rebound": lambda m, s: setattr(m, "np", numpy_proxy([])) or s,
    "subclass input": lambda m, s: [a.view(Sub) for a in s],
    "read-only input": lambda m, s: [np.frombuffer(a.tobytes(), np.float32) for a in s],
    "strided input": lambda m, s: [np.repeat(a, 2)[::2] for a in s],
    "reversed input": lambda m, s: [np.ascontiguousarray(a[::-1])[::-1] for a in s],
}


@pytest.mark.parametrize("path", PATHS)
def test_every_path_gives_the_model_result(restore_trend_globals, path):
    rng = np.random.default_rng(11)
    for n, amplitude in [(1, 2), (3, 1), (60, 3), (500, 12)]:
        series = bars(rng, n, specials=0.0)
        expected = model.halftrend(*series, amplitude, 1.7)
        copies = [a.copy() for a in series]
        inputs = PATHS[path](restore_trend_globals, series)
        same_result(t.halftrend(*inputs, amplitude, 1.7), expected)
        assert all(np.array_equal(a, b) for a, b in zip(inputs, copies))


def test_rebound_np_sees_the_whole_array_steps(restore_trend_globals):
    log = []
    restore_trend_globals.np = numpy_proxy(log)
    restore_trend_globals.tema3 = model.tema3
    t.halftrend(*bars(np.random.default_rng(2), 30))
    assert [name for name in log if name in ("empty_like", "zeros", "where", "roll")] == (
        ["empty_like"] * 2 + ["zeros"] * 10 + ["where", "where", "roll", "where", "roll"])


def test_tema3_gets_the_raw_series_and_twice_amplitude_as_int(restore_trend_globals):
    calls = []
    restore_trend_globals.tema3 = lambda x, n: calls.append((x, n)) or model.tema3(x, n)
    high, low, close, tr = bars(np.random.default_rng(1), 9)
    t.halftrend(high, low, close, tr, 2**31 - 1)
    assert [(x is high, x is low, n) for x, n in calls] == [(True, False, 2**32 - 2), (False, True, 2**32 - 2)]
    assert all(type(n) is int for _, n in calls)


def down_at_the_end(rng):
    while True:
        series = bars(rng, 40, specials=0.0)
        result = t.halftrend(*series)
        if result["sell"].sum() > result["buy"].sum():  # the last switch went down
            return series, result


@pytest.mark.parametrize("path", ["fused", "np rebound"])
def test_the_first_bar_never_signals_and_its_channel_surrounds_the_line(restore_trend_globals, path):
    series, _ = down_at_the_end(np.random.default_rng(4))
    PATHS[path](restore_trend_globals, series)
    high, low, close, tr = series
    result = t.halftrend(high, low, close, tr, 2, 3.0)
    dev = np.float32(3.0) * (tr[0] * np.float32(0.5))
    assert result["buy"][0] == 0 == result["sell"][0]
    assert result["atrHigh"][0] == low[0] + dev and result["atrLow"][0] == low[0] - dev


def test_one_bar_with_the_default_amplitude():
    result = t.halftrend(f32([5]), f32([4]), f32([4.5]), f32([1]))
    assert {k: v.tolist() for k, v in result.items()} == {
        "halftrend": [4], "atrHigh": [5], "atrLow": [3], "arrowUp": [0], "arrowDown": [0], "buy": [0], "sell": [0]}
    assert [v.dtype for v in result.values()] == [np.float32] * 5 + [np.dtype(np.int_)] * 2


F, F4, D = f32([1, 2, 3, 4, 5]), f32([1, 2, 3, 4]), np.zeros(5)
ERRORS = [
    (lambda: t.halftrend([], F, F, F, "2", "x"), TypeError, "an integer is required"),
    (lambda: t.halftrend([], F, F, F, 2, "x"), TypeError, "must be real number, not str"),
    (lambda: t.halftrend(F, [], D, F), TypeError, "Argument 'low' has incorrect type (expected numpy.ndarray, got list)"),
    (lambda: t.halftrend(F, F4, D, F), ValueError, "Buffer dtype mismatch, expected 'float32_t' but got 'double'"),
    (lambda: t.halftrend(F, F4, F, F, 0), ValueError,
     "halftrend() needs arrays of equal length, got high of length 5, low of length 4, close of length 5, "
     "tr of length 5"),
    (lambda: t.halftrend(F, F, F, F, 0), ValueError, EMPTY_MAX),
    (lambda: t.halftrend(F, F, F, F, -3), ValueError, EMPTY_MAX),
    (lambda: t.halftrend(F[:0], F[:0], F[:0], F[:0]), ValueError, EMPTY_MAX),
]


@pytest.mark.parametrize("path", ["fused", "np rebound"])
@pytest.mark.parametrize("call, exc, message", ERRORS)
def test_errors_in_check_order(restore_trend_globals, path, call, exc, message):
    PATHS[path](restore_trend_globals, [])
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message
    assert "ornivex.trend_v4.halftrend" in [f.name for f in traceback.extract_tb(info.value.__traceback__)]


@pytest.mark.parametrize("smoothed, got", [(lambda x: None, "None"), (lambda x: x[:-1].copy(), "4")])
def test_a_short_smoothing_is_refused(restore_trend_globals, smoothed, got):
    restore_trend_globals.tema3 = lambda x, n: smoothed(x)
    with pytest.raises(ValueError) as info:
        t.halftrend(F, F, F, F)
    assert str(info.value) == f"halftrend() needs tema3 to return an array of at least 5 elements, got {got}"


def zero_heavy_bars(rng, n):
    """Bars whose highs and lows sit on +0.0 and -0.0 often, so that window extremes tie."""
    high = rng.choice(f32([0.0, -0.0, -1.0, 0.5]), n)
    low = rng.choice(f32([0.0, -0.0, 1.0, -0.5]), n)
    close = rng.choice(f32([0.0, -2.0, 2.0, 0.25, -0.25]), n)
    return [high, low, close, rng.choice(f32([0.0, 1.0]), n)]


LAYOUTS = ["fused", "strided input", "reversed input", "np rebound"]


@pytest.mark.parametrize("path", LAYOUTS)
def test_signed_zeros_in_a_window_follow_numpy(restore_trend_globals, path):
    # Up to 4 bars NumPy keeps the later of +0.0 and -0.0 on every CPU: the raw np.max / np.min decide.
    first = [f32([-np.inf, 101.08417, -0.0, 100.29828, 98.42341, 99.43489]),
             f32([0.0, 98.566154, -0.0, 98.98602, 96.82089, 98.170784]),
             f32([100.58432, 100.20357, 98.953835, 99.10691, 0.0, 98.419106]),
             f32([0.5688324, 2.518013, 1.3511581, -np.inf, 1.6025162, 1.2641068])]
    rng = np.random.default_rng(8)
    cases = [(first, 4)] + [(zero_heavy_bars(rng, int(rng.integers(1, 40))), amplitude)
                            for amplitude in range(1, 5) for _ in range(25)]
    for series, amplitude in cases:
        expected = model.halftrend(*series, amplitude, 0.0)
        same_result(t.halftrend(*PATHS[path](restore_trend_globals, series), amplitude, 0.0), expected)


@pytest.mark.parametrize("path", LAYOUTS)
def test_signed_zero_ties_go_to_the_later_bar_in_every_window_length(restore_trend_globals, path):
    rng = np.random.default_rng(9)
    extremes = {"window_max": model.latest_zero(np.max), "window_min": model.latest_zero(np.min)}
    for amplitude in [5, 8, 9, 16, 17, 33, 200]:
        series = zero_heavy_bars(rng, 300)
        expected = model.halftrend(*series, amplitude, 0.0, **extremes)
        same_result(t.halftrend(*PATHS[path](restore_trend_globals, series), amplitude, 0.0), expected)


SMALL_STACK = """
import threading, numpy as np
from ornivex import trend_v4
threading.stack_size(32768)  # the smallest Python allows
x = (100 + np.cumsum(np.random.default_rng(0).normal(size=3000))).astype(np.float32)
results = {}
def run():
    for amplitude in (2, 200):
        for series in ([x, x - 1, x, x * 0 + 2], [a[::-1] for a in (x, x - 1, x, x * 0 + 2)]):
            results[amplitude, len(results)] = trend_v4.halftrend(*series, amplitude)["halftrend"][-1]
thread = threading.Thread(target=run)
thread.start()
thread.join()
print(len(results))
"""


def test_halftrend_runs_on_the_smallest_thread_stack():
    import subprocess
    import sys
    child = subprocess.run([sys.executable, "-c", SMALL_STACK], capture_output=True, text=True, timeout=120)
    assert (child.returncode, child.stdout.strip()) == (0, "4"), child.stderr
