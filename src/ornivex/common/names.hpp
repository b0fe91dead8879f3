// Interned strings, created once at import and shared by every call.  The
// shared layer's names are here; each module lists its own (parameters,
// result keys, the NumPy attributes only it looks up) in its names.hpp with
// ORNIVEX_NAME_TABLE and hands the table to the import through its
// ModuleIdentity.  Keywords are matched by identity first, so interning
// makes argument binding fast.
#pragma once

#include <Python.h>

// A struct with one PyObject* per name of LIST, spelled as the name itself.
// intern() fills the empty ones (false with an exception set on failure);
// forget() drops them all, for a failed import.
#define ORNIVEX_NAME_TABLE(Table, LIST)                                        \
    struct Table {                                                             \
        LIST(ORNIVEX_DECLARE_NAME_)                                            \
        bool intern() noexcept {                                               \
            LIST(ORNIVEX_INTERN_NAME_)                                         \
            return true;                                                       \
        }                                                                      \
        void forget() noexcept { LIST(ORNIVEX_FORGET_NAME_) }                  \
    };
#define ORNIVEX_DECLARE_NAME_(n) PyObject* n = nullptr;
#define ORNIVEX_INTERN_NAME_(n) \
    if (n == nullptr && (n = PyUnicode_InternFromString(#n)) == nullptr) return false;
#define ORNIVEX_FORGET_NAME_(n) Py_CLEAR(n);

#define ORNIVEX_COMMON_NAMES(X)                                                                      \
    /* the module namespace and its spec */                                                          \
    X(np) X(numpy) X(__builtins__) X(__test__) X(__loader__) X(__file__) X(__package__) X(__path__)  \
    X(loader) X(origin) X(parent) X(submodule_search_locations) X(name) X(__spec__) X(_initializing) \
    X(range)                                                                                         \
    /* NumPy attributes every module looks up */                                                     \
    X(empty) X(zeros) X(dtype)

namespace ornivex {

ORNIVEX_NAME_TABLE(Names, ORNIVEX_COMMON_NAMES)

// A module's own table, as the shared import steps reach it.
struct OwnNames {
    bool (*intern)() = nullptr;
    void (*forget)() = nullptr;
};

}  // namespace ornivex
