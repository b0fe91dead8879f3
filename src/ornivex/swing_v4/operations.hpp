// The QuorvelSwing instance layout and its operation table.
//
// Calls from one operation to another always go through the table, so a
// natively compiled subclass that replaces an entry changes what they run.
// The public operations take a skip-override flag: clear, they first look
// for a Python override (dispatch_override); set (a call that Python already
// resolved to the class's own method), they run their body directly.
#pragma once

#include <Python.h>

#include <cstdint>

#include "ornivex/common/pyref.hpp"

namespace ornivex::swing {

struct QuorvelSwingObject;

struct OperationTable {
    PyObject* (*ema)(QuorvelSwingObject* self, PyObject* x, int32_t period);
    PyObject* (*range_size)(QuorvelSwingObject* self, PyObject* arr, int32_t range_period, double range_multiplier,
                            bool skip_override);
    double (*nz)(QuorvelSwingObject* self, double x);
    PyObject* (*range_filter)(QuorvelSwingObject* self, PyObject* x, PyObject* r, bool skip_override);
    PyObject* (*quorvel_swing)(QuorvelSwingObject* self, PyObject* arr, int32_t swing_period,
                               double swing_multiplier, bool skip_override);
};

struct QuorvelSwingObject {
    PyObject_HEAD
    const OperationTable* operations;
};

// The class, made ready at import.
extern PyTypeObject quorvel_swing_type;

// The table every instance points to, filled at import in slot order.
extern OperationTable operation_table;

// Operation bodies (one file each).  They return a new reference, or nullptr
// with an exception set and their traceback entry added.
PyObject* ema(QuorvelSwingObject* self, PyObject* x, int32_t period);
PyObject* range_size(QuorvelSwingObject* self, PyObject* arr, int32_t range_period, double range_multiplier,
                     bool skip_override);
double nz(QuorvelSwingObject* self, double x);
PyObject* range_filter(QuorvelSwingObject* self, PyObject* x, PyObject* r, bool skip_override);
PyObject* quorvel_swing(QuorvelSwingObject* self, PyObject* arr, int32_t swing_period, double swing_multiplier,
                        bool skip_override);

// The Python-callable entries of the three public methods (METH_FASTCALL |
// METH_KEYWORDS); the override check recognises these and nothing else.
PyObject* range_size_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* range_filter_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* quorvel_swing_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

using MethodEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// The override check.  Returns false with an exception set on failure.
// Otherwise, when `self`'s type can carry an override (instance dict, heap
// type or abstract) and the attribute `name` is not the class's own method
// `own_entry`, calls it with `args` and stores its result (None or an
// ndarray, else TypeError "Cannot convert ... to numpy.ndarray") in `result`;
// `result` stays empty when the body should run.
bool dispatch_override(QuorvelSwingObject* self, PyObject* name, MethodEntry own_entry, PyObject* const* args,
                       Py_ssize_t nargs, Owned& result);

// The override check for the operations called as (arr, period, multiplier):
// the override receives the array as received, a Python int and a Python
// float, which are made only when the instance's type can carry an override.
bool dispatch_override(QuorvelSwingObject* self, PyObject* name, MethodEntry own_entry, PyObject* arr,
                       int32_t period, double multiplier, Owned& result);

}  // namespace ornivex::swing
