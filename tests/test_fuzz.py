"""Any argument a Python program can pass gives the specified result or the
specified exception: never a crash, never a change to the inputs.

Cycles of rebound names and overrides run in a child interpreter, so a stack
overflow shows as a failed test instead of ending the run.
"""

import subprocess
import sys
import textwrap

CYCLES = """
    import functools
    import threading

    import numpy as np
    from ornivex import swing_v4, trend_v4 as t
    from ornivex.swing_v4 import QuorvelSwing

    def recursion_error(call):
        try:
            call()
        except RecursionError as error:
            return "maximum recursion depth exceeded" in str(error)
        return False

    f32 = np.ones(4, np.float32)
    own = dict(vars(t))

    def trend_cycles():
        for name, target, call in [
            ("ewma", "ema2", lambda: t.ema2(f32, 2)),
            ("ema2", "tema3", lambda: t.tema3(f32, 2)),
            ("ewma", "tema3", lambda: t.halftrend(f32, f32, f32, f32)),
        ]:
            setattr(t, name, getattr(t, target))
            assert recursion_error(call), name
            vars(t).update(own)
        assert t.ema2(f32, 2).shape == (4,)  # still usable

    class Swing(QuorvelSwing):
        pass

    def swing_cycles():
        s = Swing()
        s.range_size = s.quorvel_swing
        assert recursion_error(lambda: s.quorvel_swing(np.arange(40.0), 3, 1.0))
        s = Swing()
        s.range_size = functools.partial(s.quorvel_swing)  # no recursion check of its own
        assert recursion_error(lambda: s.quorvel_swing(np.arange(40.0), 3, 1.0))
        assert QuorvelSwing().quorvel_swing(np.arange(40.0), 3, 1.0).shape == (40, 3)

    trend_cycles()
    swing_cycles()
    threading.stack_size(1 << 20)  # a smaller stack than the main thread's
    worker = threading.Thread(target=lambda: (trend_cycles(), swing_cycles(), print("thread done")))
    worker.start()
    worker.join()
    print("done")
"""


def test_cycles_of_rebound_names_and_overrides_raise_recursion_error():
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(CYCLES)], capture_output=True, text=True,
                           timeout=300)
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.split() == ["thread", "done", "done"]
