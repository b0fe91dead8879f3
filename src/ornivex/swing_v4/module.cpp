// Module definition and import of ornivex.swing_v4.
//
// Exec runs the shared first steps, then: the pickle checksums, the class
// (operation table, capsule, pickling set-up), the imported type checks,
// `np`, the method objects, the rebuild function and `__test__`.
#include <Python.h>

#include "ornivex/common/module.hpp"
#include "ornivex/common/runtime.hpp"
#include "ornivex/swing_v4/import_steps.hpp"
#include "ornivex/swing_v4/names.hpp"

namespace ornivex::swing {

namespace {

constexpr ModuleIdentity identity{"swing_v4", "ornivex.swing_v4", "ornivex/swing_v4/module.cpp",
                                  {[] { return swing_names().intern(); }, [] { swing_names().forget(); }}};

PyObject* create(PyObject* spec, PyModuleDef*) { return create_module(spec, identity); }

int exec(PyObject* module) {
    return run_exec(module, identity, {build_checksums, create_class, check_imported_types, bind_numpy, install_methods,
                                       bind_unpickle_function, bind_test_dict});
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "swing_v4",
    nullptr,  // no docstring
    0,        // no per-module state
    nullptr,  // no module-level methods: the rebuild function is bound by exec
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

SwingNames& swing_names() {
    static SwingNames names;
    return names;
}

}  // namespace ornivex::swing

PyMODINIT_FUNC PyInit_swing_v4() { return PyModuleDef_Init(&ornivex::swing::definition); }
