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


def same_bits(a, b):
    """Equal dtype, shape and bit patterns (NaN payloads and zero signs included)."""
    a, b = np.asarray(a), np.asarray(b)
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    width = {2: np.uint16, 4: np.uint32, 8: np.uint64}[a.dtype.itemsize]
    return np.array_equal(np.ascontiguousarray(a).view(width), np.ascontiguousarray(b).view(width))
