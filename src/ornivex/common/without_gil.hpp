// Runs a kernel with the interpreter lock released.  A kernel may throw
// (std::bad_alloc for its scratch); nothing may unwind past the released
// lock, so the exception is caught inside and becomes its Python exception
// (err::cpp_exception) once the lock is held again.  Returns false with that
// exception set in that case.
#pragma once

#include <Python.h>

#include <exception>

#include "ornivex/common/errors.hpp"

namespace ornivex {

template <class Kernel>
bool run_without_gil(Kernel&& kernel) {
    std::exception_ptr error;
    Py_BEGIN_ALLOW_THREADS
    try {
        kernel();
    } catch (...) {
        error = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (error) err::cpp_exception(error);
    return !error;
}

}  // namespace ornivex
