// halftrend one array at a time, for calls where the fused pass could be told
// apart: a rebound `tema3`, `ema2`, `ewma` or `np`, an ndarray subclass among
// the series, or NumPy's legacy promotion.  The order of the steps is that of
// tests/models/trend_model.py's halftrend.
//
// The channel widths come from the objects' own arithmetic (tr * 0.5, then
// channel_deviation * atr2), the two smoothings from whatever the name
// `tema3` is bound to, and every working array from `np`; the window
// extremes, the trend pass and the line pass run natively over the views.
// With `np` rebound, the line and the signals are also derived through
// np.where and np.roll, as whole-array steps.
#include <Python.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "ornivex/common/errors.hpp"
#include "ornivex/common/numpy_calls.hpp"
#include "ornivex/common/runtime.hpp"
#include "ornivex/kernels/halftrend/passes.hpp"
#include "ornivex/trend_v4/halftrend/result.hpp"
#include "ornivex/trend_v4/names.hpp"

namespace ornivex::trend {

namespace {

bool bind_zeros(ArrayLocal& local, Py_ssize_t n, PyObject* dtype) {
    return bind_result(local, numpy_new_array(names().zeros, n, dtype), n, "np.zeros");
}

Owned call_tema3(PyObject* series, PyObject* smoothing_length) {
    Owned tema3 = lookup_global(trend_names().tema3);
    if (!tema3) return Owned();
    PyObject* args[] = {series, smoothing_length};
    return Owned::steal(PyObject_Vectorcall(tema3.get(), args, 2, nullptr));
}

// The line pass leaves the line in `up`; the whole-array steps keep an up and
// a down line, each written where its trend holds, both at bar 0.
void split_line(StridedView<const std::int32_t> trend, StridedView<const float> min_high_price, StridedView<float> up,
                StridedView<float> down) noexcept {
    down.copy_from(0, min_high_price, 0);
    for (index_t i = 1; i < trend.size; ++i) {
        if (trend[i] != 0) {
            down.copy_from(i, up, i);
            up.set(i, 0.0f);
        }
    }
}

// np.where((trend == now) & (np.roll(trend, 1) == before), 1, 0), with bar 0
// set to 0: rolling wraps the last bar round to bar 0, which has no bar before.
Owned transition_signal(PyObject* trend, PyObject* now, PyObject* before) {
    const Runtime& rt = runtime();
    Owned where = numpy_attribute(trend_names().where);
    if (!where) return Owned();
    Owned is_now = Owned::steal(PyObject_RichCompare(trend, now, Py_EQ));
    if (!is_now) return Owned();
    Owned roll = numpy_attribute(trend_names().roll);
    if (!roll) return Owned();
    PyObject* roll_args[] = {trend, rt.int_1};
    Owned rolled = Owned::steal(PyObject_Vectorcall(roll.get(), roll_args, 2, nullptr));
    if (!rolled) return Owned();
    Owned was_before = Owned::steal(PyObject_RichCompare(rolled.get(), before, Py_EQ));
    if (!was_before) return Owned();
    Owned turned = Owned::steal(PyNumber_And(is_now.get(), was_before.get()));
    if (!turned) return Owned();
    PyObject* where_args[] = {turned.get(), rt.int_1, rt.int_0};
    Owned signal = Owned::steal(PyObject_Vectorcall(where.get(), where_args, 3, nullptr));
    if (!signal || PyObject_SetItem(signal.get(), rt.int_0, rt.int_0) < 0) return Owned();
    return signal;
}

struct TrendArrays {
    const ArrayLocal& trend;
    const ArrayLocal& max_low_price;
    const ArrayLocal& min_high_price;
    const ArrayLocal& atr2;
    const ArrayLocal& dev;

    StridedView<const std::int32_t> trend_view(Py_ssize_t n) const noexcept {
        return first(trend.view().read<std::int32_t>(), n);
    }
    StridedView<const float> read(const ArrayLocal& local, Py_ssize_t n) const noexcept {
        return first(local.view().read<float>(), n);
    }
};

// The outputs when `np` is the numpy bound at import: allocation and whole-
// array steps are then invisible, so the passes write the results directly.
Owned native_outputs(const TrendArrays& a, Py_ssize_t n) {
    NativeResult result;
    if (!result.allocate(n)) return Owned();
    const halftrend::Outputs out = result.outputs(n);
    halftrend::line_pass(a.trend_view(n), a.read(a.max_low_price, n), a.read(a.min_high_price, n), a.read(a.atr2, n),
              a.read(a.dev, n), out.halftrend, out.atr_high, out.atr_low, out.arrow_up, out.arrow_down);
    halftrend::signals(a.trend_view(n), out.buy, out.sell);
    return result.to_dict();
}

// The outputs through a rebound `np`: six float32 zeros, the line pass, then
// np.where for the line and np.where / np.roll for the signals.
Owned numpy_outputs(const TrendArrays& a, Py_ssize_t n) {
    ArrayLocal up(float32_element, true), down(float32_element, true), atr_high(float32_element, true),
        atr_low(float32_element, true), arrow_up(float32_element, true), arrow_down(float32_element, true);
    for (ArrayLocal* local : {&up, &down, &atr_high, &atr_low, &arrow_up, &arrow_down}) {
        if (!bind_zeros(*local, n, trend_names().float32)) return Owned();
    }
    auto written = [n](const ArrayLocal& local) { return first(local.view().write<float>(), n); };
    halftrend::line_pass(a.trend_view(n), a.read(a.max_low_price, n), a.read(a.min_high_price, n),
                         a.read(a.atr2, n), a.read(a.dev, n), written(up), written(atr_high), written(atr_low), written(arrow_up),
              written(arrow_down));
    split_line(a.trend_view(n), a.read(a.min_high_price, n), written(up), written(down));

    const Runtime& rt = runtime();
    PyObject* trend = a.trend.object();
    Owned where = numpy_attribute(trend_names().where);
    if (!where) return Owned();
    Owned is_up = Owned::steal(PyObject_RichCompare(trend, rt.int_0, Py_EQ));
    if (!is_up) return Owned();
    PyObject* where_args[] = {is_up.get(), up.object(), down.object()};
    Owned line = Owned::steal(PyObject_Vectorcall(where.get(), where_args, 3, nullptr));
    if (!line) return Owned();
    Owned buy = transition_signal(trend, rt.int_0, rt.int_1);
    if (!buy) return Owned();
    Owned sell = transition_signal(trend, rt.int_1, rt.int_0);
    if (!sell) return Owned();
    Owned values[7] = {std::move(line),  atr_high.take(), atr_low.take(), arrow_up.take(),
                       arrow_down.take(), std::move(buy),  std::move(sell)};
    return halftrend_dict(values);
}

}  // namespace

Owned stepwise_halftrend(const HalftrendCall& call) {
    const Py_ssize_t n = call.n;
    const Runtime& rt = runtime();

    ArrayLocal atr2(float32_element, false), dev(float32_element, false);
    if (!bind_result(atr2, Owned::steal(PyNumber_Multiply(call.tr, rt.float_half)), n, "tr * 0.5")) return Owned();
    Owned deviation = Owned::steal(PyFloat_FromDouble(call.channel_deviation));
    if (!deviation || !bind_result(dev, Owned::steal(PyNumber_Multiply(deviation.get(), atr2.object())), n,
                                   "channel_deviation * atr2")) {
        return Owned();
    }

    ArrayLocal high_price(float32_element, true), low_price(float32_element, true);
    for (auto [local, series] : {std::pair{&high_price, call.high}, std::pair{&low_price, call.low}}) {
        PyObject* args[] = {series};
        if (!bind_result(*local, numpy_call(trend_names().empty_like, args, 1), n, "np.empty_like")) return Owned();
    }
    if (call.amplitude <= 0 || n == 0) {
        reduce_empty_window(call.high);
        return Owned();
    }
    const auto scratch = std::make_unique<halftrend::WindowScratch>(std::min<Py_ssize_t>(call.amplitude, n));
    halftrend::rolling_max_min(call.views.high, call.views.low, call.amplitude,
                               first(high_price.view().write<float>(), n), first(low_price.view().write<float>(), n),
                               *scratch);

    // 2 * amplitude does not fit every int32: the product is taken in 64 bits.
    Owned smoothing_length = Owned::steal(PyLong_FromLongLong(2 * static_cast<long long>(call.amplitude)));
    if (!smoothing_length) return Owned();
    ArrayLocal highma(float32_element, false), lowma(float32_element, false);
    if (!bind_result(highma, call_tema3(call.high, smoothing_length.get()), n, "tema3") ||
        !bind_result(lowma, call_tema3(call.low, smoothing_length.get()), n, "tema3")) {
        return Owned();
    }

    // next_trend lives in the trend pass's state; its array is made as the
    // steps make it, so a rebound np sees every allocation.
    ArrayLocal trend(int32_element, true), next_trend(int32_element, true), max_low_price(float32_element, true),
        min_high_price(float32_element, true);
    if (!bind_zeros(trend, n, trend_names().int32) || !bind_zeros(next_trend, n, trend_names().int32) ||
        !bind_zeros(max_low_price, n, trend_names().float32) || !bind_zeros(min_high_price, n, trend_names().float32)) {
        return Owned();
    }
    auto read = [n](const ArrayLocal& local) { return first(local.view().read<float>(), n); };
    halftrend::trend_pass(call.views.high, call.views.low, call.views.close, read(high_price), read(low_price),
                          read(highma), read(lowma), first(trend.view().write<std::int32_t>(), n),
                          first(max_low_price.view().write<float>(), n), first(min_high_price.view().write<float>(), n));

    const TrendArrays arrays{trend, max_low_price, min_high_price, atr2, dev};
    return numpy_is_pristine() ? native_outputs(arrays, n) : numpy_outputs(arrays, n);
}

}  // namespace ornivex::trend
