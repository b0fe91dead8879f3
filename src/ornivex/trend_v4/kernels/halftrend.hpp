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
//  - halftrend / halftrend_smoothed: one fused pass, no intermediate arrays:
//    the smoothing and short-window extremes of each block of bars go through
//    stack buffers (about 20 KiB), long-window extremes are parked in the
//    arrow outputs (each is read at bar i before bar i's arrow is written).
//    halftrend_smoothed takes highma / lowma from the caller (for a tema3
//    computed elsewhere).
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

#include "ornivex/common/promotion.hpp"
#include "ornivex/common/strided_view.hpp"
#include "ornivex/trend_v4/kernels/float_lanes.hpp"
#include "ornivex/trend_v4/kernels/halftrend_steps.hpp"
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

inline void store_bar(const HalftrendOutputs& out, index_t i, const LineBar& b, std::int64_t buy,
                      std::int64_t sell) noexcept {
    out.halftrend.set(i, b.line);
    out.atr_high.set(i, b.atr_high);
    out.atr_low.set(i, b.atr_low);
    out.arrow_up.set(i, b.arrow_up);
    out.arrow_down.set(i, b.arrow_down);
    out.buy.set(i, buy);
    out.sell.set(i, sell);
}

// What one bar hands to the next.
struct Carry {
    TrendState state{};
    TrendBar bar{};
    float line = 0.0f;
};

// Bars first .. last-1 of the block that starts at bar `start`: smoothed[k],
// high_price[k] and low_price[k] belong to bar start + k.
// Everything arrives by value: stores through the views' char pointers cannot
// alias locals, so nothing is reloaded per bar.  With `contiguous` every stride
// is the element size, known to the compiler, which frees a register per view.
template <bool contiguous>
Carry run_bars(HalftrendInputs in, HalftrendOutputs out, ChannelWidths widths, index_t start,
               const f32x2* smoothed, StridedView<const float> high_price,
               StridedView<const float> low_price, index_t first, index_t last,
               Carry carry) noexcept {
    if constexpr (contiguous) {
        in.high.stride = in.low.stride = in.close.stride = in.tr.stride = sizeof(float);
        out.halftrend.stride = out.atr_high.stride = out.atr_low.stride = sizeof(float);
        out.arrow_up.stride = out.arrow_down.stride = sizeof(float);
        out.buy.stride = out.sell.stride = sizeof(std::int64_t);
        high_price.stride = low_price.stride = sizeof(float);
    }
    auto read_bar = [&](index_t i) {
        const index_t k = i - start;
        return TrendBar{in.high[i],       in.low[i],        in.close[i],   high_price[k],
                        low_price[k],     smoothed[k][0],   smoothed[k][1]};
    };
    if (first == 0) {
        carry.bar = read_bar(0);
        carry.state = first_trend_state(carry.bar.high, carry.bar.low);
        const LineBar b = first_line_bar(carry.bar.low, widths.band(ChannelWidths::half(in.tr[0])));
        store_bar(out, 0, b, 0, 0);
        carry.line = b.line;
        first = 1;
    }
    TrendState state = carry.state;
    TrendBar previous = carry.bar;
    float line = carry.line;
    for (index_t i = first; i < last; ++i) {
        const TrendBar bar = read_bar(i);
        const float atr2 = ChannelWidths::half(in.tr[i]);
        const TrendState next = next_trend_state(state, previous, bar);
        const LineBar b = next_line_bar(state, line, next.trend, atr2, widths.band(atr2));
        store_bar(out, i, b, buy_signal(state.trend, next.trend),
                  sell_signal(state.trend, next.trend));
        state = next;
        previous = bar;
        line = b.line;
    }
    return {state, previous, line};
}

inline bool all_contiguous(const HalftrendInputs& in, const HalftrendOutputs& out) noexcept {
    return in.high.contiguous() && in.low.contiguous() && in.close.contiguous() &&
           in.tr.contiguous() && out.halftrend.contiguous() && out.atr_high.contiguous() &&
           out.atr_low.contiguous() && out.arrow_up.contiguous() && out.arrow_down.contiguous() &&
           out.buy.contiguous() && out.sell.contiguous();
}

// Block by block: the smoothing fills a stack buffer (its chains run alone,
// latency-bound, then the state machine runs throughput-bound: interleaving
// the two in one loop measured slower), short-window extremes are scanned into
// stack buffers, long-window ones were computed whole into the arrow outputs,
// which hold them until each bar's arrows are written.
template <class Smooth>
void fused_pass(const HalftrendInputs& in, index_t amplitude, double channel_deviation,
                const HalftrendOutputs& out, Smooth smooth) noexcept {
    const index_t n = in.high.size;
    if (n == 0 || amplitude < 1) return;
    const ChannelWidths widths(channel_deviation);
    const bool contiguous = all_contiguous(in, out);
    const index_t window = std::min(amplitude, n);
    const bool short_window = window <= window_detail::direct_scan_limit;
    if (!short_window) rolling_max_min(in.high, in.low, window, out.arrow_up, out.arrow_down);

    constexpr index_t block = window_detail::block_length;
    f32x2 smoothed[block];
    float high_price[block], low_price[block];
    Carry carry;
    for (index_t start = 0; start < n; start += block) {
        const index_t length = std::min(block, n - start);
        smooth.fill(start, length, smoothed);
        StridedView<const float> high_view = out.arrow_up, low_view = out.arrow_down;
        if (short_window) {
            window_detail::scan_window_block<window_detail::Highest>(in.high, window, start,
                                                                     length, high_price);
            window_detail::scan_window_block<window_detail::Lowest>(in.low, window, start, length,
                                                                    low_price);
            high_view = {reinterpret_cast<const char*>(high_price), sizeof(float), length};
            low_view = {reinterpret_cast<const char*>(low_price), sizeof(float), length};
        } else {  // the same element for bar start + k
            high_view.base += start * high_view.stride;
            low_view.base += start * low_view.stride;
        }
        carry = contiguous ? run_bars<true>(in, out, widths, start, smoothed, high_view, low_view,
                                            start, start + length, carry)
                           : run_bars<false>(in, out, widths, start, smoothed, high_view, low_view,
                                             start, start + length, carry);
    }
}

}  // namespace halftrend_detail

// Sources of (highma, lowma) for the fused pass: fill(start, length, smoothed)
// is called for consecutive blocks from bar 0 on.
template <Promotion P>
struct TripleEmaSmoothing {
    StridedView<const float> high, low;
    TripleEma<P, f32x2> stages;

    void fill(index_t start, index_t length, f32x2* smoothed) noexcept {
        TripleEma<P, f32x2> local = stages;  // chains stay in registers
        for (index_t k = 0; k < length; ++k) {
            const f32x2 bar{high[start + k], low[start + k]};
            if (start + k == 0)
                local.seed(bar);
            else
                local.advance(bar);
            smoothed[k] = local.value();
        }
        stages = local;
    }
};

struct GivenSmoothing {
    StridedView<const float> highma, lowma;

    void fill(index_t start, index_t length, f32x2* smoothed) const noexcept {
        for (index_t k = 0; k < length; ++k)
            smoothed[k] = f32x2{highma[start + k], lowma[start + k]};
    }
};

// Everything, with highma / lowma = tema3(high / low, 2 * amplitude).
template <Promotion P>
void halftrend(const HalftrendInputs& in, index_t amplitude, double channel_deviation,
               const HalftrendOutputs& out) noexcept {
    const TripleEmaSmoothing<P> smooth{
        in.high, in.low, TripleEma<P, f32x2>(halftrend_smoothing_length(amplitude))};
    halftrend_detail::fused_pass(in, amplitude, channel_deviation, out, smooth);
}

// Everything but the smoothing: highma and lowma come from the caller
// (at least n elements each).
inline void halftrend_smoothed(const HalftrendInputs& in, StridedView<const float> highma,
                               StridedView<const float> lowma, index_t amplitude,
                               double channel_deviation, const HalftrendOutputs& out) noexcept {
    halftrend_detail::fused_pass(in, amplitude, channel_deviation, out, GivenSmoothing{highma, lowma});
}

}  // namespace ornivex::trend
