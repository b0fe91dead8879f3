"""ewma speed: ns per element beside the C++ floor, the literal loop and pandas.

    python bench/bench_ewma.py

Prints one table; every figure is the best of several runs on one core.
"""

from __future__ import annotations

import pathlib
import subprocess
import sys
import tempfile
import timeit

import numpy as np

from ornivex import trend_v4

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))


def best_seconds(call, repeat=7, number=1):
    return min(timeit.repeat(call, repeat=repeat, number=number)) / number


def floor_ns(n: int) -> float:
    """Builds and runs the plain C++ recursion; ns per element."""
    exe = pathlib.Path(tempfile.gettempdir()) / "ornivex_ewma_floor"
    subprocess.run(["g++", "-O2", "-ffp-contract=off", str(HERE / "ewma_floor.cpp"), "-o", str(exe)], check=True)
    return float(subprocess.run([str(exe), str(n)], check=True, capture_output=True, text=True).stdout)


def main() -> None:
    rng = np.random.default_rng(0)
    try:
        from models import trend_model
    except ImportError:
        trend_model = None
    try:
        import pandas as pd
    except ImportError:
        pd = None

    print(f"{'n':>9} {'ewma ns/el':>11} {'floor ns/el':>12} {'ratio':>7} {'model ns/el':>12} {'pandas ns/el':>13}")
    for n in (1_000, 100_000, 1_000_000):
        x = np.cumsum(rng.normal(size=n)).astype(np.float32)
        number = max(1, 1_000_000 // n)
        ours = best_seconds(lambda: trend_v4.ewma(x, 0.1), number=number) / n * 1e9
        floor = floor_ns(n)
        model = ""
        if trend_model is not None and n <= 100_000:
            model = f"{best_seconds(lambda: trend_model.ewma(x[:1000], 0.1), repeat=3) / 1000 * 1e9:12.1f}"
        peer = ""
        if pd is not None:
            s = pd.Series(x)
            peer = f"{best_seconds(lambda: s.ewm(alpha=0.1, adjust=False).mean(), number=number) / n * 1e9:13.2f}"
        print(f"{n:>9} {ours:>11.3f} {floor:>12.3f} {ours / floor:>7.2f} {model:>12} {peer:>13}")

    x = np.arange(10, dtype=np.float32)
    call = best_seconds(lambda: trend_v4.ewma(x, 0.1), number=20_000) * 1e9
    alloc = best_seconds(lambda: np.empty(10, dtype=np.float32), number=20_000) * 1e9
    print(f"one call at n=10: {call:.0f} ns, of which np.empty(10, dtype=np.float32) alone {alloc:.0f} ns "
          f"-> {call - alloc:.0f} ns beyond NumPy's array creation")


if __name__ == "__main__":
    main()
