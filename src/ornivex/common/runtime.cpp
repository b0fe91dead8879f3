#include "ornivex/common/runtime.hpp"

#include "ornivex/common/errors.hpp"

namespace ornivex {

Runtime& runtime() {
    static Runtime instance;
    return instance;
}

void forget_runtime() {
    Runtime& rt = runtime();
    rt.dict = nullptr;
    for (PyObject** held : {&rt.module, &rt.builtins, &rt.numpy, &rt.range, &rt.float_half,
                            &rt.int_0, &rt.int_1, &rt.int_3}) {
        Py_CLEAR(*held);
    }
    Py_CLEAR(rt.ndarray);
    rt.names.forget();
    if (rt.identity.own_names.forget) rt.identity.own_names.forget();
    err::forget_traceback_codes();
    rt.interpreter_id.store(-1);
}

namespace {

// Borrowed value of `name` in the module namespace, or nullptr (error set
// only if the look-up itself failed).
PyObject* module_entry(PyObject* name) {
    PyObject* dict = runtime().dict;
    return dict ? PyDict_GetItemWithError(dict, name) : nullptr;
}

}  // namespace

Owned lookup_global(PyObject* name) {
    if (PyObject* found = module_entry(name)) return Owned::incref(found);
    if (PyErr_Occurred()) return err::propagate();
    Owned found = Owned::steal(PyObject_GetAttr(runtime().builtins, name));
    if (found) return found;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return err::propagate();
    PyErr_Clear();
    return err::name_not_defined(name);
}

bool numpy_is_pristine() {
    PyObject* np = module_entry(runtime().names.np);
    if (np == nullptr) PyErr_Clear();
    return np != nullptr && np == runtime().numpy;
}

}  // namespace ornivex
