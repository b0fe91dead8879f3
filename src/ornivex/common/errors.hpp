// Every exception text the package raises, one small function per message.
//
// Each function sets the Python exception and returns Raised, which converts
// to the failure value of the caller (nullptr, false, an empty Owned or an
// empty optional), so call sites read `return err::wrong_type(...);`.
#pragma once

#include <Python.h>

#include <concepts>
#include <cstddef>
#include <exception>
#include <optional>

#include "ornivex/common/pyref.hpp"

namespace ornivex {

struct Raised {
    template <class T>
    operator T*() const noexcept {
        return nullptr;
    }
    // Exactly bool: an implicit bool would also build std::optional<double>(false).
    template <class B>
        requires std::same_as<B, bool>
    operator B() const noexcept {
        return false;
    }
    operator Owned() const noexcept { return Owned(); }
    template <class T>
    operator std::optional<T>() const noexcept {
        return std::nullopt;
    }
};

namespace err {

// An exception is already set (by the C API, NumPy or user code): pass it on.
inline Raised propagate() noexcept { return {}; }

// A C++ exception that reached the call boundary, as the Python exception
// that says the same: std::bad_alloc and std::length_error (a size no
// container can hold) MemoryError, std::overflow_error OverflowError, any
// other std::exception RuntimeError with its text, anything else SystemError.
Raised cpp_exception(std::exception_ptr error) noexcept;

// --- argument binding -------------------------------------------------------
// "takes exactly/at least/at most N positional argument(s) (G given)"
Raised positional_count(const char* func, const char* qualifier, Py_ssize_t number, Py_ssize_t given);
Raised unexpected_keyword(const char* func, PyObject* keyword);
Raised multiple_values(const char* func, PyObject* keyword);
Raised keywords_must_be_strings(const char* func);

// --- number conversion ------------------------------------------------------
Raised integer_required();
Raised int_returned_non_int(PyObject* result);
// Returns false when the warning was turned into an error.
bool warn_int_returned_int_subclass(PyObject* result);
Raised int_overflow();
Raised long_overflow();

// --- arrays -----------------------------------------------------------------
Raised argument_type(const char* param, PyTypeObject* expected, PyObject* got);
Raised argument_none(const char* param);
Raised cannot_convert(PyObject* value, PyTypeObject* target);
Raised wrong_ndim(int expected, int got);
Raised big_endian_buffer();
Raised dtype_mismatch(const char* quote, const char* expected, const char* got);
Raised field_offset(Py_ssize_t got, Py_ssize_t expected);
Raised format_not_understood(char c);
Raised format_unexpected_char(char c);
Raised format_expected_brace_after_t();
Raised format_repeated_arrays();
Raised format_dimension_count(int expected, int got);
Raised format_expected_comma(char c);
Raised format_unexpected_end();
Raised long_double_no_standard_size();
Raised item_size(Py_ssize_t got, const char* name, Py_ssize_t expected);

// Lengths that must agree: "<what> has N elements but M are needed ..."
Raised unequal_lengths(const char* func, const char* const names[], const Py_ssize_t lengths[], int count);
Raised result_too_short(const char* func, const char* what, PyObject* got, Py_ssize_t needed);
Raised range_too_short(Py_ssize_t r_length, Py_ssize_t x_length);
// NumPy's own text for a maximum over an empty array.
Raised zero_size_maximum();

// --- names and modules ------------------------------------------------------
Raised name_not_defined(PyObject* name);
Raised interpreter_change();
Raised reinitialisation(const char* short_name);
// Replaces the pending exception with the ImportError, which keeps it as its cause.
Raised numpy_import_failed();
bool warn_python_version(const char* module_name);
Raised not_a_type(const char* module, const char* name);
Raised size_changed(const char* module, const char* name, Py_ssize_t expected, Py_ssize_t got);
bool warn_size_changed(const char* module, const char* name, Py_ssize_t expected, Py_ssize_t got);
Raised init_failed(const char* module_qualname);
// RecursionError, as the interpreter words it, when the C stack runs short.
Raised recursion_depth();

// --- pickling ---------------------------------------------------------------
Raised expected_tuple(PyObject* got);
Raised incompatible_checksum(PyObject* checksum);
Raised unable_to_init_pickling(PyTypeObject* type);
Raised cannot_import_name(PyObject* name);

// --- stream objects ---------------------------------------------------------
// "<param> must be <rule>, got <value>": the parameter rules every route shares
Raised parameter_rule(const char* param, const char* rule, PyObject* got);
// "<cls>() <param> must be at least <minimum>, got <value>"
Raised parameter_too_small(const char* cls, const char* param, long long minimum, PyObject* got);
// "<cls>() <param> must be at most <maximum>, got <value>"
Raised parameter_too_large(const char* cls, const char* param, long long maximum, PyObject* got);
// "<cls> state must be a tuple of <count> items, got <type>" / "... got <n> items"
Raised state_shape(const char* cls, Py_ssize_t count, PyObject* got);
// "<cls> state: <what>"
Raised state_value(const char* cls, const char* what);
// RuntimeError: a call on a stream object from inside another call on it, on the same thread
Raised reentered(const char* cls);

// --- grouped rows -----------------------------------------------------------
// "codes[<row>] is <code>: a group number is -1 (left out) or 0 .. <count - 1>"
Raised group_code(Py_ssize_t row, long long code, Py_ssize_t count);

// --- string columns (Arrow layout) ------------------------------------------
// "offsets[<k>] is <value>: string offsets never fall and stay within the <n> bytes of data"
Raised string_offset(Py_ssize_t index, long long value, Py_ssize_t data_size);
// "offsets is empty: a column of n strings has n + 1 offsets"
Raised no_offsets();
// "<param> must be contiguous"
Raised not_contiguous(const char* param);
// "validity has <n> bytes, too few for bits <first> .. <first + rows - 1>"
Raised validity_too_short(Py_ssize_t bytes, Py_ssize_t first, Py_ssize_t rows);
// "views has <n> bytes: a string's view has 16"
Raised view_bytes(Py_ssize_t bytes);
// "views[<row>] is no string of the <count> data buffers"
Raised string_view(Py_ssize_t row, Py_ssize_t buffer_count);
// "<param> must be a one-dimensional array of objects"
Raised not_object_array(const char* param);

// Adds a traceback entry named `qualname` (e.g. "ornivex.trend_v4.ewma") to
// the exception being raised.  Keeps the current exception if the entry
// cannot be made.
void add_traceback(const char* qualname);

// Drops the code objects of the traceback entries (a failed import forgets
// what it made in its interpreter).
void forget_traceback_codes() noexcept;

}  // namespace err
}  // namespace ornivex
