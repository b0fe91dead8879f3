// QuorvelSwing.ema (the moving mean of every complete window) and
// QuorvelSwing.nz (NaN to zero): the two internal table operations.
//
// As written, ema makes its weights and result through `np`:
//     weights = np.ones(period, dtype=np.float64) / period
//     result  = np.empty(n - period + 1, dtype=np.float64)
// and fills result[i] = np.dot(x[i:i + period], weights), slicing and dotting
// every window through Python.  That runs whenever `np` is not the numpy
// bound at import or `x` is not a plain ndarray.  Otherwise nothing can
// observe the weight vector: every weight is 1.0 / period (NumPy's true
// division of 1.0 by the int), so it is not built (at small n its division
// costs as much as the whole mean), and the windows are summed natively
// without the interpreter lock, each output as a tree over its own window
// (kernels/swing/window_mean.hpp), within a few roundings of np.dot.  A negative
// period still takes the written route, where np.ones refuses it.
#include <Python.h>

#include <cstdint>

#include "ornivex/common/boundary.hpp"
#include "ornivex/common/buffer.hpp"
#include "ornivex/common/errors.hpp"
#include "ornivex/common/numpy_calls.hpp"
#include "ornivex/common/runtime.hpp"
#include "ornivex/common/without_gil.hpp"
#include "ornivex/kernels/swing/range_filter.hpp"
#include "ornivex/kernels/swing/range_size.hpp"
#include "ornivex/kernels/swing/window_mean.hpp"
#include "ornivex/swing_v4/names.hpp"
#include "ornivex/swing_v4/operations.hpp"

namespace ornivex::swing {

namespace {

constexpr const char* ema_qualname = "ornivex.swing_v4.QuorvelSwing.ema";

// np.ones(period, dtype=np.float64) / period, true division by a Python int.
Owned equal_weights(int32_t period) {
    Owned ones = numpy_new_array(swing_names().ones, period, swing_names().float64);
    if (!ones) return Owned();
    Owned divisor = Owned::steal(PyLong_FromLong(period));
    if (!divisor) return Owned();
    return Owned::steal(PyNumber_TrueDivide(ones.get(), divisor.get()));
}

// result[i] = float(np.dot(x[i:i + period], weights)) for i < count, with
// `np` and `np.dot` looked up afresh for every window.
bool dot_every_window(PyObject* x, PyObject* weights, const ArrayView& result, index_t count, index_t period) {
    const StridedView<double> out = result.write<double>();
    for (index_t i = 0; i < count; ++i) {
        Owned start = Owned::steal(PyLong_FromSsize_t(i));
        if (!start) return false;
        Owned stop = Owned::steal(PyLong_FromSsize_t(i + period));
        if (!stop) return false;
        Owned bounds = Owned::steal(PySlice_New(start.get(), stop.get(), nullptr));
        if (!bounds) return false;
        Owned window = Owned::steal(PyObject_GetItem(x, bounds.get()));
        if (!window) return false;
        PyObject* args[] = {window.get(), weights};
        Owned product = numpy_call(swing_names().dot, args, 2);
        if (!product) return false;
        const double value = PyFloat_AsDouble(product.get());
        if (value == -1.0 && PyErr_Occurred()) return false;
        out.set(i, value);
    }
    return true;
}

// result = np.empty(count, dtype=np.float64), viewed writable.  A negative
// count (computed in 64 bits, so no length or period overflows it) reaches
// np.empty, which refuses it with NumPy's own ValueError.
bool allocate_result(ArrayLocal& result, index_t count) {
    if (!result.assign(numpy_new_array(names().empty, count, swing_names().float64))) return false;
    if (count > 0 && result.size() < count) return err::result_too_short("ema", "np.empty", result.object(), count);
    return true;
}

Owned mean_through_numpy(PyObject* x_object, index_t n, int32_t period) {
    ArrayLocal weights(double_element, /*writable=*/false);
    if (!weights.assign(equal_weights(period))) return Owned();
    const index_t count = n - period + 1;
    ArrayLocal result(double_element, /*writable=*/true);
    if (!allocate_result(result, count)) return Owned();
    if (count > 0 && !dot_every_window(x_object, weights.object(), result.view(), count, period)) return Owned();
    return result.take();
}

Owned mean_natively(const ArrayView& x, int32_t period) {
    const index_t count = x.size() - period + 1;
    ArrayLocal result(double_element, /*writable=*/true);
    if (!allocate_result(result, count)) return Owned();
    if (count <= 0) return result.take();
    const StridedView<const double> series = x.read<double>();
    StridedView<double> means = result.view().write<double>();
    means.size = count;
    if (!run_without_gil([&] { window_mean(series, period, window_weight(period), means); })) return Owned();
    return result.take();
}

Owned ema_body(PyObject* x_object, int32_t period) {
    ArrayView x;
    if (!x.acquire(x_object, double_element)) return Owned();
    if (period >= 0 && numpy_is_pristine() && is_plain_ndarray(x_object)) return mean_natively(x, period);
    return mean_through_numpy(x_object, x.size(), period);
}

}  // namespace

PyObject* ema(QuorvelSwingObject* /*self*/, PyObject* x, int32_t period) {
    return call_traced(ema_qualname, [&] { return ema_body(x, period); });
}

double nz(QuorvelSwingObject* /*self*/, double x) { return nan_to_zero(x); }

}  // namespace ornivex::swing
