// Swing(period=14, multiplier=2.0): QuorvelSwing().quorvel_swing one price
// at a time, in float64.
#include <Python.h>

#include <cstdint>
#include <vector>

#include "ornivex/stream/classes.hpp"
#include "ornivex/stream/state/swing.hpp"
#include "ornivex/stream/stream_class.hpp"

namespace ornivex::stream {

namespace {

// The state tuple: these items, then the kept d's and firsts.
constexpr Py_ssize_t fixed_state_items = 6;

struct SwingSpec {
    using Kernel = SwingStream;
    static constexpr const char* name = "Swing";
    static constexpr const char* qualname = "ornivex.stream.Swing";
    static constexpr const char* doc =
        "Swing(period=14, multiplier=2.0)\n--\n\n"
        "QuorvelSwing().quorvel_swing(values, period, multiplier) one price at a\n"
        "time, in float64.  With d the move from the previous price (0.0 on the\n"
        "first bar), the range is the mean of the last 2 * period - 1 means of the\n"
        "last `period` d's, times `multiplier`; the range filter then steps with\n"
        "it.  Rows are (high band, low band, filter): (0.0, 0.0, price) on the\n"
        "first bar, NaN bands while the windows fill (the first 3 * (period - 1)\n"
        "bars), where the filter holds.\n\n"
        "period: a whole number of at least 1 (at most 2**31 - 1).\n"
        "multiplier: the range's factor, a finite number of at least 0.\n\n"
        "update(value) takes one price and returns its row; extend(values) takes a\n"
        "float64 array and returns its rows as an array of shape (k, 3).  State\n"
        "(pickles, __setstate__): (bars, previous price, the filter's stored value,\n"
        "the last row, then the last period - 1 d's and 2 * period - 2 first\n"
        "means), fewer of those while the windows fill.\n\n"
        "Example:\n"
        "    >>> swing = Swing(period=2)\n"
        "    >>> swing.update(10.0)\n"
        "    (0.0, 0.0, 10.0)\n";
    static constexpr const char* parameters[] = {"period", "multiplier"};
    static constexpr int required = 0;
    static constexpr const char* inputs[] = {"value"};
    static constexpr const char* chunks[] = {"values"};
    static constexpr bool promotion = false;
    static constexpr const ElementDescriptor& element = double_element;

    static std::optional<Kernel> make(PyObject* const* bound) {
        const auto given = bars_and_factor(name, bound, "period", "multiplier", {14, 2.0});
        if (!given) return err::propagate();
        return Kernel(given->bars, given->factor);
    }

    static Owned parameter_values(const Kernel& kernel) {
        return Owned::steal(Py_BuildValue("(Ld)", static_cast<long long>(kernel.period()), kernel.multiplier()));
    }

    // (bars, previous price, the filter's stored value, the last row as
    // shown (high band, low band, filter), then the kept d's and firsts).
    static Owned state(const Kernel& kernel) {
        const History &diffs = kernel.diffs(), &firsts = kernel.firsts();
        const FilterState& filter = kernel.filter();
        StateWriter writer(fixed_state_items + diffs.size() + firsts.size());
        writer.add_count(kernel.bars()).add(kernel.previous()).add(filter.prev);
        writer.add(filter.shown.hi_band).add(filter.shown.lo_band).add(filter.shown.range_filt);
        for (index_t k = 0; k < diffs.size(); ++k) writer.add(diffs.data()[k]);
        for (index_t k = 0; k < firsts.size(); ++k) writer.add(firsts.data()[k]);
        return writer.finish();
    }

    static bool restore(Kernel& kernel, PyObject* state) {
        const Py_ssize_t given = PyTuple_Check(state) ? PyTuple_GET_SIZE(state) : 0;
        StateReader reader(name, state, std::max(given, fixed_state_items));
        long long bars;
        double previous;
        FilterState filter;
        if (!reader || !reader.read_count(bars, 0, most_restored_bars) || !reader.read(previous) ||
            !reader.read(filter.prev) || !reader.read(filter.shown.hi_band) || !reader.read(filter.shown.lo_band) ||
            !reader.read(filter.shown.range_filt))
            return false;
        const index_t diff_count = kernel.diffs_after(bars), first_count = kernel.firsts_after(bars);
        if (given != fixed_state_items + diff_count + first_count)
            return err::state_value(name, "the windows must hold the values the bars so far leave");
        std::vector<double> windows(static_cast<std::size_t>(diff_count + first_count));
        for (double& value : windows) {
            if (!reader.read(value)) return false;
        }
        Kernel restored(kernel.period(), kernel.multiplier());
        restored.restore(bars, previous, filter, windows.data(), windows.data() + diff_count);
        kernel = std::move(restored);
        return true;
    }

    // The bar is computed, its result made, and only then kept.
    static Owned update(Kernel& kernel, const double* values, Promotion) {
        const SwingStream::Bar bar = kernel.next(values[0]);
        const FilterRow& row = bar.filter.shown;
        Owned result = Owned::steal(Py_BuildValue("(ddd)", row.hi_band, row.lo_band, row.range_filt));
        if (result) kernel.take(bar);
        return result;
    }

    // The (n, 3) transpose of a C-ordered (3, n) block, as the batch returns it.
    static Owned extend(Kernel& kernel, const ArrayView* views, Py_ssize_t n, Promotion) {
        npy_intp shape[2] = {3, n};
        Owned rows = Owned::steal(PyArray_SimpleNew(2, shape, NPY_DOUBLE));
        if (!rows) return Owned();
        Owned result = Owned::steal(PyArray_Transpose(reinterpret_cast<PyArrayObject*>(rows.get()), nullptr));
        if (!result) return Owned();
        double* const data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(rows.get())));
        const StridedView<const double> x = views[0].read<double>();
        const bool advanced = advance_without_gil(kernel, [&](Kernel& k) { k.extend(x, data); });
        return advanced ? std::move(result) : Owned();
    }
};

}  // namespace

bool define_swing(PyObject* module_dict) { return StreamClass<SwingSpec>::define(module_dict); }

}  // namespace ornivex::stream
