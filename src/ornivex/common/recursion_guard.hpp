// A guard against native recursion that never ends.
//
// The package's entries call one another without a Python frame in between:
// through module-level names a caller may rebind (trend_v4.ewma = trend_v4.ema2
// makes ema2 call itself) and through override attributes (an instance whose
// range_size is its own bound quorvel_swing).  Such a cycle recurses on the C
// stack until the thread's stack overflows.  The interpreter's own recursion
// limit counts calls, not bytes, and allows more calls than fit the stack
// with this package's frames, so the guard also measures what is left of the
// thread's stack and refuses the call with RecursionError while a safety
// margin remains for the NumPy and Python calls an entry makes.
#pragma once

#include <Python.h>

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "ornivex/common/errors.hpp"

namespace ornivex {

namespace recursion_detail {

// This thread's stack: its lowest address and size (0 when unknown).
struct StackExtent {
    std::uintptr_t low = 0;
    std::size_t size = 0;
};

inline StackExtent find_stack_extent() noexcept {
    StackExtent extent;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return extent;
    void* address = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attributes, &address, &size) == 0) {
        extent.low = reinterpret_cast<std::uintptr_t>(address);
        extent.size = size;
    }
    pthread_attr_destroy(&attributes);
    return extent;
}

// True while more than the margin (a quarter of the stack, at most 256 KiB)
// is left below the caller's frame.  A frame outside the thread's stack (a
// coroutine library's own stack) is not measured.
inline bool stack_has_room() noexcept {
    thread_local const StackExtent extent = find_stack_extent();
    if (extent.size == 0) return true;
    const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (frame < extent.low || frame - extent.low > extent.size) return true;
    const std::size_t margin = extent.size / 4 < 256 * 1024 ? extent.size / 4 : 256 * 1024;
    return frame - extent.low > margin;
}

}  // namespace recursion_detail

// Held by an entry for the length of its call; test it before doing anything.
class RecursionGuard {
public:
    RecursionGuard() noexcept : entered_(enter()) {}
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

    explicit operator bool() const noexcept { return entered_; }

private:
    static bool enter() noexcept {
        if (!recursion_detail::stack_has_room()) return err::recursion_depth();
        return Py_EnterRecursiveCall(" while calling a Python object") == 0;
    }

    bool entered_;
};

}  // namespace ornivex
