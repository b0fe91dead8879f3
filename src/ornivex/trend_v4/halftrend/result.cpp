// The seven arrays of halftrend's result and its dict, and the checks on the
// arrays the steps bind, shared by both routes.
#include <Python.h>

#include "ornivex/common/errors.hpp"
#include "ornivex/common/numpy_calls.hpp"
#include "ornivex/common/runtime.hpp"
#include "ornivex/trend_v4/halftrend/result.hpp"
#include "ornivex/trend_v4/names.hpp"

namespace ornivex::trend {

bool bind_result(ArrayLocal& local, Owned value, Py_ssize_t n, const char* what) {
    if (!value || !local.assign(std::move(value))) return false;
    if (local.size() < n) return err::result_too_short("halftrend", what, local.object(), n);
    return true;
}

bool reduce_empty_window(PyObject* high) {
    Owned window = Owned::steal(PySequence_GetSlice(high, 0, 0));
    if (!window) return false;
    PyObject* args[] = {window.get()};
    if (!numpy_call(trend_names().max, args, 1)) return false;
    return err::zero_size_maximum();  // a rebound np.max that did not raise
}

bool NativeResult::allocate(Py_ssize_t n) {
    for (ArrayLocal* local : {&line_, &atr_high_, &atr_low_, &arrow_up_, &arrow_down_}) {
        if (!bind_result(*local, numpy_new_array(names().empty, n, trend_names().float32), n, "np.empty")) return false;
    }
    for (ArrayLocal* local : {&buy_, &sell_}) {
        if (!bind_result(*local, numpy_new_array(names().empty, n, trend_names().int_), n, "np.empty")) return false;
    }
    return true;
}

halftrend::Outputs NativeResult::outputs(Py_ssize_t n) const noexcept {
    return {first(line_.view().write<float>(), n),           first(atr_high_.view().write<float>(), n),
            first(atr_low_.view().write<float>(), n),        first(arrow_up_.view().write<float>(), n),
            first(arrow_down_.view().write<float>(), n),     first(buy_.view().write<std::int64_t>(), n),
            first(sell_.view().write<std::int64_t>(), n)};
}

Owned NativeResult::to_dict() {
    Owned values[7] = {line_.take(), atr_high_.take(), atr_low_.take(), arrow_up_.take(),
                       arrow_down_.take(), buy_.take(), sell_.take()};
    return halftrend_dict(values);
}

Owned halftrend_dict(Owned (&values)[7]) {
    const TrendNames& key = trend_names();
    PyObject* const keys[7] = {key.halftrend, key.atrHigh, key.atrLow, key.arrowUp, key.arrowDown, key.buy, key.sell};
    Owned dict = Owned::steal(PyDict_New());
    if (!dict) return Owned();
    for (int k = 0; k < 7; ++k) {
        if (PyDict_SetItem(dict.get(), keys[k], values[k].get()) < 0) return Owned();
    }
    return dict;
}

}  // namespace ornivex::trend
