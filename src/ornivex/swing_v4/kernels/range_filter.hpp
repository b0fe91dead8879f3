// Range filter: a stepped line that follows the price only when the price
// leaves a band of half-width r around it.  With prev the stored value of
// the previous bar:
//     price above prev:  filt = max(prev, x - r)   (may rise, never falls)
//     otherwise:         filt = min(prev, x + r)   (may fall, never rises)
//     hi = r + filt,  lo = filt - r
// Seed: filt[0] = x[0] bit for bit; hi[0] = lo[0] = 0.0.
// NaN policy: a NaN range holds nz(prev) (NaN becomes 0.0) and leaves both
// bands NaN.  Every comparison with NaN is false, so a NaN price falls to the
// downward branch and holds prev, and a NaN prev (only ever from x[0]) is
// carried along until a NaN range resets it.  Afterwards each NaN filter
// bar takes all three values of the bar before it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "../../common/strided_view.hpp"
#include "clamp_scan.hpp"
#include "double_lanes.hpp"

namespace ornivex::swing {

// NaN -> +0.0; anything else, -0.0 and infinities included, unchanged.
constexpr double nz(double x) noexcept { return x != x ? 0.0 : x; }

namespace range_filter_detail {

// Filter value of one bar from the stored previous value.  `a > b ? a : b`
// keeps b on ties and whenever either side is NaN, exactly as the rule does,
// and maps onto a single max or min instruction.  A NaN range (or price)
// makes every comparison false, so both forms return prev unchanged.
template <bool NonNegativeRange>
[[gnu::always_inline]] inline double follow(double prev, double xi, double ri) noexcept {
    const double rising = xi - ri;
    const double falling = xi + ri;
    const double raised = rising > prev ? rising : prev;
    if constexpr (NonNegativeRange) {
        // With r >= 0 the upward move can never exceed x + r and the downward
        // move can only happen when x <= prev, where x - r cannot pass prev:
        // the two branches are one clamp of prev to [x - r, x + r], with one
        // dependent step less on the bar-to-bar chain.
        return falling < raised ? falling : raised;
    } else {
        const double lowered = falling < prev ? falling : prev;
        return xi > prev ? raised : lowered;
    }
}

inline std::uint64_t bits_of(double v) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

// Bars [start, end) with a prev that is a number, which every new value then
// is too: nz is the identity and a NaN range simply holds prev.  The clamp
// form also ORs the ranges' bits into `signs`, so the caller can tell whether
// the block was entitled to it (no range with its sign bit set).
template <bool NonNegativeRange>
inline double filter_block(StridedView<const double> x, StridedView<const double> r, StridedView<double> range_filt,
                           StridedView<double> hi_band, StridedView<double> lo_band, index_t start, index_t end,
                           double prev, std::uint64_t& signs) noexcept {
    for (index_t i = start; i < end; ++i) {
        const double ri = r[i];
        if constexpr (NonNegativeRange) signs |= bits_of(ri);
        const double filt = follow<NonNegativeRange>(prev, x[i], ri);
        range_filt.set(i, filt);
        hi_band.set(i, ri + filt);
        lo_band.set(i, filt - ri);
        prev = filt;
    }
    return prev;
}

// Bars [start, n) of contiguous series, block by block: a block goes
// through the clamp scan whole vectors at a time (its last few bars step by
// step), and is redone with the step-by-step form if the scan reports a bar
// it cannot take.  Once a range with its sign bit set turns up, the general
// form serves the rest, as it does on the strided path.
template <class Lanes>
[[gnu::always_inline]] inline void filter_contiguous(const double* x, const double* r, double* filt, double* hi,
                                                     double* lo, index_t start, index_t n, double prev) noexcept {
    constexpr index_t block = 256;
    const auto view = [](auto* p, index_t size) {
        using T = std::remove_pointer_t<decltype(p)>;
        return StridedView<T>{reinterpret_cast<std::conditional_t<std::is_const_v<T>, const char*, char*>>(p),
                              sizeof(double), size};
    };
    const auto xs = view(x, n), rs = view(r, n);
    const auto fs = view(filt, n), hs = view(hi, n), ls = view(lo, n);
    bool signed_seen = false;
    for (index_t first = start; first < n; first += block) {
        const index_t end = std::min(n, first + block);
        std::uint64_t signs = 0;
        if (!signed_seen) {
            const index_t scanned = (end - first) / width<Lanes> * width<Lanes>;
            bool irregular = false, signed_range = false;
            const double next = clamp_scan::filter_run<Lanes>(x + first, r + first, filt + first, hi + first,
                                                              lo + first, scanned, prev, irregular, signed_range);
            if (!irregular) {
                prev = filter_block<false>(xs, rs, fs, hs, ls, first + scanned, end, next, signs);
                continue;
            }
            signed_seen = signed_range;
            if (!signed_seen) {  // every range non-negative: the clamp form holds
                prev = filter_block<true>(xs, rs, fs, hs, ls, first, end, prev, signs);
                continue;
            }
        }
        prev = filter_block<false>(xs, rs, fs, hs, ls, first, end, prev, signs);
    }
}

inline void filter_contiguous_portable(const double* x, const double* r, double* filt, double* hi, double* lo,
                                       index_t start, index_t n, double prev) noexcept {
    filter_contiguous<lanes2>(x, r, filt, hi, lo, start, n, prev);
}

#ifdef ORNIVEX_SWING_X86_VARIANTS
[[gnu::target("avx2")]] inline void filter_contiguous_avx2(const double* x, const double* r, double* filt,
                                                          double* hi, double* lo, index_t start, index_t n,
                                                          double prev) noexcept {
    filter_contiguous<lanes4>(x, r, filt, hi, lo, start, n, prev);
}

[[gnu::target("avx512f,avx512dq,avx512vl")]] inline void filter_contiguous_avx512(const double* x, const double* r, double* filt,
                                                              double* hi, double* lo, index_t start, index_t n,
                                                              double prev) noexcept {
    filter_contiguous<lanes8>(x, r, filt, hi, lo, start, n, prev);
}
#endif

inline void filter_contiguous_here(const double* x, const double* r, double* filt, double* hi, double* lo,
                                   index_t start, index_t n, double prev) noexcept {
#ifdef ORNIVEX_SWING_X86_VARIANTS
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
        return filter_contiguous_avx512(x, r, filt, hi, lo, start, n, prev);
    if (__builtin_cpu_supports("avx2")) return filter_contiguous_avx2(x, r, filt, hi, lo, start, n, prev);
#endif
    filter_contiguous_portable(x, r, filt, hi, lo, start, n, prev);
}

}  // namespace range_filter_detail

// n = x.size; r.size >= n.  Writes elements 0 .. n-1 of all three outputs
// (an empty series writes nothing); r[0] is never read.  The outputs must
// not overlap the inputs or each other.
inline void range_filter_pass(StridedView<const double> x, StridedView<const double> r,
                              StridedView<double> range_filt, StridedView<double> hi_band,
                              StridedView<double> lo_band) noexcept {
    using namespace range_filter_detail;
    const index_t n = x.size;
    if (n == 0) return;
    range_filt.copy_from(0, x, 0);
    hi_band.set(0, 0.0);
    lo_band.set(0, 0.0);

    // Every new filter value is prev, nz(prev) or a number that compared
    // greater or less than prev, so a NaN filter can only come from x[0] and
    // lasts until the first NaN range turns it into 0.0.  Over that run each
    // bar gets the gap fill at once: the three values of the bar before it.
    index_t i = 1;
    double prev = range_filt[0];  // as stored, NaN included
    for (; i < n && prev != prev; ++i) {
        const double ri = r[i];
        if (ri == ri) {
            range_filt.copy_from(i, range_filt, i - 1);
            hi_band.copy_from(i, hi_band, i - 1);
            lo_band.copy_from(i, lo_band, i - 1);
        } else {
            prev = nz(prev);
            range_filt.set(i, prev);
            hi_band.set(i, ri + prev);
            lo_band.set(i, prev - ri);
        }
    }

    if (x.contiguous() && r.contiguous() && range_filt.contiguous() && hi_band.contiguous() &&
        lo_band.contiguous()) {
        filter_contiguous_here(x.data(), r.data(), range_filt.data(), hi_band.data(), lo_band.data(), i, n, prev);
        return;
    }

    // The clamp form is tried block by block; the first block that turns out
    // to hold a negative range is redone with the general form, which then
    // serves the rest of the series.
    constexpr index_t block = 256;
    bool clamp = true;
    for (index_t start = i; start < n; start += block) {
        const index_t end = std::min(n, start + block);
        std::uint64_t signs = 0;
        if (clamp) {
            const double next = filter_block<true>(x, r, range_filt, hi_band, lo_band, start, end, prev, signs);
            clamp = (signs >> 63) == 0;
            if (clamp) {
                prev = next;
                continue;
            }
        }
        prev = filter_block<false>(x, r, range_filt, hi_band, lo_band, start, end, prev, signs);
    }
}

// The same result laid out as the C-contiguous (3, n) block `rows` (row 0
// hi_band, row 1 lo_band, row 2 range_filt), whose transpose is the (n, 3)
// result; saves stacking three separate series afterwards.
inline void range_filter_rows(StridedView<const double> x, StridedView<const double> r, double* rows) noexcept {
    const index_t n = x.size;
    const auto row = [rows, n](index_t k) {
        return StridedView<double>{reinterpret_cast<char*>(rows + k * n), sizeof(double), n};
    };
    range_filter_pass(x, r, row(2), row(0), row(1));
}

}  // namespace ornivex::swing
