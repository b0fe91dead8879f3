// Placeholder until the halftrend body lands.
#include "ornivex/trend_v4/functions.hpp"

namespace ornivex::trend {

PyObject* halftrend_entry(PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "halftrend");
    return nullptr;
}

}  // namespace ornivex::trend
