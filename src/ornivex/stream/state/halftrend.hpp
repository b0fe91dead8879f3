// HalfTrend one bar at a time: a bar goes through halftrend_step (the rules
// of kernels/halftrend/rules.hpp), a chunk through the series' continuation
// (kernels/halftrend/continuation.hpp), so any split of a series into bars
// and chunks gives the batch result bit for bit.
//
// What is kept between bars is HalfTrendState: the trend, the last line, the
// last bar with its window extremes, the tema3 stages of high and low, and
// the window of the last `amplitude` bars.  Saving it needs only the window's
// bars: pushing them, oldest first, into an empty window gives back the same
// extremes, because the window's maximum keeps every operand in bar order
// (the later of two equal zeros, the earliest NaN) however it groups them.
#pragma once

#include <algorithm>
#include <utility>

#include "ornivex/common/promotion.hpp"
#include "ornivex/common/strided_view.hpp"
#include "ornivex/kernels/halftrend/continuation.hpp"
#include "ornivex/kernels/halftrend/rules.hpp"

namespace ornivex::stream {

using trend::halftrend::HalfTrendBar;
using trend::halftrend::HalfTrendParams;
using trend::halftrend::HalfTrendState;
using trend::halftrend::RecentBars;
using HalfTrendInputs = trend::halftrend::Inputs;
using HalfTrendOutputs = trend::halftrend::ChunkOutputs;  // contiguous arrays of the chunk's length

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

    // Chunks of at least a window's bars (and not tiny: the fused pass's
    // scratch is made for each) take the fused pass; shorter ones, bar by
    // bar.  Best compiled flattened (run_kernel does).  May throw
    // std::bad_alloc part way; callers run it on a copy.
    template <Promotion P>
    void extend(const HalfTrendInputs& in, const HalfTrendOutputs& out) {
        if (in.high.size >= std::max(amplitude(), fused_chunk_minimum)) {
            trend::halftrend::ChunkScratch scratch(amplitude());
            trend::halftrend::continue_fused(state_, params<P>(), in, out, scratch);
        } else {
            trend::halftrend::continue_stepwise(state_, params<P>(), in, out);
        }
    }

private:
    // Below about this the fused pass's setup (its scratch, the window's
    // bars in and out) costs more than stepping the bars.
    static constexpr index_t fused_chunk_minimum = 128;

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
