// The exponential averages one bar at a time: ewma (and ema2, which is ewma
// with alpha = ema2_alpha(length)) and the triple average tema3.
//
// Each object keeps what the recursions carry from one bar to the next: the
// last output of ewma, the four stage values of tema3.  The first bar seeds
// them exactly as the whole-series passes do (ewma copies it bit for bit,
// every tema3 stage starts from it), and every later bar takes the same step
// (EwmaFactors::step, TripleEmaStages::advance), so any split of a series into
// bars and chunks gives the whole-series result bit for bit.
//
// The promotion rules are passed in per call, as the whole-series functions
// ask NumPy for them per call.
#pragma once

#include "ornivex/common/promotion.hpp"
#include "ornivex/common/strided_view.hpp"
#include "ornivex/kernels/averages/ewma.hpp"
#include "ornivex/kernels/averages/tema3.hpp"

namespace ornivex::stream {

using trend::EwmaFactors;

class EwmaStream {
public:
    explicit EwmaStream(double alpha) noexcept : alpha_(alpha) {}

    double alpha() const noexcept { return alpha_; }
    bool started() const noexcept { return started_; }
    float last() const noexcept { return last_; }
    void restore(bool started, float last) noexcept {
        started_ = started;
        last_ = last;
    }

    template <Promotion P>
    float update(float x) noexcept {
        last_ = started_ ? EwmaFactors<P>(alpha_).step(x, last_) : x;
        started_ = true;
        return last_;
    }

    // Kept out of line (here and below): inlined into the glue, the views
    // live in memory every char store may alias, and the loop reloads them.
    template <Promotion P>
    [[gnu::noinline]] void extend(StridedView<const float> in, StridedView<float> out) noexcept {
        if (in.size == 0) return;
        const EwmaFactors<P> factors(alpha_);
        index_t i = 0;
        if (!started_) {
            out.copy_from(0, in, 0);
            last_ = out[0];
            started_ = true;
            i = 1;
        }
        float prev = last_;
        for (; i < in.size; ++i) {
            prev = factors.step(in[i], prev);
            out.set(i, prev);
        }
        last_ = prev;
    }

private:
    double alpha_;
    bool started_ = false;
    float last_ = 0.0f;
};

class Tema3Stream {
public:
    using Stages = trend::TripleEmaStages<float>;

    explicit Tema3Stream(double length) noexcept : length_(length) {}

    double length() const noexcept { return length_; }
    bool started() const noexcept { return started_; }
    const Stages& stages() const noexcept { return stages_; }
    void restore(bool started, const Stages& stages) noexcept {
        started_ = started;
        stages_ = stages;
    }

    template <Promotion P>
    float update(float x) noexcept {
        if (started_)
            stages_.advance(EwmaFactors<P>(trend::ema2_alpha(length_)), x);
        else
            stages_.seed(x);
        started_ = true;
        return stages_.value();
    }

    template <Promotion P>
    [[gnu::noinline]] void extend(StridedView<const float> in, StridedView<float> out) noexcept {
        if (in.size == 0) return;
        const EwmaFactors<P> factors(trend::ema2_alpha(length_));
        Stages stages = stages_;
        index_t i = 0;
        if (!started_) {
            stages.seed(in[0]);
            out.set(0, stages.value());
            started_ = true;
            i = 1;
        }
        for (; i < in.size; ++i) {
            stages.advance(factors, in[i]);
            out.set(i, stages.value());
        }
        stages_ = stages;
    }

private:
    double length_;
    bool started_ = false;
    Stages stages_;
};

}  // namespace ornivex::stream
