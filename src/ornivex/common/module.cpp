#include "ornivex/common/module.hpp"

#include <string>

#include "ornivex/common/errors.hpp"
#include "ornivex/common/instruction_sets.hpp"
#include "ornivex/common/numpy_api.hpp"
#include "ornivex/common/pyref.hpp"

#include <numpy/ufuncobject.h>

namespace ornivex {

namespace {

// The first interpreter to import the module owns it for the life of the
// process.  Until one import succeeds, a failed one gives the claim back
// (forget_runtime), so a sub-interpreter whose import failed does not lock
// out the others.
bool claim_interpreter() {
    const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return false;
    int64_t owner = -1;
    if (runtime().interpreter_id.compare_exchange_strong(owner, current) || owner == current) return true;
    return err::interpreter_change();
}

void add_init_traceback() {
    err::add_traceback((std::string("init ") + runtime().identity.qualname).c_str());
}

// Copies spec.<from> into the namespace as <to>; AttributeError means absent.
bool copy_spec_attribute(PyObject* spec, PyObject* dict, PyObject* from, PyObject* to, bool allow_none) {
    Owned value = Owned::steal(PyObject_GetAttr(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (!allow_none && value.get() == Py_None) return true;
    return PyDict_SetItem(dict, to, value.get()) == 0;
}

// A new module named after its ModuleSpec, with loader, origin, parent and search
// locations copied into its namespace.
Owned new_module(PyObject* spec) {
    if (!runtime().names.intern()) return Owned();
    const Names& n = runtime().names;
    Owned name = Owned::steal(PyObject_GetAttr(spec, n.name));
    if (!name) return Owned();
    Owned module = Owned::steal(PyModule_NewObject(name.get()));
    if (!module) return Owned();
    PyObject* dict = PyModule_GetDict(module.get());
    if (!copy_spec_attribute(spec, dict, n.loader, n.__loader__, true) ||
        !copy_spec_attribute(spec, dict, n.origin, n.__file__, true) ||
        !copy_spec_attribute(spec, dict, n.parent, n.__package__, true) ||
        !copy_spec_attribute(spec, dict, n.submodule_search_locations, n.__path__, false)) {
        return Owned();
    }
    return module;
}

Owned fetch_builtin(PyObject* name) {
    Owned found = Owned::steal(PyObject_GetAttr(runtime().builtins, name));
    if (found) return found;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return err::name_not_defined(name);
    }
    return err::propagate();
}

enum class LargerSize { ignore, warn };

// A type object from `module_name`, checked against the size this module was
// compiled for.  A smaller instance size is always an error.
PyTypeObject* import_type(PyObject* module, const char* module_name, const char* type_name, size_t expected,
                          LargerSize larger) {
    Owned found = Owned::steal(PyObject_GetAttrString(module, type_name));
    if (!found) return nullptr;
    if (!PyType_Check(found.get())) return err::not_a_type(module_name, type_name);
    auto* type = reinterpret_cast<PyTypeObject*>(found.get());
    const Py_ssize_t basic = type->tp_basicsize;
    const Py_ssize_t item = type->tp_itemsize;
    const auto want = static_cast<Py_ssize_t>(expected);
    if (basic + item < want) return err::size_changed(module_name, type_name, want, basic + item);
    if (larger == LargerSize::warn && basic > want && !err::warn_size_changed(module_name, type_name, want, basic)) {
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(found.release());
}

}  // namespace

PyObject* create_module(PyObject* spec, const ModuleIdentity& identity) {
    if (!claim_interpreter()) return nullptr;
    Runtime& rt = runtime();
    rt.identity = identity;
    if (rt.module != nullptr) return Owned::incref(rt.module).release();
    Owned module = new_module(spec);
    if (!module && rt.module == nullptr) forget_runtime();  // no import of it has succeeded
    return module.release();
}

ExecStart begin_exec(PyObject* module, const ModuleIdentity& identity) {
    if (!claim_interpreter()) return ExecStart::refused;
    Runtime& rt = runtime();
    rt.identity = identity;
    if (rt.module != nullptr) {
        if (rt.module == module) return ExecStart::already_done;
        err::reinitialisation(identity.short_name);
        add_init_traceback();
        return ExecStart::refused;
    }
    rt.module = Owned::incref(module).release();
    rt.dict = PyModule_GetDict(module);
    if (!rt.names.intern() || (identity.own_names.intern && !identity.own_names.intern())) return ExecStart::failed;
    const Names& n = rt.names;

    if (rt.builtins == nullptr) {
        PyObject* builtins = PyImport_AddModule("builtins");  // borrowed from sys.modules
        if (builtins == nullptr) return ExecStart::failed;
        rt.builtins = Owned::incref(builtins).release();
    }
    if (PyDict_SetItem(rt.dict, n.__builtins__, rt.builtins) < 0) return ExecStart::failed;

    if (!err::warn_python_version(identity.qualname)) return ExecStart::failed;

    if (rt.float_half == nullptr) {
        rt.float_half = PyFloat_FromDouble(0.5);
        rt.int_0 = PyLong_FromLong(0);
        rt.int_1 = PyLong_FromLong(1);
        rt.int_3 = PyLong_FromLong(3);
        if (!rt.float_half || !rt.int_0 || !rt.int_1 || !rt.int_3) return ExecStart::failed;
    }

    if (!import_numpy_api()) return ExecStart::failed;
    use_instruction_set(detect_instruction_set());  // the CPU features, read once

    PyObject* modules = PyImport_GetModuleDict();
    PyObject* registered = PyDict_GetItemString(modules, identity.qualname);
    if (registered == nullptr && PyDict_SetItemString(modules, identity.qualname, module) < 0) {
        return ExecStart::failed;
    }

    Owned range = fetch_builtin(n.range);
    if (!range) return ExecStart::failed;
    Py_XSETREF(rt.range, range.release());
    return ExecStart::proceed;
}

bool check_imported_types() {
    Runtime& rt = runtime();
    Owned builtins = Owned::incref(rt.builtins);
    PyTypeObject* type =
        import_type(builtins.get(), "builtins", "type", sizeof(PyHeapTypeObject), LargerSize::warn);
    if (type == nullptr) return false;
    Py_DECREF(type);

    Owned numpy = Owned::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return false;
    struct Expected {
        const char* name;
        size_t size;
        LargerSize larger;
    };
    const Expected expected[] = {
        {"dtype", sizeof(PyArray_Descr), LargerSize::ignore},
        {"flatiter", sizeof(PyArrayIterObject), LargerSize::ignore},
        {"broadcast", sizeof(PyArrayMultiIterObject), LargerSize::ignore},
        {"ndarray", sizeof(PyArrayObject), LargerSize::ignore},
        {"generic", sizeof(PyObject), LargerSize::warn},
        {"number", sizeof(PyObject), LargerSize::warn},
        {"integer", sizeof(PyObject), LargerSize::warn},
        {"signedinteger", sizeof(PyObject), LargerSize::warn},
        {"unsignedinteger", sizeof(PyObject), LargerSize::warn},
        {"inexact", sizeof(PyObject), LargerSize::warn},
        {"floating", sizeof(PyObject), LargerSize::warn},
        {"complexfloating", sizeof(PyObject), LargerSize::warn},
        {"flexible", sizeof(PyObject), LargerSize::warn},
        {"character", sizeof(PyObject), LargerSize::warn},
        {"ufunc", sizeof(PyUFuncObject), LargerSize::ignore},
    };
    for (const Expected& e : expected) {
        PyTypeObject* found = import_type(numpy.get(), "numpy", e.name, e.size, e.larger);
        if (found == nullptr) return false;
        if (std::string(e.name) == "ndarray") {
            Py_XSETREF(rt.ndarray, found);
        } else {
            Py_DECREF(found);
        }
    }
    return true;
}

bool bind_numpy() {
    Runtime& rt = runtime();
    const Names& n = rt.names;
    // Reuse a loaded numpy unless it is still initialising; else import it.
    Owned numpy = Owned::steal(PyImport_GetModule(n.numpy));
    if (numpy) {
        Owned spec = Owned::steal(PyObject_GetAttr(numpy.get(), n.__spec__));
        int initialising = 0;
        if (spec) {
            Owned flag = Owned::steal(PyObject_GetAttr(spec.get(), n._initializing));
            if (flag) {
                initialising = PyObject_IsTrue(flag.get());
                if (initialising < 0) return false;
            }
        }
        PyErr_Clear();
        if (initialising) numpy.reset();
    } else if (PyErr_Occurred()) {
        return false;
    }
    if (!numpy) {
        numpy = Owned::steal(PyImport_Import(n.numpy));
        if (!numpy) return false;
    }
    if (PyDict_SetItem(rt.dict, n.np, numpy.get()) < 0) return false;
    Py_XSETREF(rt.numpy, numpy.release());
    return true;
}

bool bind_test_dict() {
    Owned test = Owned::steal(PyDict_New());
    return test && PyDict_SetItem(runtime().dict, runtime().names.__test__, test.get()) == 0;
}

int run_exec(PyObject* module, const ModuleIdentity& identity, std::initializer_list<bool (*)()> steps) {
    switch (begin_exec(module, identity)) {
        case ExecStart::already_done: return 0;
        case ExecStart::refused: return -1;  // the module imported before stays as it is
        case ExecStart::failed: return fail_exec();
        case ExecStart::proceed: break;
    }
    for (bool (*step)() : steps) {
        if (!step()) return fail_exec();
    }
    return 0;
}

int fail_exec() {
    if (PyErr_Occurred()) {
        add_init_traceback();
    } else {
        err::init_failed(runtime().identity.qualname);
    }
    forget_runtime();
    return -1;
}

}  // namespace ornivex
