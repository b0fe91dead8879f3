"""The native side of ornivex.frame's long tables: each group's rows (codes[i],
-1 for a row left out; codes None: every row in group 0) in time order (times, or row order for None), computed
by the single-series kernels over `threads` threads; one result element per row.
The last element of each result is whether every row was sound: none left out,
no missing time (NaT), no NaN or infinite price."""

import numpy as np
import numpy.typing as npt

_F64 = npt.NDArray[np.float64]
_I64 = npt.NDArray[np.int64]

def halftrend(high: _F64, low: _F64, close: _F64, tr: _F64 | None, codes: _I64 | None, groups: int,
              times: _I64 | None, amplitude: int, channel_deviation: float, atr_length: int, threads: int) -> tuple[
                  npt.NDArray[np.float32], npt.NDArray[np.float32], npt.NDArray[np.float32],
                  npt.NDArray[np.float32], npt.NDArray[np.float32], _I64, _I64, npt.NDArray[np.int8],
                  npt.NDArray[np.float32], npt.NDArray[np.int8], bool]:
    """halftrend, atrHigh, atrLow, arrowUp, arrowDown (NaN on a bar without the arrow), buy, sell, trend,
    atr and signal (+1 buy, -1 sell, 0) of every group."""

def swing(close: _F64, codes: _I64 | None, groups: int, times: _I64 | None, period: int, multiplier: float,
          threads: int) -> tuple[_F64, _F64, _F64, bool]:
    """rangeHigh, rangeLow and rangeFilter of every group."""

def atr(high: _F64, low: _F64, close: _F64, codes: _I64 | None, groups: int, times: _I64 | None, length: int,
        threads: int) -> tuple[_F64, _F64, bool]:
    """trueRange and atr of every group."""

def string_codes(offsets: npt.NDArray[np.int32] | _I64, data: npt.NDArray[np.uint8],
                 validity: npt.NDArray[np.uint8] | None, validity_offset: int, threads: int) -> tuple[_I64, _I64]:
    """A code per row of an Arrow string column (offsets, data bytes, validity bitmap or None, and
    the bit of row 0 in it): equal strings equal codes, in order of first appearance, -1 for a null;
    and the row each code first appears on."""

def string_view_codes(views: npt.NDArray[np.uint8], buffers: tuple[npt.NDArray[np.uint8], ...],
                      validity: npt.NDArray[np.uint8] | None, validity_offset: int, threads: int) -> tuple[_I64, _I64]:
    """string_codes of an Arrow string-view column: 16 bytes of views per row and the data buffers."""

def true_range(high: _F64, low: _F64, close: _F64) -> _F64:
    """One series' true range: the largest of high - low, |high - previous close| and |low - previous close|."""

def series_atr(high: _F64, low: _F64, close: _F64, length: int) -> tuple[_F64, _F64, bool]:
    """One series' trueRange and atr from its first bar, in one pass; then whether every price was finite."""

def trend(buy: _I64, sell: _I64) -> npt.NDArray[np.int8]:
    """HalfTrend's trend (0 up, 1 down) from its signals: up at first, then the side of the last signal."""

def object_codes(objects: npt.NDArray[np.object_], missing: tuple[object, ...], threads: int) -> tuple[_I64, _I64] | None:
    """string_codes of a column of str objects, None, NaN and the `missing` objects (missing values);
    None when a row holds anything else."""

def in_time_order(times: _I64, threads: int) -> bool:
    """Whether no time is missing (NaT) and none is earlier than the one on the row before it."""
