// The QuorvelSwing type: a static, subclassable class whose instances carry
// nothing but a pointer to the shared operation table.  No instance dict, no
// weak-reference slot and no cyclic GC: an instance can reference nothing.
#include <Python.h>

#include "ornivex/common/pyref.hpp"
#include "ornivex/common/runtime.hpp"
#include "ornivex/swing_v4/import_steps.hpp"
#include "ornivex/swing_v4/operations.hpp"
#include "ornivex/swing_v4/names.hpp"

namespace ornivex::swing {

OperationTable operation_table;

namespace {

// Arguments are ignored: the class has no state to initialise.
PyObject* quorvel_swing_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* object;
    if (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) {
        // object.__new__ refuses abstract classes with its usual message.
        Owned no_arguments = Owned::steal(PyTuple_New(0));
        if (!no_arguments) return nullptr;
        object = PyBaseObject_Type.tp_new(type, no_arguments.get(), nullptr);
    } else {
        object = type->tp_alloc(type, 0);
    }
    if (object == nullptr) return nullptr;
    reinterpret_cast<QuorvelSwingObject*>(object)->operations = &operation_table;
    return object;
}

// A natively compiled subclass may add a finalizer while keeping this
// deallocator; it runs once, and an object it resurrects stays alive.
// Python subclasses never get here with a finalizer pending: their own
// deallocator runs it first.
void quorvel_swing_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    const bool finalized = PyType_IS_GC(type) && PyObject_GC_IsFinalized(self);
    if (type->tp_finalize != nullptr && type->tp_dealloc == quorvel_swing_dealloc && !finalized) {
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
    }
    type->tp_free(self);
}

template <class Entry>
PyCFunction as_cfunction(Entry entry) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

constexpr int fast_keywords = METH_FASTCALL | METH_KEYWORDS;

// Present when the type is made ready; the pickling set-up then renames them.
PyMethodDef pickling_methods[] = {
    {"__reduce_velmar__", as_cfunction(reduce_entry), fast_keywords, nullptr},
    {"__setstate_velmar__", as_cfunction(setstate_entry), fast_keywords, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The docs carry only the signatures (for inspect.signature); __doc__ stays None.
PyMethodDef public_methods[] = {
    {"range_size", as_cfunction(range_size_entry), fast_keywords,
     "range_size($self, arr, range_period, range_multiplier)\n--\n\n"},
    {"range_filter", as_cfunction(range_filter_entry), fast_keywords, "range_filter($self, x, r)\n--\n\n"},
    {"quorvel_swing", as_cfunction(quorvel_swing_entry), fast_keywords,
     "quorvel_swing($self, arr, swing_period, swing_multiplier)\n--\n\n"},
};

PyObject* type_object() { return reinterpret_cast<PyObject*>(&quorvel_swing_type); }

// Stores `value` in the class dictionary and invalidates the attribute cache.
bool store_in_class(PyObject* name, PyObject* value) {
    if (PyDict_SetItem(quorvel_swing_type.tp_dict, name, value) < 0) return false;
    PyType_Modified(&quorvel_swing_type);
    return true;
}

bool install_method(PyObject* name, PyMethodDef& method) {
    Owned descriptor = Owned::steal(PyDescr_NewMethod(&quorvel_swing_type, &method));
    return descriptor && store_in_class(name, descriptor.get());
}

}  // namespace

PyTypeObject quorvel_swing_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "ornivex.swing_v4.QuorvelSwing";
    t.tp_basicsize = sizeof(QuorvelSwingObject);
    t.tp_dealloc = quorvel_swing_dealloc;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_methods = pickling_methods;
    t.tp_new = quorvel_swing_new;
    return t;
}();

bool create_class() {
    operation_table.ema = ema;
    operation_table.range_size = range_size;
    operation_table.nz = nz;
    operation_table.range_filter = range_filter;
    operation_table.quorvel_swing = quorvel_swing;
    if (PyType_Ready(&quorvel_swing_type) < 0) return false;

    Owned table = Owned::steal(PyCapsule_New(&operation_table, nullptr, nullptr));
    if (!table || !store_in_class(swing_names().__pyx_vtable__, table.get())) return false;
    if (PyDict_SetItem(runtime().dict, swing_names().QuorvelSwing, type_object()) < 0) return false;
    return setup_pickling(&quorvel_swing_type);
}

bool install_methods() {
    const SwingNames& n = swing_names();
    return install_method(n.range_size, public_methods[0]) && install_method(n.range_filter, public_methods[1]) &&
           install_method(n.quorvel_swing, public_methods[2]) &&
           install_method(n.__reduce_velmar__, pickling_methods[0]) &&
           install_method(n.__setstate_velmar__, pickling_methods[1]);
}

}  // namespace ornivex::swing
