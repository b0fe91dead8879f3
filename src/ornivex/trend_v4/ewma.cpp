// ewma(series, alpha) and ema2(source, length).
//
// ewma takes the native recursion when both the input and the array that
// np.empty returned are plain ndarrays; otherwise (subclasses with their own
// item access, a rebound `np`) it runs the element loop through the generic
// object protocols, so NumPy's own scalar arithmetic and hooks apply.
#include <Python.h>

#include "ornivex/common/args.hpp"
#include "ornivex/common/buffer.hpp"
#include "ornivex/common/convert.hpp"
#include "ornivex/common/errors.hpp"
#include "ornivex/common/numpy_api.hpp"
#include "ornivex/common/numpy_calls.hpp"
#include "ornivex/common/runtime.hpp"
#include "ornivex/kernels/averages/ewma.hpp"
#include "ornivex/trend_v4/functions.hpp"
#include "ornivex/trend_v4/names.hpp"

namespace ornivex::trend {

namespace {

// The loop of tests/models/trend_model.py's ewma, in object terms: for i in range(1, n):
//     out[i] = alpha * series[i] + (1.0 - alpha) * out[i - 1]
bool generic_ewma_loop(PyObject* series, PyObject* out, Py_ssize_t n, double alpha) {
    const Runtime& rt = runtime();
    Owned stop = Owned::steal(PyLong_FromSsize_t(n));
    if (!stop) return false;
    Owned indices = Owned::steal(PyObject_CallFunctionObjArgs(rt.range, rt.int_1, stop.get(), nullptr));
    if (!indices) return false;
    Owned iterator = Owned::steal(PyObject_GetIter(indices.get()));
    if (!iterator) return false;
    while (Owned i = Owned::steal(PyIter_Next(iterator.get()))) {
        Owned current_factor = Owned::steal(PyFloat_FromDouble(alpha));
        if (!current_factor) return false;
        Owned x = Owned::steal(PyObject_GetItem(series, i.get()));
        if (!x) return false;
        Owned p1 = Owned::steal(PyNumber_Multiply(current_factor.get(), x.get()));
        if (!p1) return false;
        Owned previous_factor = Owned::steal(PyFloat_FromDouble(1.0 - alpha));
        if (!previous_factor) return false;
        Owned before = Owned::steal(PyNumber_Subtract(i.get(), rt.int_1));
        if (!before) return false;
        Owned previous = Owned::steal(PyObject_GetItem(out, before.get()));
        if (!previous) return false;
        Owned p2 = Owned::steal(PyNumber_Multiply(previous_factor.get(), previous.get()));
        if (!p2) return false;
        Owned sum = Owned::steal(PyNumber_Add(p1.get(), p2.get()));
        if (!sum || PyObject_SetItem(out, i.get(), sum.get()) < 0) return false;
    }
    return !PyErr_Occurred();
}

bool native_ewma(const ArrayView& series, const ArrayView& out, double alpha) {
    Promotion promotion;
    if (!current_promotion(promotion)) return false;
    if (promotion == Promotion::weak_float32) {
        ewma<Promotion::weak_float32>(series.read<float>(), out.write<float>(), alpha);
    } else {
        ewma<Promotion::legacy_double>(series.read<float>(), out.write<float>(), alpha);
    }
    return true;
}

Owned ewma_body(PyObject* series_object, const ArrayView& series, double alpha) {
    const Py_ssize_t n = series.size();
    ArrayLocal ewma_series(float32_element, /*writable=*/true);
    if (!ewma_series.assign(numpy_new_array(names().empty, n, trend_names().float32))) return Owned();
    if (ewma_series.size() < n) return err::result_too_short("ewma", "np.empty", ewma_series.object(), n);
    if (n == 0) return ewma_series.take();

    const bool plain = is_plain_ndarray(series_object) && is_plain_ndarray(ewma_series.object());
    if (plain) {
        if (!native_ewma(series, ewma_series.view(), alpha)) return Owned();
    } else {
        ewma_series.view().write<float>().copy_from(0, series.read<float>(), 0);
        if (!generic_ewma_loop(series_object, ewma_series.object(), n, alpha)) return Owned();
    }
    return ewma_series.take();
}

}  // namespace

const Signature& ewma_signature() {
    static PyObject* const params[] = {trend_names().series, trend_names().alpha};
    static const Signature signature{"ewma", 2, 2, params};
    return signature;
}

const Signature& ema2_signature() {
    static PyObject* const params[] = {trend_names().source, trend_names().length};
    static const Signature signature{"ema2", 2, 2, params};
    return signature;
}

Owned ewma_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* bound[2];
    if (!bind_arguments(ewma_signature(), args, nargsf, kwnames, bound)) return Owned();
    const auto alpha = to_double(bound[1]);
    if (!alpha || !check_array_argument("series", bound[0])) return Owned();
    ArrayView series;
    if (!series.acquire(bound[0], float32_element)) return Owned();
    return ewma_body(bound[0], series, *alpha);
}

Owned ema2_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* bound[2];
    if (!bind_arguments(ema2_signature(), args, nargsf, kwnames, bound)) return Owned();
    const auto length = to_double(bound[1]);
    if (!length || !check_array_argument("source", bound[0])) return Owned();
    ArrayView source;  // held only to validate `source`
    if (!source.acquire(bound[0], float32_element)) return Owned();

    Owned ewma = lookup_global(trend_names().ewma);
    if (!ewma) return Owned();
    Owned alpha = Owned::steal(PyFloat_FromDouble(ema2_alpha(*length)));
    if (!alpha) return Owned();
    PyObject* call_args[] = {bound[0], alpha.get()};
    return Owned::steal(PyObject_Vectorcall(ewma.get(), call_args, 2, nullptr));
}

}  // namespace ornivex::trend
