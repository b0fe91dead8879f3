#include "ornivex/common/function.hpp"

#include <cstddef>

#include "ornivex/common/boundary.hpp"

namespace ornivex {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FastEntry entry;
    const Signature* signature;
    PyObject* name;
    PyObject* module_name;
    PyObject* defaults;           // tuple or nullptr
    PyObject* traceback_name;     // "<module>.<name>"
    const char* traceback_utf8;   // its text, owned by traceback_name
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* f = as_function(self);
    return call_entry(f->traceback_utf8, [&] { return f->entry(args, static_cast<Py_ssize_t>(nargsf), kwnames); });
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_XDECREF(f->name);
    Py_XDECREF(f->module_name);
    Py_XDECREF(f->defaults);
    Py_XDECREF(f->traceback_name);
    Py_TYPE(self)->tp_free(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U.%U>", as_function(self)->module_name, as_function(self)->name);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_function(self)->module_name); }
PyObject* get_doc(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_defaults(PyObject* self, void*) {
    PyObject* defaults = as_function(self)->defaults;
    return Py_NewRef(defaults ? defaults : Py_None);
}

// inspect.Signature of the parameters, every one positional-or-keyword, the
// last len(__defaults__) with their defaults.
PyObject* get_signature(PyObject* self, void*) {
    const FunctionObject* f = as_function(self);
    Owned inspect = Owned::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Owned parameter = Owned::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    if (!parameter) return nullptr;
    Owned kind = Owned::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    const Signature& sig = *f->signature;
    Owned parameters = Owned::steal(PyList_New(sig.count));
    if (!kind || !parameters) return nullptr;
    const Py_ssize_t first_default = sig.count - (f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0);
    for (Py_ssize_t k = 0; k < sig.count; ++k) {
        Owned args = Owned::steal(PyTuple_Pack(2, sig.names[k], kind.get()));
        Owned keywords = Owned::steal(k < first_default ? PyDict_New()
                                                        : Py_BuildValue("{sO}", "default",
                                                                        PyTuple_GET_ITEM(f->defaults, k - first_default)));
        if (!args || !keywords) return nullptr;
        PyObject* made = PyObject_Call(parameter.get(), args.get(), keywords.get());
        if (made == nullptr) return nullptr;
        PyList_SET_ITEM(parameters.get(), k, made);
    }
    Owned signature_type = Owned::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!signature_type) return nullptr;
    return PyObject_CallOneArg(signature_type.get(), parameters.get());
}

// Pickled by reference: the module-level name is enough to find it again.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->name); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject function_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "ornivex_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_methods = function_methods;
    t.tp_getset = function_getset;
    return t;
}();

}  // namespace

bool ready_function_type() { return PyType_Ready(&function_type) == 0; }

Owned make_function(const char* name, FastEntry entry, const Signature& signature, PyObject* module_name,
                    PyObject* defaults) {
    Owned name_object = Owned::steal(PyUnicode_InternFromString(name));
    if (!name_object) return Owned();
    Owned traceback_name = Owned::steal(PyUnicode_FromFormat("%U.%U", module_name, name_object.get()));
    if (!traceback_name) return Owned();
    const char* traceback_utf8 = PyUnicode_AsUTF8(traceback_name.get());
    if (traceback_utf8 == nullptr) return Owned();
    FunctionObject* f = PyObject_New(FunctionObject, &function_type);
    if (f == nullptr) return Owned();
    f->vectorcall = function_vectorcall;
    f->entry = entry;
    f->signature = &signature;
    f->name = name_object.release();
    f->module_name = Py_NewRef(module_name);
    f->defaults = Py_XNewRef(defaults);
    f->traceback_name = traceback_name.release();
    f->traceback_utf8 = traceback_utf8;
    return Owned::steal(reinterpret_cast<PyObject*>(f));
}

}  // namespace ornivex
