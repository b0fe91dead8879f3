// HalfTrend's per-bar rules, each stated once.  The fused pass (fused.hpp),
// the whole-array passes of the stepwise route (passes.hpp), callers that
// feed one bar at a time (HalfTrendState and halftrend_step below) and the
// pass over many series side by side, one a vector lane (grouped/panel.hpp;
// the *_lanes forms) are all built from the functions here;
// tests/models/trend_model.py is the literal model they are checked against.
//
// A bar's inputs: high, low, close and tr.  Derived per bar:
//   high_price, low_price  highest high / lowest low of the last `amplitude`
//                          bars (window_extremes.hpp; fewer at the start)
//   highma, lowma          tema3 of high / low with length 2 * amplitude
//   atr2 = tr * 0.5,  dev = float32(channel_deviation) * atr2
//
// Trend: a phase and two running extremes.  Bar 0 starts in phase `start`
// with max_low_price = low[0], min_high_price = high[0].  Bar i >= 1:
//   phase up (trend 0, armed for a switch down) watches the lows:
//     max_low_price = keep_highest(max_low_price, low_price[i-1]);
//     turns down when highma[i] < max_low_price and close[i] < low[i-1]:
//     phase down, min_high_price restarts at high_price[i]
//   phases start (trend 0) and down (trend 1) watch the highs:
//     min_high_price = keep_lowest(min_high_price, high_price[i-1]);
//     turn up when lowma[i] > min_high_price and close[i] > high[i-1]:
//     phase up, max_low_price restarts at low_price[i]
//   The turn from start only arms the machine: the trend stays 0.  Without
//   a turn the extreme a phase does not watch is carried.
// Line: bar 0's is low[0].  On a bar whose trend changed it keeps line[i-1];
// otherwise it follows the previous bar's running extreme of its trend:
// keep_lowest(line, min_high_price[i-1]) down, keep_highest(line,
// max_low_price[i-1]) up (in phase start both are low[0]).
// Channel: line +/- dev on every bar.  Arrows and signals, on bars whose
// trend changed only: turning down arrowDown = line + atr2 and sell 1,
// turning up arrowUp = line - atr2 and buy 1; 0 everywhere else.
//
// NaN policy: every comparison is an IEEE float32 comparison and false with
// a NaN, so a NaN never turns the trend, and keep_highest / keep_lowest then
// take the candidate (the previous bar's window extreme).  Values that are
// carried or selected keep every bit; sums and products round to float32.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

#include "ornivex/common/lanes.hpp"
#include "ornivex/common/promotion.hpp"
#include "ornivex/common/strided_view.hpp"
#include "ornivex/kernels/averages/ewma.hpp"
#include "ornivex/kernels/averages/tema3.hpp"
#include "ornivex/kernels/halftrend/window_extremes.hpp"

namespace ornivex::trend::halftrend {

// ---- Running extremes and the turn tests -------------------------------------

// `carried` unless `candidate` beats it; the candidate on a tie or a NaN.
// V is float or lanes of floats (one series a lane).
template <class V>
inline V keep_highest(V carried, V candidate) noexcept {
    return carried > candidate ? carried : candidate;
}

template <class V>
inline V keep_lowest(V carried, V candidate) noexcept {
    return carried < candidate ? carried : candidate;
}

// Both tests of a turn in one vector comparison: a single branch, taken only
// on a turn, in the hot loops.
inline bool both(LaneMask<f32x2> holds) noexcept { return std::bit_cast<std::int64_t>(holds) == -1; }

// Armed up-trend: the smoothed high under the running highest low and the
// close under the previous bar's low (both strict).  Lane by lane (one
// series a lane) a mask; for one series both tests in one comparison.
template <class V>
inline LaneMask<V> turns_down_lanes(V highma, V max_low_price, V close, V low_before) noexcept {
    return (highma < max_low_price) & (close < low_before);
}

inline bool turns_down(float highma, float max_low_price, float close, float low_before) noexcept {
    return both(f32x2{highma, close} < f32x2{max_low_price, low_before});
}

// Start or down-trend: the smoothed low over the running lowest high and the
// close over the previous bar's high (both strict).
template <class V>
inline LaneMask<V> turns_up_lanes(V lowma, V min_high_price, V close, V high_before) noexcept {
    return (lowma > min_high_price) & (close > high_before);
}

inline bool turns_up(float lowma, float min_high_price, float close, float high_before) noexcept {
    return both(f32x2{lowma, close} > f32x2{min_high_price, high_before});
}

enum class Phase : std::uint8_t { start, up, down };

inline std::int32_t trend_of(Phase phase) noexcept { return phase == Phase::down ? 1 : 0; }

// What a phase watches, for code that runs one phase at a time.  `side`
// indexes (lows, highs) pairs; the smoothing pairs are (highma, lowma), so
// the same index picks the smoothed series its turn test reads.
struct WatchLows {  // phase up
    static constexpr int side = 0;
    static constexpr Phase after_turn = Phase::down;
    static float keep(float carried, float candidate) noexcept { return keep_highest(carried, candidate); }
    static bool turns(float smoothed, float extreme, float close, float price_before) noexcept {
        return turns_down(smoothed, extreme, close, price_before);
    }
};

struct WatchHighs {  // phases start and down
    static constexpr int side = 1;
    static constexpr Phase after_turn = Phase::up;
    static float keep(float carried, float candidate) noexcept { return keep_lowest(carried, candidate); }
    static bool turns(float smoothed, float extreme, float close, float price_before) noexcept {
        return turns_up(smoothed, extreme, close, price_before);
    }
};

// One bar of a phase: the watched extreme takes in the previous bar's window
// extreme, then the turn test reads it.  True when the bar turns.
template <class Watch>
inline bool watch(float& extreme, float window_extreme_before, float smoothed, float close,
                  float price_before) noexcept {
    extreme = Watch::keep(extreme, window_extreme_before);
    return Watch::turns(smoothed, extreme, close, price_before);
}

// ---- The trend state ---------------------------------------------------------

// What the trend rule reads of one bar (of each lane's series).
template <class V>
struct TrendBarOf {
    V high, low, close;
    V high_price, low_price;  // window extremes
    V highma, lowma;
};
using TrendBar = TrendBarOf<float>;

struct TrendState {
    Phase phase = Phase::start;
    float max_low_price = 0.0f;
    float min_high_price = 0.0f;

    std::int32_t trend() const noexcept { return trend_of(phase); }
    std::int32_t next_trend() const noexcept { return phase == Phase::up ? 1 : 0; }
};

inline TrendState first_trend_state(float high, float low) noexcept { return {Phase::start, low, high}; }

// Bar i's state from bar i-1's state, bar i-1 and bar i.
inline TrendState next_trend_state(TrendState s, const TrendBar& before, const TrendBar& bar) noexcept {
    if (s.phase == Phase::up) {
        if (watch<WatchLows>(s.max_low_price, before.low_price, bar.highma, bar.close, before.low)) {
            s.phase = WatchLows::after_turn;
            s.min_high_price = bar.high_price;
        }
    } else if (watch<WatchHighs>(s.min_high_price, before.high_price, bar.lowma, bar.close, before.high)) {
        s.phase = WatchHighs::after_turn;
        s.max_low_price = bar.low_price;
    }
    return s;
}

// The trend state of several series side by side, one a lane: the phases
// as masks (a lane in neither up nor down is in phase start).
template <class V>
struct TrendLanes {
    LaneMask<V> up{}, down{};
    V max_low_price{}, min_high_price{};
};

template <class V>
inline TrendLanes<V> first_trend_lanes(V high, V low) noexcept {
    return {LaneMask<V>{}, LaneMask<V>{}, low, high};
}

// next_trend_state lane by lane, selects in place of its branches.
template <class V>
inline TrendLanes<V> next_trend_lanes(const TrendLanes<V>& s, const TrendBarOf<V>& before,
                                      const TrendBarOf<V>& bar) noexcept {
    const V max_low = s.up ? keep_highest(s.max_low_price, before.low_price) : s.max_low_price;
    const V min_high = s.up ? s.min_high_price : keep_lowest(s.min_high_price, before.high_price);
    const LaneMask<V> down_turn = s.up & turns_down_lanes(bar.highma, max_low, bar.close, before.low);
    const LaneMask<V> up_turn = ~s.up & turns_up_lanes(bar.lowma, min_high, bar.close, before.high);
    return {(s.up & ~down_turn) | up_turn, (s.down & ~up_turn) | down_turn, up_turn ? bar.low_price : max_low,
            down_turn ? bar.high_price : min_high};
}

// ---- The line, its channel, arrows and signals --------------------------------

// The line at bar i from bar i-1's line, trend and running extremes, and bar i's trend.
inline float next_line(float line_before, std::int32_t trend_before, std::int32_t trend, float max_low_before,
                       float min_high_before) noexcept {
    if (trend != trend_before) return line_before;
    return trend != 0 ? keep_lowest(line_before, min_high_before) : keep_highest(line_before, max_low_before);
}

// next_line lane by lane, the trends as masks of the down-trend.
template <class V>
inline V next_line_lanes(V line_before, LaneMask<V> down_before, LaneMask<V> down, V max_low_before,
                         V min_high_before) noexcept {
    const V follows = down ? keep_lowest(line_before, min_high_before) : keep_highest(line_before, max_low_before);
    return down == down_before ? follows : line_before;
}

// atr2 = tr * 0.5 and dev = channel_deviation * atr2, with channel_deviation
// taken as float32 (beyond its range it becomes an infinity).  V is float or
// a vector of floats: the same float32 operations lane by lane.
struct ChannelWidths {
    float deviation;

    explicit ChannelWidths(double channel_deviation) noexcept : deviation(static_cast<float>(channel_deviation)) {}

    template <class V>
    static V half(V tr) noexcept { return tr * splat<V>(0.5f); }
    template <class V>
    V band(V atr2) const noexcept { return splat<V>(deviation) * atr2; }
};

template <class V>
inline V channel_high(V line, V dev) noexcept { return line + dev; }
template <class V>
inline V channel_low(V line, V dev) noexcept { return line - dev; }
template <class V>
inline V arrow_down_at(V line, V atr2) noexcept { return line + atr2; }
template <class V>
inline V arrow_up_at(V line, V atr2) noexcept { return line - atr2; }

inline bool buy_signal(std::int32_t trend_before, std::int32_t trend) noexcept { return trend == 0 && trend_before == 1; }
inline bool sell_signal(std::int32_t trend_before, std::int32_t trend) noexcept { return trend == 1 && trend_before == 0; }

// One bar's outputs, in the order of halftrend's result dict.
struct HalfTrendBar {
    float halftrend, atr_high, atr_low;
    float arrow_up = 0.0f, arrow_down = 0.0f;
    bool buy = false, sell = false;
};

// The outputs around a bar's line; bar 0 passes trend_before 0 and trend 0.
inline HalfTrendBar dress_line(float line, std::int32_t trend_before, std::int32_t trend, float atr2,
                               float dev) noexcept {
    // Selects, not stores under a branch: the bar then stays in registers
    // where a caller takes it apart (a store forwarded to a wider load stalls).
    const bool buy = buy_signal(trend_before, trend), sell = sell_signal(trend_before, trend);
    return {line,
            channel_high(line, dev),
            channel_low(line, dev),
            buy ? arrow_up_at(line, atr2) : 0.0f,
            sell ? arrow_down_at(line, atr2) : 0.0f,
            buy,
            sell};
}

// ---- One bar at a time -----------------------------------------------------

// tema3 length: 2 * amplitude without 32-bit overflow.
inline double smoothing_length(index_t amplitude) noexcept {
    return static_cast<double>(2 * static_cast<std::int64_t>(amplitude));
}

// Fixed for a series: the window length, the channel widths and the
// smoothing factors in the precision P of NumPy's promotion rules.
template <Promotion P>
struct HalfTrendParams {
    index_t amplitude;
    ChannelWidths widths;
    EwmaFactors<P, f32x2> smoothing;

    HalfTrendParams(index_t amplitude, double channel_deviation) noexcept
        : amplitude(amplitude), widths(channel_deviation), smoothing(ema2_alpha(smoothing_length(amplitude))) {}
};

// The highs and lows of the last `amplitude` bars (all of them while fewer
// have come) and their extremes, by the run method of window_extremes.hpp:
// O(1) per bar and no branch that depends on the prices.  Bars are kept as
// (high, -low) pairs, oldest first from `offset_` once the first run is
// complete, and the extremes of the previous run's suffixes beside them.
class RecentBars {
public:
    explicit RecentBars(index_t amplitude) noexcept : window_(amplitude) {}

    // May throw std::bad_alloc, leaving the window as it was.
    void push(float high, float low) {
        using namespace extremes_detail;
        const f32x2 bar{high, -low};
        if (offset_ == window_) {  // a run is complete
            if (suffix_.empty()) suffix_.resize(window_);
            run_suffixes<true>([this](index_t k) { return bars_[k]; }, window_, suffix_.data());
            offset_ = 0;
        }
        if (suffix_.empty())
            bars_.push_back(bar);
        else
            bars_[offset_] = bar;
        prefix_ = offset_ == 0 ? bar : keep_pair<true>(prefix_, bar);
        extreme_ = run_window<true>(prefix_, suffix_.data(), offset_, window_, suffix_.empty());
        ++offset_;
    }

    index_t size() const noexcept { return static_cast<index_t>(bars_.size()); }
    index_t capacity() const noexcept { return window_; }
    float high(index_t k) const noexcept { return bar(k)[0]; }  // k = 0 is the oldest
    float low(index_t k) const noexcept { return -bar(k)[1]; }

    float highest() const noexcept { return extreme_[0]; }  // high_price of the last bar
    float lowest() const noexcept { return -extreme_[1]; }  // its low_price

private:
    f32x2 bar(index_t k) const noexcept {
        if (suffix_.empty()) return bars_[k];
        const index_t slot = offset_ + k;
        return bars_[slot < window_ ? slot : slot - window_];
    }

    index_t window_;
    index_t offset_ = 0;  // of the next bar in its run
    std::vector<f32x2> bars_;
    std::vector<f32x2> suffix_;  // empty during the first run
    f32x2 prefix_{}, extreme_{};
};

// Everything the next bar needs of the bars so far.
struct HalfTrendState {
    index_t bars = 0;                    // bars taken so far
    TrendState trend;                    // after the last bar
    float line = 0.0f;                   // the last bar's line
    float high = 0.0f, low = 0.0f;       // the last bar's high and low
    float high_price = 0.0f, low_price = 0.0f;  // and its window extremes
    TripleEmaStages<f32x2> smoothing;    // tema3 stages of (high, low)
    RecentBars window;

    explicit HalfTrendState(index_t amplitude) : window(amplitude) {}
};

// One bar: advances `s` and returns the bar's outputs, equal bit for bit to
// the same bar's elements of the batch result.  Precondition: params.amplitude
// >= 1 and s made with the same amplitude.  May throw std::bad_alloc (the
// window's storage) before anything changes: `s` is then as it was.
template <Promotion P>
HalfTrendBar halftrend_step(HalfTrendState& s, float high, float low, float close, float tr,
                            const HalfTrendParams<P>& params) {
    s.window.push(high, low);
    TrendBar bar{high, low, close, s.window.highest(), s.window.lowest(), 0.0f, 0.0f};
    const f32x2 prices{high, low};
    if (s.bars == 0)
        s.smoothing.seed(prices);
    else
        s.smoothing.advance(params.smoothing, prices);
    const f32x2 smoothed = s.smoothing.value();
    bar.highma = smoothed[0];
    bar.lowma = smoothed[1];
    const float atr2 = ChannelWidths::half(tr);
    const float dev = params.widths.band(atr2);

    std::int32_t trend_before = 0, trend = 0;  // bar 0's
    if (s.bars == 0) {
        s.trend = first_trend_state(high, low);
        s.line = low;
    } else {
        const TrendBar before{s.high, s.low, 0.0f, s.high_price, s.low_price, 0.0f, 0.0f};
        const TrendState state_before = s.trend;
        s.trend = next_trend_state(state_before, before, bar);
        trend_before = state_before.trend();
        trend = s.trend.trend();
        s.line = next_line(s.line, trend_before, trend, state_before.max_low_price, state_before.min_high_price);
    }
    s.high = high;
    s.low = low;
    s.high_price = bar.high_price;
    s.low_price = bar.low_price;
    ++s.bars;
    return dress_line(s.line, trend_before, trend, atr2, dev);
}

}  // namespace ornivex::trend::halftrend
