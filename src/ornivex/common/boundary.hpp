// The boundary every Python-callable entry passes through.
//
// A body runs behind three things, always in this order:
//   * the recursion guard (recursion_guard.hpp): the entries reach one another
//     through names and attributes a caller may rebind, so a cycle is
//     possible; it becomes RecursionError, not a stack overflow;
//   * a C++ exception becomes the Python exception err::cpp_exception names
//     (std::bad_alloc from a kernel's scratch or a container: MemoryError);
//   * a failure gets the entry's traceback entry, named by its qualified
//     name ("ornivex.trend_v4.ewma"), as a Python function gets a frame.
// Bodies return Owned: the result, or empty with an exception set.  The lock
// is released through run_without_gil (without_gil.hpp), never by hand.
#pragma once

#include <Python.h>

#include <new>

#include "ornivex/common/errors.hpp"
#include "ornivex/common/pyref.hpp"
#include "ornivex/common/recursion_guard.hpp"

namespace ornivex {

namespace boundary_detail {

template <class Body>
auto catching_exceptions(Body& body, decltype(body()) failure) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        err::cpp_exception(std::current_exception());
        return failure;
    }
}

inline PyObject* traced_failure(const char* qualname) noexcept {
    err::add_traceback(qualname);
    return nullptr;
}

}  // namespace boundary_detail

// An entry: `body()` returns Owned.
template <class Body>
PyObject* call_entry(const char* qualname, Body&& body) noexcept {
    const RecursionGuard guard;
    if (!guard) return boundary_detail::traced_failure(qualname);
    Owned result = boundary_detail::catching_exceptions(body, Owned());
    return result ? result.release() : boundary_detail::traced_failure(qualname);
}

// An entry that checks its arguments, then hands the call on to an operation
// that carries a traceback entry of its own (QuorvelSwing's methods run their
// table operations, which native code calls too): `check()` returns false
// with an exception set, and that failure gets this entry's traceback entry;
// the result of `run()` (a new reference or nullptr) is returned as it is.
template <class Check, class Run>
PyObject* call_entry(const char* qualname, Check&& check, Run&& run) noexcept {
    const RecursionGuard guard;
    if (!guard || !boundary_detail::catching_exceptions(check, false)) return boundary_detail::traced_failure(qualname);
    return run();
}

// An operation with a traceback entry of its own and no guard (its callers
// hold one): a C++ exception becomes a Python one, a failure gets the entry.
template <class Body>
PyObject* call_traced(const char* qualname, Body&& body) noexcept {
    Owned result = boundary_detail::catching_exceptions(body, Owned());
    return result ? result.release() : boundary_detail::traced_failure(qualname);
}

}  // namespace ornivex
