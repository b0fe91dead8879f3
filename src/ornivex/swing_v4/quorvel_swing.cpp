// QuorvelSwing.quorvel_swing: range_filter(arr, range_size(arr, period,
// multiplier)), both looked up through the operation table with the
// override check active, so a Python subclass overriding either changes the
// result.  The range is validated as a one-dimensional float64 array (or
// None) before range_filter sees it; range_filter's result is returned as is.
#include <Python.h>

#include "ornivex/common/boundary.hpp"
#include "ornivex/common/buffer.hpp"
#include "ornivex/common/errors.hpp"
#include "ornivex/common/runtime.hpp"
#include "ornivex/swing_v4/operations.hpp"
#include "ornivex/swing_v4/names.hpp"

namespace ornivex::swing {

namespace {

constexpr const char* quorvel_swing_qualname = "ornivex.swing_v4.QuorvelSwing.quorvel_swing";

// A Python override of quorvel_swing, called as (arr, int, float).
bool find_override(QuorvelSwingObject* self, PyObject* arr, int32_t swing_period, double swing_multiplier, Owned& found) {
    return dispatch_override(self, swing_names().quorvel_swing, quorvel_swing_entry, arr, swing_period, swing_multiplier, found);
}

Owned quorvel_swing_body(QuorvelSwingObject* self, PyObject* arr_object, int32_t swing_period,
                         double swing_multiplier, bool skip_override) {
    ArrayView arr;  // validates `arr`; no element is read here
    if (!arr.acquire(arr_object, double_element)) return Owned();
    if (!skip_override) {
        Owned found;
        if (!find_override(self, arr_object, swing_period, swing_multiplier, found)) return Owned();
        if (found) return found;
    }
    ArrayLocal smrng(double_element, /*writable=*/false);
    if (!smrng.assign(Owned::steal(self->operations->range_size(self, arr_object, swing_period, swing_multiplier,
                                                                 /*skip_override=*/false))))
        return Owned();
    return Owned::steal(self->operations->range_filter(self, arr_object, smrng.object(), /*skip_override=*/false));
}

}  // namespace

PyObject* quorvel_swing(QuorvelSwingObject* self, PyObject* arr, int32_t swing_period, double swing_multiplier,
                        bool skip_override) {
    return call_traced(quorvel_swing_qualname, [&] {
        return quorvel_swing_body(self, arr, swing_period, swing_multiplier, skip_override);
    });
}

}  // namespace ornivex::swing
