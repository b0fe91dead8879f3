"""Every entry point called many times, on success and on each error path:
the arguments' reference counts stay where they were, and neither the memory
traced by tracemalloc (NumPy's array data included) nor the resident set
grows.  ORNIVEX_LEAK_CALLS sets the number of calls per case (default 10^4).
"""

import os
import pickle
import sys
import tracemalloc

import numpy as np
import pytest

from hostile import Boom, numpy_proxy
from ornivex import _grouped, swing_v4, trend_v4
from ornivex.swing_v4 import QuorvelSwing

CALLS = int(os.environ.get("ORNIVEX_LEAK_CALLS", "10000"))
SANITIZED = os.environ.get("ORNIVEX_SANITIZED") == "1"
N = 24


class Raising:
    def __float__(self):
        raise Boom("float")

    __int__ = __float__


class Quiet(np.ndarray):
    pass


class RaisingItems(np.ndarray):
    def __getitem__(self, index):
        raise Boom("item")


class Overrides(QuorvelSwing):
    pass


class WithDict(QuorvelSwing):
    pass


def series(dtype=np.float32, n=N):
    return (100 + np.cumsum(np.random.default_rng(n).standard_normal(n))).astype(dtype)


F, D = series(), series(np.float64)
F_RO = F.copy()
F_RO.flags.writeable = False
BIG_ENDIAN = F.astype(">f4")
Q, SUB = QuorvelSwing(), Overrides()
WITH_DICT = WithDict()
WITH_DICT.a = [1, 2]
t = trend_v4
g = _grouped
CODES = np.arange(N, dtype=np.int64) % 3 - 1  # groups 0 and 1, every third row left out
NEWEST_FIRST = np.arange(N, dtype=np.int64)[::-1].copy()
STRING_OFFSETS = np.arange(N + 1, dtype=np.int32) // 2  # strings of 0 or 1 byte
STRING_BYTES = np.frombuffer(b"abcabcabcabc", np.uint8)
STRING_TEXT = np.frombuffer(b"abc" * 8, np.uint8)
VALID_BITS = np.array([0xF7, 0xFF, 0xFF, 0xFF], np.uint8)
SYMBOL_OBJECTS = np.array(["AB", None, "é", float("nan"), "AB" * 20, "😀"] * 4, dtype=object)
STRING_VIEWS = np.zeros((N, 4), np.int32)  # (length, inline bytes or prefix, buffer, offset)
STRING_VIEWS[::2] = [14, 0, 0, 2]  # every other string 14 bytes of STRING_TEXT
STRING_VIEWS = STRING_VIEWS.view(np.uint8).ravel()

# (name, call, arguments, what it raises or None, rebinding in trend_v4 / swing_v4 / on Overrides)
CASES = [
    ("ewma", t.ewma, (F, 0.5), None, {}),
    ("ewma keywords", lambda *a: t.ewma(series=a[0], alpha=a[1]), (F_RO, 0.5), None, {}),
    ("ewma subclass", t.ewma, (F.view(Quiet), 0.5), None, {}),
    ("ewma empty", t.ewma, (F[:0], 0.5), None, {}),
    ("ewma too many", t.ewma, (F, 0.5, 1), TypeError, {}),
    ("ewma unknown keyword", lambda *a: t.ewma(a[0], alpha=a[1], beta=1), (F, 0.5), TypeError, {}),
    ("ewma conversion", t.ewma, (F, "x"), TypeError, {}),
    ("ewma raising hook", t.ewma, (F, Raising()), Boom, {}),
    ("ewma list", t.ewma, ([1.0, 2.0], 0.5), TypeError, {}),
    ("ewma None", t.ewma, (None, 0.5), TypeError, {}),
    ("ewma float64", t.ewma, (D, 0.5), ValueError, {}),
    ("ewma big-endian", t.ewma, (BIG_ENDIAN, 0.5), ValueError, {}),
    ("ewma two-dimensional", t.ewma, (F.reshape(4, -1), 0.5), ValueError, {}),
    ("ewma datetime", t.ewma, (np.zeros(3, "M8[s]"), 0.5), ValueError, {}),
    ("ewma raising items", t.ewma, (F.view(RaisingItems), 0.5), Boom, {}),
    ("ewma np deleted", t.ewma, (F, 0.5), NameError, {"np": None}),
    ("ema2", t.ema2, (F, 14), None, {}),
    ("ema2 ewma deleted", t.ema2, (F, 14), NameError, {"ewma": None}),
    ("tema3 fused", t.tema3, (F, 4), None, {}),
    ("tema3 composed", t.tema3, (F, 4), None, {"ema2": lambda s, n: trend_v4_own["ema2"](s, n)}),
    ("tema3 float64 stage", t.tema3, (F, 4), ValueError, {"ema2": lambda s, n: D}),
    ("tema3 raising stage", t.tema3, (F, 4), Boom, {"ewma": lambda s, a: (_ for _ in ()).throw(Boom())}),
    ("halftrend fused", t.halftrend, (F, F, F, F), None, {}),
    ("halftrend stepwise", t.halftrend, (F, F, F, F, 3, 1.5), None, {"np": "proxy"}),
    ("halftrend amplitude 0", t.halftrend, (F, F, F, F, 0), ValueError, {}),
    ("halftrend unequal", t.halftrend, (F, F[:-1], F, F), ValueError, {}),
    ("halftrend amplitude text", t.halftrend, (F, F, F, F, "2"), TypeError, {}),
    ("halftrend amplitude overflow", t.halftrend, (F, F, F, F, 2**31), OverflowError, {}),
    ("halftrend short smoothing", t.halftrend, (F, F, F, F), ValueError, {"tema3": lambda s, n: F[:2]}),
    ("halftrend None smoothing", t.halftrend, (F, F, F, F), ValueError, {"tema3": lambda s, n: None}),
    ("range_size", Q.range_size, (D, 3, 2.0), None, {}),
    ("range_size subclass", SUB.range_size, (D, 3, 2.0), None, {}),
    ("range_size as written", Q.range_size, (D, 3, 2.0), None, {"np": "proxy"}),
    ("range_size period 0", Q.range_size, (D, 0, 2.0), ValueError, {}),
    ("range_size too short", Q.range_size, (D[:2], 3, 2.0), ValueError, {}),
    ("range_size float32", Q.range_size, (F, 3, 2.0), ValueError, {}),
    ("range_size period text", Q.range_size, (D, "3", 2.0), TypeError, {}),
    ("range_filter", Q.range_filter, (D, D), None, {}),
    ("range_filter as written", Q.range_filter, (D, D), None, {"np": "proxy"}),
    ("range_filter short r", Q.range_filter, (D, D[:3]), ValueError, {}),
    ("range_filter None", Q.range_filter, (D, None), TypeError, {}),
    ("quorvel_swing", Q.quorvel_swing, (D, 3, 2.0), None, {}),
    ("quorvel_swing override list", SUB.quorvel_swing, (D, 3, 2.0), TypeError, {"range_size": lambda s, *a: [1.0]}),
    ("quorvel_swing override None", SUB.quorvel_swing, (D, 3, 2.0), ValueError, {"range_size": lambda s, *a: None}),
    ("quorvel_swing override raises", SUB.quorvel_swing, (D, 3, 2.0), Boom,
     {"range_filter": lambda s, *a: (_ for _ in ()).throw(Boom())}),
    ("quorvel_swing override array", SUB.quorvel_swing, (D, 3, 2.0), None, {"range_filter": lambda s, x, r: x}),
    ("reduce", Q.__reduce__, (), None, {}),
    ("reduce with dict", WITH_DICT.__reduce__, (), None, {}),
    ("setstate", WITH_DICT.__setstate__, (({"a": 1},),), None, {}),
    ("setstate list", Q.__setstate__, ([],), TypeError, {}),
    ("setstate None", Q.__setstate__, (None,), TypeError, {}),
    ("rebuild", swing_v4.__pyx_unpickle_QuorvelSwing, (WithDict, 0xE3B0C44, ({"a": 1},)), None, {}),
    ("rebuild checksum", swing_v4.__pyx_unpickle_QuorvelSwing, (QuorvelSwing, 1, None), pickle.PickleError, {}),
    ("rebuild foreign type", swing_v4.__pyx_unpickle_QuorvelSwing, (int, 0xE3B0C44, None), TypeError, {}),
    ("rebuild bad state", swing_v4.__pyx_unpickle_QuorvelSwing, (WithDict, 0xE3B0C44, ([1],)), TypeError, {}),
    ("pickle round trip", lambda obj: pickle.loads(pickle.dumps(obj)), (WITH_DICT,), None, {}),
    ("grouped halftrend", g.halftrend, (D, D, D, None, CODES, 2, NEWEST_FIRST, 2, 2.0, 14, 1), None, {}),
    ("grouped swing", g.swing, (D, CODES, 2, None, 3, 2.0, 1), None, {}),
    ("grouped atr", g.atr, (D, D, D, CODES, 2, NEWEST_FIRST, 14, 1), None, {}),
    ("grouped code out of range", g.atr, (D, D, D, CODES, 1, None, 14, 1), ValueError, {}),
    ("grouped series_atr", g.series_atr, (D[::-1], D, D, 14), None, {}),
    ("grouped series_atr empty", g.series_atr, (D[:0], D[:0], D[:0], 1), None, {}),
    ("grouped series_atr unequal", g.series_atr, (D, D[:-1], D, 14), ValueError, {}),
    ("grouped series_atr length 0", g.series_atr, (D, D, D, 0), ValueError, {}),
    ("grouped unequal", g.swing, (D, CODES[:-1], 2, None, 3, 2.0, 1), ValueError, {}),
    ("grouped threads 0", g.halftrend, (D, D, D, D, CODES, 2, None, 2, 2.0, 14, 0), ValueError, {}),
    ("grouped string_codes", g.string_codes, (STRING_OFFSETS, STRING_BYTES, VALID_BITS, 1, 2), None, {}),
    ("grouped string_codes falling", g.string_codes, (STRING_OFFSETS[::-1], STRING_BYTES, None, 0, 1), ValueError, {}),
    ("grouped string_view_codes", g.string_view_codes, (STRING_VIEWS, (STRING_TEXT,), VALID_BITS, 1, 2), None, {}),
    ("grouped string_view_codes outside", g.string_view_codes, (STRING_VIEWS, (), None, 0, 1), ValueError, {}),
    ("grouped object_codes", g.object_codes, (SYMBOL_OBJECTS, (None,), 2), None, {}),
    ("grouped object_codes other object", g.object_codes, (np.append(SYMBOL_OBJECTS, 1), (), 1), None, {}),
    ("grouped object_codes 2-d", g.object_codes, (SYMBOL_OBJECTS.reshape(2, -1), (), 1), ValueError, {}),
]
trend_v4_own = dict(vars(trend_v4))


def rebind(changes):
    """Applies `changes`; returns the undo."""
    saved_trend, saved_swing = dict(vars(trend_v4)), dict(vars(swing_v4))
    for name, value in changes.items():
        if name in ("range_size", "range_filter"):
            setattr(Overrides, name, value)
        else:
            for module in (trend_v4, swing_v4):
                if value is None:
                    vars(module).pop(name, None)
                elif name == "np" or name in vars(module):
                    setattr(module, name, numpy_proxy() if value == "proxy" else value)

    def undo():
        for module, saved in ((trend_v4, saved_trend), (swing_v4, saved_swing)):
            vars(module).clear()
            vars(module).update(saved)
        for name in ("range_size", "range_filter"):
            if name in vars(Overrides):
                delattr(Overrides, name)

    return undo


def call_many(call, args, count):
    for _ in range(count):
        try:
            call(*args)
        except Exception:  # noqa: BLE001 - the error paths are what is measured
            pass


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("name, call, args, raises, changes", CASES, ids=[case[0] for case in CASES])
def test_many_calls_leave_nothing_behind(name, call, args, raises, changes):
    undo = rebind(changes)
    try:
        if raises is None:
            call(*args)
        else:
            with pytest.raises(raises):
                call(*args)
        # Interpreter-wide singletons (small ints, None) are everybody's: any
        # cache may take a reference to them, so they are not watched.
        watched = [obj for obj in list(args) + [call] if sys.getrefcount(obj) < 1_000_000]
        tracemalloc.start()
        call_many(call, args, 300)  # free lists, caches and the warnings registry settle
        counts = [sys.getrefcount(obj) for obj in watched]
        traced, rss = [tracemalloc.get_traced_memory()[0]], [resident_bytes()]
        for _ in range(3):
            call_many(call, args, CALLS // 2)
            traced.append(tracemalloc.get_traced_memory()[0])
            rss.append(resident_bytes())
        tracemalloc.stop()
    finally:
        undo()
    assert [sys.getrefcount(obj) for obj in watched] == counts
    # A leak grows every stretch; a table the interpreter or tracemalloc
    # enlarges once (the interned strings, which every traceback entry's code
    # object passes through), or another thread of the test process, grows
    # one of them.
    traced_growth = min(b - a for a, b in zip(traced, traced[1:]))
    rss_growth = min(b - a for a, b in zip(rss, rss[1:]))
    assert traced_growth < 32 * 1024, f"{traced_growth} bytes more traced after {CALLS // 2} calls"
    if not SANITIZED:  # AddressSanitizer holds freed memory in quarantine
        assert rss_growth < 2 * 1024 * 1024, f"resident set grew by {rss_growth} bytes in {CALLS // 2} calls"
