// The public functions of ornivex.trend_v4: their bodies (run behind the
// function type's call boundary) and the function objects bound at import
// (kept so a call can tell whether a module-level name still refers to the
// module's own function).
#pragma once

#include <Python.h>

#include "ornivex/common/args.hpp"
#include "ornivex/common/pyref.hpp"

namespace ornivex::trend {

Owned ewma_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
Owned ema2_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
Owned tema3_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
Owned halftrend_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

// Their parameters, as the entries bind them and inspect.signature shows them.
const Signature& ewma_signature();
const Signature& ema2_signature();
const Signature& tema3_signature();
const Signature& halftrend_signature();

struct OwnFunctions {
    PyObject* ewma = nullptr;
    PyObject* ema2 = nullptr;
    PyObject* tema3 = nullptr;
    PyObject* halftrend = nullptr;
};

OwnFunctions& own_functions();

// True when the module-level `name` is bound to `own` right now.
bool global_is(PyObject* name, PyObject* own);

}  // namespace ornivex::trend
