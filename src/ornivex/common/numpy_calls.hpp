// NumPy calls made through the module-level name `np`, looked up at the
// moment of each call, so a caller that rebinds `np` sees every call.
#pragma once

#include <Python.h>

#include "ornivex/common/pyref.hpp"

namespace ornivex {

// np.<function>(n, dtype=np.<dtype>): looks up np, takes `function`, makes n
// a Python int, looks up np again and takes `dtype`, then calls.
Owned numpy_new_array(PyObject* function, Py_ssize_t n, PyObject* dtype);

// np.<function>(*args)
Owned numpy_call(PyObject* function, PyObject* const* args, Py_ssize_t nargs);

// np.<attribute>
Owned numpy_attribute(PyObject* attribute);

}  // namespace ornivex
