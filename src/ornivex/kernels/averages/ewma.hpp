// Exponentially weighted moving average of a float32 series.
//
//   out[0] = series[0]                                  (bit copy: NaN payload, -0.0 kept)
//   out[i] = alpha * series[i] + (1 - alpha) * out[i-1]  (i >= 1)
//
// The arithmetic is NumPy's for "Python float * float32 scalar", chosen by
// Promotion: float32 products and sum with both factors rounded to float32
// (weak_float32), or double products and sum rounded once on the store
// (legacy_double).  There is no shortcut for alpha 0 or 1: 0 * inf and 0 * NaN
// are NaN, so a NaN or infinity poisons every later element either way.
#pragma once

#include "ornivex/common/lanes.hpp"
#include "ornivex/common/promotion.hpp"
#include "ornivex/common/strided_view.hpp"

namespace ornivex::trend {

// Smoothing factor of a length-based average; a length of 1 or less (or NaN)
// means alpha 1.
inline double ema2_alpha(double length) noexcept {
    const double m = length > 1.0 ? length : 1.0;
    return 2.0 / (m + 1.0);
}

// The two factors, already in the precision the recursion multiplies in.
// V is float, or f32x2 when two series are smoothed side by side (tema3.hpp);
// the legacy rule widens each lane to double.
template <Promotion P, class V = float>
struct EwmaFactors;

template <class V>
struct EwmaFactors<Promotion::weak_float32, V> {
    V current, previous;  // float32(alpha), float32(1 - alpha)

    explicit EwmaFactors(double alpha) noexcept
        : current(splat<V>(static_cast<float>(alpha))),
          previous(splat<V>(static_cast<float>(1.0 - alpha))) {}

    V step(V x, V prev) const noexcept {
        const V p1 = current * x;
        const V p2 = previous * prev;
        return p1 + p2;
    }
};

template <class V>
struct EwmaFactors<Promotion::legacy_double, V> {
    using W = Widened<V>;
    W current, previous;  // alpha, 1 - alpha

    explicit EwmaFactors(double alpha) noexcept
        : current(splat<W>(alpha)), previous(splat<W>(1.0 - alpha)) {}

    V step(V x, V prev) const noexcept {
        const W p1 = current * widen(x);
        const W p2 = previous * widen(prev);
        return narrow<V>(p1 + p2);
    }
};

template <Promotion P>
void ewma(StridedView<const float> series, StridedView<float> out, double alpha) noexcept {
    const index_t n = series.size;
    if (n == 0) return;
    const EwmaFactors<P> factors(alpha);
    out.copy_from(0, series, 0);
    float prev = out[0];
    for (index_t i = 1; i < n; ++i) {
        prev = factors.step(series[i], prev);
        out.set(i, prev);
    }
}

}  // namespace ornivex::trend
