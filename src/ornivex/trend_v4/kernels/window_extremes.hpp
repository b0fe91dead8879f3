// Rolling window extremes over `amplitude` bars:
//
//   high_price[i] = max high[j],  low_price[i] = min low[j],
//   over max(0, i - amplitude + 1) <= j <= i,  for every i in 0 .. n-1.
//
// The first amplitude-1 windows grow from bar 0; an amplitude beyond n only
// means that every window is a growing one.  NaN policy: a NaN anywhere in a
// window makes that window's extreme NaN (as numpy.max / numpy.min do).
//
// Ties: when the extreme is a zero and the window holds both +0.0 and -0.0,
// the later bar's zero is returned.  numpy.max / numpy.min over a float32
// slice do the same for every slice of up to 4 elements, on every CPU and in
// every layout (measured with NumPy 2.5 and 1.26 at the SSE, AVX2 and AVX-512
// levels).  Longer slices depend on the CPU: a contiguous one keeps the later
// zero only up to as many elements as NumPy's vectors have float lanes (4 with
// SSE, 8 with AVX2, 16 with AVX-512), a strided one up to 16, and past 16 the
// choice varies with the SIMD level in every layout.  The rule here stays the
// later zero for every window length.
//
// Cost is O(n) whatever the amplitude: short windows are scanned directly
// (a few vectorised passes over a cache-sized block), long ones use the van
// Herk / Gil-Werman split into amplitude-sized blocks, where each window is
// one block's suffix combined with the next block's prefix.
#pragma once

#include <algorithm>
#include <cstring>
#include <limits>

#include "ornivex/common/strided_view.hpp"
#include "ornivex/trend_v4/kernels/float_lanes.hpp"

namespace ornivex::trend {

namespace window_detail {

// NaN-propagating maximum and minimum, lane by lane, with the value that never
// wins as padding.  Operands go in bar order, `earlier` first: `earlier > later
// ? earlier : later` (one maxps) returns the later operand on a tie and when it
// is NaN; the outer select keeps a NaN earlier.  Vector selects compile to
// masks, never to branches.  `ordered` is the bare max/min, for inputs known
// free of NaN.
struct Highest {
    static constexpr float identity = -std::numeric_limits<float>::infinity();
    template <class V>
    static V ordered(V earlier, V later) noexcept { return earlier > later ? earlier : later; }
    template <class V>
    static V pick(V earlier, V later) noexcept {
        return earlier != earlier ? earlier : ordered(earlier, later);
    }
};

struct Lowest {
    static constexpr float identity = std::numeric_limits<float>::infinity();
    template <class V>
    static V ordered(V earlier, V later) noexcept { return earlier < later ? earlier : later; }
    template <class V>
    static V pick(V earlier, V later) noexcept {
        return earlier != earlier ? earlier : ordered(earlier, later);
    }
};

// Windows up to this length are scanned directly: window-1 vectorised passes
// beat the dependent steps per bar of the block method.
inline constexpr index_t direct_scan_limit = 8;
inline constexpr index_t block_length = 1024;  // a multiple of 4

inline f32x4 load4(const float* p) noexcept {
    f32x4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// count is a multiple of 4.
inline bool holds_nan(const float* p, index_t count) noexcept {
    f32x4 unordered{};
    for (index_t k = 0; k < count; k += 4) {
        const f32x4 v = load4(p + k);
        unordered = v != v ? v : unordered;
    }
    return (unordered[0] != unordered[0]) | (unordered[1] != unordered[1]) |
           (unordered[2] != unordered[2]) | (unordered[3] != unordered[3]);
}

// extreme[j] = extreme of input[j .. j+lookback], for j < length (a multiple
// of 4; input holds lookback + length values).
template <class Extreme, bool may_hold_nan>
void scan_block(const float* input, index_t lookback, index_t length, float* extreme) noexcept {
    for (index_t j = 0; j < length; j += 4) {
        f32x4 e = load4(input + lookback + j);
        for (index_t back = 1; back <= lookback; ++back) {
            const f32x4 earlier = load4(input + (lookback - back) + j);
            e = may_hold_nan ? Extreme::pick(earlier, e) : Extreme::ordered(earlier, e);
        }
        std::memcpy(extreme + j, &e, sizeof e);
    }
}

// Extremes of bars start .. start+length-1 (length <= block_length) into
// extreme[0 ..]: gather the bars and their lookback into a contiguous buffer
// (padding before bar 0 makes the first windows grow, padding after the last
// bar fills the last vector), then scan it.
template <class Extreme>
void scan_window_block(StridedView<const float> x, index_t window, index_t start, index_t length,
                       float* extreme) noexcept {
    const index_t lookback = window - 1;
    float input[direct_scan_limit - 1 + block_length + 4];
    const index_t padded = (length + 3) / 4 * 4;
    const index_t first = std::max<index_t>(start - lookback, 0);
    float* in = input + (first - (start - lookback));
    std::fill(input, in, Extreme::identity);
    if (x.contiguous()) {
        std::memcpy(in, x.data() + first, (start + length - first) * sizeof(float));
        in += start + length - first;
    } else {
        for (index_t i = first; i < start + length; ++i) *in++ = x[i];
    }
    const index_t filled = (lookback + padded + 3) / 4 * 4;
    std::fill(in, input + filled, Extreme::identity);
    if (holds_nan(input, filled))
        scan_block<Extreme, true>(input, lookback, padded, extreme);
    else
        scan_block<Extreme, false>(input, lookback, padded, extreme);
}

template <class Extreme>
void direct_scan(StridedView<const float> x, index_t window, StridedView<float> out) noexcept {
    const index_t n = x.size;
    float extreme[block_length];
    for (index_t start = 0; start < n; start += block_length) {
        const index_t length = std::min(block_length, n - start);
        scan_window_block<Extreme>(x, window, start, length, extreme);
        if (out.contiguous())
            std::memcpy(out.data() + start, extreme, length * sizeof(float));
        else
            for (index_t j = 0; j < length; ++j) out.set(start + j, extreme[j]);
    }
}

// The block method runs dependent steps per bar, so it takes high and low
// together as float pairs (high, -low): the lowest low is minus the highest
// negated low (negation is exact), and the two chains overlap.
struct BarPairs {
    StridedView<const float> high, low;

    f32x2 operator[](index_t i) const noexcept { return f32x2{high[i], -low[i]}; }
};

struct ExtremePairs {
    StridedView<float> high_price, low_price;

    void set(index_t i, f32x2 v) const noexcept {
        high_price.set(i, v[0]);
        low_price.set(i, -v[1]);
    }
    f32x2 operator[](index_t i) const noexcept { return f32x2{high_price[i], -low_price[i]}; }
};

// Blocks [k*window, (k+1)*window).  First pass: out holds each bar's prefix
// extreme within its block.  Second pass, backwards: a running suffix extreme
// of the block holding the window's first bar is combined with the prefix
// extreme stored at the window's last bar.  Windows that start at bar 0 are
// block-0 prefixes already, so only out is needed: no scratch.
// Precondition: 1 <= window <= n.
inline void block_scan(BarPairs bars, index_t n, index_t window, ExtremePairs out) noexcept {
    for (index_t block = 0; block < n; block += window) {
        const index_t end = std::min(block + window, n);
        f32x2 prefix = bars[block];
        out.set(block, prefix);
        for (index_t i = block + 1; i < end; ++i) {
            prefix = Highest::pick(prefix, bars[i]);
            out.set(i, prefix);
        }
    }
    const index_t last_start = n - window;
    for (index_t block = last_start / window * window; block >= 0; block -= window) {
        const index_t block_last = block + window - 1;  // <= n - 1
        f32x2 suffix = bars[block_last];
        index_t s = block_last;
        for (; s > last_start; --s) suffix = Highest::pick(bars[s], suffix);
        for (; s >= block; --s) {
            suffix = Highest::pick(bars[s], suffix);
            const index_t i = s + window - 1;
            out.set(i, Highest::pick(suffix, out[i]));
        }
    }
}

}  // namespace window_detail

// Precondition: amplitude >= 1; all four views of equal size; the outputs
// overlap neither input.
inline void rolling_max_min(StridedView<const float> high, StridedView<const float> low,
                            index_t amplitude, StridedView<float> high_price,
                            StridedView<float> low_price) noexcept {
    const index_t n = high.size;
    if (n == 0 || amplitude < 1) return;
    const index_t window = std::min(amplitude, n);
    const window_detail::BarPairs bars{high, low};
    const window_detail::ExtremePairs out{high_price, low_price};
    if (window <= window_detail::direct_scan_limit) {
        window_detail::direct_scan<window_detail::Highest>(high, window, high_price);
        window_detail::direct_scan<window_detail::Lowest>(low, window, low_price);
    } else {
        window_detail::block_scan(bars, n, window, out);
    }
}

}  // namespace ornivex::trend
