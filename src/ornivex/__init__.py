"""Exact, fast technical-analysis indicators over NumPy arrays.

``ornivex.trend_v4`` holds the float32 trend indicators (``ewma``, ``ema2``,
``tema3``, ``halftrend``); ``ornivex.swing_v4`` holds the float64 swing
indicator class ``QuorvelSwing``.
"""

__version__ = "0.1.0"
