"""Thread scaling: how much the swing module's lock-free passes gain from a
second core, beside trend_v4, which holds the interpreter lock throughout.

    python bench/bench_threads.py [n]

For each operation, the same work (one call per series, several series of
n bars each, default n = 1e6) is timed on one thread and split over 2 and 4
threads.  Printed: wall time per call, throughput relative to one thread,
and CPU/wall (near the thread count when the threads really ran at once).
Each figure is the best of three runs; the machine's load average is shown
because other processes share its cores.
"""

from __future__ import annotations

import os
import sys
import threading
import time

import numpy as np

from ornivex import trend_v4
from ornivex.swing_v4 import QuorvelSwing

swing = QuorvelSwing()


def walk(n, seed, dtype=np.float64):
    return (100.0 + np.cumsum(np.random.default_rng(seed).standard_normal(n))).astype(dtype)


def timed(run):
    """Best wall time of three runs and the process CPU time of that run."""
    best = (float("inf"), 0.0)
    for _ in range(3):
        wall, cpu = time.perf_counter(), time.process_time()
        run()
        best = min(best, (time.perf_counter() - wall, time.process_time() - cpu))
    return best


def split(calls, threads):
    """Runs `calls` on `threads` threads, each taking every threads-th call."""
    def work(k):
        for call in calls[k::threads]:
            call()

    workers = [threading.Thread(target=work, args=(k,)) for k in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()


def main(n):
    series = [walk(n, seed) for seed in range(8)]
    ranges = [swing.range_size(x, 14, 2.0) for x in series]
    prices32 = [x.astype(np.float32) for x in series]
    operations = {
        "range_size": [lambda x=x: swing.range_size(x, 14, 2.0) for x in series],
        "range_filter": [lambda x=x, r=r: swing.range_filter(x, r) for x, r in zip(series, ranges)],
        "quorvel_swing": [lambda x=x: swing.quorvel_swing(x, 14, 2.0) for x in series],
        "halftrend (holds the lock)": [lambda f=f: trend_v4.halftrend(f, f, f, f) for f in prices32],
    }
    print(f"n = {n}, {len(series)} series per run, {os.cpu_count()} cores, "
          f"load average {os.getloadavg()[0]:.1f}")
    print(f"{'operation':>27} {'threads':>7} {'ms/call':>8} {'throughput':>10} {'CPU/wall':>8}")
    for name, calls in operations.items():
        alone = None
        for threads in (1, 2, 4):
            wall, cpu = timed(lambda: split(calls, threads))
            alone = alone or wall
            print(f"{name:>27} {threads:>7} {wall / len(calls) * 1e3:>8.2f} {alone / wall:>9.2f}x "
                  f"{cpu / wall:>8.2f}")


if __name__ == "__main__":
    main(int(float(sys.argv[1])) if len(sys.argv) > 1 else 1_000_000)
