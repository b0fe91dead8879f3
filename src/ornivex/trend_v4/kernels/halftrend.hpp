// HalfTrend over n bars: window extremes of high and low over `amplitude`
// bars, tema3 of high and low with length 2 * amplitude, the trend state
// machine and the line pass (halftrend_steps.hpp holds the per-bar rules,
// window_extremes.hpp the extremes, tema3.hpp the smoothing).
//
// Outputs: the line, its channel (line +/- dev), the arrows (0 except on switch
// bars) and the buy/sell signals (1 on a bar where the trend turned up/down;
// bar 0 never signals).  Bar 0's channel is low[0] +/- dev[0].
//
// Two ways in:
//  - halftrend: one fused pass, no intermediate arrays.  Blocks of bars go
//    through stack buffers (halftrend_sweep.hpp runs the state machine and
//    the line over a block); long-window extremes are computed whole first
//    and parked in the arrow outputs until each block has read them.
//  - channel_widths, trend_pass, line_pass, signals: the same steps over
//    whole arrays, for a caller that holds every intermediate array itself.
//
// Preconditions: every input view has at least n elements (n = high.size),
// every output exactly n; outputs overlap neither inputs nor each other.
// n == 0 or amplitude < 1 writes nothing (the caller rejects those).
// Inputs are only read.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "ornivex/common/promotion.hpp"
#include "ornivex/common/strided_view.hpp"
#include "ornivex/trend_v4/kernels/float_lanes.hpp"
#include "ornivex/trend_v4/kernels/halftrend_steps.hpp"
#include "ornivex/trend_v4/kernels/halftrend_sweep.hpp"
#include "ornivex/trend_v4/kernels/tema3.hpp"
#include "ornivex/trend_v4/kernels/window_extremes.hpp"

namespace ornivex::trend {

struct HalftrendInputs {
    StridedView<const float> high, low, close, tr;
};

struct HalftrendOutputs {
    StridedView<float> halftrend, atr_high, atr_low, arrow_up, arrow_down;
    StridedView<std::int64_t> buy, sell;
};

// tema3 length used by halftrend: 2 * amplitude without 32-bit overflow.
inline double halftrend_smoothing_length(index_t amplitude) noexcept {
    return static_cast<double>(2 * static_cast<std::int64_t>(amplitude));
}

// ---- The steps over whole arrays -------------------------------------------

inline void channel_widths(StridedView<const float> tr, double channel_deviation,
                           StridedView<float> atr2, StridedView<float> dev) noexcept {
    const ChannelWidths widths(channel_deviation);
    for (index_t i = 0; i < atr2.size; ++i) {
        const float half = ChannelWidths::half(tr[i]);
        atr2.set(i, half);
        dev.set(i, widths.band(half));
    }
}

inline void trend_pass(StridedView<const float> high, StridedView<const float> low,
                       StridedView<const float> close, StridedView<const float> high_price,
                       StridedView<const float> low_price, StridedView<const float> highma,
                       StridedView<const float> lowma, StridedView<std::int32_t> trend,
                       StridedView<float> max_low_price, StridedView<float> min_high_price) noexcept {
    const index_t n = high.size;
    if (n == 0) return;
    auto bar = [&](index_t i) {
        return TrendBar{high[i],      low[i],        close[i], high_price[i],
                        low_price[i], highma[i],     lowma[i]};
    };
    TrendState state = first_trend_state(high[0], low[0]);
    trend.set(0, state.trend);
    max_low_price.copy_from(0, low, 0);
    min_high_price.copy_from(0, high, 0);
    TrendBar previous = bar(0);
    for (index_t i = 1; i < n; ++i) {
        const TrendBar current = bar(i);
        state = next_trend_state(state, previous, current);
        trend.set(i, state.trend);
        max_low_price.set(i, state.max_low_price);
        min_high_price.set(i, state.min_high_price);
        previous = current;
    }
}

// Writes every element of the five outputs (arrows 0 away from switch bars).
inline void line_pass(StridedView<const std::int32_t> trend, StridedView<const float> max_low_price,
                      StridedView<const float> min_high_price, StridedView<const float> atr2,
                      StridedView<const float> dev, StridedView<float> halftrend,
                      StridedView<float> atr_high, StridedView<float> atr_low,
                      StridedView<float> arrow_up, StridedView<float> arrow_down) noexcept {
    const index_t n = trend.size;
    if (n == 0) return;
    auto store = [&](index_t i, const LineBar& b) {
        halftrend.set(i, b.line);
        atr_high.set(i, b.atr_high);
        atr_low.set(i, b.atr_low);
        arrow_up.set(i, b.arrow_up);
        arrow_down.set(i, b.arrow_down);
    };
    auto state = [&](index_t i) {  // the line rule reads no next_trend
        return TrendState{trend[i], 0, max_low_price[i], min_high_price[i]};
    };
    LineBar b = first_line_bar(max_low_price[0], dev[0]);
    store(0, b);
    for (index_t i = 1; i < n; ++i) {
        b = next_line_bar(state(i - 1), b.line, trend[i], atr2[i], dev[i]);
        store(i, b);
    }
}

inline void signals(StridedView<const std::int32_t> trend, StridedView<std::int64_t> buy,
                    StridedView<std::int64_t> sell) noexcept {
    const index_t n = trend.size;
    if (n == 0) return;
    buy.set(0, 0);
    sell.set(0, 0);
    for (index_t i = 1; i < n; ++i) {
        buy.set(i, buy_signal(trend[i - 1], trend[i]));
        sell.set(i, sell_signal(trend[i - 1], trend[i]));
    }
}

// ---- The fused pass ----------------------------------------------------------

namespace halftrend_detail {

using window_detail::gathered_length;
inline constexpr index_t block = window_detail::scan_block_length;

// tema3 of high and low side by side (lane 0 high, lane 1 low), block by
// block from bar 0 on.  fill() calls alongside() after every four bars: the
// eight chains are latency-bound and leave room for other work.
template <Promotion P>
struct TripleEmaSmoothing {
    TripleEma<P, f32x2> stages;

    // high[k] and low[k] are bar start + k; smoothed[k] receives its tema3 pair.
    template <class Alongside>
    void fill(index_t start, index_t length, const float* high, const float* low, f32x2* smoothed,
              Alongside&& alongside) noexcept {
        TripleEma<P, f32x2> local = stages;  // chains stay in registers
        index_t k = 0;
        if (start == 0) {
            local.seed(f32x2{high[0], low[0]});
            smoothed[0] = local.value();
            k = 1;
        }
        auto next = [&](index_t bar) {
            local.advance(f32x2{high[bar], low[bar]});
            smoothed[bar] = local.value();
        };
        for (; k + 4 <= length; k += 4) {
            next(k);
            next(k + 1);
            next(k + 2);
            next(k + 3);
            alongside();
        }
        for (; k < length; ++k) next(k);
        stages = local;
    }
};

// One block's bars in stack buffers (about 30 KiB).  Bar start + k sits at
// j = k + 1 of every per-bar array; j = 0 holds the bar before the block.
struct Block {
    alignas(16) float window_extreme[2][block + 8];  // low_price, high_price (SweepBars order)
    f32x2 smoothed[block + 8];                       // (highma, lowma)
    alignas(16) float close[block + 8];
    alignas(16) float line[2][block + 8];            // this block's and the previous one's
    alignas(16) float high[gathered_length];         // raw bars, `lookback` of them before the block
    alignas(16) float low[gathered_length];
    alignas(16) float scratch[2 * gathered_length];
    std::int32_t turns[2][block];
    index_t lookback = 1;  // at least the bar before the block

    SweepBars sweep_bars(float* line_out) noexcept {
        return {{window_extreme[0], window_extreme[1]},
                {low + lookback - 1, high + lookback - 1},
                smoothed,
                close,
                line_out};
    }
};

// The outputs of one block's bars from its line (line[k + 1] is bar start +
// k's): every bar gets the line, line +/- dev, arrows and signals 0; then the
// logged turns get their arrow and signal.  Four bars per step, so that the
// steps can ride along the next block's smoothing.  With `contiguous` every
// view's stride is the element size and a step is a few vector operations
// (the same float32 operations, so the same bits).
template <bool contiguous>
class BlockDress {
public:
    BlockDress(StridedView<const float> tr, const HalftrendOutputs& out, ChannelWidths widths) noexcept
        : tr_(tr), out_(out), widths_(widths) {}

    void begin(index_t start, index_t length, const float* line, const TurnLog& turns) noexcept {
        start_ = start;
        length_ = length;
        done_ = 0;
        line_ = line;
        turns_ = turns;
    }

    void step() noexcept {
        if (done_ + 4 > length_) return;
        if constexpr (contiguous) {
            using window_detail::load4;
            using window_detail::store4;
            const index_t i = start_ + done_;
            const f32x4 line = load4(line_ + done_ + 1);
            const f32x4 dev = splat<f32x4>(widths_.deviation) * (load4(tr_.data() + i) * splat<f32x4>(0.5f));
            store4(out_.halftrend.data() + i, line);
            store4(out_.atr_high.data() + i, line + dev);
            store4(out_.atr_low.data() + i, line - dev);
            store4(out_.arrow_up.data() + i, f32x4{});
            store4(out_.arrow_down.data() + i, f32x4{});
            std::memset(out_.buy.data() + i, 0, 4 * sizeof(std::int64_t));
            std::memset(out_.sell.data() + i, 0, 4 * sizeof(std::int64_t));
        } else {
            for (index_t k = done_; k < done_ + 4; ++k) bar(k);
        }
        done_ += 4;
    }

    // The bars no step took, then the turns.
    void finish() noexcept {
        for (; done_ < length_; ++done_) bar(done_);
        for (index_t t = 0; t < turns_.count; ++t) {
            const index_t j = turns_.entries[t] >> 1;
            const index_t i = start_ + j - 1;
            const float atr2 = ChannelWidths::half(tr_[i]);
            if (turns_.entries[t] & 1) {
                out_.arrow_up.set(i, line_[j] - atr2);
                out_.buy.set(i, 1);
            } else {
                out_.arrow_down.set(i, line_[j] + atr2);
                out_.sell.set(i, 1);
            }
        }
        length_ = 0;
    }

private:
    void bar(index_t k) noexcept {
        const index_t i = start_ + k;
        const float line = line_[k + 1];
        const float dev = widths_.band(ChannelWidths::half(tr_[i]));
        out_.halftrend.set(i, line);
        out_.atr_high.set(i, line + dev);
        out_.atr_low.set(i, line - dev);
        out_.arrow_up.set(i, 0.0f);
        out_.arrow_down.set(i, 0.0f);
        out_.buy.set(i, 0);
        out_.sell.set(i, 0);
    }

    StridedView<const float> tr_;
    HalftrendOutputs out_;
    ChannelWidths widths_;
    index_t start_ = 0, length_ = 0, done_ = 0;
    const float* line_ = nullptr;
    TurnLog turns_{nullptr};
};

// Asks for the next block's input bars a cache line at a time, so that they
// arrive while the smoothing waits on its chains rather than in one burst
// when the block is gathered.
struct Prefetch {
    const HalftrendInputs& in;
    index_t next, end;

    void step() noexcept {
        if (next >= end) return;
        for (const StridedView<const float>& series : {in.high, in.low, in.close, in.tr})
            __builtin_prefetch(series.base + next * series.stride);
        next += 64 / sizeof(float);  // a cache line of a contiguous series
    }
};

inline bool all_contiguous(const HalftrendInputs& in, const HalftrendOutputs& out) noexcept {
    return in.tr.contiguous() && out.halftrend.contiguous() && out.atr_high.contiguous() &&
           out.atr_low.contiguous() && out.arrow_up.contiguous() && out.arrow_down.contiguous() &&
           out.buy.contiguous() && out.sell.contiguous();
}

// Block by block: gather the raw bars and their window extremes (scanned per
// block, or for long windows computed whole beforehand and parked in the
// arrow outputs, which a block's dress overwrites only after its sweep has
// read them); smooth, with the previous block's dress and the next block's
// prefetch riding along; sweep (state machine and line).  The line buffers
// and turn logs alternate, since a block is dressed while the next one is
// smoothed.  Precondition: 1 <= window <= n.
template <bool contiguous, Promotion P>
void block_pipeline(const HalftrendInputs& in, index_t window, const HalftrendOutputs& out, ChannelWidths widths,
                    TripleEmaSmoothing<P> smooth) noexcept {
    const index_t n = in.high.size;
    const bool scanned = window <= window_detail::doubling_scan_limit;
    if (!scanned) rolling_max_min(in.high, in.low, window, out.arrow_up, out.arrow_down);

    Block b;
    b.lookback = scanned ? std::max<index_t>(window - 1, 1) : 1;
    if (scanned && window > 2) std::fill_n(b.scratch, 2 * gathered_length, 0.0f);  // see doubling_scan
    Sweep sweep = first_sweep(in.high[0], in.low[0]);
    BlockDress<contiguous> dress(in.tr, out, widths);
    for (index_t start = 0, parity = 0; start < n; start += block, parity ^= 1) {
        const index_t length = std::min(block, n - start);
        if (start > 0)  // the previous block's last bar becomes j = 0
            for (auto& extreme : b.window_extreme) extreme[0] = extreme[block];
        window_detail::gather_bars(in.high, b.lookback, start, length, window_detail::Highest::identity, b.high);
        window_detail::gather_bars(in.low, b.lookback, start, length, window_detail::Lowest::identity, b.low);
        if (scanned) {
            const index_t skip = b.lookback - (window - 1);
            window_detail::scan_gathered<window_detail::Highest>(b.high + skip, window, length, b.scratch,
                                                                 b.window_extreme[1] + 1);
            window_detail::scan_gathered<window_detail::Lowest>(b.low + skip, window, length, b.scratch,
                                                                b.window_extreme[0] + 1);
        } else {
            for (index_t k = 0; k < length; ++k) {
                b.window_extreme[0][k + 1] = out.arrow_down[start + k];
                b.window_extreme[1][k + 1] = out.arrow_up[start + k];
            }
        }
        if (in.close.contiguous())
            std::memcpy(b.close + 1, in.close.data() + start, length * sizeof(float));
        else
            for (index_t k = 0; k < length; ++k) b.close[k + 1] = in.close[start + k];

        Prefetch next_inputs{in, start + block, std::min(n, start + 2 * block)};
        smooth.fill(start, length, b.high + b.lookback, b.low + b.lookback, b.smoothed + 1, [&] {
            dress.step();
            next_inputs.step();
        });
        dress.finish();

        float* const line = b.line[parity];
        TurnLog turns{b.turns[parity]};
        index_t first = 1;
        if (start == 0) {
            line[1] = sweep.line;
            first = 2;
        }
        sweep_bars(sweep, b.sweep_bars(line), first, length + 1, turns);
        dress.begin(start, length, line, turns);
    }
    dress.finish();
}

}  // namespace halftrend_detail

// Everything, in one pass with no intermediate arrays: highma / lowma =
// tema3(high / low, 2 * amplitude), window extremes, trend, line, outputs.
template <Promotion P>
void halftrend(const HalftrendInputs& in, index_t amplitude, double channel_deviation,
               const HalftrendOutputs& out) noexcept {
    const index_t n = in.high.size;
    if (n == 0 || amplitude < 1) return;
    const ChannelWidths widths(channel_deviation);
    const index_t window = std::min(amplitude, n);
    const halftrend_detail::TripleEmaSmoothing<P> smooth{TripleEma<P, f32x2>(halftrend_smoothing_length(amplitude))};
    if (halftrend_detail::all_contiguous(in, out))
        halftrend_detail::block_pipeline<true>(in, window, out, widths, smooth);
    else
        halftrend_detail::block_pipeline<false>(in, window, out, widths, smooth);
}

}  // namespace ornivex::trend
