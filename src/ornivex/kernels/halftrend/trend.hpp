// HalfTrend's trend (0 up, 1 down) rebuilt from its signals: it starts up and
// takes the side of the last signal at or before each bar (a sell where both
// fire).  Every change from up to down is a sell and every change back a buy.
#pragma once

#include <cstdint>

#include "ornivex/common/strided_view.hpp"

namespace ornivex::trend::halftrend {

inline void trend_from_signals(StridedView<const std::int64_t> buy, StridedView<const std::int64_t> sell,
                               StridedView<std::int8_t> out) noexcept {
    std::int8_t side = 0;  // up
    for (index_t i = 0; i < buy.size; ++i) {
        if (sell[i] == 1)
            side = 1;
        else if (buy[i] == 1)
            side = 0;
        out.set(i, side);
    }
}

}  // namespace ornivex::trend::halftrend
