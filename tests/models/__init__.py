"""Literal NumPy models of the native computations, used as test oracles."""
