// What both routes of halftrend share: the checked call, the seven result
// arrays and the dict.  entry.cpp checks the call and runs the fused pass;
// stepwise.cpp goes through the steps one array at a time when a rebinding
// or a subclass could tell the difference.
#pragma once

#include <Python.h>

#include <cstdint>

#include "ornivex/common/buffer.hpp"
#include "ornivex/common/pyref.hpp"
#include "ornivex/kernels/halftrend/fused.hpp"

namespace ornivex::trend {

// Arguments that passed binding, conversion, type test and view, with equal
// lengths n.  Objects are borrowed from the caller.
struct HalftrendCall {
    PyObject* high;
    PyObject* low;
    PyObject* close;
    PyObject* tr;
    halftrend::Inputs views;  // each exactly n elements
    Py_ssize_t n;
    std::int32_t amplitude;
    double channel_deviation;
};

// The first n elements of a view.
template <class T>
StridedView<T> first(StridedView<T> view, Py_ssize_t n) noexcept {
    view.size = n;
    return view;
}

// Binds `value` (an empty Owned means its call failed) and requires at least
// n elements: "halftrend() needs <what> to return an array of at least n
// elements", also for None.
bool bind_result(ArrayLocal& local, Owned value, Py_ssize_t n, const char* what);

// The window over no bars (amplitude <= 0, or no bars at all): the maximum of
// an empty slice of `high`, NumPy's own ValueError.  Always false.
bool reduce_empty_window(PyObject* high);

// NumPy's default integer (np.int_) here: the element type of the signals.
inline constexpr ElementDescriptor int64_element{"int64_t", 8, 'I'};

// The seven arrays of the result, made with np.empty (float32 for the line,
// channel and arrows, np.int_ for the signals) and written whole by the
// native passes.
class NativeResult {
public:
    bool allocate(Py_ssize_t n);
    halftrend::Outputs outputs(Py_ssize_t n) const noexcept;
    Owned to_dict();

private:
    ArrayLocal line_{float32_element, true};
    ArrayLocal atr_high_{float32_element, true};
    ArrayLocal atr_low_{float32_element, true};
    ArrayLocal arrow_up_{float32_element, true};
    ArrayLocal arrow_down_{float32_element, true};
    ArrayLocal buy_{int64_element, true};
    ArrayLocal sell_{int64_element, true};
};

// The dict {"halftrend", "atrHigh", "atrLow", "arrowUp", "arrowDown", "buy",
// "sell"}, in that order; the values are stolen.
Owned halftrend_dict(Owned (&values)[7]);

Owned stepwise_halftrend(const HalftrendCall& call);

}  // namespace ornivex::trend
