#include "ornivex/common/errors.hpp"

#include <frameobject.h>

#include <new>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "ornivex/common/runtime.hpp"

namespace ornivex::err {

namespace {

const char* plural(Py_ssize_t count) { return count == 1 ? "" : "s"; }

Raised value_error(const char* text) {
    PyErr_SetString(PyExc_ValueError, text);
    return {};
}

}  // namespace

Raised positional_count(const char* func, const char* qualifier, Py_ssize_t number, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func, qualifier,
                 number, plural(number), given);
    return {};
}

Raised unexpected_keyword(const char* func, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, keyword);
    return {};
}

Raised multiple_values(const char* func, PyObject* keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func, keyword);
    return {};
}

Raised keywords_must_be_strings(const char* func) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
    return {};
}

Raised integer_required() {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return {};
}

Raised int_returned_non_int(PyObject* result) {
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result)->tp_name);
    return {};
}

bool warn_int_returned_int_subclass(PyObject* result) {
    return PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                            "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                            "strict subclass of int is deprecated, and may be removed in a future version of "
                            "Python.",
                            Py_TYPE(result)->tp_name) == 0;
}

Raised int_overflow() {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
    return {};
}

Raised long_overflow() {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
    return {};
}

Raised argument_type(const char* param, PyTypeObject* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected->tp_name, Py_TYPE(got)->tp_name);
    return {};
}

Raised argument_none(const char* param) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' must not be None", param);
    return {};
}

Raised cannot_convert(PyObject* value, PyTypeObject* target) {
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(value)->tp_name, target->tp_name);
    return {};
}

Raised wrong_ndim(int expected, int got) {
    PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", expected, got);
    return {};
}

Raised big_endian_buffer() { return value_error("Big-endian buffer not supported on little-endian compiler"); }

Raised dtype_mismatch(const char* quote, const char* expected, const char* got) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", quote, expected, quote, got);
    return {};
}

Raised field_offset(Py_ssize_t got, Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch; next field is at offset %zd but %zd expected", got,
                 expected);
    return {};
}

Raised format_not_understood(char c) {
    PyErr_Format(PyExc_ValueError, "Does not understand character buffer dtype format string ('%c')", c);
    return {};
}

Raised format_unexpected_char(char c) {
    PyErr_Format(PyExc_ValueError, "Unexpected format string character: '%c'", c);
    return {};
}

Raised format_expected_brace_after_t() { return value_error("Buffer acquisition: Expected '{' after 'T'"); }

Raised format_repeated_arrays() { return value_error("Cannot handle repeated arrays in format string"); }

Raised format_dimension_count(int expected, int got) {
    PyErr_Format(PyExc_ValueError, "Expected %d dimension(s), got %d", expected, got);
    return {};
}

Raised format_expected_comma(char c) {
    PyErr_Format(PyExc_ValueError, "Expected a comma in format string, got '%c'", c);
    return {};
}

Raised format_unexpected_end() { return value_error("Unexpected end of format string, expected ')'"); }

Raised long_double_no_standard_size() {
    return value_error("Python does not define a standard format string size for long double ('g')..");
}

Raised item_size(Py_ssize_t got, const char* name, Py_ssize_t expected) {
    PyErr_Format(PyExc_ValueError, "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)", got,
                 got > 1 ? "s" : "", name, expected, expected > 1 ? "s" : "");
    return {};
}

Raised unequal_lengths(const char* func, const char* const names[], const Py_ssize_t lengths[], int count) {
    std::string text = std::string(func) + "() needs arrays of equal length, got";
    for (int k = 0; k < count; ++k) {
        text += k == 0 ? " " : ", ";
        text += names[k];
        text += " of length ";
        text += std::to_string(lengths[k]);
    }
    return value_error(text.c_str());
}

Raised result_too_short(const char* func, const char* what, PyObject* got, Py_ssize_t needed) {
    if (got == Py_None) {
        PyErr_Format(PyExc_ValueError, "%s() needs %s to return an array of at least %zd elements, got None", func,
                     what, needed);
    } else {
        PyErr_Format(PyExc_ValueError, "%s() needs %s to return an array of at least %zd elements, got %zd", func,
                     what, needed, PyObject_Length(got));
    }
    return {};
}

Raised range_too_short(Py_ssize_t r_length, Py_ssize_t x_length) {
    PyErr_Format(PyExc_ValueError,
                 "range_filter() needs r at least as long as x: r has %zd elements, x has %zd", r_length, x_length);
    return {};
}

Raised zero_size_maximum() {
    return value_error("zero-size array to reduction operation maximum which has no identity");
}

Raised name_not_defined(PyObject* name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Raised interpreter_change() {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return {};
}

Raised reinitialisation(const char* short_name) {
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.", short_name);
    return {};
}

Raised numpy_import_failed() {
    // What went wrong underneath (NumPy missing or broken, an ABI or version
    // mismatch) stays attached as the cause.
    PyObject *type, *cause, *traceback;
    PyErr_Fetch(&type, &cause, &traceback);
    PyErr_NormalizeException(&type, &cause, &traceback);
    if (cause != nullptr && traceback != nullptr) PyException_SetTraceback(cause, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
    if (cause == nullptr) return {};
    PyObject *error_type, *error, *error_traceback;
    PyErr_Fetch(&error_type, &error, &error_traceback);
    PyErr_NormalizeException(&error_type, &error, &error_traceback);
    if (error != nullptr) {
        PyException_SetContext(error, Py_NewRef(cause));
        PyException_SetCause(error, cause);  // steals the reference
    } else {
        Py_DECREF(cause);
    }
    PyErr_Restore(error_type, error, error_traceback);
    return {};
}

bool warn_python_version(const char* module_name) {
    const unsigned long runtime = Py_Version;
    const int run_major = static_cast<int>((runtime >> 24) & 0xff);
    const int run_minor = static_cast<int>((runtime >> 16) & 0xff);
    if (run_major == PY_MAJOR_VERSION && run_minor == PY_MINOR_VERSION) return true;
    char message[256];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", PY_MAJOR_VERSION,
                  PY_MINOR_VERSION, module_name, "does not match", run_major, run_minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

Raised not_a_type(const char* module, const char* name) {
    PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module, name);
    return {};
}

namespace {
constexpr const char size_changed_format[] =
    "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd from "
    "PyObject";
}

Raised size_changed(const char* module, const char* name, Py_ssize_t expected, Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, size_changed_format, module, name, expected, got);
    return {};
}

bool warn_size_changed(const char* module, const char* name, Py_ssize_t expected, Py_ssize_t got) {
    char message[512];
    PyOS_snprintf(message, sizeof message, size_changed_format, module, name, expected, got);
    return PyErr_WarnEx(nullptr, message, 0) == 0;
}

Raised init_failed(const char* module_qualname) {
    PyErr_Format(PyExc_ImportError, "init %s", module_qualname);
    return {};
}

Raised recursion_depth() {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while calling a Python object");
    return {};
}

Raised expected_tuple(PyObject* got) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "tuple", Py_TYPE(got)->tp_name);
    return {};
}

Raised incompatible_checksum(PyObject* checksum) {
    Owned pickle = Owned::steal(PyImport_ImportModule("pickle"));
    if (!pickle) return {};
    Owned name = Owned::steal(PyUnicode_FromString("PickleError"));
    if (!name) return {};
    Owned pickle_error = Owned::steal(PyObject_GetAttr(pickle.get(), name.get()));
    if (!pickle_error) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
        PyErr_Clear();
        // `from pickle import PickleError` also finds a loaded submodule.
        Owned full = Owned::steal(PyUnicode_FromString("pickle.PickleError"));
        if (!full) return {};
        pickle_error = Owned::steal(PyImport_GetModule(full.get()));
        if (!pickle_error) {
            if (!PyErr_Occurred()) cannot_import_name(name.get());
            return {};
        }
    }
    Owned format = Owned::steal(
        PyUnicode_FromString("Incompatible checksums (0x%x vs (0xe3b0c44, 0xda39a3e, 0xd41d8cd) = ())"));
    if (!format) return {};
    Owned message = Owned::steal(PyUnicode_Format(format.get(), checksum));
    if (!message) return {};
    PyErr_SetObject(pickle_error.get(), message.get());
    return {};
}

Raised unable_to_init_pickling(PyTypeObject* type) {
    if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", type->tp_name);
    }
    return {};
}

Raised cannot_import_name(PyObject* name) {
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return {};
}

Raised parameter_rule(const char* param, const char* rule, PyObject* got) {
    PyErr_Format(PyExc_ValueError, "%s must be %s, got %R", param, rule, got);
    return {};
}

Raised parameter_too_small(const char* cls, const char* param, long long minimum, PyObject* got) {
    PyErr_Format(PyExc_ValueError, "%s() %s must be at least %lld, got %R", cls, param, minimum, got);
    return {};
}

Raised parameter_too_large(const char* cls, const char* param, long long maximum, PyObject* got) {
    PyErr_Format(PyExc_ValueError, "%s() %s must be at most %lld, got %R", cls, param, maximum, got);
    return {};
}

Raised state_shape(const char* cls, Py_ssize_t count, PyObject* got) {
    if (PyTuple_Check(got)) {
        PyErr_Format(PyExc_ValueError, "%s state must be a tuple of %zd items, got %zd items", cls, count,
                     PyTuple_GET_SIZE(got));
    } else {
        PyErr_Format(PyExc_TypeError, "%s state must be a tuple of %zd items, got %.200s", cls, count,
                     Py_TYPE(got)->tp_name);
    }
    return {};
}

Raised state_value(const char* cls, const char* what) {
    PyErr_Format(PyExc_ValueError, "%s state: %s", cls, what);
    return {};
}

Raised group_code(Py_ssize_t row, long long code, Py_ssize_t count) {
    PyErr_Format(PyExc_ValueError, "codes[%zd] is %lld: a group number is -1 (left out) or 0 .. %zd", row, code,
                 count - 1);
    return {};
}

Raised string_offset(Py_ssize_t index, long long value, Py_ssize_t data_size) {
    PyErr_Format(PyExc_ValueError,
                 "offsets[%zd] is %lld: string offsets never fall and stay within the %zd bytes of data", index, value,
                 data_size);
    return {};
}

Raised no_offsets() {
    PyErr_SetString(PyExc_ValueError, "offsets is empty: a column of n strings has n + 1 offsets");
    return {};
}

Raised not_contiguous(const char* param) {
    PyErr_Format(PyExc_ValueError, "%s must be contiguous", param);
    return {};
}

Raised reentered(const char* cls) {
    PyErr_Format(PyExc_RuntimeError,
                 "%s object called from inside one of its own calls (by a finalizer or callback on the same thread)",
                 cls);
    return {};
}

Raised validity_too_short(Py_ssize_t bytes, Py_ssize_t first, Py_ssize_t rows) {
    // The last bit may lie beyond the largest Py_ssize_t; it fits an unsigned 64-bit number.
    const unsigned long long last = static_cast<unsigned long long>(first) + static_cast<unsigned long long>(rows) - 1;
    PyErr_Format(PyExc_ValueError, "validity has %zd bytes, too few for bits %zd .. %llu", bytes, first, last);
    return {};
}

Raised cpp_exception(std::exception_ptr error) noexcept {
    try {
        std::rethrow_exception(error);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "an unknown C++ exception reached the call boundary");
    }
    return {};
}

Raised view_bytes(Py_ssize_t bytes) {
    PyErr_Format(PyExc_ValueError, "views has %zd bytes: a string's view has 16", bytes);
    return {};
}

Raised string_view(Py_ssize_t row, Py_ssize_t buffer_count) {
    PyErr_Format(PyExc_ValueError, "views[%zd] is no string of the %zd data buffers", row, buffer_count);
    return {};
}

Raised not_object_array(const char* param) {
    PyErr_Format(PyExc_ValueError, "%s must be a one-dimensional array of objects", param);
    return {};
}

namespace {

// One code object per entry name, made on first use and kept while the module
// is imported: the names are a fixed, small set, and error paths stay cheap.
std::unordered_map<std::string, PyCodeObject*> codes;  // guarded by the GIL

PyCodeObject* traceback_code(const char* qualname) noexcept {
    try {
        auto found = codes.find(qualname);
        if (found != codes.end()) return found->second;
        PyCodeObject* code = PyCode_NewEmpty(runtime().identity.source_label, qualname, 0);
        if (code != nullptr) codes.emplace(qualname, code);
        return code;
    } catch (...) {  // out of memory: the entry is left out, the error stands
        return nullptr;
    }
}

}  // namespace

void add_traceback(const char* qualname) {
    PyObject* globals = runtime().dict;
    if (globals == nullptr) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = traceback_code(qualname);
    PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    PyErr_Restore(type, value, tb);
    if (frame != nullptr) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
}

void forget_traceback_codes() noexcept {
    for (auto& entry : codes) Py_DECREF(entry.second);
    codes.clear();
}

}  // namespace ornivex::err
