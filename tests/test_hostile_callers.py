"""Other code running during a call cannot pull memory from under it, and the
process survives what the platform throws at an import or a thread.

Each case runs in a child interpreter, since the fault it guards against is a
crash: another thread, a subclass operator, an override look-up or a rebound
`np` resizing an array a call is using (NumPy must refuse, because the call
keeps the array referenced); a failed import in a sub-interpreter; a NumPy
that cannot be imported; the smallest thread stack Python allows.
"""

import json
import subprocess
import sys
import textwrap

import pytest

REFUSED = "cannot resize an array that references or is referenced"


def run_child(source, env=None, timeout=300):
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(source)], capture_output=True, text=True,
                           timeout=timeout, env=env)
    assert child.returncode == 0, child.stderr[-3000:]
    return child.stdout.split("\n")


RESIZE = """
    import json, sys, threading, types
    import numpy as np
    from ornivex import _grouped, swing_v4, trend_v4

    outcomes = []

    def attempt(resize):
        # NumPy allows the resize while it sees two references: the caller's
        # and the one on the stack here, so each case resizes in one expression.
        try:
            resize()
            outcomes.append("resized")
        except ValueError as error:
            outcomes.append(str(error))

    case = sys.argv[1]
    if case.startswith("thread"):
        # The kernels run without the interpreter lock; with a switch interval
        # of an hour the other thread runs exactly while they do.
        entry = case.split()[1]
        sys.setswitchinterval(3600)
        n = 1 << 22
        d = {"x": np.random.default_rng(0).random(n)}
        done = []
        go = threading.Event()
        other = threading.Thread(target=lambda: go.wait() and (outcomes.append("late") if done else attempt(
            lambda: d.pop("x").resize(16, refcheck=True))))
        other.start()
        q = swing_v4.QuorvelSwing()
        go.set()
        if entry == "range_filter":
            q.range_filter(d["x"], np.broadcast_to(1.0, n))
        elif entry == "series_atr":
            _grouped.series_atr(d["x"], d["x"], d["x"], 14)
        else:
            getattr(q, entry)(d["x"], 14, 2.0)
        done.append(True)
        other.join()
    elif case == "subclass operator":
        class Tr(np.ndarray):
            def __mul__(self, other):
                attempt(lambda: d.pop("c").resize(16, refcheck=True))
                return np.asarray(self) * other
        n = 1 << 16
        d = {"c": np.ones(n, np.float32)}
        x = np.ones(n, np.float32)
        trend_v4.halftrend(x, x, d["c"], np.ones(n, np.float32).view(Tr))
    elif case == "override look-up":
        d = {"arr": np.random.default_rng(1).random(1 << 16)}
        class Swing(swing_v4.QuorvelSwing):
            def __getattribute__(self, name):
                if name == "range_size" and "arr" in d:
                    attempt(lambda: d.pop("arr").resize(16, refcheck=True))
                return super().__getattribute__(name)
        Swing().quorvel_swing(d["arr"], 14, 2.0)
    elif case == "rebound np":
        made = []
        def zeros(*args, **kwargs):
            if made:
                attempt(lambda: made.pop().resize(16, refcheck=True))
            made.append(np.zeros(*args, **kwargs))
            return made[-1]
        trend_v4.np = types.ModuleType("numpy_proxy")
        trend_v4.np.__getattr__ = lambda name: getattr(np, name)
        trend_v4.np.zeros = zeros
        x = np.ones(1 << 16, np.float32)
        trend_v4.halftrend(x, x, x, x)
    print(json.dumps(outcomes))
"""


@pytest.mark.parametrize("case", ["thread range_filter", "thread range_size", "thread quorvel_swing",
                                  "thread series_atr", "subclass operator", "override look-up", "rebound np"])
def test_resizing_an_array_in_use_is_refused(case):
    for _ in range(3):  # the other thread may, rarely, be woken only after the call
        child = subprocess.run([sys.executable, "-c", textwrap.dedent(RESIZE), case], capture_output=True,
                               text=True, timeout=300)
        assert child.returncode == 0, child.stderr[-3000:]
        outcomes = json.loads(child.stdout)
        if outcomes != ["late"]:
            break
    assert outcomes and all(outcome.startswith(REFUSED) for outcome in outcomes), outcomes


SUB_INTERPRETER = """
    import sys
    import numpy as np
    try:
        import _interpreters as interpreters  # 3.13
        create = lambda isolated: interpreters.create(interpreters.new_config("isolated" if isolated else "legacy"))
        run = interpreters.exec
    except ImportError:
        import _xxsubinterpreters as interpreters
        create = lambda isolated: interpreters.create(isolated=isolated)
        run = interpreters.run_string

    for isolated in (False, True):
        sub = create(isolated)
        failure = run(sub, f'''import sys
    sys.path[:] = {sys.path!r}
    sys.modules["numpy"] = None  # the import fails at NumPy
    for name in ("trend_v4", "swing_v4"):
        try:
            __import__("ornivex." + name)
        except ImportError as error:
            # An isolated interpreter may refuse the module before it runs.
            assert str(error) in ("numpy.core.multiarray failed to import",
                                  f"module ornivex.{{name}} does not support loading in subinterpreters"), error
        else:
            raise AssertionError("imported")
    ''')
        assert failure is None, failure  # 3.13 returns what the sub-interpreter raised
        interpreters.destroy(sub)

    from ornivex import swing_v4, trend_v4
    f = np.arange(40, dtype=np.float32)
    assert trend_v4.halftrend(f, f, f, f)["buy"].shape == (40,)
    assert swing_v4.QuorvelSwing().quorvel_swing(f.astype(float), 3, 2.0).shape == (40, 3)
    try:
        trend_v4.ewma(f)
    except TypeError as error:
        assert error.__traceback__.tb_next.tb_frame.f_code.co_name == "ornivex.trend_v4.ewma"
    print("imported")
"""


def test_an_import_failed_in_a_sub_interpreter_leaves_the_main_one_free():
    pytest.importorskip("_interpreters" if sys.version_info >= (3, 13) else "_xxsubinterpreters")
    assert run_child(SUB_INTERPRETER) == ["imported", ""]


BROKEN_NUMPY = """
    import sys
    sys.path.insert(0, sys.argv[1])
    for name in ("trend_v4", "swing_v4"):
        try:
            __import__("ornivex." + name)
        except ImportError as error:
            assert str(error) == "numpy.core.multiarray failed to import", error
            print(type(error.__cause__).__name__, error.__cause__)
"""


def test_an_unimportable_numpy_is_the_cause_of_the_import_error(tmp_path):
    (tmp_path / "numpy").mkdir()
    (tmp_path / "numpy" / "__init__.py").write_text("raise RuntimeError('this NumPy is broken')\n")
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(BROKEN_NUMPY), str(tmp_path)],
                           capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr[-3000:]
    assert child.stdout.split("\n") == ["RuntimeError this NumPy is broken"] * 2 + [""]


SECOND_EXEC = """
    import importlib.util
    import numpy as np
    for name in ("ornivex.trend_v4", "ornivex.swing_v4"):
        spec = importlib.util.find_spec(name)
        first, second = importlib.util.module_from_spec(spec), importlib.util.module_from_spec(spec)
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as error:
            print(error)
    assert first.QuorvelSwing().quorvel_swing(np.arange(40.0), 3, 2.0).shape == (40, 3)
    from ornivex import trend_v4
    assert trend_v4.ema2(np.ones(3, np.float32), 2).tolist() == [1, 1, 1]  # ema2 still finds ewma
"""


def test_a_refused_second_initialisation_leaves_the_first_module_working():
    assert run_child(SECOND_EXEC) == [
        f"Module '{name}' has already been imported. Re-initialisation is not supported." for name in
        ("trend_v4", "swing_v4")] + [""]


HUGE_SIZES = """
    import numpy as np
    from ornivex import _grouped
    x, codes, bits = np.ones(4), np.zeros(4, np.int64), np.zeros(1, np.uint8)
    calls = {
        "atr": lambda: _grouped.atr(x, x, x, codes, 2**60, None, 14, 1),
        "swing": lambda: _grouped.swing(x, codes, 2**62, None, 3, 1.0, 2),
        "halftrend": lambda: _grouped.halftrend(x, x, x, None, codes, 2**63 - 1, None, 2, 2.0, 14, 10**9),
        "string_codes": lambda: _grouped.string_codes(np.arange(3, dtype=np.int32), np.zeros(2, np.uint8), bits,
                                                      2**63 - 9, 1),
        "string_view_codes": lambda: _grouped.string_view_codes(np.zeros(32, np.uint8), (), bits, 2**63 - 2, 1),
    }
    for name, call in calls.items():
        try:
            call()
            print(name, "returned")
        except Exception as error:
            print(name, type(error).__name__)
"""


def test_native_helpers_refuse_sizes_no_memory_or_bitmap_holds():
    assert run_child(HUGE_SIZES)[:5] == ["atr MemoryError", "swing MemoryError", "halftrend MemoryError",
                                         "string_codes ValueError", "string_view_codes ValueError"]


# A collection while a stream object makes its result runs a finalizer that
# calls the same object: it must be refused, not wait for its own thread.
REENTERED = """
    import gc
    import numpy as np
    from ornivex import stream
    swing, halftrend, bar = stream.Swing(3), stream.HalfTrend(2), np.ones(1, np.float32)
    for call in (lambda: swing.update(1.0), lambda: halftrend.update(1.0, 0.5, 0.7, 0.1),
                 lambda: halftrend.extend(bar, bar, bar, bar), swing.__reduce__, lambda: repr(swing),
                 lambda: halftrend.amplitude):
        class Cycle:
            def __init__(self):
                self.me = self

            def __del__(self):
                call()

        gc.disable()
        gc.set_threshold(1)
        Cycle()
        # Empties the free lists of tuples and dicts, so that making the result allocates.
        keep = [tuple(range(k)) for k in range(1, 21) for _ in range(2100)] + [{} for _ in range(100)]
        gc.enable()
        call()
        del keep
    print("returned")
"""


def test_a_finalizer_calling_the_object_in_use_does_not_deadlock():
    assert run_child(REENTERED, timeout=120)[0] == "returned"
