// The override check of the public operations.
//
// Only instances whose type can carry an override pay for it: a type with an
// instance dict (an attribute may shadow the method), a heap type (every
// Python subclass) or an abstract type.  For those the method is looked up
// on every call, so rebinding it later is honoured; nothing is cached.
#include <Python.h>

#include "ornivex/common/errors.hpp"
#include "ornivex/common/runtime.hpp"
#include "ornivex/swing_v4/operations.hpp"

namespace ornivex::swing {

namespace {

bool can_carry_override(PyTypeObject* type) {
    unsigned long flags = Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT;
#ifdef Py_TPFLAGS_MANAGED_DICT
    flags |= Py_TPFLAGS_MANAGED_DICT;
#endif
    return type->tp_dictoffset != 0 || (type->tp_flags & flags) != 0;
}

// The class's own method object: a native function (or a bound method
// wrapping one) whose entry point is this operation's Python-callable entry.
bool is_own_method(PyObject* found, MethodEntry own_entry) {
    PyObject* function = PyMethod_Check(found) ? PyMethod_GET_FUNCTION(found) : found;
    if (!PyCFunction_Check(function)) return false;
    return reinterpret_cast<void (*)()>(PyCFunction_GET_FUNCTION(function)) ==
           reinterpret_cast<void (*)()>(own_entry);
}

}  // namespace

bool dispatch_override(QuorvelSwingObject* self, PyObject* name, MethodEntry own_entry, PyObject* const* args,
                       Py_ssize_t nargs, Owned& result) {
    PyObject* object = reinterpret_cast<PyObject*>(self);
    if (!can_carry_override(Py_TYPE(object))) return true;
    Owned found = Owned::steal(PyObject_GetAttr(object, name));
    if (!found) return false;
    if (is_own_method(found.get(), own_entry)) return true;

    Owned returned = Owned::steal(PyObject_Vectorcall(found.get(), args, static_cast<size_t>(nargs), nullptr));
    if (!returned) return false;
    PyTypeObject* ndarray = runtime().ndarray;
    if (returned.get() != Py_None && !PyObject_TypeCheck(returned.get(), ndarray)) {
        return err::cannot_convert(returned.get(), ndarray);
    }
    result = std::move(returned);
    return true;
}

bool dispatch_override(QuorvelSwingObject* self, PyObject* name, MethodEntry own_entry, PyObject* arr,
                       int32_t period, double multiplier, Owned& result) {
    if (!can_carry_override(Py_TYPE(reinterpret_cast<PyObject*>(self)))) return true;
    Owned period_object = Owned::steal(PyLong_FromLong(period));
    if (!period_object) return false;
    Owned multiplier_object = Owned::steal(PyFloat_FromDouble(multiplier));
    if (!multiplier_object) return false;
    PyObject* args[] = {arr, period_object.get(), multiplier_object.get()};
    return dispatch_override(self, name, own_entry, args, 3, result);
}

}  // namespace ornivex::swing
