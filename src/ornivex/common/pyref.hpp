// Reference holders for PyObject*.
//
// Ownership rules, stated once:
//   * Owned    holds one strong reference and drops it in its destructor.  It is
//              move-only.  Build it with Owned::steal(p) from a function that
//              returns a new reference, or Owned::incref(p) to take a new one.
//              release() hands the reference to the caller (e.g. as a return
//              value to Python).
// A borrowed reference stays a plain PyObject*.  Owned does not convert
// implicitly to PyObject*: call .get() so every place that passes a pointer
// to the C API is visible.
#pragma once

#include <Python.h>

#include <utility>

namespace ornivex {

class Owned {
public:
    constexpr Owned() noexcept = default;
    static Owned steal(PyObject* p) noexcept { return Owned(p); }
    static Owned incref(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Owned(p);
    }

    Owned(Owned&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    void reset() noexcept { Py_CLEAR(ptr_); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Owned(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace ornivex
