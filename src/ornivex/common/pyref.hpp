// Reference holders for PyObject*.
//
// Ownership rules, stated once:
//   * Owned    holds one strong reference and drops it in its destructor.  It is
//              move-only.  Build it with Owned::steal(p) from a function that
//              returns a new reference, or Owned::incref(p) to take a new one.
//              release() hands the reference to the caller (e.g. as a return
//              value to Python).
//   * Borrowed is a plain, non-owning pointer that documents intent; it never
//              touches the reference count.
// Neither converts implicitly to PyObject*: call .get() so every place that
// passes a pointer to the C API is visible.
#pragma once

#include <Python.h>

#include <utility>

namespace ornivex {

class Borrowed {
public:
    constexpr Borrowed() noexcept = default;
    constexpr explicit Borrowed(PyObject* p) noexcept : ptr_(p) {}
    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    bool is(Borrowed other) const noexcept { return ptr_ == other.ptr_; }
    bool is_none() const noexcept { return ptr_ == Py_None; }

private:
    PyObject* ptr_ = nullptr;
};

class Owned {
public:
    constexpr Owned() noexcept = default;
    static Owned steal(PyObject* p) noexcept { return Owned(p); }
    static Owned incref(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Owned(p);
    }
    static Owned incref(Borrowed b) noexcept { return incref(b.get()); }

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
    Borrowed borrow() const noexcept { return Borrowed(ptr_); }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    void reset() noexcept { Py_CLEAR(ptr_); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Owned(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace ornivex
