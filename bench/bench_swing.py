"""QuorvelSwing speed: ns per bar beside one ewma pass and the literal model.

    python bench/bench_swing.py

Prints two tables.  The first gives range_size, range_filter and
quorvel_swing at n = 1e3 and 1e6 for periods 14 and 100, each as ns per bar,
as a multiple of one trend_v4.ewma pass over float32 of the same n, and
(n = 1e3 only) how many times faster than the literal NumPy model.  The
second runs quorvel_swing over two series in two threads against the same
work in one thread.  Every figure is the best of a few runs.
"""

from __future__ import annotations

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


def best_seconds(call, repeat=5, number=1):
    return min(timeit.repeat(call, repeat=repeat, number=number)) / number


def walk(n, seed=0):
    return 100.0 + np.cumsum(np.random.default_rng(seed).standard_normal(n))


def operations(x, period):
    r = swing.range_size(x, period, 2.0)
    return {
        "range_size": (lambda: swing.range_size(x, period, 2.0), lambda: swing_model.range_size(x, period, 2.0)),
        "range_filter": (lambda: swing.range_filter(x, r), lambda: swing_model.range_filter(x, r)),
        "quorvel_swing": (lambda: swing.quorvel_swing(x, period, 2.0),
                          lambda: swing_model.quorvel_swing(x, period, 2.0)),
    }


def per_bar_table():
    print(f"{'operation':>14} {'n':>9} {'period':>6} {'ns/bar':>8} {'x ewma':>7} {'x faster than model':>20}")
    for n in (1_000, 1_000_000):
        x = walk(n)
        number = max(1, 200_000 // n)
        x32 = x.astype(np.float32)
        ewma_ns = best_seconds(lambda: trend_v4.ewma(x32, 0.1), number=number) / n * 1e9
        print(f"{'ewma (float32)':>14} {n:>9} {'':>6} {ewma_ns:>8.2f}")
        for period in (14, 100):
            for name, (native, literal) in operations(x, period).items():
                ns = best_seconds(native, number=number) / n * 1e9
                speedup = ""
                if n <= 1_000:
                    speedup = f"{best_seconds(literal, repeat=2) / n * 1e9 / ns:>20.0f}"
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
        best = float("inf")
        for _ in range(3):
            start = time.perf_counter()
            run()
            best = min(best, time.perf_counter() - start)
        return best

    alone, paired = timed(one_thread), timed(two_threads)
    print(f"quorvel_swing, 2 series x {rounds} rounds of n={n}: one thread {alone * 1e3:.1f} ms, "
          f"two threads {paired * 1e3:.1f} ms -> {alone / paired:.2f}x the throughput")


if __name__ == "__main__":
    per_bar_table()
    thread_scaling()
