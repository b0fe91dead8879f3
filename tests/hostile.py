"""Hostile objects and the interpreter's conversion rules, shared by the
tests that throw them at the native entries."""

import types

import numpy as np


class Boom(Exception):
    """Raised by hostile arguments; it must come out unchanged."""


class NumpyProxy(types.ModuleType):
    """A stand-in for `np`: forwards every attribute to numpy and, given a
    list, logs each name taken."""

    def __init__(self, log=None):
        super().__init__("np")
        self._log = log

    def __getattr__(self, name):
        if self._log is not None:
            self._log.append(name)
        return getattr(np, name)


def numpy_proxy(log=None):
    return NumpyProxy(log)


def outcome(call):
    """("result", what call() returns) or ("raised", the exception it raises)."""
    try:
        return "result", call()
    except Exception as error:  # noqa: BLE001 - the exception is the outcome
        return "raised", error


def convert_c_integer(value, bits):
    """The __index__ / __int__ rules for a C int (bits 32) or long (bits 64)."""
    if isinstance(value, int):
        number = int.__index__(value)
    else:
        hook = getattr(type(value), "__int__", None)
        if hook is None:
            raise TypeError("an integer is required")
        result = hook(value)
        if not isinstance(result, int):
            raise TypeError(f"__int__ returned non-int (type {type(result).__name__})")
        number = int.__index__(result)
    if not -(2 ** (bits - 1)) <= number < 2 ** (bits - 1):
        raise OverflowError(f"Python int too large to convert to C {'int' if bits == 32 else 'long'}")
    return number
