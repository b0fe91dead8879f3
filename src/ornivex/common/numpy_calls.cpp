#include "ornivex/common/numpy_calls.hpp"

#include "ornivex/common/runtime.hpp"

namespace ornivex {

Owned numpy_attribute(PyObject* attribute) {
    Owned np = lookup_global(names().np);
    if (!np) return Owned();
    return Owned::steal(PyObject_GetAttr(np.get(), attribute));
}

Owned numpy_new_array(PyObject* function, Py_ssize_t n, PyObject* dtype) {
    Owned callee = numpy_attribute(function);
    if (!callee) return Owned();
    Owned length = Owned::steal(PyLong_FromSsize_t(n));
    if (!length) return Owned();
    Owned element_type = numpy_attribute(dtype);
    if (!element_type) return Owned();
    static PyObject* dtype_keyword = nullptr;
    if (dtype_keyword == nullptr) {
        dtype_keyword = PyTuple_Pack(1, names().dtype);
        if (dtype_keyword == nullptr) return Owned();
    }
    PyObject* args[] = {length.get(), element_type.get()};
    return Owned::steal(PyObject_Vectorcall(callee.get(), args, 1, dtype_keyword));
}

Owned numpy_call(PyObject* function, PyObject* const* args, Py_ssize_t nargs) {
    Owned callee = numpy_attribute(function);
    if (!callee) return Owned();
    return Owned::steal(PyObject_Vectorcall(callee.get(), args, static_cast<size_t>(nargs), nullptr));
}

}  // namespace ornivex
