// Placeholder until the tema3 body lands.
#include "ornivex/trend_v4/functions.hpp"

namespace ornivex::trend {

PyObject* tema3_entry(PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "tema3");
    return nullptr;
}

}  // namespace ornivex::trend
