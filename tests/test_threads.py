"""Many threads calling a mix of entry points on shared read-only inputs get
exactly what one thread gets, failures included; the inputs stay as they were."""

import pickle
import sys
import threading

import numpy as np
import pytest

from conftest import same_bits
from ornivex import swing_v4, trend_v4
from ornivex.swing_v4 import QuorvelSwing


def frozen(array):
    array.flags.writeable = False
    return array


def walk(n, seed, dtype):
    rng = np.random.default_rng(seed)
    x = 100 + np.cumsum(rng.standard_normal(n))
    x[rng.choice(n, n // 100, replace=False)] = np.nan
    return frozen(x.astype(dtype))


F = [walk(n, seed, np.float32) for seed, n in enumerate([1, 7, 500, 20_000])]
D = [walk(n, seed, np.float64) for seed, n in enumerate([1, 7, 500, 20_000, 200_000])]
WIDE = frozen(np.repeat(D[3], 2))[::-2]  # reversed and strided
SWING = QuorvelSwing()


class Sub(QuorvelSwing):
    pass


SUB = Sub()


def tasks_over(F, D, wide):
    """One call each, together every entry point and some failures."""
    return (
        [lambda f=f: trend_v4.ewma(f, 0.3) for f in F]
        + [lambda f=f: trend_v4.ema2(f, 14) for f in F]
        + [lambda f=f: trend_v4.tema3(f, 9) for f in F]
        + [lambda f=f: trend_v4.halftrend(f, f, f, f, 3, 1.5) for f in F]
        + [lambda d=d: SWING.range_size(d, 14, 2.0) for d in D[2:]]
        + [lambda d=d: SWING.range_filter(d, d * 0 + 1.0) for d in D]
        + [lambda d=d: SUB.quorvel_swing(d, 14, 2.0) for d in D[2:]]
        + [lambda: SWING.quorvel_swing(wide, 5, 1.0),
           lambda: pickle.loads(pickle.dumps(SUB)).range_size(D[2], 3, 1.0),
           lambda: trend_v4.ewma(D[2], 0.5),  # wrong element type
           lambda: trend_v4.halftrend(F[2], F[2], F[2], F[2], 0),  # NumPy's empty-window error
           lambda: SWING.range_size(D[1], 14, 2.0),  # too short for the windows
           lambda: swing_v4.__pyx_unpickle_QuorvelSwing(QuorvelSwing, 1, None),  # wrong checksum
           lambda: trend_v4.ewma(F[2].view(PythonItems), 0.2),
           lambda: trend_v4.tema3(F[2].view(PythonItems), 3)]
    )


class PythonItems(np.ndarray):
    """Item access through Python code, where the interpreter may switch threads."""

    def __getitem__(self, index):
        return super().__getitem__(index)


def run(task):
    try:
        return "result", task()
    except Exception as error:  # noqa: BLE001 - failures are compared too
        return "raised", (type(error), str(error))


def same(a, b):
    if a[0] != b[0]:
        return False
    if a[0] == "raised":
        return a[1] == b[1]
    if isinstance(a[1], dict):
        return list(a[1]) == list(b[1]) and all(same_bits(a[1][k], b[1][k]) for k in a[1])
    if isinstance(a[1], QuorvelSwing):
        return type(a[1]) is type(b[1])
    return same_bits(a[1], b[1])


@pytest.fixture
def frequent_switches():
    """The interpreter switches threads every microsecond, not every 5 ms."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


@pytest.fixture(params=["own names", "stand-ins"])
def names(request):
    """With stand-ins, trend_v4's ema2 is a Python wrapper and both modules' np
    a proxy module: the composed and written-out paths, full of Python calls."""
    saved = dict(vars(trend_v4)), dict(vars(swing_v4))
    if request.param == "stand-ins":
        own_ema2 = trend_v4.ema2
        trend_v4.ema2 = lambda source, length: own_ema2(source, length)
        proxy = type(sys)("numpy_proxy")
        proxy.__getattr__ = lambda name: getattr(np, name)
        trend_v4.np = swing_v4.np = proxy
    yield request.param
    for module, namespace in zip((trend_v4, swing_v4), saved):
        vars(module).clear()
        vars(module).update(namespace)


@pytest.mark.parametrize("threads", [2, 8])
def test_threads_give_the_one_thread_results(threads, names, frequent_switches):
    # The written-out paths make a Python call per window: shorter series there.
    tasks = tasks_over(F, D, WIDE) if names == "own names" else tasks_over(F[:3], D[:3], WIDE[:300])
    alone = [run(task) for task in tasks]
    inputs = [a.tobytes() for a in F + D]
    together = [[None] * len(tasks) for _ in range(threads)]
    start = threading.Barrier(threads)

    def work(k):
        start.wait()
        order = np.random.default_rng(k).permutation(len(tasks))  # each thread its own mix
        for _ in range(2):
            for i in order:
                together[k][i] = run(tasks[i])

    workers = [threading.Thread(target=work, args=(k,)) for k in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    for results in together:
        assert all(same(a, b) for a, b in zip(alone, results))
    assert [a.tobytes() for a in F + D] == inputs
