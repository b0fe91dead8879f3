// QuorvelSwing.range_size: the absolute bar-to-bar changes of `arr`, smoothed
// by `ema` over range_period and then over 2 * range_period - 1 bars, scaled
// by range_multiplier and padded in front with NaN to the input's length.
//
// Every array is made through `np` as written and both smoothings go through
// the operation table.  The difference pass runs natively without the
// interpreter lock.  The padding and scaling are NumPy slice assignments;
// when `np` is the numpy bound at import and the arrays are plain ndarrays
// they are written natively instead, with the same bits.
#include <Python.h>

#include <cmath>
#include <cstdint>
#include <new>
#include <utility>

#include "ornivex/common/buffer.hpp"
#include "ornivex/common/errors.hpp"
#include "ornivex/common/numpy_calls.hpp"
#include "ornivex/common/runtime.hpp"
#include "ornivex/swing_v4/kernels/range_size.hpp"
#include "ornivex/swing_v4/operations.hpp"

namespace ornivex::swing {

namespace {

constexpr const char* range_size_qualname = "ornivex.swing_v4.QuorvelSwing.range_size";

// A Python override of range_size, called as (arr, int, float).
bool find_override(QuorvelSwingObject* self, PyObject* arr, int32_t range_period, double range_multiplier,
                   Owned& found) {
    Owned period = Owned::steal(PyLong_FromLong(range_period));
    if (!period) return false;
    Owned multiplier = Owned::steal(PyFloat_FromDouble(range_multiplier));
    if (!multiplier) return false;
    PyObject* args[] = {arr, period.get(), multiplier.get()};
    return dispatch_override(self, names().range_size, range_size_entry, args, 3, found);
}

// The window of the second smoothing, 2 * range_period - 1.  A period that
// large (above 2**30) wraps in 32 bits as the int32 window parameter of
// `ema` demands; every wrapped value is negative, so `ema` then refuses it
// with NumPy's negative-dimension ValueError instead of overflowing.
int32_t second_window(int32_t range_period) {
    const std::int64_t window = 2 * static_cast<std::int64_t>(range_period) - 1;
    return static_cast<int32_t>(static_cast<std::uint32_t>(window));
}

// diffs[0] = 0.0, diffs[i] = |arr[i] - arr[i - 1]|, without the lock.  The
// vectorised pass needs separate memory, which a fresh np.empty has; for
// arrays from a rebound `np` every load and store goes in index order, so
// an array that shares memory with `arr` gets what the plain loop gives.
void difference_pass(const ArrayView& arr, const ArrayView& diffs, bool fresh_output) {
    const StridedView<const double> prices = arr.read<double>();
    const StridedView<double> out = diffs.write<double>();
    if (prices.size == 0) return;  // an empty series has no element 0 to set
    Py_BEGIN_ALLOW_THREADS
    if (fresh_output) {
        abs_diff(prices, out);
    } else {
        out.set(0, 0.0);
        for (index_t i = 1; i < prices.size; ++i) out.set(i, std::fabs(prices[i] - prices[i - 1]));
    }
    Py_END_ALLOW_THREADS
}

// result[:pad_length] = np.nan; result[pad_length:] = second_ema * range_multiplier
bool pad_and_scale_literally(PyObject* result, PyObject* second_ema, index_t pad_length, double range_multiplier) {
    Owned pad_end = Owned::steal(PyLong_FromSsize_t(pad_length));
    if (!pad_end) return false;
    Owned head = Owned::steal(PySlice_New(nullptr, pad_end.get(), nullptr));
    if (!head) return false;
    Owned nan = numpy_attribute(names().nan);
    if (!nan || PyObject_SetItem(result, head.get(), nan.get()) < 0) return false;

    Owned multiplier = Owned::steal(PyFloat_FromDouble(range_multiplier));
    if (!multiplier) return false;
    Owned scaled = Owned::steal(PyNumber_Multiply(second_ema, multiplier.get()));
    if (!scaled) return false;
    Owned tail = Owned::steal(PySlice_New(pad_end.get(), nullptr, nullptr));
    return tail && PyObject_SetItem(result, tail.get(), scaled.get()) >= 0;
}

enum class Written { natively, not_here, failed };

// The same two assignments written straight into plain, fresh arrays; not
// here when `np` is rebound or the shapes are not the ones the slice
// assignments assume (those then raise or broadcast as NumPy decides).
Written pad_and_scale_natively(PyObject* result, PyObject* second_ema, index_t n, index_t pad_length,
                               double range_multiplier) {
    if (!numpy_is_pristine() || !is_plain_ndarray(result) || !is_plain_ndarray(second_ema)) return Written::not_here;
    ArrayView out;
    ArrayView second;
    if (!out.acquire(result, double_element, /*writable=*/true)) return Written::failed;
    if (!second.acquire(second_ema, double_element)) {  // not float64: NumPy's multiply decides
        PyErr_Clear();
        return Written::not_here;
    }
    if (out.size() != n || pad_length < 0 || second.size() != n - pad_length) return Written::not_here;
    const StridedView<const double> from = second.read<double>();
    const StridedView<double> to = out.write<double>();
    Py_BEGIN_ALLOW_THREADS  // both arrays were made by this call: nobody else holds them
    pad_and_scale(from, range_multiplier, to);
    Py_END_ALLOW_THREADS
    return Written::natively;
}

// first_ema = ema(arr_diff_abs, range_period).  Each intermediate series is
// dropped as soon as the next one exists: at a million bars that keeps
// the memory a call cycles through small enough for the allocator to hand
// the same pages back next time instead of mapping and clearing new ones.
Owned first_smoothing(QuorvelSwingObject* self, const ArrayView& arr, int32_t range_period) {
    const index_t n = arr.size();
    ArrayLocal arr_diff_abs(double_element, /*writable=*/true);
    const bool fresh_diffs = numpy_is_pristine();
    Owned diffs = numpy_new_array(names().empty, n, names().float64);
    if (!diffs || !arr_diff_abs.assign(std::move(diffs))) return Owned();
    if (arr_diff_abs.size() < n) return err::result_too_short("range_size", "np.empty", arr_diff_abs.object(), n);
    difference_pass(arr, arr_diff_abs.view(), fresh_diffs && is_plain_ndarray(arr_diff_abs.object()));
    return Owned::steal(self->operations->ema(self, arr_diff_abs.object(), range_period));
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
    Owned empty = numpy_new_array(names().empty, n, names().float64);
    if (!empty || !result.assign(std::move(empty))) return Owned();
    switch (pad_and_scale_natively(result.object(), second_ema.get(), n, pad_length, range_multiplier)) {
        case Written::natively: return result.take();
        case Written::failed: return Owned();
        case Written::not_here: break;
    }
    if (!pad_and_scale_literally(result.object(), second_ema.get(), pad_length, range_multiplier)) return Owned();
    return result.take();
}

}  // namespace

PyObject* range_size(QuorvelSwingObject* self, PyObject* arr, int32_t range_period, double range_multiplier,
                     bool skip_override) {
    try {
        if (Owned result = range_size_body(self, arr, range_period, range_multiplier, skip_override))
            return result.release();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    err::add_traceback(range_size_qualname);
    return nullptr;
}

}  // namespace ornivex::swing
