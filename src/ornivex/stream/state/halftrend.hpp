// HalfTrend one bar at a time: a bar goes through halftrend_step (the rules
// of kernels/halftrend/rules.hpp), a chunk of at least a window's bars
// through the batch's fused pass resumed from the state, so any split of a
// series into bars and chunks gives the batch result bit for bit.
//
// What is kept between bars is HalfTrendState: the trend, the last line, the
// last bar with its window extremes, the tema3 stages of high and low, and
// the window of the last `amplitude` bars.  Saving it needs only the window's
// bars: pushing them, oldest first, into an empty window gives back the same
// extremes, because the window's maximum keeps every operand in bar order
// (the later of two equal zeros, the earliest NaN) however it groups them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "ornivex/common/promotion.hpp"
#include "ornivex/common/strided_view.hpp"
#include "ornivex/kernels/halftrend/fused.hpp"
#include "ornivex/kernels/halftrend/rules.hpp"

namespace ornivex::stream {

using trend::halftrend::HalfTrendBar;
using trend::halftrend::HalfTrendParams;
using trend::halftrend::HalfTrendState;
using trend::halftrend::RecentBars;

struct HalfTrendInputs {
    StridedView<const float> high, low, close, tr;
};

// Contiguous arrays of the chunk's length (the stream allocates them).
struct HalfTrendOutputs {
    float *halftrend, *atr_high, *atr_low, *arrow_up, *arrow_down;
    std::int64_t *buy, *sell;

    void set(index_t i, const HalfTrendBar& bar) const noexcept {
        halftrend[i] = bar.halftrend;
        atr_high[i] = bar.atr_high;
        atr_low[i] = bar.atr_low;
        arrow_up[i] = bar.arrow_up;
        arrow_down[i] = bar.arrow_down;
        buy[i] = bar.buy;
        sell[i] = bar.sell;
    }
};

class HalfTrendStream {
public:
    HalfTrendStream(index_t amplitude, double channel_deviation)
        : channel_deviation_(channel_deviation),
          weak_(amplitude, channel_deviation),
          legacy_(amplitude, channel_deviation),
          state_(amplitude) {}

    index_t amplitude() const noexcept { return weak_.amplitude; }
    double channel_deviation() const noexcept { return channel_deviation_; }
    const HalfTrendState& state() const noexcept { return state_; }
    // `state` made with this amplitude.
    void restore(HalfTrendState state) noexcept { state_ = std::move(state); }

    // May throw std::bad_alloc while the window grows; the state is then as
    // it was (the window's push comes first in the step and changes nothing
    // when it fails).
    template <Promotion P>
    HalfTrendBar update(float high, float low, float close, float tr) {
        return trend::halftrend::halftrend_step(state_, high, low, close, tr, params<P>());
    }

    // Chunks of at least a window's bars (and not tiny) take the fused pass;
    // shorter ones, bar by bar.  Best compiled flattened (run_kernel does).
    // May throw std::bad_alloc part way; callers run it on a copy.
    template <Promotion P>
    void extend(const HalfTrendInputs& in, const HalfTrendOutputs& out) {
        if (in.high.size >= std::max(amplitude(), fused_chunk_minimum))
            extend_fused<P>(in, out);
        else
            extend_stepwise<P>(in, out);
    }

private:
    // Below about this the fused pass's setup (its scratch, the window's
    // bars in and out) costs more than stepping the bars.
    static constexpr index_t fused_chunk_minimum = 128;

    // The window's bars go in as the bars before the chunk; after it, the
    // window holds the chunk's last amplitude bars.
    template <Promotion P>
    void extend_fused(const HalfTrendInputs& in, const HalfTrendOutputs& out) {
        const index_t n = in.high.size, amplitude = this->amplitude();
        const index_t earlier = state_.window.size();
        std::vector<float> earlier_high(earlier), earlier_low(earlier);
        for (index_t k = 0; k < earlier; ++k) {
            earlier_high[k] = state_.window.high(k);
            earlier_low[k] = state_.window.low(k);
        }
        RecentBars window(amplitude);
        for (index_t i = n - amplitude; i < n; ++i) window.push(in.high[i], in.low[i]);
        const auto scratch = trend::halftrend::FusedScratch::make(amplitude);
        const auto column = [n](auto* data) {
            using T = std::remove_pointer_t<decltype(data)>;
            return StridedView<T>{reinterpret_cast<typename StridedView<T>::byte_pointer>(data),
                                  static_cast<index_t>(sizeof(T)), n};
        };
        const trend::halftrend::Outputs to{column(out.halftrend), column(out.atr_high),   column(out.atr_low),
                                           column(out.arrow_up),  column(out.arrow_down), column(out.buy),
                                           column(out.sell)};
        trend::halftrend::resume_fused_pass(trend::halftrend::Inputs{in.high, in.low, in.close, in.tr}, params<P>(),
                                            earlier_high.data(), earlier_low.data(), to, *scratch, state_);
        state_.window = std::move(window);
    }

    // The inputs go through a small contiguous block, which leaves one index
    // for every array in the loop.
    template <Promotion P>
    void extend_stepwise(const HalfTrendInputs& in, const HalfTrendOutputs& out) {
        constexpr index_t block = 256;
        const HalfTrendParams<P> params = this->params<P>();
        const HalfTrendOutputs to = out;
        HalfTrendState state = std::move(state_);
        float bars[4][block];
        for (index_t start = 0; start < in.high.size; start += block) {
            const index_t length = std::min(block, in.high.size - start);
            for (index_t j = 0; j < length; ++j) {
                bars[0][j] = in.high[start + j];
                bars[1][j] = in.low[start + j];
                bars[2][j] = in.close[start + j];
                bars[3][j] = in.tr[start + j];
            }
            for (index_t j = 0; j < length; ++j)
                to.set(start + j, trend::halftrend::halftrend_step(state, bars[0][j], bars[1][j], bars[2][j],
                                                                   bars[3][j], params));
        }
        state_ = std::move(state);
    }

    template <Promotion P>
    const HalfTrendParams<P>& params() const noexcept {
        if constexpr (P == Promotion::weak_float32)
            return weak_;
        else
            return legacy_;
    }

    double channel_deviation_;
    HalfTrendParams<Promotion::weak_float32> weak_;
    HalfTrendParams<Promotion::legacy_double> legacy_;
    HalfTrendState state_;
};

}  // namespace ornivex::stream
