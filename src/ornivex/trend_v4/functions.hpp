// The public functions of ornivex.trend_v4: their vectorcall entries and the
// function objects bound at import (kept so a call can tell whether a
// module-level name still refers to the module's own function).
#pragma once

#include <Python.h>

namespace ornivex::trend {

PyObject* ewma_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* ema2_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* tema3_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* halftrend_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

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
