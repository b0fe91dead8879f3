"""Exact, fast technical-analysis indicators over NumPy arrays.

``ornivex.trend_v4`` holds the float32 trend indicators (``ewma``, ``ema2``,
``tema3``, ``halftrend``); ``ornivex.swing_v4`` holds the float64 swing
indicator class ``QuorvelSwing``; ``ornivex.stream`` holds the same indicators
one bar at a time, equal to the whole-series results bit for bit.
"""

__version__ = "0.1.0"
