# Type stubs for the native float64 swing indicator.
from typing import Any, ClassVar

import numpy as np
from numpy.typing import NDArray
from typing_extensions import disjoint_base

_Float64Array = NDArray[np.float64]

__test__: dict[str, Any]

@disjoint_base
class QuorvelSwing:
    """The swing indicator over float64 series: a range filter with bands.

    Instances hold no data; they pickle and unpickle to equal, empty objects.
    Every method takes one-dimensional float64 arrays (any stride, read-only
    is fine) and returns new float64 arrays.
    """

    __pyx_vtable__: ClassVar[Any]  # capsule holding the operation table
    def range_size(self, arr: _Float64Array, range_period: int, range_multiplier: float) -> _Float64Array:
        """The smoothed range: a window mean of the bar-to-bar moves of `arr`, scaled.

        arr: float64 series of length n >= 3 * (range_period - 1).
        range_period: smoothing period in bars (>= 1).
        range_multiplier: factor applied to the smoothed range.

        Returns a float64 array of length n, NaN for the first
        3 * (range_period - 1) bars (where the windows are not yet full); a
        value never depends on later bars. A NaN or infinity in `arr` makes
        the result NaN (or inf) over every window that covers its two moves.
        """
    def range_filter(self, x: _Float64Array, r: _Float64Array) -> _Float64Array:
        """The range filter of `x` with the per-bar range `r`.

        x, r: float64 series of equal length n.

        Returns an (n, 3) float64 array whose rows are (high band, low band,
        filter): the filter follows `x` only when it moves more than `r`
        away, and the bands are filter +/- r. Row 0 is (0.0, 0.0, x[0]).
        Where r is NaN the filter holds its previous value and both bands
        are NaN; a NaN price (after bar 0) keeps the previous filter.
        """
    def quorvel_swing(self, arr: _Float64Array, swing_period: int, swing_multiplier: float) -> _Float64Array:
        """range_filter(arr, range_size(arr, swing_period, swing_multiplier)): shape (n, 3).

        arr: float64 series of length n >= 3 * (swing_period - 1).
        swing_period: smoothing period in bars (>= 1).
        swing_multiplier: band width multiplier.

        Rows are (high band, low band, filter). Row 0 is (0.0, 0.0, arr[0]);
        after it the bands are NaN up to bar 3 * (swing_period - 1) - 1, where
        the range is not yet known and the filter holds the first value.
        """
    def __reduce__(self) -> tuple[Any, tuple[type[QuorvelSwing], int, None]]: ...
    def __setstate__(self, __pyx_state: Any) -> None: ...
    def __reduce_velmar__(self) -> tuple[Any, tuple[type[QuorvelSwing], int, None]]: ...
    def __setstate_velmar__(self, __pyx_state: Any) -> None: ...

def __pyx_unpickle_QuorvelSwing(
    __pyx_type: type[QuorvelSwing], __pyx_checksum: int, __pyx_state: Any
) -> QuorvelSwing:
    """Rebuild a pickled QuorvelSwing; refuses a layout checksum other than this class's."""
