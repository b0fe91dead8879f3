// The Python-callable entries of QuorvelSwing.range_size, .range_filter and
// .quorvel_swing: bind, convert, type-test and view the arguments, then run
// the table entry with the override check skipped, since Python already
// resolved the call to this class's own method.
//
// A failed check adds the method's traceback entry; a failing table entry
// adds its own, so every failing call carries exactly one.
#include <Python.h>

#include <cstdint>
#include <optional>

#include "ornivex/common/args.hpp"
#include "ornivex/common/boundary.hpp"
#include "ornivex/common/buffer.hpp"
#include "ornivex/common/convert.hpp"
#include "ornivex/common/errors.hpp"
#include "ornivex/common/runtime.hpp"
#include "ornivex/swing_v4/operations.hpp"
#include "ornivex/swing_v4/names.hpp"

namespace ornivex::swing {

namespace {

QuorvelSwingObject* as_swing(PyObject* self) { return reinterpret_cast<QuorvelSwingObject*>(self); }

}  // namespace

PyObject* range_size_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static PyObject* const params[] = {swing_names().arr, swing_names().range_period, swing_names().range_multiplier};
    static const Signature signature{"range_size", 3, 3, params};
    PyObject* bound[3];
    std::optional<int32_t> range_period;
    std::optional<double> range_multiplier;
    const auto check = [&] {
        if (!bind_arguments(signature, args, nargsf, kwnames, bound)) return false;
        range_period = to_int32(bound[1]);
        if (!range_period) return false;
        range_multiplier = to_double(bound[2]);
        ArrayView arr;  // validates `arr`; the table entry takes its own view
        return range_multiplier && check_array_argument("arr", bound[0]) && arr.acquire(bound[0], double_element);
    };
    const auto run = [&] {
        QuorvelSwingObject* swing = as_swing(self);
        return swing->operations->range_size(swing, bound[0], *range_period, *range_multiplier,
                                             /*skip_override=*/true);
    };
    return call_entry("ornivex.swing_v4.QuorvelSwing.range_size", check, run);
}

PyObject* range_filter_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static PyObject* const params[] = {swing_names().x, swing_names().r};
    static const Signature signature{"range_filter", 2, 2, params};
    PyObject* bound[2];
    const auto check = [&] {
        if (!bind_arguments(signature, args, nargsf, kwnames, bound)) return false;
        ArrayView x;
        ArrayView r;
        return check_array_argument("x", bound[0]) && check_array_argument("r", bound[1]) &&
               x.acquire(bound[0], double_element) && r.acquire(bound[1], double_element);
    };
    const auto run = [&] {
        QuorvelSwingObject* swing = as_swing(self);
        return swing->operations->range_filter(swing, bound[0], bound[1], /*skip_override=*/true);
    };
    return call_entry("ornivex.swing_v4.QuorvelSwing.range_filter", check, run);
}

PyObject* quorvel_swing_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static PyObject* const params[] = {swing_names().arr, swing_names().swing_period, swing_names().swing_multiplier};
    static const Signature signature{"quorvel_swing", 3, 3, params};
    PyObject* bound[3];
    std::optional<int32_t> swing_period;
    std::optional<double> swing_multiplier;
    const auto check = [&] {
        if (!bind_arguments(signature, args, nargsf, kwnames, bound)) return false;
        swing_period = to_int32(bound[1]);
        if (!swing_period) return false;
        swing_multiplier = to_double(bound[2]);
        ArrayView arr;  // validates `arr`; the table entry takes its own view
        return swing_multiplier && check_array_argument("arr", bound[0]) && arr.acquire(bound[0], double_element);
    };
    const auto run = [&] {
        QuorvelSwingObject* swing = as_swing(self);
        return swing->operations->quorvel_swing(swing, bound[0], *swing_period, *swing_multiplier,
                                                /*skip_override=*/true);
    };
    return call_entry("ornivex.swing_v4.QuorvelSwing.quorvel_swing", check, run);
}

}  // namespace ornivex::swing
