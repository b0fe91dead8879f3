// Module definition and import of ornivex._grouped, the native side of the
// DataFrame adapters' long tables (ornivex.frame with by=).
#include <Python.h>

#include "ornivex/common/args.hpp"
#include "ornivex/common/function.hpp"
#include "ornivex/common/module.hpp"
#include "ornivex/common/pyref.hpp"
#include "ornivex/common/runtime.hpp"
#include "ornivex/grouped/names.hpp"

namespace ornivex::grouped {

namespace {

constexpr ModuleIdentity identity{"_grouped", "ornivex._grouped", "ornivex/grouped/module.cpp",
                                  {[] { return grouped_names().intern(); }, [] { grouped_names().forget(); }}};

PyObject* create(PyObject* spec, PyModuleDef*) { return create_module(spec, identity); }

bool define_functions() {
    if (!ready_function_type()) return false;
    Owned module_name = Owned::steal(PyUnicode_FromString(identity.qualname));
    if (!module_name) return false;
    for (const Entry& entry : entries) {
        Owned function = make_function(entry.name, entry.body, entry.signature(), module_name.get());
        if (!function || PyDict_SetItemString(runtime().dict, entry.name, function.get()) < 0) return false;
    }
    return true;
}

int exec(PyObject* module) { return run_exec(module, identity, {check_imported_types, bind_numpy, define_functions}); }

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_grouped", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

GroupedNames& grouped_names() {
    static GroupedNames names;
    return names;
}

}  // namespace ornivex::grouped

PyMODINIT_FUNC PyInit__grouped() { return PyModuleDef_Init(&ornivex::grouped::definition); }
