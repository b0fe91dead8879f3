// QuorvelSwing.range_size: the absolute bar-to-bar changes of `arr`, smoothed
// by `ema` over range_period and then over 2 * range_period - 1 bars, scaled
// by range_multiplier and padded in front with NaN to the input's length.
//
// Two routes give the same bits:
//   * native, when `np` is the numpy bound at import and the table's ema is
//     the module's own: the result comes from np.empty(n) and the whole
//     computation (differences, both window means, scaling, padding) runs
//     without the interpreter lock, block by block.  The intermediate series
//     are nobody else's business then, so they need not be NumPy arrays.
//   * through `np` and the table, otherwise, and whenever a window does not
//     fit (so NumPy's own errors come from the calls that meet them), step
//     by step as the literal model (tests/models/swing_model.py) takes
//     them: np.empty for the
//     differences, the difference pass without the lock, both smoothings
//     through the operation table, and the padding and scaling as NumPy
//     slice assignments.
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "ornivex/common/boundary.hpp"
#include "ornivex/common/buffer.hpp"
#include "ornivex/common/errors.hpp"
#include "ornivex/common/numpy_calls.hpp"
#include "ornivex/common/runtime.hpp"
#include "ornivex/common/without_gil.hpp"
#include "ornivex/kernels/swing/range_size.hpp"
#include "ornivex/swing_v4/names.hpp"
#include "ornivex/swing_v4/operations.hpp"

namespace ornivex::swing {

namespace {

constexpr const char* range_size_qualname = "ornivex.swing_v4.QuorvelSwing.range_size";

// A Python override of range_size, called as (arr, int, float).
bool find_override(QuorvelSwingObject* self, PyObject* arr, int32_t range_period, double range_multiplier, Owned& found) {
    return dispatch_override(self, swing_names().range_size, range_size_entry, arr, range_period, range_multiplier, found);
}

// The window of the second smoothing, 2 * range_period - 1.  A period above
// 2**30 wraps in 32 bits as the int32 window parameter of `ema` demands;
// every wrapped value is negative, so `ema` refuses it with NumPy's
// negative-dimension ValueError instead of overflowing.
int32_t second_window(int32_t range_period) {
    const std::int64_t window = 2 * static_cast<std::int64_t>(range_period) - 1;
    return static_cast<int32_t>(static_cast<std::uint32_t>(window));
}

// ---------------------------------------------------------------------------
// Native route
// ---------------------------------------------------------------------------

bool takes_native_route(const QuorvelSwingObject* self, index_t n, int32_t range_period) {
    const RangeSizePlan plan = plan_range_size(n, range_period);
    return plan.feasible() && plan.second_period <= std::numeric_limits<int32_t>::max() &&
           self->operations->ema == &ema && numpy_is_pristine();
}

Owned range_size_natively(const ArrayView& arr, int32_t range_period, double range_multiplier) {
    const index_t n = arr.size();
    ArrayLocal result(double_element, /*writable=*/true);
    if (!result.assign(numpy_new_array(names().empty, n, swing_names().float64))) return Owned();
    if (result.size() != n) return err::result_too_short("range_size", "np.empty", result.object(), n);
    const StridedView<const double> prices = arr.read<double>();
    const StridedView<double> out = result.view().write<double>();
    if (!run_without_gil([&] { range_size_pass(prices, range_period, range_multiplier, out); })) return Owned();
    return result.take();
}

// ---------------------------------------------------------------------------
// Route through np and the table
// ---------------------------------------------------------------------------

// diffs[0] = 0.0, diffs[i] = |arr[i] - arr[i - 1]|, without the lock.  The
// vectorised pass needs separate memory, which a fresh np.empty has; for
// arrays from a rebound `np` every load and store goes in index order, so
// an array that shares memory with `arr` gets what the plain loop gives.
bool difference_pass(const ArrayView& arr, const ArrayView& diffs, bool fresh_output) {
    const StridedView<const double> prices = arr.read<double>();
    const StridedView<double> out = diffs.write<double>();
    if (prices.size == 0) return true;  // an empty series has no element 0 to set
    return run_without_gil([&] {
        if (fresh_output) {
            abs_diff(prices, out);
        } else {
            out.set(0, 0.0);
            for (index_t i = 1; i < prices.size; ++i) out.set(i, std::fabs(prices[i] - prices[i - 1]));
        }
    });
}

// first_ema = ema(arr_diff_abs, range_period); arr_diff_abs is dropped as
// soon as it has been smoothed.
Owned first_smoothing(QuorvelSwingObject* self, const ArrayView& arr, int32_t range_period) {
    const index_t n = arr.size();
    ArrayLocal arr_diff_abs(double_element, /*writable=*/true);
    const bool fresh_diffs = numpy_is_pristine();
    if (!arr_diff_abs.assign(numpy_new_array(names().empty, n, swing_names().float64))) return Owned();
    if (arr_diff_abs.size() < n) return err::result_too_short("range_size", "np.empty", arr_diff_abs.object(), n);
    if (!difference_pass(arr, arr_diff_abs.view(), fresh_diffs && is_plain_ndarray(arr_diff_abs.object())))
        return Owned();
    return Owned::steal(self->operations->ema(self, arr_diff_abs.object(), range_period));
}

// result[:pad_length] = np.nan; result[pad_length:] = second_ema * range_multiplier
bool pad_and_scale_through_numpy(PyObject* result, PyObject* second_ema, index_t pad_length, double range_multiplier) {
    Owned pad_end = Owned::steal(PyLong_FromSsize_t(pad_length));
    if (!pad_end) return false;
    Owned head = Owned::steal(PySlice_New(nullptr, pad_end.get(), nullptr));
    if (!head) return false;
    Owned nan = numpy_attribute(swing_names().nan);
    if (!nan || PyObject_SetItem(result, head.get(), nan.get()) < 0) return false;

    Owned multiplier = Owned::steal(PyFloat_FromDouble(range_multiplier));
    if (!multiplier) return false;
    Owned scaled = Owned::steal(PyNumber_Multiply(second_ema, multiplier.get()));
    if (!scaled) return false;
    Owned tail = Owned::steal(PySlice_New(pad_end.get(), nullptr, nullptr));
    return tail && PyObject_SetItem(result, tail.get(), scaled.get()) >= 0;
}

Owned range_size_through_numpy(QuorvelSwingObject* self, const ArrayView& arr, int32_t range_period,
                            double range_multiplier) {
    const index_t n = arr.size();
    Owned first_ema = first_smoothing(self, arr, range_period);
    if (!first_ema) return Owned();
    Owned second_ema = Owned::steal(self->operations->ema(self, first_ema.get(), second_window(range_period)));
    if (!second_ema) return Owned();
    first_ema.reset();
    const Py_ssize_t second_length = PyObject_Length(second_ema.get());
    if (second_length < 0) return Owned();
    const index_t pad_length = n - second_length;

    ArrayLocal result(double_element, /*writable=*/false);
    if (!result.assign(numpy_new_array(names().empty, n, swing_names().float64))) return Owned();
    if (!pad_and_scale_through_numpy(result.object(), second_ema.get(), pad_length, range_multiplier)) return Owned();
    return result.take();
}

Owned range_size_body(QuorvelSwingObject* self, PyObject* arr_object, int32_t range_period, double range_multiplier,
                      bool skip_override) {
    ArrayView arr;
    if (!arr.acquire(arr_object, double_element)) return Owned();
    if (!skip_override) {
        Owned found;
        if (!find_override(self, arr_object, range_period, range_multiplier, found)) return Owned();
        if (found) return found;
    }
    if (takes_native_route(self, arr.size(), range_period))
        return range_size_natively(arr, range_period, range_multiplier);
    return range_size_through_numpy(self, arr, range_period, range_multiplier);
}

}  // namespace

PyObject* range_size(QuorvelSwingObject* self, PyObject* arr, int32_t range_period, double range_multiplier,
                     bool skip_override) {
    return call_traced(range_size_qualname, [&] {
        return range_size_body(self, arr, range_period, range_multiplier, skip_override);
    });
}

}  // namespace ornivex::swing
