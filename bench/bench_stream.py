"""ornivex.stream: update cost per bar from a Python loop, extend against the
whole-series function over 1,000,000 bars, and two threads extending two
streams.  Prints figures; wall-clock times, best of a few runs (the two sides
of a comparison run in turn, so that both meet the same machine)."""

import threading
import time

import numpy as np

from ornivex import indicators, stream, swing_v4, trend_v4

N = 1_000_000


def best(*runs, repeat=7):
    times = [float("inf")] * len(runs)
    for _ in range(repeat):
        for k, run in enumerate(runs):
            start = time.perf_counter()
            run()
            times[k] = min(times[k], time.perf_counter() - start)
    return times


def feed(update, bars):
    """A live loop: one call per bar, each result dropped once looked at."""
    for bar in bars:
        update(*bar)


def in_two_threads(runs):
    def both():
        threads = [threading.Thread(target=run) for run in runs]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    return both


def main():
    rng = np.random.default_rng(1)
    wide = 100 + np.cumsum(rng.standard_normal(N))
    close = wide.astype(np.float32)
    high = (wide + rng.random(N)).astype(np.float32)
    low = (wide - rng.random(N)).astype(np.float32)
    tr = high - low
    swing = swing_v4.QuorvelSwing()

    bars = 100_000
    ema2_update = stream.Ema2(14).update
    halftrend_update = stream.HalfTrend(2).update
    swing_update = stream.Swing(14).update
    values = [(v,) for v in close[:bars].tolist()]
    rows = list(zip(high[:bars].tolist(), low[:bars].tolist(), close[:bars].tolist(), tr[:bars].tolist()))
    prices = [(v,) for v in wide[:bars].tolist()]
    for name, run, target in [
        ("Ema2", lambda: feed(ema2_update, values), 0.5),
        ("HalfTrend", lambda: feed(halftrend_update, rows), 1.0),
        ("Swing", lambda: feed(swing_update, prices), 1.0),
    ]:
        (seconds,) = best(run, repeat=3)
        print(f"{name:9s} update  {seconds / bars * 1e6:6.3f} us/bar (target {target})")

    for name, whole, chunk in [
        ("Ewma", lambda: trend_v4.ewma(close, 0.3), lambda: stream.Ewma(0.3).extend(close)),
        ("Ema2", lambda: trend_v4.ema2(close, 14), lambda: stream.Ema2(14).extend(close)),
        ("Tema3", lambda: trend_v4.tema3(close, 4), lambda: stream.Tema3(4).extend(close)),
        ("Atr", lambda: indicators.average_true_range(wide + 1, wide - 1, wide, 100),
         lambda: stream.Atr(100).extend(wide + 1, wide - 1, wide)),
        ("HalfTrend", lambda: trend_v4.halftrend(high, low, close, tr, 2, 2.0),
         lambda: stream.HalfTrend(2, 2.0).extend(high, low, close, tr)),
        ("Swing", lambda: swing.quorvel_swing(wide, 14, 2.0), lambda: stream.Swing(14, 2.0).extend(wide)),
    ]:
        a, b = best(whole, chunk)
        print(f"{name:9s} extend  {b / N * 1e9:6.2f} ns/bar, whole series {a / N * 1e9:6.2f} ns/bar, "
              f"ratio {b / a:4.2f} (target 1.5)")

    # Two streams in two threads against one: 1.0 is full overlap, 2.0 none.
    # Whole-series calls mostly measure faulting in the result arrays' memory;
    # chunks of a few thousand bars, as a feed sends them, reuse it.
    def chunked(obj, args, size=4096):
        def run():
            for i in range(0, N, size):
                obj.extend(*[a[i:i + size] for a in args])
        return run

    for name, make, args in [
        ("Tema3", lambda: stream.Tema3(4), (close,)),
        ("HalfTrend", lambda: stream.HalfTrend(2), (high, low, close, tr)),
        ("Swing", lambda: stream.Swing(14), (wide,)),
    ]:
        streams = [make(), make()]
        one, two = best(lambda: streams[0].extend(*args),
                        in_two_threads([lambda s=s: s.extend(*args) for s in streams]), repeat=3)
        one_chunked, two_chunked = best(chunked(streams[0], args),
                                        in_two_threads([chunked(s, args) for s in streams]), repeat=3)
        print(f"{name:9s} two streams in two threads / one stream: whole series {two / one:4.2f}, "
              f"chunks of 4096 {two_chunked / one_chunked:4.2f} (1.0 full overlap, 2.0 none)")


if __name__ == "__main__":
    main()
