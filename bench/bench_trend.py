"""tema3 and halftrend speed beside one ewma pass, the literal model and pandas.

    python bench/bench_trend.py

Prints ns per element (per bar for halftrend), best of several runs in CPU
time of this process (on a shared machine the wall clock also counts other
people's work), the ratios to one ewma pass and to the literal model, and
the fresh pages each call touches (minor page faults): every result array
is new memory, and faulting it in is part of what a caller pays.  That part
runs in the operating system, so a call's system time shows its share.
"""

from __future__ import annotations

import pathlib
import resource
import sys
import time
import timeit
import warnings

import numpy as np

from ornivex import trend_v4

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

TEMA3_TARGET = 1.35  # tema3 / ewma at n = 1e6
HALFTREND_TARGET = 4.0  # halftrend / ewma at n = 1e6
MODEL_TARGET = 1000.0  # literal model / ours at n = 1e5


def best_ns_per_element(call, n, repeat=7, number=None):
    number = number or max(1, 1_000_000 // n)
    return min(timeit.repeat(call, repeat=repeat, number=number, timer=time.process_time)) / number / n * 1e9


def user_and_system_ns(call, n, repeat=7, number=5):
    """Best user and system CPU time per element; the system part of a call
    that makes fresh arrays is the kernel faulting their pages in."""
    best = (float("inf"), float("inf"))
    for _ in range(repeat):
        before = resource.getrusage(resource.RUSAGE_SELF)
        for _ in range(number):
            call()
        after = resource.getrusage(resource.RUSAGE_SELF)
        spent = ((after.ru_utime - before.ru_utime), (after.ru_stime - before.ru_stime))
        if sum(spent) < sum(best):
            best = spent
    return tuple(seconds / number / n * 1e9 for seconds in best)


def faults_per_call(call, calls=5):
    call()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(calls):
        call()
    return (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / calls


def bars(n, rng):
    close = (np.cumsum(rng.normal(size=n)) + 1000).astype(np.float32)
    high = close + np.abs(rng.normal(size=n)).astype(np.float32)
    low = close - np.abs(rng.normal(size=n)).astype(np.float32)
    return high, low, close, high - low


def verdict(ratio, target, lower_is_better=True):
    met = ratio <= target if lower_is_better else ratio >= target
    return "met" if met else "MISSED"


def native_table(rng, pd):
    print(f"{'n':>9} {'ewma':>7} {'tema3':>7} {'x ewma':>7} {'halftrend':>10} {'x ewma':>7} "
          f"{'faults/call ewma, tema3, halftrend':>36} {'pandas TEMA':>12}")
    ratios = {}
    for n in (1_000, 1_000_000):
        high, low, close, tr = series = bars(n, rng)
        calls = {
            "ewma": lambda: trend_v4.ewma(close, 0.4),
            "tema3": lambda: trend_v4.tema3(close, 4),
            "halftrend": lambda: trend_v4.halftrend(*series),
        }
        ns = {name: best_ns_per_element(call, n) for name, call in calls.items()}
        faults = ", ".join(f"{faults_per_call(call):.0f}" for call in calls.values())
        peer = "-"
        if pd is not None:
            s = pd.Series(close)

            def peer_tema():
                e1 = s.ewm(span=4, adjust=False).mean()
                e2 = e1.ewm(span=4, adjust=False).mean()
                return 3 * e1 - 3 * e2 + e2.ewm(span=4, adjust=False).mean()

            peer = f"{best_ns_per_element(peer_tema, n):.2f}"
        ratios[n] = (ns["tema3"] / ns["ewma"], ns["halftrend"] / ns["ewma"])
        print(f"{n:>9} {ns['ewma']:>7.2f} {ns['tema3']:>7.2f} {ratios[n][0]:>7.2f} {ns['halftrend']:>10.2f} "
              f"{ratios[n][1]:>7.2f} {faults:>36} {peer:>12}")
    if pd is None:
        print("(pandas not installed: no peer TEMA)")
    ewma_user, ewma_system = user_and_system_ns(calls["ewma"], n)
    user, system = user_and_system_ns(calls["halftrend"], n)
    print(f"\nhalftrend at n = 1e6: {user + system:.2f} ns per bar = {user:.2f} in the process "
          f"({user / (ewma_user + ewma_system):.2f}x one ewma pass) + {system:.2f} in the system "
          f"({system / (user + system):.0%}, faulting in the {faults_per_call(calls['halftrend']):.0f} fresh pages "
          f"of its seven results; ewma: {ewma_system:.2f} of {ewma_user + ewma_system:.2f})")
    return ratios[1_000_000]


def model_table(rng):
    from models import trend_model

    print(f"\n{'n':>9} {'model tema3':>12} {'x ours':>8} {'model halftrend':>16} {'x ours':>8}   (ns per element)")
    speedups = {}
    for n in (1_000, 100_000):
        series = bars(n, rng)
        repeat = 3 if n <= 1_000 else 1
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            model_tema3 = best_ns_per_element(lambda: trend_model.tema3(series[2], 4), n, repeat, 1)
            model_halftrend = best_ns_per_element(lambda: trend_model.halftrend(*series), n, repeat, 1)
        ours_tema3 = best_ns_per_element(lambda: trend_v4.tema3(series[2], 4), n)
        ours_halftrend = best_ns_per_element(lambda: trend_v4.halftrend(*series), n)
        speedups[n] = (model_tema3 / ours_tema3, model_halftrend / ours_halftrend)
        print(f"{n:>9} {model_tema3:>12.0f} {speedups[n][0]:>8.0f} {model_halftrend:>16.0f} {speedups[n][1]:>8.0f}")
    return speedups[100_000]


def main() -> None:
    rng = np.random.default_rng(0)
    try:
        import pandas as pd
    except ImportError:
        pd = None
    tema3_ratio, halftrend_ratio = native_table(rng, pd)
    tema3_speedup, halftrend_speedup = model_table(rng)
    print(f"\ntema3 at 1e6: {tema3_ratio:.3f}x one ewma pass (target {TEMA3_TARGET}x) "
          f"{verdict(tema3_ratio, TEMA3_TARGET)}")
    print(f"halftrend at 1e6: {halftrend_ratio:.3f}x one ewma pass (target {HALFTREND_TARGET}x) "
          f"{verdict(halftrend_ratio, HALFTREND_TARGET)}")
    for name, speedup in (("tema3", tema3_speedup), ("halftrend", halftrend_speedup)):
        print(f"{name} at 1e5: {speedup:.0f}x faster than the literal model (target {MODEL_TARGET:.0f}x) "
              f"{verdict(speedup, MODEL_TARGET, lower_is_better=False)}")


if __name__ == "__main__":
    main()
