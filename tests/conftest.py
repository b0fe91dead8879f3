import numpy as np
import pytest

from ornivex import trend_v4


@pytest.fixture
def restore_trend_globals():
    """Undo any rebinding of trend_v4's module-level names made by a test."""
    namespace = vars(trend_v4)
    saved = dict(namespace)
    yield trend_v4
    namespace.clear()
    namespace.update(saved)  # same objects, same order

def f32(values):
    return np.asarray(values, dtype=np.float32)


def same_bits(a, b, nan_payloads=True):
    """Equal dtype, shape and bit patterns (zero signs included).  With
    nan_payloads=False any NaN matches any NaN: which operand's payload an
    IEEE operation keeps depends on operand order the compiler may swap."""
    a, b = np.asarray(a), np.asarray(b)
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    width = {2: np.uint16, 4: np.uint32, 8: np.uint64}[a.dtype.itemsize]
    a_bits = np.ascontiguousarray(a).view(width)
    b_bits = np.ascontiguousarray(b).view(width)
    if nan_payloads:
        return np.array_equal(a_bits, b_bits)
    a_nan, b_nan = np.isnan(a), np.isnan(b)
    return np.array_equal(a_nan, b_nan) and np.array_equal(a_bits[~a_nan], b_bits[~b_nan])


def same_values(a, b):
    """Same dtype, shape and bits, except that any NaN matches any NaN: which operand's NaN
    an operation on two NaNs keeps differs even between NumPy's own scalar and array code."""
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    nan = np.isnan(a) if a.dtype.kind == "f" else np.zeros(a.shape, bool)
    if not np.array_equal(nan, np.isnan(b) if b.dtype.kind == "f" else nan):
        return False
    width = np.uint32 if a.dtype.itemsize == 4 else np.uint64
    return np.array_equal(a[~nan].view(width), b[~nan].view(width))


LEGACY_NUMPY = np.lib.NumpyVersion(np.__version__) < "2.0.0"
