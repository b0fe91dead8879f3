"""The rules every indicator parameter follows, wherever it is given.

One rule per kind of parameter, with one message, shared by the command line,
``ornivex.frame``, the DataFrame accessors and the stream classes:

- counts of bars (``amplitude``, ``length``, ``period``, ``atr_length``) are
  whole numbers of at least 1;
- widths (``channel_deviation``, ``multiplier``) are finite numbers of at least 0;
- ``alpha``, the weight of the newest value in an average, is finite and in (0, 1].

Each check returns the value as a plain Python ``int`` or ``float`` and raises
ValueError otherwise.  The command turns the same rule into argparse's style.
"""

from __future__ import annotations

import math
import numbers


def whole_number(value: object, name: str) -> int:
    """`value` as an int when it is a whole number of at least 1 (a bool is not)."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < 1:
        raise ValueError(f"{name} must be a whole number of at least 1, got {value!r}")
    return int(value)


def width(value: object, name: str) -> float:
    """`value` as a float when it is a finite number of at least 0."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not math.isfinite(value) or float(value) < 0:
        raise ValueError(f"{name} must be a finite number of at least 0, got {value!r}")
    return float(value)


def alpha(value: object, name: str = "alpha") -> float:
    """`value` as a float when it is a finite number in (0, 1]."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not 0 < float(value) <= 1:
        raise ValueError(f"{name} must be a finite number in (0, 1], got {value!r}")
    return float(value)


def whole_number_text(text: str) -> int:
    """A command-line count: the same rule, in argparse's words ("'0' is not a whole number of at least 1")."""
    try:
        return whole_number(int(text), "value")
    except ValueError:
        raise ValueError(f"{text!r} is not a whole number of at least 1") from None


def width_text(text: str) -> float:
    """A command-line width: the same rule, in argparse's words."""
    try:
        return width(float(text), "value")
    except ValueError:
        raise ValueError(f"{text!r} is not a finite number of at least 0") from None
