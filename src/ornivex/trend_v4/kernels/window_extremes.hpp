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
// Cost is O(n) whatever the amplitude: windows of up to 128 bars are scanned
// block by block with span doubling (floor(log2 w) + 1 vectorised passes over
// a cache-sized block), longer ones use the van Herk / Gil-Werman split into
// amplitude-sized blocks, where each window is one block's suffix combined
// with the next block's prefix (a bare max per step when the series hold no
// NaN).
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

// Windows up to this length are scanned block by block with span doubling;
// longer ones take the block method below (from about this length on the
// faster of the two on NaN-free series).
inline constexpr index_t doubling_scan_limit = 128;
inline constexpr index_t scan_block_length = 512;  // a multiple of 4
// A gathered block: up to doubling_scan_limit - 1 bars of lookback, the block,
// and room for the last vector's overrun.
inline constexpr index_t gathered_length = doubling_scan_limit - 1 + scan_block_length + 8;

inline f32x4 load4(const float* p) noexcept {
    f32x4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store4(float* p, f32x4 v) noexcept { std::memcpy(p, &v, sizeof v); }

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

inline index_t whole_vectors(index_t count) noexcept { return (count + 3) / 4 * 4; }

// Bars start - lookback .. start + length - 1 of x into buffer[0 ..], `fill`
// before bar 0 (the first windows grow) and after the last bar up to one
// vector past the last whole vector.
inline void gather_bars(StridedView<const float> x, index_t lookback, index_t start, index_t length, float fill,
                        float* buffer) noexcept {
    const index_t first = std::max<index_t>(start - lookback, 0);
    float* out = buffer + (first - (start - lookback));
    std::fill(buffer, out, fill);
    if (x.contiguous()) {
        std::memcpy(out, x.data() + first, (start + length - first) * sizeof(float));
        out += start + length - first;
    } else {
        for (index_t i = first; i < start + length; ++i) *out++ = x[i];
    }
    std::fill(out, buffer + whole_vectors(lookback + length) + 4, fill);
}

// later[k] becomes the extreme of earlier[k] and later[k], 4 at a time over
// whole vectors covering count.
template <class Extreme, bool may_hold_nan>
void span_pass(const float* earlier, const float* later, index_t count, float* out) noexcept {
    for (index_t k = 0; k < count; k += 4) {
        const f32x4 a = load4(earlier + k), b = load4(later + k);
        store4(out + k, may_hold_nan ? Extreme::pick(a, b) : Extreme::ordered(a, b));
    }
}

// Window extremes of one gathered block by span doubling: with m_s[j] the
// extreme of the s values ending at j, m_2s[j] = extreme(m_s[j-s], m_s[j]),
// and a window of w = 2^d + r values is extreme(m_2^d[j-r], m_2^d[j]) (the two
// spans overlap, which neither a maximum nor the later-zero tie rule minds).
// That is floor(log2 w) + (r > 0) vectorised passes per block.
// input: window - 1 values of lookback then the block's length values, valid
// through whole_vectors(window - 1 + length) + 4 (gather_bars); scratch: two
// buffers of gathered_length floats, initialised once when window > 2 (the
// last vector of a pass may read a few stale values; what it makes of them
// is never used; windows of 1 or 2 need no scratch); extreme: room for
// whole_vectors(length) + 4.
template <class Extreme, bool may_hold_nan>
void doubling_scan(const float* input, index_t window, index_t length, float* scratch,
                   float* extreme) noexcept {
    const index_t lookback = window - 1;
    const index_t end = whole_vectors(lookback + length);
    index_t span = 1;
    while (2 * span <= window) span *= 2;
    const index_t rest = window - span;
    // Pass offsets 1, 2, .., span / 2, then rest; each pass's results start
    // at the sum of the offsets so far, which ends at lookback.
    const float* current = input;
    index_t done = 0;
    float* next = scratch;
    auto pass = [&](index_t offset) {
        const bool last = done + offset == lookback;
        float* out = last ? extreme : next + done + offset;
        span_pass<Extreme, may_hold_nan>(current + done, current + done + offset, end - done - offset, out);
        if (last) return;
        done += offset;
        current = next;
        next = next == scratch ? scratch + gathered_length : scratch;
    };
    for (index_t offset = 1; offset < span; offset *= 2) pass(offset);
    if (rest > 0) pass(rest);
    if (window == 1) std::memcpy(extreme, input, whole_vectors(length) * sizeof(float));
}

template <class Extreme>
void scan_gathered(const float* input, index_t window, index_t length, float* scratch, float* extreme) noexcept {
    if (holds_nan(input, whole_vectors(window - 1 + length)))
        doubling_scan<Extreme, true>(input, window, length, scratch, extreme);
    else
        doubling_scan<Extreme, false>(input, window, length, scratch, extreme);
}

// Block by block over the whole series, for windows up to doubling_scan_limit.
template <class Extreme>
void doubling_scan_series(StridedView<const float> x, index_t window, StridedView<float> out) noexcept {
    const index_t n = x.size;
    alignas(16) float input[gathered_length];
    alignas(16) float scratch[2 * gathered_length];
    alignas(16) float extreme[scan_block_length + 8];
    if (window > 2) std::fill(scratch, scratch + 2 * gathered_length, Extreme::identity);
    for (index_t start = 0; start < n; start += scan_block_length) {
        const index_t length = std::min(scan_block_length, n - start);
        gather_bars(x, window - 1, start, length, Extreme::identity, input);
        scan_gathered<Extreme>(input, window, length, scratch, extreme);
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

inline bool series_holds_nan(StridedView<const float> x) noexcept {
    index_t i = 0;
    if (x.contiguous()) {
        i = x.size / 4 * 4;
        if (holds_nan(x.data(), i)) return true;
    }
    bool nan = false;
    for (; i < x.size; ++i) nan |= x[i] != x[i];
    return nan;
}

// Blocks [k*window, (k+1)*window).  First pass: out holds each bar's prefix
// extreme within its block.  Second pass, backwards: a running suffix extreme
// of the block holding the window's first bar is combined with the prefix
// extreme stored at the window's last bar.  Windows that start at bar 0 are
// block-0 prefixes already, so only out is needed: no scratch.  Without NaN
// the steps are a bare max, which shortens the dependent chains.
// Precondition: 1 <= window <= n.
template <bool may_hold_nan>
void block_scan(BarPairs bars, index_t n, index_t window, ExtremePairs out) noexcept {
    auto keep = [](f32x2 earlier, f32x2 later) {
        return may_hold_nan ? Highest::pick(earlier, later) : Highest::ordered(earlier, later);
    };
    for (index_t block = 0; block < n; block += window) {
        const index_t end = std::min(block + window, n);
        f32x2 prefix = bars[block];
        out.set(block, prefix);
        for (index_t i = block + 1; i < end; ++i) {
            prefix = keep(prefix, bars[i]);
            out.set(i, prefix);
        }
    }
    const index_t last_start = n - window;
    for (index_t block = last_start / window * window; block >= 0; block -= window) {
        const index_t block_last = block + window - 1;  // <= n - 1
        f32x2 suffix = bars[block_last];
        index_t s = block_last;
        for (; s > last_start; --s) suffix = keep(bars[s], suffix);
        for (; s >= block; --s) {
            suffix = keep(bars[s], suffix);
            const index_t i = s + window - 1;
            out.set(i, keep(suffix, out[i]));
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
    if (window <= window_detail::doubling_scan_limit) {
        window_detail::doubling_scan_series<window_detail::Highest>(high, window, high_price);
        window_detail::doubling_scan_series<window_detail::Lowest>(low, window, low_price);
    } else if (window_detail::series_holds_nan(high) || window_detail::series_holds_nan(low)) {
        window_detail::block_scan<true>(bars, n, window, out);
    } else {
        window_detail::block_scan<false>(bars, n, window, out);
    }
}

}  // namespace ornivex::trend
