// Triple EMA: four chained ewma stages with alpha = ema2_alpha(length),
//
//   E1 = ewma(source), E2 = ewma(E1), E3 = ewma(E2), E4 = ewma(E3)
//   out = float32(float32(3 * float32(E1 - E3)) + float32(3 * float32(E3 - E4))) + E4
//
// each step rounded to float32 in the order shown (3 * x is a float32 multiplication).
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
#include "ornivex/kernels/averages/ewma.hpp"

namespace ornivex::trend {

// The four stage values: all a triple EMA carries from one element to the next.
template <class V = float>
struct TripleEmaStages {
    V e1{}, e2{}, e3{}, e4{};

    void seed(V first) noexcept { e1 = e2 = e3 = e4 = first; }

    template <Promotion P>
    void advance(const EwmaFactors<P, V>& factors, V x) noexcept {
        e1 = factors.step(x, e1);
        e2 = factors.step(e1, e2);
        e3 = factors.step(e2, e3);
        e4 = factors.step(e3, e4);
    }

    V value() const noexcept {
        const V three = splat<V>(3.0f);
        const V term1 = three * (e1 - e3);
        const V term2 = three * (e3 - e4);
        return (term1 + term2) + e4;
    }
};

template <Promotion P, class V = float>
class TripleEma {
public:
    explicit TripleEma(double length) noexcept : factors_(ema2_alpha(length)) {}
    // Picks up where `stages` left off.
    TripleEma(const EwmaFactors<P, V>& factors, const TripleEmaStages<V>& stages) noexcept
        : factors_(factors), stages_(stages) {}

    void seed(V first) noexcept { stages_.seed(first); }
    void advance(V x) noexcept { stages_.advance(factors_, x); }
    V value() const noexcept { return stages_.value(); }
    const TripleEmaStages<V>& stages() const noexcept { return stages_; }

private:
    EwmaFactors<P, V> factors_;
    TripleEmaStages<V> stages_;
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

}  // namespace ornivex::trend
