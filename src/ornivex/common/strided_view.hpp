// A one-dimensional strided view over raw array memory: the only way kernels
// touch array data.  No Python here, so kernels can be read, tested and
// benchmarked without an interpreter.
//
// Element i lives at base + i * stride (stride in bytes, any sign, may be 0).
// Loads and stores go through memcpy: NumPy arrays need not be aligned, and
// the compiler turns a fixed-size memcpy into a plain move.  A copy through
// memcpy also keeps every bit of a NaN payload.
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace ornivex {

using index_t = std::ptrdiff_t;  // same width as Py_ssize_t

template <class T>
struct StridedView {
    using value_type = std::remove_const_t<T>;
    using byte_pointer = std::conditional_t<std::is_const_v<T>, const char*, char*>;

    byte_pointer base = nullptr;
    index_t stride = 0;  // in bytes
    index_t size = 0;    // number of elements

    value_type operator[](index_t i) const noexcept {
        value_type v;
        std::memcpy(&v, base + i * stride, sizeof v);
        return v;
    }

    void set(index_t i, value_type v) const noexcept
        requires(!std::is_const_v<T>)
    {
        std::memcpy(base + i * stride, &v, sizeof v);
    }

    // Bit-exact element copy (no trip through a floating-point register).
    template <class U>
    void copy_from(index_t i, const StridedView<U>& src, index_t j) const noexcept
        requires(!std::is_const_v<T> && sizeof(std::remove_const_t<U>) == sizeof(value_type))
    {
        std::memcpy(base + i * stride, src.base + j * src.stride, sizeof(value_type));
    }

    bool contiguous() const noexcept { return stride == static_cast<index_t>(sizeof(value_type)); }

    // Pointer to element 0 for the contiguous fast path.
    T* data() const noexcept { return reinterpret_cast<T*>(base); }

    operator StridedView<const value_type>() const noexcept
        requires(!std::is_const_v<T>)
    {
        return {base, stride, size};
    }
};

// Element i of a contiguous run of T at `base`, which NumPy need not have
// aligned: a load through memcpy, which the compiler makes a plain (and
// vectorisable) move.
template <class T>
[[gnu::always_inline]] inline std::remove_const_t<T> load_unaligned(const char* base, index_t i) noexcept {
    std::remove_const_t<T> value;
    std::memcpy(&value, base + i * static_cast<index_t>(sizeof value), sizeof value);
    return value;
}

// Elements from .. from + n - 1 of a view.
template <class T>
StridedView<T> part(StridedView<T> view, index_t from, index_t n) noexcept {
    return {view.base + from * view.stride, view.stride, n};
}

}  // namespace ornivex
