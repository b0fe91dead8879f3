// HalfTrend's passes over whole arrays, for the stepwise route, which holds
// every intermediate array itself: the trend pass, the line pass and the
// signals, each a loop over rules.hpp.  Preconditions: every view has the
// same size n (a rebound np may return longer arrays: the caller views their
// first n elements); outputs overlap no input.
#pragma once

#include <cstdint>

#include "ornivex/common/strided_view.hpp"
#include "ornivex/kernels/halftrend/rules.hpp"

namespace ornivex::trend::halftrend {

// trend, max_low_price and min_high_price of every bar.
inline void trend_pass(StridedView<const float> high, StridedView<const float> low, StridedView<const float> close,
                       StridedView<const float> high_price, StridedView<const float> low_price,
                       StridedView<const float> highma, StridedView<const float> lowma,
                       StridedView<std::int32_t> trend, StridedView<float> max_low_price,
                       StridedView<float> min_high_price) noexcept {
    const index_t n = high.size;
    if (n == 0) return;
    auto bar = [&](index_t i) {
        return TrendBar{high[i], low[i], close[i], high_price[i], low_price[i], highma[i], lowma[i]};
    };
    TrendState state = first_trend_state(high[0], low[0]);
    trend.set(0, state.trend());
    max_low_price.copy_from(0, low, 0);
    min_high_price.copy_from(0, high, 0);
    TrendBar before = bar(0);
    for (index_t i = 1; i < n; ++i) {
        const TrendBar current = bar(i);
        state = next_trend_state(state, before, current);
        trend.set(i, state.trend());
        max_low_price.set(i, state.max_low_price);
        min_high_price.set(i, state.min_high_price);
        before = current;
    }
}

// The line, its channel and the arrows of every bar (arrows 0 away from turns).
inline void line_pass(StridedView<const std::int32_t> trend, StridedView<const float> max_low_price,
                      StridedView<const float> min_high_price, StridedView<const float> atr2,
                      StridedView<const float> dev, StridedView<float> line_out, StridedView<float> atr_high,
                      StridedView<float> atr_low, StridedView<float> arrow_up, StridedView<float> arrow_down) noexcept {
    const index_t n = trend.size;
    if (n == 0) return;
    auto store = [&](index_t i, const HalfTrendBar& b) {
        line_out.set(i, b.halftrend);
        atr_high.set(i, b.atr_high);
        atr_low.set(i, b.atr_low);
        arrow_up.set(i, b.arrow_up);
        arrow_down.set(i, b.arrow_down);
    };
    float line = max_low_price[0];
    store(0, dress_line(line, 0, 0, atr2[0], dev[0]));
    for (index_t i = 1; i < n; ++i) {
        line = next_line(line, trend[i - 1], trend[i], max_low_price[i - 1], min_high_price[i - 1]);
        store(i, dress_line(line, trend[i - 1], trend[i], atr2[i], dev[i]));
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

}  // namespace ornivex::trend::halftrend
