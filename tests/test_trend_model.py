"""The literal trend model against the worked examples, so it can be trusted as an oracle."""

import numpy as np
import pytest

from conftest import f32
from models import trend_model as model

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

NUMPY_2 = int(np.__version__.split(".")[0]) >= 2


def bits(x):
    return int(np.float32(x).view(np.uint32))


def test_ewma_worked_values():
    assert model.ewma(f32([2, 4, 8]), 0.5).tolist() == [2, 3, 5.5]
    assert model.ewma(f32([]), 0.5).dtype == np.float32
    first = f32([-0.0, 1.0])
    assert np.signbit(model.ewma(first, 0.3)[0])


def test_ewma_special_factors_poison_later_elements():
    series = f32([1, 2, np.inf, 4])
    assert model.ewma(series, 1.0)[2] == np.inf and np.isnan(model.ewma(series, 1.0)[3])
    assert np.isnan(model.ewma(series, 0.0)[2:]).all()
    assert model.ewma(series, 0.0)[1] == 1.0
    assert np.isnan(model.ewma(f32([1, 2]), np.nan)[1])


def test_promotion_shows_in_the_last_bit():
    series = f32([1, 2])
    widened = model.ema2(series, 2.0, ewma=model.ewma_widened)
    assert bits(widened[1]) == 0x3FD55555
    if NUMPY_2:
        assert bits(model.ema2(series, 2.0)[1]) == 0x3FD55556


@pytest.mark.parametrize("length, alpha", [(14, 2 / 15), (2.5, 2 / 3.5), (1, 1.0), (0, 1.0),
                                           (-5, 1.0), (np.nan, 1.0), (np.inf, 0.0)])
def test_ema2_derives_alpha(length, alpha):
    seen = []
    model.ema2(f32([1]), length, ewma=lambda s, a: seen.append(a))
    assert seen == [alpha]


def test_tema3_stages():
    out = model.tema3(f32([0, 3]), 2)
    assert out[0] == 0 and out.dtype == np.float32
    assert out[1] == pytest.approx(130 / 27, rel=1e-6)
    assert model.tema3(f32([1, 2]), 1).tolist() == [1, 2]
    assert model.tema3(f32([-0.0]), 4).tolist() == [0.0] and not np.signbit(model.tema3(f32([-0.0]), 4)[0])
    assert np.isnan(model.tema3(f32([np.inf]), 4)[0])


def test_tema3_calls_ema2_eleven_times_in_order():
    calls = []

    def counting(source, length):
        calls.append((source, length))
        return model.ema2(source, length)

    source = f32([1, 5, 2])
    model.tema3(source, 3, ema2=counting)
    stages = [source]
    for _ in range(3):
        stages.append(model.ema2(stages[-1], 3.0))
    order = [0, 1, 2, 1, 2, 1, 2, 3, 1, 2, 3]
    assert len(calls) == 11 and all(length == 3.0 and type(length) is float for _, length in calls)
    assert all(np.array_equal(arg, stages[k]) for (arg, _), k in zip(calls, order))


def test_signals_roll_example_with_bar_zero_cleared():
    buy, sell = model.signals(np.array([0, 0, 1, 1], dtype=np.int32))
    assert buy.tolist() == [0, 0, 0, 0] and sell.tolist() == [0, 0, 1, 0]
    buy, sell = model.signals(np.array([0, 0, 1, 0], dtype=np.int32))
    assert buy.tolist() == [0, 0, 0, 1] and sell.tolist() == [0, 0, 1, 0]
    assert buy.dtype == np.int_


def test_halftrend_one_bar():
    r = model.halftrend(f32([5]), f32([3]), f32([4]), f32([2]), amplitude=1)
    assert list(r) == ["halftrend", "atrHigh", "atrLow", "arrowUp", "arrowDown", "buy", "sell"]
    assert [r[k].tolist() for k in r] == [[3], [5], [1], [0], [0], [0], [0]]
    # the default amplitude exceeds one bar: the window simply stops at the last bar
    assert model.halftrend(f32([5]), f32([3]), f32([4]), f32([2]))["halftrend"].tolist() == [3]


def test_halftrend_switches_down_then_up():
    # Rises, falls through the running lows, then climbs over the running highs.
    high = f32([10, 11, 12, 13, 9, 7, 6, 9, 12, 14])
    low = high - 1
    close = high - 0.5
    tr = np.ones(10, dtype=np.float32)
    r = model.halftrend(high, low, close, tr, amplitude=2, channel_deviation=2.0)
    assert r["sell"].sum() == 1 and r["buy"].sum() == 1
    down, up = int(np.argmax(r["sell"])), int(np.argmax(r["buy"]))
    assert 0 < down < up
    line = r["halftrend"]
    assert line[down] == line[down - 1] and line[up] == line[up - 1]
    assert r["arrowDown"][down] == line[down] + 0.5 and r["arrowUp"][up] == line[up] - 0.5
    assert np.count_nonzero(r["arrowDown"]) == 1 and np.count_nonzero(r["arrowUp"]) == 1
    assert np.array_equal(r["atrHigh"], line + 1) and np.array_equal(r["atrLow"], line - 1)
    assert np.all(np.diff(line[:down]) >= 0) and np.all(np.diff(line[down:up]) <= 0)
