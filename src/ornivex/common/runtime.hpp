// Module-level state of one extension module.  Each module links its own copy
// of this library, so runtime() is that module's state.  It is written during
// import only and read afterwards.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "ornivex/common/names.hpp"
#include "ornivex/common/pyref.hpp"

namespace ornivex {

struct ModuleIdentity {
    const char* short_name;    // "trend_v4"
    const char* qualname;      // "ornivex.trend_v4"
    const char* source_label;  // file name shown in traceback entries
    OwnNames own_names{};      // the module's interned names, beside the shared ones
};

struct Runtime {
    ModuleIdentity identity{};

    // The interpreter the module belongs to, -1 before an import starts.  An
    // import claims it; one that fails gives it back (forget_runtime).
    std::atomic<int64_t> interpreter_id{-1};
    PyObject* module = nullptr;    // strong; set once its execution starts
    PyObject* dict = nullptr;      // the module namespace (owned by `module`)
    PyObject* builtins = nullptr;  // strong
    PyObject* numpy = nullptr;     // strong: the module bound as `np` at import

    PyObject* range = nullptr;        // builtins.range
    PyTypeObject* ndarray = nullptr;  // strong

    // Constants shared by all calls.
    PyObject* float_half = nullptr;
    PyObject* int_0 = nullptr;
    PyObject* int_1 = nullptr;
    PyObject* int_3 = nullptr;

    Names names;
};

Runtime& runtime();

// After a failed import: drops every object the import made or fetched (they
// belong to its interpreter, which may be a sub-interpreter about to go) and
// gives the interpreter claim back, so the next import starts afresh.
void forget_runtime();

inline const Names& names() { return runtime().names; }

// A module-level name, looked up now: module namespace first, then builtins;
// NameError "name '...' is not defined" when neither has it.
Owned lookup_global(PyObject* name);

// True when the module-level `np` is still the numpy module bound at import,
// so a NumPy call may be replaced by native code without anyone noticing.
bool numpy_is_pristine();

}  // namespace ornivex
