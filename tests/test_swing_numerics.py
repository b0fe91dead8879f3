"""QuorvelSwing numerics against the literal NumPy model."""

import ctypes
import threading
import traceback
import types
from collections import Counter

import numpy as np
import pytest

from conftest import same_bits
from models import swing_model as model
from ornivex import swing_v4
from ornivex.swing_v4 import QuorvelSwing

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")  # the model meets inf - inf

swing = QuorvelSwing()


def random_walk(n, seed, holes=True):
    rng = np.random.default_rng(seed)
    x = 100.0 + np.cumsum(rng.standard_normal(n))
    if holes and n > 4:
        spots = rng.choice(n, size=max(1, n // 50), replace=False)
        x[spots] = rng.choice([np.nan, np.inf, -np.inf], size=spots.size)
    return x


def layouts(x):
    """The same series contiguous, strided, reversed and read-only."""
    wide = np.empty(2 * len(x))
    wide[::2] = x
    frozen = x.copy()
    frozen.flags.writeable = False
    return {"plain": x, "strided": wide[::2], "reversed": x[::-1].copy()[::-1], "read-only": frozen}


def assert_close(got, want):
    """Same NaN positions, same infinities, otherwise within rtol 1e-12."""
    assert got.shape == want.shape and got.dtype == np.float64
    assert np.array_equal(np.isnan(got), np.isnan(want))
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=0)


@pytest.fixture
def counting_np():
    """Rebinds swing_v4.np to a proxy that counts attribute look-ups."""
    namespace = vars(swing_v4)
    saved = dict(namespace)
    proxy = types.ModuleType("numpy_proxy")
    proxy.calls = Counter()
    proxy.__getattr__ = lambda name: (proxy.calls.update([name]), getattr(np, name))[1]
    swing_v4.np = proxy
    yield proxy
    namespace.clear()  # back to the same names in the same order
    namespace.update(saved)


@pytest.mark.parametrize("n", [1, 2, 3, 40, 1000])
@pytest.mark.parametrize("layout", ["plain", "strided", "reversed", "read-only"])
def test_range_filter_bit_for_bit(n, layout):
    x = layouts(random_walk(n, seed=n))[layout]
    rng = np.random.default_rng(n + 1)
    ranges = [model.range_size(x, max(1, n // 10), 2.0),
              rng.choice([0.5, -0.0, -1.0, np.nan, np.inf], size=n)]  # negative, signed zero, NaN, inf
    for starts_nan in (False, True):
        if starts_nan:
            x = x.copy()
            x[0] = np.nan
        for r in ranges:
            got = swing.range_filter(x, r)
            assert same_bits(got, model.range_filter(x, r))
            assert got.flags.f_contiguous and got.base.shape == (3, n)


@pytest.mark.parametrize("layout", ["plain", "strided", "reversed", "read-only"])
def test_range_size_and_swing_follow_the_model(layout):
    n = 300
    x = layouts(random_walk(n, seed=7))[layout]
    for period in range(1, n // 3 + 1, 7):
        for multiplier in (2.0, -0.5):
            assert_close(swing.range_size(x, period, multiplier), model.range_size(x, period, multiplier))
        for multiplier in (1.5, -1.5):
            assert_close(swing.quorvel_swing(x, period, multiplier), model.quorvel_swing(x, period, multiplier))


def test_long_windows_stay_exact_sums():
    x = random_walk(20_000, seed=3, holes=False)
    for period in (14, 100, 250):
        assert_close(swing.range_size(x, period, 1.0), model.range_size(x, period, 1.0))


def grid_series(n, seed, negative_from=None):
    """Prices and ranges on a coarse grid, so that bands touch the line and
    zeros of both signs turn up, with NaN and infinities sprinkled in; ranges
    turn negative from `negative_from` on."""
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.integers(-2, 3, n)) * 0.5
    r = rng.integers(0, 4, n) * 0.5
    for series, rate in ((x, 0.004), (r, 0.004)):
        spots = rng.random(n) < rate
        series[spots] = rng.choice([np.nan, np.inf, -np.inf, -0.0], spots.sum())
    x[rng.random(n) < 0.01] = -0.0
    if negative_from is not None:
        r[negative_from:] *= -1
    return x, r


@pytest.mark.parametrize("negative_from", [None, 0, 700])
@pytest.mark.parametrize("layout", ["plain", "strided"])
def test_range_filter_bit_for_bit_on_ties_and_specials(negative_from, layout):
    for seed in range(4):
        x, r = grid_series(2_000, seed, negative_from)
        r[: 3 * seed] = np.nan  # the leading gap of a real range
        x = layouts(x)[layout]
        assert same_bits(swing.range_filter(x, r), model.range_filter(x, r), nan_payloads=False)
        x[0] = -0.0
        assert same_bits(swing.range_filter(x, r), model.range_filter(x, r), nan_payloads=False)


# Either side of every vector width (2, 4 and 8 lanes) and of the 256-bar block.
EDGE_LENGTHS = [1, 2, 3, 4, 5, 7, 8, 9, 10, 15, 16, 17, 255, 256, 257, 258, 511, 513]


def nan_led_ranges(n, rng):
    """Ranges on the prices' grid after a NaN lead-in (the shape range_size
    gives them) of several lengths: negative, zero of either sign, of mixed
    sign, and non-negative."""
    size = rng.integers(0, 4, n) * 0.5
    tails = [-size - 0.5, rng.choice([0.0, -0.0], n), size * rng.choice([-1.0, 1.0], n), size]
    for lead in sorted({0, 1, n // 2, n - 1, int(rng.integers(0, n))}):
        for tail in tails:
            r = tail.copy()
            r[:lead] = np.nan
            yield r


@pytest.mark.parametrize("n", EDGE_LENGTHS)
@pytest.mark.parametrize("layout", ["plain", "strided"])
def test_range_filter_after_a_nan_lead_in(n, layout):
    rng = np.random.default_rng(n)
    x = layouts(np.cumsum(rng.integers(-2, 3, n)) * 0.5 + 2)[layout]
    cases = [(x, r) for r in nan_led_ranges(n, rng)]
    cases.append((np.array([1.0, 2, 1, 8, 5, 3, 2, 4, 8, 5]), np.array([np.nan] * 9 + [-1.0])))
    for x, r in cases:
        for first in (x[0], np.nan):
            x[0] = first
            assert same_bits(swing.range_filter(x, r), model.range_filter(x, r))


@pytest.mark.parametrize("period", [5, 14, 27, 100, 500])
def test_window_means_stay_within_a_few_roundings_of_dot(period):
    """Each mean is within a few roundings of the window's magnitude of
    np.dot's, for price moves and for prices that cross zero."""
    table, me = own_table(), id(swing)
    rng = np.random.default_rng(period)
    weights = np.ones(period) / period
    for x in (np.abs(rng.standard_normal(3_000)), np.cumsum(rng.standard_normal(3_000))):
        windows = np.lib.stride_tricks.sliding_window_view(x, period)
        want = np.array([np.dot(window, weights) for window in windows])
        scale = np.abs(windows * weights).sum(axis=1)
        assert np.all(np.abs(table.ema(me, x, period) - want) <= 6 * np.finfo(float).eps * scale)


def test_earlier_bars_do_not_depend_on_later_ones():
    x = random_walk(30_000, seed=23)
    for period in (3, 14, 100):
        whole = swing.quorvel_swing(x, period, 2.0)
        for k in (3 * period, 2_000, 17_777):
            assert same_bits(swing.quorvel_swing(x[:k], period, 2.0), whole[:k])


def test_rebound_np_runs_every_step_through_it(counting_np):
    x = random_walk(60, seed=5)
    period = 4
    assert_close(swing.range_size(x, period, 2.0), model.range_size(x, period, 2.0))  # np.dot's order
    windows = (60 - period + 1) + (60 - 3 * period + 3)
    assert counting_np.calls["dot"] == windows
    assert counting_np.calls["ones"] == 2 and counting_np.calls["empty"] == 4
    r = model.range_size(x, period, 2.0)
    assert same_bits(swing.range_filter(x, r), model.range_filter(x, r))
    assert counting_np.calls["zeros"] == 3 and counting_np.calls["vstack"] == 1


def own_entries(failure):
    return [f.name for f in traceback.extract_tb(failure.value.__traceback__) if f.name.startswith("ornivex.")]


def test_numpy_errors_pass_through_with_traceback_entries(counting_np):
    counting_np.empty = None  # np.empty(...) now raises TypeError
    with pytest.raises(TypeError) as failure:
        swing.quorvel_swing(random_walk(30, seed=1), 2, 1.0)
    assert own_entries(failure) == ["ornivex.swing_v4.QuorvelSwing.quorvel_swing",
                                    "ornivex.swing_v4.QuorvelSwing.range_size"]
    del swing_v4.np
    for call in (lambda: swing.range_size(np.ones(5), 1, 1.0), lambda: swing.range_filter(np.ones(3), np.ones(3))):
        with pytest.raises(NameError, match="^name 'np' is not defined$"):
            call()


@pytest.mark.parametrize("n, period", [(10, 0), (10, -3), (5, 3), (6, 4), (0, 2)])
def test_impossible_windows_raise_numpys_error(n, period):
    with pytest.raises(ValueError, match="negative dimensions are not allowed") as failure:
        swing.range_size(random_walk(n, seed=2), period, 1.0)
    assert own_entries(failure) == ["ornivex.swing_v4.QuorvelSwing.range_size", "ornivex.swing_v4.QuorvelSwing.ema"]


def test_empty_and_short_series():
    empty = np.array([])
    assert swing.range_size(empty, 1, 2.0).shape == (0,)
    got = swing.range_filter(empty, empty)
    assert got.shape == (0, 3) and got.dtype == np.float64
    assert swing.quorvel_swing(empty, 1, 2.0).shape == (0, 3)
    assert np.isnan(swing.range_size(np.arange(6.0), 3, 1.0)).all()  # n == 3p - 3
    with pytest.raises(ValueError, match="r has 3 elements, x has 5"):
        swing.range_filter(np.ones(5), np.ones(3))


# The operation table, as natively compiled code reaches it through the
# class's __pyx_vtable__ capsule.
EMA = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_void_p, ctypes.py_object, ctypes.c_int32)
RANGE_SIZE = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_void_p, ctypes.py_object, ctypes.c_int32, ctypes.c_double,
                               ctypes.c_bool)
NZ = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_void_p, ctypes.c_double)
RANGE_FILTER = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_void_p, ctypes.py_object, ctypes.py_object, ctypes.c_bool)


class Table(ctypes.Structure):
    _fields_ = [("ema", EMA), ("range_size", RANGE_SIZE), ("nz", NZ), ("range_filter", RANGE_FILTER),
                ("quorvel_swing", RANGE_SIZE)]


def own_table():
    pointer = ctypes.pythonapi.PyCapsule_GetPointer
    pointer.restype, pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return Table.from_address(pointer(vars(QuorvelSwing)["__pyx_vtable__"], None))


def test_ema_and_nz_through_the_table(counting_np):
    table, me = own_table(), id(swing)
    x = random_walk(90, seed=11)
    swing_v4.np = np
    for layout, series in layouts(x).items():
        for period in (0, 1, 2, 7, 30, 90):
            assert_close(table.ema(me, series, period), model.ema(series, period))
    for period in (-1, 92):
        with pytest.raises(ValueError, match="negative dimensions are not allowed"):
            table.ema(me, x, period)
    swing_v4.np = counting_np  # every window sliced and summed by np.dot, in the BLAS kernel's order
    assert_close(table.ema(me, x, 7), model.ema(x, 7))
    assert counting_np.calls["dot"] == 84
    assert [table.nz(me, v) for v in (np.nan, np.inf, -np.inf, 3.5)] == [0.0, np.inf, -np.inf, 3.5]
    assert np.signbit(table.nz(me, -0.0)) and not np.signbit(table.nz(me, np.nan))


def test_replaced_table_entries_are_honoured():
    """A natively compiled subclass may replace ema and nz in its own table."""
    nz_calls = []
    table = Table.from_buffer_copy(own_table())
    table.ema = EMA(lambda me, x, period: model.ema(x, period))
    table.nz = NZ(lambda me, v: nz_calls.append(v) or model.nz(v))
    foreign = QuorvelSwing()
    ctypes.c_void_p.from_address(id(foreign) + 16).value = ctypes.addressof(table)  # its operations pointer

    x = random_walk(200, seed=13)
    for period in (1, 5, 20):
        assert same_bits(foreign.range_size(x, period, 1.5), model.range_size(x, period, 1.5))
    r = model.range_size(x, 5, 1.5)
    assert same_bits(foreign.range_filter(x, r), model.range_filter(x, r)) and len(nz_calls) == 199
    assert same_bits(foreign.quorvel_swing(x, 5, 1.5), model.quorvel_swing(x, 5, 1.5))


def test_one_pass_range_size_matches_the_steps_through_the_table():
    """The fused pass (blocks of a few thousand bars) against two whole-series
    ema calls through a stand-in entry that forwards to the module's own."""
    own = own_table()
    table = Table.from_buffer_copy(own)
    table.ema = EMA(lambda me, x, period: own.ema(me, x, period))
    stepwise = QuorvelSwing()
    ctypes.c_void_p.from_address(id(stepwise) + 16).value = ctypes.addressof(table)
    x = layouts(random_walk(50_000, seed=17))["strided"]
    for period in (1, 14, 100, 700):
        assert same_bits(swing.range_size(x, period, 2.5), stepwise.range_size(x, period, 2.5))


class NoRange(QuorvelSwing):
    def range_size(self, arr, period, multiplier):
        self.seen = (type(period), type(multiplier))
        return None


def test_range_overrides_reach_quorvel_swing():
    one_bar = np.array([4.0])
    probe = NoRange()
    assert same_bits(probe.quorvel_swing(one_bar, 3, 2.0), np.array([[0.0, 0.0, 4.0]]))
    assert probe.seen == (int, float)
    with pytest.raises(ValueError, match="r has 0 elements, x has 4"):
        probe.quorvel_swing(np.ones(4), 3, 2.0)

    class Fixed(QuorvelSwing):
        def range_filter(self, x, r):
            return sentinel

    sentinel = np.zeros((2, 2))
    assert Fixed().quorvel_swing(np.ones(10), 2, 1.0) is sentinel


def test_threads_give_the_single_thread_results():
    series = [random_walk(200_000, seed=s) for s in range(4)]
    alone = [swing.quorvel_swing(x, 14, 2.0) for x in series]
    together = [None] * len(series)

    def work(k):
        for _ in range(3):
            together[k] = swing.quorvel_swing(series[k], 14, 2.0)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(series))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(same_bits(a, b) for a, b in zip(alone, together))
