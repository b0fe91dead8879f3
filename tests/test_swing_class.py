"""swing_v4 import, the QuorvelSwing class, its method entries and the override check."""

import abc
import importlib
import sys
import traceback
import weakref

import numpy as np
import pytest

from ornivex import swing_v4
from ornivex.swing_v4 import QuorvelSwing

HEAPTYPE, BASETYPE, HAVE_GC = 1 << 9, 1 << 10, 1 << 14
prices = np.array([1.0, 2.0, 4.0, 7.0, 11.0, 16.0, 22.0])


def own_entries(failure):
    return [f.name for f in traceback.extract_tb(failure.value.__traceback__) if f.name.startswith("ornivex.")]


def test_module_namespace_and_import_once():
    names = [n for n in vars(swing_v4) if n not in ("__name__", "__doc__", "__package__", "__loader__",
                                                     "__spec__", "__file__")]
    assert names == ["__builtins__", "QuorvelSwing", "np", "__pyx_unpickle_QuorvelSwing", "__test__"]
    assert swing_v4.np is np and swing_v4.__test__ == {} and swing_v4.__doc__ is None
    assert importlib.import_module("ornivex.swing_v4") is swing_v4 is sys.modules["ornivex.swing_v4"]
    assert importlib.reload(swing_v4) is swing_v4


def test_class_shape():
    assert (QuorvelSwing.__name__, QuorvelSwing.__qualname__, QuorvelSwing.__module__) == (
        "QuorvelSwing", "QuorvelSwing", "ornivex.swing_v4")
    assert QuorvelSwing.__doc__ is None and QuorvelSwing.__bases__ == (object,)
    flags = QuorvelSwing.__flags__
    assert flags & BASETYPE and not flags & HEAPTYPE and not flags & HAVE_GC
    assert QuorvelSwing.__basicsize__ == 3 * 8
    assert QuorvelSwing.__dictoffset__ == 0 and QuorvelSwing.__weakrefoffset__ == 0
    added = [k for k in vars(QuorvelSwing) if k not in ("__new__", "__doc__")]
    assert added == ["__pyx_vtable__", "__reduce__", "__setstate__", "range_size", "range_filter",
                     "quorvel_swing", "__reduce_velmar__", "__setstate_velmar__"]
    assert type(vars(QuorvelSwing)["__pyx_vtable__"]).__name__ == "PyCapsule"


def test_methods():
    for name in ("range_size", "range_filter", "quorvel_swing", "__reduce_velmar__", "__setstate_velmar__"):
        method = vars(QuorvelSwing)[name]
        assert method.__qualname__ == "QuorvelSwing." + name and method.__doc__ is None
    assert QuorvelSwing.__reduce__.__name__ == "__reduce_velmar__"
    assert QuorvelSwing.__setstate__.__name__ == "__setstate_velmar__"
    assert QuorvelSwing.__reduce__ is not QuorvelSwing.__reduce_velmar__


def test_class_is_immutable_and_instances_hold_nothing():
    with pytest.raises(TypeError, match="immutable type"):
        QuorvelSwing.range_size = None
    with pytest.raises(TypeError, match="immutable type"):
        del QuorvelSwing.range_filter
    swing = QuorvelSwing(1, "two", three=3)
    with pytest.raises(AttributeError):
        swing.a = 1
    with pytest.raises(TypeError):
        weakref.ref(swing)
    assert swing != QuorvelSwing() and hash(swing) == object.__hash__(swing)


def test_abstract_subclass_is_refused_by_object_new():
    class Abstract(QuorvelSwing, metaclass=abc.ABCMeta):
        @abc.abstractmethod
        def hook(self): ...

    with pytest.raises(TypeError, match="Can't instantiate abstract class Abstract"):
        Abstract()
    with pytest.raises(TypeError, match="Can't instantiate abstract class Abstract"):
        swing_v4.__pyx_unpickle_QuorvelSwing(Abstract, 0xe3b0c44, None)


a64 = np.zeros(3)
a32 = np.zeros(3, dtype=np.float32)


@pytest.mark.parametrize("call, error, message", [
    (lambda s: s.range_size(a64, 2), TypeError, r"range_size\(\) takes exactly 3 positional arguments \(2 given\)"),
    (lambda s: s.range_size(range_period=2, range_multiplier=1.0), TypeError, r"exactly 3 .* \(0 given\)"),
    (lambda s: s.range_size(a64, 2, 1.0, arr=a64), TypeError, "multiple values for keyword argument 'arr'"),
    (lambda s: s.range_size([1.0], "2", "x"), TypeError, "an integer is required"),
    (lambda s: s.range_size([1.0], 2, "x"), TypeError, "real number"),
    (lambda s: s.range_size([1.0], 2, 1.0), TypeError,
     r"Argument 'arr' has incorrect type \(expected numpy.ndarray, got list\)"),
    (lambda s: s.range_size(None, 2, 1.0), TypeError, "Argument 'arr' must not be None"),
    (lambda s: s.range_size(a32, 2, 1.0), ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (lambda s: s.range_size(a64, 2**31, 1.0), OverflowError, "too large to convert to C int"),
    (lambda s: s.range_filter(a32, []), TypeError, "Argument 'r' has incorrect type"),
    (lambda s: s.range_filter(a64, a64[:, None]), ValueError, r"wrong number of dimensions \(expected 1, got 2\)"),
    (lambda s: s.range_filter(x=a64, y=a64), TypeError, "range_filter\\(\\) got an unexpected keyword argument 'y'"),
    (lambda s: s.quorvel_swing(None, 2, 1.0), TypeError, "Argument 'arr' must not be None"),
    (lambda s: s.quorvel_swing(a64.astype(">f8"), 2, 1.0), ValueError, "Big-endian buffer not supported"),
])
def test_entry_errors(call, error, message):
    with pytest.raises(error, match=message) as failure:
        call(QuorvelSwing())
    entries = own_entries(failure)
    assert len(entries) == 1 and entries[0].startswith("ornivex.swing_v4.QuorvelSwing.")


def test_keyword_calls_match_positional_ones():
    swing = QuorvelSwing()
    np.testing.assert_array_equal(swing.quorvel_swing(arr=prices, swing_period=2, swing_multiplier=1.0),
                                  swing.quorvel_swing(prices, 2, 1.0))
    np.testing.assert_array_equal(swing.range_filter(r=prices, x=prices), swing.range_filter(prices, prices))


class Recording(QuorvelSwing):
    """Overrides both public steps of quorvel_swing and records what they see."""

    range_result = np.full(len(prices), 0.5)

    def __init__(self):
        self.calls = []

    def range_size(self, arr, period, multiplier):
        self.calls.append(("range_size", arr, period, multiplier))
        return self.range_result

    def range_filter(self, x, r):
        self.calls.append(("range_filter", x, r))
        return super().range_filter(x, r)


def test_overrides_are_called_once_with_the_objects_received():
    probe = Recording()
    got = probe.quorvel_swing(prices, 2, 3)
    (name1, arr, period, multiplier), (name2, x, r) = probe.calls
    assert (name1, name2) == ("range_size", "range_filter")
    assert arr is prices and x is prices and r is probe.range_result
    assert type(period) is int and period == 2 and type(multiplier) is float and multiplier == 3.0
    np.testing.assert_array_equal(got, QuorvelSwing().range_filter(prices, probe.range_result))


def test_direct_calls_and_super_reach_the_body_once():
    class Counting(QuorvelSwing):
        count = 0

        def range_size(self, arr, period, multiplier):
            Counting.count += 1
            return super().range_size(arr, period, multiplier)

    base = QuorvelSwing()
    np.testing.assert_array_equal(Counting().quorvel_swing(prices, 2, 1.0), base.quorvel_swing(prices, 2, 1.0))
    assert Counting.count == 1
    np.testing.assert_array_equal(Counting().range_size(prices, 2, 1.0), base.range_size(prices, 2, 1.0))
    assert Counting.count == 2

    class Plain(QuorvelSwing):
        pass

    np.testing.assert_array_equal(Plain().quorvel_swing(prices, 2, 1.0), base.quorvel_swing(prices, 2, 1.0))


def test_override_results_are_checked():
    class Returns(QuorvelSwing):
        def range_size(self, arr, period, multiplier):
            return self.value

        def range_filter(self, x, r):
            self.seen_r = r
            return x

    probe = Returns()
    probe.value = [0.0] * len(prices)
    with pytest.raises(TypeError, match="^Cannot convert list to numpy.ndarray$") as failure:
        probe.quorvel_swing(prices, 2, 1.0)
    assert own_entries(failure) == ["ornivex.swing_v4.QuorvelSwing.quorvel_swing",
                                    "ornivex.swing_v4.QuorvelSwing.range_size"]
    probe.value = prices.astype(np.float32)
    with pytest.raises(ValueError, match="expected 'double' but got 'float'"):
        probe.quorvel_swing(prices, 2, 1.0)
    assert not hasattr(probe, "seen_r")
    probe.value = None
    assert probe.quorvel_swing(prices, 2, 1.0) is prices and probe.seen_r is None
    probe.value = prices[:, None]  # an ndarray passes the check; a 2-D one then fails the view
    with pytest.raises(ValueError, match="wrong number of dimensions"):
        probe.quorvel_swing(prices, 2, 1.0)


def test_lookup_happens_on_every_call_and_finds_instance_attributes():
    class Open(QuorvelSwing):
        pass

    probe = Open()
    sentinel = np.zeros((1, 3))
    probe.range_filter = lambda x, r: sentinel  # no self: an instance attribute
    assert probe.quorvel_swing(prices, 2, 1.0) is sentinel
    del probe.range_filter
    assert probe.quorvel_swing(prices, 2, 1.0) is not sentinel

    # Another instance's own range_size is still this class's method ...
    probe.range_size = QuorvelSwing().range_size
    np.testing.assert_array_equal(probe.quorvel_swing(prices, 2, 1.0), QuorvelSwing().quorvel_swing(prices, 2, 1.0))
    # ... but the class's range_filter standing in for range_size is an override.
    probe.range_size = QuorvelSwing().range_filter
    with pytest.raises(TypeError, match=r"range_filter\(\) takes exactly 2 positional arguments \(3 given\)"):
        probe.quorvel_swing(prices, 2, 1.0)


def test_override_errors_propagate():
    class Failing(QuorvelSwing):
        def range_filter(self, x, r):
            raise ZeroDivisionError("inside")

    with pytest.raises(ZeroDivisionError, match="inside") as failure:
        Failing().quorvel_swing(prices, 2, 1.0)
    assert own_entries(failure) == ["ornivex.swing_v4.QuorvelSwing.quorvel_swing",
                                    "ornivex.swing_v4.QuorvelSwing.range_filter"]
