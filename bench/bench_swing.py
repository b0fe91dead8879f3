"""QuorvelSwing speed: ns per bar beside one ewma pass and the literal model.

    python bench/bench_swing.py

Prints two tables.  The first gives range_size, range_filter and
quorvel_swing at n = 1e3 and 1e6 for periods 14 and 100, each as ns per bar,
as a multiple of one trend_v4.ewma pass over float32 of the same n, and
how many times faster than the literal NumPy model (whose cost per bar,
measured at n = 1e3, does not depend on n).  The
second runs quorvel_swing over two series in two threads against the same
work in one thread (wall time, with the CPU/wall ratio that shows whether
a second core was there to be had).  Every figure is the best of a few runs.
"""

from __future__ import annotations

import os
import pathlib
import sys
import threading
import time
import timeit

import numpy as np

from ornivex import trend_v4
from ornivex.swing_v4 import QuorvelSwing

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from models import swing_model  # noqa: E402

swing = QuorvelSwing()


def best_per_bar(cases, n, rounds=7):
    """ns per bar of each case, best of `rounds`, in CPU time of this process
    (on a shared machine the wall clock also counts other people's work).
    The rounds cycle through all cases, so a burst of load hits them alike."""
    number = max(1, 200_000 // n)
    best = {name: float("inf") for name in cases}
    for _ in range(rounds):
        for name, call in cases.items():
            seconds = timeit.timeit(call, number=number, timer=time.process_time)
            best[name] = min(best[name], seconds / number / n * 1e9)
    return best


def walk(n, seed=0):
    return 100.0 + np.cumsum(np.random.default_rng(seed).standard_normal(n))


def per_bar_table():
    print(f"{'operation':>14} {'n':>9} {'period':>6} {'ns/bar':>8} {'x ewma':>7} {'x faster than model':>20}")
    model_ns = {}
    for n in (1_000, 1_000_000):
        x = walk(n)
        x32 = x.astype(np.float32)
        cases = {("ewma (float32)", ""): lambda: trend_v4.ewma(x32, 0.1)}
        literal = {}
        for period in (14, 100):
            r = swing.range_size(x, period, 2.0)
            cases[("range_size", period)] = lambda p=period: swing.range_size(x, p, 2.0)
            cases[("range_filter", period)] = lambda r=r: swing.range_filter(x, r)
            cases[("quorvel_swing", period)] = lambda p=period: swing.quorvel_swing(x, p, 2.0)
            literal[("range_size", period)] = lambda p=period: swing_model.range_size(x, p, 2.0)
            literal[("range_filter", period)] = lambda r=r: swing_model.range_filter(x, r)
            literal[("quorvel_swing", period)] = lambda p=period: swing_model.quorvel_swing(x, p, 2.0)
        native = best_per_bar(cases, n)
        if n <= 1_000:  # the model is linear in n: its ns/bar here stands for every n
            model_ns = best_per_bar(literal, n, rounds=2)
        ewma_ns = native[("ewma (float32)", "")]
        for (name, period), ns in native.items():
            speedup = f"{model_ns[name, period] / ns:>20.0f}" if (name, period) in model_ns else ""
            print(f"{name:>14} {n:>9} {period:>6} {ns:>8.2f} {ns / ewma_ns:>7.2f} {speedup}")


def thread_scaling(n=1_000_000, rounds=4):
    series = [walk(n, seed) for seed in (1, 2)]

    def work(x):
        for _ in range(rounds):
            swing.quorvel_swing(x, 14, 2.0)

    def one_thread():
        for x in series:
            work(x)

    def two_threads():
        threads = [threading.Thread(target=work, args=(x,)) for x in series]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    def timed(run):
        """Best wall time of three runs, and the process CPU time of that run
        (CPU / wall near 2 means both threads really ran at once)."""
        best = (float("inf"), 0.0)
        for _ in range(3):
            wall, cpu = time.perf_counter(), time.process_time()
            run()
            best = min(best, (time.perf_counter() - wall, time.process_time() - cpu))
        return best

    (alone, _), (paired, paired_cpu) = timed(one_thread), timed(two_threads)
    print(f"quorvel_swing, 2 series x {rounds} rounds of n={n}: one thread {alone * 1e3:.1f} ms, "
          f"two threads {paired * 1e3:.1f} ms -> {alone / paired:.2f}x the throughput "
          f"(CPU/wall with two threads {paired_cpu / paired:.2f}; load average {os.getloadavg()[0]:.1f})")


if __name__ == "__main__":
    per_bar_table()
    thread_scaling()
