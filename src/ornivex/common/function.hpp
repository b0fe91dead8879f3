// The package's own function type for module-level functions: a vectorcall
// entry behind the call boundary (boundary.hpp), plus the introspection
// attributes Python code expects (__name__, __qualname__, __module__, __doc__,
// __defaults__, __signature__ for inspect.signature) and pickling by name.
#pragma once

#include <Python.h>

#include "ornivex/common/args.hpp"
#include "ornivex/common/pyref.hpp"

namespace ornivex {

// The body of a function: the result, or empty with an exception set.  The
// function's traceback entry is added by the boundary.
using FastEntry = Owned (*)(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

// Makes the type ready; call once during import.
bool ready_function_type();

// A new function object taking the parameters of `signature` (which must
// outlive it); `defaults` may be nullptr (no defaults).
Owned make_function(const char* name, FastEntry entry, const Signature& signature, PyObject* module_name,
                    PyObject* defaults = nullptr);

}  // namespace ornivex
