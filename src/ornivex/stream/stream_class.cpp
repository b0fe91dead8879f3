#include "ornivex/stream/stream_class.hpp"

#include <climits>
#include <cmath>
#include <limits>
#include <vector>

namespace ornivex::stream {

namespace {

constexpr const char* whole_rule = "a whole number of at least 1";

bool is_integer(PyObject* value) noexcept {
    return (PyLong_Check(value) && !PyBool_Check(value)) || PyArray_IsScalar(value, Integer);
}

// The value of an int, float or NumPy real number (not a bool), else nullopt with nothing raised.
std::optional<double> real_value(PyObject* value) {
    if (!is_integer(value) && !PyFloat_Check(value) && !PyArray_IsScalar(value, Floating)) return std::nullopt;
    const double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) {
        // An int too large for a double: not finite as a double either.
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
        PyErr_Clear();
        return std::numeric_limits<double>::infinity();
    }
    return number;
}

}  // namespace

std::optional<std::int64_t> count_parameter(const char* cls, const char* param, PyObject* value,
                                            std::int64_t maximum) {
    if (!is_integer(value)) return err::parameter_rule(param, whole_rule, value);
    Owned index = Owned::steal(PyNumber_Index(value));
    if (!index) return err::propagate();
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (number == -1 && PyErr_Occurred()) return err::propagate();
    if (overflow < 0 || (overflow == 0 && number < 1)) return err::parameter_rule(param, whole_rule, value);
    if (overflow > 0 || number > maximum) return err::parameter_too_large(cls, param, maximum, value);
    return number;
}

std::optional<double> width_parameter(const char* param, PyObject* value) {
    const std::optional<double> number = real_value(value);
    if (PyErr_Occurred()) return err::propagate();
    if (!number || !std::isfinite(*number) || !(*number >= 0.0))
        return err::parameter_rule(param, "a finite number of at least 0", value);
    return number;
}

std::optional<double> alpha_parameter(PyObject* value) {
    const std::optional<double> number = real_value(value);
    if (PyErr_Occurred()) return err::propagate();
    if (!number || !(*number > 0.0 && *number <= 1.0))
        return err::parameter_rule("alpha", "a finite number in (0, 1]", value);
    return number;
}

std::optional<BarsAndFactor> bars_and_factor(const char* cls, PyObject* const* bound, const char* bars_param,
                                             const char* factor_param, BarsAndFactor values) {
    if (bound[0] != nullptr) {
        const auto bars = count_parameter(cls, bars_param, bound[0], INT_MAX);
        if (!bars) return err::propagate();
        values.bars = *bars;
    }
    if (bound[1] != nullptr) {
        const auto factor = width_parameter(factor_param, bound[1]);
        if (!factor) return err::propagate();
        values.factor = *factor;
    }
    return values;
}

StateWriter& StateWriter::put(PyObject* item) {
    if (!tuple_ || item == nullptr) {
        Py_XDECREF(item);
        failed_ = true;
        return *this;
    }
    PyTuple_SET_ITEM(tuple_.get(), next_++, item);
    return *this;
}

StateReader::StateReader(const char* cls, PyObject* state, Py_ssize_t count)
    : cls_(cls), state_(state), ok_(PyTuple_Check(state) && PyTuple_GET_SIZE(state) == count) {
    if (!ok_) err::state_shape(cls, count, state);
}

bool StateReader::read(double& out) {
    PyObject* item = PyTuple_GET_ITEM(state_, next_++);
    if (!PyFloat_Check(item)) return err::state_value(cls_, "a value must be a float");
    out = PyFloat_AS_DOUBLE(item);
    return true;
}

bool StateReader::read(float& out) {
    double value;
    if (!read(value)) return false;
    out = static_cast<float>(value);
    return true;
}

bool StateReader::read_count(long long& out, long long minimum, long long maximum) {
    PyObject* item = PyTuple_GET_ITEM(state_, next_++);
    if (!PyLong_Check(item)) return err::state_value(cls_, "a count must be an int");
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (out == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || out < minimum || out > maximum) return err::state_value(cls_, "a count is out of range");
    return true;
}

Owned new_array(Py_ssize_t n, int type_number) {
    npy_intp shape[1] = {n};
    return Owned::steal(PyArray_SimpleNew(1, shape, type_number));
}

bool bind_tuple_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const Py_ssize_t nkwargs = kwargs == nullptr ? 0 : PyDict_GET_SIZE(kwargs);
    std::vector<PyObject*> stack(static_cast<std::size_t>(nargs + nkwargs));
    for (Py_ssize_t k = 0; k < nargs; ++k) stack[k] = PyTuple_GET_ITEM(args, k);
    Owned kwnames;
    if (nkwargs > 0) {
        kwnames = Owned::steal(PyTuple_New(nkwargs));
        if (!kwnames) return false;
        Py_ssize_t position = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
            stack[nargs + k++] = value;
        }
    }
    return bind_arguments(signature, stack.data(), nargs, kwnames.get(), out);
}

bool intern_all(const char* const* texts, PyObject** out, int count) {
    for (int k = 0; k < count; ++k) {
        if (out[k] != nullptr) continue;
        out[k] = PyUnicode_InternFromString(texts[k]);
        if (out[k] == nullptr) return false;
    }
    return true;
}

}  // namespace ornivex::stream
