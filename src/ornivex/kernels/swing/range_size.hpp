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

    const auto part = [](auto view, index_t from, index_t size) {
        return decltype(view){view.base + from * view.stride, view.stride, size};
    };
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
        const StridedView<const double> window_diffs = local(diffs.get() + (start - from), count + halo);
        const StridedView<double> first = local(firsts.get(), count + plan.second_period - 1);
        window_mean(window_diffs, plan.period, window_weight(plan.period), first);
        const StridedView<double> second = part(out, plan.pad_length + start, count);
        window_mean(first, plan.second_period, window_weight(plan.second_period), second);
        pad_and_scale(second, range_multiplier, second);
    }
}

}  // namespace ornivex::swing
