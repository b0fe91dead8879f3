// QuorvelSwing.range_filter: the stepped filter line of price `x` within
// ranges `r`, returned as the (n, 3) transpose of the stacked rows
// (hi_band, lo_band, range_filt).
//
// Native path (`np` is the numpy bound at import and the table's nz is the
// module's own): the filter pass runs without the interpreter lock straight
// into one new C-ordered (3, n) array, whose transpose is returned; that is
// the array np.vstack((hi_band, lo_band, range_filt)).T would give.
// Otherwise every step goes through `np` and the table as the literal model
// (tests/models/swing_model.py) takes them: three np.zeros, the main pass
// calling the table's nz once per bar, the gap fill, np.vstack and `.T`.
#include <Python.h>


#include "ornivex/common/boundary.hpp"
#include "ornivex/common/buffer.hpp"
#include "ornivex/common/errors.hpp"
#include "ornivex/common/numpy_api.hpp"
#include "ornivex/common/numpy_calls.hpp"
#include "ornivex/common/runtime.hpp"
#include "ornivex/common/without_gil.hpp"
#include "ornivex/kernels/swing/range_filter.hpp"
#include "ornivex/swing_v4/names.hpp"
#include "ornivex/swing_v4/operations.hpp"

namespace ornivex::swing {

namespace {

constexpr const char* range_filter_qualname = "ornivex.swing_v4.QuorvelSwing.range_filter";

// A Python override of range_filter, called as (x, r).
bool find_override(QuorvelSwingObject* self, PyObject* x, PyObject* r, Owned& found) {
    PyObject* args[] = {x, r};
    return dispatch_override(self, swing_names().range_filter, range_filter_entry, args, 2, found);
}

bool own_nz(const QuorvelSwingObject* self) { return self->operations->nz == &nz; }

// The rule and the gap fill over the arrays the steps write to, without the
// lock unless the table's nz is foreign (a native subclass's), which is
// called with the lock held.
bool filter_in_arrays(QuorvelSwingObject* self, StridedView<const double> x, StridedView<const double> r,
                      const FilterOutputs& out) {
    if (own_nz(self)) return run_without_gil([&] { range_filter_in_arrays(x, r, out, nan_to_zero); });
    range_filter_in_arrays(x, r, out, [self](double v) { return self->operations->nz(self, v); });
    return true;
}

// np.vstack((hi_band, lo_band, range_filt)).T, which must be an ndarray.
Owned stack_transposed(PyObject* hi_band, PyObject* lo_band, PyObject* range_filt) {
    Owned rows = Owned::steal(PyTuple_Pack(3, hi_band, lo_band, range_filt));
    if (!rows) return Owned();
    PyObject* args[] = {rows.get()};
    Owned stacked = numpy_call(swing_names().vstack, args, 1);
    if (!stacked) return Owned();
    Owned transposed = Owned::steal(PyObject_GetAttr(stacked.get(), swing_names().T));
    if (!transposed) return Owned();
    PyObject* t = transposed.get();
    if (t != Py_None && !PyObject_TypeCheck(t, runtime().ndarray)) return err::cannot_convert(t, runtime().ndarray);
    return transposed;
}

Owned filter_through_numpy(QuorvelSwingObject* self, const ArrayView& x, const ArrayView& r) {
    const index_t n = x.size();
    ArrayLocal range_filt(double_element, /*writable=*/true);
    ArrayLocal hi_band(double_element, /*writable=*/true);
    ArrayLocal lo_band(double_element, /*writable=*/true);
    for (ArrayLocal* local : {&range_filt, &hi_band, &lo_band}) {
        if (!local->assign(numpy_new_array(names().zeros, n, swing_names().float64))) return Owned();
        if (local->size() < n) return err::result_too_short("range_filter", "np.zeros", local->object(), n);
    }
    const FilterOutputs out{range_filt.view().write<double>(), hi_band.view().write<double>(),
                            lo_band.view().write<double>()};
    if (!filter_in_arrays(self, x.read<double>(), r.read<double>(), out)) return Owned();
    return stack_transposed(hi_band.object(), lo_band.object(), range_filt.object());
}

Owned filter_natively(const ArrayView& x, const ArrayView& r) {
    const index_t n = x.size();
    npy_intp shape[2] = {3, n};
    Owned rows = Owned::steal(PyArray_SimpleNew(2, shape, NPY_DOUBLE));
    if (!rows) return Owned();
    double* block = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(rows.get())));
    const StridedView<const double> prices = x.read<double>();
    const StridedView<const double> ranges = r.read<double>();
    if (!run_without_gil([&] { range_filter_rows(prices, ranges, block); })) return Owned();
    return Owned::steal(PyObject_GetAttr(rows.get(), swing_names().T));
}

Owned range_filter_body(QuorvelSwingObject* self, PyObject* x_object, PyObject* r_object, bool skip_override) {
    ArrayView x;
    ArrayView r;
    if (!x.acquire(x_object, double_element) || !r.acquire(r_object, double_element)) return Owned();
    if (!skip_override) {
        Owned found;
        if (!find_override(self, x_object, r_object, found)) return Owned();
        if (found) return found;
    }
    // Bars 1 .. n-1 read r at the same index; a shorter r (None from an
    // override of range_size included) would be read past its end.
    const index_t n = x.size();
    if (n >= 2 && r.size() < n) return err::range_too_short(r.size(), n);

    if (numpy_is_pristine() && own_nz(self)) return filter_natively(x, r);
    return filter_through_numpy(self, x, r);
}

}  // namespace

PyObject* range_filter(QuorvelSwingObject* self, PyObject* x, PyObject* r, bool skip_override) {
    return call_traced(range_filter_qualname, [&] { return range_filter_body(self, x, r, skip_override); });
}

}  // namespace ornivex::swing
