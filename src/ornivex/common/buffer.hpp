// Array arguments: the ndarray type test, typed one-dimensional views over an
// array's buffer, and the rule for (re)binding an array-typed local.
#pragma once

#include <Python.h>

#include "ornivex/common/pyref.hpp"
#include "ornivex/common/strided_view.hpp"

namespace ornivex {

// The element type an array must hold: its name (shown in messages), size in
// bytes, kind ('R' real, 'I' signed integer) and the NumPy type number of the
// native-order dtype that holds exactly it.
struct ElementDescriptor {
    const char* name;
    Py_ssize_t size;
    char kind;
    int numpy_type;
};

// NumPy type numbers: NPY_INT, NPY_FLOAT, NPY_DOUBLE (checked in buffer.cpp).
inline constexpr ElementDescriptor float32_element{"float32_t", 4, 'R', 11};
inline constexpr ElementDescriptor int32_element{"int32_t", 4, 'I', 5};
inline constexpr ElementDescriptor double_element{"double", 8, 'R', 12};

// Checks that `format` (a PEP 3118 buffer format) describes exactly one
// element of `expected`; raises the matching ValueError otherwise.
bool check_buffer_format(const char* format, const ElementDescriptor& expected);

// The argument type test: an ndarray (subclasses included).  None is refused
// with "Argument '<param>' must not be None".
bool check_array_argument(const char* param, PyObject* obj);

// True for an instance of exactly numpy.ndarray (no subclass hooks to honour).
bool is_plain_ndarray(PyObject* obj);

// A one-dimensional view of an array, released on destruction or
// re-acquisition.  While held it keeps the array referenced (a buffer export,
// or for a plain ndarray read field by field a strong reference), so NumPy's
// resize(refcheck=True) refuses to move the memory under a running call.
// An empty view (None) has no data, length 0 and stride 0.
class ArrayView {
public:
    ArrayView() noexcept = default;
    ArrayView(const ArrayView&) = delete;
    ArrayView& operator=(const ArrayView&) = delete;
    ~ArrayView() { release(); }

    // Views `obj` (None gives an empty view); raises the buffer errors.
    bool acquire(PyObject* obj, const ElementDescriptor& element, bool writable = false);
    void release() noexcept;

    Py_ssize_t size() const noexcept { return size_; }

    template <class T>
    StridedView<const T> read() const noexcept {
        return {static_cast<const char*>(data_), stride_, size_};
    }
    template <class T>
    StridedView<T> write() const noexcept {
        return {static_cast<char*>(data_), stride_, size_};
    }

private:
    Py_buffer buffer_{};
    bool held_ = false;       // buffer_ is an export to release
    Owned viewed_array_;      // the plain ndarray read without an export
    void* data_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t stride_ = 0;
};

// An array-typed local: the object it is bound to and the view of it.
class ArrayLocal {
public:
    ArrayLocal(const ElementDescriptor& element, bool writable) noexcept : element_(element), writable_(writable) {}

    // Binds `value` (an empty value means its computation raised and is
    // passed on; otherwise None or an ndarray, else "Cannot convert ... to
    // numpy.ndarray"), dropping the previous value and view first.
    bool assign(Owned value);

    PyObject* object() const noexcept { return object_.get(); }
    Owned take() noexcept { view_.release(); return std::move(object_); }
    const ArrayView& view() const noexcept { return view_; }
    Py_ssize_t size() const noexcept { return view_.size(); }

private:
    const ElementDescriptor& element_;
    bool writable_;
    Owned object_;
    ArrayView view_;
};

}  // namespace ornivex
