// Moving mean over every complete window of `period` elements:
//     out[i] = 0.0 + x[i]*w + x[i+1]*w + ... + x[i+period-1]*w,   w = 1/period,
// each product rounded to double, then summed left to right from 0.0.
// Seed: none.  Every output is summed afresh from its own window; a running
// sum would let each output inherit the rounding of all earlier ones.
// NaN policy: a NaN in a window makes that output NaN; infinities follow IEEE
// (inf and -inf in one window give NaN).  period 0 gives 0.0 everywhere.
//
// Speed comes from two exact rewrites of that loop:
//   * x[k]*w does not depend on the window, so each product is formed once
//     per tile instead of once per window that covers it;
//   * consecutive outputs are independent, so vector lanes hold consecutive
//     outputs and every lane still adds its own window in index order.
// Both give the same bits as the plain per-window loop, and so do the 2-,
// 4- and 8-lane variants picked at run time from what the processor offers.
#pragma once

#include <algorithm>
#include <cstring>

#include "../../common/strided_view.hpp"

namespace ornivex::swing {

// Complete windows of `period` in `n` elements; negative when n < period - 1,
// a result size NumPy refuses.
constexpr index_t window_count(index_t n, index_t period) noexcept { return n - period + 1; }

// The weight NumPy gets from ones(period) / period.
constexpr double window_weight(index_t period) noexcept { return 1.0 / static_cast<double>(period); }

namespace window_detail {

// Consecutive doubles at any double-aligned address, free to alias plain
// doubles: a vector load or store wherever it is dereferenced.  Two lanes is
// what every x86-64 has, four needs AVX2 and eight AVX-512.
using lanes2 = double __attribute__((vector_size(16), aligned(8), may_alias));
using lanes4 = double __attribute__((vector_size(32), aligned(8), may_alias));
using lanes8 = double __attribute__((vector_size(64), aligned(8), may_alias));

template <class Lanes>
inline constexpr int width = sizeof(Lanes) / sizeof(double);

template <class Lanes>
[[gnu::always_inline]] inline const Lanes& lanes_at(const double* p) noexcept {
    return *reinterpret_cast<const Lanes*>(p);
}
template <class Lanes>
[[gnu::always_inline]] inline Lanes& lanes_at(double* p) noexcept {
    return *reinterpret_cast<Lanes*>(p);
}

// Outputs per tile and window positions per pass over a tile.  Products
// (tile + chunk - 1) and partial sums (tile) stay in L1: about 12 KiB of stack.
inline constexpr index_t tile_outputs = 512;
inline constexpr index_t chunk_positions = 512;

// products[t] = x[first + t] * weight for t < count.
template <class Lanes>
[[gnu::always_inline]] inline void form_products(StridedView<const double> x, index_t first, index_t count,
                                                 double weight, double* products) noexcept {
    index_t t = 0;
    if (x.contiguous()) {
        const double* src = x.data() + first;
        const Lanes w = Lanes{} + weight;
        for (; t + width<Lanes> <= count; t += width<Lanes>)
            lanes_at<Lanes>(products + t) = lanes_at<Lanes>(src + t) * w;
        for (; t < count; ++t) products[t] = src[t] * weight;
    } else {
        for (; t < count; ++t) products[t] = x[first + t] * weight;
    }
}

// Adds products[j .. j + chunk_len) to `Vectors` vectors of consecutive
// partial sums, j ascending; the sums stay in registers for the whole chunk.
template <class Lanes, int Vectors>
[[gnu::always_inline]] inline void add_chunk(double* sums, const double* products, index_t chunk_len,
                                             bool first_chunk) noexcept {
    constexpr int w = width<Lanes>;
    Lanes acc[Vectors];
#pragma GCC unroll 16
    for (int k = 0; k < Vectors; ++k) acc[k] = first_chunk ? Lanes{} : lanes_at<Lanes>(sums + w * k);
    for (index_t j = 0; j < chunk_len; ++j)
#pragma GCC unroll 16
        for (int k = 0; k < Vectors; ++k) acc[k] += lanes_at<Lanes>(products + j + w * k);
#pragma GCC unroll 16
    for (int k = 0; k < Vectors; ++k) lanes_at<Lanes>(sums + w * k) = acc[k];
}

template <class Lanes, int Vectors>
[[gnu::always_inline]] inline void window_mean_tiled(StridedView<const double> x, index_t period, double weight,
                                                     StridedView<double> out) noexcept {
    constexpr index_t group = width<Lanes> * Vectors;
    static_assert(tile_outputs % group == 0);
    alignas(64) double products[tile_outputs + chunk_positions - 1];
    alignas(64) double sums[tile_outputs];

    const index_t count = out.size;
    for (index_t start = 0; start < count; start += tile_outputs) {
        const index_t tile = std::min(tile_outputs, count - start);
        const index_t padded = (tile + group - 1) / group * group;
        if (period == 0) std::fill(sums, sums + tile, 0.0);  // empty windows
        for (index_t chunk_start = 0; chunk_start < period; chunk_start += chunk_positions) {
            const index_t chunk = std::min(chunk_positions, period - chunk_start);
            const index_t valid = tile + chunk - 1;
            form_products<Lanes>(x, start + chunk_start, valid, weight, products);
            // Lanes past the tile read zeros and are never stored.
            std::fill(products + valid, products + padded + chunk - 1, 0.0);
            for (index_t g = 0; g < padded; g += group)
                add_chunk<Lanes, Vectors>(sums + g, products + g, chunk, chunk_start == 0);
        }
        if (out.contiguous())
            std::memcpy(out.data() + start, sums, static_cast<std::size_t>(tile) * sizeof(double));
        else
            for (index_t i = 0; i < tile; ++i) out.set(start + i, sums[i]);
    }
}

// Eight vectors of sums: enough independent additions in flight to hide the
// adder's latency, few enough to leave registers for the loads.
inline void window_mean_portable(StridedView<const double> x, index_t period, double weight,
                                 StridedView<double> out) noexcept {
    window_mean_tiled<lanes2, 8>(x, period, weight, out);
}

#if defined(__GNUC__) && defined(__x86_64__)
#define ORNIVEX_SWING_X86_VARIANTS 1
[[gnu::target("avx2")]] inline void window_mean_avx2(StridedView<const double> x, index_t period, double weight,
                                                    StridedView<double> out) noexcept {
    window_mean_tiled<lanes4, 8>(x, period, weight, out);
}

[[gnu::target("avx512f")]] inline void window_mean_avx512(StridedView<const double> x, index_t period,
                                                         double weight, StridedView<double> out) noexcept {
    window_mean_tiled<lanes8, 8>(x, period, weight, out);
}
#endif

}  // namespace window_detail

// out.size must be window_count(x.size, period) >= 0, period >= 0 and
// `weight` window_weight(period).  `out` may be `x` itself (same base and
// stride): each tile is written only after every input it needs is read.
inline void window_mean(StridedView<const double> x, index_t period, double weight,
                        StridedView<double> out) noexcept {
#ifdef ORNIVEX_SWING_X86_VARIANTS
    if (__builtin_cpu_supports("avx512f")) {
        window_detail::window_mean_avx512(x, period, weight, out);
        return;
    }
    if (__builtin_cpu_supports("avx2")) {
        window_detail::window_mean_avx2(x, period, weight, out);
        return;
    }
#endif
    window_detail::window_mean_portable(x, period, weight, out);
}

}  // namespace ornivex::swing
