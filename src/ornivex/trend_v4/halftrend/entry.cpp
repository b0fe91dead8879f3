// halftrend(high, low, close, tr, amplitude=2, channel_deviation=2.0).
//
// The call is checked in a fixed order: binding, amplitude, channel_deviation,
// the ndarray type of the four series, their float32 buffers, then equal
// lengths.  When `tema3`, `ema2`, `ewma` and `np` are the module's own, the
// series are plain ndarrays and NumPy rounds a Python float to float32 (its
// weak promotion), everything but the allocation of the seven results runs
// in one native pass (kernels/halftrend/fused.hpp); otherwise stepwise.cpp takes over.
#include <Python.h>

#include <algorithm>

#include "ornivex/common/args.hpp"
#include "ornivex/common/convert.hpp"
#include "ornivex/common/errors.hpp"
#include "ornivex/common/numpy_api.hpp"
#include "ornivex/common/numpy_calls.hpp"
#include "ornivex/common/runtime.hpp"
#include "ornivex/trend_v4/functions.hpp"
#include "ornivex/trend_v4/halftrend/result.hpp"
#include "ornivex/trend_v4/names.hpp"

namespace ornivex::trend {

namespace {

// True when no rebinding, subclass or promotion rule could tell the fused
// pass from the steps of tests/models/trend_model.py (stepwise.cpp).
bool fused_pass_applies(const HalftrendCall& call, bool& applies) {
    const OwnFunctions& own = own_functions();
    applies = global_is(trend_names().tema3, own.tema3) && global_is(trend_names().ema2, own.ema2) &&
              global_is(trend_names().ewma, own.ewma) && numpy_is_pristine();
    for (PyObject* series : {call.high, call.low, call.close, call.tr}) applies = applies && is_plain_ndarray(series);
    if (!applies) return true;
    Promotion promotion;
    if (!current_promotion(promotion)) return false;
    applies = promotion == Promotion::weak_float32;
    return true;
}

Owned fused_halftrend(const HalftrendCall& call) {
    if (call.amplitude <= 0 || call.n == 0) {
        reduce_empty_window(call.high);
        return Owned();
    }
    NativeResult result;
    if (!result.allocate(call.n)) return Owned();
    const auto scratch = halftrend::FusedScratch::make(std::min<Py_ssize_t>(call.amplitude, call.n));
    run_kernel<halftrend::FusedKernel>(call.views, call.amplitude, call.channel_deviation, result.outputs(call.n),
                                       *scratch);
    return result.to_dict();
}

}  // namespace

const Signature& halftrend_signature() {
    static PyObject* const params[] = {trend_names().high,  trend_names().low,       trend_names().close,
                                       trend_names().tr,    trend_names().amplitude, trend_names().channel_deviation};
    static const Signature signature{"halftrend", 6, 4, params};
    return signature;
}

Owned halftrend_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* bound[6];
    if (!bind_arguments(halftrend_signature(), args, nargsf, kwnames, bound)) return Owned();
    std::int32_t amplitude = 2;
    if (bound[4] != nullptr) {
        const auto converted = to_int32(bound[4]);
        if (!converted) return Owned();
        amplitude = *converted;
    }
    double channel_deviation = 2.0;
    if (bound[5] != nullptr) {
        const auto converted = to_double(bound[5]);
        if (!converted) return Owned();
        channel_deviation = *converted;
    }
    static const char* const params[] = {"high", "low", "close", "tr"};
    for (int k = 0; k < 4; ++k) {
        if (!check_array_argument(params[k], bound[k])) return Owned();
    }
    ArrayView views[4];
    for (int k = 0; k < 4; ++k) {
        if (!views[k].acquire(bound[k], float32_element)) return Owned();
    }
    const Py_ssize_t lengths[4] = {views[0].size(), views[1].size(), views[2].size(), views[3].size()};
    for (int k = 1; k < 4; ++k) {
        if (lengths[k] != lengths[0]) return err::unequal_lengths("halftrend", params, lengths, 4);
    }

    const HalftrendCall call{bound[0],
                             bound[1],
                             bound[2],
                             bound[3],
                             {views[0].read<float>(), views[1].read<float>(), views[2].read<float>(),
                              views[3].read<float>()},
                             lengths[0],
                             amplitude,
                             channel_deviation};
    bool fused = false;
    if (!fused_pass_applies(call, fused)) return Owned();
    return fused ? fused_halftrend(call) : stepwise_halftrend(call);
}

}  // namespace ornivex::trend
