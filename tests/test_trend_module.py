"""Import of trend_v4: what it binds, in which order, and that it happens once."""

import importlib
import pickle
import sys

import numpy as np
import pytest

from ornivex import trend_v4


def test_namespace_in_binding_order():
    names = [n for n in vars(trend_v4) if n not in ("__name__", "__doc__", "__package__", "__loader__",
                                                     "__spec__", "__file__")]
    assert names == ["__builtins__", "np", "ewma", "ema2", "tema3", "halftrend", "__test__"]
    assert trend_v4.np is np
    assert trend_v4.__test__ == {}
    assert trend_v4.__doc__ is None
    assert trend_v4.__name__ == "ornivex.trend_v4"


@pytest.mark.parametrize("name", ["ewma", "ema2", "tema3", "halftrend"])
def test_function_attributes(name):
    function = getattr(trend_v4, name)
    assert function.__name__ == function.__qualname__ == name
    assert function.__module__ == "ornivex.trend_v4"
    assert function.__doc__ is None
    assert function.__defaults__ == ((2, 2.0) if name == "halftrend" else None)
    assert pickle.loads(pickle.dumps(function)) is function


def test_defaults_have_their_types():
    amplitude, deviation = trend_v4.halftrend.__defaults__
    assert type(amplitude) is int and type(deviation) is float


def test_import_twice_and_reload_give_the_same_module():
    again = importlib.import_module("ornivex.trend_v4")
    assert again is trend_v4
    assert importlib.reload(trend_v4) is trend_v4
    assert sys.modules["ornivex.trend_v4"] is trend_v4


def test_a_second_interpreter_is_refused():
    testcapi = pytest.importorskip("_testcapi")
    import os

    read, write = os.pipe()
    code = f"""
import os
try:
    import ornivex.trend_v4
    message = "imported"
except ImportError as error:
    message = str(error)
os.write({write}, message.encode())
"""
    assert testcapi.run_in_subinterp(code) == 0
    os.close(write)
    with os.fdopen(read) as pipe:
        assert pipe.read() == (
            "Interpreter change detected - this module can only be loaded into one interpreter per process."
        )
