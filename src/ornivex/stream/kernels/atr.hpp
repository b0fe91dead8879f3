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

#include "ornivex/common/strided_view.hpp"

namespace ornivex::stream {

// x where `which` holds, else y: a select on the bits, which the compiler
// keeps free of branches.
inline double pick(bool which, double x, double y) noexcept {
    const std::uint64_t mask = std::uint64_t{0} - which;
    return std::bit_cast<double>((std::bit_cast<std::uint64_t>(x) & mask) | (std::bit_cast<std::uint64_t>(y) & ~mask));
}

// max that skips a NaN operand; ties and zeros of either sign keep `a`.
// Without branches: which operand wins is as good as a coin toss on real
// prices, and a mispredicted branch costs more than the whole bar.
inline double max_skipping_nan(double a, double b) noexcept {
    return pick(a != a || b > a, b, a);
}

inline double true_range(double high, double low, double previous_close) noexcept {
    if (high != high || low != low) return std::numeric_limits<double>::quiet_NaN();
    const double gap = max_skipping_nan(std::fabs(high - previous_close), std::fabs(low - previous_close));
    return max_skipping_nan(high - low, gap);
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
        step(length_, high, low, close, count_, average_, previous_close_);
        return average_;
    }

    [[gnu::noinline]] void extend(StridedView<const double> high, StridedView<const double> low,
                                  StridedView<const double> close, StridedView<double> out) noexcept {
        std::int64_t count = count_;
        double average = average_, previous_close = previous_close_;
        for (index_t i = 0; i < high.size; ++i) {
            step(length_, high[i], low[i], close[i], count, average, previous_close);
            out.set(i, average);
        }
        restore(count, average, previous_close);
    }

    // One bar: the state (count, average, previous close) moves on.  Also
    // stepped directly, on local state, where several series go side by side.
    static void step(std::int64_t length, double high, double low, double close, std::int64_t& count,
                     double& average, double& previous_close) noexcept {
        const double tr = true_range(high, low, previous_close);
        previous_close = close;
        if (tr == tr) {
            count = count < length ? count + 1 : length;
            average = count == 1 ? tr : average + (tr - average) / static_cast<double>(count);
        }
    }

private:
    std::int64_t length_;
    std::int64_t count_ = 0;
    double average_ = std::numeric_limits<double>::quiet_NaN();
    double previous_close_ = std::numeric_limits<double>::quiet_NaN();  // no bar before the first
};

}  // namespace ornivex::stream
