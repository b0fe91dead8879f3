"""ornivex.stream: update cost per bar from a Python loop, extend against the
whole-series function over 1,000,000 bars, and two threads extending two
streams.  Prints figures; wall-clock times, best of a few runs."""

import threading
import time

import numpy as np

from ornivex import indicators, stream, trend_v4

N = 1_000_000


def best(run, repeat=5):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    rng = np.random.default_rng(1)
    close = (100 + np.cumsum(rng.standard_normal(N))).astype(np.float32)
    wide = close.astype(np.float64)

    values = close[:100_000].tolist()
    ema2 = stream.Ema2(14)
    update = ema2.update
    seconds = best(lambda: [update(v) for v in values], 3)
    print(f"Ema2.update      {seconds / len(values) * 1e6:6.3f} us/bar (target 0.5)")

    for name, whole, chunk in [
        ("Ewma", lambda: trend_v4.ewma(close, 0.3), lambda: stream.Ewma(0.3).extend(close)),
        ("Ema2", lambda: trend_v4.ema2(close, 14), lambda: stream.Ema2(14).extend(close)),
        ("Tema3", lambda: trend_v4.tema3(close, 4), lambda: stream.Tema3(4).extend(close)),
        ("Atr", lambda: indicators.average_true_range(wide + 1, wide - 1, wide, 100),
         lambda: stream.Atr(100).extend(wide + 1, wide - 1, wide)),
    ]:
        a, b = best(whole), best(chunk)
        print(f"{name:6s} extend   {b / N * 1e9:6.2f} ns/bar, whole series {a / N * 1e9:6.2f} ns/bar, "
              f"ratio {b / a:4.2f} (target 1.5)")

    streams = [stream.Tema3(4), stream.Tema3(4)]
    one = best(lambda: streams[0].extend(close), 3)

    def both():
        threads = [threading.Thread(target=s.extend, args=(close,)) for s in streams]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    two = best(both, 3)
    print(f"Tema3 extend, two streams in two threads: {two * 1e3:.1f} ms, one stream {one * 1e3:.1f} ms")


if __name__ == "__main__":
    main()
