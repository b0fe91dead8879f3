// Moving mean over every complete window of `period` elements:
//     out[i] = x[i]*w + x[i+1]*w + ... + x[i+period-1]*w,   w = 1/period,
// each product rounded to double.  Seed: none.
// NaN policy: a NaN in a window makes that output NaN; infinities follow IEEE
// (inf and -inf in one window give NaN).  period 0 gives 0.0 everywhere.
//
// How each window is summed: as a tree over its own products, the same tree
// for every window.  Write period in binary, 14 = 8 + 4 + 2: the window is
// cut into pieces of those sizes, largest first, each piece the sum of two
// halves, and the pieces are added smallest first:
//     out[i] = s8[i] + (s4[i+8] + (0.0 + s2[i+12])),   s2h[k] = sh[k] + sh[k+h]
// The piece sums of one size serve every window (s4[k] is one piece of each
// window that starts at k - 8, k - 10, ...), so a tile of windows costs
// about log2(period) + popcount(period) vector additions per output instead
// of period.  Every output is still a sum of its own window's products only,
// so no rounding carries along the series; and a tree's rounding error grows
// with log2(period), where a left-to-right sum's grows with period.
// Periods up to 3 add in plain index order.  The leading 0.0 makes a window
// of -0.0 sum to +0.0, as a sum started from 0.0 does.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>

#include "ornivex/common/instruction_sets.hpp"
#include "ornivex/common/lanes.hpp"
#include "ornivex/common/strided_view.hpp"

namespace ornivex::swing {

// Complete windows of `period` in `n` elements; negative when n < period - 1,
// a result size NumPy refuses.
constexpr index_t window_count(index_t n, index_t period) noexcept { return n - period + 1; }

// The weight NumPy gets from ones(period) / period.
constexpr double window_weight(index_t period) noexcept { return 1.0 / static_cast<double>(period); }

// The sum of the `size` products window[start + j] * weight (size a power of
// two): its two halves, each summed the same way.
template <class Window>
inline double piece_sum(const Window& window, index_t start, index_t size, double weight) noexcept {
    if (size == 1) return window[start] * weight;
    const index_t half = size / 2;
    return piece_sum(window, start, half, weight) + piece_sum(window, start + half, half, weight);
}

// The mean of one window, window[0] .. window[period - 1], with exactly the
// bits window_mean gives the window that starts there: the same pieces
// (largest first) added smallest first onto 0.0.  For a caller that meets
// one window at a time; `window` is anything with operator[] (a pointer, a
// StridedView, a ring buffer read oldest first).  O(period).
template <class Window>
inline double mean_of_window(const Window& window, index_t period, double weight) noexcept {
    double sum = 0.0;
    for (index_t size = 1; size <= period; size *= 2)
        if (period & size) sum = piece_sum(window, period & ~(2 * size - 1), size, weight) + sum;
    return sum;
}

namespace window_mean_detail {

// Outputs per tile: its products and piece sums stay in cache.
inline constexpr index_t tile_outputs = 1024;

// Scratch for one tile: the piece sums (the tile's products to begin with,
// with a vector of slack) and the tile's sums of pieces.
inline index_t scratch_size(index_t period) noexcept { return 2 * tile_outputs + period + 8; }

template <class V>
[[gnu::always_inline]] inline void window_mean_tiled(StridedView<const double> x, index_t period, double weight,
                                                     StridedView<double> out, double* scratch) noexcept {
    constexpr index_t w = lane_count<V>;
    double* const pieces = scratch;
    double* const sums = scratch + tile_outputs + period + 8;
    const V weights = splat<V>(weight);

    for (index_t start = 0; start < out.size; start += tile_outputs) {
        const index_t tile = std::min(tile_outputs, out.size - start);
        const index_t lanes_end = (tile + w - 1) / w * w;  // lanes past the tile are never stored
        index_t valid = lanes_end + period - 1;            // products the windows of the tile reach
        const index_t present = std::min(valid, x.size - start);
        index_t k = 0;
        if (x.contiguous()) {
            const double* src = x.data() + start;
            for (; k + w <= present; k += w) store(pieces + k, load<V>(src + k) * weights);
        }
        for (; k < present; ++k) pieces[k] = x[start + k] * weight;
        std::fill(pieces + present, pieces + valid + w, 0.0);

        bool first_piece = true;
        for (index_t h = 1; h <= period; h *= 2) {  // `pieces` holds sums of h products
            if (period & h) {
                const index_t offset = period & ~(2 * h - 1);  // the larger pieces come first
                const double* piece = pieces + offset;
                for (index_t i = 0; i < lanes_end; i += w)
                    store(sums + i, load<V>(piece + i) + (first_piece ? V{} : load<V>(sums + i)));
                first_piece = false;
            }
            if (2 * h <= period) {
                valid -= h;  // sums of 2h products, formed in place from the front
                for (index_t i = 0; i < valid; i += w) store(pieces + i, load<V>(pieces + i) + load<V>(pieces + i + h));
            }
        }
        if (period == 0) std::fill(sums, sums + tile, 0.0);  // empty windows

        if (out.contiguous())
            std::memcpy(out.data() + start, sums, static_cast<std::size_t>(tile) * sizeof(double));
        else
            for (index_t i = 0; i < tile; ++i) out.set(start + i, sums[i]);
    }
}

// The tiles in vectors of the instruction set's register width, at most
// AVX2's four doubles: the tile loops are all loads, adds and stores, and
// AVX-512's eight-lane build of them (whole vectors, nothing scalar) measured
// 5 to 20% slower than four lanes on an AVX-512 processor (bench/swing_kernels.cpp).
struct WindowMeanKernel {
    static constexpr InstructionSet widest = InstructionSet::avx2;

    template <InstructionSet S>
    static void run(StridedView<const double> x, index_t period, double weight, StridedView<double> out,
                    double* scratch) noexcept {
        window_mean_tiled<RegisterLanes<double, S>>(x, period, weight, out, scratch);
    }
};

}  // namespace window_mean_detail

// out.size must be window_count(x.size, period) >= 0, period >= 0 and
// `weight` window_weight(period).  `out` may be `x` itself (same base and
// stride): each tile is written only after every input it needs is read.
// Every lane width gives the same bits.  Throws std::bad_alloc for its
// scratch (about 3 tiles and one window), nothing else.
inline void window_mean(StridedView<const double> x, index_t period, double weight, StridedView<double> out) {
    if (out.size <= 0) return;
    using namespace window_mean_detail;
    const std::unique_ptr<double[]> scratch(new double[static_cast<std::size_t>(scratch_size(period))]);
    run_kernel<WindowMeanKernel>(x, period, weight, out, scratch.get());
}

}  // namespace ornivex::swing
