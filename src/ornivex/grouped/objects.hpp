// A column of Python objects (a NumPy object array, as pandas keeps text
// read from a file) numbered by the strings it holds, with strings.hpp's
// tables: the codes are those an Arrow column of the same strings gets.
//
// A row holds a str (exactly str: a subclass may compare otherwise), or a
// missing value: None, a float NaN, or one of the caller's own markers (such
// as pandas.NA), compared by identity.  Anything else stops the numbering,
// and the caller numbers the column its own slower way.
//
// A str's characters are read where the object keeps them (1, 2 or 4 bytes
// each), never copied or encoded; a text file's reader gives every row of a
// symbol the same object, so each row first looks for its object itself in
// a small table of objects already numbered, and reads the string only when
// not found there.
//
// The interpreter lock stays held while the threads read: no Python code
// runs meanwhile, so no other thread can put another object into the array
// and free the one being read.  The threads only read the objects (their
// type, size and characters), never change a reference count or call Python.
#pragma once

#include <Python.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <memory>

#include "ornivex/common/strided_view.hpp"
#include "ornivex/grouped/strings.hpp"

namespace ornivex::grouped {

struct ObjectColumn {
    StridedView<PyObject* const> objects;
    PyObject* const* markers;  // the caller's missing values, besides None and NaN
    index_t marker_count;

    index_t size() const noexcept { return objects.size; }

    bool missing(PyObject* obj) const noexcept {
        if (obj == Py_None || (PyFloat_CheckExact(obj) && std::isnan(PyFloat_AS_DOUBLE(obj)))) return true;
        for (index_t k = 0; k < marker_count; ++k)
            if (obj == markers[k]) return true;
        return false;
    }

    // A str's characters; false for any other object.
    static bool read(PyObject* obj, Text& text) noexcept {
        if (!PyUnicode_CheckExact(obj)) return false;
#if PY_VERSION_HEX < 0x030C0000
        if (!PyUnicode_IS_READY(obj)) return false;  // made by the old API: readying it allocates
#endif
        const int width = PyUnicode_KIND(obj);
        text = {static_cast<const unsigned char*>(PyUnicode_DATA(obj)), PyUnicode_GET_LENGTH(obj) * width, width};
        return true;
    }

    // Numbers rows begin .. end - 1 (strings.hpp's number_rows): returns the
    // first row that holds neither a str nor a missing value, or -1.
    index_t number_rows(index_t begin, index_t end, StringTable& table, std::int64_t* codes) const {
        // Objects already numbered, at a slot given by their address; an
        // address stays that object's for the call, since the array keeps
        // every object it holds alive.
        struct Seen {
            PyObject* obj = nullptr;
            index_t code = 0;
        };
        constexpr std::size_t slots = 4096;
        const auto seen = std::make_unique<std::array<Seen, slots>>();
        for (index_t i = begin; i < end; ++i) {
            PyObject* const obj = objects[i];
            if (obj == nullptr) {  // NumPy's own None, in an array not yet filled
                codes[i] = -1;
                continue;
            }
            const auto address = reinterpret_cast<std::uintptr_t>(obj);
            Seen& slot = (*seen)[(address >> 4 ^ address >> 16) % slots];
            if (slot.obj == obj) {
                codes[i] = slot.code;
                continue;
            }
            Text text;
            if (read(obj, text)) {
                slot = {obj, table.code_of(hashed(text), i)};
                codes[i] = slot.code;
            } else if (missing(obj)) {
                codes[i] = -1;
            } else {
                return i;
            }
        }
        return -1;
    }
};

}  // namespace ornivex::grouped
