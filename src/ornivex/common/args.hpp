// Binding of vectorcall arguments (positional array + keyword names) to a
// function's parameters.  Every parameter is positional-or-keyword; there are
// no *args or **kwargs.
#pragma once

#include <Python.h>

namespace ornivex {

struct Signature {
    const char* func;           // name shown in messages, e.g. "ewma"
    int count;                  // number of parameters
    int required;               // parameters without a default (the first ones)
    PyObject* const* names;     // interned parameter names, `count` of them
};

// On success out[0..count-1] hold borrowed arguments; parameters left to
// their defaults are nullptr.  On failure raises the binding TypeError.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyObject** out);

}  // namespace ornivex
