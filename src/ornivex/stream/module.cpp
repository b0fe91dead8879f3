// Module definition and import of ornivex.stream.
#include <Python.h>

#include "ornivex/common/module.hpp"
#include "ornivex/common/runtime.hpp"
#include "ornivex/stream/classes.hpp"

namespace ornivex::stream {

namespace {

constexpr ModuleIdentity identity{"stream", "ornivex.stream", "ornivex/stream/module.cpp"};

PyObject* create(PyObject* spec, PyModuleDef*) { return create_module(spec, identity); }

bool define_classes() {
    PyObject* dict = runtime().dict;
    return define_averages(dict) && define_atr(dict) && define_halftrend(dict) && define_swing(dict);
}

int exec(PyObject* module) { return run_exec(module, identity, {check_imported_types, bind_numpy, define_classes}); }

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "stream", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace ornivex::stream

PyMODINIT_FUNC PyInit_stream() { return PyModuleDef_Init(&ornivex::stream::definition); }
