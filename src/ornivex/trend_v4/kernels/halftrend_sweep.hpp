// The trend state machine and the HalfTrend line, one state at a time.
//
// Bar 0 leaves the machine in the start state with the line at low[0].  Then:
//   start  watches min_high_price = min(min_high_price, high_price[i-1]) and
//          turns up when lowma[i] > min_high_price and close[i] > high[i-1];
//          the line stays low[0]; this first turn only arms the machine
//          (no arrow, no signal).
//   up     watches max_low_price = max(max_low_price, low_price[i-1]); the
//          line follows max(line, max_low_price[i-1]); turns down when
//          highma[i] < max_low_price and close[i] < low[i-1].
//   down   the mirror image: min_high_price = min(min_high_price,
//          high_price[i-1]), line min(line, min_high_price[i-1]); turns up
//          when lowma[i] > min_high_price and close[i] > high[i-1].
// On a turn the line keeps its previous value and the new state's extreme
// restarts at bar i's window extreme (high_price[i] turning down, low_price[i]
// turning up).  The extreme a state does not watch is never read before the
// next turn restarts it, so only the watched one is carried.
//
// This is the per-bar rule of halftrend_steps.hpp with the state hoisted out
// of the loop: each state runs its own loop until a turn, so a bar costs two
// max/min, two comparisons and one branch that is taken only on a turn.
// NaN policy: as there: max(a, b) is `a > b ? a : b` (min alike), taking the
// new value when either is NaN, and a comparison with NaN is false, so a NaN
// never turns the trend.  Values are carried bit for bit.
#pragma once

#include <bit>
#include <cstdint>

#include "ornivex/common/strided_view.hpp"
#include "ornivex/trend_v4/kernels/float_lanes.hpp"

namespace ornivex::trend {

// The bars of one block at j = 1 .. length; j = 0 is the bar before the block.
// Each pair is indexed by the side a state watches: [0] the lows (up state),
// [1] the highs (start and down states).
struct SweepBars {
    const float* window_extreme[2];  // low_price, high_price
    const float* price[2];           // low, high
    const f32x2* smoothed;           // (highma, lowma): what the turn test compares
    const float* close;
    float* line;
};

enum class TrendPhase : std::uint8_t { start, up, down };

// What one bar hands to the next.
struct Sweep {
    TrendPhase phase = TrendPhase::start;
    float extreme = 0.0f;  // the watched running extreme
    float line = 0.0f;
};

// A turn at block bar j: `j << 1 | 1` turning up, `j << 1` turning down.
struct TurnLog {
    std::int32_t* entries;
    index_t count = 0;

    void add(index_t j, bool up) noexcept { entries[count++] = static_cast<std::int32_t>(j << 1 | (up ? 1 : 0)); }
};

namespace sweep_detail {

struct WatchLows {  // up state
    static constexpr int side = 0;
    static float keep(float carried, float candidate) noexcept { return carried > candidate ? carried : candidate; }
    template <class V>
    static auto beyond(V value, V bound) noexcept { return value < bound; }
};

struct WatchHighs {  // start and down states
    static constexpr int side = 1;
    static float keep(float carried, float candidate) noexcept { return carried < candidate ? carried : candidate; }
    template <class V>
    static auto beyond(V value, V bound) noexcept { return value > bound; }
};

// Bars j .. end-1 while none turns; returns the turning bar, or end.
template <class Watch, bool line_moves>
index_t run_until_turn(const SweepBars& bars, index_t j, index_t end, Sweep& sweep) noexcept {
    const float* const window_extreme = bars.window_extreme[Watch::side];
    const float* const price = bars.price[Watch::side];
    const f32x2* const smoothed = bars.smoothed;
    const float* const close = bars.close;
    float* const line_out = bars.line;
    float extreme = sweep.extreme, line = sweep.line;
    for (; j < end; ++j) {
        const float watched = Watch::keep(extreme, window_extreme[j - 1]);
        // Both tests in one vector comparison: one branch, taken only on a turn.
        const f32x2 tested{smoothed[j][Watch::side], close[j]};
        const f32x2 bound{watched, price[j - 1]};
        if (std::bit_cast<std::int64_t>(Watch::beyond(tested, bound)) == -1) [[unlikely]]
            break;
        if constexpr (line_moves) line = Watch::keep(line, extreme);
        extreme = watched;
        line_out[j] = line;
    }
    sweep.extreme = extreme;
    sweep.line = line;
    return j;
}

}  // namespace sweep_detail

// Bar 0's state: start, the running lowest high at high[0], the line at low[0].
inline Sweep first_sweep(float high, float low) noexcept {
    return {TrendPhase::start, high, low};
}

// Bars first .. end-1 of a block; turns that show (arrows, signals) go to the log.
inline void sweep_bars(Sweep& sweep, const SweepBars& bars, index_t first, index_t end, TurnLog& turns) noexcept {
    using namespace sweep_detail;
    for (index_t j = first; j < end; ++j) {
        switch (sweep.phase) {
            case TrendPhase::start:
                j = run_until_turn<WatchHighs, false>(bars, j, end, sweep);
                if (j == end) return;
                sweep.phase = TrendPhase::up;
                sweep.extreme = bars.window_extreme[WatchLows::side][j];
                break;
            case TrendPhase::up:
                j = run_until_turn<WatchLows, true>(bars, j, end, sweep);
                if (j == end) return;
                turns.add(j, false);
                sweep.phase = TrendPhase::down;
                sweep.extreme = bars.window_extreme[WatchHighs::side][j];
                break;
            case TrendPhase::down:
                j = run_until_turn<WatchHighs, true>(bars, j, end, sweep);
                if (j == end) return;
                turns.add(j, true);
                sweep.phase = TrendPhase::up;
                sweep.extreme = bars.window_extreme[WatchLows::side][j];
                break;
        }
        bars.line[j] = sweep.line;  // a turning bar keeps the line
    }
}

}  // namespace ornivex::trend
