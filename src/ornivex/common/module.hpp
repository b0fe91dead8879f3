// The import steps every extension module shares.  A module's exec slot runs
//   begin_exec -> (its own steps) -> check_imported_types -> bind_numpy -> ...
// and on any failure returns fail_exec().
#pragma once

#include <Python.h>

#include <initializer_list>

#include "ornivex/common/runtime.hpp"

namespace ornivex {

// Create slot: one interpreter per process, the existing module object when
// there is one, otherwise a new module with loader, origin, parent and search
// locations copied from the import's ModuleSpec.
PyObject* create_module(PyObject* spec, const ModuleIdentity& identity);

// failed: this import went wrong (fail_exec forgets it); refused: the module
// belongs to another import, which stays as it is.
enum class ExecStart { failed, refused, proceed, already_done };

// Exec steps up to the built-ins: the interpreter claim, re-initialisation
// refusal, __builtins__, the Python version warning, interned names (shared
// and the module's own) and constants, NumPy's native interface, the CPU's
// instruction set, sys.modules registration and `range`.
ExecStart begin_exec(PyObject* module, const ModuleIdentity& identity);

// Fetches `type` and the NumPy type objects and checks their sizes.
bool check_imported_types();

// Binds the numpy module as the module attribute `np`.
bool bind_numpy();

// Binds `__test__` to a new empty dict.
bool bind_test_dict();

// A whole exec slot: begin_exec, then `steps` in order (each false with an
// exception set on failure), then success or fail_exec().
int run_exec(PyObject* module, const ModuleIdentity& identity, std::initializer_list<bool (*)()> steps);

// Ends a failed exec: adds the "init ..." traceback entry (or raises ImportError
// "init ..." when no exception is set) and forgets everything the import made,
// the interpreter claim included.  Returns -1.
int fail_exec();

}  // namespace ornivex
