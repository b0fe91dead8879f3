"""Pickling of QuorvelSwing: reduce tuples, the rebuild function, __setstate__ and round trips."""

import copy
import multiprocessing
import pickle
import traceback

import numpy as np
import pytest

from ornivex import swing_v4
from ornivex.swing_v4 import QuorvelSwing

rebuild = swing_v4.__pyx_unpickle_QuorvelSwing
CHECKSUM = 0xE3B0C44
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


class WithDict(QuorvelSwing):
    made = 0

    def __new__(cls, *args, **kwargs):
        WithDict.made += 1
        return super().__new__(cls)

    def __init__(self, a=None):
        WithDict.made += 1
        self.a = a


class WithSlots(QuorvelSwing):
    __slots__ = ("b",)


def own_entries(failure):
    return [f.name for f in traceback.extract_tb(failure.value.__traceback__) if f.name.startswith("ornivex.")]


def test_reduce_tuples():
    plain = QuorvelSwing()
    assert plain.__reduce__() == plain.__reduce_velmar__() == (rebuild, (QuorvelSwing, CHECKSUM, ()))
    sub = WithDict(a=[1])
    function, args, state = sub.__reduce__()
    assert function is rebuild and args == (WithDict, CHECKSUM, None)
    assert type(state) is tuple and len(state) == 1 and state[0] is sub.__dict__
    slotted = WithSlots()
    slotted.b = 5
    assert slotted.__reduce__() == (rebuild, (WithSlots, CHECKSUM, ()))
    assert rebuild.__module__ == "ornivex.swing_v4" and rebuild.__qualname__ == "__pyx_unpickle_QuorvelSwing"


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_pickle_round_trips(protocol):
    data = pickle.dumps(QuorvelSwing(), protocol)
    assert b"ornivex.swing_v4" in data and b"__pyx_unpickle_QuorvelSwing" in data
    assert type(pickle.loads(data)) is QuorvelSwing

    WithDict.made = 0
    sub = WithDict(a={"k": [1, 2]})
    loaded = pickle.loads(pickle.dumps(sub, protocol))
    assert type(loaded) is WithDict and loaded.a == {"k": [1, 2]}
    assert WithDict.made == 2  # only the original's __new__ and __init__ ran

    slotted = WithSlots()
    slotted.b = 5
    loaded = pickle.loads(pickle.dumps(slotted, protocol))
    assert type(loaded) is WithSlots and not hasattr(loaded, "b")


def test_copies():
    plain = QuorvelSwing()
    for copied in (copy.copy(plain), copy.deepcopy(plain)):
        assert type(copied) is QuorvelSwing and copied is not plain
    sub = WithDict(a=[1])
    shallow, deep = copy.copy(sub), copy.deepcopy(sub)
    assert shallow.a is sub.a and deep.a == sub.a and deep.a is not sub.a


@pytest.mark.parametrize("data", [
    b"cornivex.swing_v4\n__pyx_unpickle_QuorvelSwing\np0\n(cornivex.swing_v4\nQuorvelSwing\np1\nI238750788\n(ttp2\nRp3\n.",
    b"\x80\x02cornivex.swing_v4\n__pyx_unpickle_QuorvelSwing\nq\x00cornivex.swing_v4\nQuorvelSwing\nq\x01JD\x0c;\x0e)"
    b"\x87q\x02Rq\x03.",
])
def test_pickles_of_earlier_builds_load(data):
    assert type(pickle.loads(data)) is QuorvelSwing


@pytest.mark.parametrize("checksum", [0xE3B0C44, 0xDA39A3E, 0xD41D8CD, float(0xD41D8CD) + 0.9, np.int64(0xDA39A3E)])
def test_rebuild_accepts_the_three_checksums(checksum):
    assert type(rebuild(QuorvelSwing, checksum, None)) is QuorvelSwing
    assert type(rebuild(__pyx_state=(), __pyx_checksum=checksum, __pyx_type=WithSlots)) is WithSlots


@pytest.mark.parametrize("args, error, message", [
    ((QuorvelSwing, 1, None), pickle.PickleError,
     r"^Incompatible checksums \(0x1 vs \(0xe3b0c44, 0xda39a3e, 0xd41d8cd\) = \(\)\)$"),
    ((QuorvelSwing, -5, None), pickle.PickleError, r"^Incompatible checksums \(0x-5 vs "),
    ((QuorvelSwing, 0xE3B0C44 + 2**32, None), pickle.PickleError, r"^Incompatible checksums \(0x10e3b0c44 vs "),
    ((QuorvelSwing, "0xe3b0c44", None), TypeError, "^an integer is required$"),
    ((QuorvelSwing, 2**64, None), OverflowError, "^Python int too large to convert to C long$"),
    ((QuorvelSwing, CHECKSUM, [{}]), TypeError, "^Expected tuple, got list$"),
    ((QuorvelSwing, CHECKSUM, type("T", (tuple,), {})()), TypeError, "^Expected tuple, got T$"),
    ((int, CHECKSUM, None), TypeError, "int is not a subtype of ornivex.swing_v4.QuorvelSwing"),
    ((WithDict, CHECKSUM, ("not a dict",)), ValueError, "dictionary update sequence"),
    ((QuorvelSwing, CHECKSUM), TypeError,
     r"^__pyx_unpickle_QuorvelSwing\(\) takes exactly 3 positional arguments \(2 given\)$"),
])
def test_rebuild_errors(args, error, message):
    with pytest.raises(error, match=message) as failure:
        rebuild(*args)
    assert own_entries(failure)[0] == "ornivex.swing_v4.__pyx_unpickle_QuorvelSwing"


def test_rebuild_restores_state_without_running_python_allocators():
    WithDict.made = 0
    loaded = rebuild(WithDict, CHECKSUM, ({"a": 3, "b": 4}, "never read"))
    assert (loaded.a, loaded.b, WithDict.made) == (3, 4, 0)
    with pytest.raises(TypeError, match="dictionary update sequence") as failure:
        rebuild(WithDict, CHECKSUM, ([1],))
    assert own_entries(failure) == ["ornivex.swing_v4.__pyx_unpickle_QuorvelSwing",
                                    "ornivex.swing_v4.__pyx_unpickle_QuorvelSwing__set_state"]


def test_setstate():
    plain = QuorvelSwing()
    assert plain.__setstate__(({"a": 1},)) is None and plain.__setstate_velmar__(()) is None
    sub = WithDict()
    assert sub.__setstate__(__pyx_state=({"a": 2, "c": 3}, {"ignored": 0})) is None
    assert vars(sub) == {"a": 2, "c": 3}
    for call, error, message in [
        (lambda: plain.__setstate__(None), TypeError, r"^object of type 'NoneType' has no len\(\)$"),
        (lambda: plain.__setstate__([]), TypeError, "^Expected tuple, got list$"),
        (lambda: plain.__setstate__(), TypeError,
         r"^__setstate_velmar__\(\) takes exactly 1 positional argument \(0 given\)$"),
        (lambda: plain.__reduce__(1), TypeError,
         r"^__reduce_velmar__\(\) takes exactly 0 positional arguments \(1 given\)$"),
        (lambda: plain.__reduce__(protocol=2), TypeError,
         r"^__reduce_velmar__\(\) got an unexpected keyword argument 'protocol'$"),
    ]:
        with pytest.raises(error, match=message) as failure:
            call()
        assert own_entries(failure)[0].startswith("ornivex.swing_v4.QuorvelSwing.__")


def test_reduce_needs_the_module_level_rebuild_function():
    namespace = vars(swing_v4)
    saved = dict(namespace)
    del swing_v4.__pyx_unpickle_QuorvelSwing
    try:
        with pytest.raises(NameError, match="^name '__pyx_unpickle_QuorvelSwing' is not defined$") as failure:
            QuorvelSwing().__reduce__()
        assert own_entries(failure) == ["ornivex.swing_v4.QuorvelSwing.__reduce_velmar__"]
        swing_v4.__pyx_unpickle_QuorvelSwing = len
        assert QuorvelSwing().__reduce__()[0] is len
    finally:
        namespace.clear()  # same dict object, original order
        namespace.update(saved)


def test_instances_travel_through_a_process_pool():
    objects = [QuorvelSwing(), WithDict(a=("x", 1.5)), WithSlots()]
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        back = pool.map(copy.deepcopy, objects)
    assert [type(o) for o in back] == [QuorvelSwing, WithDict, WithSlots]
    assert back[1].a == ("x", 1.5)
