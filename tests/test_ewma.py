"""ewma and ema2 against a literal model of the element loop, bit for bit."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from conftest import LEGACY_NUMPY, f32, same_bits
from models import trend_model as model
from ornivex import trend_v4 as t

SPECIAL = [0.0, -0.0, np.nan, np.inf, -np.inf, 1e-45, 3.4e38, -1.5]
SPECIAL_BITS = [int(b) for b in np.array(SPECIAL, dtype=np.float32).view(np.uint32)]

# Raw bit patterns: every float32 is reachable, subnormals and NaN payloads included.
series_strategy = hnp.arrays(
    np.uint32,
    st.integers(0, 40),
    elements=st.one_of(st.integers(0, 2**32 - 1), st.sampled_from(SPECIAL_BITS)),
).map(lambda bits: bits.view(np.float32))
alpha_strategy = st.one_of(
    st.sampled_from([0.0, 1.0, 0.5, 2 / 15, float("nan"), float("inf"), -0.5, 1.5, 1e300]),
    st.floats(allow_nan=True, allow_infinity=True),
)


@settings(max_examples=400, deadline=None)
@given(series_strategy, alpha_strategy)
def test_ewma_matches_the_literal_loop(series, alpha):
    with np.errstate(all="ignore"):
        expected = model.ewma(series, alpha)
    # Under NumPy 1.x the products are double and the compiler may order a
    # NaN-by-NaN product either way, so only NaN payloads may differ there.
    assert same_bits(t.ewma(series, alpha), expected, nan_payloads=not LEGACY_NUMPY)


@pytest.mark.parametrize(
    "layout",
    [
        lambda a: a[::2],
        lambda a: a[::-1],
        lambda a: a[::-3],
        lambda a: np.lib.stride_tricks.as_strided(a, shape=(5,), strides=(0,)),
        lambda a: np.frombuffer(a.tobytes(), dtype=np.float32),  # read-only
        lambda a: np.frombuffer(b"\0" + a.tobytes(), dtype=np.float32, count=len(a), offset=1),  # unaligned
    ],
)
def test_any_layout_is_read_as_it_is(layout):
    rng = np.random.default_rng(7)
    base = rng.normal(size=101).astype(np.float32)
    series = layout(base)
    before = series.copy()
    result = t.ewma(series, 0.3)
    assert result.flags.c_contiguous and len(result) == len(series)
    assert same_bits(result, model.ewma(np.array(series), 0.3))
    assert same_bits(series, before)


def test_long_series():
    series = np.cumsum(np.random.default_rng(1).normal(size=50_000)).astype(np.float32)
    assert same_bits(t.ewma(series, 0.01), model.ewma(series, 0.01))


@pytest.mark.parametrize(
    "series, alpha, expected",
    [
        ([2, 4, 8], 0.5, [2, 3, 5.5]),
        ([7.25], 0.3, [7.25]),
        ([], 0.3, []),
        ([1, 2, np.inf, 3], 1.0, [1, 2, np.inf, np.nan]),
        ([5, 2, 3], 0.0, [5, 5, 5]),
        ([5, np.nan, 3], 0.0, [5, np.nan, np.nan]),
        ([5, 2, 3], np.nan, [5, np.nan, np.nan]),
    ],
)
def test_worked_values(series, alpha, expected):
    np.testing.assert_array_equal(t.ewma(f32(series), alpha), f32(expected))


@pytest.mark.parametrize("first", [np.float32(-0.0), np.float32(np.nan), np.float32(-np.inf),
                                   np.uint32(0x7FC01234).view(np.float32)])
def test_element_zero_is_a_bit_copy(first):
    series = np.array([first, 1.0], dtype=np.float32)
    assert same_bits(t.ewma(series, 0.5)[:1], series[:1])


def test_promotion_shows_in_the_last_bit():
    bits = t.ema2(f32([1, 2]), 2).view(np.uint32)[1]
    assert bits == (0x3FD55555 if LEGACY_NUMPY else 0x3FD55556)


@pytest.mark.parametrize(
    "length, alpha",
    [(14, 2 / 15), (2, 2 / 3), (2.5, 2 / 3.5), (1, 1.0), (0, 1.0), (-5, 1.0), (float("nan"), 1.0),
     (float("inf"), 0.0)],
)
def test_ema2_derives_alpha(length, alpha):
    series = np.random.default_rng(3).normal(size=50).astype(np.float32)
    assert same_bits(t.ema2(series, length), t.ewma(series, alpha))


def test_ema2_calls_the_module_level_ewma(restore_trend_globals):
    calls = []

    def spy(series, alpha):
        calls.append((series, alpha))
        return "anything"

    source = f32([1, 2, 3])
    restore_trend_globals.ewma = spy
    assert t.ema2(source, 2) == "anything"
    assert calls[0][0] is source and calls[0][1] == 2 / 3 and type(calls[0][1]) is float

    del restore_trend_globals.ewma
    with pytest.raises(NameError, match="^name 'ewma' is not defined$"):
        t.ema2(source, 2)


def test_ema2_checks_its_source_before_calling_ewma(restore_trend_globals):
    restore_trend_globals.ewma = lambda *a: pytest.fail("ewma must not be called")
    with pytest.raises(ValueError, match="expected 'float32_t' but got 'double'"):
        t.ema2(np.zeros(3), 2)


class Recording(np.ndarray):
    """A subclass whose item access is observable."""

    reads = 0

    def __getitem__(self, index):
        type(self).reads += 1
        return super().__getitem__(index)


def test_subclass_inputs_run_through_their_item_access():
    series = np.arange(6, dtype=np.float32).view(Recording)
    Recording.reads = 0
    result = t.ewma(series, 0.25)
    assert Recording.reads == 5
    assert same_bits(np.asarray(result), model.ewma(np.asarray(series), 0.25))


def test_rebound_np_allocates_the_result(restore_trend_globals):
    calls = []

    class FakeNumpy:
        float32 = np.float32

        @staticmethod
        def empty(n, dtype):
            calls.append((n, dtype))
            return np.empty(n, dtype).view(Recording)

    restore_trend_globals.np = FakeNumpy
    result = t.ewma(f32([1, 2, 3]), 0.5)
    assert calls == [(3, np.float32)] and type(result) is Recording
    np.testing.assert_array_equal(result, f32([1, 1.5, 2.25]))


def test_np_result_of_the_wrong_kind(restore_trend_globals):
    class FakeNumpy:
        float32 = np.float32
        empty = staticmethod(lambda n, dtype: [0.0] * n)

    restore_trend_globals.np = FakeNumpy
    with pytest.raises(TypeError, match="^Cannot convert list to numpy.ndarray$"):
        t.ewma(f32([1, 2]), 0.5)
    FakeNumpy.empty = staticmethod(lambda n, dtype: np.empty(n, np.float64))
    with pytest.raises(ValueError, match="expected 'float32_t' but got 'double'"):
        t.ewma(f32([1, 2]), 0.5)
    FakeNumpy.empty = staticmethod(lambda n, dtype: np.empty(n - 1, np.float32))
    with pytest.raises(ValueError, match="at least 2 elements"):
        t.ewma(f32([1, 2]), 0.5)
    del restore_trend_globals.np
    with pytest.raises(NameError, match="^name 'np' is not defined$"):
        t.ewma(f32([1, 2]), 0.5)
