#include "ornivex/common/convert.hpp"

#include <climits>

#include "ornivex/common/errors.hpp"
#include "ornivex/common/pyref.hpp"

namespace ornivex {

std::optional<double> to_double(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return err::propagate();
    return value;
}

namespace {

// An int object for `obj` by the __int__ rules (new reference).
Owned as_int_object(PyObject* obj) {
    if (PyLong_Check(obj)) return Owned::incref(obj);
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) return err::integer_required();
    Owned result = Owned::steal(number->nb_int(obj));
    if (!result) return err::propagate();
    if (PyLong_CheckExact(result.get())) return result;
    if (!PyLong_Check(result.get())) return err::int_returned_non_int(result.get());
    if (!err::warn_int_returned_int_subclass(result.get())) return err::propagate();
    return result;
}

std::optional<long> long_in_range(PyObject* obj, long lowest, long highest, Raised (*overflow)()) {
    Owned value = as_int_object(obj);
    if (!value) return err::propagate();
    int overflowed = 0;
    const long result = PyLong_AsLongAndOverflow(value.get(), &overflowed);
    if (result == -1 && PyErr_Occurred()) return err::propagate();
    if (overflowed != 0 || result < lowest || result > highest) return overflow();
    return result;
}

}  // namespace

std::optional<int32_t> to_int32(PyObject* obj) {
    auto value = long_in_range(obj, INT32_MIN, INT32_MAX, err::int_overflow);
    if (!value) return err::propagate();
    return static_cast<int32_t>(*value);
}

std::optional<long> to_long(PyObject* obj) { return long_in_range(obj, LONG_MIN, LONG_MAX, err::long_overflow); }

}  // namespace ornivex
