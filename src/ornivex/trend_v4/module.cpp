// Module definition and import of ornivex.trend_v4.
#include <Python.h>

#include "ornivex/common/function.hpp"
#include "ornivex/common/module.hpp"
#include "ornivex/common/runtime.hpp"
#include "ornivex/trend_v4/functions.hpp"
#include "ornivex/trend_v4/names.hpp"

namespace ornivex::trend {

namespace {

constexpr ModuleIdentity identity{"trend_v4", "ornivex.trend_v4", "ornivex/trend_v4/module.cpp",
                                  {[] { return trend_names().intern(); }, [] { trend_names().forget(); }}};

PyObject* create(PyObject* spec, PyModuleDef*) { return create_module(spec, identity); }

// Binds one function object in the namespace and remembers it.
bool define(const char* name, FastEntry entry, const Signature& signature, PyObject*& own,
            PyObject* defaults = nullptr) {
    Runtime& rt = runtime();
    Owned module_name = Owned::steal(PyUnicode_FromString(identity.qualname));
    if (!module_name) return false;
    Owned function = make_function(name, entry, signature, module_name.get(), defaults);
    if (!function || PyDict_SetItemString(rt.dict, name, function.get()) < 0) return false;
    Py_XSETREF(own, function.release());
    return true;
}

bool define_functions() {
    OwnFunctions& own = own_functions();
    if (!ready_function_type()) return false;
    if (!define("ewma", ewma_entry, ewma_signature(), own.ewma) ||
        !define("ema2", ema2_entry, ema2_signature(), own.ema2) ||
        !define("tema3", tema3_entry, tema3_signature(), own.tema3)) {
        return false;
    }
    Owned defaults = Owned::steal(Py_BuildValue("(id)", 2, 2.0));
    return defaults && define("halftrend", halftrend_entry, halftrend_signature(), own.halftrend, defaults.get());
}

int exec(PyObject* module) {
    return run_exec(module, identity, {check_imported_types, bind_numpy, define_functions, bind_test_dict});
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "trend_v4",
    nullptr,  // no docstring
    0,        // no per-module state
    nullptr,  // no methods: the functions are bound by exec
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

TrendNames& trend_names() {
    static TrendNames names;
    return names;
}

OwnFunctions& own_functions() {
    static OwnFunctions functions;
    return functions;
}

bool global_is(PyObject* name, PyObject* own) {
    PyObject* bound = PyDict_GetItemWithError(runtime().dict, name);
    if (bound == nullptr) PyErr_Clear();
    return bound != nullptr && bound == own;
}

}  // namespace ornivex::trend

PyMODINIT_FUNC PyInit_trend_v4() { return PyModuleDef_Init(&ornivex::trend::definition); }
