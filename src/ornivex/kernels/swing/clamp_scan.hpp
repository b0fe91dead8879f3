// The range filter's bar-to-bar step, many bars at a time.
//
// With r >= 0 one bar maps the previous value v to
//     g(v) = min(x + r, max(x - r, v)),   i.e. g = clamp to [A, B] = [x - r, x + r]
// (max and min as `a > b ? a : b` and `a < b ? a : b`, keeping v on ties).
// Clamps compose into clamps: applying [A1, B1] and then [A2, B2] is the clamp
// to [g2(A1), g2(B1)].  So the composite of every run of bars is found by a
// prefix scan over vector lanes, and each bar's value is one clamp of the
// value before the run: the chain from bar to bar shrinks to one clamp per
// vector of bars.
//
// A bar with a NaN bound (a NaN price or range, or inf - inf) holds v, the
// clamp to [-inf, inf], as long as v is a number (nz(v) is v then).
// Bit for bit this holds when no bound is zero: the composite's bounds are
// then always some bar's own bounds (or infinities), and only a tie between
// +0.0 and -0.0 could tell the two forms apart.  A run of bars that breaks
// the rule (a zero bound, or a negative range) is reported, and the caller
// takes the plain step for it instead.
#pragma once

#include <limits>

#include "ornivex/common/lanes.hpp"
#include "ornivex/common/strided_view.hpp"

namespace ornivex::swing::clamp_scan {

template <class V>
[[gnu::always_inline]] inline V clamp(V lower, V upper, V v) noexcept {
    const V raised = lower > v ? lower : v;
    return upper < raised ? upper : raised;
}

// Lane j of (lower, upper) becomes the composite of lanes 0 .. j: after the
// step with shift s each lane covers the 2s bars ending at it.
template <class V, int Shift = 1>
[[gnu::always_inline]] inline void compose_prefix(V& lower, V& upper) noexcept {
    if constexpr (Shift < lane_count<V>) {
        constexpr double inf = std::numeric_limits<double>::infinity();
        const V earlier_lower = shift_up<Shift>(lower, splat<V>(-inf));
        const V earlier_upper = shift_up<Shift>(upper, splat<V>(inf));
        const V next_lower = clamp(lower, upper, earlier_lower);
        upper = clamp(lower, upper, earlier_upper);
        lower = next_lower;
        compose_prefix<V, 2 * Shift>(lower, upper);
    }
}

// Bars [0, count) of contiguous series, count a multiple of the width, from
// the stored value `prev` of the bar before, a number: writes filt,
// hi = r + filt and lo = filt - r.  Returns the last filt.  Sets `irregular`
// if any bar breaks the rule above (the outputs are then to be redone) and
// `signed_range` if a range is negative.
template <class V>
[[gnu::always_inline]] inline double filter_run(const double* x, const double* r, double* filt, double* hi,
                                                double* lo, index_t count, double prev, bool& irregular,
                                                bool& signed_range) noexcept {
    constexpr int w = lane_count<V>;
    constexpr double inf = std::numeric_limits<double>::infinity();
    LaneMask<V> zero_bound{}, negative{};  // all ones in a lane that met one
    V before = splat<V>(prev);
    for (index_t i = 0; i < count; i += w) {
        const V xi = load<V>(x + i);
        const V ri = load<V>(r + i);
        V lower = xi - ri;
        V upper = xi + ri;
        // The product is NaN exactly when a bound is, and zero when a bound
        // is zero (or when it underflows, which only sends a run the plain way).
        const V product = lower * upper;
        const LaneMask<V> held = product != product;
        lower = held ? splat<V>(-inf) : lower;
        upper = held ? splat<V>(inf) : upper;
        zero_bound |= product == V{};
        negative |= ri < V{};
        compose_prefix(lower, upper);
        const V value = clamp(lower, upper, before);
        store(filt + i, value);
        store(hi + i, ri + value);
        store(lo + i, value - ri);
        before = broadcast_lane<w - 1>(value);
    }
    signed_range = any_lane(negative);
    irregular = signed_range || any_lane(zero_bound);
    return before[0];
}

}  // namespace ornivex::swing::clamp_scan
