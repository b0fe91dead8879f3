#include "ornivex/common/args.hpp"

#include "ornivex/common/errors.hpp"

namespace ornivex {

namespace {

bool same_name(PyObject* a, PyObject* b) {
    return a == b || PyUnicode_Compare(a, b) == 0;
}

// Index of the parameter named `key` in [first, last), or -1.  Identity is
// tried over the whole range before text, which is what interning buys.
int find_parameter(const Signature& sig, PyObject* key, int first, int last) {
    for (int i = first; i < last; ++i) {
        if (sig.names[i] == key) return i;
    }
    for (int i = first; i < last; ++i) {
        if (same_name(sig.names[i], key)) return i;
    }
    return -1;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyObject** out) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const bool no_defaults = sig.required == sig.count;
    if (nargs > sig.count) {
        return err::positional_count(sig.func, no_defaults ? "exactly" : "at most", sig.count, nargs);
    }
    const int filled_by_position = static_cast<int>(nargs);
    for (int i = 0; i < sig.count; ++i) out[i] = i < filled_by_position ? args[i] : nullptr;

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) return err::keywords_must_be_strings(sig.func);
        const int index = find_parameter(sig, key, filled_by_position, sig.count);
        if (index >= 0 && out[index] == nullptr) {
            out[index] = args[nargs + k];
            continue;
        }
        if (index >= 0 || find_parameter(sig, key, 0, filled_by_position) >= 0) {
            return err::multiple_values(sig.func, key);
        }
        return err::unexpected_keyword(sig.func, key);
    }

    for (int i = 0; i < sig.required; ++i) {
        if (out[i] == nullptr) {
            return no_defaults ? err::positional_count(sig.func, "exactly", sig.count, i)
                               : err::positional_count(sig.func, "at least", sig.required, i);
        }
    }
    return true;
}

}  // namespace ornivex
