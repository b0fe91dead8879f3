"""tema3 against the literal model, and the eleven ema2 calls seen through rebinding."""

import traceback
import types

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from conftest import f32, same_bits, same_values
from models import trend_model as model
from ornivex import trend_v4 as t

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

SPECIAL = [0.0, -0.0, np.nan, np.inf, -np.inf, float(np.float32(1e-45)), float(np.float32(3.4e38))]
LENGTHS = [1, 2, 4, 14, 0, -5, 2.5, np.nan, np.inf, 1e9]


@settings(max_examples=500, deadline=None)
@given(
    hnp.arrays(np.float32, st.integers(0, 50), elements=st.one_of(st.floats(width=32), st.sampled_from(SPECIAL))),
    st.one_of(st.sampled_from(LENGTHS), st.floats(-10, 100)),
)
def test_matches_the_literal_composition(source, length):
    assert same_values(t.tema3(source, length), model.tema3(source, length))


@pytest.mark.parametrize("layout", [lambda a: a[::2], lambda a: a[::-1],
                                    lambda a: np.frombuffer(a.tobytes(), np.float32)])
def test_strided_reversed_and_read_only_sources(layout):
    source = layout(np.cumsum(np.random.default_rng(3).normal(size=2001)).astype(np.float32))
    before = source.copy()
    assert same_bits(t.tema3(source, 7), model.tema3(np.array(source), 7))
    assert same_bits(source, before)


def test_worked_example_and_seed():
    out = t.tema3(f32([0, 3]), 2)
    assert out[0] == 0 and abs(out[1] - 130 / 27) < 1e-5
    assert same_bits(t.tema3(f32([-0.0]), 3), f32([0.0]))
    assert np.isnan(t.tema3(f32([np.inf]), 3)).all()


def recording_ema2(log, inner):
    def ema2(source, length):
        log.append((source, length))
        return inner(source, length)
    return ema2


def test_eleven_ema2_calls_in_order_with_float_lengths(restore_trend_globals):
    source = np.linspace(1, 9, 50, dtype=np.float32)
    expected = t.tema3(source, 3)
    calls = []
    restore_trend_globals.ema2 = recording_ema2(calls, t.ema2)
    assert same_bits(t.tema3(source, 3), expected)
    assert len(calls) == 11 and all(type(length) is float and length == 3 for _, length in calls)
    e1 = calls[1][0]
    assert calls[0][0] is source and all(calls[k][0] is e1 for k in (1, 3, 5, 8))
    # every E2 and E3 handed on is the stage computed just before it
    stages = [k for k in range(11) if k not in (0, 1, 3, 5, 8)]
    assert all(same_bits(calls[k][0], model.ema2(calls[k - 1][0], 3.0)) for k in stages)


def test_a_rebinding_by_a_called_ema2_counts_from_the_next_look_up(restore_trend_globals):
    first, second = [], []
    own = t.ema2

    def rebinding(source, length):
        first.append(source)
        if len(first) == 2:  # the inner call of step 2; its outer callee is already fetched
            restore_trend_globals.ema2 = recording_ema2(second, own)
        return own(source, length)

    restore_trend_globals.ema2 = rebinding
    t.tema3(f32([1, 2, 3]), 2)
    assert len(first) == 3 and len(second) == 8


class Sub(np.ndarray):
    pass


@pytest.mark.parametrize("rebind", [
    lambda m: setattr(m, "ewma", model.ewma),
    lambda m: setattr(m, "np", types.SimpleNamespace(empty=np.empty, float32=np.float32)),
    lambda m: setattr(m, "ema2", lambda s, n: model.ema2(s, n, ewma=t.ewma)),
    None,  # an ndarray subclass as source
])
def test_every_composed_path_gives_the_fused_result(restore_trend_globals, rebind):
    source = np.cumsum(np.random.default_rng(5).normal(size=300)).astype(np.float32)
    expected = t.tema3(source, 9)
    if rebind is None:
        source = source.view(Sub)
    else:
        rebind(restore_trend_globals)
    assert same_bits(np.asarray(t.tema3(source, 9)), expected)


def raised(call):
    with pytest.raises(Exception) as info:
        call()
    return info


def test_failures(restore_trend_globals):
    calls = []
    restore_trend_globals.ema2 = recording_ema2(calls, t.ema2)
    info = raised(lambda: t.tema3(np.zeros(3), 2))
    assert str(info.value) == "Buffer dtype mismatch, expected 'float32_t' but got 'double'" and calls == []

    restore_trend_globals.ewma = lambda s, a: np.asarray(s, np.float64)
    info = raised(lambda: t.tema3(f32([1, 2]), 2))
    assert str(info.value) == "Buffer dtype mismatch, expected 'float32_t' but got 'double'"
    assert [f.name for f in traceback.extract_tb(info.value.__traceback__)][-1] == "ornivex.trend_v4.tema3"

    restore_trend_globals.ema2 = lambda s, n: [1.0, 2.0]
    assert str(raised(lambda: t.tema3(f32([1, 2]), 2)).value) == "Cannot convert list to numpy.ndarray"
    del restore_trend_globals.ema2
    assert str(raised(lambda: t.tema3(f32([1, 2]), 2)).value) == "name 'ema2' is not defined"
