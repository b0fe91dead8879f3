// Interned strings, created once at import and shared by every call: NumPy
// attributes the bodies look up, module-level names, and parameter names
// (keywords are matched by identity first, so interning makes that fast).
#pragma once

#include <Python.h>

namespace ornivex {

#define ORNIVEX_INTERNED_NAMES(X)                                                                     \
    /* module-level names */                                                                          \
    X(np) X(numpy) X(ewma) X(ema2) X(tema3) X(halftrend) X(QuorvelSwing) X(__pyx_unpickle_QuorvelSwing) \
    X(__builtins__) X(__test__) X(__loader__) X(__file__) X(__package__) X(__path__)                  \
    X(loader) X(origin) X(parent) X(submodule_search_locations) X(name) X(__spec__) X(_initializing)   \
    X(range) X(ImportError) X(__name__) X(__dict__) X(update) X(__getstate__) X(__reduce_ex__)          \
    X(__reduce__) X(__setstate__) X(__reduce_velmar__) X(__setstate_velmar__) X(__pyx_vtable__) X(__new__) \
    /* NumPy attributes */                                                                            \
    X(empty) X(empty_like) X(zeros) X(ones) X(dtype) X(float32) X(float64) X(int32) X(max) X(min)      \
    X(where) X(roll) X(dot) X(vstack) X(nan) X(T)                                                     \
    X(int_)                                                                                           \
    /* keys of the halftrend result */                                                                \
    X(atrHigh) X(atrLow) X(arrowUp) X(arrowDown) X(buy) X(sell)                                       \
    /* parameters */                                                                                  \
    X(series) X(alpha) X(source) X(length) X(high) X(low) X(close) X(tr) X(amplitude)                 \
    X(channel_deviation) X(arr) X(range_period) X(range_multiplier) X(x) X(r) X(swing_period)         \
    X(swing_multiplier) X(__pyx_type) X(__pyx_checksum) X(__pyx_state)                                \
    /* methods */                                                                                     \
    X(range_size) X(range_filter) X(quorvel_swing)

struct Names {
#define ORNIVEX_DECLARE_NAME(n) PyObject* n = nullptr;
    ORNIVEX_INTERNED_NAMES(ORNIVEX_DECLARE_NAME)
#undef ORNIVEX_DECLARE_NAME
};

// Fills `names`; false with an exception set on failure.
bool intern_names(Names& names);

}  // namespace ornivex
