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
    from ornivex import swing_v4, trend_v4

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
                                  "subclass operator", "override look-up", "rebound np"])
def test_resizing_an_array_in_use_is_refused(case):
    for _ in range(3):  # the other thread may, rarely, be woken only after the call
        child = subprocess.run([sys.executable, "-c", textwrap.dedent(RESIZE), case], capture_output=True,
                               text=True, timeout=300)
        assert child.returncode == 0, child.stderr[-3000:]
        outcomes = json.loads(child.stdout)
        if outcomes != ["late"]:
            break
    assert outcomes and all(outcome.startswith(REFUSED) for outcome in outcomes), outcomes
