// HalfTrend(amplitude=2, channel_deviation=2.0): trend_v4.halftrend one bar
// at a time, fed (high, low, close, tr) in float32.
#include <Python.h>

#include <algorithm>
#include <cstdint>

#include "ornivex/common/instruction_sets.hpp"
#include "ornivex/stream/classes.hpp"
#include "ornivex/stream/state/halftrend.hpp"
#include "ornivex/stream/stream_class.hpp"

namespace ornivex::stream {

namespace {

using trend::halftrend::Phase;

// The state tuple: these items, then the window's bars oldest first as
// (high, low) pairs, min(bars, amplitude) of them.
constexpr Py_ssize_t fixed_state_items = 17;

// halftrend's keys, in its order, interned when the class is defined.
constexpr const char* result_key_texts[7] = {"halftrend", "atrHigh", "atrLow", "arrowUp", "arrowDown", "buy", "sell"};
PyObject* result_keys[7];

Owned bar_tuple(const HalfTrendBar& bar) {
    return Owned::steal(Py_BuildValue("(dddddii)", double{bar.halftrend}, double{bar.atr_high}, double{bar.atr_low},
                                      double{bar.arrow_up}, double{bar.arrow_down}, int{bar.buy}, int{bar.sell}));
}

// {"halftrend", ..., "sell"}: halftrend's keys and dtypes (float32, and
// int64 for the signals).
struct ChunkResult {
    Owned arrays[7];

    bool allocate(Py_ssize_t n) {
        for (int k = 0; k < 7; ++k) {
            arrays[k] = new_array(n, k < 5 ? NPY_FLOAT : NPY_INT64);
            if (!arrays[k]) return false;
        }
        return true;
    }

    HalfTrendOutputs outputs() const noexcept {
        return {data<float>(0), data<float>(1), data<float>(2), data<float>(3), data<float>(4),
                data<std::int64_t>(5), data<std::int64_t>(6)};
    }

    template <class T>
    T* data(int k) const noexcept {
        return static_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arrays[k].get())));
    }

    Owned to_dict() const {
        Owned dict = Owned::steal(PyDict_New());
        for (int k = 0; dict && k < 7; ++k) {
            if (PyDict_SetItem(dict.get(), result_keys[k], arrays[k].get()) < 0) return Owned();
        }
        return dict;
    }
};

// A chunk's bars, built per instruction set as the batch pass is (AVX2's
// three-operand forms spare register copies; the same float32 operations in
// the same order, so the same bits).
struct ChunkKernel {
    static constexpr InstructionSet widest = InstructionSet::avx2;

    template <InstructionSet>
    static void run(HalfTrendStream& kernel, const HalfTrendInputs& in, const HalfTrendOutputs& out,
                    Promotion promotion) {
        if (promotion == Promotion::weak_float32)
            kernel.extend<Promotion::weak_float32>(in, out);
        else
            kernel.extend<Promotion::legacy_double>(in, out);
    }
};

struct HalfTrendSpec {
    using Kernel = HalfTrendStream;
    static constexpr const char* name = "HalfTrend";
    static constexpr const char* qualname = "ornivex.stream.HalfTrend";
    static constexpr const char* doc =
        "HalfTrend(amplitude=2, channel_deviation=2.0)\n--\n\n"
        "trend_v4.halftrend(high, low, close, tr, amplitude, channel_deviation)\n"
        "one bar at a time, in float32: each bar goes through the same per-bar\n"
        "rules as the whole-series function, bit for bit.\n\n"
        "amplitude: the window of bars whose extremes the trend follows, a whole\n"
        "number of at least 1 (at most 2**31 - 1).\n"
        "channel_deviation: the channel's width in multiples of half the range\n"
        "input tr, a finite number of at least 0.\n\n"
        "update(high, low, close, tr) takes one bar and returns its (halftrend,\n"
        "atrHigh, atrLow, arrowUp, arrowDown, buy, sell); extend(high, low, close,\n"
        "tr) takes float32 arrays and returns halftrend's dict for them.\n\n"
        "State (pickles, __setstate__): (bars, phase, max_low_price,\n"
        "min_high_price, line, high, low, high_price, low_price, the tema3 stages\n"
        "e1..e4 of high and low, then the last min(bars, amplitude) bars as high,\n"
        "low pairs, oldest first).\n\n"
        "Example:\n"
        "    >>> trend = HalfTrend(amplitude=2)\n"
        "    >>> trend.update(10.0, 9.0, 9.5, 1.0)[:3]\n"
        "    (9.0, 10.0, 8.0)\n";
    static constexpr const char* parameters[] = {"amplitude", "channel_deviation"};
    static constexpr int required = 0;
    static constexpr const char* inputs[] = {"high", "low", "close", "tr"};
    static constexpr const char* chunks[] = {"high", "low", "close", "tr"};
    static constexpr bool promotion = true;
    static constexpr const ElementDescriptor& element = float32_element;

    static std::optional<Kernel> make(PyObject* const* bound) {
        const auto given = bars_and_factor(name, bound, "amplitude", "channel_deviation", {2, 2.0});
        if (!given) return err::propagate();
        return Kernel(given->bars, given->factor);
    }

    static Owned parameter_values(const Kernel& kernel) {
        return Owned::steal(
            Py_BuildValue("(Ld)", static_cast<long long>(kernel.amplitude()), kernel.channel_deviation()));
    }

    // (bars, phase (0 start, 1 up, 2 down), max_low_price, min_high_price,
    // line, high, low, high_price, low_price of the last bar, the four tema3
    // stages as (high, low) pairs, then the window's bars).
    static Owned state(const Kernel& kernel) {
        const HalfTrendState& s = kernel.state();
        const auto& window = s.window;
        StateWriter writer(fixed_state_items + 2 * window.size());
        writer.add_count(s.bars).add_count(static_cast<long long>(s.trend.phase));
        writer.add(s.trend.max_low_price).add(s.trend.min_high_price).add(s.line);
        writer.add(s.high).add(s.low).add(s.high_price).add(s.low_price);
        for (const auto& stage : {s.smoothing.e1, s.smoothing.e2, s.smoothing.e3, s.smoothing.e4})
            writer.add(stage[0]).add(stage[1]);
        for (index_t k = 0; k < window.size(); ++k) writer.add(window.high(k)).add(window.low(k));
        return writer.finish();
    }

    static bool restore(Kernel& kernel, PyObject* state) {
        const Py_ssize_t given = PyTuple_Check(state) ? PyTuple_GET_SIZE(state) : 0;
        StateReader reader(name, state, std::max(given, fixed_state_items));
        HalfTrendState s(kernel.amplitude());
        long long bars, phase;
        if (!reader || !reader.read_count(bars, 0, most_restored_bars) || !reader.read_count(phase, 0, 2) ||
            !reader.read(s.trend.max_low_price) || !reader.read(s.trend.min_high_price) || !reader.read(s.line) ||
            !reader.read(s.high) || !reader.read(s.low) || !reader.read(s.high_price) || !reader.read(s.low_price))
            return false;
        for (auto* stage : {&s.smoothing.e1, &s.smoothing.e2, &s.smoothing.e3, &s.smoothing.e4}) {
            float high, low;
            if (!reader.read(high) || !reader.read(low)) return false;
            *stage = f32x2{high, low};
        }
        const index_t window_bars = std::min<long long>(bars, kernel.amplitude());
        if (given != fixed_state_items + 2 * window_bars)
            return err::state_value(name, "the window must hold min(bars, amplitude) bars");
        for (index_t k = 0; k < window_bars; ++k) {
            float high, low;
            if (!reader.read(high) || !reader.read(low)) return false;
            s.window.push(high, low);
        }
        s.bars = bars;
        s.trend.phase = static_cast<Phase>(phase);
        kernel.restore(std::move(s));
        return true;
    }

    // The bar is stepped in place (a failed step changes nothing); only
    // running out of memory for the result tuple leaves it taken.
    static Owned update(Kernel& kernel, const double* values, Promotion promotion) {
        const float high = static_cast<float>(values[0]), low = static_cast<float>(values[1]);
        const float close = static_cast<float>(values[2]), tr = static_cast<float>(values[3]);
        const HalfTrendBar bar = promotion == Promotion::weak_float32
                                     ? kernel.update<Promotion::weak_float32>(high, low, close, tr)
                                     : kernel.update<Promotion::legacy_double>(high, low, close, tr);
        return bar_tuple(bar);
    }

    static Owned extend(Kernel& kernel, const ArrayView* views, Py_ssize_t n, Promotion promotion) {
        ChunkResult result;
        if (!result.allocate(n)) return Owned();
        Owned dict = result.to_dict();  // before the state moves on
        if (!dict) return Owned();
        const HalfTrendInputs in{views[0].read<float>(), views[1].read<float>(), views[2].read<float>(),
                                 views[3].read<float>()};
        const HalfTrendOutputs out = result.outputs();
        const bool advanced = advance_without_gil(kernel, [&](Kernel& k) { run_kernel<ChunkKernel>(k, in, out, promotion); });
        return advanced ? std::move(dict) : Owned();
    }
};

}  // namespace

bool define_halftrend(PyObject* module_dict) {
    return intern_all(result_key_texts, result_keys, 7) && StreamClass<HalfTrendSpec>::define(module_dict);
}

}  // namespace ornivex::stream
