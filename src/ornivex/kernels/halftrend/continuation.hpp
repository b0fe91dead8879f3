// A series continued by a chunk of bars from its HalfTrendState: bar by bar
// through halftrend_step (rules.hpp), or, for a chunk of at least a window's
// bars, through the fused pass resumed from the state (fused.hpp).  Any split
// of a series into bars and chunks gives the whole series' result bit for
// bit.  The stream classes continue one series this way; a long table's
// groups continue theirs a stretch of rows at a time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "ornivex/common/instruction_sets.hpp"
#include "ornivex/common/promotion.hpp"
#include "ornivex/common/strided_view.hpp"
#include "ornivex/kernels/halftrend/fused.hpp"
#include "ornivex/kernels/halftrend/rules.hpp"

namespace ornivex::trend::halftrend {

// Contiguous arrays of the chunk's length.
struct ChunkOutputs {
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

// What the fused pass over a chunk works in, for one amplitude: made once,
// it serves any number of chunks.
struct ChunkScratch {
    std::unique_ptr<FusedScratch> fused;
    std::vector<float> earlier_high, earlier_low;  // the window's bars before the chunk

    // Throws std::bad_alloc.
    explicit ChunkScratch(index_t amplitude)
        : fused(FusedScratch::make(amplitude)),
          earlier_high(static_cast<std::size_t>(amplitude)),
          earlier_low(static_cast<std::size_t>(amplitude)) {}
};

// The chunk's bars one at a time, on a local copy of the state (which the
// outputs' stores cannot alias).  The inputs go through a small contiguous
// block, which leaves one index for every array in the loop.  May throw
// std::bad_alloc part way (the window's storage), the state then lost:
// callers that keep it run this on a copy.
template <Promotion P>
void continue_stepwise(HalfTrendState& series, const HalfTrendParams<P>& params, const Inputs& in,
                       const ChunkOutputs& out) {
    constexpr index_t block = 256;
    HalfTrendState state = std::move(series);
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
            out.set(start + j, halftrend_step(state, bars[0][j], bars[1][j], bars[2][j], bars[3][j], params));
    }
    series = std::move(state);
}

// The chunk through the fused pass: the window's bars go in as the bars
// before it; after it, the window holds the chunk's last amplitude bars.
// Precondition: the chunk has at least params.amplitude bars, and scratch
// was made for that amplitude.  May throw std::bad_alloc before the state
// changes.
template <Promotion P>
void continue_fused(HalfTrendState& state, const HalfTrendParams<P>& params, const Inputs& in,
                    const ChunkOutputs& out, ChunkScratch& scratch) {
    const index_t n = in.high.size, amplitude = params.amplitude;
    const index_t earlier = state.window.size();
    for (index_t k = 0; k < earlier; ++k) {
        scratch.earlier_high[k] = state.window.high(k);
        scratch.earlier_low[k] = state.window.low(k);
    }
    RecentBars window(amplitude);
    for (index_t i = n - amplitude; i < n; ++i) window.push(in.high[i], in.low[i]);
    const auto column = [n](auto* data) {
        using T = std::remove_pointer_t<decltype(data)>;
        return StridedView<T>{reinterpret_cast<char*>(data), static_cast<index_t>(sizeof(T)), n};
    };
    const Outputs to{column(out.halftrend),  column(out.atr_high), column(out.atr_low), column(out.arrow_up),
                     column(out.arrow_down), column(out.buy),      column(out.sell)};
    resume_fused_pass(in, params, scratch.earlier_high.data(), scratch.earlier_low.data(), to, *scratch.fused,
                      state);
    state.window = std::move(window);
}

// The chunk whichever way suits its length: the fused pass from `least`
// bars (and a window's) on, below that bar by bar.  least: where the fused
// pass's setup stops costing more than stepping, about 16 bars with the
// scratch made beforehand.
template <Promotion P>
void continue_series(HalfTrendState& state, const HalfTrendParams<P>& params, const Inputs& in,
                     const ChunkOutputs& out, ChunkScratch& scratch, index_t least = 16) {
    if (in.high.size >= std::max(params.amplitude, least))
        continue_fused(state, params, in, out, scratch);
    else
        continue_stepwise(state, params, in, out);
}

// continue_series as the module runs it (run_kernel), built like FusedKernel.
struct ContinueKernel {
    static constexpr InstructionSet widest = FusedKernel::widest;

    template <InstructionSet, Promotion P>
    static void run(HalfTrendState& state, const HalfTrendParams<P>& params, const Inputs& in,
                    const ChunkOutputs& out, ChunkScratch& scratch) {
        continue_series(state, params, in, out, scratch);
    }
};

}  // namespace ornivex::trend::halftrend
