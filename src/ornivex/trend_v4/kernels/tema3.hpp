// Triple EMA: four chained ewma stages with alpha = ema2_alpha(length),
//
//   E1 = ewma(source), E2 = ewma(E1), E3 = ewma(E2), E4 = ewma(E3)
//   out = float32(float32(3 * float32(E1 - E3)) + float32(3 * float32(E3 - E4))) + E4
//
// each step rounded to float32 as written (3 * x is a float32 multiplication).
// Seed: every stage starts from source[0] bit for bit, so out[0] is source[0]
// for finite values (-0.0 comes out +0.0) and NaN for NaN or an infinity.
// NaN policy: that of ewma; a NaN or infinity in the source makes every later
// element NaN.
//
// All four recursions advance together element by element: each stage's
// loop-carried chain is one multiply and one add, and the four chains overlap
// in the pipeline, so the fused pass costs about one ewma pass instead of four
// plus three temporary arrays.  The results are bit-identical to running ewma
// four times, because each stage sees exactly the same operands.
#pragma once

#include "ornivex/common/promotion.hpp"
#include "ornivex/common/strided_view.hpp"
#include "ornivex/trend_v4/kernels/ewma.hpp"

namespace ornivex::trend {

template <Promotion P, class V = float>
class TripleEma {
public:
    explicit TripleEma(double length) noexcept : factors_(ema2_alpha(length)) {}

    void seed(V first) noexcept { e1_ = e2_ = e3_ = e4_ = first; }

    void advance(V x) noexcept {
        e1_ = factors_.step(x, e1_);
        e2_ = factors_.step(e1_, e2_);
        e3_ = factors_.step(e2_, e3_);
        e4_ = factors_.step(e3_, e4_);
    }

    V value() const noexcept {
        const V three = splat<V>(3.0f);
        const V term1 = three * (e1_ - e3_);
        const V term2 = three * (e3_ - e4_);
        return (term1 + term2) + e4_;
    }

private:
    EwmaFactors<P, V> factors_;
    V e1_{}, e2_{}, e3_{}, e4_{};
};

template <Promotion P>
void tema3(StridedView<const float> source, StridedView<float> out, double length) noexcept {
    const index_t n = source.size;
    if (n == 0) return;
    TripleEma<P> stages(length);
    stages.seed(source[0]);
    out.set(0, stages.value());
    for (index_t i = 1; i < n; ++i) {
        stages.advance(source[i]);
        out.set(i, stages.value());
    }
}

// tema3 of two equally long series in one pass (eight chains in flight): lane 0
// of an f32x2 carries the first series, lane 1 the second.
template <Promotion P>
void tema3_pair(StridedView<const float> first, StridedView<const float> second,
                StridedView<float> first_out, StridedView<float> second_out,
                double length) noexcept {
    const index_t n = first.size;
    if (n == 0) return;
    TripleEma<P, f32x2> stages(length);
    stages.seed(f32x2{first[0], second[0]});
    for (index_t i = 0;;) {
        const f32x2 smoothed = stages.value();
        first_out.set(i, smoothed[0]);
        second_out.set(i, smoothed[1]);
        if (++i == n) break;
        stages.advance(f32x2{first[i], second[i]});
    }
}

}  // namespace ornivex::trend
