# Type stubs for the native float32 trend indicators.
from typing import Any, TypedDict, type_check_only

import numpy as np
from numpy.typing import NDArray

_Float32Array = NDArray[np.float32]

@type_check_only
class _HalfTrendResult(TypedDict):
    halftrend: NDArray[np.float32]
    atrHigh: NDArray[np.float32]
    atrLow: NDArray[np.float32]
    arrowUp: NDArray[np.float32]
    arrowDown: NDArray[np.float32]
    buy: NDArray[np.int_]
    sell: NDArray[np.int_]

__test__: dict[str, Any]

def ewma(series: _Float32Array, alpha: float) -> _Float32Array: ...
def ema2(source: _Float32Array, length: float) -> _Float32Array: ...
def tema3(source: _Float32Array, length: float) -> _Float32Array: ...
def halftrend(
    high: _Float32Array,
    low: _Float32Array,
    close: _Float32Array,
    tr: _Float32Array,
    amplitude: int = 2,
    channel_deviation: float = 2.0,
) -> _HalfTrendResult: ...
