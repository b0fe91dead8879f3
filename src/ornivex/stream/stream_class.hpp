// What every stream class shares: the object (a lock and a kernel), the
// constructor, update / extend plumbing, pickling, copying and repr.
//
// A class is described by a Spec (see atr.cpp for a plain one):
//   Kernel                        the Python-free state and rules
//   name, qualname                "Ewma", "ornivex.stream.Ewma"
//   doc                           "Ewma(alpha)\n--\n\n" and the help text
//   parameters[], required        constructor parameter names; the first
//                                 `required` have no default
//   inputs[], chunks[]            parameter names of update and extend
//   promotion                     whether the rules depend on NumPy's
//                                 promotion rules (the float32 classes)
//   element                       what extend's arrays hold
//   make(bound)                   converts and checks the parameters
//   parameter_values(kernel)      the constructor arguments, as a tuple
//   state(kernel) / restore(...)  the carried state as a tuple of numbers
//   update(kernel, values, p)     one bar; returns its result object
//   extend(kernel, views, n, p)   a chunk of n bars; returns its result
//
// Calls hold the object's lock from after their arguments are converted
// (which may run Python code) until their result exists, so two threads
// never interleave inside one object; a refused call changes nothing.  Making
// a result may still run Python code on the holding thread (a collection
// whose finalizer calls the same object): that call is refused with
// RuntimeError instead of waiting for its own thread.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>

#include "ornivex/common/args.hpp"
#include "ornivex/common/boundary.hpp"
#include "ornivex/common/buffer.hpp"
#include "ornivex/common/convert.hpp"
#include "ornivex/common/errors.hpp"
#include "ornivex/common/numpy_api.hpp"
#include "ornivex/common/pyref.hpp"
#include "ornivex/common/without_gil.hpp"

namespace ornivex::stream {

// One caller at a time per object.  A caller that finds the object busy waits
// without the interpreter lock, so that the holder, which may have released
// it to compute, can finish; unless the holder is its own thread, which would
// wait forever: acquire() then returns false.
class StreamLock {
public:
    bool acquire() noexcept {
        const std::thread::id me = std::this_thread::get_id();
        // Only this thread ever stores its own id, so reading it here means it holds the lock.
        if (owner_.load(std::memory_order_relaxed) == me) return false;
        if (!mutex_.try_lock()) {
            Py_BEGIN_ALLOW_THREADS
            mutex_.lock();
            Py_END_ALLOW_THREADS
        }
        owner_.store(me, std::memory_order_relaxed);
        return true;
    }
    void release() noexcept {
        owner_.store(std::thread::id(), std::memory_order_relaxed);
        mutex_.unlock();
    }

private:
    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
};

// The lock for one call; false (nothing held) for a call from inside another
// call on the same object and thread.
class HeldLock {
public:
    explicit HeldLock(StreamLock& lock) noexcept : lock_(lock), held_(lock.acquire()) {}
    ~HeldLock() {
        if (held_) lock_.release();
    }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;
    explicit operator bool() const noexcept { return held_; }

private:
    StreamLock& lock_;
    bool held_;
};

// The largest bar count a restored state may carry: it leaves room for more
// bars than any array can hold, so no later count overflows.
inline constexpr long long most_restored_bars = 1LL << 62;

// --- parameters --------------------------------------------------------------

// The parameter rules every route shares, each refusal a ValueError naming
// the rule.  A count of bars: a whole number of at least 1 (an int or NumPy
// integer, not a bool; a float is refused rather than truncated), and at most
// `maximum`.
std::optional<std::int64_t> count_parameter(const char* cls, const char* param, PyObject* value,
                                            std::int64_t maximum);
// A width: a finite number of at least 0 (an int, float or NumPy number, not a bool).
std::optional<double> width_parameter(const char* param, PyObject* value);
// An average's weight of the newest value: a finite number in (0, 1].
std::optional<double> alpha_parameter(PyObject* value);

// The window-and-width pair of HalfTrend and Swing: a bar count as their batch
// functions take it (a C int) and a width.  Arguments not given (null) keep
// the defaults passed in.
struct BarsAndFactor {
    std::int64_t bars;
    double factor;
};
std::optional<BarsAndFactor> bars_and_factor(const char* cls, PyObject* const* bound, const char* bars_param,
                                             const char* factor_param, BarsAndFactor defaults);

// --- state -------------------------------------------------------------------
// The carried state is a flat tuple of Python floats (the float32 ones
// widened exactly) and ints (flags and counts).

class StateWriter {
public:
    explicit StateWriter(Py_ssize_t count) : tuple_(Owned::steal(PyTuple_New(count))) {}
    StateWriter& add(double value) { return put(PyFloat_FromDouble(value)); }
    StateWriter& add_count(long long value) { return put(PyLong_FromLongLong(value)); }
    Owned finish() { return failed_ ? Owned() : std::move(tuple_); }

private:
    StateWriter& put(PyObject* item);

    Owned tuple_;
    Py_ssize_t next_ = 0;
    bool failed_ = false;
};

class StateReader {
public:
    // Requires a tuple of exactly `count` items.
    StateReader(const char* cls, PyObject* state, Py_ssize_t count);
    explicit operator bool() const noexcept { return ok_; }

    bool read(float& out);
    bool read(double& out);
    bool read_count(long long& out, long long minimum, long long maximum);

private:
    const char* cls_;
    PyObject* state_;
    Py_ssize_t next_ = 0;
    bool ok_;
};

// --- the class template --------------------------------------------------------

template <class Kernel>
struct StreamObject {
    PyObject_HEAD
    StreamLock lock;
    Kernel kernel;
};

// Runs `kernel_pass(copy)` on a copy of `kernel` without the interpreter lock
// and keeps the copy only if it completes, so a failure leaves the state as
// it was.  The pass must not fail otherwise.
template <class Kernel, class Pass>
bool advance_without_gil(Kernel& kernel, Pass&& kernel_pass) {
    Kernel copy = kernel;
    if (!run_without_gil([&] { kernel_pass(copy); })) return false;
    kernel = std::move(copy);
    return true;
}

// A new array of n elements of `type_number` (NPY_FLOAT, NPY_DOUBLE, ...).
Owned new_array(Py_ssize_t n, int type_number);

template <class T>
StridedView<T> array_view(PyObject* array) noexcept {
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    return {static_cast<char*>(PyArray_DATA(a)), static_cast<index_t>(sizeof(T)), PyArray_DIM(a, 0)};
}

// Turns an args tuple and kwargs dict into the vectorcall form the binder takes.
bool bind_tuple_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** out);

// Interned names for a Signature, made once.
bool intern_all(const char* const* texts, PyObject** out, int count);

template <class Spec>
class StreamClass {
public:
    using Kernel = typename Spec::Kernel;
    using Object = StreamObject<Kernel>;
    static constexpr int parameter_count = sizeof(Spec::parameters) / sizeof(Spec::parameters[0]);
    static constexpr int input_count = sizeof(Spec::inputs) / sizeof(Spec::inputs[0]);

    static PyTypeObject type;

    // Makes the type ready and binds it in `module_dict`.
    static bool define(PyObject* module_dict) {
        if (!intern_all(Spec::parameters, parameter_names, parameter_count) ||
            !intern_all(Spec::inputs, input_names, input_count) || !intern_all(Spec::chunks, chunk_names, input_count))
            return false;
        qualname_update = std::string(Spec::qualname) + ".update";
        qualname_extend = std::string(Spec::qualname) + ".extend";
        qualname_setstate = std::string(Spec::qualname) + ".__setstate__";
        qualname_reduce = std::string(Spec::qualname) + ".__reduce__";
        for (int k = 0; k < parameter_count; ++k)
            getset[k] = {Spec::parameters[k], get_parameter, nullptr, nullptr,
                         reinterpret_cast<void*>(static_cast<std::intptr_t>(k))};
        getset[parameter_count] = {nullptr, nullptr, nullptr, nullptr, nullptr};
        type.tp_name = Spec::qualname;
        type.tp_doc = Spec::doc;  // its first line is the signature inspect reads
        type.tp_basicsize = sizeof(Object);
        type.tp_dealloc = dealloc;
        type.tp_repr = repr;
        type.tp_flags = Py_TPFLAGS_DEFAULT;
        type.tp_methods = methods;
        type.tp_getset = getset;
        type.tp_new = construct;
        if (PyType_Ready(&type) < 0) return false;
        return PyDict_SetItemString(module_dict, Spec::name, reinterpret_cast<PyObject*>(&type)) == 0;
    }

private:
    static Object* as_object(PyObject* self) { return reinterpret_cast<Object*>(self); }

    static bool promotion_now(Promotion& promotion) {
        promotion = Promotion::weak_float32;
        return !Spec::promotion || current_promotion(promotion);
    }

    static PyObject* construct(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
        return call_entry(Spec::qualname, [&]() -> Owned {
            const Signature signature{Spec::name, parameter_count, Spec::required, parameter_names};
            PyObject* bound[parameter_count];
            if (!bind_tuple_arguments(signature, args, kwargs, bound)) return Owned();
            std::optional<Kernel> kernel = Spec::make(bound);
            if (!kernel) return Owned();
            Owned self = Owned::steal(cls->tp_alloc(cls, 0));
            if (!self) return Owned();
            new (&as_object(self.get())->lock) StreamLock();
            new (&as_object(self.get())->kernel) Kernel(std::move(*kernel));
            return self;
        });
    }

    static void dealloc(PyObject* self) {
        as_object(self)->kernel.~Kernel();
        as_object(self)->lock.~StreamLock();
        Py_TYPE(self)->tp_free(self);
    }

    // Bound arguments converted to doubles; the lock is taken only after
    // the conversions, which may run Python code.
    static PyObject* update(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
        return call_entry(qualname_update.c_str(), [&]() -> Owned {
            const Signature signature{"update", input_count, input_count, input_names};
            PyObject* bound[input_count];
            if (!bind_arguments(signature, args, nargsf, kwnames, bound)) return Owned();
            double values[input_count];
            for (int k = 0; k < input_count; ++k) {
                const auto value = to_double(bound[k]);
                if (!value) return Owned();
                values[k] = *value;
            }
            Promotion promotion;
            if (!promotion_now(promotion)) return Owned();
            Object* object = as_object(self);
            const HeldLock held(object->lock);
            if (!held) return err::reentered(Spec::name);
            return Spec::update(object->kernel, values, promotion);
        });
    }

    static PyObject* extend(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
        return call_entry(qualname_extend.c_str(), [&]() -> Owned {
            const Signature signature{"extend", input_count, input_count, chunk_names};
            PyObject* bound[input_count];
            if (!bind_arguments(signature, args, nargsf, kwnames, bound)) return Owned();
            for (int k = 0; k < input_count; ++k) {
                if (!check_array_argument(Spec::chunks[k], bound[k])) return Owned();
            }
            ArrayView views[input_count];
            Py_ssize_t lengths[input_count];
            for (int k = 0; k < input_count; ++k) {
                if (!views[k].acquire(bound[k], Spec::element)) return Owned();
                lengths[k] = views[k].size();
            }
            for (int k = 1; k < input_count; ++k) {
                if (lengths[k] != lengths[0]) return err::unequal_lengths("extend", Spec::chunks, lengths, input_count);
            }
            Promotion promotion;
            if (!promotion_now(promotion)) return Owned();
            Object* object = as_object(self);
            const HeldLock held(object->lock);
            if (!held) return err::reentered(Spec::name);
            return Spec::extend(object->kernel, views, lengths[0], promotion);
        });
    }

    static Owned parameter_values(Object* object) {
        const HeldLock held(object->lock);
        if (!held) return err::reentered(Spec::name);
        return Spec::parameter_values(object->kernel);
    }

    // (type, parameters, state): pickle and copy build a new object from the
    // parameters and hand it the state.
    static PyObject* reduce(PyObject* self, PyObject*) {
        return call_entry(qualname_reduce.c_str(), [&]() -> Owned {
            Object* object = as_object(self);
            Owned parameters, state;
            {
                const HeldLock held(object->lock);
                if (!held) return err::reentered(Spec::name);
                parameters = Spec::parameter_values(object->kernel);
                if (parameters) state = Spec::state(object->kernel);
            }
            if (!parameters || !state) return Owned();
            return Owned::steal(
                PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self)), parameters.get(), state.get()));
        });
    }

    static PyObject* setstate(PyObject* self, PyObject* state) {
        return call_entry(qualname_setstate.c_str(), [&]() -> Owned {
            Object* object = as_object(self);
            const HeldLock held(object->lock);
            if (!held) return err::reentered(Spec::name);
            if (!Spec::restore(object->kernel, state)) return Owned();
            return Owned::incref(Py_None);
        });
    }

    static PyObject* get_parameter(PyObject* self, void* index) {
        Owned parameters = parameter_values(as_object(self));
        if (!parameters) return nullptr;
        return Py_NewRef(PyTuple_GET_ITEM(parameters.get(), reinterpret_cast<std::intptr_t>(index)));
    }

    static PyObject* repr(PyObject* self) {
        Owned parameters = parameter_values(as_object(self));
        if (!parameters) return nullptr;
        Owned text = Owned::steal(PyUnicode_FromFormat("%s(", Spec::name));
        for (int k = 0; text && k < parameter_count; ++k) {
            Owned item = Owned::steal(PyUnicode_FromFormat("%s%s=%R", k == 0 ? "" : ", ", Spec::parameters[k],
                                                           PyTuple_GET_ITEM(parameters.get(), k)));
            text = item ? Owned::steal(PyUnicode_Concat(text.get(), item.get())) : Owned();
        }
        if (!text) return nullptr;
        Owned close = Owned::steal(PyUnicode_FromString(")"));
        return close ? PyUnicode_Concat(text.get(), close.get()) : nullptr;
    }

    template <class Entry>
    static PyCFunction as_cfunction(Entry entry) {
        return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
    }

    static inline PyObject* parameter_names[parameter_count];
    static inline PyObject* input_names[input_count];
    static inline PyObject* chunk_names[input_count];
    static inline std::string qualname_update, qualname_extend, qualname_setstate, qualname_reduce;
    static inline PyGetSetDef getset[parameter_count + 1];
    static inline PyMethodDef methods[] = {
        {"update", as_cfunction(update), METH_FASTCALL | METH_KEYWORDS, nullptr},
        {"extend", as_cfunction(extend), METH_FASTCALL | METH_KEYWORDS, nullptr},
        {"__reduce__", reduce, METH_NOARGS, nullptr},
        {"__setstate__", setstate, METH_O, nullptr},
        {nullptr, nullptr, 0, nullptr},
    };
};

template <class Spec>
PyTypeObject StreamClass<Spec>::type = {PyVarObject_HEAD_INIT(nullptr, 0)};

}  // namespace ornivex::stream
