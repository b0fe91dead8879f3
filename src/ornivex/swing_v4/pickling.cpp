// Pickling of QuorvelSwing instances.
//
// An instance has no fields, so a pickle holds only the class, a layout
// checksum and, for a Python subclass with an instance dict, that dict:
//     plain:      (__pyx_unpickle_QuorvelSwing, (cls, 0xe3b0c44, ()))
//     with dict:  (__pyx_unpickle_QuorvelSwing, (cls, 0xe3b0c44, None), (__dict__,))
// The three checksums stand for "no fields" (the leading digits of the
// SHA-256, SHA-1 and MD5 of nothing); any of them is accepted when loading.
#include <Python.h>

#include "ornivex/common/args.hpp"
#include "ornivex/common/boundary.hpp"
#include "ornivex/common/convert.hpp"
#include "ornivex/common/errors.hpp"
#include "ornivex/common/function.hpp"
#include "ornivex/common/pyref.hpp"
#include "ornivex/common/runtime.hpp"
#include "ornivex/swing_v4/import_steps.hpp"
#include "ornivex/swing_v4/operations.hpp"
#include "ornivex/swing_v4/names.hpp"

namespace ornivex::swing {

namespace {

struct Checksums {
    PyObject* written = nullptr;   // 0xe3b0c44
    PyObject* accepted = nullptr;  // (0xe3b0c44, 0xda39a3e, 0xd41d8cd)
};

Checksums checksums;

// getattr(obj, name) where AttributeError means "absent": `found` stays
// empty and true is returned; any other error returns false.
bool optional_attribute(PyObject* obj, PyObject* name, Owned& found) {
    found = Owned::steal(PyObject_GetAttr(obj, name));
    if (found) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
}

// Exactly a tuple, or None.
bool check_state_type(PyObject* state) {
    if (state == Py_None || PyTuple_CheckExact(state)) return true;
    return err::expected_tuple(state);
}

// __pyx_unpickle_QuorvelSwing__set_state: if the state holds anything and
// the object has an instance dict, update that dict from the state's first
// item.  Later items are never read.
bool set_state(PyObject* object, PyObject* state) {
    const auto fail = [] {
        err::add_traceback("ornivex.swing_v4.__pyx_unpickle_QuorvelSwing__set_state");
        return false;
    };
    const Py_ssize_t length = PyObject_Length(state);  // None: "object of type 'NoneType' has no len()"
    if (length < 0) return fail();
    if (length == 0) return true;
    Owned has_dict;
    if (!optional_attribute(object, swing_names().__dict__, has_dict)) return fail();
    if (!has_dict) return true;
    Owned dict = Owned::steal(PyObject_GetAttr(object, swing_names().__dict__));
    if (!dict) return fail();
    Owned update = Owned::steal(PyObject_GetAttr(dict.get(), swing_names().update));
    if (!update) return fail();
    Owned first = Owned::steal(PySequence_GetItem(state, 0));
    if (!first) return fail();
    Owned done = Owned::steal(PyObject_CallOneArg(update.get(), first.get()));
    return done ? true : fail();
}

const Signature& unpickle_signature() {
    static PyObject* const params[] = {swing_names().__pyx_type, swing_names().__pyx_checksum, swing_names().__pyx_state};
    static const Signature signature{"__pyx_unpickle_QuorvelSwing", 3, 3, params};
    return signature;
}

Owned unpickle_entry(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    PyObject* bound[3];
    if (!bind_arguments(unpickle_signature(), args, nargsf, kwnames, bound)) return Owned();
    PyObject* type = bound[0];
    PyObject* state = bound[2];
    const auto checksum = to_long(bound[1]);
    if (!checksum) return Owned();

    Owned checksum_object = Owned::steal(PyLong_FromLong(*checksum));
    if (!checksum_object) return Owned();
    const int known = PySequence_Contains(checksums.accepted, checksum_object.get());
    if (known < 0) return Owned();
    if (!known) return err::incompatible_checksum(checksum_object.get());

    // QuorvelSwing.__new__(type): this class's allocator, never a subclass's.
    Owned allocate = Owned::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(&quorvel_swing_type), swing_names().__new__));
    if (!allocate) return Owned();
    Owned result = Owned::steal(PyObject_CallOneArg(allocate.get(), type));
    if (!result) return Owned();
    if (state != Py_None) {
        if (!check_state_type(state) || !set_state(result.get(), state)) return Owned();
    }
    return result;
}

// Whether a.<name> and b.<name> are the same object; false if a look-up fails.
bool same_attribute(PyObject* a, PyObject* b, PyObject* name, bool& same) {
    Owned from_a = Owned::steal(PyObject_GetAttr(a, name));
    if (!from_a) return false;
    Owned from_b = Owned::steal(PyObject_GetAttr(b, name));
    if (!from_b) return false;
    same = from_a.get() == from_b.get();
    return true;
}

// Whether `obj.__name__` is `name`; a missing or odd __name__ is just "no".
bool is_named(PyObject* obj, PyObject* name) {
    Owned own_name = Owned::steal(PyObject_GetAttr(obj, swing_names().__name__));
    if (!own_name) {
        PyErr_Clear();
        return false;
    }
    const int equal = PyObject_RichCompareBool(own_name.get(), name, Py_EQ);
    if (equal < 0) PyErr_Clear();
    return equal == 1;
}

// Stores `value` under `to` in the class dict and removes `from`.
bool rename_in_class(PyTypeObject* type, PyObject* from, PyObject* to, PyObject* value) {
    return PyDict_SetItem(type->tp_dict, to, value) == 0 && PyDict_DelItem(type->tp_dict, from) == 0;
}

bool run_pickling_setup(PyTypeObject* type) {
    const SwingNames& n = swing_names();
    PyObject* cls = reinterpret_cast<PyObject*>(type);
    PyObject* object = reinterpret_cast<PyObject*>(&PyBaseObject_Type);

    // A class with its own __getstate__ keeps its pickling as it is.
    Owned getstate;
    Owned object_getstate;
    if (!optional_attribute(cls, n.__getstate__, getstate) ||
        !optional_attribute(object, n.__getstate__, object_getstate)) {
        return false;
    }
    if (getstate && getstate.get() != object_getstate.get()) return true;

    bool same = false;
    if (!same_attribute(cls, object, n.__reduce_ex__, same)) return false;
    if (!same) return true;
    Owned reduce = Owned::steal(PyObject_GetAttr(cls, n.__reduce__));
    if (!reduce) return false;
    Owned object_reduce = Owned::steal(PyObject_GetAttr(object, n.__reduce__));
    if (!object_reduce) return false;
    const bool inherits_object_reduce = reduce.get() == object_reduce.get();
    if (!inherits_object_reduce && !is_named(reduce.get(), n.__reduce_velmar__)) return true;

    Owned reduce_velmar;
    if (!optional_attribute(cls, n.__reduce_velmar__, reduce_velmar)) return false;
    if (reduce_velmar) {
        if (!rename_in_class(type, n.__reduce_velmar__, n.__reduce__, reduce_velmar.get())) return false;
    } else if (inherits_object_reduce) {
        return false;
    }

    Owned setstate = Owned::steal(PyObject_GetAttr(cls, n.__setstate__));
    if (!setstate) PyErr_Clear();
    if (!setstate || is_named(setstate.get(), n.__setstate_velmar__)) {
        Owned setstate_velmar;
        if (!optional_attribute(cls, n.__setstate_velmar__, setstate_velmar)) return false;
        if (setstate_velmar) {
            if (!rename_in_class(type, n.__setstate_velmar__, n.__setstate__, setstate_velmar.get())) return false;
        } else if (!setstate) {
            return false;
        }
    }
    PyType_Modified(type);
    return true;
}

}  // namespace

bool build_checksums() {
    Owned md5 = Owned::steal(PyLong_FromLong(0xd41d8cd));
    Owned sha1 = Owned::steal(PyLong_FromLong(0xda39a3e));
    Owned sha256 = Owned::steal(PyLong_FromLong(0xe3b0c44));
    if (!md5 || !sha1 || !sha256) return false;
    Owned accepted = Owned::steal(PyTuple_Pack(3, sha256.get(), sha1.get(), md5.get()));
    if (!accepted) return false;
    Py_XSETREF(checksums.written, sha256.release());
    Py_XSETREF(checksums.accepted, accepted.release());
    return true;
}

bool setup_pickling(PyTypeObject* type) {
    if (!run_pickling_setup(type)) return err::unable_to_init_pickling(type);
    return true;
}

bool bind_unpickle_function() {
    if (!ready_function_type()) return false;
    Owned module_name = Owned::steal(PyUnicode_FromString(runtime().identity.qualname));
    if (!module_name) return false;
    Owned function = make_function("__pyx_unpickle_QuorvelSwing", unpickle_entry, unpickle_signature(), module_name.get());
    return function && PyDict_SetItem(runtime().dict, swing_names().__pyx_unpickle_QuorvelSwing, function.get()) == 0;
}

PyObject* reduce_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    // Behind the recursion guard: a __dict__ property may call back in.
    return call_entry("ornivex.swing_v4.QuorvelSwing.__reduce_velmar__", [&]() -> Owned {
        static const Signature signature{"__reduce_velmar__", 0, 0, nullptr};
        PyObject* unused[1];
        if (!bind_arguments(signature, args, nargsf, kwnames, unused)) return Owned();

        Owned state = Owned::steal(PyTuple_New(0));
        if (!state) return Owned();
        Owned dict;
        if (!optional_attribute(self, swing_names().__dict__, dict)) return Owned();
        const bool use_setstate = dict && dict.get() != Py_None;
        if (use_setstate) {
            // The instance dict itself, not a copy.
            state = Owned::steal(PyTuple_Pack(1, dict.get()));
            if (!state) return Owned();
        }
        Owned rebuild = lookup_global(swing_names().__pyx_unpickle_QuorvelSwing);
        if (!rebuild) return Owned();
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
        return Owned::steal(use_setstate ? Py_BuildValue("(O(OOO)O)", rebuild.get(), type, checksums.written,
                                                         Py_None, state.get())
                                         : Py_BuildValue("(O(OOO))", rebuild.get(), type, checksums.written,
                                                         state.get()));
    });
}

PyObject* setstate_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    // Behind the recursion guard: the instance dict's update may call back
    // in, as deep as the state nests.
    return call_entry("ornivex.swing_v4.QuorvelSwing.__setstate_velmar__", [&]() -> Owned {
        static PyObject* const params[] = {swing_names().__pyx_state};
        static const Signature signature{"__setstate_velmar__", 1, 1, params};
        PyObject* bound[1];
        if (!bind_arguments(signature, args, nargsf, kwnames, bound)) return Owned();
        if (!check_state_type(bound[0]) || !set_state(self, bound[0])) return Owned();
        return Owned::incref(Py_None);
    });
}

}  // namespace ornivex::swing
