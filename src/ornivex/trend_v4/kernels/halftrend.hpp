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
//  - halftrend / halftrend_smoothed: one fused pass, no intermediate arrays.
//    The window extremes are parked in the arrow outputs (each is read at bar
//    i before bar i's arrow is written), smoothing runs chunk by chunk into a
//    small stack buffer.  halftrend_smoothed takes highma / lowma from the
//    caller (for a tema3 computed elsewhere).
//  - channel_widths, trend_pass, line_pass, signals: the same steps over
//    whole arrays, for a caller that holds every intermediate array itself.
//
// Preconditions: n >= 1, amplitude >= 1, every input view has at least n
// elements (n = high.size), every output exactly n; outputs overlap neither
// inputs nor each other.  Inputs are only read.
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

inline constexpr index_t chunk_length = 1024;

// What one bar hands to the next.
struct Carry {
    TrendState state;
    TrendBar bar;
    float line;
};

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

// Bars first .. last-1 (first >= 1); smoothed[k] belongs to bar first + k.
// Views arrive by value, so stores through their char pointers cannot alias
// them and nothing is reloaded per bar.  With `contiguous` every stride is the
// element size, known to the compiler, which frees a register per view.
template <bool contiguous>
Carry run_bars(HalftrendInputs in, HalftrendOutputs out, ChannelWidths widths,
               const f32x2* smoothed, index_t first, index_t last, Carry carry) noexcept {
    if constexpr (contiguous) {
        in.high.stride = in.low.stride = in.close.stride = in.tr.stride = sizeof(float);
        out.halftrend.stride = out.atr_high.stride = out.atr_low.stride = sizeof(float);
        out.arrow_up.stride = out.arrow_down.stride = sizeof(float);
        out.buy.stride = out.sell.stride = sizeof(std::int64_t);
    }
    // The arrow outputs hold the window extremes until their bar is written.
    const StridedView<const float> high_price = out.arrow_up, low_price = out.arrow_down;
    for (index_t i = first; i < last; ++i, ++smoothed) {
        const TrendBar bar{in.high[i],    in.low[i],       in.close[i],     high_price[i],
                           low_price[i],  (*smoothed)[0],  (*smoothed)[1]};
        const float atr2 = ChannelWidths::half(in.tr[i]);
        const TrendState state = next_trend_state(carry.state, carry.bar, bar);
        const LineBar b = next_line_bar(carry.state, carry.line, state.trend, atr2, widths.band(atr2));
        store_bar(out, i, b, buy_signal(carry.state.trend, state.trend),
                  sell_signal(carry.state.trend, state.trend));
        carry = {state, bar, b.line};
    }
    return carry;
}

inline bool all_contiguous(const HalftrendInputs& in, const HalftrendOutputs& out) noexcept {
    return in.high.contiguous() && in.low.contiguous() && in.close.contiguous() &&
           in.tr.contiguous() && out.halftrend.contiguous() && out.atr_high.contiguous() &&
           out.atr_low.contiguous() && out.arrow_up.contiguous() && out.arrow_down.contiguous() &&
           out.buy.contiguous() && out.sell.contiguous();
}

// smooth(start, count, smoothed) fills smoothed[k] = (highma, lowma) of bar
// start + k, for chunks in ascending order.
template <class Smooth>
void fused_pass(const HalftrendInputs& in, index_t amplitude, double channel_deviation,
                const HalftrendOutputs& out, Smooth&& smooth) noexcept {
    const index_t n = in.high.size;
    if (n == 0 || amplitude < 1) return;
    rolling_max_min(in.high, in.low, amplitude, out.arrow_up, out.arrow_down);
    const ChannelWidths widths(channel_deviation);
    const bool contiguous = all_contiguous(in, out);
    f32x2 smoothed[chunk_length];
    Carry carry;
    for (index_t start = 0; start < n; start += chunk_length) {
        const index_t count = std::min(chunk_length, n - start);
        smooth(start, count, smoothed);
        index_t first = start;
        if (start == 0) {
            carry.bar = TrendBar{in.high[0],      in.low[0],     in.close[0],  out.arrow_up[0],
                                 out.arrow_down[0], smoothed[0][0], smoothed[0][1]};
            carry.state = first_trend_state(carry.bar.high, carry.bar.low);
            const LineBar b = first_line_bar(carry.bar.low, widths.band(ChannelWidths::half(in.tr[0])));
            store_bar(out, 0, b, 0, 0);
            carry.line = b.line;
            first = 1;
        }
        const f32x2* chunk = smoothed + (first - start);
        carry = contiguous ? run_bars<true>(in, out, widths, chunk, first, start + count, carry)
                           : run_bars<false>(in, out, widths, chunk, first, start + count, carry);
    }
}

}  // namespace halftrend_detail

// Everything, with highma / lowma = tema3(high / low, 2 * amplitude).
template <Promotion P>
void halftrend(const HalftrendInputs& in, index_t amplitude, double channel_deviation,
               const HalftrendOutputs& out) noexcept {
    TripleEma<P, f32x2> stages(halftrend_smoothing_length(amplitude));
    auto smooth = [&](index_t start, index_t count, f32x2* smoothed) {
        index_t k = 0;
        if (start == 0) {
            stages.seed(f32x2{in.high[0], in.low[0]});
            smoothed[k++] = stages.value();
        }
        for (; k < count; ++k) {
            stages.advance(f32x2{in.high[start + k], in.low[start + k]});
            smoothed[k] = stages.value();
        }
    };
    halftrend_detail::fused_pass(in, amplitude, channel_deviation, out, smooth);
}

// Everything but the smoothing: highma and lowma come from the caller
// (at least n elements each).
inline void halftrend_smoothed(const HalftrendInputs& in, StridedView<const float> highma,
                               StridedView<const float> lowma, index_t amplitude,
                               double channel_deviation, const HalftrendOutputs& out) noexcept {
    auto smooth = [&](index_t start, index_t count, f32x2* smoothed) {
        for (index_t k = 0; k < count; ++k)
            smoothed[k] = f32x2{highma[start + k], lowma[start + k]};
    };
    halftrend_detail::fused_pass(in, amplitude, channel_deviation, out, smooth);
}

}  // namespace ornivex::trend
