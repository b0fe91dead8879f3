// Atr(length=100): the average true range of float64 bars one at a time;
// indicators.average_true_range is Atr(length).extend over the whole series.
#include <Python.h>

#include <cstdint>
#include <limits>

#include "ornivex/kernels/atr/atr.hpp"
#include "ornivex/stream/classes.hpp"
#include "ornivex/stream/stream_class.hpp"

namespace ornivex::stream {

namespace {

struct AtrSpec {
    using Kernel = atr::AtrStream;
    static constexpr const char* name = "Atr";
    static constexpr const char* qualname = "ornivex.stream.Atr";
    static constexpr const char* doc =
        "Atr(length=100)\n--\n\n"
        "The average true range over `length` bars, in float64, one bar at a time;\n"
        "indicators.average_true_range is this class over the whole series.\n\n"
        "True range: max(high - low, |high - previous close|, |low - previous\n"
        "close|), just high - low on the first bar or after a NaN close, NaN where\n"
        "high or low is NaN.  With k the bars with a true range so far, capped at\n"
        "length: atr = atr + (tr - atr) / k (the first one is tr); a NaN true range\n"
        "keeps the previous average (NaN before the first).\n\n"
        "length: a whole number of at least 1.\n"
        "update(high, low, close) takes one bar and returns its average true range;\n"
        "extend(high, low, close) takes float64 arrays and returns theirs.  State\n"
        "(pickles, __setstate__): (k, atr, previous close).\n\n"
        "Example:\n"
        "    >>> atr = Atr(2)\n"
        "    >>> atr.update(11.0, 9.0, 10.0), atr.update(14.0, 10.0, 13.0)\n"
        "    (2.0, 3.0)\n";
    static constexpr const char* parameters[] = {"length"};
    static constexpr int required = 0;
    static constexpr const char* inputs[] = {"high", "low", "close"};
    static constexpr const char* chunks[] = {"high", "low", "close"};
    static constexpr bool promotion = false;
    static constexpr const ElementDescriptor& element = double_element;

    static std::optional<Kernel> make(PyObject* const* bound) {
        std::int64_t length = 100;
        if (bound[0] != nullptr) {
            const auto converted =
                count_parameter(name, "length", bound[0], std::numeric_limits<std::int64_t>::max());
            if (!converted) return err::propagate();
            length = *converted;
        }
        return Kernel(length);
    }

    static Owned parameter_values(const Kernel& kernel) {
        return Owned::steal(Py_BuildValue("(L)", static_cast<long long>(kernel.length())));
    }

    // (bars with a true range so far, capped at length; average; previous
    // close).
    static Owned state(const Kernel& kernel) {
        return StateWriter(3).add_count(kernel.count()).add(kernel.average()).add(kernel.previous_close()).finish();
    }

    static bool restore(Kernel& kernel, PyObject* state) {
        StateReader reader(name, state, 3);
        long long count;
        double average, previous_close;
        if (!reader || !reader.read_count(count, 0, kernel.length()) || !reader.read(average) ||
            !reader.read(previous_close))
            return false;
        kernel.restore(count, average, previous_close);
        return true;
    }

    static Owned update(Kernel& kernel, const double* values, Promotion) {
        Kernel next = kernel;
        Owned result = Owned::steal(PyFloat_FromDouble(next.update(values[0], values[1], values[2])));
        if (result) kernel = next;
        return result;
    }

    static Owned extend(Kernel& kernel, const ArrayView* views, Py_ssize_t n, Promotion) {
        Owned result = new_array(n, NPY_DOUBLE);
        if (!result) return Owned();
        const StridedView<double> out = array_view<double>(result.get());
        const bool advanced = advance_without_gil(kernel, [&](Kernel& k) {
            k.extend(views[0].read<double>(), views[1].read<double>(), views[2].read<double>(), out);
        });
        return advanced ? std::move(result) : Owned();
    }
};

}  // namespace

bool define_atr(PyObject* module_dict) { return StreamClass<AtrSpec>::define(module_dict); }

}  // namespace ornivex::stream
