#define ORNIVEX_IMPORTS_NUMPY_API
#include "ornivex/common/numpy_api.hpp"

#include <cstring>

#include "ornivex/common/errors.hpp"
#include "ornivex/common/pyref.hpp"
#include "ornivex/common/runtime.hpp"

namespace ornivex {

bool import_numpy_api() {
    if (_import_array() < 0) return err::numpy_import_failed();
    return true;
}

bool current_promotion(Promotion& out) {
    if (PyArray_RUNTIME_VERSION >= NPY_2_0_API_VERSION) {
        out = Promotion::weak_float32;
        return true;
    }
    // NumPy 1.24 to 1.26 can switch to the weak rules at run time.
    Owned query = Owned::steal(PyObject_GetAttrString(runtime().numpy, "_get_promotion_state"));
    if (!query) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        out = Promotion::legacy_double;
        return true;
    }
    Owned state = Owned::steal(PyObject_CallNoArgs(query.get()));
    if (!state) return false;
    const char* text = PyUnicode_Check(state.get()) ? PyUnicode_AsUTF8(state.get()) : nullptr;
    if (text == nullptr && PyErr_Occurred()) return false;
    out = text != nullptr && std::strncmp(text, "weak", 4) == 0 ? Promotion::weak_float32 : Promotion::legacy_double;
    return true;
}

}  // namespace ornivex
