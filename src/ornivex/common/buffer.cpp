#include "ornivex/common/buffer.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>

#include "ornivex/common/errors.hpp"
#include "ornivex/common/numpy_api.hpp"
#include "ornivex/common/runtime.hpp"

namespace ornivex {

namespace {

// ---------------------------------------------------------------------------
// Format strings.  A checker walks the format once and matches the single
// element it must describe: element codes with repeat counts, byte-order and
// packing prefixes, 'x' padding, ':name:' field names, 'T{...}' structs and
// '(d,...)' sub-array shapes.  Sizes are native ('@', '^') or standard ('=',
// '<'); only native packing aligns.
// ---------------------------------------------------------------------------

struct ElementCode {
    char code = 0;
    bool complex = false;
};

const char* describe(ElementCode e) {
    switch (e.code) {
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        case 'l': return "'long'";
        case 'L': return "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'f': return e.complex ? "'complex float'" : "'float'";
        case 'd': return e.complex ? "'complex double'" : "'double'";
        case 'g': return e.complex ? "'complex long double'" : "'long double'";
        case 'T': return "a struct";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's': case 'p': return "a string";
        case 0: return "end";
        default: return "unparsable format string";
    }
}

// 'H' char, 'I' signed, 'U' unsigned, 'R' real, 'C' complex, 'O' object, 'P' pointer.
char kind_of(ElementCode e) {
    switch (e.code) {
        case 'c': return 'H';
        case 'b': case 'h': case 'i': case 'l': case 'q': case 's': case 'p': return 'I';
        case '?': case 'B': case 'H': case 'I': case 'L': case 'Q': return 'U';
        case 'f': case 'd': case 'g': return e.complex ? 'C' : 'R';
        case 'O': return 'O';
        default: return 'P';
    }
}

template <class T>
constexpr Py_ssize_t native(bool complex) {
    return static_cast<Py_ssize_t>(sizeof(T)) * (complex ? 2 : 1);
}

Py_ssize_t native_size(ElementCode e) {
    switch (e.code) {
        case 'h': case 'H': return native<short>(false);
        case 'i': case 'I': return native<int>(false);
        case 'l': case 'L': return native<long>(false);
        case 'q': case 'Q': return native<long long>(false);
        case 'f': return native<float>(e.complex);
        case 'd': return native<double>(e.complex);
        case 'g': return native<long double>(e.complex);
        case 'O': case 'P': return native<void*>(false);
        default: return 1;
    }
}

Py_ssize_t native_alignment(ElementCode e) {
    switch (e.code) {
        case 'h': case 'H': return alignof(short);
        case 'i': case 'I': return alignof(int);
        case 'l': case 'L': return alignof(long);
        case 'q': case 'Q': return alignof(long long);
        case 'f': return alignof(float);
        case 'd': return alignof(double);
        case 'g': return alignof(long double);
        case 'O': case 'P': return alignof(void*);
        default: return 1;
    }
}

// Standard sizes; 0 with an exception set for long double, which has none.
Py_ssize_t standard_size(ElementCode e) {
    switch (e.code) {
        case 'h': case 'H': return 2;
        case 'i': case 'I': case 'l': case 'L': return 4;
        case 'q': case 'Q': return 8;
        case 'f': return e.complex ? 8 : 4;
        case 'd': return e.complex ? 16 : 8;
        case 'g': err::long_double_no_standard_size(); return 0;
        case 'O': case 'P': return native<void*>(false);
        default: return 1;
    }
}

bool is_element_code(char c) {
    switch (c) {
        case '?': case 'c': case 'b': case 'B': case 'h': case 'H': case 'i': case 'I': case 'l': case 'L':
        case 'q': case 'Q': case 'f': case 'd': case 'g': case 'O': case 'p': case 'P': case 's':
            return true;
        default:
            return false;
    }
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads a decimal repeat count, saturating instead of overflowing.
Py_ssize_t read_number(const char*& s) {
    Py_ssize_t value = 0;
    while (is_digit(*s)) {
        value = value > PY_SSIZE_T_MAX / 10 ? PY_SSIZE_T_MAX : value * 10 + (*s - '0');
        ++s;
    }
    return value;
}

class FormatChecker {
public:
    explicit FormatChecker(const ElementDescriptor& expected) : expected_(expected) {}

    bool check(const char* format) {
        const char* rest = parse(format, /*in_struct=*/false);
        if (rest == nullptr) return false;
        if (!flush()) return false;
        if (!matched_) return err::dtype_mismatch("'", expected_.name, describe({}));
        return true;
    }

private:
    // Parses up to the end of the string or past the '}' closing a struct.
    const char* parse(const char* s, bool in_struct) {
        while (true) {
            switch (const char c = *s) {
                case '\0':
                    return s;
                case ' ': case '\r': case '\n':
                    ++s;
                    break;
                case '<':
                    packing_ = '=';
                    ++s;
                    break;
                case '>': case '!':
                    return err::big_endian_buffer();
                case '=': case '@': case '^':
                    packing_ = c;
                    ++s;
                    break;
                case 'T': {
                    if (s[1] != '{') return err::format_expected_brace_after_t();
                    const Py_ssize_t repeat = std::exchange(count_, 1);
                    if (!flush()) return nullptr;
                    s += 2;
                    const char* after = s;
                    for (Py_ssize_t k = 0; k < repeat && *after != '\0'; ++k) {
                        after = parse(s, /*in_struct=*/true);
                        if (after == nullptr) return nullptr;
                    }
                    s = after;
                    break;
                }
                case '}':
                    if (!in_struct) return err::format_unexpected_char(c);
                    if (!flush()) return nullptr;
                    if (struct_alignment_ > 0 && offset_ % struct_alignment_ != 0) {
                        offset_ += struct_alignment_ - offset_ % struct_alignment_;
                    }
                    return s + 1;
                case 'x':
                    if (!flush()) return nullptr;
                    offset_ += std::exchange(count_, 1);
                    ++s;
                    break;
                case ':':
                    ++s;
                    while (*s != '\0' && *s != ':') ++s;
                    if (*s != '\0') ++s;
                    break;
                case '(':
                    s = skip_shape(s);
                    if (s == nullptr) return nullptr;
                    break;
                case 'Z':
                    if (s[1] != 'f' && s[1] != 'd' && s[1] != 'g') return err::format_unexpected_char('Z');
                    if (!start_element({s[1], true})) return nullptr;
                    s += 2;
                    break;
                default:
                    if (is_element_code(c)) {
                        if (!start_element({c, false})) return nullptr;
                        ++s;
                    } else if (is_digit(c)) {
                        count_ = read_number(s);
                    } else {
                        return err::format_not_understood(c);
                    }
            }
        }
    }

    bool start_element(ElementCode code) {
        if (!flush()) return false;
        pending_ = code;
        pending_count_ = std::exchange(count_, 1);
        pending_packing_ = packing_;
        has_pending_ = true;
        return true;
    }

    // Matches the pending element (if any) against the expected one.
    bool flush() {
        if (!has_pending_) return true;
        has_pending_ = false;
        const ElementCode code = pending_;
        if (matched_) return err::dtype_mismatch("", "end", describe(code));
        const bool native_sizes = pending_packing_ == '@' || pending_packing_ == '^';
        const Py_ssize_t size = native_sizes ? native_size(code) : standard_size(code);
        if (size == 0) return false;
        if (pending_packing_ == '@') {
            const Py_ssize_t align = native_alignment(code);
            if (offset_ % align != 0) offset_ += align - offset_ % align;
            if (struct_alignment_ == 0) struct_alignment_ = align;
        }
        const char kind = kind_of(code);
        const bool same_size = size == expected_.size;
        if (!same_size || (kind != expected_.kind && kind != 'H')) {
            return err::dtype_mismatch("'", expected_.name, describe(code));
        }
        if (offset_ != 0) return err::field_offset(offset_, 0);
        offset_ += size;
        matched_ = true;
        if (pending_count_ != 1) return err::dtype_mismatch("", "end", describe(code));
        return true;
    }

    // A '(d0,d1,...)' sub-array shape: the expected element is a scalar, so
    // only an empty shape is acceptable.
    const char* skip_shape(const char* s) {
        if (count_ != 1) return err::format_repeated_arrays();
        if (!flush()) return nullptr;
        ++s;
        int dims = 0;
        while (*s != '\0' && *s != ')') {
            if (*s == ' ' || *s == '\f' || *s == '\r' || *s == '\n' || *s == '\t' || *s == '\v') {
                ++s;
                continue;
            }
            if (!is_digit(*s)) return err::format_not_understood(*s);
            read_number(s);
            if (*s != ',' && *s != ')') return err::format_expected_comma(*s);
            if (*s == ',') ++s;
            ++dims;
        }
        if (dims != 0) return err::format_dimension_count(0, dims);
        if (*s == '\0') return err::format_unexpected_end();
        return s + 1;
    }

    const ElementDescriptor& expected_;
    char packing_ = '@';
    Py_ssize_t count_ = 1;
    Py_ssize_t offset_ = 0;
    Py_ssize_t struct_alignment_ = 0;
    bool matched_ = false;

    bool has_pending_ = false;
    ElementCode pending_{};
    Py_ssize_t pending_count_ = 1;
    char pending_packing_ = '@';
};

}  // namespace

bool check_buffer_format(const char* format, const ElementDescriptor& expected) {
    return FormatChecker(expected).check(format);
}

bool check_array_argument(const char* param, PyObject* obj) {
    if (obj == Py_None) return err::argument_none(param);
    PyTypeObject* ndarray = runtime().ndarray;
    if (Py_TYPE(obj) == ndarray || PyType_IsSubtype(Py_TYPE(obj), ndarray)) return true;
    return err::argument_type(param, ndarray, obj);
}

bool is_plain_ndarray(PyObject* obj) { return Py_TYPE(obj) == runtime().ndarray; }

static_assert(float32_element.numpy_type == NPY_FLOAT && int32_element.numpy_type == NPY_INT &&
              double_element.numpy_type == NPY_DOUBLE && sizeof(int) == 4);

namespace {

// A plain ndarray that the buffer export would accept as it is: one
// dimension, exactly the expected native-order element type, and for a
// writable view an array that owns its writable data (a fresh result).
// Reading its fields directly gives the same view without the cost of an
// export; anything else takes the export, which raises the exact errors.
bool is_directly_viewable(PyObject* obj, const ElementDescriptor& element, bool writable) {
    if (Py_TYPE(obj) != runtime().ndarray) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(array) != 1 || PyArray_DESCR(array)->type_num != element.numpy_type ||
        !PyArray_ISNOTSWAPPED(array)) {
        return false;
    }
    return !writable || (PyArray_ISWRITEABLE(array) && PyArray_CHKFLAGS(array, NPY_ARRAY_OWNDATA));
}

}  // namespace

bool ArrayView::acquire(PyObject* obj, const ElementDescriptor& element, bool writable) {
    release();
    if (obj == Py_None) return true;
    if (is_directly_viewable(obj, element, writable)) {
        auto* array = reinterpret_cast<PyArrayObject*>(obj);
        viewed_array_ = Owned::incref(obj);
        data_ = PyArray_DATA(array);
        size_ = PyArray_DIM(array, 0);
        stride_ = PyArray_STRIDE(array, 0);
        return true;
    }
    const int flags = PyBUF_FORMAT | PyBUF_STRIDES | (writable ? PyBUF_WRITABLE : 0);
    if (PyObject_GetBuffer(obj, &buffer_, flags) < 0) return false;
    held_ = true;
    if (buffer_.ndim != 1) {
        const int ndim = buffer_.ndim;
        release();
        return err::wrong_ndim(1, ndim);
    }
    if (!check_buffer_format(buffer_.format ? buffer_.format : "B", element)) {
        release();
        return false;
    }
    if (buffer_.itemsize != element.size) {
        const Py_ssize_t itemsize = buffer_.itemsize;
        release();
        return err::item_size(itemsize, element.name, element.size);
    }
    data_ = buffer_.buf;
    size_ = buffer_.shape[0];
    stride_ = buffer_.strides[0];
    return true;
}

void ArrayView::release() noexcept {
    if (held_) PyBuffer_Release(&buffer_);
    held_ = false;
    viewed_array_.reset();
    data_ = nullptr;
    size_ = 0;
    stride_ = 0;
}

bool ArrayLocal::assign(Owned value) {
    if (!value) return err::propagate();  // the expression that made the value failed
    PyObject* obj = value.get();
    PyTypeObject* ndarray = runtime().ndarray;
    if (obj != Py_None && Py_TYPE(obj) != ndarray && !PyType_IsSubtype(Py_TYPE(obj), ndarray)) {
        return err::cannot_convert(obj, ndarray);
    }
    view_.release();
    object_ = std::move(value);
    return view_.acquire(object_.get(), element_, writable_);
}

}  // namespace ornivex
