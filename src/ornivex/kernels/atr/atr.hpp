// Average true range, in float64, one bar at a time.
//
//   true range = max(high - low, |high - previous close|, |low - previous close|)
//                just high - low where the previous close is NaN (and on the
//                first bar, which has none); NaN where high or low is NaN
//   k          = the number of bars with a true range so far, capped at length
//   atr        = tr on the first such bar, then atr + (tr - atr) / k
//
// Over the first `length` bars this is the running mean of the true ranges,
// from then on Wilder's smoothing with factor 1 / length.  A bar whose true
// range is NaN keeps the previous average (NaN before the first valid bar).
//
// The maxima skip a NaN operand and otherwise keep the first operand unless
// the second is greater (so a zero range of -0.0 against a +0.0 gap stays
// -0.0), as numpy.fmax does element by element.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "ornivex/common/lanes.hpp"
#include "ornivex/common/strided_view.hpp"

namespace ornivex::atr {

// x where `which` holds, else y, without branches: on one series' double a
// select on the bits (which the compiler keeps free of branches), on lanes
// of several series side by side a blend.
inline double pick(bool which, double x, double y) noexcept {
    const std::uint64_t mask = std::uint64_t{0} - which;
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(x) & mask) | (std::bit_cast<std::uint64_t>(y) & ~mask));
}
template <class T, class Which>
    requires(!std::is_same_v<T, double>)
[[gnu::always_inline]] inline T pick(Which which, T x, T y) noexcept {
    return which ? x : y;
}

// |x|, lane by lane: the sign bit cleared.
template <class V>
[[gnu::always_inline]] inline V magnitude(V x) noexcept {
    if constexpr (lane_count<V> == 1) {
        return std::fabs(x);
    } else {
        using Bits = LaneMask<V>;
        return reinterpret_cast<V>(reinterpret_cast<Bits>(x) & ~reinterpret_cast<Bits>(splat<V>(-0.0)));
    }
}

// max that skips a NaN operand; ties and zeros of either sign keep `a`.
// Without branches: which operand wins is as good as a coin toss on real
// prices, and a mispredicted branch costs more than the whole bar.
template <class V>
[[gnu::always_inline]] inline V max_skipping_nan(V a, V b) noexcept {
    return pick((a != a) | (b > a), b, a);
}

template <class V>
[[gnu::always_inline]] inline V true_range(V high, V low, V previous_close) noexcept {
    const V gap = max_skipping_nan(magnitude(high - previous_close), magnitude(low - previous_close));
    return pick((high != high) | (low != low), splat<V>(std::numeric_limits<double>::quiet_NaN()),
                max_skipping_nan(high - low, gap));
}

// Every bar's true range (the first bar has no previous close).
inline void true_ranges(StridedView<const double> high, StridedView<const double> low,
                        StridedView<const double> close, StridedView<double> out) noexcept {
    double previous_close = std::numeric_limits<double>::quiet_NaN();
    for (index_t i = 0; i < high.size; ++i) {
        out.set(i, true_range(high[i], low[i], previous_close));
        previous_close = close[i];
    }
}

// One bar: the state (count, average, previous close) moves on.  V is one
// series' double with an integer count, or lanes of several series side by
// side with their counts in double lanes (exact, far below 2^53).
template <class V, class Count>
[[gnu::always_inline]] inline void average_step(Count length, V tr, Count& count, V& average) noexcept {
    const auto counted = tr == tr;
    if constexpr (lane_count<V> == 1)
        if (!counted) return;  // one series: a branch as good as never taken, off the average's chain
    const Count next = count < length ? count + 1 : length;
    const V moved = next == 1 ? tr : average + (tr - average) / static_cast<V>(next);
    average = counted ? moved : average;
    count = counted ? next : count;
}

template <class V, class Count>
[[gnu::always_inline]] inline void atr_step(Count length, V high, V low, V close, Count& count, V& average,
                                            V& previous_close) noexcept {
    const V tr = true_range(high, low, previous_close);
    previous_close = close;
    average_step(length, tr, count, average);
}

// One series from its first bar: every bar's true range and average in one
// pass over the prices.  False when a price was NaN or infinite (x - x is
// NaN then, and the NaN stays in the sum).
[[gnu::noinline]] inline bool true_ranges_and_averages(std::int64_t length, StridedView<const double> high,
                                                      StridedView<const double> low,
                                                      StridedView<const double> close,
                                                      StridedView<double> ranges,
                                                      StridedView<double> averages) noexcept {
    std::int64_t count = 0;
    double average = std::numeric_limits<double>::quiet_NaN();
    double previous_close = std::numeric_limits<double>::quiet_NaN();
    double finite = 0.0;
    for (index_t i = 0; i < high.size; ++i) {
        const double h = high[i], l = low[i], c = close[i];
        const double tr = true_range(h, l, previous_close);
        previous_close = c;
        finite += (h - h) + (l - l) + (c - c);
        ranges.set(i, tr);
        average_step(length, tr, count, average);
        averages.set(i, average);
    }
    return finite == 0.0;
}

class AtrStream {
public:
    explicit AtrStream(std::int64_t length) noexcept : length_(length) {}

    std::int64_t length() const noexcept { return length_; }
    std::int64_t count() const noexcept { return count_; }
    double average() const noexcept { return average_; }
    double previous_close() const noexcept { return previous_close_; }
    void restore(std::int64_t count, double average, double previous_close) noexcept {
        count_ = count;
        average_ = average;
        previous_close_ = previous_close;
    }

    double update(double high, double low, double close) noexcept {
        atr_step(length_, high, low, close, count_, average_, previous_close_);
        return average_;
    }

    [[gnu::noinline]] void extend(StridedView<const double> high, StridedView<const double> low,
                                  StridedView<const double> close, StridedView<double> out) noexcept {
        std::int64_t count = count_;
        double average = average_, previous_close = previous_close_;
        for (index_t i = 0; i < high.size; ++i) {
            atr_step(length_, high[i], low[i], close[i], count, average, previous_close);
            out.set(i, average);
        }
        restore(count, average, previous_close);
    }

private:
    std::int64_t length_;
    std::int64_t count_ = 0;
    double average_ = std::numeric_limits<double>::quiet_NaN();
    double previous_close_ = std::numeric_limits<double>::quiet_NaN();  // no bar before the first
};

}  // namespace ornivex::atr
