"""Hostile input to the pickling entry points of QuorvelSwing: wrong checksums,
wrong types, tuple subclasses, classes that are not QuorvelSwing subclasses,
states that break the instance dict's update, and pickle streams that carry
all of these.  The outcome is what the set-state and rebuild steps say, as
an exception or a rebuilt object, never a crash.

Examples per test: ORNIVEX_FUZZ_EXAMPLES (default 300); ORNIVEX_FUZZ_REPORT
as in test_fuzz.py.
"""

import abc
import json
import os
import pickle
import subprocess
import sys
import textwrap
import time
from collections import Counter

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from hostile import Boom, convert_c_integer, outcome
from ornivex import swing_v4
from ornivex.swing_v4 import QuorvelSwing

EXAMPLES = int(os.environ.get("ORNIVEX_FUZZ_EXAMPLES", "300"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck), database=None)
CASES = Counter()
rebuild = swing_v4.__pyx_unpickle_QuorvelSwing
ACCEPTED = (0xE3B0C44, 0xDA39A3E, 0xD41D8CD)


@pytest.fixture(scope="module", autouse=True)
def report_cases():
    yield
    if os.environ.get("ORNIVEX_FUZZ_REPORT"):
        with open(os.environ["ORNIVEX_FUZZ_REPORT"], "a") as report:
            report.write(json.dumps({"module": __name__, "cases": CASES}) + "\n")


def boom(*args):
    raise Boom("hostile")


# ---- classes a pickle may name ---------------------------------------------------------

class WithDict(QuorvelSwing):
    __new__ = __init__ = boom  # never run while loading


class Slotted(QuorvelSwing):
    __slots__ = ("b",)


class Abstract(QuorvelSwing, metaclass=abc.ABCMeta):
    @abc.abstractmethod
    def method(self):
        pass


class RaisingDict(QuorvelSwing):
    __dict__ = property(boom)


class MissingDict(QuorvelSwing):
    __dict__ = property(lambda self: (_ for _ in ()).throw(AttributeError("no dict")))


class OddDict(QuorvelSwing):
    __dict__ = property(lambda self: 5)


class RaisingLookups(QuorvelSwing):
    __getattribute__ = boom


class TupleSub(tuple):
    pass


class Mapping:
    """Enough of a mapping for dict.update, with hostile keys()."""

    def keys(self):
        raise Boom("keys")

    def __getitem__(self, key):
        raise Boom("item")


TYPES = [QuorvelSwing, WithDict, Slotted, Abstract, RaisingDict, MissingDict, OddDict, RaisingLookups, int, object,
         type, tuple, TupleSub, time.struct_time, QuorvelSwing(), None, "QuorvelSwing", 5]
STATES = [None, (), ({},), ({"a": 1},), ({"a": 1}, "never read"), ([("a", 1)],), ("not a dict",), ([1],), (None,),
          (Mapping(),), ({1: "non-string key"},), [()], [{}], TupleSub(), TupleSub(({},)),
          time.struct_time(range(9)), "abc", 5, {}]
CHECKSUMS = (st.sampled_from(ACCEPTED) | st.integers(-(2**70), 2**70)
             | st.sampled_from([1, -5, 0, True, 2.5, float(0xE3B0C44), "0xe3b0c44", None, 2**63, -(2**63) - 1]))


# ---- the steps, written out ---------------------------------------------------------------

def type_name(value):
    """The type's C-level name, as the interpreter's own messages show it."""
    try:
        object.__getattribute__(value, "__no_such_attribute__")
    except AttributeError as error:
        return str(error).split("'")[1]


def check_state_type(state):
    if state is not None and type(state) is not tuple:
        raise TypeError(f"Expected tuple, got {type_name(state)}")


def set_state(obj, state):
    if len(state) > 0:
        try:
            getattr(obj, "__dict__")
        except AttributeError:
            return
        obj.__dict__.update(state[0])


def rebuild_steps(*args, **kwargs):
    names = ["__pyx_type", "__pyx_checksum", "__pyx_state"]
    if len(args) > 3:
        raise TypeError(f"__pyx_unpickle_QuorvelSwing() takes exactly 3 positional arguments ({len(args)} given)")
    bound = dict(zip(names, args))
    for key, value in kwargs.items():
        if key in bound:
            raise TypeError(f"__pyx_unpickle_QuorvelSwing() got multiple values for keyword argument '{key}'")
        if key not in names:
            raise TypeError(f"__pyx_unpickle_QuorvelSwing() got an unexpected keyword argument '{key}'")
        bound[key] = value
    for index, name in enumerate(names):
        if name not in bound:
            raise TypeError(f"__pyx_unpickle_QuorvelSwing() takes exactly 3 positional arguments ({index} given)")
    checksum = convert_c_integer(bound["__pyx_checksum"], 64)
    if checksum not in ACCEPTED:
        raise pickle.PickleError(
            "Incompatible checksums (0x%x vs (0xe3b0c44, 0xda39a3e, 0xd41d8cd) = ())" % checksum)
    result = QuorvelSwing.__new__(bound["__pyx_type"])
    state = bound["__pyx_state"]
    if state is not None:
        check_state_type(state)
        set_state(result, state)
    return result


def instance_state(obj):
    try:
        return type(obj), dict(vars(obj))
    except Exception:  # noqa: BLE001 - hostile __dict__ properties
        return type(obj), None


def assert_same(got, want):
    assert got[0] == want[0], (got, want)
    if got[0] == "raised":
        assert type(got[1]) is type(want[1]) and str(got[1]) == str(want[1])
    else:
        assert instance_state(got[1]) == instance_state(want[1])


def fresh(value):
    """States are used twice (native call and oracle): a dict in them must be a new one."""
    if type(value) is tuple:
        return tuple(fresh(item) for item in value)
    if type(value) is dict:
        return dict(value)
    return value


# ---- direct calls ---------------------------------------------------------------------------

@FUZZ
@given(kind=st.sampled_from(TYPES), checksum=CHECKSUMS, state=st.sampled_from(STATES),
       by_keyword=st.lists(st.booleans(), min_size=3, max_size=3), drop=st.integers(-1, 2))
def test_rebuild_function(kind, checksum, state, by_keyword, drop):
    values = dict(zip(["__pyx_type", "__pyx_checksum", "__pyx_state"], [kind, checksum, state]))
    if drop >= 0:
        values.pop(list(values)[drop])

    def call(function):
        args, kwargs, positional = [], {}, True
        for (name, value), keyword in zip(values.items(), by_keyword):
            positional = positional and not keyword
            if positional:
                args.append(fresh(value))
            else:
                kwargs[name] = fresh(value)
        return function(*args, **kwargs)

    CASES["__pyx_unpickle_QuorvelSwing"] += 1
    assert_same(outcome(lambda: call(rebuild)), outcome(lambda: call(rebuild_steps)))


INSTANCES = [QuorvelSwing, WithDict, Slotted, RaisingDict, MissingDict, OddDict]


@FUZZ
@given(kind=st.sampled_from(INSTANCES), state=st.sampled_from(STATES), method=st.sampled_from(
    ["__setstate__", "__setstate_velmar__"]), how=st.sampled_from(["positional", "keyword", "none", "two"]))
def test_setstate(kind, state, method, how):
    def call(obj, steps):
        if how == "positional":
            args, kwargs = (fresh(state),), {}
        elif how == "keyword":
            args, kwargs = (), {"__pyx_state": fresh(state)}
        else:
            args, kwargs = (() if how == "none" else (fresh(state), 1)), {}
        if not steps:
            return getattr(obj, method)(*args, **kwargs), obj
        if len(args) + len(kwargs) != 1:
            raise TypeError(f"__setstate_velmar__() takes exactly 1 positional argument ({len(args)} given)")
        value = args[0] if args else kwargs["__pyx_state"]
        check_state_type(value)
        set_state(obj, value)
        return None, obj

    CASES[method] += 1
    got = outcome(lambda: call(QuorvelSwing.__new__(kind), False))
    want = outcome(lambda: call(QuorvelSwing.__new__(kind), True))
    assert got[0] == want[0]
    if got[0] == "raised":
        assert type(got[1]) is type(want[1]) and str(got[1]) == str(want[1])
    else:
        assert got[1][0] is None and instance_state(got[1][1]) == instance_state(want[1][1])


@pytest.mark.parametrize("kind", INSTANCES)
def test_reduce_of_every_kind_of_instance(kind):
    obj = QuorvelSwing.__new__(kind)
    try:
        instance_dict = obj.__dict__
    except AttributeError:
        instance_dict = None
    except Boom:
        with pytest.raises(Boom):
            obj.__reduce__()
        return
    reduced = obj.__reduce__()
    if instance_dict is None:
        assert reduced == (rebuild, (kind, 0xE3B0C44, ()))
    else:
        assert reduced[:2] == (rebuild, (kind, 0xE3B0C44, None)) and reduced[2][0] is instance_dict
    CASES["__reduce__"] += 1


# ---- pickle streams --------------------------------------------------------------------------

class Crafted:
    """Pickles as a call of the rebuild function with any arguments."""

    def __init__(self, *args):
        self.args = args

    def __reduce__(self):
        return rebuild, self.args


class Built:
    """Pickles as a QuorvelSwing instance whose BUILD step carries `state`."""

    def __init__(self, state):
        self.state = state

    def __reduce__(self):
        return rebuild, (QuorvelSwing, 0xE3B0C44, None), self.state


PICKLABLE_TYPES = [QuorvelSwing, WithDict, Slotted, int, object, tuple, TupleSub, time.struct_time, dict]
PICKLABLE_STATES = [None, (), ({"a": 1},), ({"a": 1}, 2), ("not a dict",), [()], TupleSub(), TupleSub(({},)),
                    time.struct_time(range(9)), "abc", {}]


@FUZZ
@given(kind=st.sampled_from(PICKLABLE_TYPES), checksum=st.sampled_from(ACCEPTED) | st.integers(-(2**70), 2**70),
       state=st.sampled_from(PICKLABLE_STATES), protocol=st.integers(0, pickle.HIGHEST_PROTOCOL))
def test_crafted_pickles_load_or_raise(kind, checksum, state, protocol):
    data = pickle.dumps(Crafted(kind, checksum, state), protocol)
    CASES["pickle.loads"] += 1
    assert_same(outcome(lambda: pickle.loads(data)), outcome(lambda: rebuild_steps(kind, checksum, fresh(state))))


@FUZZ
@given(state=st.sampled_from(PICKLABLE_STATES + [{"a": 1}, ({"a": 1},), 5]),
       protocol=st.integers(0, pickle.HIGHEST_PROTOCOL))
def test_build_steps_with_any_state(state, protocol):
    """pickle's BUILD hands the state to __setstate__, whatever it is."""
    data = pickle.dumps(Built(state), protocol)
    CASES["pickle.loads"] += 1

    def steps():
        obj = QuorvelSwing()
        if state is None:  # pickle writes no BUILD for it
            return obj
        check_state_type(state)
        set_state(obj, state)
        return obj

    assert_same(outcome(lambda: pickle.loads(data)), outcome(steps))


def test_byte_level_damage_to_a_pickle_is_an_exception():
    """Every checksum digit and every type name letter altered in turn."""
    data = pickle.dumps(Crafted(QuorvelSwing, 0xE3B0C44, ({"a": 1},)), 0)
    start = data.index(b"QuorvelSwing\n")
    spots = list(range(start, start + 12)) + [i for i, c in enumerate(data) if chr(c).isdigit()]
    for spot in spots:
        for replacement in b"0179AZaz_.":
            damaged = data[:spot] + bytes([replacement]) + data[spot + 1:]
            CASES["pickle.loads"] += 1
            try:
                pickle.loads(damaged)
            except Exception:  # noqa: BLE001 - any exception is a correct answer here
                pass


DEEP_STATE = """
    import functools, threading
    from ornivex import swing_v4
    from ornivex.swing_v4 import QuorvelSwing

    rebuild = swing_v4.__pyx_unpickle_QuorvelSwing

    def holder(update):
        holding = type("Holder", (), {})()
        holding.update = update
        return holding

    # Instance dicts whose update goes straight back into the entry.
    class BySetstate(QuorvelSwing):
        __dict__ = property(lambda self: holder(functools.partial(self.__setstate__)))

    class ByRebuild(QuorvelSwing):
        __dict__ = property(lambda self: holder(functools.partial(rebuild, ByRebuild, 0xE3B0C44)))

    state = ()
    for _ in range(100_000):
        state = (state,)

    def nest():
        for call in (lambda: BySetstate().__setstate__((state,)), lambda: rebuild(ByRebuild, 0xE3B0C44, (state,))):
            try:
                call()
            except RecursionError:
                print("RecursionError")

    nest()
    threading.stack_size(1 << 20)
    worker = threading.Thread(target=nest)
    worker.start()
    worker.join()
"""


def test_states_nested_deeper_than_the_stack_raise_recursion_error():
    """A state nested 10^5 deep whose dict update calls __setstate__ or the
    rebuild function again: RecursionError, also on a thread with a 1 MiB stack."""
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(DEEP_STATE)], capture_output=True, text=True,
                           timeout=300)
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.split() == ["RecursionError"] * 4

