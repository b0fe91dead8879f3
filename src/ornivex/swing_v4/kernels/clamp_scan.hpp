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

#include <bit>
#include <cstdint>
#include <limits>

#include "../../common/strided_view.hpp"
#include "double_lanes.hpp"

namespace ornivex::swing::clamp_scan {

// Lane j takes lane j - shift of `v`, or `fill` where there is none.
template <class Lanes, int Shift>
[[gnu::always_inline]] inline Lanes shift_up(Lanes v, Lanes fill) noexcept {
    constexpr int w = width<Lanes>;
    lane_bits<Lanes> pick;
    for (int j = 0; j < w; ++j) pick[j] = j < Shift ? w + j : j - Shift;
    return __builtin_shuffle(v, fill, pick);
}

// Every lane `value[Lane]`, bit for bit (adding to a zero vector would turn
// -0.0 into +0.0).
template <class Lanes, int Lane>
[[gnu::always_inline]] inline Lanes splat(Lanes value) noexcept {
    lane_bits<Lanes> pick;
    for (int j = 0; j < width<Lanes>; ++j) pick[j] = Lane;
    return __builtin_shuffle(value, pick);
}

template <class Lanes>
[[gnu::always_inline]] inline Lanes clamp(Lanes lower, Lanes upper, Lanes v) noexcept {
    const Lanes raised = lower > v ? lower : v;
    return upper < raised ? upper : raised;
}

// Lane j of (lower, upper) becomes the composite of lanes 0 .. j: after the
// step with shift s each lane covers the 2s bars ending at it.
template <class Lanes, int Shift = 1>
[[gnu::always_inline]] inline void compose_prefix(Lanes& lower, Lanes& upper) noexcept {
    if constexpr (Shift < width<Lanes>) {
        constexpr double inf = std::numeric_limits<double>::infinity();
        const Lanes earlier_lower = shift_up<Lanes, Shift>(lower, Lanes{} - inf);
        const Lanes earlier_upper = shift_up<Lanes, Shift>(upper, Lanes{} + inf);
        const Lanes next_lower = clamp(lower, upper, earlier_lower);
        upper = clamp(lower, upper, earlier_upper);
        lower = next_lower;
        compose_prefix<Lanes, 2 * Shift>(lower, upper);
    }
}

// Bars [0, count) of contiguous series, count a multiple of the width, from
// the stored value `prev` of the bar before, a number: writes filt,
// hi = r + filt and lo = filt - r.  Returns the last filt.  Sets `irregular`
// if any bar breaks the rule above (the outputs are then to be redone) and
// `signed_range` if a range is negative.
template <class Lanes>
[[gnu::always_inline]] inline double filter_run(const double* x, const double* r, double* filt, double* hi,
                                                double* lo, index_t count, double prev, bool& irregular,
                                                bool& signed_range) noexcept {
    constexpr int w = width<Lanes>;
    using bits = lane_bits<Lanes>;
    constexpr double inf = std::numeric_limits<double>::infinity();
    bits zero_bound{}, negative{};  // all ones in a lane that met one
    Lanes before;
    for (int j = 0; j < w; ++j) before[j] = prev;
    for (index_t i = 0; i < count; i += w) {
        const Lanes xi = lanes_at<Lanes>(x + i);
        const Lanes ri = lanes_at<Lanes>(r + i);
        Lanes lower = xi - ri;
        Lanes upper = xi + ri;
        // The product is NaN exactly when a bound is, and zero when a bound
        // is zero (or when it underflows, which only sends a run the plain way).
        const Lanes product = lower * upper;
        const bits held = product != product;
        lower = held ? Lanes{} - inf : lower;
        upper = held ? Lanes{} + inf : upper;
        zero_bound |= product == Lanes{};
        negative |= ri < Lanes{};
        compose_prefix(lower, upper);
        const Lanes value = clamp(lower, upper, before);
        lanes_at<Lanes>(filt + i) = value;
        lanes_at<Lanes>(hi + i) = ri + value;
        lanes_at<Lanes>(lo + i) = value - ri;
        before = splat<Lanes, w - 1>(value);
    }
    bool any_zero = false, any_negative = false;
    for (int j = 0; j < w; ++j) {
        any_zero |= zero_bound[j] != 0;
        any_negative |= negative[j] != 0;
    }
    irregular = any_zero || any_negative;
    signed_range = any_negative;
    return before[0];
}

}  // namespace ornivex::swing::clamp_scan
