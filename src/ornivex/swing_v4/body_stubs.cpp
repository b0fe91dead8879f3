// Temporary stand-ins for the operation bodies, so the module links before
// the real bodies are committed.  They are weak: a real body in the tree
// replaces its stand-in at link time.  This file goes once all are in.
#include <Python.h>

#include "ornivex/common/errors.hpp"
#include "ornivex/swing_v4/operations.hpp"

namespace ornivex::swing {

namespace {

PyObject* not_yet(const char* qualname) {
    PyErr_SetString(PyExc_NotImplementedError, "not implemented yet");
    err::add_traceback(qualname);
    return nullptr;
}

}  // namespace

[[gnu::weak]] PyObject* ema(QuorvelSwingObject*, PyObject*, int32_t) {
    return not_yet("ornivex.swing_v4.QuorvelSwing.ema");
}

[[gnu::weak]] PyObject* range_size(QuorvelSwingObject*, PyObject*, int32_t, double, bool) {
    return not_yet("ornivex.swing_v4.QuorvelSwing.range_size");
}

[[gnu::weak]] double nz(QuorvelSwingObject*, double x) { return x != x ? 0.0 : x; }

[[gnu::weak]] PyObject* range_filter(QuorvelSwingObject*, PyObject*, PyObject*, bool) {
    return not_yet("ornivex.swing_v4.QuorvelSwing.range_filter");
}

[[gnu::weak]] PyObject* quorvel_swing(QuorvelSwingObject*, PyObject*, int32_t, double, bool) {
    return not_yet("ornivex.swing_v4.QuorvelSwing.quorvel_swing");
}

}  // namespace ornivex::swing
