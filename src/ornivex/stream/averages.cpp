// Ewma(alpha), Ema2(length) and Tema3(length): float32 averages one bar at a
// time, equal to trend_v4.ewma / ema2 / tema3 over the whole series.
#include <Python.h>

#include <cstdint>

#include "ornivex/stream/classes.hpp"
#include "ornivex/stream/state/averages.hpp"
#include "ornivex/stream/stream_class.hpp"

namespace ornivex::stream {

namespace {

// The float32 element of a value, as NumPy stores a Python float in a
// float32 array (rounded to nearest).
float as_float32(double value) noexcept { return static_cast<float>(value); }

// Ema2's and Tema3's length: a whole number of bars, kept as the double the
// kernels compute with (exact below 2**53) and given back as an int.
std::optional<double> length_parameter(const char* cls, PyObject* value) {
    const auto length = count_parameter(cls, "length", value, std::int64_t{1} << 53);
    if (!length) return err::propagate();
    return static_cast<double>(*length);
}

Owned length_values(double length) {
    return Owned::steal(Py_BuildValue("(L)", static_cast<long long>(length)));
}

// The float32 averages share update and extend; only the kernel differs.
template <class Kernel>
struct AverageSpec {
    static constexpr const char* inputs[] = {"value"};
    static constexpr const char* chunks[] = {"values"};
    static constexpr bool promotion = true;
    static constexpr const ElementDescriptor& element = float32_element;

    static Owned update(Kernel& kernel, const double* values, Promotion promotion) {
        Kernel next = kernel;
        const float x = as_float32(values[0]);
        const float out = promotion == Promotion::weak_float32 ? next.template update<Promotion::weak_float32>(x)
                                                               : next.template update<Promotion::legacy_double>(x);
        Owned result = Owned::steal(PyFloat_FromDouble(out));
        if (result) kernel = next;
        return result;
    }

    static Owned extend(Kernel& kernel, const ArrayView* views, Py_ssize_t n, Promotion promotion) {
        Owned result = new_array(n, NPY_FLOAT);
        if (!result) return Owned();
        const StridedView<const float> in = views[0].read<float>();
        const StridedView<float> out = array_view<float>(result.get());
        const bool advanced = advance_without_gil(kernel, [&](Kernel& k) {
            if (promotion == Promotion::weak_float32)
                k.template extend<Promotion::weak_float32>(in, out);
            else
                k.template extend<Promotion::legacy_double>(in, out);
        });
        return advanced ? std::move(result) : Owned();
    }
};

// Ema2 is ewma with the factor of a length; it keeps the length it was given.
class Ema2Stream : public EwmaStream {
public:
    explicit Ema2Stream(double length) noexcept : EwmaStream(trend::ema2_alpha(length)), length_(length) {}
    double length() const noexcept { return length_; }

private:
    double length_;
};

// Ewma(alpha) and Ema2(length) differ only in their names and in what their
// one parameter means.  State: (started, last output).
template <class Names>
struct EwmaSpec : AverageSpec<typename Names::Kernel> {
    using Kernel = typename Names::Kernel;
    static constexpr const char* name = Names::name;
    static constexpr const char* qualname = Names::qualname;
    static constexpr const char* parameters[] = {Names::parameter};
    static constexpr int required = 1;
    static constexpr const char* doc = Names::doc;

    static std::optional<Kernel> make(PyObject* const* bound) {
        const auto value = Names::parameter_from(bound[0]);
        if (!value) return err::propagate();
        return Kernel(*value);
    }
    static Owned parameter_values(const Kernel& kernel) { return Names::parameter_values(kernel); }
    static Owned state(const Kernel& kernel) {
        return StateWriter(2).add_count(kernel.started()).add(kernel.last()).finish();
    }
    static bool restore(Kernel& kernel, PyObject* state) {
        StateReader reader(name, state, 2);
        long long started;
        float last;
        if (!reader || !reader.read_count(started, 0, 1) || !reader.read(last)) return false;
        kernel.restore(started != 0, last);
        return true;
    }
};

struct EwmaNames {
    using Kernel = EwmaStream;
    static constexpr const char* name = "Ewma";
    static constexpr const char* qualname = "ornivex.stream.Ewma";
    static constexpr const char* parameter = "alpha";
    static constexpr const char* doc =
        "Ewma(alpha)\n--\n\n"
        "trend_v4.ewma(series, alpha) one bar at a time, in float32.\n\n"
        "The first bar is copied as it is; every later bar is\n"
        "alpha * value + (1 - alpha) * previous in NumPy's float32 arithmetic.\n\n"
        "alpha: the weight of the newest value, a finite number in (0, 1].\n"
        "update(value) takes one bar and returns its average; extend(values)\n"
        "takes a float32 array and returns theirs.  State (pickles, __setstate__):\n"
        "(started, last output).\n\n"
        "Example:\n"
        "    >>> average = Ewma(0.5)\n"
        "    >>> average.update(1.0), average.update(3.0)\n"
        "    (1.0, 2.0)\n";
    static std::optional<double> parameter_from(PyObject* value) { return alpha_parameter(value); }
    static Owned parameter_values(const Kernel& kernel) { return Owned::steal(Py_BuildValue("(d)", kernel.alpha())); }
};

struct Ema2Names {
    using Kernel = Ema2Stream;
    static constexpr const char* name = "Ema2";
    static constexpr const char* qualname = "ornivex.stream.Ema2";
    static constexpr const char* parameter = "length";
    static constexpr const char* doc =
        "Ema2(length)\n--\n\n"
        "trend_v4.ema2(source, length) one bar at a time: Ewma with\n"
        "alpha = 2 / (length + 1), in float32.\n\n"
        "length: the average's span in bars, a whole number of at least 1.\n"
        "update(value) takes one bar and returns its average; extend(values)\n"
        "takes a float32 array and returns theirs.  State (pickles, __setstate__):\n"
        "(started, last output).\n\n"
        "Example:\n"
        "    >>> average = Ema2(3)\n"
        "    >>> average.update(1.0), average.update(3.0)\n"
        "    (1.0, 2.0)\n";
    static std::optional<double> parameter_from(PyObject* value) { return length_parameter(name, value); }
    static Owned parameter_values(const Kernel& kernel) { return length_values(kernel.length()); }
};

struct Tema3Spec : AverageSpec<Tema3Stream> {
    using Kernel = Tema3Stream;
    static constexpr const char* name = "Tema3";
    static constexpr const char* qualname = "ornivex.stream.Tema3";
    static constexpr const char* parameters[] = {"length"};
    static constexpr int required = 1;
    static constexpr const char* doc =
        "Tema3(length)\n--\n\n"
        "trend_v4.tema3(source, length) one bar at a time, in float32: four\n"
        "chained Ema2(length) stages E1..E4 combined as\n"
        "3 (E1 - E3) + 3 (E3 - E4) + E4.\n\n"
        "length: the stages' span in bars, a whole number of at least 1.\n"
        "update(value) takes one bar and returns its triple average;\n"
        "extend(values) takes a float32 array and returns theirs.  State\n"
        "(pickles, __setstate__): (started, e1, e2, e3, e4), the stages after the\n"
        "last bar.\n\n"
        "Example:\n"
        "    >>> average = Tema3(3)\n"
        "    >>> average.update(1.0), average.update(3.0)\n"
        "    (1.0, 3.75)\n";

    static std::optional<Kernel> make(PyObject* const* bound) {
        const auto length = length_parameter(name, bound[0]);
        if (!length) return err::propagate();
        return Kernel(*length);
    }
    static Owned parameter_values(const Kernel& kernel) { return length_values(kernel.length()); }

    // (started, e1, e2, e3, e4): the four stage values.
    static Owned state(const Kernel& kernel) {
        const Kernel::Stages& s = kernel.stages();
        return StateWriter(5).add_count(kernel.started()).add(s.e1).add(s.e2).add(s.e3).add(s.e4).finish();
    }
    static bool restore(Kernel& kernel, PyObject* state) {
        StateReader reader(name, state, 5);
        long long started;
        Kernel::Stages s;
        if (!reader || !reader.read_count(started, 0, 1) || !reader.read(s.e1) || !reader.read(s.e2) ||
            !reader.read(s.e3) || !reader.read(s.e4))
            return false;
        kernel.restore(started != 0, s);
        return true;
    }
};

}  // namespace

bool define_averages(PyObject* module_dict) {
    return StreamClass<EwmaSpec<EwmaNames>>::define(module_dict) && StreamClass<EwmaSpec<Ema2Names>>::define(module_dict) &&
           StreamClass<Tema3Spec>::define(module_dict);
}

}  // namespace ornivex::stream
