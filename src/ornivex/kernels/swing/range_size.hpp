// Range size: the typical bar-to-bar move of a series, smoothed twice.
//     d[0] = 0.0,  d[i] = |arr[i] - arr[i-1]|
//     first  = window_mean(d, p)            n - p + 1 values
//     second = window_mean(first, 2p - 1)   n - 3p + 3 values
//     out[t] = NaN for t < 3(p - 1),  out[3(p - 1) + k] = second[k] * multiplier
// Seed: the fixed 0.0 at d[0] takes part in the first output.
// NaN policy: a NaN price poisons d at its own bar and the next, and with them
// every output whose windows reach those bars; the leading pad is quiet NaN.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>

#include "ornivex/common/lanes.hpp"
#include "ornivex/common/strided_view.hpp"
#include "ornivex/kernels/swing/window_mean.hpp"

namespace ornivex::swing {

// Output counts of the two smoothing passes, in 64-bit so that no int32
// period and no series length can overflow them.  Checked in this order,
// the first negative quantity is the one NumPy would refuse:
//   period < 0          -> the first weight vector
//   first_count < 0     -> the first result
//   second_period < 0   -> the second weight vector (period 0)
//   second_count < 0    -> the second result
struct RangeSizePlan {
    index_t period;
    index_t first_count;    // n - p + 1
    index_t second_period;  // 2p - 1
    index_t second_count;   // n - 3p + 3
    index_t pad_length;     // n - second_count, 3(p - 1) when feasible

    constexpr bool feasible() const noexcept {
        return period >= 0 && first_count >= 0 && second_period >= 0 && second_count >= 0;
    }
};

constexpr RangeSizePlan plan_range_size(index_t n, std::int32_t range_period) noexcept {
    const index_t p = range_period;
    const index_t first_count = window_count(n, p);
    const index_t second_period = 2 * p - 1;
    const index_t second_count = window_count(first_count, second_period);
    return {p, first_count, second_period, second_count, n - second_count};
}

// out[0] = 0.0, out[i] = |arr[i] - arr[i-1]|.  out.size >= arr.size; `out`
// must not overlap `arr`.  An empty series writes nothing.
inline void abs_diff(StridedView<const double> arr, StridedView<double> out) noexcept {
    const index_t n = arr.size;
    if (n == 0) return;
    out.set(0, 0.0);
    index_t i = 1;
    if (arr.contiguous() && out.contiguous()) {
        // Two bars at a time; fabs is clearing the sign bit, NaN included.
        using bits = Lanes<std::uint64_t, 2>;
        const bits magnitude = splat<bits>(~(std::uint64_t{1} << 63));
        const double* a = arr.data();
        double* d = out.data();
        for (; i + 2 <= n; i += 2) {
            const f64x2 delta = load<f64x2>(a + i) - load<f64x2>(a + i - 1);
            store(d + i, std::bit_cast<f64x2>(std::bit_cast<bits>(delta) & magnitude));
        }
    }
    for (; i < n; ++i) out.set(i, std::fabs(arr[i] - arr[i - 1]));
}

// out[0 .. pad) = NaN, out[pad + k] = second[k] * multiplier, where
// pad = out.size - second.size.  `second` may lie inside `out` at `pad`.
inline void pad_and_scale(StridedView<const double> second, double multiplier, StridedView<double> out) noexcept {
    const index_t pad = out.size - second.size;
    for (index_t k = 0; k < second.size; ++k) out.set(pad + k, second[k] * multiplier);
    for (index_t t = 0; t < pad; ++t) out.set(t, std::numeric_limits<double>::quiet_NaN());
}

// Range size's windows: p differences make a first mean, 2p - 1 first means
// a second.  A series' first range is on bar 3(p - 1): the (p - 1) + (2p - 2)
// bars before it fill the two windows.
constexpr index_t second_period_of(index_t period) noexcept { return 2 * period - 1; }

// Whether a series of n bars has any range (n >= 3(p - 1)), for 1 <= p,
// without overflow for any int64 period.
constexpr bool has_range_sizes(index_t n, index_t period) noexcept { return period - 1 <= n / 3; }

// Differences and first means a series keeps for its next bars after `bars`
// bars: the last p - 1 differences and 2p - 2 first means, fewer until that
// many exist.
constexpr index_t diffs_kept_after(std::int64_t bars, index_t period) noexcept {
    return std::min<std::int64_t>(bars, period - 1);
}
constexpr index_t firsts_kept_after(std::int64_t bars, index_t period) noexcept {
    return std::clamp<std::int64_t>(bars - (period - 1), 0, second_period_of(period) - 1);
}

// The differences of a stretch of bars that continues a series: out[0] =
// |arr[0] - previous|, or 0.0 on the series' first bar (`first_bar`), then as
// abs_diff.
inline void abs_diff_after(double previous, bool first_bar, StridedView<const double> arr,
                           StridedView<double> out) noexcept {
    abs_diff(arr, out);
    if (arr.size > 0 && !first_bar) out.set(0, std::fabs(arr[0] - previous));
}

// The two means and the scale over a stretch of differences: `diffs` (oldest
// first) become window_count(diffs.size, p) new first means, written after the
// `kept` ones already at the start of `firsts`; the first means make the
// second means, times `multiplier`, in the last of `out`'s elements, and the
// elements before them (bars whose windows are not full yet) are NaN.
// Returns the number of first means now in `firsts`.  Throws std::bad_alloc
// for window_mean's scratch, nothing else.
inline index_t range_size_means(StridedView<const double> diffs, index_t period, double multiplier, double* firsts,
                                index_t kept, StridedView<double> out) {
    const auto local = [](double* data, index_t size) {
        return StridedView<double>{reinterpret_cast<char*>(data), sizeof(double), size};
    };
    const index_t second_period = second_period_of(period);
    const index_t new_firsts = std::max<index_t>(window_count(diffs.size, period), 0);
    window_mean(diffs, period, window_weight(period), local(firsts + kept, new_firsts));
    const index_t first_count = kept + new_firsts;
    const index_t seconds = std::max<index_t>(window_count(first_count, second_period), 0);
    const StridedView<double> second = part(out, out.size - seconds, seconds);
    window_mean(local(firsts, first_count), second_period, window_weight(second_period), second);
    pad_and_scale(second, multiplier, out);
    return first_count;
}

// The whole range size of `arr` into `out` (out.size == arr.size, no overlap).
// Requires plan_range_size(arr.size, range_period).feasible().  The result is
// made block by block, so that a block's differences and first means stay in
// cache: each block recomputes the 3p - 3 differences and 2p - 2 first means
// it shares with the next one, which costs little next to streaming two whole
// intermediate series through memory (and it leaves the memory bus to a
// second thread).  Every window is summed the same way wherever it falls, so
// no bit depends on the block size.  Throws std::bad_alloc for its scratch,
// nothing else.
inline void range_size_pass(StridedView<const double> arr, std::int32_t range_period, double range_multiplier,
                       StridedView<double> out) {
    const RangeSizePlan plan = plan_range_size(arr.size, range_period);
    pad_and_scale({}, range_multiplier, {out.base, out.stride, plan.pad_length});
    if (plan.second_count == 0) return;  // all padding

    const auto local = [](double* data, index_t size) {
        return StridedView<double>{reinterpret_cast<char*>(data), sizeof(double), size};
    };
    const index_t halo = plan.period + plan.second_period - 2;  // extra differences a block reads
    const index_t block = std::min(plan.second_count, std::max<index_t>(1024, 4 * halo));
    const std::unique_ptr<double[]> diffs(new double[static_cast<std::size_t>(block + halo + 1)]);
    const std::unique_ptr<double[]> firsts(new double[static_cast<std::size_t>(block + plan.second_period - 1)]);
    for (index_t start = 0; start < plan.second_count; start += block) {
        const index_t count = std::min(block, plan.second_count - start);
        // Differences start .. start + count + halo - 1.  After the first block
        // the prices begin one bar early, and the 0.0 that abs_diff puts
        // first is dropped.
        const index_t from = start == 0 ? 0 : start - 1;
        const StridedView<const double> prices = part(arr, from, start + count + halo - from);
        abs_diff(prices, local(diffs.get(), prices.size));
        range_size_means(local(diffs.get() + (start - from), count + halo), plan.period, range_multiplier,
                         firsts.get(), 0, part(out, plan.pad_length + start, count));
    }
}

}  // namespace ornivex::swing
