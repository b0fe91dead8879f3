// The steps of importing ornivex.swing_v4 that live outside module.cpp, in
// the order the exec slot runs them, and the pickling entries the class's
// method table refers to.
#pragma once

#include <Python.h>

namespace ornivex::swing {

// The accepted layout checksums (0xe3b0c44, 0xda39a3e, 0xd41d8cd); the first
// is the one written into pickles.
bool build_checksums();

// Fills the operation table, makes the class ready, publishes the table as
// the nameless capsule `__pyx_vtable__`, binds `QuorvelSwing` in the module
// and sets up pickling.
bool create_class();

// Moves `__reduce_velmar__` / `__setstate_velmar__` to `__reduce__` /
// `__setstate__` in the class dictionary; RuntimeError "Unable to initialize
// pickling for ..." unless a more specific error is set.
bool setup_pickling(PyTypeObject* type);

// Installs range_size, range_filter and quorvel_swing, then
// __reduce_velmar__ and __setstate_velmar__, as method objects.
bool install_methods();

// Binds the rebuild function __pyx_unpickle_QuorvelSwing in the module.
bool bind_unpickle_function();

// __reduce__ / __reduce_velmar__ and __setstate__ / __setstate_velmar__.
PyObject* reduce_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* setstate_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace ornivex::swing
