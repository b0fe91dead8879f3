// NumPy's native array interface.  Include this instead of the NumPy headers:
// it names the shared API table so every file of a module uses the one table
// that module imported.
#pragma once

#include <Python.h>

#ifndef PY_ARRAY_UNIQUE_SYMBOL
#define PY_ARRAY_UNIQUE_SYMBOL ornivex_ARRAY_API
#endif
#ifndef ORNIVEX_IMPORTS_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include "ornivex/common/promotion.hpp"

namespace ornivex {

// Imports the table and checks ABI, feature version and byte order; any
// failure becomes ImportError "numpy.core.multiarray failed to import",
// chained to the failure underneath.
bool import_numpy_api();

// The promotion rules of the running NumPy for a Python float combined with a
// float32 scalar.  Asks NumPy 1.x for its current promotion state each time;
// false with an exception set if that query fails.
bool current_promotion(Promotion& out);

}  // namespace ornivex
