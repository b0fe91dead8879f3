// One bar of HalfTrend: the trend state machine and the line with its channel.
//
// Trend rule for bar i >= 1 (reads bars i and i-1 only):
//   armed for a switch down (next_trend 1):
//     max_low_price = max(max_low_price[i-1], low_price[i-1])
//     switch when highma < max_low_price and close < low[i-1]:
//       trend 1, next_trend 0, min_high_price restarts at high_price[i]
//   otherwise (next_trend 0):
//     min_high_price = min(min_high_price[i-1], high_price[i-1])
//     switch when lowma > min_high_price and close > high[i-1]:
//       trend 0, next_trend 1, max_low_price restarts at low_price[i]
//   without a switch trend, next_trend and the other extreme carry over.
// Line rule: in a down-trend the line is min(line[i-1], min_high_price[i-1]),
// in an up-trend max(line[i-1], max_low_price[i-1]); on a switch bar it keeps
// line[i-1] and an arrow is set at line -/+ atr2.  The channel is line +/- dev.
// Bar 0: trend 0, extremes low[0] / high[0], line low[0], no arrows.
//
// NaN policy: every comparison is an IEEE float32 comparison and false with a
// NaN, so a NaN never switches the trend and the max/min above then take the
// previous bar's window extreme.  Carried values are copied bit for bit; sums
// and differences round to float32.
#pragma once

#include <cstdint>

namespace ornivex::trend {

// What the rules read of one bar.
struct TrendBar {
    float high, low, close;
    float high_price, low_price;  // window extremes
    float highma, lowma;          // tema3 of high and low
};

// The trend state after a bar.
struct TrendState {
    std::int32_t trend = 0;       // 0 up, 1 down
    std::int32_t next_trend = 0;  // the trend the next switch sets
    float max_low_price = 0.0f;
    float min_high_price = 0.0f;
};

inline TrendState first_trend_state(float high, float low) noexcept {
    return {0, 0, low, high};
}

// Both cases' candidate extremes and switch tests are evaluated up front (a
// few cheap float operations); the armed direction then only selects.
inline TrendState next_trend_state(const TrendState& before, const TrendBar& previous,
                                   const TrendBar& bar) noexcept {
    const bool armed_down = before.next_trend == 1;
    // Case A (armed for a switch down) and case B (otherwise), both evaluated.
    const float max_low = before.max_low_price > previous.low_price ? before.max_low_price
                                                                    : previous.low_price;
    const float min_high = before.min_high_price < previous.high_price ? before.min_high_price
                                                                       : previous.high_price;
    const bool down_switch = (bar.highma < max_low) & (bar.close < previous.low);
    const bool up_switch = (bar.lowma > min_high) & (bar.close > previous.high);
    TrendState s;
    if (armed_down) {
        s.trend = down_switch ? 1 : before.trend;
        s.next_trend = down_switch ? 0 : before.next_trend;
        s.max_low_price = max_low;
        s.min_high_price = down_switch ? bar.high_price : before.min_high_price;
    } else {
        s.trend = up_switch ? 0 : before.trend;
        s.next_trend = up_switch ? 1 : before.next_trend;
        s.min_high_price = min_high;
        s.max_low_price = up_switch ? bar.low_price : before.max_low_price;
    }
    return s;
}

// Channel widths of a bar: atr2 = tr * 0.5 and dev = channel_deviation * atr2,
// channel_deviation taken as float32 (an out-of-range value becomes inf).
struct ChannelWidths {
    float deviation;

    explicit ChannelWidths(double channel_deviation) noexcept
        : deviation(static_cast<float>(channel_deviation)) {}

    static float half(float tr) noexcept { return tr * 0.5f; }
    float band(float atr2) const noexcept { return deviation * atr2; }
};

// The line and what hangs on it at one bar.
struct LineBar {
    float line;
    float atr_high, atr_low;
    float arrow_up = 0.0f, arrow_down = 0.0f;
};

// The line at bar i from bar i-1's state and line and bar i's trend: on a
// switch bar it keeps line[i-1]; otherwise it follows the previous bar's
// running extreme (never rising in a down-trend, never falling in an up-trend).
inline float next_line(const TrendState& before, float line_before, std::int32_t trend) noexcept {
    if (trend != 0) {
        if (before.trend == 1)
            return line_before < before.min_high_price ? line_before : before.min_high_price;
        return line_before;
    }
    if (before.trend != 0) return line_before;
    return line_before > before.max_low_price ? line_before : before.max_low_price;
}

// Channel and arrows around a bar's line.  The arrows sit on switch bars only:
// a turn down (trend 0 -> not 0) gets line + atr2, a turn up line - atr2.
// Bar 0 passes trend_before 0 and gets no arrow.
inline LineBar dress_line(float line, std::int32_t trend_before, std::int32_t trend, float atr2,
                          float dev) noexcept {
    LineBar b{line, line + dev, line - dev};
    if (trend != 0 && trend_before != 1) b.arrow_down = line + atr2;
    if (trend == 0 && trend_before != 0) b.arrow_up = line - atr2;
    return b;
}

inline LineBar first_line_bar(float low, float dev) noexcept {
    return dress_line(low, 0, 0, 0.0f, dev);
}

// before: trend state of bar i-1 (its trend and running extremes), trend: bar i's.
inline LineBar next_line_bar(const TrendState& before, float line_before, std::int32_t trend,
                             float atr2, float dev) noexcept {
    return dress_line(next_line(before, line_before, trend), before.trend, trend, atr2, dev);
}

// Signals at bar i >= 1 (bar 0 has none).
inline bool buy_signal(std::int32_t trend_before, std::int32_t trend) noexcept {
    return trend == 0 && trend_before == 1;
}

inline bool sell_signal(std::int32_t trend_before, std::int32_t trend) noexcept {
    return trend == 1 && trend_before == 0;
}

}  // namespace ornivex::trend
