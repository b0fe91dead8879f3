"""Argument binding, number conversion, the array type test and buffer views,
seen through trend_v4's public functions."""

import ctypes
import sys
import traceback

import numpy as np
import pytest

from ornivex import trend_v4 as t

F = np.zeros(3, dtype=np.float32)


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IndexOnly:
    def __index__(self):
        return 2


class IntSubclass(int):
    pass


BINDING_ERRORS = [
    (lambda: t.ewma(F, 0.5, 1), TypeError, "ewma() takes exactly 2 positional arguments (3 given)"),
    (lambda: t.ema2(F), TypeError, "ema2() takes exactly 2 positional arguments (1 given)"),
    (lambda: t.ewma(), TypeError, "ewma() takes exactly 2 positional arguments (0 given)"),
    (lambda: t.tema3(length=1), TypeError, "tema3() takes exactly 2 positional arguments (0 given)"),
    (lambda: t.tema3(source=F), TypeError, "tema3() takes exactly 2 positional arguments (1 given)"),
    (lambda: t.ewma(alpha=0.5), TypeError, "ewma() takes exactly 2 positional arguments (0 given)"),
    (lambda: t.ewma(F, alpha=0.5, beta=1), TypeError, "ewma() got an unexpected keyword argument 'beta'"),
    (lambda: t.ewma(F, series=F), TypeError, "ewma() got multiple values for keyword argument 'series'"),
    (lambda: t.halftrend(F, F, F), TypeError, "halftrend() takes at least 4 positional arguments (3 given)"),
    (lambda: t.halftrend(F, F, F, F, 2, 2.0, 7), TypeError,
     "halftrend() takes at most 6 positional arguments (7 given)"),
    (lambda: t.halftrend(F, F, F, amplitude=3), TypeError,
     "halftrend() takes at least 4 positional arguments (3 given)"),
]

CONVERSION_ERRORS = [
    (lambda: t.ewma([1.0], "x"), TypeError, "must be real number, not str"),
    (lambda: t.halftrend(F, F, F, F, "2"), TypeError, "an integer is required"),
    (lambda: t.halftrend(F, F, F, F, IndexOnly()), TypeError, "an integer is required"),
    (lambda: t.halftrend(F, F, F, F, IntLike(2.5)), TypeError, "__int__ returned non-int (type float)"),
    (lambda: t.halftrend(F, F, F, F, 2**31), OverflowError, "Python int too large to convert to C int"),
    (lambda: t.halftrend(F, F, F, F, -(2**31) - 1), OverflowError, "Python int too large to convert to C int"),
    (lambda: t.halftrend(F, F, F, F, float("nan")), ValueError, "cannot convert float NaN to integer"),
]

TYPE_ERRORS = [
    (lambda: t.ewma([1.0], 0.5), TypeError,
     "Argument 'series' has incorrect type (expected numpy.ndarray, got list)"),
    (lambda: t.ema2((1.0,), 2), TypeError,
     "Argument 'source' has incorrect type (expected numpy.ndarray, got tuple)"),
    (lambda: t.ewma(None, 0.5), TypeError, "Argument 'series' must not be None"),
    (lambda: t.ema2(None, 2), TypeError, "Argument 'source' must not be None"),
    (lambda: t.tema3(None, 2), TypeError, "Argument 'source' must not be None"),
    (lambda: t.halftrend(F, F, [], F), TypeError,
     "Argument 'close' has incorrect type (expected numpy.ndarray, got list)"),
    (lambda: t.halftrend(F, F, F, None), TypeError, "Argument 'tr' must not be None"),
]


def view_error(array):
    return lambda: t.ewma(array, 0.5)


BUFFER_ERRORS = [
    (view_error(np.zeros(3)), ValueError, "Buffer dtype mismatch, expected 'float32_t' but got 'double'"),
    (lambda: t.ema2(np.zeros(3), 2), ValueError, "Buffer dtype mismatch, expected 'float32_t' but got 'double'"),
    (view_error(np.zeros(3, ">f4")), ValueError, "Big-endian buffer not supported on little-endian compiler"),
    (view_error(np.zeros((2, 2), np.float32)), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (view_error(np.zeros((), np.float32)), ValueError, "Buffer has wrong number of dimensions (expected 1, got 0)"),
    (view_error(np.zeros(3, np.int32)), ValueError, "Buffer dtype mismatch, expected 'float32_t' but got 'int'"),
    (view_error(np.zeros(3, np.uint32)), ValueError,
     "Buffer dtype mismatch, expected 'float32_t' but got 'unsigned int'"),
    (view_error(np.zeros(3, np.int64)), ValueError, "Buffer dtype mismatch, expected 'float32_t' but got 'long'"),
    (view_error(np.zeros(3, np.longdouble)), ValueError,
     "Buffer dtype mismatch, expected 'float32_t' but got 'long double'"),
    (view_error(np.zeros(3, np.complex64)), ValueError,
     "Buffer dtype mismatch, expected 'float32_t' but got 'complex float'"),
    (view_error(np.zeros(3, bool)), ValueError, "Buffer dtype mismatch, expected 'float32_t' but got 'bool'"),
    (view_error(np.zeros(3, object)), ValueError,
     "Buffer dtype mismatch, expected 'float32_t' but got Python object"),
    (view_error(np.zeros(3, "S4")), ValueError, "Buffer dtype mismatch, expected 'float32_t' but got a string"),
    (view_error(np.zeros(3, np.float16)), ValueError,
     "Does not understand character buffer dtype format string ('e')"),
    (view_error(np.zeros(3, [("a", "f4"), ("b", "f4")])), ValueError,
     "Buffer dtype mismatch, expected end but got 'float'"),
    (view_error(np.zeros(3, [("a", "f4", (2,))])), ValueError, "Expected 0 dimension(s), got 1"),
    (view_error(np.zeros(3, np.dtype({"names": ["a"], "formats": ["f4"], "itemsize": 8}))), ValueError,
     "Item size of buffer (8 bytes) does not match size of 'float32_t' (4 bytes)"),
    (view_error(np.zeros(3, "M8[s]")), ValueError, "cannot include dtype 'M' in a buffer"),
]


@pytest.mark.parametrize(
    "call, exc, message", BINDING_ERRORS + CONVERSION_ERRORS + TYPE_ERRORS + BUFFER_ERRORS
)
def test_exact_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


def test_conversion_happens_before_the_type_test():
    with pytest.raises(TypeError, match="must be real number"):
        t.ewma([1.0], "x")


@pytest.mark.parametrize("argument, expected", [(2.9, 2), (True, 1), (IntLike(2), 2), (np.int64(2), 2)])
def test_int_conversion_accepts_int_likes(argument, expected):
    hl = np.linspace(1, 2, 6, dtype=np.float32)
    assert_same_dicts(t.halftrend(hl, hl, hl, hl, argument), t.halftrend(hl, hl, hl, hl, expected))


def test_int_subclass_from_dunder_int_warns():
    hl = np.linspace(1, 2, 6, dtype=np.float32)
    with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type IntSubclass\)"):
        t.halftrend(hl, hl, hl, hl, IntLike(IntSubclass(2)))


def assert_same_dicts(a, b):
    assert list(a) == list(b)
    for key in a:
        np.testing.assert_array_equal(a[key], b[key])


def test_keywords_in_any_order_and_interned_or_not():
    x = np.arange(5, dtype=np.float32)
    expected = t.ewma(x, 0.25)
    key = "".join(["ser", "ies"])  # not the interned object
    np.testing.assert_array_equal(t.ewma(alpha=0.25, series=x), expected)
    np.testing.assert_array_equal(t.ewma(**{key: x, "alpha": 0.25}), expected)


def test_ctypes_long_double_standard_size_is_refused():
    if sys.version_info < (3, 12):
        pytest.skip("needs __buffer__ on Python classes")

    class Exported(np.ndarray):
        def __buffer__(self, flags):
            return memoryview((ctypes.c_longdouble * 3)())

    array = np.zeros(3, np.float32).view(Exported)
    with pytest.raises(ValueError) as info:
        t.ewma(array, 0.5)
    assert str(info.value) == "Python does not define a standard format string size for long double ('g').."


def test_failures_add_a_traceback_entry_named_by_qualified_name():
    with pytest.raises(TypeError) as info:
        t.ewma([1.0], 0.5)
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert names[-1] == "ornivex.trend_v4.ewma"


def test_failure_inside_the_called_ewma_adds_both_entries(restore_trend_globals):
    restore_trend_globals.ewma = t.halftrend  # fails on binding: two arguments
    with pytest.raises(TypeError, match="at least 4 positional arguments") as info:
        t.ema2(F, 2)
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert names[-2:] == ["ornivex.trend_v4.ema2", "ornivex.trend_v4.halftrend"]
