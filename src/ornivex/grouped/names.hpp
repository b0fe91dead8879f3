// The names ornivex._grouped interns beside the shared ones: its parameters.
#pragma once

#include <Python.h>

#include "ornivex/common/args.hpp"
#include "ornivex/common/names.hpp"
#include "ornivex/common/pyref.hpp"

#define ORNIVEX_GROUPED_NAMES(X)                                                                      \
    X(high) X(low) X(close) X(tr) X(codes) X(groups) X(times) X(amplitude) X(channel_deviation)      \
    X(atr_length) X(period) X(multiplier) X(length) X(threads) X(offsets) X(data) X(validity) X(validity_offset) X(views) X(buffers) \
    X(buy) X(sell) X(objects) X(missing)

namespace ornivex::grouped {

ORNIVEX_NAME_TABLE(GroupedNames, ORNIVEX_GROUPED_NAMES)

GroupedNames& grouped_names();

// The functions (entries.cpp) and their signatures.
struct Entry {
    const char* name;
    Owned (*body)(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
    const Signature& (*signature)();
};
extern const Entry entries[10];

}  // namespace ornivex::grouped
