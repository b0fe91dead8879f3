// Runs a kernel with the interpreter lock released.  A kernel may throw
// std::bad_alloc for its scratch; nothing may unwind past the released lock,
// so the exception is caught inside and becomes MemoryError once the lock
// is held again.  Returns false with MemoryError set in that case.
#pragma once

#include <Python.h>

#include <new>

namespace ornivex {

template <class Kernel>
bool run_without_gil(Kernel&& kernel) {
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        kernel();
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory) PyErr_NoMemory();
    return !out_of_memory;
}

}  // namespace ornivex
